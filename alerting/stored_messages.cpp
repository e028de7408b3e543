// alerting/stored_messages.cpp
#include "alerting/stored_messages.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "console/activity.h"
#include "platform/clock.h"
#include "platform/machine_root.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "summary/summary_counters.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTAlertNotification";
constexpr const char* kSection = "Default";
constexpr int kOriginAlertNotify = 12;
constexpr uint32_t kDefaultMaxStoredMsgs = 50;

// The entry the alert-notification thread is delivering, which stays listed until it is
// delivered; `rewritten` tells that NotifyError stored a new alert under the same path
// meanwhile, so it must be listed again after removal. Guarded by StoredMessageLock.
std::string g_inFlight;
bool g_inFlightRewritten = false;

void RemoveQuietly(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

// A line of the list as an entry: cut at its first control character. Bytes from 128 up
// are part of the path, whatever the signedness of char.
std::string CutLine(const std::string& line) {
  size_t n = 0;
  while (n < line.size() && static_cast<unsigned char>(line[n]) >= 20) ++n;
  return line.substr(0, n);
}

// The next usable entry of `list`; false at the end. Blank and over-long lines are skipped,
// with a log line when `logSkips`.
bool ReadEntry(std::istream& list, std::string& entry, bool logSkips) {
  std::string line;
  while (std::getline(list, line)) {
    entry = CutLine(line);
    if (entry.empty()) {
      if (logSkips)
        vlZTLog_Message(2, 0, nullptr, kModule, "AlertNotification", "ss",
                        "A blank entry was skipped in the unsent message file ", UnsentListPath());
      continue;
    }
    if (entry.size() > kMaxUnsentEntry) {
      if (logSkips)
        vlZTLog_Message(2, 0, nullptr, kModule, "AlertNotification", "siss", "An entry of ",
                        static_cast<int32_t>(entry.size()),
                        " characters (more than 518) was skipped in the unsent message file ",
                        UnsentListPath());
      continue;
    }
    return true;
  }
  return false;
}

// CheckFileForFile and AddToUnsentMsgFile without the lock, for callers that hold it.
int CheckFileForFileLocked(const std::string& listPath, const std::string& filePath) {
  std::fstream list(listPath, std::ios::in | std::ios::app | std::ios::binary);
  if (!list.is_open()) {
    vlZTLog_Message(1, 0, nullptr, kModule, "CheckFileForFile", "ss",
                    "Unable to open the unsent message file ", listPath);
    return 0;
  }
  std::string line;
  while (std::getline(list, line))
    if (CutLine(line) == filePath) return 1;
  return 0;
}

int AddToUnsentMsgFileLocked(const std::string& filePath, const std::string& listPath) {
  // A list whose last line lost its line end (a writer died mid-line) would otherwise glue
  // this entry onto it.
  std::string text;
  {
    std::ifstream in(listPath, std::ios::binary | std::ios::ate);
    if (in && in.tellg() > 0) {
      in.seekg(-1, std::ios::end);
      char last = 0;
      if (in.get(last) && last != '\n') text = "\r\n";
    }
  }
  text += filePath + "\r\n";
  std::ofstream list(listPath, std::ios::app | std::ios::binary);
  if (!list.is_open()) {
    vlZTLog_Message(1, 0, nullptr, kModule, "AddToUnsentMsgFile", "ss",
                    "Couldn't open the unsent message file ", listPath);
    return 0;
  }
  list.write(text.data(), static_cast<std::streamsize>(text.size()));
  list.close();
  return list.fail() ? 0 : 1;
}

// What distinguishes the two kinds of stored message.
struct StoredAlert {
  int32_t errorType = 4;
  bool internal = false;
  uint32_t alertLevel = 0;
  int32_t alertAction = 0;
  int32_t autoResponse = 0;
  const char* infos[3] = {nullptr, nullptr, nullptr};
  int32_t summaryCategory = 0;
};

int WriteStoredMessage(const StoredAlert& alert, const std::string& title,
                       const std::string& appName, const std::string& message) {
  ServiceStateRecord& state = ServiceState();
  const char* function = alert.internal ? "NotifyInternalError" : "NotifyError";
  std::string listPath = UnsentListPath();
  std::string timeText = FormatCurrentTime();
  uint32_t number;
  {
    std::lock_guard<std::mutex> lock(state.StoredMessageLock);
    number = GetNextFileNo();
  }
  std::string path = StoredMessagePath(number);
  // Written under a temporary name and renamed into place, so no reader (nor a crash)
  // ever sees half an alert.
  std::string temp = path + "." + std::to_string(platform::ProcessId()) + "-" +
                     std::to_string(platform::ThreadId()) + ".tmp";
  RemoveQuietly(temp);
  // The keys are collected in their order and written at once.
  std::vector<std::pair<std::string, std::string>> keys;
  auto put = [&](const char* key, const std::string& value) { keys.emplace_back(key, value); };
  put("Message", message);
  put("MessageSize", std::to_string(message.size()));
  put("ErrorType", std::to_string(alert.errorType));
  if (!alert.internal) {
    put("AlertLevel", std::to_string(alert.alertLevel));
    put("AlertAction", std::to_string(alert.alertAction));
    put("Auto-Response", alert.autoResponse == 1 ? "1" : "0");
  }
  put("UserID", state.ComputerName);
  put("Time", timeText);
  put("AppName", appName);
  put("Origin", "50");
  put("Sent", "N");
  put("RunningTime", std::to_string(platform::GetTickCount() / 1000));
  put("ErrorTitle", title);
  static constexpr const char* kInfoKeys[] = {"AdditionalInfo1", "AdditionalInfo2",
                                              "AdditionalInfo3"};
  for (int i = 0; i < 3; ++i)
    if (alert.infos[i] && *alert.infos[i]) put(kInfoKeys[i], alert.infos[i]);
  put("APILogged", "N");
  put("LoggedOn", "N/A");
  put("TestID", "N/A");
  put("ErrorXStatus", "5");
  if (!platform::WritePrivateProfileSection(kSection, keys, temp)) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "ss",
                    "Unable to write the error message to the file ", path);
    RemoveQuietly(temp);
    return 0;
  }
  std::string storedTitle = ReadStoredText(temp, "ErrorTitle", "N/A", 259);
  if (alert.internal)
    ReportRuntimeActivity(kOriginAlertNotify, "ss",
                          "Recording internal/configuration error information for check ",
                          storedTitle);
  else
    ReportRuntimeActivity(kOriginAlertNotify, "ss", "Recording alert information for check ",
                          storedTitle);

  {
    // Under the lock, so the delayed e-mail thread never rewrites a file being replaced,
    // and so the thread cannot take the entry off between the check and the mark.
    std::lock_guard<std::mutex> lock(state.StoredMessageLock);
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
      vlZTLog_Message(1, 0, nullptr, kModule, function, "ss",
                      "Unable to write the error message to the file ", path);
      RemoveQuietly(temp);
      return 0;
    }
  }
  CountSummaryError(alert.internal ? alert.summaryCategory : alert.errorType);
  if (!alert.internal) {
    {
      std::lock_guard<std::mutex> lock(state.StoredMessageLock);
      if (!CheckFileForFileLocked(listPath, path)) AddToUnsentMsgFileLocked(path, listPath);
      else if (path == g_inFlight) g_inFlightRewritten = true;
    }
    state.SendErrorEvent.Set();
  }
  if (state.EnableConsoleSupport == 1) PushConsoleEvent(timeText, title, message);
  return 1;
}

}  // namespace

