// Automatic responses with real child processes, the service controller and the reboot guard.
#include "alerting/automatic_responses.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "alerting/stored_messages.h"
#include "platform/machine_root.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "support/service_state.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class ResponsesTest : public testing::TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    ServiceStateRecord& s = ServiceState();
    s.Home = path("home");
    s.DataDirectory = path("data");
    s.ComputerName = "TESTHOST";
    s.StopServerEvent.Reset();
    platform::MakeDirectories(s.Home);
    platform::MakeDirectories(s.DataDirectory);
    SetRebootPause(0);
    ASSERT_EQ(platform::RegPutValue(platform::HKEY_LOCAL_MACHINE, "SYSTEM\\Platform", "RebootCommand",
                                    platform::REG_SZ, platform::RegStringData("echo reboot >> '" + path("reboots") + "'")),
              0);
  }
  int Run(int32_t action, const std::string& name, const std::string& message, const std::string& command,
          std::string* result) {
    return RunSpecifiedActions(4, 2, action, name, message, action == 2 ? 1 : 0, command, "info one", nullptr,
                               nullptr, result);
  }
  // The titles and messages of the stored messages written so far, oldest first.
  std::vector<std::pair<std::string, std::string>> Notices() {
    std::vector<std::pair<std::string, std::string>> out;
    for (int n = 1; n <= 50; ++n) {
      std::string file = StoredMessagePath(static_cast<uint32_t>(n));
      if (access(file.c_str(), F_OK) != 0) break;
      out.push_back({platform::GetProfileValue("Default", "ErrorTitle", "", file),
                     platform::GetProfileValue("Default", "Message", "", file)});
    }
    return out;
  }
};

TEST_F(ResponsesTest, CommandRunsWithMarkersAndTheResultQuotesItAsConfigured) {
  std::string result = "unchanged";
  const std::string command = "echo <$$TEST> ran in $(pwd) > '" + path("out.txt") + "'";
  EXPECT_EQ(Run(3, "Disk check", "disk failed", command, &result), kResponseRan);
  EXPECT_EQ(ReadFile(path("out.txt")), "Disk check ran in " + path("home") + "\n");
  EXPECT_EQ(result, "The Velmora/Tavish Monitor automatically initiated the command " + command +
                        " in response to the error");
  // Actions 0 and 1 with a command still run it; without a command nothing applies.
  EXPECT_EQ(Run(0, "c", "m", "true", &result), kResponseRan);
  result = "unchanged";
  EXPECT_EQ(Run(1, "c", "m", "", &result), kNoResponse);
  EXPECT_EQ(result, "unchanged");
  EXPECT_TRUE(Notices().empty());
}

TEST_F(ResponsesTest, RecordTextsReachTheCommandAsDataOnly) {
  const char* hostile[] = {
      "$(touch PWNED)", "`touch PWNED`", "x; touch PWNED", "x | touch PWNED", "it's \"quoted\" \\ && touch PWNED",
      "a\ntouch PWNED",
  };
  for (const char* text : hostile) {
    std::string result;
    std::string out = path("echo.txt");
    ASSERT_EQ(Run(3, text, text, "printf '%s|%s' <$$ERROR> <$$TEST> > '" + out + "'", &result), kResponseRan) << text;
    EXPECT_EQ(ReadFile(out), std::string(text) + "|" + text) << text;
    EXPECT_NE(access(path("home/PWNED").c_str(), F_OK), 0) << text;
  }
  // A script gets the value inside its one argument.
  std::string script = path("show.vbs");
  WriteFile(script, "printf '%s' \"$1\" > \"$(dirname \"$0\")/arg.txt\"\n");
  std::string result;
  ASSERT_EQ(RunSpecifiedActions(4, 2, 4, "s", "m", 0, script + "\" \"<$$TEST>", nullptr, nullptr, nullptr, &result),
            kResponseRan);
  ASSERT_EQ(RunSpecifiedActions(4, 2, 4, "x\" \"y", "m", 0, script + "\" \"<$$TEST>", nullptr, nullptr, nullptr,
                                &result),
            kResponseRan);
  EXPECT_EQ(ReadFile(path("arg.txt")), "x\" \"y");
}

