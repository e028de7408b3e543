// platform/scm.h
// Service control: the service database (registry keys below
// SYSTEM\CurrentControlSet\Services), starting a service program as a detached process,
// the dispatcher and control channel inside that process, and published status reports.
//
// Calls return a handle or true on success; on failure null or false, with the reason in
// GetLastError() (platform/system.h): 2 program not found, 5 access denied, 87 bad argument,
// 1053 the program did not connect in time, 1056 already running, 1060 no such service,
// 1061 the service accepts no control now, 1062 not running, 1063 the dispatcher was not
// started by the controller, 1067 the program ended before it connected, 1072 marked for
// deletion, 1073 already exists, 53 unknown computer.
//
// Runtime state lives in <machine root>/services/<name>/: `status` (replaced atomically on
// every report), `control.<pid>.sock` (the control channel of the running program),
// `exit.<watcher pid>` (the program's exit code) and `output.log` (what the program writes
// to standard output and error).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vlzt::platform {

enum : uint32_t {
  SERVICE_WIN32_OWN_PROCESS = 0x10,
  SERVICE_AUTO_START = 2,
  SERVICE_DEMAND_START = 3,
  SERVICE_DISABLED = 4,
  SERVICE_ERROR_NORMAL = 1,

  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,

  SERVICE_CONTROL_STOP = 1,
  SERVICE_CONTROL_INTERROGATE = 4,
  SERVICE_ACCEPT_STOP = 1,

  SC_MANAGER_CONNECT = 0x1,
  SC_MANAGER_CREATE_SERVICE = 0x2,
  SC_MANAGER_ENUMERATE_SERVICE = 0x4,
  SC_MANAGER_ALL_ACCESS = 0xF003F,

  SERVICE_QUERY_CONFIG = 0x1,
  SERVICE_CHANGE_CONFIG = 0x2,
  SERVICE_QUERY_STATUS = 0x4,
  SERVICE_START = 0x10,
  SERVICE_STOP = 0x20,
  SERVICE_INTERROGATE = 0x80,
  SERVICE_DELETE = 0x10000,
  SERVICE_ALL_ACCESS = 0xF01FF,
};

struct SERVICE_STATUS {
  uint32_t dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t dwCurrentState = SERVICE_STOPPED;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

// A status with the process id of the service program (0 when it has none).
struct SERVICE_STATUS_PROCESS : SERVICE_STATUS {
  uint32_t dwProcessId = 0;
};

struct ScHandleObject;
using SC_HANDLE = ScHandleObject*;

// Opens the controller of `machine` ("" or this computer: the local one; "\\NAME" or
// "NAME": a computer of the computer map).
SC_HANDLE OpenSCManager(const std::string& machine, uint32_t access);
SC_HANDLE OpenService(SC_HANDLE manager, const std::string& name, uint32_t access);
bool CloseServiceHandle(SC_HANDLE handle);

struct ServiceConfig {
  std::string displayName;
  uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t startType = SERVICE_DEMAND_START;
  uint32_t errorControl = SERVICE_ERROR_NORMAL;
  std::string binaryPath;  // program path, optionally quoted and followed by arguments
  std::string account;     // "" is LocalSystem
  std::string description;
};

SC_HANDLE CreateService(SC_HANDLE manager, const std::string& name, const ServiceConfig& config,
                        uint32_t access);
bool QueryServiceConfig(SC_HANDLE service, ServiceConfig* config);
bool ChangeServiceDescription(SC_HANDLE service, const std::string& description);
// Deletes the service now when it is stopped, else as soon as it stops.
bool DeleteService(SC_HANDLE service);

// Launches the program and returns once its dispatcher has opened the control channel.
bool StartService(SC_HANDLE service, const std::vector<std::string>& arguments = {});
bool ControlService(SC_HANDLE service, uint32_t control, SERVICE_STATUS* status);
bool QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status);

// Names of the services of the local computer set to start automatically.
std::vector<std::string> AutoStartServices();

// ---- Inside the service program ----

using ServiceMainFunction = std::function<void(const std::vector<std::string>& arguments)>;
struct ServiceTableEntry {
  std::string name;
  ServiceMainFunction main;
};

// Connects the process to the controller that launched it and runs the service's main
// routine on a thread of its own while this thread serves the control channel. Returns true
// once the service has reported stopped or its main routine has returned; false with 1063
// when the process was not launched by the controller for a service of the table.
bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table);

using HandlerFunction = std::function<void(uint32_t control)>;
using SERVICE_STATUS_HANDLE = void*;

// Registers the control handler of the running service; null with 1063 outside the
// dispatcher. The handler runs on the dispatcher's thread.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::string& name, HandlerFunction handler);

// Publishes a status report (atomically); false when the handle is not the registered one.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

}  // namespace vlzt::platform
