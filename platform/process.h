// platform/process.h
// Child processes started from command lines in the host platform's form, waited for with
// a time-out and a stop event, and reaped when they end even if nobody waits any more.
//
// Command lines:
//   CMD /c "text"        runs text with /bin/sh -c (one pair of enclosing quotes dropped)
//   CScript "file" args  runs the script by its #! line (/bin/sh when it has none)
//   prog.bat args        a .bat or .cmd program runs through /bin/sh
//   "prog" args          any other program, found on PATH when it has no '/'
// Arguments are split at blanks; double quotes group, as the host platform's parser does.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"

namespace vlzt::platform {

inline constexpr uint32_t STILL_ACTIVE = 259;

struct ProcessOptions {
  std::string workingDirectory;  // "" keeps this process's
  bool shown = false;            // true: the child shares the console; false: no console
  std::string stdoutFile;        // when set, standard output is written (truncated) here
  std::string stderrFile;        // when set, standard error is written here (may equal stdoutFile)
};

class Process {
 public:
  // Starts `commandLine`; null with GetLastError() set (2 program not found, 5 not
  // executable, 87 empty or malformed command line, 267 bad working folder).
  static std::unique_ptr<Process> Start(const std::string& commandLine, const ProcessOptions& options);
  // The program and arguments a command line runs (for logs and tests); empty when malformed.
  static std::vector<std::string> ArgumentsOf(const std::string& commandLine);

  ~Process();  // the child goes on running if it has not ended; it is still reaped
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // 0 when the process ended, 1 when `stop` was set first, kWaitTimeout after `milliseconds`.
  int Wait(uint32_t milliseconds, const ManualResetEvent* stop = nullptr) const;
  // The exit code, STILL_ACTIVE while it runs; 128 + n when signal n ended it.
  uint32_t ExitCode() const;
  bool Terminate();
  int Id() const;

 private:
  struct State;
  explicit Process(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace vlzt::platform
