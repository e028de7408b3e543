// platform/eventlog.h
// Event logs: named logs of event records that any process may write, read sequentially in
// whole records, be told about changes, and clear.
//
// A log exists when the registry holds SYSTEM\CurrentControlSet\Services\EventLog\<log>
// (every machine root starts with Application, System and Security); its records live in
// <root>/eventlog/<log in lower case>/, made on first use. The folder holds `head`, a small
// fixed block naming the log's generation, the next record number, the oldest and current
// segment and how far the current one is written, and the segments `<id>.seg` (16 hex
// digits), each a header followed by records in the layout below.
//
// Writers take an exclusive lock on `head`, append the record to the current segment and
// only then advance `head`, so several writer processes never interleave or tear a record
// and a writer that dies mid-write leaves nothing a reader sees. Readers take a shared lock
// just to read `head` and then read the segment files up to the written end it names.
// A log's size is bounded by the value MaxSize (REG_DWORD, bytes, 64 KiB to 4 GiB - 1,
// default 20 MiB) under its key: segments are about a sixteenth of it, and once the log
// is over its size the oldest segments are removed whole, so records go oldest first and
// whole, and record numbers continue. Clearing removes every segment, starts a new
// generation and numbers records from 1 again. Files are not synced to disk per record.
//
// Record layout returned by ReadEventLog (little-endian, every record a multiple of 4 bytes
// long and starting 4-byte aligned relative to the buffer):
//
//   offset size  field
//        0    4  Length              bytes of the whole record, trailing copy included
//        4    4  Reserved            kEventLogSignature ("LfLe")
//        8    4  RecordNumber
//       12    4  TimeGenerated       seconds since 1970-01-01 UTC
//       16    4  TimeWritten         seconds since 1970-01-01 UTC
//       20    4  EventID             full 32-bit identifier; its low 16 bits are the number
//       24    2  EventType           1 error, 2 warning, 4 information, 8 audit success,
//                                    16 audit failure (0 success, shown as information)
//       26    2  NumStrings
//       28    2  EventCategory
//       30    2  ReservedFlags       0
//       32    4  ClosingRecordNumber 0
//       36    4  StringOffset        offset of the first insertion string
//       40    4  UserSidLength       0 (no user identifiers on this platform)
//       44    4  UserSidOffset       = StringOffset
//       48    4  DataLength
//       52    4  DataOffset          offset of the data, right after the strings
//       56       SourceName, zero-terminated
//                Computername, zero-terminated
//                NumStrings insertion strings, each zero-terminated, one after the other
//                DataLength bytes of data
//                zero padding to a multiple of 4
//   Length-4    4  Length again
//
// Every call returns 0 or the platform's error code:
//   2 unknown log or source, 5 access denied, 6 invalid handle, 13 damaged log file,
//   38 end of log, 87 invalid argument, 112 disk full, 122 buffer too small,
//   183 already exists, 1500 the log changed (cleared or deleted) since the handle opened.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sync.h"

