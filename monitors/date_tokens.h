// monitors/date_tokens.h
// Date tokens in log-file names ("app$$YYMMDD.log"), so that a check follows a log that
// starts a new file every day.
#pragma once
#include <cstddef>
#include <string>

namespace vlzt {

// Expands environment references in `pattern`, then replaces its date tokens with today's
// date (letter case ignored, longer tokens first):
//   $$YYMMDD $$MMDDYY $$DDMMYY   the date, two digits each
//   $$DD $$MM $$YY               day, month, year within the century, two digits
//   $$DN                         weekday 1 (Sunday) to 7 (Saturday)
//   $$DCk                        the first k letters (3 when k is missing or 0) of the
//                                weekday's name in capitals
// The first shift in the name, $$DD+n / $$DD-n (or $$DD[+n] / $$DD[-n]), moves the whole
// date n days; $$DN+n / $$DN-n (or bracketed) moves only the weekday, n taken modulo 7.
// Fills `result` and returns 1 when at least one token was replaced and the result has at
// most size - 1 characters; otherwise 0.
int ExpandDateTokens(const std::string& pattern, std::string& result, size_t size);

}  // namespace vlzt
