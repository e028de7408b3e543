// monitors/eventlog_monitor.cpp
#include "monitors/eventlog_monitor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "alerting/automatic_responses.h"
#include "alerting/stored_messages.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "monitors/keywords.h"
#include "monitors/recent_duplicates.h"
#include "platform/environment.h"
#include "platform/eventlog.h"
#include "platform/message_files.h"
#include "platform/sync.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr int kOrigin = 2;  // "Event Log Monitor"
constexpr const char* kModule = "vlZTEventLog";
constexpr const char* kConfigKey = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";
constexpr int32_t kDefaultPollInterval = 10;
// Records are read in whole buffers of this size; a record that needs more grows the buffer
// for the rest of the call.
constexpr uint32_t kReadBufferSize = 64 * 1024;
constexpr uint32_t kForwards = platform::EVENTLOG_SEQUENTIAL_READ | platform::EVENTLOG_FORWARDS_READ;
// Further insertion strings of a record are ignored.
constexpr size_t kMaxStrings = 30;
constexpr size_t kPathLimit = 259;
constexpr size_t kRegistryText = 260;
constexpr size_t kParameterLimit = 1000;
constexpr size_t kParameterDigits = 49;
constexpr long kNotEnoughMemory = 8;

std::atomic<int> g_checksLoaded{0};
std::atomic<bool> g_notify{true};
LatestRecords g_latest;
// "Title%d" numbering of the status file's EventLogs section; only the monitor thread uses it.
int g_problemCounter = 0;

RecentDuplicates& Duplicates() {
  static RecentDuplicates ring;
  return ring;
}

bool Stopping() { return ServiceState().StopServerEvent.IsSet(); }

void Log(int level, const char* function, const std::string& text) {
  vlZTLog_Message(level, 0, nullptr, kModule, function, "s", text);
}

int32_t ReadPollInterval() {
  int32_t value = kDefaultPollInterval;
  if (vlZTREG_ReadNumber(kConfigKey, "EventLogPollInterval", &value) != 0 || value < 1) value = kDefaultPollInterval;
  return value;
}

// The file names of a message-file value: split at semicolons and line ends, blanks around
// each name dropped, empty names skipped, each cut to 259 characters.
std::vector<std::string> SplitFileList(const std::string& list) {
  std::vector<std::string> files;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(";\r\n", start);
    std::string_view name(list.data() + start, (end == std::string::npos ? list.size() : end) - start);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (!name.empty()) files.emplace_back(name.substr(0, kPathLimit));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return files;
}

std::string ExpandPath(const std::string& file) {
  return platform::ExpandEnvironmentStrings(file).substr(0, kPathLimit);
}

// The fields of one record that the monitor uses.
struct RecordFields {
  uint32_t eventId = 0;
  uint16_t eventType = 0;
  std::string source;
  std::vector<std::string> strings;  // at most kMaxStrings
};

// The text at `from` up to its zero byte or `limit`, whichever comes first; moves `from`
// past it and its zero.
std::string_view TextAt(const char* record, uint32_t& from, uint32_t limit) {
  const char* s = record + from;
  const void* zero = std::memchr(s, '\0', limit - from);
  size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - s) : limit - from;
  from = static_cast<uint32_t>(from + n + (zero ? 1 : 0));
  return {s, n};
}

// Takes apart the record at `record` of `length` bytes (at least the fixed part and the
// trailing length). Offsets that point outside the record give no strings; a text that is
// not terminated ends where its area ends.
void ReadRecord(const char* record, uint32_t length, RecordFields& r) {
  platform::EVENTLOGRECORD h;
  std::memcpy(&h, record, sizeof h);
  const uint32_t end = length - 4;
  r.eventId = h.EventID;
  r.eventType = h.EventType;
  const bool stringsInside = h.StringOffset >= sizeof h && h.StringOffset <= end;
  uint32_t at = sizeof h;
  r.source.assign(TextAt(record, at, stringsInside ? h.StringOffset : end));
  size_t count = 0;
  if (stringsInside) {
    uint32_t stringsEnd = h.DataOffset >= h.StringOffset && h.DataOffset <= end ? h.DataOffset : end;
    at = h.StringOffset;
    size_t wanted = std::min<size_t>(h.NumStrings, kMaxStrings);
    for (; count < wanted && at < stringsEnd; ++count) {
      std::string_view text = TextAt(record, at, stringsEnd);
      if (count < r.strings.size())
        r.strings[count].assign(text);
      else
        r.strings.emplace_back(text);
    }
  }
  r.strings.resize(count);
}

