// platform/system.cpp
#include "platform/system.h"

#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/process.h"
#include "platform/registry.h"

namespace vlzt::platform {
namespace {

thread_local uint32_t t_lastError = 0;

uint64_t BootMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  uint64_t real = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  // A test may pretend the machine started a given time ago; time still runs from there.
  static const int64_t offset = [real]() -> int64_t {
    const char* fake = std::getenv("VLZT_TEST_UPTIME_MS");
    if (!fake || !*fake) return 0;
    return static_cast<int64_t>(std::strtoull(fake, nullptr, 10)) - static_cast<int64_t>(real);
  }();
  return static_cast<uint64_t>(static_cast<int64_t>(real) + offset);
}

struct ErrorText {
  uint32_t code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {53, "The network path was not found."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "The file is not a valid application."},
    {258, "The wait operation timed out."},
    {1009, "The configuration registry database is corrupt."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1051, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1056, "An instance of the service is already running."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1067, "The process terminated unexpectedly."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1500, "The event log file has changed between read operations."},
    {2273, "This message alias could not be found on the network."},
};

}  // namespace

std::string ComputerName() {
  RegValue value;
  if (RegGetValue(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                  "ComputerName", &value) == 0 &&
      (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) {
    std::string name = RegDataString(value.data);
    if (!name.empty()) return name;
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "LOCALHOST";
  std::string name(host);
  name = name.substr(0, name.find('.'));
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return name.empty() ? "LOCALHOST" : name;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(BootMilliseconds()); }

uint64_t UptimeSeconds() { return BootMilliseconds() / 1000; }

std::string OsFamily() { return "Linux"; }

std::string OsSystemName() {
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string v = line.substr(12);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return v;
  }
  return "Linux";
}

std::string OsServicePack() {
  utsname u{};
  return uname(&u) == 0 ? u.release : "";
}

uint32_t RebootSystem() {
  std::string command = "/sbin/reboot";
  RegValue value;
  if (RegGetValue(HKEY_LOCAL_MACHINE, "SYSTEM\\Platform", "RebootCommand", &value) == 0 &&
      (value.type == REG_SZ || value.type == REG_EXPAND_SZ) && !RegDataString(value.data).empty())
    command = RegDataString(value.data);
  auto process = Process::Start("CMD /c \"" + command + "\"", {});
  if (!process) return GetLastError();
  if (process->Wait(60000) != 0) return kWaitTimeout;
  return process->ExitCode();
}

long ProcessId() { return static_cast<long>(getpid()); }

long ThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

uint32_t GetLastError() { return t_lastError; }

void SetLastError(uint32_t code) { t_lastError = code; }

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    case EBADF: return 6;
    case ENOMEM: return 8;
    case EBUSY: return 170;
    case EEXIST: return 183;
    case ENOEXEC: return 193;
    case ENOSPC: return 112;
    case EPIPE: return 109;
    case EINVAL: return 87;
    case ETIMEDOUT: return 258;
    default: return 1;
  }
}

std::string SystemErrorText(uint32_t code) {
  for (const ErrorText& e : kErrorTexts)
    if (e.code == code) return std::string(e.text) + "\r\n";
  return "";
}

}  // namespace vlzt::platform
