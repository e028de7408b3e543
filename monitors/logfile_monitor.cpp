// monitors/logfile_monitor.cpp
#include "monitors/logfile_monitor.h"

#include <atomic>
#include <vector>

#include "alerting/automatic_responses.h"
#include "alerting/stored_messages.h"
#include "console/activity.h"
#include "monitors/date_tokens.h"
#include "monitors/keywords.h"
#include "monitors/log_lines.h"
#include "monitors/phrase_scanner.h"
#include "monitors/recent_duplicates.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr int kOrigin = 3;  // "Log File Monitor"
constexpr const char* kModule = "vlZTLogFile";
constexpr const char* kConfigKey = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";
constexpr int32_t kDefaultPollInterval = 10;

std::atomic<int> g_checksLoaded{0};
LatestRecords g_latest;

RecentDuplicates& Duplicates() {
  static RecentDuplicates ring;
  return ring;
}

int32_t PollInterval() {
  static const int32_t interval = [] {
    int32_t value = kDefaultPollInterval;
    if (vlZTREG_ReadNumber(kConfigKey, "LogFilePollInterval", &value) != 0 || value <= 0)
      value = kDefaultPollInterval;
    return value;
  }();
  return interval;
}

void Log(int level, const char* function, const std::string& text) {
  vlZTLog_Message(level, 0, nullptr, kModule, function, "s", text);
}

bool Stopping() { return ServiceState().StopServerEvent.IsSet(); }

void Alert(MonitoredLogFile& entry, const Check& check, const std::string& line) {
  ReportRuntimeActivity(kOrigin, "s", "Entry is configured for alerting");
  std::string appName = "Log File " + entry.FileName;
  std::string response;
  int result = RunSpecifiedActions(4, static_cast<uint32_t>(check.AlertLevel), check.ActionToTake, check.Name, line,
                                   check.Reboot, check.Command, check.Name.c_str(), appName.c_str(), nullptr,
                                   &response);
  if (result == kNoResponse) {
    std::string message = line;
    NotifyError(4, static_cast<uint32_t>(check.AlertLevel), check.ActionToTake, check.Name, appName, message,
                appName.c_str(), entry.FileName.c_str(), check.Name.c_str(), 0);
  } else if (result == kResponseRan && ServiceState().NotifyRunningActions != 0 && !response.empty()) {
    std::string message =
        "The following error was detected in the " + check.Name + " (Log File). " + response + ". " + line + " ...";
    // The notice reports a response that ran, so it is marked as one.
    NotifyError(4, static_cast<uint32_t>(check.AlertLevel), check.ActionToTake, check.Name, appName, message,
                appName.c_str(), entry.FileName.c_str(), check.Name.c_str(), 1);
  }
  if (ServiceState().EnableWebReports == 1) AddLatestLogRecord(check.Name, line);
}

// Tests one line against the checks of its file; the first check that passes takes it.
void TestLine(MonitoredLogFile& entry, const std::string& line) {
  CheckMatcher& matcher = *entry.Matcher;
  for (size_t n : matcher.Scan(line)) {
    const Check& check = entry.Checks[n];
    if (matcher.Includes(n, check.And) != 1) continue;
    if (Duplicates().IsRecentDuplicate(entry.FileName, line) != 0) {
      ReportRuntimeActivity(kOrigin, "s", "Inbound text already alerted within timeframe - it will be ignored");
      continue;
    }
    if (matcher.Excludes(n) != 0) continue;
    Alert(entry, check, line);
  }
}

void WriteFragment(std::ostream& out) {
  ReportRuntimeActivity(kOrigin, "s", "Generating web data");
  WriteMonitorFragment(out, g_checksLoaded.load() != 0, g_latest, "images/File.bmp", "Latest Logged Records ...",
                       {{"Log File", 216}, {"Message Text", 510}});
}

}  // namespace

void InitLogFile(MonitoredLogFile& entry) {
  ReportRuntimeActivity(kOrigin, "ss", "Initialising monitoring for the log file ", entry.FileName);
  auto file = platform::ReadOnlyFile::Open(entry.FileName);
  entry.Position = file ? static_cast<int64_t>(FindEndOffset(*file, 0, true)) : 0;
}

void CheckLatestLogFileMessages(MonitoredLogFile& entry) {
  auto file = platform::ReadOnlyFile::Open(entry.FileName);
  if (!file) return;
  int64_t size = file->Size();
  if (size < 0) size = 0;
  bool reset = false;
  if (size < entry.LastSize) {
    ReportRuntimeActivity(kOrigin, "sss", "The Log File ", entry.FileName, " has been changed. Repositioning scan");
    reset = true;
  } else if (entry.Position > size) {
    reset = true;  // the read position lies beyond the end of the file
  }
  entry.LastSize = size;
  if (reset) {
    vlZTLog_Message(2, 0, nullptr, kModule, "CheckLatestLogFileMessages", "sss", "Warning: The log file ",
                    entry.FileName, " has been reset. Monitoring will continue from the new location");
    entry.Position = static_cast<int64_t>(FindEndOffset(*file, 0, true));
    return;
  }
  static thread_local std::string line;
  if (!entry.Matcher) entry.Matcher = std::make_shared<CheckMatcher>(entry.Checks);
  LogLineReader reader(*file, static_cast<uint64_t>(entry.Position));
  while (true) {
    if (Stopping()) {
      Log(3, "CheckLatestLogFileMessages", "The Tavish Monitor is being shutdown");
      return;
    }
    LogLineReader::Result r = reader.Next(line);
    if (r == LogLineReader::kEnd) {
      entry.Position = static_cast<int64_t>(reader.Position());
      return;
    }
    if (r == LogLineReader::kError) return;
    if (r == LogLineReader::kTooLong) {
      vlZTLog_Message(2, 0, nullptr, kModule, "CheckLatestLogFileMessages", "sss",
                      "Warning: The log record exceeds the maximum permitted limit in the file ", entry.FileName,
                      ". Continuing from the end of file");
      entry.Position = static_cast<int64_t>(FindEndOffset(*file, reader.Position(), false));
      return;
    }
    entry.Position = static_cast<int64_t>(reader.Position());
    ReportRuntimeActivity(kOrigin, "ss", "Entry found in log file ", entry.FileName);
    TestLine(entry, line);
  }
}

