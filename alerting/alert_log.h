// alerting/alert_log.h
// The records every delivered alert leaves behind: the alert log AlertLog.txt (the newest
// alerts below a header) and the administrator's alert data file (one templated line each).
#pragma once
#include <cstdint>
#include <fstream>
#include <string>

namespace vlzt {

// The registry subkey of the alert logging settings.
inline constexpr const char* kAlertLoggingKey =
    "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion\\AlertLogging";

// The line template used when AlertString is empty.
inline constexpr const char* kDefaultAlertString =
    "<$$TIMELOGGED>,<$$ALERTLEVEL>,<$$SERVER>,<$$TEST>,<$$SOURCE>,<$$ERROR>";

// "<DataDirectory>/AlertLog.txt".
std::string AlertLogPath();

// With `flag` 1 (`file` unused) prepares the alert log: creates it with its header when
// missing and arranges for the first append to trim it. With `flag` 0 appends the stored
// message `file` as one record line; the first append after preparing and every 50th after
// that trim the log to the newest MaxStoredMsgs records. Returns 1, or 0 after a logged
// failure (the log is then as it was, or has the record appended).
int AppendAlertLog(const std::string& file, int flag);

// The number of lines of the open alert log less the 9 of its header (lines of any length).
// -1 (logged) when memory runs out.
long CountAlertLogRecords(std::ifstream& log);

// Copies every line of the open alert log from line `firstLine` on (counting from 1) to
// `temp`. Returns 1, or 0 (logged) when memory runs out or the copy fails.
int RewriteAlertLog(std::ifstream& log, std::ofstream& temp, long firstLine);

// Appends the stored message `file` to the alert data file as AlertString expanded, when
// alert logging is on and a file is named. Returns 1 when done or not configured, 0 after a
// logged failure.
int WriteAlertFileFromFile(const std::string& file);

}  // namespace vlzt
