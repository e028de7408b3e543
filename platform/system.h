// platform/system.h
// Facts about this computer that the host platform answers, and the calling thread's last
// error with its text.
#pragma once
#include <cstdint>
#include <string>

namespace vlzt::platform {

// This computer's name: the registry value ComputerName of
// SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName when set, else the host name
// (up to the first dot) in capitals.
std::string ComputerName();

// Milliseconds since the operating system started, in 32 bits (wraps after 49.7 days).
// VLZT_TEST_UPTIME_MS, when set, is taken as the uptime at the first call (tests use it).
uint32_t GetTickCount();
// Seconds since the operating system started (same source, without the wrap).
uint64_t UptimeSeconds();

// The operating system's family ("Linux"), its name (PRETTY_NAME of /etc/os-release) and
// the text that stands where the host platform shows its service pack (the kernel release).
std::string OsFamily();
std::string OsSystemName();
std::string OsServicePack();

// Restarts the computer: runs the command in the registry value RebootCommand of
// SYSTEM\Platform (default /sbin/reboot) through /bin/sh. 0 when it ran and succeeded, else
// the platform error code (or the command's exit code when it failed).
uint32_t RebootSystem();

// Ids of this process and of the calling thread, for the names of temporary files.
long ProcessId();
long ThreadId();

// The calling thread's last error, as the platform calls set it.
uint32_t GetLastError();
void SetLastError(uint32_t code);
// The platform error code for an errno value (2 file not found, 5 access denied, ...).
uint32_t ErrorFromErrno(int err);

// The text of a platform error code, ending in a line break as the host platform's
// message table does ("The system cannot find the file specified.\r\n"); "" when unknown.
std::string SystemErrorText(uint32_t code);

}  // namespace vlzt::platform