// Event types a check's EventType lets through: 1 errors and audit successes, 2 warnings and
// audit failures, 3 information (success records are shown as information).
bool TypeMatches(int32_t wanted, uint16_t type) {
  switch (wanted) {
    case 0:
      return true;
    case 1:
      return type == platform::EVENTLOG_ERROR_TYPE || type == platform::EVENTLOG_AUDIT_SUCCESS;
    case 2:
      return type == platform::EVENTLOG_WARNING_TYPE || type == platform::EVENTLOG_AUDIT_FAILURE;
    case 3:
      return type == platform::EVENTLOG_INFORMATION_TYPE || type == platform::EVENTLOG_SUCCESS;
    default:
      return false;
  }
}

// The alert raised, outside a first run, when a log cannot be monitored; `text` holds one
// "%s" for the log name.
void ConfigurationAlert(const MonitoredEventLog& entry, std::string_view text) {
  if (ServiceState().FirstRun != 0) return;
  std::string appName = entry.Name + " Event Log";
  std::string message(text);
  size_t at = message.find("%s");
  if (at != std::string::npos) message.replace(at, 2, entry.Name);
  NotifyError(4, 1023, 0, "Monitor/Configuration Error", appName, message, appName.c_str(), entry.Name.c_str(), nullptr,
              0);
}

// Records that the log of `entry` cannot be used: the alert, the status file, the checks
// disabled, the entry failed.
void GiveUp(MonitoredEventLog& entry, std::string_view alertText, const char* reason) {
  ConfigurationAlert(entry, alertText);
  ReportCheckProblem(kEventLogsSection, g_problemCounter, entry.Name, reason);
  entry.Failed = 1;
}

// Opens and watches the log of `entry`; with `position`, moves past the records already in
// it. Without, reading starts at the log's oldest record, which after a clear is the first
// one written since.
int OpenAndWatch(MonitoredEventLog& entry, bool position) {
  ReportRuntimeActivity(kOrigin, "sss", "Initialising monitoring for the ", entry.Name, " Event Log");
  platform::HEVENTLOG log = nullptr;
  long rc = platform::OpenEventLog(entry.Name, &log);
  if (rc != 0) {
    vlZTLog_Message(1, 0, nullptr, kModule, "MonitorEventLog", "sssl", "The event log ", entry.Name,
                    " could not be accessed. Please check the name matches an available event log and contact your "
                    "System Administrator. Error: ",
                    rc);
    GiveUp(entry,
           "Please investigate - the event log %s cannot be monitored because it does not exist on this host. Please "
           "report this error to the System Administrator",
           "Event log file does not exist on this server");
    return 0;
  }
  entry.EventLog = log;
  try {
    entry.ChangeEvent = std::make_unique<platform::ManualResetEvent>();
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "MonitorEventLog", "sssl", "The event log ", entry.Name,
                    " could not be monitored because the event could not be created. Please check the name matches "
                    "an available event log and contact your System Administrator. Error: ",
                    kNotEnoughMemory);
    platform::CloseEventLog(log);
    entry.EventLog = nullptr;
    GiveUp(entry,
           "Please investigate - the event log %s cannot be monitored because the requested notification event could "
           "not be created on this host. Please report this error to the System Administrator",
           "Auto-notification event could not be created for this Event log file");
    return 0;
  }
  // Watched before the reader moves to the end, so that no record written meanwhile waits
  // for the poll.
  if (g_notify.load() && (rc = platform::NotifyChangeEventLog(log, entry.ChangeEvent.get())) != 0) {
    vlZTLog_Message(1, 0, nullptr, kModule, "MonitorEventLog", "sssl", "The event log ", entry.Name,
                    " could not be monitored. Please check the name matches an available event log and contact your "
                    "System Administrator. Error: ",
                    rc);
    // The log first: once it is closed the event is never set again.
    platform::CloseEventLog(log);
    entry.EventLog = nullptr;
    entry.ChangeEvent.reset();
    GiveUp(entry,
           "Please investigate - the event log %s cannot be monitored because the requested notification could not "
           "be set on this host. Please report this error to the System Administrator",
           "Auto-notification event could not be registered for this Event log file");
    return 0;
  }
  if (position) {
    ReportRuntimeActivity(kOrigin, "s", "Locating current position");
    ProcessEventLog(1, entry);
  }
  return entry.Failed ? 0 : 1;
}