int32_t MinutesUntil(const std::string& dateText) {
  static int32_t dateFormat = 0;
  {
    std::lock_guard<std::mutex> lock(ServiceState().StatusLock);
    if (dateFormat == 0) {
      int32_t value = 1;
      if (vlZTREG_ReadNumber(kConfigKey, "DateFormat", &value) != 0 || value == 0) value = 1;
      dateFormat = value;
    }
  }
  auto field = [&](size_t pos, size_t len) {
    return pos < dateText.size() ? std::atoi(dateText.substr(pos, len).c_str()) : 0;
  };
  int first = field(0, 2), second = field(3, 2);
  if (first == 0) return 0;
  std::tm when{};
  when.tm_mday = dateFormat == 1 ? first : second;
  when.tm_mon = (dateFormat == 1 ? second : first) - 1;
  when.tm_year = field(6, 4) - 1900;
  when.tm_hour = field(11, 2);
  when.tm_min = field(14, 2);
  int64_t target = platform::CalendarTime(when);
  int64_t diff = target - platform::CurrentTime();
  return diff > 0 ? static_cast<int32_t>(diff / 60) : 0;
}

int32_t NextPollInterval(int32_t anyDated, int32_t& rollover) {
  rollover = 0;
  int32_t poll = PollInterval();
  if (!anyDated) return poll;
  int64_t now = platform::CurrentTime();
  std::tm t = platform::LocalTime(now);
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  int64_t toMidnight = platform::CalendarTime(t) + 1 - now;
  if (poll < toMidnight) return poll;
  rollover = 1;
  return static_cast<int32_t>(toMidnight);
}

void AddLatestLogRecord(const std::string& name, const std::string& text) { g_latest.Add(name, "", text); }

bool GetLatestLogRecord(size_t index, LatestRecord& record) { return g_latest.Get(index, record); }

void VerifyLogFiles(std::ostream* out) {
  if (out) return WriteFragment(*out);
  if (!WaitAtStartGate()) return;
  ServiceStateRecord& state = ServiceState();

  ReportRuntimeActivity(kOrigin, "s", "Retrieving configuration details");
  SetDateTokenExpander(ExpandDateTokens);
  std::vector<MonitoredLogFile> list;
  int32_t dated = 0;
  g_checksLoaded = LoadLogFileChecks(list, dated);
  if (g_checksLoaded.load() == 0) {
    ReportRuntimeActivity(kOrigin, "s", "No configuration details specified or disabled");
    Log(3, "VerifyLogFiles", "There are no monitoring tasks to perform. The Log File Monitor will close");
    SetConfigStatus(kLogFilesSection, kNoConfigValues);
    return;
  }

  std::string startOn;
  vlZTREG_ReadString(kConfigKey, "StartMonitoringOn", startOn, 100, "");
  if (!startOn.empty()) {
    int32_t minutes = MinutesUntil(startOn);
    if (minutes > 0) {
      vlZTLog_Message(3, 0, nullptr, kModule, "VerifyLogFiles", "sss", "Waiting until ", startOn,
                      " before monitoring commences");
      if (state.StopServerEvent.Wait(static_cast<uint32_t>(minutes) * 60000u)) return;
      Log(3, "VerifyLogFiles", "Server timed start completed. Monitoring continues ...");
    }
  }

  for (MonitoredLogFile& entry : list) InitLogFile(entry);

  while (true) {
    int32_t rollover = 0;
    int32_t wait = NextPollInterval(dated, rollover);
    if (state.StopServerEvent.Wait(static_cast<uint32_t>(wait) * 1000u)) {
      Log(3, "VerifyLogFiles", "The Tavish Monitor is being shutdown");
      break;
    }
    for (MonitoredLogFile& entry : list) {
      CheckLatestLogFileMessages(entry);
      if (Stopping()) {
        Log(3, "VerifyLogFiles", "The Tavish Monitor is being shutdown");
        g_latest.Clear();
        return;
      }
      if (rollover && entry.Dated) {
        std::string name;
        ExpandDateTokens(entry.Pattern, name, 260);
        entry.FileName = name;
        InitLogFile(entry);
        entry.LastSize = 0;
      }
    }
  }
  g_latest.Clear();
}

}  // namespace vlzt
