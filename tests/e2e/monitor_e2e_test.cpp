// The whole service: a line appended to a watched log file reaches the administrator's
// mailbox on a real SMTP server.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/machine_root.h"
#include "platform/scm.h"
#include "support/vlZTREG.h"
#include "tests/testing/smtp_server.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;
const std::string kConfig = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";

class MonitorEndToEnd : public testing::TestRoot {
 protected:
  void TearDown() override {
    testing::RunCommand(testing::BinPath("vlsc") + " stop vlZTEventLog");
    SC_HANDLE m = OpenSCManager("", SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = m ? OpenService(m, "vlZTEventLog", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS st;
    for (int i = 0; s && i < 300 && QueryServiceStatus(s, &st) && st.dwCurrentState != SERVICE_STOPPED; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (s && QueryServiceStatus(s, &st) && st.dwProcessId) kill(static_cast<pid_t>(st.dwProcessId), SIGKILL);
    if (s) CloseServiceHandle(s);
    if (m) CloseServiceHandle(m);
    TestRoot::TearDown();
  }
  std::string Log() { return testing::ReadFile(JoinPath(root(), "log/VLMZT.LOG")); }
};

TEST_F(MonitorEndToEnd, AppendedLineArrivesAsMail) {
  testing::SmtpSink sink(path("smtp"));
  ASSERT_TRUE(sink.Started()) << sink.ServerLog();
  std::string watched = path("app.log");
  testing::WriteFile(watched, "disk error from before the start\n");

  for (const char* dir : {"Home", "DataDirectory", "HTMLTargetDirectory", "ImagesDirectory"})
    ASSERT_EQ(vlZTREG_WriteString(kConfig, dir, path(std::string("home/") + dir)), 0);
  ASSERT_EQ(vlZTREG_WriteNumber(kConfig, "LogFilePollInterval", 1), 0);
  std::string check = kConfig + "\\LOGS\\Log1";
  ASSERT_EQ(vlZTREG_WriteNumber(check, "LogType", 3), 0);
  ASSERT_EQ(vlZTREG_WriteFlag(check, "Enabled", 1), 0);
  ASSERT_EQ(vlZTREG_WriteString(check, "File", watched), 0);
  ASSERT_EQ(vlZTREG_WriteString(check, "Name", "Disk errors"), 0);
  ASSERT_EQ(vlZTREG_WriteNumber(check, "AlertLevel", 1), 0);
  ASSERT_EQ(vlZTREG_WriteString(check, "KeywordInclude1", "disk [AND] error"), 0);
  std::string contacts = kConfig + "\\Contacts";
  ASSERT_EQ(vlZTREG_WriteString(contacts, "E-Mail Server", "127.0.0.1"), 0);
  ASSERT_EQ(vlZTREG_WriteNumber(contacts, "E-Mail Server Port", static_cast<int32_t>(sink.port())), 0);
  ASSERT_EQ(vlZTREG_WriteString(contacts, "EMail1", "admin@example.test"), 0);
  ASSERT_EQ(vlZTREG_WriteNumber(contacts, "EMailLevel1", 1), 0);

  std::string out;
  ASSERT_EQ(testing::RunCommand(testing::BinPath("vlZTEventLog") + " /register", &out), 0) << out;
  ASSERT_EQ(testing::RunCommand(testing::BinPath("vlsc") + " start vlZTEventLog", &out), 0) << out;
  auto until = [&](const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
  };
  ASSERT_TRUE(until([&] { return Log().find("Tavish Monitor Startup Complete") != std::string::npos; })) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the monitor has taken its first look
  {
    std::ofstream append(watched, std::ios::app);
    append << "kernel: disk sda reports I/O error at sector 42\n";
  }
  ASSERT_TRUE(until([&] { return !sink.Messages().empty(); })) << Log() << sink.ServerLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u) << "the line from before the start is never sent";
  EXPECT_EQ(messages[0].to, std::vector<std::string>{"admin@example.test"});
  EXPECT_NE(messages[0].content.find("kernel: disk sda reports I/O error at sector 42"), std::string::npos)
      << messages[0].content;
  EXPECT_NE(messages[0].content.find("Disk errors"), std::string::npos) << messages[0].content;
}

}  // namespace
}  // namespace vlzt