void Alert(const MonitoredEventLog& entry, const Check& check, const std::string& alertText) {
  ReportRuntimeActivity(kOrigin, "s", "Event is configured for alerting");
  const std::string appName = entry.Name + " Event Log";
  const uint32_t level = static_cast<uint32_t>(check.AlertLevel);
  std::string response;
  int result = RunSpecifiedActions(4, level, check.ActionToTake, check.Name, alertText, check.Reboot, check.Command,
                                   check.Name.c_str(), appName.c_str(), nullptr, &response);
  if (result == kNoResponse) {
    std::string message = alertText;
    NotifyError(4, level, check.ActionToTake, check.Name, appName, message, appName.c_str(), entry.Name.c_str(),
                check.Name.c_str(), 0);
  } else if (result != kResponseHandled && ServiceState().NotifyRunningActions != 0 && !response.empty()) {
    std::string message;
    try {
      message =
          "The following error was detected in the " + check.Name + " (Event Log). " + response + alertText + " ...";
    } catch (const std::bad_alloc&) {
      Log(1, "ProcessEventLog", "Insufficient memory available to generate the display/alert message");
    }
    if (!message.empty())
      NotifyError(4, level, check.ActionToTake, check.Name, appName, message, appName.c_str(), entry.Name.c_str(),
                  check.Name.c_str(), 1);
  }
  if (ServiceState().EnableWebReports == 1) AddLatestEventRecord(check.Name, FormatCurrentTime(), alertText);
}

// Builds the alert text of record `r` of the log of `entry` into `text`. Returns 0 when
// memory ran out (logged).
int BuildAlertText(const MonitoredEventLog& entry, const RecordFields& r, std::string& text) {
  const uint32_t number = r.eventId & 0xFFFF;
  bool haveMessage = false;
  try {
    ReportRuntimeActivity(kOrigin, "sls", "Event ", number, " has been detected in the Event Log");
    std::string files, parameters, lastTried, message;
    // A source name that could step to another key has no message file.
    bool registered = platform::IsValidEventLogName(r.source);
    const std::string key = std::string(platform::kEventLogKey) + "\\" + entry.Name + "\\" + r.source;
    if (!registered || vlZTREG_ReadString(key, "EventMessageFile", files, kRegistryText) != 0)
      vlZTLog_Message(2, 0, nullptr, kModule, "ProcessEventLog", "ss", "Warning: No message DLL was found for ",
                      r.source);
    else
      for (const std::string& file : SplitFileList(files))
        if ((haveMessage = FormatFromModule(file, lastTried, r.eventId, r.strings, message) == 1)) break;
    if (haveMessage && message.find("%%") != std::string::npos &&
        vlZTREG_ReadString(key, "ParameterMessageFile", parameters, kRegistryText) == 0)
      for (const std::string& file : SplitFileList(parameters))
        if (ReplaceParameterInserts(file, message) == 1) break;

    if (haveMessage) {
      text = std::move(message);
    } else {
      text.assign(
          "Internal Configuration Error. The Velmora/Tavish Monitor was unable to translate the Event Log message (or "
          "load the translation DLL ");
      text += lastTried;
      text += ") for the following message: ";
      for (size_t i = 0; i < r.strings.size(); ++i) {
        if (i) text += ", ";
        text += r.strings[i];
      }
    }
    text += "(Event ID: ";
    text += std::to_string(number);
    text += ", Source: ";
    text += r.source;
    text += ")";
    return 1;
  } catch (const std::bad_alloc&) {
    if (haveMessage)
      vlZTLog_Message(1, 0, nullptr, kModule, "ProcessEventLog", "sl",
                      "Insufficient memory whilst expanding event log block. Error ", kNotEnoughMemory);
    else
      Log(1, "ProcessEventLog", "Insufficient memory whilst allocating event log block");
    return 0;
  }
}

