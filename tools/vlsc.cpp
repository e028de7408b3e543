// tools/vlsc.cpp
// vlsc: the administrator's command-line tool over service control of this machine root.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/scm.h"
#include "platform/system.h"

using namespace vlzt::platform;

namespace {

constexpr const char* kUsage = R"(Usage:
  vlsc [\\SERVER] query NAME
  vlsc [\\SERVER] start NAME [ARGUMENTS...]
  vlsc [\\SERVER] stop NAME
  vlsc [\\SERVER] create NAME binPath= PATH [start= auto|demand|disabled] [DisplayName= TEXT]
  vlsc [\\SERVER] delete NAME
  vlsc [\\SERVER] description NAME TEXT
  vlsc boot

query prints the state, process id, checkpoint and wait hint of a service; stop sends the
stop control and returns (query shows when the service has stopped); boot starts every
service whose start type is auto (the system unit vlzt-boot.service runs it at start-up).
SERVER is a computer of the computer map of the machine root $VLZT_ROOT.
Exit status: 0 on success, 1 on failure.
)";

std::string ErrorText(uint32_t code) {
  std::string text = SystemErrorText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "Unknown error." : text;
}

int Failed(const char* call) {
  uint32_t code = GetLastError();
  std::printf("[SC] %s FAILED %u:\n\n%s\n\n", call, code, ErrorText(code).c_str());
  return 1;
}

const char* StateName(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    default: return "UNKNOWN";
  }
}

void PrintStatus(const std::string& name, const SERVICE_STATUS_PROCESS& s) {
  std::printf("\nSERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %x  WIN32_OWN_PROCESS\n", s.dwServiceType);
  std::printf("        STATE              : %u  %s\n", s.dwCurrentState, StateName(s.dwCurrentState));
  std::printf("                                (%s)\n",
              s.dwControlsAccepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE");
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.dwWin32ExitCode, s.dwWin32ExitCode);
  std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", s.dwServiceSpecificExitCode, s.dwServiceSpecificExitCode);
  std::printf("        CHECKPOINT         : 0x%x\n", s.dwCheckPoint);
  std::printf("        WAIT_HINT          : 0x%x\n", s.dwWaitHint);
  std::printf("        PID                : %u\n\n", s.dwProcessId);
}

// Opens `name` on `machine`; prints the failure and returns null when it cannot.
SC_HANDLE Open(const std::string& machine, const std::string& name, uint32_t access, SC_HANDLE* manager) {
  *manager = OpenSCManager(machine, SC_MANAGER_ALL_ACCESS);
  if (!*manager) {
    Failed("OpenSCManager");
    return nullptr;
  }
  SC_HANDLE service = OpenService(*manager, name, access);
  if (!service) {
    Failed("OpenService");
    CloseServiceHandle(*manager);
  }
  return service;
}

