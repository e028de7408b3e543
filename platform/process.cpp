// platform/process.cpp
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/system.h"

extern char** environ;

namespace vlzt::platform {
namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Splits at blanks outside double quotes; quotes are dropped, "" inside quotes is one quote.
std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string cur;
  bool quoted = false, have = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        cur += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
      have = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (have) words.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur += c;
      have = true;
    }
  }
  if (have) words.push_back(cur);
  return words;
}

// The text after the first word and its blanks.
std::string RestAfterFirstWord(const std::string& text, size_t wordStart) {
  size_t end = text.find_first_of(" \t", wordStart);
  if (end == std::string::npos) return "";
  size_t rest = text.find_first_not_of(" \t", end);
  return rest == std::string::npos ? "" : text.substr(rest);
}

bool EndsWith(const std::string& s, const char* tail) {
  size_t n = std::strlen(tail);
  return s.size() >= n && Lower(s.substr(s.size() - n)) == tail;
}

// The interpreter line of a script: "#!/usr/bin/env python3" -> {"/usr/bin/env", "python3"}.
std::vector<std::string> Interpreter(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  if (line.rfind("#!", 0) != 0) return {"/bin/sh"};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string rest = line.substr(2);
  size_t b = rest.find_first_not_of(" \t");
  if (b == std::string::npos) return {"/bin/sh"};
  rest = rest.substr(b);
  size_t sp = rest.find_first_of(" \t");
  if (sp == std::string::npos) return {rest};
  std::string arg = rest.substr(rest.find_first_not_of(" \t", sp));
  while (!arg.empty() && (arg.back() == ' ' || arg.back() == '\t')) arg.pop_back();
  return {rest.substr(0, sp), arg};
}

struct Parsed {
  std::vector<std::string> argv;
  std::string script;  // the file a script host or the shell is to run, "" for none
};

Parsed Parse(const std::string& commandLine) {
  size_t start = commandLine.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  std::vector<std::string> words = SplitWords(commandLine);
  if (words.empty()) return {};
  std::string program = Lower(words[0]);
  if (program == "cmd" || program == "cmd.exe") {
    std::string rest = RestAfterFirstWord(commandLine, start);
    std::string sw = Lower(rest.substr(0, 2));
    if (sw != "/c" && sw != "/k") return {};
    std::string text = rest.substr(2);
    size_t b = text.find_first_not_of(" \t");
    text = b == std::string::npos ? "" : text.substr(b);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    if (text.empty()) return {};
    return {{"/bin/sh", "-c", text}, ""};
  }
  if (program == "cscript" || program == "cscript.exe" || program == "wscript" || program == "wscript.exe") {
    std::vector<std::string> rest(words.begin() + 1, words.end());
    while (!rest.empty() && rest[0].rfind("//", 0) == 0) rest.erase(rest.begin());  // host options
    if (rest.empty()) return {};
    std::vector<std::string> argv = Interpreter(rest[0]);
    argv.insert(argv.end(), rest.begin(), rest.end());
    return {argv, rest[0]};
  }
  if (EndsWith(words[0], ".bat") || EndsWith(words[0], ".cmd")) {
    std::vector<std::string> argv = {"/bin/sh"};
    argv.insert(argv.end(), words.begin(), words.end());
    return {argv, words[0]};
  }
  return {words, ""};
}

}  // namespace

struct Process::State {
  pid_t pid = -1;
  ManualResetEvent ended;
  std::atomic<uint32_t> exitCode{STILL_ACTIVE};
};

Process::Process(std::shared_ptr<State> state) : state_(std::move(state)) {}

Process::~Process() = default;

std::vector<std::string> Process::ArgumentsOf(const std::string& commandLine) {
  return Parse(commandLine).argv;
}