// Steps of one record: its alert text, the duplicate test, the checks. Returns 0 when memory
// ran out.
int TestRecord(const MonitoredEventLog& entry, const char* record, uint32_t length) {
  // Kept between records, so the hot path allocates only for a longer text than before.
  static thread_local RecordFields fields;
  static thread_local std::string text;
  static thread_local FoldedText folded;
  ReadRecord(record, length, fields);
  if (!BuildAlertText(entry, fields, text)) return 0;
  if (IsRecentDuplicate(fields.source, text) == 1) {
    ReportRuntimeActivity(kOrigin, "s", "Inbound event already alerted within timeframe - it will be ignored");
    return 1;
  }
  const std::string number = std::to_string(fields.eventId & 0xFFFF);
  bool isFolded = false;
  auto fold = [&]() -> const FoldedText& {
    if (!isFolded) folded.Assign(text);
    isFolded = true;
    return folded;
  };
  for (const Check& check : entry.Checks) {
    if (!check.ExcludeKeywords.empty() && MatchKeywords(fold(), 0, check.ExcludeKeywords) != 0) continue;
    if (!check.EventID.empty() && !EqualsIgnoreCase(check.EventID, number)) continue;
    if (!check.Source.empty() && !EqualsIgnoreCase(check.Source, fields.source)) continue;
    if (!TypeMatches(check.EventType, fields.eventType)) continue;
    // A check without include phrases passes nothing, as its load reported.
    if (check.IncludeKeywords.empty() || MatchKeywords(fold(), check.And, check.IncludeKeywords) != 1) continue;
    Alert(entry, check, text);
  }
  return 1;
}

void CloseAll(std::vector<MonitoredEventLog>& list) {
  for (MonitoredEventLog& entry : list) MonitorEventLog(0, entry);
  list.clear();
}

void WriteFragment(std::ostream& out) {
  ReportRuntimeActivity(kOrigin, "s", "Generating web data");
  WriteMonitorFragment(out, g_checksLoaded.load() != 0, g_latest, "images/EventLog.bmp",
                       "Latest Event Log Records ...",
                       {{"Event Log", 216}, {"Time", 150}, {"Message (Source, Event ID)", 360}});
}

}  // namespace

int FormatFromModule(const std::string& messageFile, std::string& expandedPath, uint32_t eventId,
                     const std::vector<std::string>& strings, std::string& message) {
  expandedPath = ExpandPath(messageFile);
  platform::HMESSAGEFILE file = nullptr;
  if (platform::LoadMessageFile(expandedPath, &file) != 0) return 0;
  long rc = platform::FormatMessage(platform::FORMAT_MESSAGE_FROM_HMODULE | platform::FORMAT_MESSAGE_FROM_SYSTEM, file,
                                    eventId, strings, &message);
  platform::FreeMessageFile(file);
  return rc == 0 ? 1 : 0;
}

