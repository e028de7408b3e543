// alerting/automatic_responses.cpp
#include "alerting/automatic_responses.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "alerting/stored_messages.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "platform/system.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr int kActivityOrigin = 12;  // "Alert/Notify"
constexpr int32_t kDefaultActionTimeout = 120;
constexpr const char* kModule = "vlZTShared";

std::atomic<bool> g_rebootPending{false};
std::atomic<uint32_t> g_rebootPauseMs{30000};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The alert values quoted for /bin/sh: each becomes one word whatever it holds.
std::string ShellQuoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// The alert values kept inside a double-quoted argument of the script host's command line.
std::string ArgumentQuoted(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '"') out += "\"\"";
    else if (c == '\r' || c == '\n') out += ' ';
    else out += c;
  }
  return out;
}

template <typename Quote>
SubstitutionRecord QuotedRecord(const SubstitutionRecord& r, Quote quote) {
  SubstitutionRecord q = r;
  for (std::string* field : {&q.Message, &q.Title, &q.TimeLogged, &q.TimeNow, &q.Info1, &q.Info2, &q.Info3,
                             &q.Source, &q.OSName, &q.ServicePack})
    *field = quote(*field);
  return q;
}

void Notice(int32_t errorType, uint32_t alertLevel, int32_t action, const std::string& name, const char* title,
            std::string message, const char* info2 = nullptr) {
  NotifyError(errorType, alertLevel, action, title, name, message, name.c_str(), info2, nullptr, 0);
}

int RebootFor(int32_t errorType, uint32_t alertLevel, int32_t action, const std::string& name) {
  if (g_rebootPending.exchange(true)) return kResponseHandled;
  ReportRuntimeActivity(kActivityOrigin, "ss", "Checking for repeat reboot for check ", name);
  if (IsRepeatReboot(name)) {
    ReportRuntimeActivity(kActivityOrigin, "s", "Repeat reboot detected - the server will not be restarted");
    g_rebootPending = false;
    Notice(errorType, alertLevel, action, name, "Server is Rebooting",
           "Warning: The Velmora/Tavish Monitor was due to restart the local server in response to the test " + name +
               " which failed. However, because a previous reboot did not resolve the problem, the action was "
               "cancelled. Further investigation is now required ...");
    return kResponseHandled;
  }
  RecordRebootFor(name);
  ReportRuntimeActivity(kActivityOrigin, "ss", "The server will be restarted in response to the check ", name);
  vlZTLog_Event(2, kModule, "RunSpecifiedActions", "ss",
                "The Tavish Monitor is restarting the Windows installation in response to the check: ", name);
  std::string stars(79, '*'), blanks(79, ' ');
  for (const std::string& line :
       {stars, blanks, std::string("            The Tavish Monitor is restarting the Windows installation           "),
        "            in response to the check >>> " + name + " <<<", blanks, stars})
    vlZTLog_Message(3, 0, nullptr, kModule, "RunSpecifiedActions", "s", line);
  Notice(errorType, alertLevel, action, name, "Server is Rebooting",
         "Warning: The Velmora/Tavish Monitor is restarting the local server. This is in response to the test " + name +
             " which failed...");
  // The alert-notification thread delivers the notice meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(g_rebootPauseMs.load()));
  RestartWindows();
  return kResponseHandled;
}

int StartServiceFor(int32_t errorType, uint32_t alertLevel, int32_t action, const std::string& name,
                    const std::string& service, std::string* result) {
  ReportRuntimeActivity(kActivityOrigin, "sss", "The service ", service, " is being restarted");
  if (RestartServiceFromName(service)) {
    *result = "The Velmora/Tavish Monitor automatically initiated a service restart";
    return kResponseRan;
  }
  std::string code = std::to_string(platform::GetLastError());
  Notice(errorType, alertLevel, action, name, "Service Restart",
         "The Velmora/Tavish Monitor was unable to restart the service in response to the failure of check " + name +
             ". The return code was " + code,
         code.c_str());
  return kResponseHandled;
}