namespace vlzt::platform {

// Event types.
enum : uint16_t {
  EVENTLOG_SUCCESS = 0x0000,
  EVENTLOG_ERROR_TYPE = 0x0001,
  EVENTLOG_WARNING_TYPE = 0x0002,
  EVENTLOG_INFORMATION_TYPE = 0x0004,
  EVENTLOG_AUDIT_SUCCESS = 0x0008,
  EVENTLOG_AUDIT_FAILURE = 0x0010,
};

// Read flags; only EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ is served.
enum : uint32_t {
  EVENTLOG_SEQUENTIAL_READ = 0x0001,
  EVENTLOG_SEEK_READ = 0x0002,
  EVENTLOG_FORWARDS_READ = 0x0004,
  EVENTLOG_BACKWARDS_READ = 0x0008,
};

// Error codes the readers act on.
inline constexpr long kErrorHandleEof = 38;
inline constexpr long kErrorInsufficientBuffer = 122;
inline constexpr long kErrorEventlogFileChanged = 1500;
inline constexpr long kErrorLogFileDamaged = 13;

inline constexpr uint32_t kEventLogSignature = 0x654c664c;  // "LfLe"
inline constexpr uint32_t kEventLogDefaultMaxSize = 20u * 1024 * 1024;
inline constexpr uint32_t kEventLogMinMaxSize = 64u * 1024;
// The largest record a writer may report.
inline constexpr uint32_t kEventLogMaxRecordSize = 256u * 1024;
// Registry key holding one subkey per log, and below it one per event source.
inline constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";

// The fixed part of a record, as it lies at the start of every record of a read buffer.
struct EVENTLOGRECORD {
  uint32_t Length;
  uint32_t Reserved;
  uint32_t RecordNumber;
  uint32_t TimeGenerated;
  uint32_t TimeWritten;
  uint32_t EventID;
  uint16_t EventType;
  uint16_t NumStrings;
  uint16_t EventCategory;
  uint16_t ReservedFlags;
  uint32_t ClosingRecordNumber;
  uint32_t StringOffset;
  uint32_t UserSidLength;
  uint32_t UserSidOffset;
  uint32_t DataLength;
  uint32_t DataOffset;
};
static_assert(sizeof(EVENTLOGRECORD) == 56);

// A record taken apart.
struct EventLogEntry {
  uint32_t recordNumber = 0;
  uint32_t timeGenerated = 0;
  uint32_t timeWritten = 0;
  uint32_t eventId = 0;
  uint16_t eventType = 0;
  uint16_t category = 0;
  std::string source;
  std::string computer;
  std::vector<std::string> strings;
  std::string data;
};

// Takes apart the record at `record`, of which `available` bytes are readable. Returns its
// Length, or 0 when those bytes do not hold one whole well-formed record (a length that
// overruns, a missing trailing length, offsets outside the record). Never reads outside the
// record: a string not terminated inside its area ends at the area's end, and at most
// NumStrings strings are taken.
uint32_t DecodeEventLogRecord(const void* record, size_t available, EventLogEntry* entry);

struct EventLogObject;
using HEVENTLOG = EventLogObject*;
struct EventSourceObject;
using HEVENTSOURCE = EventSourceObject*;

// --- Reading --------------------------------------------------------------------------

// Opens log `name` (any letter case) positioned before its oldest record; 2 when no such log.
long OpenEventLog(const std::string& name, HEVENTLOG* out);
// Closes the handle; after it returns the handle's notification event is never set again.
long CloseEventLog(HEVENTLOG log);

// Reads the next records, as many whole ones as fit into `buffer` (`size` bytes), and moves
// past them. `flags` must be EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ (87 else;
// `recordOffset` is then unused). Returns 0 with *bytesRead set; 38 when no record follows;
// 122 with *minNumberOfBytesNeeded the size of the next record when it does not fit (the
// position stays); 1500 once the log was cleared or deleted since the handle was opened, on
// every read until it is closed; 13 for a damaged log file.
long ReadEventLog(HEVENTLOG log, uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size,
                  uint32_t* bytesRead, uint32_t* minNumberOfBytesNeeded);

// Sets `event` (which must outlive the handle or a later call) within a few milliseconds
// of every write to, or clear of, the log by any process, until the handle is closed.
// A second call replaces the first event.
long NotifyChangeEventLog(HEVENTLOG log, ManualResetEvent* event);

// Number of records now in the log, and the number of its oldest record (0 when empty).
long GetNumberOfEventLogRecords(HEVENTLOG log, uint32_t* count);
long GetOldestEventLogRecord(HEVENTLOG log, uint32_t* oldest);

// Removes every record. Other open handles read 1500 next; this one reads on from the start
// of the emptied log.
long ClearEventLog(HEVENTLOG log);

// --- Writing --------------------------------------------------------------------------

// A handle for writing events of `source` into the log under which it is registered (the
// Application log when no log has it).
long RegisterEventSource(const std::string& source, HEVENTSOURCE* out);
long DeregisterEventSource(HEVENTSOURCE source);

// Appends one record; the time generated and written are now, the computer is this one.
// Strings end at their first zero byte. 87 for an unknown type, more than 65535 strings or
// a record over kEventLogMaxRecordSize; 2 when the log was deleted.
long ReportEvent(HEVENTSOURCE source, uint16_t type, uint16_t category, uint32_t eventId,
                 const std::vector<std::string>& strings, const std::string& data = "");

// --- Logs and sources -----------------------------------------------------------------

// True for a usable log or source name: 1 to 255 characters, no '\', '/' or control
// character, not starting with '.'.
bool IsValidEventLogName(const std::string& name);

// The registered spelling of log `name`; 2 when there is no such log.
long FindEventLog(const std::string& name, std::string* registered);
// Creates log `name` (its key and folder); 183 when it exists, 87 for a bad name.
long CreateEventLog(const std::string& name);
// Deletes log `name` with its sources and records; open handles read 1500 next. 5 for the
// standard logs Application, System and Security.
long DeleteEventLog(const std::string& name);

// The log under which `source` is registered (its registered spelling); 2 when none.
long FindEventSourceLog(const std::string& source, std::string* log);
// Registers `source` under `log` with its message files (REG_EXPAND_SZ; an empty
// `parameterMessageFile` removes that value). 2 unknown log, 183 when the source is
// registered under another log, 87 bad name. Re-registering under the same log updates it.
long AddEventSource(const std::string& log, const std::string& source,
                    const std::string& eventMessageFile, const std::string& parameterMessageFile);
// Removes `source` from `log`; 2 when it is not registered there.
long DeleteEventSource(const std::string& log, const std::string& source);

}  // namespace vlzt::platform
