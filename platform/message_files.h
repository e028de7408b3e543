// platform/message_files.h
// Message files of event sources: loading them as data, and formatting a message with its
// insertion strings the way an event viewer renders a record.
//
// A message file is a text file of message blocks:
//
//   ; A comment: blank lines and lines starting with ';' or '#' outside a block are ignored.
//   MessageId=7036
//   The %1 service entered the %2 state.
//   .
//   MessageId=0x40001000
//   First line%n(an explicit line break)and more.
//   .
//   MessageId=1-65535
//   %1
//   .
//
// - `MessageId=<id>` (case-insensitive, blanks allowed around '=') opens a block; <id> is
//   decimal or 0x hexadecimal, the full 32-bit event identifier. `MessageId=<a>-<b>` gives
//   every identifier from a to b the same text. When several blocks cover an identifier,
//   the first one in the file wins, so specific messages go before a catch-all range.
// - Every line after it up to a line holding a single '.' is the text; each text line ends
//   in "\r\n" in the message, the last one included. A text line that must be a single
//   '.' is written "%.". Line ends in the file may be "\n" or "\r\n".
// - Anything else outside a block, a block without its closing '.', a bad identifier or a
//   file over 16 MiB makes the file malformed (error 13 with the line in the reason).
//
// Escapes in a text, processed when it is formatted:
//   %1 .. %99   insertion string n (inserted as it stands, never rescanned); an optional
//               printf-style tail "!s!" after the number is accepted and dropped. An insert
//               whose number exceeds the strings given stays as written ("%7" or "%7!s!").
//   %n          line break ("\r\n")        %r  carriage return      %t  tab
//   %%          a single '%'               %.  '.'   %!  '!'        "% " a blank
//   %0          ends the message here, without the final line break
//   '%' before anything else, and a lone '%' at the end, stay as written.
// A parameter insert "%%<n>" inside an insertion string therefore reaches the message
// unchanged; ReplaceParameterInserts-style callers resolve it from a parameter file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vlzt::platform {

// Flags of FormatMessage.
enum : uint32_t {
  FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200,
  FORMAT_MESSAGE_FROM_HMODULE = 0x00000800,
  FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000,
};

// Error codes of this module.
inline constexpr long kMessageNotFound = 317;  // no message for the identifier
inline constexpr long kMessageFileMalformed = 13;

class MessageFile;
// A loaded message file; the data stays valid until FreeMessageFile.
using HMESSAGEFILE = MessageFile*;

// Loads the message file `path` as data (nothing in it runs). Returns 0 with *out set, or
// 2 not found, 3 path not found, 5 access denied (also for a directory), 13 malformed (with
// `reason` saying where, when given). Unchanged files already loaded are shared, so the
// monitor can load a file for every lookup.
long LoadMessageFile(const std::string& path, HMESSAGEFILE* out, std::string* reason = nullptr);
void FreeMessageFile(HMESSAGEFILE file);

// The unformatted text of message `id` of `file`, or nullptr when it has none.
const std::string* FindMessageText(HMESSAGEFILE file, uint32_t id);

// Formats message `id`: from `file` when FORMAT_MESSAGE_FROM_HMODULE is given, else (or when
// the file has no such message) from the system's own messages when
// FORMAT_MESSAGE_FROM_SYSTEM is given. With FORMAT_MESSAGE_IGNORE_INSERTS the numbered inserts
// stay as written and `inserts` is not used. Returns 0 with the text in *out, 317 when no
// source has the message, 87 when neither source flag is given.
long FormatMessage(uint32_t flags, HMESSAGEFILE file, uint32_t id,
                   const std::vector<std::string>& inserts, std::string* out);

// `text` with its escapes processed; numbered inserts are taken from `inserts`, or stay as
// written when `inserts` is null or too short.
std::string FormatMessageText(const std::string& text, const std::vector<std::string>* inserts);

// The message of an event as an event viewer shows it: the first file named by the source's
// EventMessageFile (files separated by ';', %NAME% expanded) that has message `eventId`,
// formatted with `strings`; then, when it holds "%%<n>" and the source has a
// ParameterMessageFile, each such insert is replaced by message n of the first parameter
// file that has them all. Returns 0 with *message set; 2 when the source is not registered
// under `log` or names no message file; 317 when no file has the message (the last file
// tried, expanded, is left in `lastFile` when given).
long FormatEventMessage(const std::string& log, const std::string& source, uint32_t eventId,
                        const std::vector<std::string>& strings, std::string* message,
                        std::string* lastFile = nullptr);

// Path of the generic message file of this machine root, whose every message is "%1"; it
// is written when missing. Sources registered by the admin tool without a file of their own
// use it. Returns 0 with *path set, or the error of writing it.
long EnsureGenericMessageFile(std::string* path);

}  // namespace vlzt::platform
