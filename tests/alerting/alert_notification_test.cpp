// The alert-notification thread: delivery order, channel rules, bad list entries, a list
// that cannot be rewritten, and a crash at any moment while the list is being shortened.
#include "alerting/alert_notification.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "alerting/alert_log.h"
#include "alerting/stored_messages.h"
#include "platform/profile.h"
#include "tests/alerting/alerting_fixture.h"

extern char** environ;

namespace vlzt {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kChildVariable = "VLZT_ALERTING_CRASH_CHILD";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Records which channels ran, in order, with the title of the alert.
class Recorder {
 public:
  void Install(int emailResult = 1) {
    SetEMailChannel([this, emailResult](const std::string& f) { Add("email", f); return emailResult; });
    SetNetworkMessageChannel([this](const std::string& f) { Add("net", f); return 1; });
    SetDatabaseChannel([this](const std::string& f) { Add("db", f); return 1; });
    SetAlertEngineChannel([this](const std::string& f, uint32_t level, int kind, const char* lv,
                                 const char* sv) {
      Add("engine" + std::to_string(kind) + ":" + std::to_string(level) + ":" + lv + ":" + sv, f);
      return 1;
    });
    SetErrorPageBuilder([this] { Add("page", ""); });
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  long Count(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count(calls_.begin(), calls_.end(), call);
  }

 private:
  void Add(const std::string& what, const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(file.empty() ? what : what + " " + ReadStoredText(file, "ErrorTitle", "N/A"));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class AlertNotificationTest : public testing::AlertingTest {
 protected:
  std::string Queue(const std::string& title, int32_t action = 0, int32_t autoResponse = 0,
                    uint32_t level = 4) {
    std::string message = "text of " + title;
    EXPECT_EQ(NotifyError(4, level, action, title, "App", message, "App", "log", title.c_str(), autoResponse), 1);
    uint32_t n = 0;
    int32_t last = 0;
    vlZTREG_ReadNumber(kAlertingConfigKey, "StoredMsgNo", &last);
    n = static_cast<uint32_t>(last);
    return StoredMessagePath(n);
  }
  Recorder recorder;
};

TEST_F(AlertNotificationTest, QueuedAlertsAreDeliveredInOrderInOnePass) {
  recorder.Install();
  ServiceState().EnableWebReports = 1;
  ASSERT_EQ(AppendAlertLog("", 1), 1);
  Queue("first");
  Queue("second");
  StartThread();
  ASSERT_TRUE(WaitForIdle(1));
  std::vector<std::string> expected;
  for (const char* t : {"first", "second"}) {
    std::string title = t;
    expected.insert(expected.end(),
                    {"email " + title, "net " + title, "db " + title,
                     "engine0:4:ScriptCMDLevel:ScriptCMD " + title, "engine1:4:ScriptVBLevel:ScriptVB " + title,
                     "engine3:4:ScriptSMTPLevel:ScriptSMTP " + title,
                     "engine2:4:ScriptSysLogLevel:ScriptSysLog " + title,
                     "engine4:4:ScriptHTTPLevel:ScriptHTTP " + title, "page"});
  }
  EXPECT_EQ(recorder.Calls(), expected);
  EXPECT_FALSE(std::filesystem::exists(UnsentListPath())) << "the emptied list is deleted";
  std::vector<std::string> lines = Lines(ReadFile(AlertLogPath()));
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_NE(lines[9].find("\tfirst"), std::string::npos);
  EXPECT_NE(lines[10].find("\tsecond"), std::string::npos);

  // One pass: both alerts come between the start and the first wait.
  std::vector<std::string> flow;
  for (const testing::ActivityLine& l : Activity())
    if (l.text.rfind("------------", 0) == 0 || l.text == "Waiting for notification" ||
        l.text.rfind("Triggering alert", 0) == 0 || l.text == "Starting Alert Notification handler")
      flow.push_back(l.text);
  EXPECT_EQ(flow, (std::vector<std::string>{
                      "Starting Alert Notification handler",
                      "------------ Alert notification detected ------------", "Triggering alert first",
                      "------------ Alert notification complete ------------",
                      "------------ Alert notification detected ------------", "Triggering alert second",
                      "------------ Alert notification complete ------------", "Waiting for notification"}));

  // A later alert wakes the thread.
  Queue("third");
  ASSERT_TRUE(WaitForIdle(2));
  EXPECT_EQ(recorder.Calls().size(), expected.size() + 9);
  StopThread();
}

TEST_F(AlertNotificationTest, LogOnlyAlertsGoToTheLogsOnly) {
  recorder.Install();
  ServiceState().EnableWebReports = 1;
  std::string csv = path("alerts.csv");
  ASSERT_EQ(vlZTREG_WriteFlag(kAlertLoggingKey, "EnableAlertLogging", 1), 0);
  ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertDataFile", csv), 0);
  ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertString", "<$$TITLE>"), 0);
  Queue("logged", 1);
  StartThread();
  ASSERT_TRUE(WaitForIdle(1));
  EXPECT_EQ(recorder.Calls(), (std::vector<std::string>{"db logged", "page"}));
  EXPECT_EQ(ReadFile(csv), "logged\r\n");
  EXPECT_NE(ReadFile(AlertLogPath()).find("\tlogged"), std::string::npos);
}

TEST_F(AlertNotificationTest, AutoResponseNoticesRunTheAlertEngineOnlyWhenAsked) {
  recorder.Install();
  struct Row {
    int32_t notifyRunningActions;
    int32_t autoResponse;
    size_t engineRuns;
  };
  const Row rows[] = {{0, 1, 0}, {1, 1, 0}, {2, 1, 5}, {1, 0, 5}, {0, 0, 5}};
  for (const Row& row : rows) {
    ServiceState().NotifyRunningActions = row.notifyRunningActions;
    std::string file = Queue("notice", 0, row.autoResponse, 1023);
    size_t before = recorder.Calls().size();
    size_t activityBefore = Activity().size();
    EXPECT_EQ(RunAlertEngineForFile(file), 1);
    std::vector<std::string> calls = recorder.Calls();
    EXPECT_EQ(calls.size() - before, row.engineRuns) << row.notifyRunningActions << "/" << row.autoResponse;
    if (row.engineRuns) {
      EXPECT_EQ(calls.back(), "engine4:1023:ScriptHTTPLevel:ScriptHTTP notice");
    }
    bool skipped = false;
    std::vector<testing::ActivityLine> activity = Activity();
    for (size_t i = activityBefore; i < activity.size(); ++i)
      skipped |= activity[i].origin == 1 && activity[i].text == "Auto-response triggered - no notification required";
    EXPECT_EQ(skipped, row.engineRuns == 0);
  }
}

TEST_F(AlertNotificationTest, FailingEMailIsRecordedAsAnInternalError) {
  recorder.Install(0);
  std::string file = Queue("mail fails");
  EXPECT_EQ(TriggerAlertFromFile(file), 1);
  std::vector<std::string> calls = recorder.Calls();
  EXPECT_EQ(calls.size(), 8u) << "the other channels still run";
  const std::string text =
      "One or more errors occurred when sending e-mail notification. Please check that your SMTP "
      "server is running, the Tavish Monitor's alert configuration and the Velmora log file";
  EXPECT_NE(LogText().find("ERROR") , std::string::npos);
  EXPECT_NE(LogText().find("vlZTAlertNotification TriggerAlertFromFile: " + text), std::string::npos);
  std::string internal = StoredMessagePath(2);
  EXPECT_EQ(ReadStoredText(internal, "ErrorType", ""), "16");
  EXPECT_EQ(ReadStoredText(internal, "ErrorTitle", ""), "Alerting Error");
  EXPECT_EQ(ReadStoredText(internal, "AppName", ""), "Alerting Error");
  EXPECT_EQ(ReadStoredText(internal, "Message", ""), "One or more errors occurred when sending e-mail "
                                                       "notification. Please check that your SMTP server is "
                                                       "running, the Tavish Monitor s alert configuration and "
                                                       "the Velmora log file");
  EXPECT_EQ(ReadSummaryCounters().Category1, 1u);
  EXPECT_EQ(Lines(ReadFile(UnsentListPath())), std::vector<std::string>{file}) << "not queued";
}

TEST_F(AlertNotificationTest, AbsentChannelsAreNamedAndNotCountedAsSent) {
  EXPECT_EQ(AbsentAlertChannels(), (std::vector<std::string>{"e-mail", "network message", "database",
                                                             "Alert Engine", "recent-errors page"}));
  vlZTLog_SetLevel(5);
  std::string file = Queue("nobody listens");
  EXPECT_EQ(TriggerAlertFromFile(file), 1);
  EXPECT_NE(LogText().find("The e-mail channel is not available. Nothing was sent for " + file), std::string::npos);
  EXPECT_NE(LogText().find("The Alert Engine channel is not available. Nothing was sent for " + file),
            std::string::npos);
  EXPECT_FALSE(HasActivity("Processing configured e-mail alerts"));
  recorder.Install();
  EXPECT_TRUE(AbsentAlertChannels().empty());
}

TEST_F(AlertNotificationTest, BadEntriesAreSkippedAndTheQueueMovesOn) {
  recorder.Install();
  std::string good = Queue("good");
  std::string empty = dataFile("LOG7.err");
  std::string noMessage = dataFile("LOG8.err");
  WriteFile(empty, "");
  platform::WritePrivateProfileString("Default", "ErrorTitle", "no message", noMessage);
  std::string list = "\r\n" + std::string(600, 'x') + "\r\n" + dataFile("LOG99.err") + "\r\n" + empty +
                     "\r\n   \x01garbage\r\n" + noMessage + "\r\n" + good + "\r\n";
  WriteFile(UnsentListPath(), list);
  StartThread();
  ASSERT_TRUE(WaitForIdle(1));
  EXPECT_EQ(recorder.Calls().front(), "email good");
  EXPECT_EQ(recorder.Count("email good"), 1);
  EXPECT_EQ(recorder.Calls().size(), 8u);
  EXPECT_FALSE(std::filesystem::exists(UnsentListPath()));
  std::string log = LogText();
  EXPECT_NE(log.find("A blank entry was skipped in the unsent message file " + UnsentListPath()), std::string::npos);
  EXPECT_NE(log.find("An entry of 600 characters (more than 518) was skipped in the unsent message file " +
                     UnsentListPath()),
            std::string::npos);
  for (const std::string& f : {dataFile("LOG99.err"), empty, std::string("   "), noMessage})
    EXPECT_NE(log.find("The alert file " + f + " is missing or holds no message. The alert was skipped"),
              std::string::npos)
        << f;
  // Skipped entries never reach the alert log.
  EXPECT_EQ(Lines(ReadFile(AlertLogPath())).size(), 10u);
}

TEST_F(AlertNotificationTest, ListThatCannotBeRewrittenIsNotDeliveredTwice) {
  recorder.Install();
  std::string a = Queue("a");
  std::string b = Queue("b");
  ASSERT_TRUE(std::filesystem::create_directory(UnsentTempPath()));
  StartThread();
  ASSERT_TRUE(WaitForIdle(1));
  EXPECT_EQ(recorder.Count("email a"), 1);
  EXPECT_EQ(recorder.Count("email b"), 0);
  EXPECT_EQ(Lines(ReadFile(UnsentListPath())), (std::vector<std::string>{a, b})) << "left as it was";
  EXPECT_NE(LogText().find("Unable to open the temporary file " + UnsentTempPath()), std::string::npos);

  // A new alert wakes the thread: the same failure again, still no second delivery.
  ServiceState().SendErrorEvent.Set();
  ASSERT_TRUE(WaitForIdle(2));
  EXPECT_EQ(recorder.Count("email a"), 1);

  std::filesystem::remove(UnsentTempPath());
  ServiceState().SendErrorEvent.Set();
  ASSERT_TRUE(WaitForIdle(3));
  EXPECT_EQ(recorder.Count("email a"), 1);
  EXPECT_EQ(recorder.Count("email b"), 1);
  EXPECT_FALSE(std::filesystem::exists(UnsentListPath()));
}

TEST_F(AlertNotificationTest, AlertStoredUnderTheNumberBeingDeliveredIsDeliveredToo) {
  SetConfig("MaxStoredMsgs", 1);
  std::vector<std::string> titles;
  SetEMailChannel([&](const std::string& f) {
    titles.push_back(ReadStoredText(f, "ErrorTitle", "N/A"));
    if (titles.size() == 1) {
      std::string m = "second text";
      NotifyError(4, 1, 0, "second", "App", m, nullptr, nullptr, nullptr, 0);
    }
    return 1;
  });
  Queue("first");
  StartThread();
  ASSERT_TRUE(WaitForIdle(1));
  EXPECT_EQ(titles, (std::vector<std::string>{"first", "second"}));
  EXPECT_FALSE(std::filesystem::exists(UnsentListPath()));
}

TEST_F(AlertNotificationTest, StopBeforeReleaseEndsTheThreadAtTheGate) {
  recorder.Install();
  Queue("never");
  std::thread t(AlertNotification);
  ServiceState().StopServerEvent.Set();
  t.join();
  EXPECT_TRUE(recorder.Calls().empty());
  EXPECT_TRUE(std::filesystem::exists(UnsentListPath()));
}

// --- Crash test -----------------------------------------------------------------------------

// The child runs the real thread on the parent's data directory (channels: the alert data
// file only, one title per delivery) until it is killed, or until the list is empty when
// VLZT_ALERTING_CRASH_EXIT is set.
int RunCrashChild(const char* dataDirectory) {
  ServiceStateRecord& s = ServiceState();
  s.DataDirectory = dataDirectory;
  s.ComputerName = "CRASH";
  std::mutex m;
  std::condition_variable cv;
  bool idle = false;
  SetActivitySink([&](int, const std::string& text) {
    if (text == "Waiting for notification") {
      std::lock_guard<std::mutex> lock(m);
      idle = true;
      cv.notify_all();
    }
    return 1;
  });
  std::thread t(AlertNotification);
  s.ThreadsReleased.Set();
  if (std::getenv("VLZT_ALERTING_CRASH_EXIT")) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return idle; });
  } else {
    for (;;) pause();
  }
  s.StopServerEvent.Set();
  t.join();
  SetActivitySink(nullptr);
  return 0;
}

// Runs before the test framework when this program is the crash test's child.
const bool kCrashChild = [] {
  if (const char* dir = std::getenv(kChildVariable)) _exit(RunCrashChild(dir));
  return false;
}();

pid_t SpawnChild(const std::string& dataDirectory, bool exitWhenIdle) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(std::string(kChildVariable) + "=" + dataDirectory);
  if (exitWhenIdle) env.push_back("VLZT_ALERTING_CRASH_EXIT=1");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = std::filesystem::read_symlink("/proc/self/exe");
  std::string filter = "--gtest_filter=-*";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

TEST_F(AlertNotificationTest, KilledWhileShorteningTheListLosesAndDuplicatesNothing) {
  (void)kCrashChild;
  SetConfig("MaxStoredMsgs", 1000);
  std::string delivered = path("delivered.txt");
  ASSERT_EQ(vlZTREG_WriteFlag(kAlertLoggingKey, "EnableAlertLogging", 1), 0);
  ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertDataFile", delivered), 0);
  ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertString", "<$$TITLE>"), 0);
  constexpr int kAlerts = 60;
  std::vector<std::string> paths;
  std::map<std::string, std::string> titleOf;
  for (int i = 1; i <= kAlerts; ++i) {
    std::string title = "alert " + std::to_string(i);
    paths.push_back(Queue(title));
    titleOf[paths.back()] = title;
  }
  const std::string original = ReadFile(UnsentListPath());

  auto run = [&](bool exitWhenIdle, std::chrono::microseconds killAfter) {
    pid_t pid = SpawnChild(data(), exitWhenIdle);
    EXPECT_GT(pid, 0);
    if (!exitWhenIdle) {
      std::this_thread::sleep_for(killAfter);  // the random moment of the crash
      kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  };
  auto deliveredCounts = [&] {
    std::map<std::string, int> counts;
    for (const std::string& line : Lines(ReadFile(delivered))) ++counts[line];
    return counts;
  };

  // How long a whole run takes on this machine, start-up included.
  auto start = std::chrono::steady_clock::now();
  int status = run(true, {});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  for (const std::string& p : paths) ASSERT_EQ(deliveredCounts()[titleOf[p]], 1) << p;

  std::mt19937 random(12345);
  int interrupted = 0;
  for (int round = 0; round < 15; ++round) {
    WriteFile(UnsentListPath(), original);
    WriteFile(delivered, "");
    run(false, std::chrono::microseconds(random() % (whole.count() + 1)));

    // The list is whole lines of queued paths: the undelivered rest, in order.
    std::vector<std::string> listed = Lines(ReadFile(UnsentListPath()));
    ASSERT_LE(listed.size(), paths.size());
    std::vector<std::string> tail(paths.end() - static_cast<long>(listed.size()), paths.end());
    ASSERT_EQ(listed, tail) << "round " << round;
    std::map<std::string, int> counts = deliveredCounts();
    int deliveredAndListed = 0;
    for (const std::string& p : paths) {
      int n = counts[titleOf[p]];
      bool queued = std::find(listed.begin(), listed.end(), p) != listed.end();
      ASSERT_LE(n, 1) << p << " round " << round;
      if (!queued) {
        ASSERT_EQ(n, 1) << p << " was taken off the list undelivered, round " << round;
      }
      deliveredAndListed += queued && n == 1;
    }
    // At most the entry being removed at the crash is delivered and still listed.
    ASSERT_LE(deliveredAndListed, 1);
    interrupted += !listed.empty() && listed.size() < paths.size();

    // A restart delivers the rest, each exactly once more at most.
    status = run(true, {});
    ASSERT_TRUE(WIFEXITED(status)) << status;
    counts = deliveredCounts();
    for (const std::string& p : paths) {
      bool wasListed = std::find(listed.begin(), listed.end(), p) != listed.end();
      int expected = wasListed ? 1 + (counts[titleOf[p]] > 1 ? 1 : 0) : 1;
      ASSERT_GE(counts[titleOf[p]], 1) << p;
      ASSERT_EQ(counts[titleOf[p]], expected) << p;
    }
    ASSERT_FALSE(std::filesystem::exists(UnsentListPath()));
  }
  std::printf("crash rounds interrupted mid-list: %d of 15 (whole run %lld us)\n", interrupted,
              static_cast<long long>(whole.count()));
}

}  // namespace
}  // namespace vlzt
