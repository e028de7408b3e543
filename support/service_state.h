// support/service_state.h
// The one process-wide record of the service. Every subsystem reads it, so it lives below
// them all; the service's start-up fills it before any worker thread starts and it is
// read-only afterwards, except TraceMode, WebListener, ThreadsReady and the thread slots.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <memory>

#include "platform/sync.h"
#include "platform/thread.h"

namespace vlzt {

struct ServiceStateRecord {
  std::string Home;
  std::string ComputerName;
  std::string DataDirectory;
  std::string HTMLTargetDirectory;
  std::string ImagesDirectory;
  std::string LogErrorsPage;
  int32_t EnableWebReports = 0;
  int32_t EnableConsoleSupport = 0;
  int32_t AutoAdjustPrivileges = 0;
  int32_t SendOneOffWarnings = 0;
  int32_t NotifyRunningActions = 0;
  uint32_t InitialStartupDelay = 0;
  int32_t FirstRun = 0;
  std::atomic<int32_t> TraceMode{0};

  platform::ManualResetEvent StopServerEvent;
  platform::ManualResetEvent SendErrorEvent;

  // Worker slots: 0 event-log monitor, 1 log-file monitor, 7 alert notification,
  // 10 daily summary, 14 delayed alert notification.
  std::array<std::shared_ptr<platform::Thread>, 15> WorkerThreads;
  std::shared_ptr<platform::Thread> WebServerThread;

  std::atomic<uint32_t> WebListener{0};
  std::atomic<int32_t> ThreadsReady{0};
  // Opened once start-up releases the workers (stands in for resuming suspended threads).
  platform::ManualResetEvent ThreadsReleased;

  std::mutex EmailLock;
  std::mutex StoredMessageLock;
  std::recursive_mutex WebDataLock;
  std::mutex ErrorPageLock;
  std::mutex StatusLock;
  std::mutex LibraryLoadLock;
  std::recursive_mutex ConsoleLock;
};

// The record of this process.
ServiceStateRecord& ServiceState();

// The first action of every worker thread: counts itself in ThreadsReady and waits until
// start-up releases the workers. Returns false when the service is stopping instead, and
// the thread then ends at once.
bool WaitAtStartGate();

}  // namespace vlzt
