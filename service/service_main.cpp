// service/service_main.cpp
#include "service/service_main.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "alerting/alert_notification.h"
#include "alerting/email.h"
#include "alerting/recipients.h"
#include "console/activity.h"
#include "monitors/check_config.h"
#include "monitors/eventlog_monitor.h"
#include "monitors/logfile_monitor.h"
#include "platform/machine_root.h"
#include "platform/scm.h"
#include "platform/system.h"
#include "service/service_entry.h"
#include "support/service_state.h"
#include "support/vlZTIP.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

using platform::SERVICE_RUNNING;
using platform::SERVICE_START_PENDING;
using platform::SERVICE_STOP_PENDING;
using platform::SERVICE_STOPPED;

constexpr size_t kText = 260;
constexpr uint32_t kPendingHint = 30000;
constexpr int kShutdownPolls = 30;

std::mutex g_timingMutex;
ShutdownTiming g_timing;
std::atomic<bool> g_cleanedUp{false};

ShutdownTiming Timing() {
  std::lock_guard<std::mutex> lock(g_timingMutex);
  return g_timing;
}

void Log(int level, const std::string& message) {
  vlZTLog_Message(level, 0, nullptr, "vlZTELog", "ServiceMain", "s", message);
}

bool Report() { return ReportServiceStatus(SERVICE_START_PENDING, 0, kPendingHint) != 0; }

void LostController() { Log(1, "Unable to contact the SCM. The Tavish Monitor will exit"); }

// A setting the service cannot start without is missing or a directory failed.
void RefuseStart(const std::string& message) {
  ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint);
  Log(1, message);
  ReportServiceStatus(SERVICE_STOPPED, 0, 0);
}

std::string MissingSetting(const char* which) {
  return std::string("The Velmora/Tavish Log Monitor cannot be started because the required local "
                     "configuration settings (") +
         which + ") are not defined. Please contact the System Administrator";
}

bool ReadSetting(const char* name, std::string& out) {
  return vlZTREG_ReadString(kProductKey, name, out, kText) == 0;
}

// Removes temporary files left in the data directory by an earlier run.
void ClearTemporaryFiles() {
  const std::string& dir = ServiceState().DataDirectory;
  platform::MakeDirectories(dir);
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec) && it->path().extension() == ".tmp") std::filesystem::remove(it->path(), ec);
  }
}

// Deletes the page files "LOG*_*.htm" left from earlier web requests.
void ClearPageFiles() {
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(ServiceState().HTMLTargetDirectory, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (it->is_directory(ec)) continue;
    if (name.rfind("LOG", 0) == 0 && name.size() > 4 && name.find('_', 3) != std::string::npos &&
        name.compare(name.size() - 4, 4, ".htm") == 0)
      std::filesystem::remove(it->path(), ec);
  }
}

// One worker thread of start-up: its slot and what to log when it cannot start.
struct Worker {
  int slot;  // -1: the web server thread
  void (*routine)();
  const char* failure;
};

bool StartWorker(const Worker& w) {
  auto thread = std::make_shared<platform::Thread>();
  if (!thread->Start(w.routine)) {
    vlZTLog_Message(1, 0, nullptr, "vlZTELog", "ServiceMain", "sl", w.failure,
                    platform::ErrorFromErrno(errno));
    return false;
  }
  if (w.slot < 0) ServiceState().WebServerThread = thread;
  else ServiceState().WorkerThreads[static_cast<size_t>(w.slot)] = thread;
  return true;
}

void StopAfterFailure() {
  ServiceStop();
  CleanupMonitor();
}

}  // namespace

void SetShutdownTiming(const ShutdownTiming& timing) {
  std::lock_guard<std::mutex> lock(g_timingMutex);
  g_timing = timing;
}

void FetchAndSetLogging() {
  std::string file;
  int32_t level = 3;
  vlZTREG_ReadString(kProductKey, "LogFile", file, kText, kDefaultLogFile);
  vlZTREG_ReadNumber(kProductKey, "LogLevel", &level, 3);
  vlZTLog_SetLevel(level);
  if (!vlZTLog_SetFile(file.c_str()))
    vlZTLog_Message(2, 0, nullptr, "vlZTELog", "FetchAndSetLogging", "sss", "The new log file (", file,
                    ") cannot be used. Logging will continue to use the original or default file");
}

int CreateRequiredDirectories() {
  ServiceStateRecord& s = ServiceState();
  if (!platform::MakeDirectories(s.DataDirectory)) {
    vlZTLog_Message(1, 0, nullptr, "vlZTShared", "CreateRequiredDirectories", "sss",
                    "An error occurred whilst creating the Tavish Monitor data directory (", s.DataDirectory, ")");
    return 0;
  }
  if (!platform::MakeDirectories(s.HTMLTargetDirectory)) {
    vlZTLog_Message(1, 0, nullptr, "vlZTShared", "CreateRequiredDirectories", "sss",
                    "An error occurred whilst creating the Tavish Monitor HTML Target directory (",
                    s.HTMLTargetDirectory, ")");
    return 0;
  }
  return 1;
}

