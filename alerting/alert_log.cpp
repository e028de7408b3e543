// alerting/alert_log.cpp
#include "alerting/alert_log.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>

#include "alerting/stored_messages.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "platform/machine_root.h"
#include "platform/system.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTAlertNotification";
constexpr int kOriginAlertNotify = 12;
constexpr int kAppendsBetweenTrims = 50;
constexpr long kHeaderLines = 9;

// Process-wide state of the alert log. Only the alert-notification thread appends; the
// lock just keeps other callers (tests, the utility) safe.
std::mutex g_mutex;
int g_appendCounter = 0;
int32_t g_maxStoredMsgs = 0;  // 0 until read

int32_t MaxStoredMsgs(bool reread) {
  if (reread || g_maxStoredMsgs <= 0) {
    int32_t max = 0;
    if (vlZTREG_ReadNumber(kAlertingConfigKey, "MaxStoredMsgs", &max) != 0 || max <= 0) max = 50;
    g_maxStoredMsgs = max;
  }
  return g_maxStoredMsgs;
}

std::string Header() {
  std::string h = "\r\n";
  h += "Monitor: Velmora Tavish Log Monitor\r\n";
  h += "Version: 4.3\r\n";
  h += "\r\n";
  h += "Recent Alerts generated from " + ServiceState().ComputerName + " will be listed below\r\n";
  h += std::string(74, '-') + "\r\n";
  h += "\r\n";
  char columns[128];
  std::snprintf(columns, sizeof columns, "%-19s\t%-30s\tDetails or Message\r\n", "Date/Time",
                "Error Source/Check Title");
  h += columns;
  h += "\r\n";
  return h;
}

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string RecordLine(const std::string& time, const std::string& title, const std::string& message) {
  return Padded(time, 19) + "\t" + Padded(title, 30) + "\t" + message + "\r\n";
}

bool WriteAll(std::ofstream& out, const std::string& text) {
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return out.good();
}

void RemoveQuietly(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace

std::string AlertLogPath() { return platform::JoinPath(ServiceState().DataDirectory, "AlertLog.txt"); }

int AppendAlertLog(const std::string& file, int flag) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string logPath = AlertLogPath();
  if (flag == 1) {
    ReportRuntimeActivity(kOriginAlertNotify, "ss", "Initialising alert log ", logPath);
    g_appendCounter = kAppendsBetweenTrims;
    MaxStoredMsgs(true);
    std::error_code ec;
    if (std::filesystem::exists(logPath, ec)) return 1;
    std::ofstream log(logPath, std::ios::binary | std::ios::app);
    if (!log.is_open() || !WriteAll(log, Header())) {
      vlZTLog_Message(1, 0, nullptr, kModule, "AppendAlertLog", "sss", "Unable to open the Alert Log ",
                      logPath, ". One or more entries may be missing");
      return 0;
    }
    return 1;
  }

  ReportRuntimeActivity(kOriginAlertNotify, "ss", "Appending alert details to ", logPath);
  {
    std::ifstream probe(file, std::ios::binary);
    if (!probe.is_open()) {
      vlZTLog_Message(1, 0, nullptr, kModule, "AppendAlertLog", "sss", "Unable to open the Alert file ",
                      file, ". No entry will be written");
      return 0;
    }
  }
  std::string record;
  try {
    record = RecordLine(ReadStoredText(file, "Time", "N/A", kRecordTimeLimit),
                        ReadStoredText(file, "ErrorTitle", "N/A", kRecordTextLimit),
                        ReadStoredText(file, "Message", "N/A"));
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "AppendAlertLog", "s",
                    "Insufficient memory available to write Alert File");
    return 0;
  }

  if (++g_appendCounter < kAppendsBetweenTrims) {
    std::ofstream log(logPath, std::ios::binary | std::ios::app);
    if (!log.is_open() || !WriteAll(log, record)) {
      vlZTLog_Message(1, 0, nullptr, kModule, "AppendAlertLog", "sss", "Unable to open the Alert Log ",
                      logPath, ". One or more entries may be missing");
      return 0;
    }
    return 1;
  }

  // Trim: the header, the newest records and the new one go to a temporary file that then
  // replaces the log in one rename.
  g_appendCounter = 0;
  std::string tempPath = logPath + "." + std::to_string(platform::ProcessId()) + ".tmp";
  std::ofstream temp(tempPath, std::ios::binary | std::ios::trunc);
  if (!temp.is_open()) {
    vlZTLog_Message(1, 0, nullptr, kModule, "AppendAlertLog", "sss", "Unable to open the Alert log ",
                    tempPath, ". One or more entries will be missing");
    return 0;
  }
  WriteAll(temp, Header());
  std::ifstream log(logPath, std::ios::binary);
  if (log.is_open()) {
    long n = CountAlertLogRecords(log);
    long max = MaxStoredMsgs(false);
    long first = n < max ? kHeaderLines + 1 : n - max + kHeaderLines + 2;
    log.clear();
    log.seekg(0);
    if (n < 0 || !RewriteAlertLog(log, temp, first)) {
      temp.close();
      RemoveQuietly(tempPath);
      return 0;
    }
    log.close();
  }
  WriteAll(temp, record);
  temp.close();
  std::error_code ec;
  if (!temp.fail()) std::filesystem::rename(tempPath, logPath, ec);
  if (temp.fail() || ec) {
    vlZTLog_Message(1, 0, nullptr, kModule, "AppendAlertLog", "sss", "Unable to open the Alert log ",
                    tempPath, ". One or more entries will be missing");
    RemoveQuietly(tempPath);
    return 0;
  }
  return 1;
}

