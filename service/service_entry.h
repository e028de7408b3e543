// service/service_entry.h
// The process entry of vlZTEventLog: run as a service, install or remove it, or run the
// monitor in trace mode; status reports to the service controller and the stop handlers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vlzt {

inline constexpr const char* kServiceName = "vlZTEventLog";
inline constexpr const char* kServiceDisplayName = "Velmora/Tavish (Log) Monitor Server";
inline constexpr const char* kServiceDescription =
    "Monitors the local Event Logs & log files, notifying the Administrator in the event a fault "
    "is detected";

// The whole program: returns the process exit status.
int ServiceProgramMain(int argc, char** argv);

// The service's entry under the dispatcher.
void ServiceStart(const std::vector<std::string>& arguments);

// Publishes `state` (1 stopped, 2 start pending, 3 stop pending, 4 running); nonzero on
// success. Does nothing and succeeds in trace mode.
int ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint);

void ServiceControlHandler(uint32_t control);
// Ctrl-C / Ctrl-Break in trace mode (SIGINT, SIGTERM here); true when handled.
bool ConsoleControlHandler(int signal);

// One console line: "HH:MM.SS - text".
void TracePrint(const std::string& text);

// The platform's text of the calling thread's last error and its number, "text (0x..)";
// empty when there is no text or it does not fit `size`.
std::string FormatLastError(size_t size);

}  // namespace vlzt