std::string OSFamilyName() {
  std::string name = platform::OsFamily();
  std::string pack = platform::OsServicePack();
  if (!pack.empty()) name += " [" + pack + "]";
  return name;
}

void ServiceMain(const std::vector<std::string>& arguments) {
  (void)arguments;
  ServiceStateRecord& s = ServiceState();

  // 1-2: logging and the start banner.
  FetchAndSetLogging();
  if (!Report()) return LostController();
  vlZTLog_Message(3, 0, nullptr, "vlZTELog", "ServiceMain", "sss", "---------------- Velmora/Tavish Log Monitor ",
                  kProductVersion, " is starting ----------------");
  vlZTLog_Event(6, "vlZTELog", "ServiceMain", "sss", kProductName, kProductVersion, " is starting");
  TracePrint("The Velmora/Tavish Log Monitor is starting - please wait");
  if (!Report()) return LostController();

  // 3-6: settings.
  if (!ReadSetting("Home", s.Home)) return RefuseStart(MissingSetting("home"));
  if (!ReadSetting("DataDirectory", s.DataDirectory)) return RefuseStart(MissingSetting("DataDirectory"));
  if (!ReadSetting("HTMLTargetDirectory", s.HTMLTargetDirectory))
    return RefuseStart(MissingSetting("HTMLTargetDirectory"));
  s.EnableConsoleSupport = 1;
  vlZTREG_ReadFlag(kProductKey, "EnableWebReports", &s.EnableWebReports);
  vlZTREG_ReadFlag(kProductKey, "EnableConsoleSupport", &s.EnableConsoleSupport);
  if (!ReadSetting("ImagesDirectory", s.ImagesDirectory)) return RefuseStart(MissingSetting("ImagesDirectory"));
  int32_t delay = 0;
  vlZTREG_ReadNumber(kProductKey, "InitialStartupDelay", &delay, 0);
  s.InitialStartupDelay = static_cast<uint32_t>(delay);
  if (!Report()) return LostController();

  // 7-10: directories and what earlier runs left behind.
  if (!CreateRequiredDirectories())
    return RefuseStart(
        "The Velmora/Tavish Log Monitor cannot be started because the required local directories do not exist "
        "and could not be created. Please contact the System Administrator");
  ClearTemporaryFiles();
  std::error_code ec;
  std::filesystem::remove(ConfigStatusFilePath(), ec);
  if (!Report()) return LostController();
  ClearPageFiles();
  if (!Report()) return LostController();

  // 11: general flags.
  s.NotifyRunningActions = 0;
  vlZTREG_ReadNumber(kProductKey, "NotifyRunningActions", &s.NotifyRunningActions);
  vlZTREG_ReadFlag(kProductKey, "AutoAdjustPrivileges", &s.AutoAdjustPrivileges, 0);
  vlZTREG_ReadFlag(kProductKey, "SendOneOffWarnings", &s.SendOneOffWarnings, 1);
  s.ComputerName = platform::ComputerName().substr(0, kText - 1);
  if (!Report()) return LostController();

  // 12-14: the locks and events are members of ServiceState and exist already; from here
  // on a failure also stops what was started.
  if (!Report()) {
    LostController();
    return StopAfterFailure();
  }

  // 15-16.
  int32_t runBefore = 0;
  if (vlZTREG_ReadNumber(kProductKey, "RunBefore", &runBefore) != 0) s.FirstRun = 1;
  else s.FirstRun = runBefore == 0 ? 1 : 0;
  vlZTREG_WriteNumber(kProductKey, "RunBefore", 1);
  for (auto& slot : s.WorkerThreads) slot.reset();

  // 17: warm-up.
  if (s.InitialStartupDelay != 0) {
    uint32_t up = platform::GetTickCount() / 1000;
    if (up < s.InitialStartupDelay) {
      uint32_t wait = s.InitialStartupDelay - up;
      vlZTLog_Message(3, 0, nullptr, "vlZTELog", "ServiceMain", "sis", "Waiting for server warm-up time (",
                      static_cast<int32_t>(wait), " secs.)");
      if (s.StopServerEvent.Wait(wait * 1000)) {
        StopAfterFailure();
        ReportServiceStatus(SERVICE_STOPPED, 0, 0);
        return;
      }
    }
    Log(3, "Server warm-up completed. Startup continues ...");
  }

  // 18: the worker threads. E-mail reaches the alert thread through its channel; the
  // delayed e-mail thread runs only when somebody is to get e-mail at all.
  InstallEMailChannel();
  std::string recipients;
  bool anyEMail = BuildRecipientList(1023, 2, recipients, kRecipientListCapacity) >= 1;
  const Worker workers[] = {
      {0, +[] { VerifyEventLogs(); },
       "The Tavish Monitor cannot be started because the Event Log monitoring thread could not be initialised. "
       "Error: "},
      {1, +[] { VerifyLogFiles(); },
       "The Tavish Monitor cannot be started because the Log File monitoring thread could not be initialised. "
       "Error: "},
      {7, AlertNotification,
       "The Tavish Monitor cannot be started because the Alerting thread could not be initialised. Error: "},
      {14, anyEMail ? DelayedAlertNotification : nullptr,
       "The Tavish Monitor cannot be started because the Delayed Alerting thread could not be initialised. Error: "},
  };
  int started = 0;
  for (const Worker& w : workers) {
    if (!w.routine) continue;
    if (!StartWorker(w)) {
      ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint);
      StopAfterFailure();
      ReportServiceStatus(SERVICE_STOPPED, 0, 0);
      return;
    }
    ++started;
    if (started <= 3 && !Report()) {
      LostController();
      return StopAfterFailure();
    }
  }
  s.LogErrorsPage = s.HTMLTargetDirectory + "/LogErrors.htm";

  // 19: release the threads once they are all at the start gate.
  bool stopDuringRelease = false;
  for (int i = 0; i < 120 && s.ThreadsReady.load() != started; ++i) {
    if (s.StopServerEvent.Wait(500)) {
      stopDuringRelease = true;
      break;
    }
    Report();
  }
  s.ThreadsReleased.Set();
  Report();
  (void)stopDuringRelease;  // the gate stays open: a second release changes nothing

  // 20-21: running.
  vlZTLog_Event(6, "vlZTELog", "ServiceMain", "s", "The Velmora/Tavish Log Monitor started successfully");
  Log(3, "---------------- Tavish Monitor Startup Complete ----------------");
  TracePrint("The Velmora/Tavish Log Monitor is now running");
  ReportRuntimeActivity(21, "s", "The monitor service is running");
  ReportServiceStatus(SERVICE_RUNNING, 0, 0);
  s.StopServerEvent.Wait(platform::kInfinite);

  // 22: shutdown.
  vlZTLog_Event(6, "vlZTELog", "ServiceMain", "s", "The Velmora/Tavish Log Monitor is being shut down");
  Log(3, "---------------- The Velmora/Tavish Log Monitor is being shut down ----------------");
  TracePrint("The Velmora/Tavish Log Monitor is shutting down");
  ReportRuntimeActivity(21, "s", "The monitor service is shutting down");
  ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint);
  CleanupMonitor();
  ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint);
  vlZTLog_Event(6, "vlZTELog", "ServiceMain", "s", "The Velmora/Tavish Log Monitor shut down successfully");
  Log(3, "---------------- Tavish Monitor Shutdown Complete ----------------");
  TracePrint("The Velmora/Tavish Log Monitor has now shut down");
  ReportServiceStatus(SERVICE_STOPPED, 0, 0);
}