std::unique_ptr<Process> Process::Start(const std::string& commandLine, const ProcessOptions& options) {
  Parsed parsed = Parse(commandLine);
  std::vector<std::string>& argv = parsed.argv;
  if (argv.empty()) {
    SetLastError(87);
    return nullptr;
  }
  // The program, or the script it is to run, must exist: say so before starting anything.
  const std::string& program = argv[0];
  if (program.find('/') != std::string::npos) {
    if (access(program.c_str(), F_OK) != 0) {
      SetLastError(2);
      return nullptr;
    }
    if (access(program.c_str(), X_OK) != 0) {
      SetLastError(5);
      return nullptr;
    }
  }
  if (!parsed.script.empty() && access(parsed.script.c_str(), R_OK) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  if (!options.workingDirectory.empty()) {
    struct stat st;
    if (stat(options.workingDirectory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(267);
      return nullptr;
    }
  }

  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(const_cast<char*>(a.c_str()));
  cargs.push_back(nullptr);
  const char* out = options.stdoutFile.empty() ? nullptr : options.stdoutFile.c_str();
  const char* err = options.stderrFile.empty() ? nullptr : options.stderrFile.c_str();
  bool sameFile = out && err && options.stdoutFile == options.stderrFile;
  const char* cwd = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
  bool hidden = !options.shown;

  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  pid_t pid = fork();
  if (pid < 0) {
    SetLastError(ErrorFromErrno(errno));
    close(status[0]);
    close(status[1]);
    return nullptr;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    auto fail = [&](int e) {
      (void)!write(status[1], &e, sizeof e);
      _exit(127);
    };
    if (cwd && chdir(cwd) != 0) fail(errno);
    if (hidden) {
      int null = open("/dev/null", O_RDWR);
      if (null < 0) fail(errno);
      dup2(null, 0);
      if (!out) dup2(null, 1);
      if (!err) dup2(null, 2);
      if (null > 2) close(null);
      setsid();  // no controlling terminal, and Ctrl-C at the console does not reach it
    }
    if (out) {
      int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) fail(errno);
      dup2(fd, 1);
      if (sameFile) dup2(fd, 2);
      if (fd > 2) close(fd);
    }
    if (err && !sameFile) {
      int fd = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) fail(errno);
      dup2(fd, 2);
      if (fd > 2) close(fd);
    }
    // Nothing but 0-2 goes to the child (the status pipe closes itself on exec).
    int keep = status[1];
    if (keep > 3) close_range(3, static_cast<unsigned>(keep) - 1, 0);
    close_range(static_cast<unsigned>(keep) + 1, ~0u, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execvp(cargs[0], cargs.data());
    fail(errno);
  }
  close(status[1]);
  int childErrno = 0;
  ssize_t n;
  while ((n = read(status[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
  }
  close(status[0]);

  auto state = std::make_shared<State>();
  state->pid = pid;
  // The reaper: waits for the child whether or not anybody still holds the Process.
  std::thread([state] {
    int st = 0;
    while (waitpid(state->pid, &st, 0) < 0 && errno == EINTR) {
    }
    uint32_t code = WIFEXITED(st) ? static_cast<uint32_t>(WEXITSTATUS(st))
                                  : 128u + static_cast<uint32_t>(WTERMSIG(st));
    state->exitCode = code;
    state->ended.Set();
  }).detach();
  if (n == sizeof childErrno) {
    state->ended.Wait(kInfinite);
    SetLastError(ErrorFromErrno(childErrno));
    return nullptr;
  }
  SetLastError(0);
  return std::unique_ptr<Process>(new Process(state));
}

int Process::Wait(uint32_t milliseconds, const ManualResetEvent* stop) const {
  std::vector<const ManualResetEvent*> events = {&state_->ended};
  if (stop) events.push_back(stop);
  int r = WaitForAny(events, milliseconds);
  return r == kWaitTimeout ? kWaitTimeout : r;
}

uint32_t Process::ExitCode() const { return state_->exitCode.load(); }

bool Process::Terminate() {
  if (state_->ended.IsSet()) return false;
  return kill(state_->pid, SIGKILL) == 0;
}

int Process::Id() const { return state_->pid; }

}  // namespace vlzt::platform
