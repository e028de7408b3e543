// Alerts per second into the queue through NotifyError, stored messages delivered per second
// by the alert-notification thread with only the file channels configured, and place-marker
// expansion of large texts.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "alerting/alert_log.h"
#include "alerting/alert_notification.h"
#include "alerting/stored_messages.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "platform/machine_root.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Queues `count` alerts with a message of `size` bytes; returns alerts per second.
double QueueAlerts(int count, size_t size) {
  std::string text(size, 'm');
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::string message = text;
    vlzt::NotifyError(4, 4, 0, "Bench check " + std::to_string(i), "Application", message, "Application",
                      "Application log", "Bench check", 0);
  }
  return count / Seconds(start);
}

// Runs the thread over the queued alerts until it goes idle; returns alerts per second.
double DeliverQueued(int count) {
  std::mutex m;
  std::condition_variable cv;
  bool idle = false;
  vlzt::SetActivitySink([&](int, const std::string& text) {
    if (text == "Waiting for notification") {
      std::lock_guard<std::mutex> lock(m);
      idle = true;
      cv.notify_all();
    }
    return 1;
  });
  vlzt::ServiceStateRecord& s = vlzt::ServiceState();
  s.SendErrorEvent.Reset();
  auto start = Clock::now();
  std::thread t(vlzt::AlertNotification);
  s.ThreadsReleased.Set();
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return idle; });
  }
  double rate = count / Seconds(start);
  s.StopServerEvent.Set();
  t.join();
  s.StopServerEvent.Reset();
  s.ThreadsReleased.Reset();
  vlzt::SetActivitySink(nullptr);
  return rate;
}

template <typename F>
double PerSecond(int count, F&& op) {
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) op();
  return count / Seconds(start);
}

}  // namespace

int main() {
  char dir[] = "/tmp/vlzt-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string base = dir;
  setenv("VLZT_ROOT", (base + "/root").c_str(), 1);
  vlzt::vlZTLog_SetLevel(1);
  vlzt::ServiceStateRecord& s = vlzt::ServiceState();
  s.DataDirectory = base + "/data";
  s.ComputerName = "BENCH";
  vlzt::platform::MakeDirectories(s.DataDirectory);
  vlzt::vlZTREG_WriteNumber(vlzt::kAlertingConfigKey, "MaxStoredMsgs", 100000);
  vlzt::vlZTREG_WriteFlag(vlzt::kAlertLoggingKey, "EnableAlertLogging", 1);
  vlzt::vlZTREG_WriteString(vlzt::kAlertLoggingKey, "AlertDataFile", base + "/alerts.csv");

  constexpr int kSmall = 1000;
  double queued = QueueAlerts(kSmall, 200);
  double delivered = DeliverQueued(kSmall);
  std::printf("NotifyError into the queue, 200-byte messages: %8.0f alerts/s\n", queued);
  std::printf("delivered by the thread (alert data file + alert log): %8.0f alerts/s\n", delivered);

  constexpr int kLarge = 20;
  double queuedLarge = QueueAlerts(kLarge, 1 << 20);
  double deliveredLarge = DeliverQueued(kLarge);
  std::printf("NotifyError into the queue, 1 MB messages: %8.1f alerts/s\n", queuedLarge);
  std::printf("delivered by the thread, 1 MB messages: %8.1f alerts/s\n", deliveredLarge);

  vlzt::SubstitutionRecord record;
  record.Message = std::string(1 << 20, 'e');
  record.Title = "Bench check";
  std::string templ;
  for (int i = 0; i < 5000; ++i) templ += "<$$TITLE> <$$server> <$$NOSUCH> ";
  templ += "<$$ERROR>";
  std::string out;
  double expand = PerSecond(50, [&] { vlzt::SubstituteParamsForString_Dynamic(4, templ, out, record); });
  std::printf("expand 15000 markers + a 1 MB message (%zu bytes out): %8.1f /s\n", out.size(), expand);
  std::string unclosed;
  for (int i = 0; i < 200000; ++i) unclosed += "<$$X";
  double open = PerSecond(20, [&] { vlzt::SubstituteParamsForString_Dynamic(4, unclosed, out, record); });
  std::printf("expand 200000 unclosed openings (800 KB): %8.1f /s\n", open);

  std::filesystem::remove_all(base);
  return 0;
}