TEST_F(ResponsesTest, FailuresAndTimeOutsRaiseTheirNotices) {
  std::string result;
  WriteFile(path("slow.vbs"), "sleep 5\n");
  ASSERT_EQ(vlZTREG_WriteNumber(kAlertingConfigKey, "ActionTimeout", 1), 0);
  EXPECT_EQ(Run(4, "Slow", "m", path("slow.vbs"), &result), kResponseHandled);
  EXPECT_EQ(Run(4, "Missing", "m", path("nothing.vbs"), &result), kResponseHandled);
  EXPECT_EQ(Run(5, "Svc", "m", "NoSuchService", &result), kResponseHandled);
  auto notices = Notices();
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_EQ(notices[0].first, "Monitor/Configuration Error");
  EXPECT_EQ(notices[0].second,
            "Tavish Configuration Error. The Velmora/Tavish Monitor was unable to take automatic action for the check "
            "Slow because the command " + path("slow.vbs") + " timed out");
  EXPECT_EQ(notices[1].second,
            "Tavish Configuration Error. The Velmora/Tavish Monitor was unable to take automatic action for the check "
            "Missing because the command or script " + path("nothing.vbs") + " could not be run. The return code was 2");
  EXPECT_EQ(notices[2].first, "Service Restart");
  EXPECT_EQ(notices[2].second,
            "The Velmora/Tavish Monitor was unable to restart the service in response to the failure of check Svc. "
            "The return code was 1060");
  EXPECT_EQ(platform::GetProfileValue("Default", "AdditionalInfo2", "", StoredMessagePath(1)), "Timed Out");
  EXPECT_EQ(platform::GetProfileValue("Default", "AdditionalInfo1", "", StoredMessagePath(3)), "Svc");
  EXPECT_EQ(platform::GetProfileValue("Default", "AdditionalInfo2", "", StoredMessagePath(3)), "1060");
}

TEST_F(ResponsesTest, StopOfTheServiceEndsTheWaitAtOnce) {
  std::string result;
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ServiceState().StopServerEvent.Set();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(3, "Long", "m", "sleep 20", &result), kResponseHandled);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_TRUE(Notices().empty());
  ServiceState().StopServerEvent.Reset();
}

TEST_F(ResponsesTest, RepeatRebootForTheSameCheckIsRefused) {
  // As after a restart: the value survived, the pending flag did not.
  ASSERT_EQ(vlZTREG_WriteString(kAlertingConfigKey, "LastRebootedFor", "boot CHECK"), 0);
  std::string result;
  EXPECT_EQ(Run(2, "Boot check", "m", "", &result), kResponseHandled);
  EXPECT_NE(access(path("reboots").c_str(), F_OK), 0) << "no reboot";
  ASSERT_EQ(Notices().size(), 1u);
  EXPECT_EQ(Notices()[0].first, "Server is Rebooting");
  EXPECT_EQ(Notices()[0].second,
            "Warning: The Velmora/Tavish Monitor was due to restart the local server in response to the test Boot "
            "check which failed. However, because a previous reboot did not resolve the problem, the action was "
            "cancelled. Further investigation is now required ...");
}

TEST_F(ResponsesTest, RebootGuardAndPendingFlag) {
  std::string result;
  EXPECT_EQ(Run(2, "Boot check", "m", "", &result), kResponseHandled);
  EXPECT_EQ(ReadFile(path("reboots")), "reboot\n");
  std::string last;
  ASSERT_EQ(vlZTREG_ReadString(kAlertingConfigKey, "LastRebootedFor", last, 260), 0);
  EXPECT_EQ(last, "Boot check");
  // The reboot is still pending in this process: a second response does nothing at all.
  EXPECT_EQ(Run(2, "Other check", "m", "", &result), kResponseHandled);
  EXPECT_EQ(Notices().size(), 1u);
  EXPECT_EQ(Notices()[0].second,
            "Warning: The Velmora/Tavish Monitor is restarting the local server. This is in response to the test "
            "Boot check which failed...");
  EXPECT_EQ(IsRepeatReboot("BOOT CHECK"), 1);
  EXPECT_EQ(IsRepeatReboot("Other check"), 0);
}

TEST_F(ResponsesTest, StartsARegisteredServiceThroughTheController) {
  // A service whose program connects and then stops on its own.
  using namespace platform;
  SC_HANDLE m = OpenSCManager("", SC_MANAGER_ALL_ACCESS);
  ServiceConfig config;
  config.binaryPath = testing::BinPath("vlZTEventLog");
  SC_HANDLE s = CreateService(m, "vlZTEventLog", config, SERVICE_ALL_ACCESS);
  ASSERT_NE(s, nullptr);
  std::string result;
  EXPECT_EQ(Run(5, "Restart", "m", "vlztEVENTLOG", &result), kResponseRan);
  EXPECT_EQ(result, "The Velmora/Tavish Monitor automatically initiated a service restart");
  CloseServiceHandle(s);
  CloseServiceHandle(m);
}

TEST_F(ResponsesTest, AFailingRebootCommandIsLoggedAndTheServiceGoesOn) {
  ASSERT_EQ(platform::RegPutValue(platform::HKEY_LOCAL_MACHINE, "SYSTEM\\Platform", "RebootCommand", platform::REG_SZ,
                                  platform::RegStringData("exit 3")),
            0);
  RestartWindows();
  EXPECT_NE(ReadFile(platform::JoinPath(root(), "log/VLMZT.LOG"))
                .find("vlZTShared RestartWindows: Unable to restart the Windows installation due to the following "
                      "error performing the restart: 3"),
            std::string::npos);
}

}  // namespace
}  // namespace vlzt
