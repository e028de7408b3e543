// tests/alerting/alerting_fixture.h
// Fixture of the alerting tests: a data directory of its own, a recorded activity stream,
// the channels reset, and the alert-notification thread started and stopped on request.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alerting/alert_notification.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "platform/clock.h"
#include "platform/machine_root.h"
#include "summary/summary_counters.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt::testing {

struct ActivityLine {
  int origin;
  std::string text;
};

class AlertingTest : public TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    ServiceStateRecord& s = ServiceState();
    s.Home = scratch();
    s.DataDirectory = path("data");
    ASSERT_TRUE(platform::MakeDirectories(s.DataDirectory));
    s.ComputerName = "TESTSRV";
    s.EnableWebReports = 0;
    s.EnableConsoleSupport = 0;
    s.NotifyRunningActions = 0;
    s.StopServerEvent.Reset();
    s.SendErrorEvent.Reset();
    s.ThreadsReleased.Reset();
    s.ThreadsReady = 0;
    platform::ResetClock();
    ForgetDateFormat();
    ResetSummaryCounters();
    SetEMailChannel(nullptr);
    SetNetworkMessageChannel(nullptr);
    SetDatabaseChannel(nullptr);
    SetAlertEngineChannel(nullptr);
    SetErrorPageBuilder(nullptr);
    SetConsoleEventPush(nullptr);
    SetActivitySink([this](int origin, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      activity_.push_back({origin, text});
      if (text == "Waiting for notification") ++idle_;
      changed_.notify_all();
      return 1;
    });
  }

  void TearDown() override {
    StopThread();
    SetActivitySink(nullptr);
    SetConsoleEventPush(nullptr);
    SetEMailChannel(nullptr);
    SetNetworkMessageChannel(nullptr);
    SetDatabaseChannel(nullptr);
    SetAlertEngineChannel(nullptr);
    SetErrorPageBuilder(nullptr);
    platform::ResetClock();
    TestRoot::TearDown();
  }

  const std::string& data() const { return ServiceState().DataDirectory; }
  std::string dataFile(const std::string& name) const { return platform::JoinPath(data(), name); }

  // Fixes the clock at a local time.
  static void SetLocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    platform::SetClockFixed(platform::CalendarTime(tm));
  }

  void SetConfig(const char* name, int32_t value) {
    ASSERT_EQ(vlZTREG_WriteNumber(kAlertingConfigKey, name, value), 0);
  }

  std::vector<ActivityLine> Activity() {
    std::lock_guard<std::mutex> lock(mutex_);
    return activity_;
  }
  bool HasActivity(const std::string& text) {
    for (const ActivityLine& l : Activity())
      if (l.text == text) return true;
    return false;
  }

  // Starts the alert-notification thread and opens the start gate. SendErrorEvent starts
  // clear (the thread reads the list first anyway), so every later wake is one the test made.
  void StartThread() {
    ServiceState().SendErrorEvent.Reset();
    thread_ = std::thread(AlertNotification);
    ServiceState().ThreadsReleased.Set();
  }
  // Waits until the thread has gone idle `count` times in all.
  bool WaitForIdle(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(120), [&] { return idle_ >= count; });
  }
  void StopThread() {
    if (!thread_.joinable()) return;
    ServiceState().StopServerEvent.Set();
    thread_.join();
  }

  // The program log so far.
  static std::string LogText() { return ReadFile(vlZTLog_CurrentFile()); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ActivityLine> activity_;
  int idle_ = 0;
  std::thread thread_;
};

}  // namespace vlzt::testing
