// service/service_entry.cpp
#include "service/service_entry.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "platform/console.h"
#include "platform/scm.h"
#include "platform/system.h"
#include "service/event_messages.h"
#include "service/service_main.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"

namespace vlzt {
namespace {

using namespace platform;

constexpr size_t kMaxPath = 260;

std::atomic<uint32_t> g_checkPoint{1};
std::atomic<uint32_t> g_currentState{SERVICE_STOPPED};
std::atomic<bool> g_consoleStop{false};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

void PrintBanner() {
  std::string stars(70, '*');
  std::printf("\n%s \n\n%s\n\n", stars.c_str(), kServiceDisplayName);
  std::printf("The monitor has been started in trace mode. To stop,\n");
  std::printf("hit CTRL-C, CTRL-BRK, or close this window\n\n%s\n\n", stars.c_str());
  std::fflush(stdout);
}

int RunTraceMode() {
  ServiceState().TraceMode = 1;
  SetConsoleCtrlHandler(ConsoleControlHandler);
  SetConsoleTitle("Velmora/Tavish Monitor - Trace");
  PrintBanner();
  ServiceMain({});
  return 0;
}

int Register() {
  Say("Please wait, registering the Tavish Monitor service ...");
  std::string path = ProgramPath();
  if (path.empty() || path.size() >= kMaxPath) {
    Say("Error. Unable to determine the current (running) directory ...");
    return 1;
  }
  SC_HANDLE manager = OpenSCManager("", SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    Say("Error. Unable to contact the Service Control Manager ...");
    return 1;
  }
  ServiceConfig config;
  config.displayName = kServiceDisplayName;
  config.serviceType = SERVICE_WIN32_OWN_PROCESS;
  config.startType = SERVICE_AUTO_START;
  config.errorControl = SERVICE_ERROR_NORMAL;
  config.binaryPath = path;
  SC_HANDLE service = CreateService(manager, kServiceName, config, SERVICE_ALL_ACCESS);
  if (!service) {
    Say("Error. Unable to create the Tavish Monitor service entry ...");
    CloseServiceHandle(manager);
    return 1;
  }
  ChangeServiceDescription(service, kServiceDescription);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  Say("The Tavish Monitor service has been registered ...");
  return 0;
}

int Unregister() {
  Say("Please wait, unregistering the Tavish Monitor service ...");
  SC_HANDLE manager = OpenSCManager("", SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    Say("Error. Unable to contact the Service Control Manager ...");
    return 1;
  }
  SC_HANDLE service = OpenService(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (!service) {
    Say("Error. Unable to create the Tavish Monitor service entry ...");
    CloseServiceHandle(manager);
    return 1;
  }
  auto close = [&](int result) {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
  };
  Say("Verifying/stopping the Tavish Monitor service ...");
  SERVICE_STATUS status;
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    bool stopped = false;
    for (int poll = 0; poll < 30 && !stopped; ++poll) {
      SERVICE_STATUS_PROCESS now;
      if (!QueryServiceStatus(service, &now)) continue;
      if (now.dwCurrentState == SERVICE_STOP_PENDING) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
      } else if (now.dwCurrentState == SERVICE_STOPPED) {
        Say("The Tavish Monitor service is stopped ...");
        stopped = true;
      }
    }
    if (!stopped) {
      Say("Error. Unable to stop the Tavish Monitor service ...");
      return close(1);
    }
  }
  Say("Removing the Tavish Monitor service ...");
  if (DeleteService(service)) {
    Say("The Tavish Monitor service has been removed ...");
    return close(0);
  }
  std::printf("The Tavish Monitor service could not be removed due to error %s ...\n",
              FormatLastError(260).c_str());
  return close(1);
}

}  // namespace

int ServiceProgramMain(int argc, char** argv) {
  // Milestones and failures are recorded in the Application event log as well.
  InstallEventLogSink();
  if (argc < 2) {
    std::vector<ServiceTableEntry> table = {{kServiceName, ServiceStart}};
    // A stop by signal (from systemd or an administrator) runs the orderly stop as well.
    SetConsoleCtrlHandler([](ConsoleEvent) {
      ServiceControlHandler(SERVICE_CONTROL_STOP);
      return true;
    });
    if (!StartServiceCtrlDispatcher(table)) {
      vlZTLog_Event(1, "vlZTSvc", "main", "sl", "Call to StartServiceCtrlDispatcher failed. Error: ",
                    GetLastError());
      return 1;
    }
    return 0;
  }
  std::string arg = argv[1];
  std::string upper = Upper(arg);
  if (upper == "/REGISTER") return Register();
  if (upper == "/UNREGISTER") return Unregister();
  // "/TRACE" also finds "/TRACEFULL" and "/TRACENOMSG", which mean the same.
  if (upper.find("/TRACE") != std::string::npos) return RunTraceMode();
  vlZTLog_Event(1, "vlZTSvc", "main", "ss", "The Tavish Monitor was started with an unrecognised parameter - ",
                arg);
  return 1;
}

void ServiceStart(const std::vector<std::string>& arguments) {
  g_statusHandle = RegisterServiceCtrlHandler(kServiceName, ServiceControlHandler);
  if (!g_statusHandle) {
    vlZTLog_Message(1, 0, nullptr, "vlZTSvc", "ServiceStart", "sl",
                    "Call to RegisterServiceCtrlHandler failed. Error: ", GetLastError());
    return;
  }
  if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 30000)) {
    vlZTLog_Message(1, 0, nullptr, "vlZTSvc", "ServiceStart", "s", "Couldn't report the status to the SCM");
    return;
  }
  ServiceMain(arguments);
  ReportServiceStatus(SERVICE_STOPPED, 0, 0);
}

int ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) {
  if (ServiceState().TraceMode) return 1;
  SERVICE_STATUS status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0u : static_cast<uint32_t>(SERVICE_ACCEPT_STOP);
  status.dwWin32ExitCode = exitCode;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0u : g_checkPoint.fetch_add(1);
  status.dwWaitHint = waitHint;
  g_currentState = state;
  if (!SetServiceStatus(g_statusHandle, status)) {
    vlZTLog_Message(1, 0, nullptr, "vlZTSvc", "ServiceStart", "sl", "Call to SetServiceStatus failed. Error: ",
                    GetLastError());
    return 0;
  }
  return 1;
}

void ServiceControlHandler(uint32_t control) {
  if (control == SERVICE_CONTROL_STOP) {
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
    ServiceStop();
  }
  ReportServiceStatus(g_currentState, 0, 0);
}

bool ConsoleControlHandler(int event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return false;
  if (!g_consoleStop.exchange(true)) {
    TracePrint("Stopping the Service. Please wait ...");
    ServiceStop();
  }
  return true;
}

void TracePrint(const std::string& text) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::printf("%02d:%02d.%02d - %s\n", tm.tm_hour, tm.tm_min, tm.tm_sec, text.c_str());
  std::fflush(stdout);
}

std::string FormatLastError(size_t size) {
  uint32_t code = GetLastError();
  std::string text = SystemErrorText(code);
  if (text.size() < 2 || size < text.size() + 14) return "";
  text.resize(text.size() - 2);
  char number[16];
  std::snprintf(number, sizeof number, "0x%x", code);
  return text + " (" + number + ")";
}

}  // namespace vlzt
