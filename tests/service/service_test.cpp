// The service program through the real controller, control channel and trace mode.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "service/service_main.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;
using testing::BinPath;
using testing::ReadFile;
using testing::RunCommand;

class ServiceTest : public testing::TestRoot {
 protected:
  // A test that failed half-way may leave a service running: end it with its root.
  void TearDown() override {
    SC_HANDLE m = OpenSCManager("", SC_MANAGER_ALL_ACCESS);
    for (const char* name : {"vlZTEventLog", "quitter", "ghost"}) {
      SC_HANDLE s = m ? OpenService(m, name, SERVICE_QUERY_STATUS) : nullptr;
      SERVICE_STATUS_PROCESS st;
      if (s && QueryServiceStatus(s, &st) && st.dwProcessId) kill(static_cast<pid_t>(st.dwProcessId), SIGKILL);
      if (s) CloseServiceHandle(s);
    }
    if (m) CloseServiceHandle(m);
    TestRoot::TearDown();
  }
  void Configure(bool withHome = true) {
    if (withHome) {
      ASSERT_EQ(vlZTREG_WriteString(kProductKey, "Home", path("home")), 0);
    }
    ASSERT_EQ(vlZTREG_WriteString(kProductKey, "DataDirectory", path("home/data")), 0);
    ASSERT_EQ(vlZTREG_WriteString(kProductKey, "HTMLTargetDirectory", path("home/html")), 0);
    ASSERT_EQ(vlZTREG_WriteString(kProductKey, "ImagesDirectory", path("home/images")), 0);
  }
  int Vlsc(const std::string& args, std::string* out = nullptr, const std::string& env = "") {
    return RunCommand(env + " " + BinPath("vlsc") + " " + args, out);
  }
  // The state number of the service, 0 when it cannot be queried.
  uint32_t State(const std::string& name = "vlZTEventLog") {
    SC_HANDLE m = OpenSCManager("", SC_MANAGER_CONNECT);
    SC_HANDLE s = m ? OpenService(m, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS st;
    uint32_t state = s && QueryServiceStatus(s, &st) ? st.dwCurrentState : 0;
    if (s) CloseServiceHandle(s);
    if (m) CloseServiceHandle(m);
    return state;
  }
  bool WaitForState(uint32_t state, int seconds = 30, const std::string& name = "vlZTEventLog") {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (State(name) == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string Log() { return ReadFile(JoinPath(root(), "log/VLMZT.LOG")); }
};

TEST_F(ServiceTest, RegisterStartStopAndUnregister) {
  Configure();
  std::string out;
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /REGISTER", &out), 0) << out;
  EXPECT_NE(out.find("The Tavish Monitor service has been registered ..."), std::string::npos) << out;
  ASSERT_EQ(Vlsc("start vlZTEventLog", &out), 0) << out;
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING)) << Log();
  ASSERT_EQ(Vlsc("query vlzteventlog", &out), 0);
  EXPECT_NE(out.find("STATE              : 4  RUNNING"), std::string::npos) << out;
  EXPECT_EQ(Vlsc("start vlZTEventLog", &out), 1);
  EXPECT_NE(out.find("FAILED 1056"), std::string::npos) << out;

  ASSERT_EQ(Vlsc("stop vlZTEventLog", &out), 0) << out;
  // The stop control returns once the service has begun its shutdown, or finished it.
  EXPECT_TRUE(out.find("STOP_PENDING") != std::string::npos || out.find("1  STOPPED") != std::string::npos) << out;
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  std::string log = Log();
  for (const char* line : {"is starting ----------------", "Tavish Monitor Startup Complete",
                           "The Velmora/Tavish Log Monitor is being shut down", "Tavish Monitor Shutdown Complete"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_EQ(Vlsc("stop vlZTEventLog", &out), 1);
  EXPECT_NE(out.find("FAILED 1062"), std::string::npos) << out;

  // Unregistering a stopped service skips the stop wait; a running one is stopped first.
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /unregister", &out), 0) << out;
  EXPECT_EQ(out.find("The Tavish Monitor service is stopped ..."), std::string::npos) << out;
  EXPECT_NE(out.find("The Tavish Monitor service has been removed ..."), std::string::npos) << out;
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /register", &out), 0) << out;
  ASSERT_EQ(Vlsc("start vlZTEventLog", &out), 0) << out;
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /unregister", &out), 0) << out;
  EXPECT_NE(out.find("The Tavish Monitor service is stopped ..."), std::string::npos) << out;
  EXPECT_EQ(Vlsc("query vlZTEventLog", &out), 1);
  EXPECT_NE(out.find("FAILED 1060"), std::string::npos) << out;
}

TEST_F(ServiceTest, BadCommandLinesAndALaunchOutsideTheController) {
  std::string out;
  EXPECT_EQ(RunCommand(BinPath("vlZTEventLog") + " /registerNOW", &out), 1);
  EXPECT_EQ(RunCommand(BinPath("vlZTEventLog") + " bogus", &out), 1);
  EXPECT_EQ(RunCommand(BinPath("vlZTEventLog") + " </dev/null", &out), 1);
  std::string log = Log();
  EXPECT_NE(log.find("EVENT-ERROR pid="), std::string::npos) << log;
  EXPECT_NE(log.find("vlZTSvc main: The Tavish Monitor was started with an unrecognised parameter - /registerNOW"),
            std::string::npos) << log;
  EXPECT_NE(log.find("unrecognised parameter - bogus"), std::string::npos);
  EXPECT_NE(log.find("Call to StartServiceCtrlDispatcher failed. Error: 1063"), std::string::npos) << log;
}

TEST_F(ServiceTest, MissingSettingStopsCleanly) {
  Configure(false);
  std::string out;
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /register", &out), 0) << out;
  ASSERT_EQ(Vlsc("start vlZTEventLog", &out), 0) << out;
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_NE(Log().find("ERROR  pid="), std::string::npos);
  EXPECT_NE(Log().find("The Velmora/Tavish Log Monitor cannot be started because the required local configuration "
                       "settings (home) are not defined. Please contact the System Administrator"),
            std::string::npos) << Log();
  EXPECT_NE(access(path("home/data").c_str(), F_OK), 0) << "nothing is created";
}

TEST_F(ServiceTest, DirectoryInTheWayStopsCleanly) {
  Configure();
  testing::WriteFile(path("home"), "a file where the home folder should be");
  std::string out;
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /register", &out), 0) << out;
  ASSERT_EQ(Vlsc("start vlZTEventLog", &out), 0) << out;
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_NE(Log().find("vlZTShared CreateRequiredDirectories: An error occurred whilst creating the Tavish Monitor "
                       "data directory (" + path("home/data") + ")"),
            std::string::npos) << Log();
  EXPECT_NE(Log().find("required local directories do not exist and could not be created"), std::string::npos);
}

TEST_F(ServiceTest, StopIsRefusedDuringStartUpAndTheWarmUpWaits) {
  Configure();
  ASSERT_EQ(vlZTREG_WriteNumber(kProductKey, "InitialStartupDelay", 600), 0);
  std::string out;
  ASSERT_EQ(RunCommand(BinPath("vlZTEventLog") + " /register", &out), 0) << out;
  ASSERT_EQ(Vlsc("start vlZTEventLog", &out, "VLZT_TEST_UPTIME_MS=100000"), 0) << out;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Log().find("Waiting for server warm-up time (") == std::string::npos && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(Log().find("ServiceMain: Waiting for server warm-up time (500 secs.)"), std::string::npos) << Log();
  EXPECT_EQ(State(), static_cast<uint32_t>(SERVICE_START_PENDING));
  EXPECT_EQ(Vlsc("stop vlZTEventLog", &out), 1);
  EXPECT_NE(out.find("FAILED 1061"), std::string::npos) << out;

  // Killed outright: the controller shows it stopped and it starts again.
  SC_HANDLE m = OpenSCManager("", SC_MANAGER_ALL_ACCESS);
  SC_HANDLE s = OpenService(m, "vlZTEventLog", SERVICE_ALL_ACCESS);
  SERVICE_STATUS_PROCESS st;
  ASSERT_TRUE(QueryServiceStatus(s, &st));
  ASSERT_GT(st.dwProcessId, 0u);
  ASSERT_EQ(kill(static_cast<pid_t>(st.dwProcessId), SIGKILL), 0);
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  ASSERT_TRUE(QueryServiceStatus(s, &st));
  EXPECT_NE(st.dwWin32ExitCode, 0u);

  ASSERT_EQ(Vlsc("start vlZTEventLog", &out, "VLZT_TEST_UPTIME_MS=700000"), 0) << out;
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  EXPECT_NE(Log().find("Server warm-up completed. Startup continues ..."), std::string::npos);
  ASSERT_EQ(Vlsc("stop vlZTEventLog", &out), 0) << out;
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  CloseServiceHandle(s);
  CloseServiceHandle(m);
}

TEST_F(ServiceTest, ProgramsThatCannotRunOrEndWithoutReporting) {
  std::string out;
  ASSERT_EQ(Vlsc("create ghost binPath= " + path("no-such-program"), &out), 0) << out;
  EXPECT_EQ(Vlsc("start ghost", &out), 1);
  EXPECT_NE(out.find("FAILED 2:"), std::string::npos) << out;
  EXPECT_EQ(State("ghost"), static_cast<uint32_t>(SERVICE_STOPPED));

  testing::WriteFile(path("quitter.sh"), "#!/bin/sh\nexit 3\n");
  chmod(path("quitter.sh").c_str(), 0755);
  ASSERT_EQ(Vlsc("create quitter binPath= " + path("quitter.sh") + " start= auto DisplayName= Quitter", &out), 0);
  EXPECT_EQ(Vlsc("start quitter", &out), 1);
  EXPECT_NE(out.find("FAILED 1067"), std::string::npos) << out;
  ASSERT_EQ(Vlsc("query quitter", &out), 1 - 1) << out;
  EXPECT_NE(out.find("WIN32_EXIT_CODE    : 3  (0x3)"), std::string::npos) << out;
  EXPECT_EQ(Vlsc("boot", &out), 1) << "a failing automatic service fails the boot";
  EXPECT_EQ(Vlsc("description quitter 'Ends at once'", &out), 0) << out;
  EXPECT_EQ(Vlsc("delete quitter", &out), 0) << out;
  EXPECT_EQ(Vlsc("create bad binPath=", &out), 1);
  EXPECT_EQ(Vlsc("frob x", &out), 1);
  EXPECT_EQ(Vlsc("--help", &out), 0);
}

TEST_F(ServiceTest, TraceModeRunsUntilCtrlC) {
  Configure();
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    execl(BinPath("vlZTEventLog").c_str(), "vlZTEventLog", "x/TraceFull", nullptr);
    _exit(127);
  }
  close(pipeFds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while (out.find("is now running") == std::string::npos && (n = read(pipeFds[0], buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  ASSERT_NE(out.find("is now running"), std::string::npos) << out;
  kill(child, SIGINT);
  kill(child, SIGINT);  // a second Ctrl-C while stopping is swallowed
  while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  int status = 0;
  waitpid(child, &status, 0);
  close(pipeFds[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_NE(out.find("\n" + std::string(70, '*') + " \n\nVelmora/Tavish (Log) Monitor Server\n\n"
                     "The monitor has been started in trace mode. To stop,\n"
                     "hit CTRL-C, CTRL-BRK, or close this window\n\n" + std::string(70, '*') + "\n\n"),
            std::string::npos) << out;
  for (const char* line : {" - The Velmora/Tavish Log Monitor is starting - please wait\n",
                           " - Stopping the Service. Please wait ...\n",
                           " - The Velmora/Tavish Log Monitor is shutting down\n",
                           " - The Velmora/Tavish Log Monitor has now shut down\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  size_t first = out.find("Stopping the Service");
  EXPECT_EQ(out.find("Stopping the Service", first + 1), std::string::npos) << "printed once";
}

TEST_F(ServiceTest, ShutdownBudgetIsSharedByTheThreads) {
  SetShutdownTiming({5, 0});
  ManualResetEvent release;
  auto hang = [&release] { release.Wait(kInfinite); };
  ServiceStateRecord& s = ServiceState();
  s.TraceMode = 1;
  for (size_t slot : {0u, 1u}) {
    s.WorkerThreads[slot] = std::make_shared<Thread>();
    ASSERT_TRUE(s.WorkerThreads[slot]->Start(hang));
  }
  s.WorkerThreads[7] = std::make_shared<Thread>();
  ASSERT_TRUE(s.WorkerThreads[7]->Start([] {}));
  CleanupMonitor();
  CleanupMonitor();  // once per process
  for (auto& slot : s.WorkerThreads) EXPECT_EQ(slot, nullptr);
  std::string log = Log();
  size_t first = log.find("Timed out waiting for thread: 0 to terminate. Forcing it to close");
  size_t second = log.find("Timed out waiting for thread: 1 to terminate. Forcing it to close");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_NE(second, std::string::npos) << log;
  EXPECT_LT(first, second);
  EXPECT_EQ(log.find("thread: 7"), std::string::npos);
  release.Set();  // let the abandoned threads end before the process does
}

}  // namespace
}  // namespace vlzt
