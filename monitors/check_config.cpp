// monitors/check_config.cpp
#include "monitors/check_config.h"

#include <mutex>
#include <new>
#include <string_view>

#include "platform/environment.h"
#include "platform/machine_root.h"
#include "platform/profile.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {

namespace {

constexpr size_t kPathSize = 260;  // File, EventID, Source
constexpr size_t kNameSize = 256;  // Name, Command

// What adding one check came to; the loaders count kAdded and kNoMemory.
enum class AddResult { kAdded, kNoFile, kNoMemory };

// How the two monitors differ while loading.
struct Kind {
  const char* module;
  const char* section;
  const char* configFunction;
  const char* groupFunction;
};
constexpr Kind kEventLogKind{"vlZTEventLog", kEventLogsSection, "AddEventLogConfig",
                             "AddEventLogKeywordGroup"};
constexpr Kind kLogFileKind{"vlZTLogFile", kLogFilesSection, "AddLogFileConfig",
                            "AddLogFileKeywordGroup"};

std::mutex expanderMutex;
DateTokenExpander dateTokenExpander;

bool IsEventLogType(int32_t type) { return type == 0 || type == 1 || type == 2 || type == 5; }
bool IsLogFileType(int32_t type) { return type == 3 || type == 4 || type == 6 || type == 7; }

// A value written into the status file stays on its line, whatever the registry held.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string CheckKeyPath(int n) { return std::string(kLogsKey) + "\\Log" + std::to_string(n); }

// The File value without its enclosing double quotes. Only a closing quote is removed, so an
// unclosed quote does not cost the path its last character, and a lone quote gives "".
std::string Unquote(const std::string& file) {
  if (file.empty() || file[0] != '"') return file;
  std::string inner = file.substr(1);
  if (!inner.empty() && inner.back() == '"') inner.pop_back();
  return inner;
}

// Reads the check into a new Check appended to `checks`.
int AddKeywordGroup(std::vector<Check>& checks, const std::string& checkKeyPath, int n,
                    const Kind& kind, bool eventLog) {
  try {
    Check check;
    vlZTREG_ReadFlag(checkKeyPath, "And", &check.And, 0);
    if (eventLog) vlZTREG_ReadNumber(checkKeyPath, "EventType", &check.EventType, 0);
    vlZTREG_ReadNumber(checkKeyPath, "ActionToTake", &check.ActionToTake, 0);
    vlZTREG_ReadNumber(checkKeyPath, "AlertLevel", &check.AlertLevel, 0);
    vlZTREG_ReadString(checkKeyPath, "Command", check.Command, kNameSize, "");
    vlZTREG_ReadString(checkKeyPath, "Name", check.Name, kNameSize, "");
    if (eventLog) {
      vlZTREG_ReadString(checkKeyPath, "EventID", check.EventID, kPathSize, "");
      vlZTREG_ReadString(checkKeyPath, "Source", check.Source, kPathSize, "");
    }
    check.Reboot = check.ActionToTake == 2 ? 1 : 0;

    const std::string subKey = "Log" + std::to_string(n);
    if (LoadKeywords(subKey, "KeywordInclude", check.IncludeKeywords) > 0) {
      LoadKeywords(subKey, "KeywordExclude", check.ExcludeKeywords);
    } else {
      vlZTLog_Message(2, 0, nullptr, kind.module, kind.groupFunction, "sss",
                      "There are no keywords defined for the keyword group/resource ",
                      check.Name, ". The check will be ignored");
      SetConfigStatus(kind.section, kNoKeywordError);
    }
    checks.push_back(std::move(check));
    return 1;
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kind.module, kind.groupFunction, "s",
                    "Insufficient memory to allocate Event Log keyword group");
    SetConfigStatus(kind.section, kPermanentError);
    return 0;
  }
}

void LogNoMemoryForEntry(const Kind& kind) {
  vlZTLog_Message(1, 0, nullptr, kind.module, kind.configFunction, "s",
                  "Insufficient memory to allocate Event Log configuration");
  SetConfigStatus(kind.section, kPermanentError);
}

AddResult AddEventLog(std::vector<MonitoredEventLog>& list, const std::string& checkKeyPath,
                      int n) {
  std::string file;
  if (vlZTREG_ReadString(checkKeyPath, "File", file, kPathSize) != 0) return AddResult::kNoFile;
  size_t at = 0;
  while (at < list.size() && !EqualsIgnoreCase(list[at].Name, file)) ++at;
  const bool created = at == list.size();
  if (created) {
    try {
      list.emplace_back();
      list.back().Name = file;
    } catch (const std::bad_alloc&) {
      if (list.size() > at) list.pop_back();
      LogNoMemoryForEntry(kEventLogKind);
      return AddResult::kNoMemory;
    }
  }
  if (!AddEventLogKeywordGroup(list[at], checkKeyPath, n)) {
    if (created) list.pop_back();  // an entry without checks would be opened for nothing
    return AddResult::kNoMemory;
  }
  return AddResult::kAdded;
}