int RunCommandFor(int32_t errorType, uint32_t alertLevel, int32_t action, const std::string& name,
                  const std::string& message, const std::string& command, const char* info1, const char* info2,
                  const char* info3, std::string* result) {
  SubstitutionRecord record;
  record.Message = message;
  record.Title = name.substr(0, kRecordTextLimit);
  record.Source = record.Title;
  record.Info1 = std::string(info1 ? info1 : "").substr(0, kRecordTextLimit);
  record.Info2 = std::string(info2 ? info2 : "").substr(0, kRecordTextLimit);
  record.Info3 = std::string(info3 ? info3 : "").substr(0, kRecordTextLimit);
  record.TimeLogged = FormatCurrentTime();
  record.TimeNow = record.TimeLogged;
  record.LevelNumber = LevelNumber(alertLevel);
  record.OSName = OSNameText(OSNameForm::kShort);
  record.ServicePack = ServicePackText();

  bool script = action == 4;
  SubstitutionRecord quoted = script ? QuotedRecord(record, ArgumentQuoted) : QuotedRecord(record, ShellQuoted);
  std::string expanded;
  if (!SubstituteParamsForString_Dynamic(errorType, command, expanded, quoted)) expanded = command;
  std::string line = (script ? "CScript \"" : "CMD /c \"") + expanded + "\"";
  ReportRuntimeActivity(kActivityOrigin, "ss", "Running the command ", line);

  ServiceStateRecord& state = ServiceState();
  platform::ProcessOptions options;
  options.shown = state.TraceMode != 0;
  options.workingDirectory = state.Home;
  auto process = platform::Process::Start(line, options);
  if (!process) {
    std::string code = std::to_string(platform::GetLastError());
    Notice(errorType, alertLevel, action, name, "Monitor/Configuration Error",
           "Tavish Configuration Error. The Velmora/Tavish Monitor was unable to take automatic action for the "
           "check " + name + " because the command or script " + command + " could not be run. The return code was " +
               code,
           code.c_str());
    return kResponseHandled;
  }
  int32_t timeout = kDefaultActionTimeout;
  if (vlZTREG_ReadNumber(kAlertingConfigKey, "ActionTimeout", &timeout) != 0 || timeout < 1)
    timeout = kDefaultActionTimeout;
  ReportRuntimeActivity(kActivityOrigin, "sis", "Waiting for command to complete. Timeout will be after ", timeout,
                        " seconds");
  int waited = process->Wait(static_cast<uint32_t>(timeout) * 1000, &state.StopServerEvent);
  process.reset();  // a command still running is left to run (and is reaped when it ends)
  if (waited == 1) return kResponseHandled;
  if (waited != 0) {
    Notice(errorType, alertLevel, action, name, "Monitor/Configuration Error",
           "Tavish Configuration Error. The Velmora/Tavish Monitor was unable to take automatic action for the "
           "check " + name + " because the command " + command + " timed out",
           "Timed Out");
    return kResponseHandled;
  }
  *result = "The Velmora/Tavish Monitor automatically initiated the command " + command + " in response to the error";
  return kResponseRan;
}

}  // namespace

int RunSpecifiedActions(int32_t errorType, uint32_t alertLevel, int32_t action, const std::string& name,
                        const std::string& message, int rebootFlag, const std::string& command,
                        const char* info1, const char* info2, const char* info3, std::string* result) {
  if (rebootFlag == 1) return RebootFor(errorType, alertLevel, action, name);
  if (action == 5) return StartServiceFor(errorType, alertLevel, action, name, command, result);
  if (command.empty()) return kNoResponse;
  return RunCommandFor(errorType, alertLevel, action, name, message, command, info1, info2, info3, result);
}

void RestartWindows() {
  uint32_t error = platform::RebootSystem();
  if (error != 0)
    vlZTLog_Message(1, 0, nullptr, kModule, "RestartWindows", "ssl",
                    "Unable to restart the Windows installation due to the following error ", "performing the restart: ",
                    static_cast<int32_t>(error));
}

int RestartServiceFromName(const std::string& name) {
  using namespace platform;
  SC_HANDLE manager = OpenSCManager("", SC_MANAGER_ENUMERATE_SERVICE);
  if (!manager) return 0;
  SC_HANDLE service = OpenService(manager, name, SERVICE_ALL_ACCESS);
  if (!service) {
    uint32_t error = GetLastError();
    vlZTLog_Message(1, 0, nullptr, kModule, "RestartServiceFromName", "ss", "Unable to open the service ", name);
    CloseServiceHandle(manager);
    SetLastError(error);
    return 0;
  }
  bool started = StartService(service);
  uint32_t error = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  SetLastError(error);
  return started ? 1 : 0;
}

int IsRepeatReboot(const std::string& name) {
  std::string last;
  if (vlZTREG_ReadString(kAlertingConfigKey, "LastRebootedFor", last, 260, "") != 0) return 0;
  return !last.empty() && Lower(last) == Lower(name) ? 1 : 0;
}

void RecordRebootFor(const std::string& name) {
  vlZTREG_WriteString(kAlertingConfigKey, "LastRebootedFor", name.substr(0, 259));
}

void SetRebootPause(uint32_t milliseconds) { g_rebootPauseMs = milliseconds; }

}  // namespace vlzt