int Query(const std::string& machine, const std::string& name) {
  SC_HANDLE manager, service = Open(machine, name, SERVICE_QUERY_STATUS, &manager);
  if (!service) return 1;
  SERVICE_STATUS_PROCESS status;
  int rc = QueryServiceStatus(service, &status) ? (PrintStatus(name, status), 0) : Failed("QueryServiceStatus");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int Start(const std::string& machine, const std::string& name, const std::vector<std::string>& args) {
  SC_HANDLE manager, service = Open(machine, name, SERVICE_START | SERVICE_QUERY_STATUS, &manager);
  if (!service) return 1;
  int rc = 0;
  if (!StartService(service, args)) {
    rc = Failed("StartService");
  } else {
    SERVICE_STATUS_PROCESS status;
    if (QueryServiceStatus(service, &status)) PrintStatus(name, status);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int Stop(const std::string& machine, const std::string& name) {
  SC_HANDLE manager, service = Open(machine, name, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager);
  if (!service) return 1;
  int rc = 0;
  SERVICE_STATUS status;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    rc = Failed("ControlService");
  } else {
    SERVICE_STATUS_PROCESS now;
    if (QueryServiceStatus(service, &now)) PrintStatus(name, now);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int Create(const std::string& machine, const std::string& name, const std::vector<std::string>& opts) {
  ServiceConfig config;
  config.startType = SERVICE_DEMAND_START;
  for (size_t i = 0; i < opts.size(); ++i) {
    std::string key = opts[i];
    for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string value;
    if (!key.empty() && key.back() == '=' && i + 1 < opts.size()) {
      value = opts[++i];
    } else if (key.find('=') != std::string::npos && key.back() != '=') {
      value = opts[i].substr(opts[i].find('=') + 1);
      key = key.substr(0, key.find('=') + 1);
    } else {
      std::printf("[SC] CreateService: \"%s\" is not an option of the form name= value.\n", opts[i].c_str());
      return 1;
    }
    if (key == "binpath=") config.binaryPath = value;
    else if (key == "displayname=") config.displayName = value;
    else if (key == "start=") {
      if (value == "auto") config.startType = SERVICE_AUTO_START;
      else if (value == "demand") config.startType = SERVICE_DEMAND_START;
      else if (value == "disabled") config.startType = SERVICE_DISABLED;
      else {
        std::printf("[SC] CreateService: start= takes auto, demand or disabled.\n");
        return 1;
      }
    } else {
      std::printf("[SC] CreateService: unknown option \"%s\".\n", opts[i].c_str());
      return 1;
    }
  }
  if (config.binaryPath.empty()) {
    std::printf("[SC] CreateService: binPath= PATH is required.\n");
    return 1;
  }
  SC_HANDLE manager = OpenSCManager(machine, SC_MANAGER_ALL_ACCESS);
  if (!manager) return Failed("OpenSCManager");
  SC_HANDLE service = CreateService(manager, name, config, SERVICE_ALL_ACCESS);
  int rc = service ? (std::printf("[SC] CreateService SUCCESS\n"), 0) : Failed("CreateService");
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int Delete(const std::string& machine, const std::string& name) {
  SC_HANDLE manager, service = Open(machine, name, SERVICE_DELETE, &manager);
  if (!service) return 1;
  int rc = DeleteService(service) ? (std::printf("[SC] DeleteService SUCCESS\n"), 0) : Failed("DeleteService");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int Describe(const std::string& machine, const std::string& name, const std::string& text) {
  SC_HANDLE manager, service = Open(machine, name, SERVICE_CHANGE_CONFIG, &manager);
  if (!service) return 1;
  int rc = ChangeServiceDescription(service, text) ? (std::printf("[SC] ChangeServiceConfig2 SUCCESS\n"), 0)
                                                   : Failed("ChangeServiceConfig2");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int Boot() {
  int rc = 0;
  for (const std::string& name : AutoStartServices()) {
    SC_HANDLE manager, service = Open("", name, SERVICE_START, &manager);
    if (!service) {
      rc = 1;
      continue;
    }
    if (StartService(service)) {
      std::printf("[SC] %s started\n", name.c_str());
    } else if (GetLastError() == 1056) {
      std::printf("[SC] %s is already running\n", name.c_str());
    } else {
      std::printf("[SC] %s: ", name.c_str());
      rc = Failed("StartService");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args)
    if (a == "--help" || a == "-h" || a == "/?" || a == "-?") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  std::string machine;
  if (!args.empty() && args[0].rfind("\\\\", 0) == 0) {
    machine = args[0];
    args.erase(args.begin());
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  std::string command = args[0];
  for (char& c : command) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (command == "boot" && args.size() == 1 && machine.empty()) return Boot();
  if (args.size() < 2) {
    std::fprintf(stderr, "vlsc: %s needs a service NAME. Type \"vlsc --help\" for usage.\n", command.c_str());
    return 1;
  }
  const std::string& name = args[1];
  std::vector<std::string> rest(args.begin() + 2, args.end());
  if (command == "query" && rest.empty()) return Query(machine, name);
  if (command == "start") return Start(machine, name, rest);
  if (command == "stop" && rest.empty()) return Stop(machine, name);
  if (command == "create") return Create(machine, name, rest);
  if (command == "delete" && rest.empty()) return Delete(machine, name);
  if (command == "description" && rest.size() == 1) return Describe(machine, name, rest[0]);
  std::fprintf(stderr, "vlsc: unknown command or wrong arguments. Type \"vlsc --help\" for usage.\n");
  return 1;
}