AddResult AddLogFile(std::vector<MonitoredLogFile>& list, const std::string& checkKeyPath,
                     int n) {
  std::string file;
  if (vlZTREG_ReadString(checkKeyPath, "File", file, kPathSize) != 0) return AddResult::kNoFile;
  // The raw value against the stored pattern: a quoted or variable name never joins.
  size_t at = 0;
  while (at < list.size() && !EqualsIgnoreCase(list[at].Pattern, file)) ++at;
  const bool created = at == list.size();
  if (created) {
    try {
      MonitoredLogFile entry;
      entry.Pattern = platform::ExpandEnvironmentStrings(Unquote(file)).substr(0, kPathSize - 1);
      vlZTREG_ReadNumber(checkKeyPath, "LogType", &entry.LogType, 0);
      DateTokenExpander expand;
      {
        std::lock_guard<std::mutex> lock(expanderMutex);
        expand = dateTokenExpander;
      }
      std::string dated;
      if (expand && expand(entry.Pattern, dated, kPathSize)) {
        entry.Dated = 1;
        entry.FileName = dated.substr(0, kPathSize - 1);
      } else {
        entry.FileName = entry.Pattern;
      }
      list.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
      if (list.size() > at) list.pop_back();
      LogNoMemoryForEntry(kLogFileKind);
      return AddResult::kNoMemory;
    }
  }
  if (!AddLogFileKeywordGroup(list[at], checkKeyPath, n)) {
    if (created) list.pop_back();
    return AddResult::kNoMemory;
  }
  return AddResult::kAdded;
}

// The loading loop both monitors share: "Log1", "Log2", ... up to the first without LogType.
template <typename Entry, typename Add>
int LoadChecks(std::vector<Entry>& list, bool (*ofKind)(int32_t), Add add) {
  int count = 0;
  for (int n = 1;; ++n) {
    const std::string keyPath = CheckKeyPath(n);
    int32_t type = 0;
    if (vlZTREG_ReadNumber(keyPath, "LogType", &type) != 0) break;
    if (!ofKind(type)) continue;
    int32_t enabled = 0;
    if (vlZTREG_ReadNumber(keyPath, "Enabled", &enabled) != 0 || enabled != 1) continue;
    // A check memory ran out for still counts, so the monitor reports PermanentError rather
    // than an empty configuration; one without File is simply not there.
    if (add(list, keyPath, n) != AddResult::kNoFile) ++count;
  }
  return count;
}

}  // namespace

std::string ConfigStatusFilePath() {
  return platform::JoinPath(ServiceState().Home,
                            std::string("vlZTConfigStatus") + "_" + "LOG" + ".err");
}

int LoadEventLogChecks(std::vector<MonitoredEventLog>& list) {
  return LoadChecks(list, IsEventLogType, AddEventLog);
}

int LoadLogFileChecks(std::vector<MonitoredLogFile>& list, int32_t& dated) {
  int count = LoadChecks(list, IsLogFileType, AddLogFile);
  dated = 0;
  for (const MonitoredLogFile& entry : list)
    if (entry.Dated) dated = 1;
  return count;
}

int AddEventLogConfig(std::vector<MonitoredEventLog>& list, const std::string& checkKeyPath,
                      int n) {
  return AddEventLog(list, checkKeyPath, n) == AddResult::kAdded ? 1 : 0;
}

int AddLogFileConfig(std::vector<MonitoredLogFile>& list, const std::string& checkKeyPath,
                     int n) {
  return AddLogFile(list, checkKeyPath, n) == AddResult::kAdded ? 1 : 0;
}

int AddEventLogKeywordGroup(MonitoredEventLog& entry, const std::string& checkKeyPath, int n) {
  return AddKeywordGroup(entry.Checks, checkKeyPath, n, kEventLogKind, true);
}

int AddLogFileKeywordGroup(MonitoredLogFile& entry, const std::string& checkKeyPath, int n) {
  return AddKeywordGroup(entry.Checks, checkKeyPath, n, kLogFileKind, false);
}

void SetConfigStatus(const std::string& section, const std::string& key) {
  std::lock_guard<std::mutex> lock(ServiceState().StatusLock);
  platform::WritePrivateProfileString(section.c_str(), key.c_str(), "1", ConfigStatusFilePath());
}

void ReportCheckProblem(const std::string& section, int& counter, const std::string& logName,
                        const std::string& reason) {
  std::lock_guard<std::mutex> lock(ServiceState().StatusLock);
  bool (*ofKind)(int32_t) = EqualsIgnoreCase(section, kEventLogsSection) ? IsEventLogType
                            : EqualsIgnoreCase(section, kLogFilesSection) ? IsLogFileType
                                                                          : nullptr;
  if (!ofKind) return;
  const std::string file = ConfigStatusFilePath();
  // The whole list, as the loaders see it: a check without File does not hide later ones.
  for (int n = 1;; ++n) {
    const std::string keyPath = CheckKeyPath(n);
    int32_t type = 0;
    if (vlZTREG_ReadNumber(keyPath, "LogType", &type) != 0) break;
    std::string logFile;
    if (vlZTREG_ReadString(keyPath, "File", logFile, kPathSize) != 0) continue;
    if (!ofKind(type) || !EqualsIgnoreCase(logFile, logName)) continue;
    // Stays disabled until someone enables it again in the utility.
    vlZTREG_WriteFlag(keyPath, "Enabled", 0);
    std::string name;
    // An empty title would end the list the status page shows, hiding the ones after it.
    if (vlZTREG_ReadString(keyPath, "Name", name, kNameSize) != 0 || name.empty()) continue;
    ++counter;
    const std::string number = std::to_string(counter);
    platform::WritePrivateProfileString(section.c_str(), ("Title" + number).c_str(),
                                        OneLine(name).c_str(), file);
    platform::WritePrivateProfileString(section.c_str(), ("Reason" + number).c_str(),
                                        OneLine(reason).c_str(), file);
  }
}

void SetDateTokenExpander(DateTokenExpander expander) {
  std::lock_guard<std::mutex> lock(expanderMutex);
  dateTokenExpander = std::move(expander);
}

}  // namespace vlzt
