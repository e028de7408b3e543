// monitors/check_config.h
// The configured checks as the two monitors hold them, loaded from the registry once per
// monitor thread, and the configuration status file that records what went wrong.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitors/keywords.h"
#include "platform/eventlog.h"
#include "platform/sync.h"

namespace vlzt {

class CheckMatcher;

// One check: the conditions under which a record of its log raises an alert.
struct Check {
  KeywordList IncludeKeywords;
  KeywordList ExcludeKeywords;
  int32_t And = 0;     // 1: every include phrase must be present
  int32_t Reboot = 0;  // 1 when ActionToTake asks for a restart of the server
  std::string EventID;  // at most 259 characters; empty: any event
  std::string Source;   // at most 259 characters; empty: any source
  std::string Name;     // at most 255 characters
  std::string Command;  // at most 255 characters
  int32_t EventType = 0;
  int32_t AlertLevel = 0;
  int32_t ActionToTake = 0;
};

// One event log named by enabled checks, with every check naming it in registry order.
// The event-log monitor fills and uses the open log and its change event.
struct MonitoredEventLog {
  std::vector<Check> Checks;
  std::unique_ptr<platform::ManualResetEvent> ChangeEvent;
  platform::HEVENTLOG EventLog = nullptr;  // the open log, or null
  int32_t Failed = 0;
  std::string Name;  // at most 259 characters
};

// One log file named by enabled checks; the log-file monitor uses the reading state.
struct MonitoredLogFile {
  std::vector<Check> Checks;
  int64_t LastSize = 0;  // file size seen at the last look
  int32_t Dated = 0;     // 1 when the name contains date tokens
  int64_t Position = 0;  // bytes from the start of the file to the next unread line
  int32_t LogType = 0;
  std::string FileName;  // at most 259 characters: the pattern with the date tokens replaced
  std::string Pattern;   // at most 259 characters: File unquoted, environment expanded
  std::shared_ptr<CheckMatcher> Matcher;  // the checks' phrases in one scanner, built on first use
};

// Section names and keys of the configuration status file.
inline constexpr const char* kEventLogsSection = "EventLogs";
inline constexpr const char* kLogFilesSection = "LogFiles";
inline constexpr const char* kNoConfigValues = "NoConfigValues";
inline constexpr const char* kPermanentError = "PermanentError";
inline constexpr const char* kNoKeywordError = "NoKeywordError";

// The configuration status file: vlZTConfigStatus_LOG.err in the Home directory.
std::string ConfigStatusFilePath();

// Loads every enabled event-log check ("Log1", "Log2", ... below kLogsKey, up to the first
// without LogType) into `list`, one entry per log name. Returns the number of checks loaded,
// counting those that memory ran out for.
int LoadEventLogChecks(std::vector<MonitoredEventLog>& list);

// The same for log-file checks; `dated` becomes 1 when any entry's name has date tokens.
int LoadLogFileChecks(std::vector<MonitoredLogFile>& list, int32_t& dated);

// Attaches check `n` (key `checkKeyPath`) to the entry of its File, appending a new entry
// when no entry has it. Returns 1 when the check was added, 0 when it has no File or memory
// ran out (then PermanentError is recorded).
int AddEventLogConfig(std::vector<MonitoredEventLog>& list, const std::string& checkKeyPath, int n);
int AddLogFileConfig(std::vector<MonitoredLogFile>& list, const std::string& checkKeyPath, int n);

// Reads check `n` (key `checkKeyPath`) into a Check appended to `entry`; a check without
// include phrases is logged and recorded as NoKeywordError, and appended all the same.
// Returns 1, or 0 when memory ran out (then PermanentError is recorded).
int AddEventLogKeywordGroup(MonitoredEventLog& entry, const std::string& checkKeyPath, int n);
int AddLogFileKeywordGroup(MonitoredLogFile& entry, const std::string& checkKeyPath, int n);

// Writes `key` = "1" into `section` of the status file, under StatusLock. A failed write is
// ignored.
void SetConfigStatus(const std::string& section, const std::string& key);

// Disables in the registry every check of the section's kind whose File is `logName` (any
// letter case) and, for each one that has a Name, writes "Title%d" = its name and "Reason%d"
// = `reason` into `section` of the status file, numbered by `counter` (increased first).
// Runs under StatusLock.
void ReportCheckProblem(const std::string& section, int& counter, const std::string& logName,
                        const std::string& reason);

// Replaces the date tokens of a log-file pattern: fills `result` (at most size - 1
// characters) and returns 1 when a token was replaced and the result fit, else 0.
using DateTokenExpander =
    std::function<int(const std::string& pattern, std::string& result, size_t size)>;

// Installs the date-token replacement AddLogFileConfig uses; an empty function (the
// default) treats every name as undated.
void SetDateTokenExpander(DateTokenExpander expander);

}  // namespace vlzt