int ReplaceParameterInserts(const std::string& parameterFile, std::string& message) {
  platform::HMESSAGEFILE file = nullptr;
  if (platform::LoadMessageFile(ExpandPath(parameterFile), &file) != 0) return 0;
  std::string copy;
  int result = 1;
  size_t pos = 0;
  while (true) {
    size_t at = message.find("%%", pos);
    if (at == std::string::npos) break;
    // The insert's number is the digits after it; the text after them stays.
    size_t digits = at + 2;
    uint64_t id = 0;
    while (digits < message.size() && digits - at - 2 < kParameterDigits && message[digits] >= '0' &&
           message[digits] <= '9')
      id = id * 10 + static_cast<uint64_t>(message[digits++] - '0');
    if (digits == at + 2) {
      copy.append(message, pos, digits - pos);  // not a parameter insert
      pos = digits;
      continue;
    }
    std::string parameter;
    if (id > 0xFFFFFFFFu ||
        platform::FormatMessage(platform::FORMAT_MESSAGE_FROM_HMODULE | platform::FORMAT_MESSAGE_IGNORE_INSERTS, file,
                                static_cast<uint32_t>(id), {}, &parameter) != 0) {
      result = 0;
      break;
    }
    // A parameter is a word inside a sentence: its message's line end goes.
    if (parameter.size() >= 2 && parameter.compare(parameter.size() - 2, 2, "\r\n") == 0)
      parameter.resize(parameter.size() - 2);
    if (parameter.size() > kParameterLimit) parameter.resize(kParameterLimit);
    copy.append(message, pos, at - pos);
    copy += parameter;  // not scanned again, so a parameter naming itself cannot loop
    pos = digits;
  }
  platform::FreeMessageFile(file);
  if (result == 0) return 0;
  copy.append(message, pos, std::string::npos);
  message.swap(copy);
  return 1;
}

int IsRecentDuplicate(const std::string& source, const std::string& alertText) {
  return Duplicates().IsRecentDuplicate(source, alertText);
}

void SetDuplicateTickSource(std::function<uint32_t()> ticks) { Duplicates() = RecentDuplicates(std::move(ticks)); }

void SetChangeNotification(bool on) { g_notify = on; }

void AddLatestEventRecord(const std::string& name, const std::string& timeText, const std::string& alertText) {
  g_latest.Add(name, timeText, alertText);
}

bool GetLatestEventRecord(size_t index, LatestRecord& record) { return g_latest.Get(index, record); }

int MonitorEventLog(int mode, MonitoredEventLog& entry) {
  if (mode == 1) return OpenAndWatch(entry, true);
  ReportRuntimeActivity(kOrigin, "ss", "Closing Event Log ", entry.Name);
  long rc = 0;
  // The log before its event: once it is closed the event is never set again.
  if (entry.EventLog) rc = platform::CloseEventLog(entry.EventLog);
  entry.EventLog = nullptr;
  entry.ChangeEvent.reset();
  if (rc != 0) {
    vlZTLog_Message(1, 0, nullptr, kModule, "MonitorEventLog", "sssl", "The event log ", entry.Name,
                    " could not be closed. Please check the name matches an available event log and contact your "
                    "System Administrator. Error: ",
                    rc);
    return 0;
  }
  return 1;
}