void ServiceStop() {
  ServiceStateRecord& s = ServiceState();
  ShutdownTiming timing = Timing();
  auto report = [] { ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint); };
  report();
  if (uint32_t listener = s.WebListener.load()) vlZTIP_AbortListener(listener);
  report();
  std::this_thread::sleep_for(std::chrono::milliseconds(timing.settleMs));
  if (auto web = s.WebServerThread) {
    int polls = 0;
    while (web->Running() && polls < kShutdownPolls) {
      report();
      web->Wait(timing.pollMs);
      ++polls;
    }
    if (web->Running()) {
      vlZTLog_Message(2, 0, nullptr, "vlZTELog", "ServiceStop", "s",
                      "Timed out waiting for the Web Server thread to terminate. Forcing it to close");
      web->Abandon();
    }
    s.WebServerThread.reset();
  }
  s.StopServerEvent.Set();
  report();
}

void CleanupMonitor() {
  if (g_cleanedUp.exchange(true)) return;
  ServiceStateRecord& s = ServiceState();
  ShutdownTiming timing = Timing();
  int polls = 0;
  for (size_t slot = 0; slot < s.WorkerThreads.size(); ++slot) {
    auto& thread = s.WorkerThreads[slot];
    while (polls < kShutdownPolls && thread && thread->Running()) {
      ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint);
      thread->Wait(timing.pollMs);
      ++polls;
    }
    if (thread && !thread->Running()) {
      thread.reset();
    } else if (thread) {
      vlZTLog_Message(2, 0, nullptr, "vlZTELog", "CleanupMonitor", "sis", "Timed out waiting for thread: ",
                      static_cast<int32_t>(slot), " to terminate. Forcing it to close");
      // Threads cannot be killed here; it is left to end with the process.
      thread->Abandon();
      thread.reset();
      polls = kShutdownPolls - 1;
    }
  }
  ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingHint);
  ClearTemporaryFiles();
}

}  // namespace vlzt
