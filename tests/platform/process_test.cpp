// Child processes: command-line forms, redirection, waits, time-outs, reaping, descriptors.
#include "platform/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/system.h"
#include "tests/testing/test_root.h"

namespace vlzt::platform {
namespace {

using ProcessTest = testing::TestRoot;
using Args = std::vector<std::string>;

TEST_F(ProcessTest, CommandLineForms) {
  std::string script = path("s.vbs");
  testing::WriteFile(script, "#!/usr/bin/env python3 -u\nprint(1)\n");
  struct Case {
    std::string line;
    Args want;
  } cases[] = {
      {"CMD /c \"echo a; echo b\"", {"/bin/sh", "-c", "echo a; echo b"}},
      {"cmd.exe /C echo plain", {"/bin/sh", "-c", "echo plain"}},
      {"CScript \"" + script + "\" one \"two words\"", {"/usr/bin/env", "python3 -u", script, "one", "two words"}},
      {"run.BAT x", {"/bin/sh", "run.BAT", "x"}},
      {"\"/opt/my tool/bin\" -v \"a \"\"q\"\" b\"", {"/opt/my tool/bin", "-v", "a \"q\" b"}},
      {"   ", {}},
      {"CMD /x nothing", {}},
      {"CMD /c \"\"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Process::ArgumentsOf(c.line), c.want) << c.line;
}

TEST_F(ProcessTest, RunsRedirectsAndReportsTheExitCode) {
  std::string out = path("out.txt");
  ProcessOptions options;
  options.workingDirectory = scratch();
  options.stdoutFile = out;
  options.stderrFile = out;
  auto p = Process::Start("CMD /c \"pwd; echo to-err >&2; exit 7\"", options);
  ASSERT_NE(p, nullptr) << GetLastError();
  EXPECT_EQ(p->Wait(30000), 0);
  EXPECT_EQ(p->ExitCode(), 7u);
  EXPECT_EQ(testing::ReadFile(out), scratch() + "\nto-err\n");

  // A script without a #! line, not executable, runs through the shell; so does a .bat.
  testing::WriteFile(path("plain.vbs"), "echo script \"$1\"\n");
  testing::WriteFile(path("job.bat"), "echo batch $1\n");
  options.workingDirectory.clear();
  auto s = Process::Start("CScript \"" + path("plain.vbs") + "\" arg", options);
  ASSERT_NE(s, nullptr);
  s->Wait(30000);
  EXPECT_EQ(testing::ReadFile(out), "script arg\n");
  auto b = Process::Start(path("job.bat") + " 42", options);
  ASSERT_NE(b, nullptr);
  b->Wait(30000);
  EXPECT_EQ(testing::ReadFile(out), "batch 42\n");
}

TEST_F(ProcessTest, ProgramsThatCannotStart) {
  testing::WriteFile(path("noexec"), "#!/bin/sh\n");
  chmod(path("noexec").c_str(), 0644);
  struct Case {
    std::string line;
    std::string dir;
    uint32_t error;
  } cases[] = {
      {path("missing-program"), "", 2},
      {path("noexec"), "", 5},
      {"CScript \"" + path("missing.vbs") + "\"", "", 2},
      {"", "", 87},
      {"CMD /c \"true\"", path("no-such-dir"), 267},
      {"no-such-program-anywhere-xyz", "", 2},
  };
  for (const Case& c : cases) {
    ProcessOptions options;
    options.workingDirectory = c.dir;
    EXPECT_EQ(Process::Start(c.line, options), nullptr) << c.line;
    EXPECT_EQ(GetLastError(), c.error) << c.line;
  }
}

TEST_F(ProcessTest, TimeOutStopEventAndReapingOfAbandonedChildren) {
  ManualResetEvent stop;
  auto p = Process::Start("CMD /c \"sleep 30\"", {});
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Wait(50, &stop), kWaitTimeout);
  EXPECT_EQ(p->ExitCode(), STILL_ACTIVE);
  std::thread setter([&] { stop.Set(); });
  EXPECT_EQ(p->Wait(30000, &stop), 1);
  setter.join();
  EXPECT_TRUE(p->Terminate());
  EXPECT_EQ(p->Wait(30000), 0);
  EXPECT_EQ(p->ExitCode(), 128u + 9);

  // Left running after a time-out and given up: still reaped when it ends.
  auto q = Process::Start("CMD /c \"sleep 0.2\"", {});
  ASSERT_NE(q, nullptr);
  int pid = q->Id();
  EXPECT_EQ(q->Wait(1), kWaitTimeout);
  q.reset();
  std::string proc = "/proc/" + std::to_string(pid);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (access(proc.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(access(proc.c_str(), F_OK), 0) << "no zombie is left";
}

TEST_F(ProcessTest, OnlyTheStandardDescriptorsAreInherited) {
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(leaked, 3);
  ProcessOptions options;
  options.stdoutFile = path("fds.txt");
  auto p = Process::Start("CMD /c \"ls /proc/$$/fd\"", options);
  ASSERT_NE(p, nullptr);
  p->Wait(30000);
  close(leaked);
  EXPECT_EQ(testing::ReadFile(path("fds.txt")), "0\n1\n2\n");
}

}  // namespace
}  // namespace vlzt::platform