std::string StoredMessagePath(uint32_t number) {
  return platform::JoinPath(ServiceState().DataDirectory, "LOG" + std::to_string(number) + ".err");
}

std::string UnsentListPath() { return platform::JoinPath(ServiceState().DataDirectory, "Unsent.log"); }

std::string UnsentTempPath() {
  return platform::JoinPath(ServiceState().DataDirectory,
                            "Unsent.tmp." + std::to_string(platform::ProcessId()) + ".log");
}

int NotifyError(int32_t errorType, uint32_t alertLevel, int32_t alertAction,
                const std::string& title, const std::string& appName, std::string& message,
                const char* info1, const char* info2, const char* info3, int32_t autoResponse) {
  CleanMessageText(message);
  StoredAlert alert;
  alert.errorType = errorType;
  alert.alertLevel = alertLevel;
  alert.alertAction = alertAction;
  alert.autoResponse = autoResponse;
  alert.infos[0] = info1;
  alert.infos[1] = info2;
  alert.infos[2] = info3;
  return WriteStoredMessage(alert, title, appName, message);
}

int NotifyInternalError(int32_t summaryCategory, const std::string& title,
                        const std::string& appName, const std::string& message) {
  std::string cleaned = message;
  CleanMessageText(cleaned);
  StoredAlert alert;
  alert.errorType = 16;
  alert.internal = true;
  alert.summaryCategory = summaryCategory;
  return WriteStoredMessage(alert, title, appName, cleaned);
}

uint32_t GetNextFileNo() {
  int32_t max = 0;
  if (vlZTREG_ReadNumber(kAlertingConfigKey, "MaxStoredMsgs", &max) != 0)
    vlZTLog_Message(2, 0, nullptr, kModule, "GetNextFileNo", "ss",
                    "Warning: Error reading maximum stored error msg. no. from ", kAlertingConfigKey);
  uint32_t limit = static_cast<uint32_t>(max);
  if (limit == 0) {
    limit = kDefaultMaxStoredMsgs;
    vlZTREG_WriteNumber(kAlertingConfigKey, "MaxStoredMsgs", static_cast<int32_t>(limit));
  }
  int32_t last = 0;
  if (vlZTREG_ReadNumber(kAlertingConfigKey, "StoredMsgNo", &last) != 0) last = 0;
  uint32_t previous = static_cast<uint32_t>(last);
  uint32_t next = previous >= limit ? 1 : previous + 1;
  if (vlZTREG_WriteNumber(kAlertingConfigKey, "StoredMsgNo", static_cast<int32_t>(next)) != 0)
    vlZTLog_Message(1, 0, nullptr, kModule, "GetNextFileNo", "ss",
                    "Error writing StoredMsgNo to the registry key ", kAlertingConfigKey);
  return next;
}