int ProcessEventLog(int mode, MonitoredEventLog& entry) {
  std::vector<char> buffer;
  try {
    buffer.resize(kReadBufferSize);
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "ProcessEventLog", "ss",
                    "Insufficient memory whilst reading the Event Log: ", entry.Name);
    return 0;
  }
  while (true) {
    if (!entry.EventLog) return 1;  // a reopening failed
    uint32_t bytesRead = 0, needed = 0;
    long rc = platform::ReadEventLog(entry.EventLog, kForwards, 0, buffer.data(), static_cast<uint32_t>(buffer.size()),
                                     &bytesRead, &needed);
    if (rc == platform::kErrorInsufficientBuffer) {
      try {
        std::vector<char>().swap(buffer);
        buffer.resize(static_cast<size_t>(needed) + 1);
      } catch (const std::bad_alloc&) {
        vlZTLog_Message(1, 0, nullptr, kModule, "ProcessEventLog", "ss",
                        "Insufficient memory whilst reading the Event Log: ", entry.Name);
        return 0;
      }
      continue;
    }
    if (rc == platform::kErrorEventlogFileChanged) {
      ReportRuntimeActivity(kOrigin, "sss", "The Event Log ", entry.Name, " has been changed and is being reset");
      vlZTLog_Message(2, 0, nullptr, kModule, "ProcessEventLog", "sss", "The ", entry.Name,
                      " Event Log has been changed and is being reset");
      MonitorEventLog(0, entry);
      // While testing, the reopened log is read from its start: everything in it was written
      // after the clear, so none of it may be skipped.
      OpenAndWatch(entry, mode == 1);
      continue;
    }
    if (rc != 0) return 1;  // the end of the log, or a fault the next look retries
    if (Stopping()) {
      Log(3, "ProcessEventLog", "The Tavish Monitor is being shutdown");
      return 0;
    }
    if (mode == 1) continue;
    const char* data = buffer.data();
    for (uint32_t at = 0; bytesRead - at >= sizeof(platform::EVENTLOGRECORD) + 4;) {
      uint32_t length;
      std::memcpy(&length, data + at, sizeof length);
      if (length < sizeof(platform::EVENTLOGRECORD) + 4 || length > bytesRead - at) break;
      if (!TestRecord(entry, data + at, length)) return 0;
      at += length;
    }
  }
}

void VerifyEventLogs(std::ostream* out) {
  if (out) return WriteFragment(*out);
  if (!WaitAtStartGate()) return;
  ServiceStateRecord& state = ServiceState();

  ReportRuntimeActivity(kOrigin, "s", "Retrieving configuration details");
  std::vector<MonitoredEventLog> list;
  g_problemCounter = 0;
  g_checksLoaded = LoadEventLogChecks(list);
  if (g_checksLoaded.load() == 0) {
    ReportRuntimeActivity(kOrigin, "s", "No configuration details specified or disabled");
    Log(3, "VerifyEventLogs", "There are no monitoring tasks to perform. The Event Log Monitor will close");
    SetConfigStatus(kEventLogsSection, kNoConfigValues);
    return;
  }
  for (MonitoredEventLog& entry : list)
    if (!entry.Failed && !MonitorEventLog(1, entry))
      vlZTLog_Message(2, 0, nullptr, kModule, "VerifyEventLogs", "ss",
                      "Warning: Unable to monitor the Windows Event Log: ", entry.Name);
  const uint32_t pollMs = static_cast<uint32_t>(ReadPollInterval()) * 1000u;

  std::vector<const platform::ManualResetEvent*> events;
  std::vector<MonitoredEventLog*> owners;  // owners[i] is the entry of events[i]
  while (true) {
    try {
      events.assign(1, &state.StopServerEvent);
      owners.assign(1, nullptr);
      for (MonitoredEventLog& entry : list) {
        if (entry.Failed || !entry.ChangeEvent) continue;
        events.push_back(entry.ChangeEvent.get());
        owners.push_back(&entry);
      }
    } catch (const std::bad_alloc&) {
      Log(1, "VerifyEventLogs", "Insufficient memory to allocate event handler");
      SetConfigStatus(kEventLogsSection, kPermanentError);
      CloseAll(list);
      return;
    }
    int which = platform::WaitForAny(events, pollMs);
    if (which == 0) {
      Log(3, "VerifyEventLogs", "The Tavish Monitor is being shutdown");
      CloseAll(list);
      if (state.EnableWebReports == 1) g_latest.Clear();
      return;
    }
    if (which == platform::kWaitTimeout) {
      for (MonitoredEventLog& entry : list)
        if (!entry.Failed && !ProcessEventLog(2, entry) && Stopping()) break;
    } else if (which > 0 && static_cast<size_t>(which) < owners.size()) {
      // Cleared first, so a record written while this one is read wakes the next wait.
      owners[static_cast<size_t>(which)]->ChangeEvent->Reset();
      ProcessEventLog(2, *owners[static_cast<size_t>(which)]);
    }
  }
}

}  // namespace vlzt
