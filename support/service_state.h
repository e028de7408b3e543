// support/service_state.h
// The one process-wide record of the service. Every subsystem reads it, so it lives below
// them all; the service's start-up fills it before any worker thread starts and it is
// read-only afterwards, except TraceMode, WebListener, ThreadsReady and the thread slots.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/sync.h"

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

  std::atomic<uint32_t> WebListener{0};
  std::atomic<int32_t> ThreadsReady{0};

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

}  // namespace vlzt