int CheckFileForFile(const std::string& listPath, const std::string& filePath) {
  std::lock_guard<std::mutex> lock(ServiceState().StoredMessageLock);
  return CheckFileForFileLocked(listPath, filePath);
}

int AddToUnsentMsgFile(const std::string& filePath, const std::string& listPath) {
  std::lock_guard<std::mutex> lock(ServiceState().StoredMessageLock);
  return AddToUnsentMsgFileLocked(filePath, listPath);
}

void CleanMessageText(std::string& text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '~' || c == '\'' || c == '"') c = ' ';
}

int ReplaceWithRemainingFile(std::ifstream& list, const std::string& listPath,
                             const std::string& tempPath) {
  std::ofstream temp(tempPath, std::ios::binary | std::ios::trunc);
  if (!temp.is_open()) {
    vlZTLog_Message(1, 0, nullptr, kModule, "ReplaceWithRemainingFile", "ss",
                    "Unable to open the temporary file ", tempPath);
    list.close();
    return 0;
  }
  if (list.peek() != std::ifstream::traits_type::eof()) temp << list.rdbuf();
  list.close();
  temp.close();
  std::error_code ec;
  if (!temp.fail()) std::filesystem::rename(tempPath, listPath, ec);
  if (temp.fail() || ec) {
    vlZTLog_Message(1, 0, nullptr, kModule, "ReplaceWithRemainingFile", "ss",
                    "Unable to replace the unsent message file ", listPath);
    RemoveQuietly(tempPath);
    return 0;
  }
  return 1;
}

int TakeNextUnsentEntry(std::string& path) {
  std::string listPath = UnsentListPath();
  std::lock_guard<std::mutex> lock(ServiceState().StoredMessageLock);
  std::ifstream list(listPath, std::ios::binary);
  if (!list.is_open()) return 0;
  std::string entry;
  if (!ReadEntry(list, entry, true)) {
    list.close();
    RemoveQuietly(listPath);
    return 0;
  }
  g_inFlight = entry;
  g_inFlightRewritten = false;
  path = entry;
  return 1;
}

int RemoveDeliveredEntry(const std::string& path) {
  std::string listPath = UnsentListPath();
  std::lock_guard<std::mutex> lock(ServiceState().StoredMessageLock);
  auto done = [&] {
    if (g_inFlightRewritten && g_inFlight == path) AddToUnsentMsgFileLocked(path, listPath);
    g_inFlight.clear();
    g_inFlightRewritten = false;
    return 1;
  };
  std::ifstream list(listPath, std::ios::binary);
  if (!list.is_open()) return done();
  std::string entry;
  if (!ReadEntry(list, entry, false) || entry != path) {
    // Only this thread removes entries, so someone edited the list; leave it as it is.
    vlZTLog_Message(2, 0, nullptr, kModule, "AlertNotification", "ssss",
                    "The unsent message file ", listPath, " no longer starts with ", path);
    return done();
  }
  if (!ReplaceWithRemainingFile(list, listPath, UnsentTempPath())) return 0;
  return done();
}

std::string ReadStoredText(const std::string& file, const char* key, const char* def,
                           size_t limit) {
  std::string value = platform::GetProfileValue(kSection, key, def, file);
  if (value.size() > limit) value.resize(limit);
  return value;
}

int32_t ReadStoredNumber(const std::string& file, const char* key, int32_t def) {
  return platform::GetPrivateProfileInt(kSection, key, def, file);
}

int StoredMessageUsable(const std::string& file) {
  // A control character cannot come back from a profile value, so it marks "missing".
  static const std::string kMissing = "\x01";
  return platform::GetProfileValue(kSection, "Message", kMissing, file) == kMissing ? 0 : 1;
}

int FillSubstitutionRecordFromFile(const std::string& file, OSNameForm form,
                                   SubstitutionRecord& record, int32_t* errorType) {
  record.Message = ReadStoredText(file, "Message", "N/A");
  record.Title = ReadStoredText(file, "ErrorTitle", "N/A", kRecordTextLimit);
  record.TimeLogged = ReadStoredText(file, "Time", "N/A", kRecordTimeLimit);
  record.TimeNow = FormatCurrentTime().substr(0, kRecordTimeLimit);
  record.Info1 = ReadStoredText(file, "AdditionalInfo1", "N/A", kRecordTextLimit);
  record.Info2 = ReadStoredText(file, "AdditionalInfo2", "N/A", kRecordTextLimit);
  record.Info3 = ReadStoredText(file, "AdditionalInfo3", "N/A", kRecordTextLimit);
  record.Source = ReadStoredText(file, "AppName", "N/A", kRecordTextLimit);
  record.OSName = OSNameText(form);
  record.ServicePack = ServicePackText();
  record.LevelNumber = LevelNumber(static_cast<uint32_t>(ReadStoredNumber(file, "AlertLevel", 0)));
  if (errorType) *errorType = ReadStoredNumber(file, "ErrorType", 0);
  return 1;
}

}  // namespace vlzt
