// platform/console.cpp
#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <thread>

namespace vlzt::platform {

void SetConsoleCtrlHandler(std::function<bool(ConsoleEvent)> handler) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaddset(&set, s);
  // Blocked here and in every thread started later, so only the waiting thread sees them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, handler = std::move(handler)] {
    while (true) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      ConsoleEvent event = sig == SIGQUIT ? CTRL_BREAK_EVENT : sig == SIGHUP ? CTRL_CLOSE_EVENT : CTRL_C_EVENT;
      if (!handler(event)) {
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
      }
    }
  }).detach();
}

void SetConsoleTitle(const std::string& title) {
  if (isatty(STDOUT_FILENO)) {
    std::printf("\033]0;%s\007", title.c_str());
    std::fflush(stdout);
  }
}

std::string ProgramPath() {
  char path[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

}  // namespace vlzt::platform
