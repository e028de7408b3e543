// service/service_main.h
// The life of the service: start-up (settings, directories, worker threads), the wait for
// the stop, and the ordered shutdown.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vlzt {

inline constexpr const char* kProductKey = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";
inline constexpr const char* kProductName = "Velmora/Tavish Log Monitor ";
inline constexpr const char* kProductVersion = "v4.3 - February, 2007";

void ServiceMain(const std::vector<std::string>& arguments);
// Starts the stop: aborts the web listener, gives the web server its time, sets
// StopServerEvent. Safe to call more than once and from any thread.
void ServiceStop();
// Waits for the worker threads within one shared budget of polls and gives up on those
// that do not end. Runs once per process.
void CleanupMonitor();
// Program log file and level from the registry.
void FetchAndSetLogging();
// Creates DataDirectory and HTMLTargetDirectory; 1, or 0 after logging.
int CreateRequiredDirectories();
// The operating system's family for pages and consoles: "Linux [kernel release]".
std::string OSFamilyName();

// Shutdown pacing: the poll interval of ServiceStop and CleanupMonitor (1000 ms) and the
// pause before StopServerEvent is set (2500 ms). Tests shorten them.
struct ShutdownTiming {
  uint32_t pollMs = 1000;
  uint32_t settleMs = 2500;
};
void SetShutdownTiming(const ShutdownTiming& timing);

}  // namespace vlzt
