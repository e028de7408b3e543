// The event-log monitor thread on real logs that writer processes (vlevent, or the library
// in this process or a forked child) fill while it runs.
#include "monitors/eventlog_monitor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "alerting/stored_messages.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "platform/eventlog.h"
#include "platform/machine_root.h"
#include "platform/message_files.h"
#include "platform/profile.h"
#include "support/service_state.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;
using testing::BinPath;
using testing::RunCommand;

const std::string kConfig = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";
constexpr uint32_t kProbeId = 999;

struct CheckSpec {
  std::string name{};
  std::vector<std::string> include{};
  std::vector<std::string> exclude{};
  std::string file = "Application";
  int logType = 0;
  std::string eventId{};
  std::string source{};
  int eventType = 0;
  int all = 0;
  int action = 0;
  std::string command{};
  int alertLevel = 1;
};

struct StoredAlert {
  std::string title, message, appName, info1, info2, info3, alertLevel, autoResponse;
};

class EventLogMonitorTest : public testing::TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    ServiceStateRecord& s = ServiceState();
    s.Home = path("home");
    s.DataDirectory = path("data");
    s.EnableWebReports = 1;
    s.EnableConsoleSupport = 0;
    s.NotifyRunningActions = 0;
    s.FirstRun = 0;
    s.StopServerEvent.Reset();
    s.ThreadsReleased.Set();
    MakeDirectories(s.Home);
    MakeDirectories(s.DataDirectory);
    ForgetDateFormat();
    SetDuplicateTickSource(nullptr);
    SetNotification(true);
    SetPoll(1);
    SetActivitySink([this](int origin, const std::string& text) {
      if (origin != 2) return 1;
      std::lock_guard<std::mutex> lock(activityMutex_);
      activity_.push_back(text);
      return 1;
    });
    ASSERT_EQ(EnsureGenericMessageFile(&generic_), 0);
  }
  void TearDown() override {
    Stop();
    SetActivitySink(nullptr);
    SetChangeNotification(true);
    SetDuplicateTickSource(nullptr);
    TestRoot::TearDown();
  }

  void SetNotification(bool on) {
    notify_ = on;
    SetChangeNotification(on);
  }
  void SetPoll(int seconds) {
    poll_ = seconds;
    ASSERT_EQ(vlZTREG_WriteNumber(kConfig, "EventLogPollInterval", seconds), 0);
  }
  static std::string CheckKey(int n) { return kConfig + "\\LOGS\\Log" + std::to_string(n); }
  void AddCheck(int n, const CheckSpec& c) {
    std::string key = CheckKey(n);
    ASSERT_EQ(vlZTREG_WriteNumber(key, "LogType", c.logType), 0);
    ASSERT_EQ(vlZTREG_WriteFlag(key, "Enabled", 1), 0);
    ASSERT_EQ(vlZTREG_WriteString(key, "File", c.file), 0);
    ASSERT_EQ(vlZTREG_WriteString(key, "Name", c.name), 0);
    ASSERT_EQ(vlZTREG_WriteNumber(key, "AlertLevel", c.alertLevel), 0);
    ASSERT_EQ(vlZTREG_WriteNumber(key, "EventType", c.eventType), 0);
    ASSERT_EQ(vlZTREG_WriteNumber(key, "ActionToTake", c.action), 0);
    ASSERT_EQ(vlZTREG_WriteFlag(key, "And", c.all), 0);
    if (!c.eventId.empty()) {
      ASSERT_EQ(vlZTREG_WriteString(key, "EventID", c.eventId), 0);
    }
    if (!c.source.empty()) {
      ASSERT_EQ(vlZTREG_WriteString(key, "Source", c.source), 0);
    }
    if (!c.command.empty()) {
      ASSERT_EQ(vlZTREG_WriteString(key, "Command", c.command), 0);
    }
    for (size_t i = 0; i < c.include.size(); ++i)
      ASSERT_EQ(vlZTREG_WriteString(key, "KeywordInclude" + std::to_string(i + 1), c.include[i]), 0);
    for (size_t i = 0; i < c.exclude.size(); ++i)
      ASSERT_EQ(vlZTREG_WriteString(key, "KeywordExclude" + std::to_string(i + 1), c.exclude[i]), 0);
  }

  void Start() {
    ServiceState().StopServerEvent.Reset();
    monitor_ = std::thread([] { VerifyEventLogs(); });
  }
  void Stop() {
    ServiceState().StopServerEvent.Set();
    if (monitor_.joinable()) monitor_.join();
  }

  static std::string Quote(const std::string& text) { return "'" + text + "'"; }
  // One event written by vlevent, a process of its own.
  void Write(const std::string& log, const std::string& source, const std::string& id, const char* type,
             const std::string& text, const std::vector<std::string>& more = {}) {
    std::string command = BinPath("vlevent") + " write /L " + Quote(log) + " /SO " + Quote(source) + " /ID " + id +
                          " /T " + type + " /D " + Quote(text);
    for (const std::string& m : more) command += " /A " + Quote(m);
    std::string output;
    ASSERT_EQ(RunCommand(command, &output), 0) << output;
  }
  // One event written through the library by this process.
  static void Report(const std::string& source, uint16_t type, uint32_t id, const std::vector<std::string>& strings) {
    HEVENTSOURCE h = nullptr;
    ASSERT_EQ(RegisterEventSource(source, &h), 0);
    EXPECT_EQ(ReportEvent(h, type, 0, id, strings), 0);
    DeregisterEventSource(h);
  }

  size_t ActivityCount(const std::string& line) {
    std::lock_guard<std::mutex> lock(activityMutex_);
    size_t n = 0;
    for (const std::string& a : activity_)
      if (a == line) ++n;
    return n;
  }
  static std::string Detected(uint32_t number) {
    return "Event " + std::to_string(number) + " has been detected in the Event Log";
  }

  // Returns once the monitor tests new records of `log`: probe records are written until one
  // is seen (a probe that lands while the reader moves to the end is rightly skipped).
  void WaitLive(const std::string& log) {
    std::string source = "Probe" + log;
    std::string registered;
    if (FindEventSourceLog(source, &registered) != 0) {
      ASSERT_EQ(AddEventSource(log, source, generic_, ""), 0);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // Short waits first: a probe is usually seen at once, or was skipped and needs another.
    // Without notifications a probe waits for the next poll.
    for (int ms = 200; std::chrono::steady_clock::now() < end; ms = std::min(ms * 2, 2000)) {
      size_t before = ActivityCount(Detected(kProbeId));
      Report(source, EVENTLOG_INFORMATION_TYPE, kProbeId, {"probe"});
      if (WaitForMs([&] { return ActivityCount(Detected(kProbeId)) > before; }, notify_ ? ms : poll_ * 1000 + ms))
        return;
    }
    FAIL() << "the monitor never read " << log << "\n" << Log();
  }

  std::vector<StoredAlert> Alerts() {
    std::vector<StoredAlert> out;
    for (uint32_t n = 1;; ++n) {
      std::string file = StoredMessagePath(n);
      if (access(file.c_str(), F_OK) != 0) break;
      auto get = [&](const char* key) { return GetProfileValue("Default", key, "", file); };
      out.push_back({get("ErrorTitle"), get("Message"), get("AppName"), get("AdditionalInfo1"), get("AdditionalInfo2"),
                     get("AdditionalInfo3"), get("AlertLevel"), get("Auto-Response")});
    }
    return out;
  }
  std::vector<std::string> Titles() {
    std::vector<std::string> t;
    for (const StoredAlert& a : Alerts()) t.push_back(a.title);
    return t;
  }
  bool WaitFor(const std::function<bool()>& done, int seconds = 30) { return WaitForMs(done, seconds * 1000); }
  bool WaitForMs(const std::function<bool()>& done, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  bool WaitForAlerts(size_t n) {
    return WaitFor([&] { return Alerts().size() >= n; });
  }
  std::string Log() { return testing::ReadFile(JoinPath(root(), "log/VLMZT.LOG")); }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::string Fragment() {
    std::ostringstream page;
    std::lock_guard<std::recursive_mutex> lock(ServiceState().WebDataLock);
    VerifyEventLogs(&page);
    return page.str();
  }
  std::string WriteMessageFile(const std::string& name, const std::string& text) {
    std::string file = path(name);
    testing::WriteFile(file, text);
    return file;
  }
  // The alert text as a stored message keeps it.
  static std::string Cleaned(std::string text) {
    CleanMessageText(text);
    return text;
  }

  std::thread monitor_;
  std::mutex activityMutex_;
  std::vector<std::string> activity_;
  std::string generic_;
  int poll_ = 1;
  bool notify_ = true;
};

TEST_F(EventLogMonitorTest, RecordsBeforeTheStartAreSkippedAndANotificationIsActedOnAtOnce) {
  SetPoll(3600);  // only the change notification can wake the monitor
  AddCheck(1, {.name = "Disk check", .include = {"disk [AND] full"}});
  for (int i = 0; i < 3; ++i) Write("Application", "Storage", "10", "ERROR", "old disk full " + std::to_string(i));
  Start();
  WaitLive("Application");
  Write("Application", "Storage", "10", "ERROR", "the DISK is full");
  ASSERT_TRUE(WaitForAlerts(1)) << Log();
  auto alerts = Alerts();
  ASSERT_EQ(alerts.size(), 1u);
  const StoredAlert& a = alerts[0];
  EXPECT_EQ(a.title, "Disk check");
  EXPECT_EQ(a.message, Cleaned("the DISK is full\r\n(Event ID: 10, Source: Storage)"));
  EXPECT_EQ(a.appName, "Application Event Log");
  EXPECT_EQ(a.info1, "Application Event Log");
  EXPECT_EQ(a.info2, "Application");
  EXPECT_EQ(a.info3, "Disk check");
  EXPECT_EQ(a.alertLevel, "1");
  EXPECT_EQ(a.autoResponse, "0");
  EXPECT_EQ(ActivityCount(Detected(10)), 1u) << "the three earlier records are never tested";
  EXPECT_EQ(ActivityCount("Initialising monitoring for the Application Event Log"), 1u);
  EXPECT_EQ(ActivityCount("Locating current position"), 1u);
  EXPECT_EQ(ActivityCount("Event is configured for alerting"), 1u);
  Stop();
  EXPECT_EQ(ActivityCount("Closing Event Log Application"), 1u);
  EXPECT_NE(Log().find("vlZTEventLog VerifyEventLogs: The Tavish Monitor is being shutdown"), std::string::npos);
}

TEST_F(EventLogMonitorTest, PollReadsNewRecordsWithoutANotification) {
  SetNotification(false);
  SetPoll(1);
  AddCheck(1, {.name = "Poll check", .include = {"polled"}, .file = "System", .logType = 1});
  Start();
  WaitLive("System");
  Write("System", "Kernel", "41", "WARNING", "record polled");
  ASSERT_TRUE(WaitForAlerts(1)) << Log();
  EXPECT_EQ(Alerts()[0].appName, "System Event Log");
  EXPECT_EQ(Alerts()[0].message, Cleaned("record polled\r\n(Event ID: 41, Source: Kernel)"));
}

TEST_F(EventLogMonitorTest, EachConditionOfACheck) {
  AddCheck(1, {.name = "Exclude", .include = {"cond"}, .exclude = {"skipme"}});
  AddCheck(2, {.name = "EventID", .include = {"cond"}, .eventId = "7036"});
  AddCheck(3, {.name = "Source", .include = {"cond"}, .source = "srcb"});
  AddCheck(4, {.name = "Error type", .include = {"cond"}, .eventType = 1});
  AddCheck(5, {.name = "Warning type", .include = {"cond"}, .eventType = 2});
  AddCheck(6, {.name = "Information type", .include = {"cond"}, .eventType = 3});
  AddCheck(7, {.name = "Unknown type", .include = {"cond"}, .eventType = 9});
  AddCheck(8, {.name = "All phrases", .include = {"cond", "alpha"}, .all = 1});
  AddCheck(9, {.name = "No phrases"});
  AddCheck(10, {.name = "Audit success", .include = {"cond"}, .file = "Security", .logType = 2, .eventType = 1});
  AddCheck(11, {.name = "Audit failure", .include = {"cond"}, .file = "Security", .logType = 2, .eventType = 2});
  AddCheck(12, {.name = "Sentinel", .include = {"sentinel"}});
  AddCheck(13, {.name = "Sentinel", .include = {"sentinel"}, .file = "Security", .logType = 2});
  Start();
  WaitLive("Application");
  WaitLive("Security");

  struct Case {
    const char* log;
    const char* source;
    const char* id;
    const char* type;
    const char* text;
    std::set<std::string> fires;
  } cases[] = {
      {"Application", "SrcA", "7036", "ERROR", "cond one", {"Exclude", "EventID", "Error type"}},
      {"Application", "SrcB", "100", "WARNING", "cond skipme two", {"Source", "Warning type"}},
      // The event number is the identifier's low 16 bits: 0x1B7C is 7036.
      {"Application", "SrcA", "0x40001B7C", "INFORMATION", "cond three", {"Exclude", "EventID", "Information type"}},
      {"Application", "SrcA", "5", "INFORMATION", "cond Alpha four", {"Exclude", "Information type", "All phrases"}},
      {"Application", "SrcA", "5", "INFORMATION", "nothing here", {}},
      {"Security", "SrcS", "4624", "SUCCESSAUDIT", "cond logon", {"Audit success"}},
      {"Security", "SrcS", "4625", "FAILUREAUDIT", "cond failed logon", {"Audit failure"}},
      {"Security", "SrcS", "4626", "INFORMATION", "cond other", {}},
  };
  for (const Case& c : cases) Write(c.log, c.source, c.id, c.type, c.text);
  Write("Application", "SrcA", "1", "INFORMATION", "sentinel");
  Write("Security", "SrcS", "1", "INFORMATION", "sentinel");
  // Each log's records are tested in order, so once both sentinels alerted all are done.
  ASSERT_TRUE(WaitFor([&] {
    auto t = Titles();
    return std::count(t.begin(), t.end(), "Sentinel") == 2;
  })) << Log();
  std::map<std::string, std::set<std::string>> fired;
  for (const StoredAlert& a : Alerts())
    for (const Case& c : cases)
      if (a.message.rfind(c.text, 0) == 0 && a.message[strlen(c.text)] == ' ') fired[c.text].insert(a.title);
  for (const Case& c : cases) EXPECT_EQ(fired[c.text], c.fires) << c.text;
  EXPECT_EQ(Alerts().size(), 15u);
}

TEST_F(EventLogMonitorTest, DuplicatesWithinFiveSecondsAlertOnce) {
  std::atomic<uint32_t> ticks{100000};
  SetDuplicateTickSource([&] { return ticks.load(); });
  AddCheck(1, {.name = "Dup", .include = {"service hung"}});
  AddCheck(2, {.name = "Sentinel", .include = {"sentinel"}});
  Start();
  WaitLive("Application");
  Write("Application", "Svc", "7", "ERROR", "service hung");
  ASSERT_TRUE(WaitForAlerts(1)) << Log();  // stored at the first tick
  ticks += 4999;
  Write("Application", "Svc", "7", "ERROR", "service hung");
  Write("Application", "Other", "7", "ERROR", "service hung");  // another source is no duplicate
  Write("Application", "Svc", "1", "INFORMATION", "sentinel 1");
  ASSERT_TRUE(WaitForAlerts(3)) << Log();
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Dup", "Dup", "Sentinel"}));
  EXPECT_EQ(ActivityCount("Inbound event already alerted within timeframe - it will be ignored"), 1u);
  ticks += 1001;  // 6 s after the first
  Write("Application", "Svc", "7", "ERROR", "service hung");
  Write("Application", "Svc", "1", "INFORMATION", "sentinel 2");
  ASSERT_TRUE(WaitForAlerts(5)) << Log();
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Dup", "Dup", "Sentinel", "Dup", "Sentinel"}));
}

TEST_F(EventLogMonitorTest, SecondOfThreeLogsMissing) {
  AddCheck(1, {.name = "App", .include = {"boom"}});
  AddCheck(2, {.name = "Missing", .include = {"boom"}, .file = "NoSuchLog", .logType = 5});
  AddCheck(3, {.name = "Sys", .include = {"boom"}, .file = "System", .logType = 1});
  Start();
  ASSERT_TRUE(WaitForAlerts(1)) << Log();
  WaitLive("System");
  WaitLive("Application");
  Write("System", "Kernel", "3", "ERROR", "boom in system");
  ASSERT_TRUE(WaitForAlerts(2)) << Log();
  Write("Application", "App", "3", "ERROR", "boom in application");
  ASSERT_TRUE(WaitForAlerts(3)) << Log();

  auto alerts = Alerts();
  const StoredAlert& c = alerts[0];
  EXPECT_EQ(c.title, "Monitor/Configuration Error");
  EXPECT_EQ(c.message,
            "Please investigate - the event log NoSuchLog cannot be monitored because it does not exist on this host. "
            "Please report this error to the System Administrator");
  EXPECT_EQ(c.appName, "NoSuchLog Event Log");
  EXPECT_EQ(c.info1, "NoSuchLog Event Log");
  EXPECT_EQ(c.info2, "NoSuchLog");
  EXPECT_EQ(c.info3, "");
  EXPECT_EQ(c.alertLevel, "1023");
  EXPECT_EQ(alerts[1].title, "Sys");
  EXPECT_EQ(alerts[1].appName, "System Event Log");
  EXPECT_EQ(alerts[2].title, "App");

  std::string log = Log();
  EXPECT_NE(log.find("The event log NoSuchLog could not be accessed. Please check the name matches an available "
                     "event log and contact your System Administrator. Error: 2"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Warning: Unable to monitor the Windows Event Log: NoSuchLog"), std::string::npos);
  std::string status = ConfigStatusFilePath();
  EXPECT_EQ(GetProfileValue("EventLogs", "Title1", "", status), "Missing");
  EXPECT_EQ(GetProfileValue("EventLogs", "Reason1", "", status), "Event log file does not exist on this server");
  int32_t enabled = 1;
  ASSERT_EQ(vlZTREG_ReadNumber(CheckKey(2), "Enabled", &enabled), 0);
  EXPECT_EQ(enabled, 0) << "the check stays disabled";
  ASSERT_EQ(vlZTREG_ReadNumber(CheckKey(3), "Enabled", &enabled), 0);
  EXPECT_EQ(enabled, 1);
}

TEST_F(EventLogMonitorTest, ClearedWhileAsleepEveryLaterRecordIsTestedOnce) {
  SetNotification(false);  // the monitor learns of the clear only when it polls
  SetPoll(2);
  AddCheck(1, {.name = "Clear", .include = {"marker"}});
  Start();
  WaitLive("Application");
  Write("Application", "Svc", "1", "ERROR", "marker A");
  ASSERT_TRUE(WaitForAlerts(1)) << Log();
  // Straight after a poll: the clear and the next record both land while the monitor sleeps.
  std::string out;
  ASSERT_EQ(RunCommand(BinPath("vlevent") + " clear Application && " + BinPath("vlevent") +
                           " write /L Application /SO Svc /ID 1 /T ERROR /D 'marker B'",
                       &out),
            0)
      << out;
  ASSERT_TRUE(WaitForAlerts(2)) << Log();
  Write("Application", "Svc", "1", "ERROR", "marker C");
  ASSERT_TRUE(WaitForAlerts(3)) << Log();
  std::vector<std::string> messages;
  for (const StoredAlert& a : Alerts()) messages.push_back(a.message.substr(0, 8));
  EXPECT_EQ(messages, (std::vector<std::string>{"marker A", "marker B", "marker C"}));
  std::string log = Log();
  EXPECT_EQ(Count(log, "The Application Event Log has been changed and is being reset"), 1u) << log;
  EXPECT_EQ(ActivityCount("The Event Log Application has been changed and is being reset"), 1u);
  EXPECT_EQ(ActivityCount("Closing Event Log Application"), 1u);
  EXPECT_EQ(ActivityCount("Initialising monitoring for the Application Event Log"), 2u);
}

TEST_F(EventLogMonitorTest, LogDeletedWhileOpenOnAFirstRun) {
  ServiceState().FirstRun = 1;  // a new installation reports unusable logs only in the status file
  std::string out;
  ASSERT_EQ(RunCommand(BinPath("vlevent") + " log add Custom", &out), 0) << out;
  AddCheck(1, {.name = "Custom check", .include = {"x"}, .file = "custom", .logType = 5});
  AddCheck(2, {.name = "App", .include = {"after"}});
  Start();
  WaitLive("Custom");
  WaitLive("Application");
  ASSERT_EQ(RunCommand(BinPath("vlevent") + " log delete Custom", &out), 0) << out;
  std::string status = ConfigStatusFilePath();
  ASSERT_TRUE(WaitFor([&] { return GetProfileValue("EventLogs", "Title1", "", status) == "Custom check"; })) << Log();
  EXPECT_EQ(GetProfileValue("EventLogs", "Reason1", "", status), "Event log file does not exist on this server");
  Write("Application", "Svc", "2", "ERROR", "after the deletion");
  ASSERT_TRUE(WaitForAlerts(1)) << Log();
  EXPECT_EQ(Titles(), std::vector<std::string>{"App"}) << "no configuration alert on a first run";
  EXPECT_NE(Log().find("The custom Event Log has been changed and is being reset"), std::string::npos) << Log();
}

TEST_F(EventLogMonitorTest, AlertTextFromMessageFiles) {
  setenv("VLZT_MSG_DIR", scratch().c_str(), 1);
  std::string good = WriteMessageFile("good.msg", "MessageId=5\nMSG disk %1 is at %2 percent;%ncheck %3 and %31.\n.\n");
  std::string many = WriteMessageFile("many.msg", "MessageId=1-65535\nMSG %1|%30|%31\n.\n");
  WriteMessageFile("broken.msg", "MessageId=5\nno closing line\n");
  std::string params = WriteMessageFile("params.prm", "MessageId=1537\nDELETE\n.\nMessageId=1538\nREAD_CONTROL\n.\n");
  std::string access = WriteMessageFile("access.msg", "MessageId=560\nMSG Access %1 was %2.\n.\n");
  ASSERT_EQ(AddEventSource("Application", "Good", "%VLZT_MSG_DIR%/missing.msg; %VLZT_MSG_DIR%/good.msg", ""), 0);
  ASSERT_EQ(AddEventSource("Application", "Missing", "%VLZT_MSG_DIR%/missing.msg", ""), 0);
  ASSERT_EQ(AddEventSource("Application", "Broken", "%VLZT_MSG_DIR%/broken.msg", ""), 0);
  ASSERT_EQ(AddEventSource("Application", "Folder", scratch(), ""), 0);
  ASSERT_EQ(AddEventSource("Application", "Many", many, ""), 0);
  ASSERT_EQ(AddEventSource("Application", "Access", access, "%VLZT_MSG_DIR%/none.prm;" + params), 0);
  AddCheck(1, {.name = "Messages", .include = {"MSG", "Internal Configuration Error"}});
  Start();
  WaitLive("Application");

  std::vector<std::string> hundred;
  for (int i = 1; i <= 100; ++i) hundred.push_back("s" + std::to_string(i));
  const std::string dir = scratch();
  const std::string big(100000, 'x');
  const std::string unable =
      "Internal Configuration Error. The Velmora/Tavish Monitor was unable to translate the Event Log message (or load "
      "the translation DLL ";
  struct Case {
    const char* source;
    uint32_t id;
    std::vector<std::string> strings;
    std::string text;
  } cases[] = {
      // The first file that has the message wins; inserts beyond the strings stay as written.
      {"Good", 5, {"C:", "97"}, "MSG disk C: is at 97 percent;\r\ncheck %3 and %31.\r\n(Event ID: 5, Source: Good)"},
      {"Ghost",
       33,
       {"first", "second"},
       unable + ") for the following message: first, second(Event ID: 33, Source: Ghost)"},
      {"Missing",
       34,
       {"a"},
       unable + dir + "/missing.msg) for the following message: a(Event ID: 34, Source: Missing)"},
      {"Broken",
       0x40000005,
       {"b"},
       unable + dir + "/broken.msg) for the following message: b(Event ID: 5, Source: Broken)"},
      {"Folder", 36, {}, unable + dir + ") for the following message: (Event ID: 36, Source: Folder)"},
      // Only 30 insertion strings of a record are used.
      {"Many", 37, hundred, "MSG s1|s30|%31\r\n(Event ID: 37, Source: Many)"},
      {"Ghost", 38, hundred,
       unable + ") for the following message: s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, s14, s15, s16, "
                "s17, s18, s19, s20, s21, s22, s23, s24, s25, s26, s27, s28, s29, s30(Event ID: 38, Source: Ghost)"},
      {"Many", 39, {}, "MSG %1|%30|%31\r\n(Event ID: 39, Source: Many)"},
      // Parameter inserts come from the first parameter file that has them.
      {"Access",
       560,
       {"%%1537 and %%1538", "denied"},
       "MSG Access DELETE and READ_CONTROL was denied.\r\n(Event ID: 560, Source: Access)"},
      {"Access",
       560,
       {"%%1537 or %%9999", "refused"},
       "MSG Access %%1537 or %%9999 was refused.\r\n(Event ID: 560, Source: Access)"},
      // A record larger than the read buffer.
      {"Many", 40, {big}, "MSG " + big + "|%30|%31\r\n(Event ID: 40, Source: Many)"},
  };
  for (const Case& c : cases) Report(c.source, EVENTLOG_ERROR_TYPE, c.id, c.strings);
  const size_t n = sizeof cases / sizeof cases[0];
  ASSERT_TRUE(WaitForAlerts(n)) << Log();
  auto alerts = Alerts();
  ASSERT_EQ(alerts.size(), n);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(alerts[i].message, Cleaned(cases[i].text)) << cases[i].source;
  LatestRecord latest;
  ASSERT_TRUE(GetLatestEventRecord(n - 2, latest));
  EXPECT_EQ(latest.text, cases[1].text) << "the store keeps the text uncleaned";
  std::string log = Log();
  EXPECT_EQ(Count(log, "Warning: No message DLL was found for Ghost"), 2u) << log;
  unsetenv("VLZT_MSG_DIR");
}

// The writer's side of a log, as platform/eventlog.h lays it out, so that records no writer
// would produce can be appended.
struct Head {
  char magic[8];
  uint32_t generation, nextRecord, oldestRecord, reserved1;
  uint64_t segmentLimit, oldestSegment, currentSegment, writtenEnd, retained;
};
static_assert(sizeof(Head) == 64);

void AppendRawRecord(const std::string& root, const std::string& log, std::string record) {
  std::string dir = JoinPath(JoinPath(root, "eventlog"), log);
  int head = open(JoinPath(dir, "head").c_str(), O_RDWR);
  ASSERT_GE(head, 0);
  ASSERT_EQ(flock(head, LOCK_EX), 0);
  Head h;
  ASSERT_EQ(pread(head, &h, sizeof h, 0), static_cast<ssize_t>(sizeof h));
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.seg", static_cast<unsigned long long>(h.currentSegment));
  int seg = open(JoinPath(dir, name).c_str(), O_RDWR);
  ASSERT_GE(seg, 0);
  std::memcpy(record.data() + 8, &h.nextRecord, 4);
  ASSERT_EQ(pwrite(seg, record.data(), record.size(), static_cast<off_t>(h.writtenEnd)),
            static_cast<ssize_t>(record.size()));
  close(seg);
  h.writtenEnd += record.size();
  h.retained += record.size();
  ++h.nextRecord;
  ASSERT_EQ(pwrite(head, &h, sizeof h, 0), static_cast<ssize_t>(sizeof h));
  flock(head, LOCK_UN);
  close(head);
}

// A record of `body` (names and strings as raw bytes) padded with `pad` bytes; its string and
// data offsets as given.
std::string RawRecord(uint32_t id, uint16_t numStrings, const std::string& body, uint32_t stringOffset,
                      uint32_t dataOffset, char pad) {
  size_t length = (sizeof(EVENTLOGRECORD) + body.size() + 4 + 3) & ~size_t{3};
  EVENTLOGRECORD r{};
  r.Length = static_cast<uint32_t>(length);
  r.Reserved = kEventLogSignature;
  r.EventID = id;
  r.EventType = EVENTLOG_ERROR_TYPE;
  r.NumStrings = numStrings;
  r.StringOffset = stringOffset;
  r.UserSidOffset = stringOffset;
  r.DataOffset = dataOffset;
  std::string out(reinterpret_cast<const char*>(&r), sizeof r);
  out += body;
  out.append(length - 4 - out.size(), pad);
  out.append(reinterpret_cast<const char*>(&r.Length), 4);
  return out;
}

TEST_F(EventLogMonitorTest, MalformedRecordsAreReadWithinTheirBounds) {
  std::string raw = WriteMessageFile("raw.msg", "MessageId=1-65535\nRAW [%1|%2|%3]\n.\n");
  ASSERT_EQ(AddEventSource("Application", "Raw", raw, ""), 0);
  AddCheck(1, {.name = "Raw", .include = {"RAW", "Internal Configuration Error"}});
  Start();
  WaitLive("Application");
  const std::string names = std::string("Raw\0PC\0", 7);
  const uint32_t strings = static_cast<uint32_t>(sizeof(EVENTLOGRECORD) + names.size());
  struct Case {
    std::string record;
    std::string text;
  } cases[] = {
      {RawRecord(1, 0, names, strings, strings, 0), "RAW [%1|%2|%3]\r\n(Event ID: 1, Source: Raw)"},
      // The last string is not terminated: it ends where the record's trailing length starts.
      {RawRecord(2, 3, names + std::string("one\0two", 7), strings, 0, 'X'),
       "RAW [one|twoXX|%3]\r\n(Event ID: 2, Source: Raw)"},
      // 100 strings announced, two present.
      {RawRecord(3, 100, names + std::string("a\0b\0", 4), strings, strings + 4, 0),
       "RAW [a|b|%3]\r\n(Event ID: 3, Source: Raw)"},
      // A string offset outside the record: no strings.
      {RawRecord(4, 2, names + std::string("c\0d\0", 4), 0xFFFF0000u, 0, 0),
       "RAW [%1|%2|%3]\r\n(Event ID: 4, Source: Raw)"},
      // A source name that never ends is no registered source.
      {RawRecord(5, 1, "Rawww", 0xFFFFu, 0, 'w'),
       "Internal Configuration Error. The Velmora/Tavish Monitor was unable to translate the Event Log message (or "
       "load the translation DLL ) for the following message: (Event ID: 5, Source: Rawwwwww)"},
  };
  for (const Case& c : cases) AppendRawRecord(root(), "application", c.record);
  const size_t n = sizeof cases / sizeof cases[0];
  ASSERT_TRUE(WaitForAlerts(n)) << Log();
  auto alerts = Alerts();
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(alerts[i].message, Cleaned(cases[i].text)) << i;
}

TEST_F(EventLogMonitorTest, AutomaticResponseResults) {
  ASSERT_EQ(vlZTREG_WriteNumber(kConfig, "ActionTimeout", 1), 0);
  AddCheck(1, {.name = "Runs true", .include = {"fault"}, .action = 3, .command = "true"});
  AddCheck(2, {.name = "Times out", .include = {"fault"}, .action = 3, .command = "sleep 5"});
  AddCheck(3, {.name = "Alert only", .include = {"fault"}});
  const std::string text = "fault seen\r\n(Event ID: 9, Source: Svc)";
  for (int notify : {1, 0}) {
    SCOPED_TRACE(notify);
    ServiceState().NotifyRunningActions = notify;
    size_t before = Alerts().size();
    Start();
    WaitLive("Application");
    Write("Application", "Svc", "9", "ERROR", "fault seen");
    ASSERT_TRUE(WaitForAlerts(before + (notify ? 3 : 2))) << Log();
    Write("Application", "Svc", "1", "INFORMATION", "end");
    ASSERT_TRUE(WaitFor([&] { return ActivityCount(Detected(1)) == static_cast<size_t>(notify ? 1 : 2); })) << Log();
    Stop();
    auto alerts = Alerts();
    alerts.erase(alerts.begin(), alerts.begin() + static_cast<long>(before));
    ASSERT_EQ(alerts.size(), notify ? 3u : 2u);
    size_t at = 0;
    if (notify) {
      EXPECT_EQ(alerts[0].title, "Runs true");
      EXPECT_EQ(alerts[0].message,
                Cleaned("The following error was detected in the Runs true (Event Log). The Velmora/Tavish Monitor "
                        "automatically initiated the command true in response to the error" +
                        text + " ..."));
      EXPECT_EQ(alerts[0].autoResponse, "1");
      EXPECT_EQ(alerts[0].info2, "Application");
      at = 1;
    }
    // A response that was handled raises only its own notice.
    EXPECT_EQ(alerts[at].title, "Monitor/Configuration Error");
    EXPECT_NE(alerts[at].message.find("timed out"), std::string::npos) << alerts[at].message;
    EXPECT_EQ(alerts[at + 1].title, "Alert only");
    EXPECT_EQ(alerts[at + 1].message, Cleaned(text));
    SetDuplicateTickSource(nullptr);  // the same record again in the next round
  }
}

TEST_F(EventLogMonitorTest, LatestMatchesAndTheWebFragment) {
  // No check: the thread ends at once and the fragment says nothing is monitored.
  Start();
  monitor_.join();
  EXPECT_NE(Log().find("There are no monitoring tasks to perform. The Event Log Monitor will close"),
            std::string::npos);
  EXPECT_EQ(GetProfileValue("EventLogs", "NoConfigValues", "", ConfigStatusFilePath()), "1");
  std::string page = Fragment();
  EXPECT_NE(page.find("Not being monitored or no data currently available ..."), std::string::npos) << page;
  EXPECT_EQ(ActivityCount("Generating web data"), 1u);
  EXPECT_EQ(ActivityCount("No configuration details specified or disabled"), 1u);

  AddCheck(1, {.name = "Web <check>", .include = {"web"}});
  Start();
  WaitLive("Application");
  page = Fragment();
  EXPECT_NE(page.find("No entries logged since Velmora was started ..."), std::string::npos) << page;
  Write("Application", "Svc", "4", "WARNING", "web & more");
  ASSERT_TRUE(WaitForAlerts(1)) << Log();
  page = Fragment();
  for (const char* part : {"width=\"777\"", "images/EventLog.bmp", "Latest Event Log Records ...",
                           "<td width=\"43\"></td><td width=\"216\"><b>Event Log</b></td><td width=\"150\"><b>Time</b>"
                           "</td><td width=\"360\"><b>Message (Source, Event ID)</b></td>"})
    EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
  std::regex row(
      "<td>Web &lt;check&gt;</td><td>\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d</td><td>web &amp; more\r\n"
      "\\(Event ID: 4, Source: Svc\\)</td>");
  EXPECT_TRUE(std::regex_search(page, row)) << page;
  Stop();
  EXPECT_NE(Fragment().find("No entries logged since Velmora was started ..."), std::string::npos)
      << "the store is freed when the thread ends";

  for (int i = 0; i < 16; ++i) AddLatestEventRecord("n" + std::to_string(i), "t", "x" + std::to_string(i));
  LatestRecord r;
  ASSERT_TRUE(GetLatestEventRecord(0, r));
  EXPECT_EQ(r.name, "n15");
  ASSERT_TRUE(GetLatestEventRecord(14, r));
  EXPECT_EQ(r.text, "x1");
  EXPECT_FALSE(GetLatestEventRecord(15, r));
}

TEST_F(EventLogMonitorTest, BurstFromAnotherProcessIsTestedExactlyOnce) {
  constexpr int kBefore = 300, kBurst = 100000, kEvery = 5000;
  ASSERT_EQ(AddEventSource("Application", "Burst", generic_, ""), 0);
  auto writeRecords = [](int from, int count) {
    HEVENTSOURCE h = nullptr;
    if (RegisterEventSource("Burst", &h) != 0) return false;
    for (int i = from; i < from + count; ++i) {
      std::string text = (i < 0 ? "hit before " : i % kEvery == 0 ? "hit " : "seq ") + std::to_string(i);
      if (ReportEvent(h, EVENTLOG_INFORMATION_TYPE, 0, 77, {text}) != 0) return false;
    }
    DeregisterEventSource(h);
    return true;
  };
  ASSERT_TRUE(writeRecords(-kBefore, kBefore));
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();  // before the monitor thread exists
  ASSERT_GE(child, 0);
  if (child == 0) {
    char c;
    close(go[1]);
    bool ok = read(go[0], &c, 1) == 1 && writeRecords(0, kBurst);
    _exit(ok ? 0 : 1);
  }
  close(go[0]);
  AddCheck(1, {.name = "Burst", .include = {"hit"}});
  Start();
  WaitLive("Application");
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(WaitFor([&] { return ActivityCount(Detected(77)) >= static_cast<size_t>(kBurst); }, 240)) << Log();
  Write("Application", "Burst", "1", "INFORMATION", "end");
  ASSERT_TRUE(WaitFor([&] { return ActivityCount(Detected(1)) == 1; })) << Log();
  EXPECT_EQ(ActivityCount(Detected(77)), static_cast<size_t>(kBurst));
  std::vector<std::string> messages;
  for (const StoredAlert& a : Alerts()) messages.push_back(a.message);
  std::vector<std::string> expected;
  for (int i = 0; i < kBurst; i += kEvery)
    expected.push_back(Cleaned("hit " + std::to_string(i) + "\r\n(Event ID: 77, Source: Burst)"));
  EXPECT_EQ(messages, expected);
}

class FormatFromModuleTest : public testing::TestRoot {};

TEST_F(FormatFromModuleTest, MessageFilesAndParameterFiles) {
  const std::string dir = scratch();
  testing::WriteFile(dir + "/m.msg", "MessageId=7\nValue %1 of %2%0\n.\n");
  testing::WriteFile(dir + "/p.prm",
                     "MessageId=12\ntwelve\n.\nMessageId=123\none-two-three\n.\nMessageId=5\nloops %%%%5\n.\n");
  setenv("VLZT_FMT_DIR", dir.c_str(), 1);

  std::string expanded, message;
  EXPECT_EQ(FormatFromModule("%VLZT_FMT_DIR%/m.msg", expanded, 7, {"a", "b"}, message), 1);
  EXPECT_EQ(expanded, dir + "/m.msg");
  EXPECT_EQ(message, "Value a of b");
  // A number the file lacks comes from the system's own messages.
  EXPECT_EQ(FormatFromModule(dir + "/m.msg", expanded, 2, {}, message), 1);
  EXPECT_EQ(message, "The system cannot find the file specified.\r\n");
  EXPECT_EQ(FormatFromModule(dir + "/m.msg", expanded, 0x7777, {}, message), 0);
  EXPECT_EQ(FormatFromModule("%VLZT_FMT_DIR%/none.msg", expanded, 7, {}, message), 0);
  EXPECT_EQ(expanded, dir + "/none.msg");

  struct Case {
    std::string in;
    int result;
    std::string out;
  } cases[] = {
      {"no inserts", 1, "no inserts"},
      {"%%12, %%123.", 1, "twelve, one-two-three."},
      {"100%% sure %%12", 1, "100%% sure twelve"},
      {"%%5", 1, "loops %%5"},  // a parameter is not expanded again
      {"%%12 and %%999", 0, "%%12 and %%999"},
      {"%%99999999999999999999", 0, "%%99999999999999999999"},
  };
  for (const Case& c : cases) {
    std::string m = c.in;
    EXPECT_EQ(ReplaceParameterInserts("%VLZT_FMT_DIR%/p.prm", m), c.result) << c.in;
    EXPECT_EQ(m, c.out) << c.in;
  }
  std::string m = "%%12";
  EXPECT_EQ(ReplaceParameterInserts(dir + "/none.prm", m), 0);
  EXPECT_EQ(m, "%%12");
  unsetenv("VLZT_FMT_DIR");
}

}  // namespace
}  // namespace vlzt
