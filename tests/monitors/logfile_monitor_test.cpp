// The log-file monitor thread on real files that the test writes while it runs.
#include "monitors/logfile_monitor.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "alerting/stored_messages.h"
#include "platform/clock.h"
#include "platform/machine_root.h"
#include "platform/profile.h"
#include "support/service_state.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

const std::string kConfig = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";

class LogFileMonitorTest : public testing::TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    ServiceStateRecord& s = ServiceState();
    s.Home = path("home");
    s.DataDirectory = path("data");
    s.EnableWebReports = 1;
    s.NotifyRunningActions = 0;
    s.StopServerEvent.Reset();
    s.ThreadsReleased.Set();
    platform::MakeDirectories(s.Home);
    platform::MakeDirectories(s.DataDirectory);
    ASSERT_EQ(vlZTREG_WriteNumber(kConfig, "LogFilePollInterval", 1), 0);
  }
  void TearDown() override {
    Stop();
    platform::ResetClock();
    TestRoot::TearDown();
  }
  void AddCheck(int n, const std::string& file, const std::string& name, const std::vector<std::string>& include,
                const std::vector<std::string>& exclude = {}) {
    std::string key = kConfig + "\\LOGS\\Log" + std::to_string(n);
    ASSERT_EQ(vlZTREG_WriteNumber(key, "LogType", 3), 0);
    ASSERT_EQ(vlZTREG_WriteFlag(key, "Enabled", 1), 0);
    ASSERT_EQ(vlZTREG_WriteString(key, "File", file), 0);
    ASSERT_EQ(vlZTREG_WriteString(key, "Name", name), 0);
    ASSERT_EQ(vlZTREG_WriteNumber(key, "AlertLevel", 1), 0);
    for (size_t i = 0; i < include.size(); ++i)
      ASSERT_EQ(vlZTREG_WriteString(key, "KeywordInclude" + std::to_string(i + 1), include[i]), 0);
    for (size_t i = 0; i < exclude.size(); ++i)
      ASSERT_EQ(vlZTREG_WriteString(key, "KeywordExclude" + std::to_string(i + 1), exclude[i]), 0);
  }
  void Start() {
    monitor_ = std::thread([] { VerifyLogFiles(); });
  }
  void Stop() {
    ServiceState().StopServerEvent.Set();
    if (monitor_.joinable()) monitor_.join();
  }
  void Append(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << text;
  }
  // Title and message of every alert so far, oldest first.
  std::vector<std::pair<std::string, std::string>> Alerts() {
    std::vector<std::pair<std::string, std::string>> out;
    for (uint32_t n = 1;; ++n) {
      std::string file = StoredMessagePath(n);
      if (access(file.c_str(), F_OK) != 0) break;
      out.push_back({platform::GetProfileValue("Default", "ErrorTitle", "", file),
                     platform::GetProfileValue("Default", "Message", "", file)});
    }
    return out;
  }
  bool WaitFor(const std::function<bool()>& done, int seconds = 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  std::string Log() { return testing::ReadFile(platform::JoinPath(root(), "log/VLMZT.LOG")); }
  size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  // Waits until the monitor has looked at the files at least twice more.
  void LetItLook() { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); }

  std::thread monitor_;
};

TEST_F(LogFileMonitorTest, AppendedLinesAlertOnceAndEarlierLinesNever) {
  std::string app = path("app.log"), late = path("late.log");
  testing::WriteFile(app, "old disk error before the start\n");
  AddCheck(1, app, "Disk check", {"disk [AND] error"}, {"ignore me"});
  AddCheck(2, "\"" + app + "\"", "Second check", {"error"});
  AddCheck(3, late, "Late check", {"panic"});
  Start();
  LetItLook();
  Append(app, "new DISK failure: ERROR 5\nerror but ignore me, disk\nunrelated\npartial disk error");
  Append(late, "kernel panic in a file that appeared late\n");
  ASSERT_TRUE(WaitFor([&] { return Alerts().size() >= 2; })) << Log();
  LetItLook();
  auto alerts = Alerts();
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0].first, "Disk check");
  EXPECT_EQ(alerts[0].second.rfind("new DISK failure: ERROR 5", 0), 0u) << alerts[0].second;
  // The excluded line passed the second check's include test too, but the first check had
  // already recorded it, so neither fires; the unfinished line waits for its end.
  EXPECT_EQ(alerts[1].first, "Late check");
  EXPECT_EQ(alerts[1].second.rfind("kernel panic", 0), 0u);

  Append(app, " now complete\n");
  ASSERT_TRUE(WaitFor([&] { return Alerts().size() >= 3; })) << Log();
  EXPECT_EQ(Alerts()[2].second.rfind("partial disk error now complete", 0), 0u) << Alerts()[2].second;
  LatestRecord latest;
  ASSERT_TRUE(GetLatestLogRecord(0, latest));
  EXPECT_EQ(latest.name, "Disk check");
  EXPECT_EQ(latest.text, "partial disk error now complete\n");
  std::ostringstream page;
  VerifyLogFiles(&page);
  EXPECT_NE(page.str().find("<td>Disk check</td><td>partial disk error now complete\n</td>"), std::string::npos)
      << page.str();
}