long CountAlertLogRecords(std::ifstream& log) {
  try {
    long lines = 0;
    std::string line;
    while (std::getline(log, line)) ++lines;
    return lines - kHeaderLines;
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "CountAlertLogRecords", "s",
                    "Insufficient memory available to count Alert Log records");
    return -1;
  }
}

int RewriteAlertLog(std::ifstream& log, std::ofstream& temp, long firstLine) {
  try {
    long number = 0;
    std::string line;
    while (std::getline(log, line)) {
      if (++number < firstLine) continue;
      line += '\n';
      if (!WriteAll(temp, line)) return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "RewriteAlertLog", "s",
                    "Insufficient memory available to count Alert Log records");
    return 0;
  }
}

int WriteAlertFileFromFile(const std::string& file) {
  int32_t enabled = 0;
  vlZTREG_ReadFlag(kAlertLoggingKey, "EnableAlertLogging", &enabled, 0);
  if (enabled != 1) return 1;
  std::string dataFile;
  vlZTREG_ReadString(kAlertLoggingKey, "AlertDataFile", dataFile, 260, "");
  if (dataFile.empty()) return 1;
  std::string alertString;
  vlZTREG_ReadString(kAlertLoggingKey, "AlertString", alertString, 520, "");
  if (alertString.empty()) alertString = kDefaultAlertString;

  ReportRuntimeActivity(kOriginAlertNotify, "ss", "Logging alert to the file ", dataFile);
  std::ofstream out(dataFile, std::ios::binary | std::ios::app);
  if (!out.is_open()) {
    vlZTLog_Message(1, 0, nullptr, kModule, "WriteAlertFileFromFile", "sss",
                    "Unable to write triggered alert to the Alert File ", dataFile,
                    ". The Alert was not written");
    return 0;
  }
  std::string line;
  try {
    SubstitutionRecord record;
    int32_t errorType = 0;
    FillSubstitutionRecordFromFile(file, OSNameForm::kShort, record, &errorType);
    if (!SubstituteParamsForString_Dynamic(errorType, alertString, line, record)) return 0;
    line += "\r\n";
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "WriteAlertFileFromFile", "s",
                    "Insufficient memory available to write Alert File");
    return 0;
  }
  // One write call at the close, so lines of several writers do not interleave.
  if (!WriteAll(out, line)) {
    vlZTLog_Message(1, 0, nullptr, kModule, "WriteAlertFileFromFile", "sss",
                    "Unable to write triggered alert to the Alert File ", dataFile,
                    ". The Alert was not written");
    return 0;
  }
  return 1;
}

}  // namespace vlzt