TEST_F(LogFileMonitorTest, TruncationLongLinesAndTimedStart) {
  std::string app = path("app.log");
  testing::WriteFile(app, "first line\nsecond line\n");
  AddCheck(1, app, "Check", {"alarm"});
  ASSERT_EQ(vlZTREG_WriteString(kConfig, "StartMonitoringOn", "01/01/2001 10:00"), 0);
  Start();
  LetItLook();
  EXPECT_EQ(Log().find("Waiting until"), std::string::npos) << "a date in the past starts at once";
  testing::WriteFile(app, "alarm old\n");  // replaced by a shorter file
  LetItLook();
  Append(app, std::string(40000, 'x') + " alarm\nalarm after the long line\n");
  ASSERT_TRUE(WaitFor([&] { return Count(Log(), "exceeds the maximum permitted limit") == 1; })) << Log();
  Append(app, "alarm two\n");
  ASSERT_TRUE(WaitFor([&] { return !Alerts().empty(); })) << Log();
  LetItLook();
  std::string log = Log();
  EXPECT_EQ(Count(log, "Warning: The log file " + app + " has been reset. Monitoring will continue from the new location"), 1u)
      << log;
  EXPECT_NE(log.find("Warning: The log record exceeds the maximum permitted limit in the file " + app +
                     ". Continuing from the end of file"),
            std::string::npos);
  auto alerts = Alerts();
  ASSERT_EQ(alerts.size(), 1u) << "lines in the replaced file and behind the long line are skipped";
  EXPECT_EQ(alerts[0].second.rfind("alarm two", 0), 0u);
}

TEST_F(LogFileMonitorTest, DatedNameSwitchesAtMidnight) {
  // Two seconds before midnight, with the clock running.
  std::tm t = platform::LocalTime(platform::CurrentTime());
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  platform::SetClockOffset(platform::CalendarTime(t) - platform::CurrentTime());
  std::string today, tomorrow;
  std::tm d = platform::LocalTime(platform::CurrentTime());
  char name[64];
  std::strftime(name, sizeof name, "%y%m%d", &d);
  today = path(std::string("app") + name + ".log");
  d.tm_mday += 1;
  d.tm_hour = 12;
  std::tm next = platform::LocalTime(platform::CalendarTime(d));
  std::strftime(name, sizeof name, "%y%m%d", &next);
  tomorrow = path(std::string("app") + name + ".log");
  testing::WriteFile(today, "");
  AddCheck(1, path("app$$YYMMDD.log"), "Dated", {"fail"});
  Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // past midnight on the test clock
  Append(tomorrow, "fail in the file of the new day\n");
  ASSERT_TRUE(WaitFor([&] { return !Alerts().empty(); })) << Log();
  EXPECT_EQ(Alerts()[0].second.rfind("fail in the file of the new day", 0), 0u) << Alerts()[0].second;
}

TEST_F(LogFileMonitorTest, MinutesUntilAndPollInterval) {
  std::tm day{};
  day.tm_year = 107;
  day.tm_mon = 2;
  day.tm_mday = 5;
  day.tm_hour = 10;
  platform::SetClockFixed(platform::CalendarTime(day));
  struct Case {
    const char* text;
    int32_t minutes;
  } cases[] = {
      {"05/03/2007 12:30", 150}, {"05/03/2007 09:00", 0}, {"not a date", 0}, {"", 0}, {"06/03/2007 10:00", 1440},
  };
  for (const Case& c : cases) EXPECT_EQ(MinutesUntil(c.text), c.minutes) << c.text;
  int32_t rollover = 7;
  EXPECT_EQ(NextPollInterval(0, rollover), 1);
  EXPECT_EQ(rollover, 0);
  day.tm_hour = 23;
  day.tm_min = 59;
  day.tm_sec = 59;
  platform::SetClockFixed(platform::CalendarTime(day));
  EXPECT_EQ(NextPollInterval(1, rollover), 1);
  EXPECT_EQ(rollover, 1);
}

}  // namespace
}  // namespace vlzt
