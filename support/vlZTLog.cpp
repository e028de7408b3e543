// support/vlZTLog.cpp
#include "support/vlZTLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/machine_root.h"

namespace vlzt {
namespace {

constexpr size_t kMaxFileName = 259;
// How often the open file is compared with its path, so a rotated log is followed.
constexpr auto kReopenCheck = std::chrono::seconds(1);

struct LogState {
  std::mutex mutex;
  std::string path;  // absolute path of the file in use, "" until the first write
  int fd = -1;
  std::chrono::steady_clock::time_point lastCheck;
  MessageBoxHook messageBox;
  EventSink eventSink;
};

LogState& State() {
  static LogState* state = new LogState;  // never destroyed: threads may log during exit
  return *state;
}

std::atomic<int> g_level{3};

std::string ResolvePath(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  std::string dir = platform::JoinPath(platform::MachineRoot(), "log");
  platform::MakeDirectories(dir);
  return platform::JoinPath(dir, name);
}

int OpenForAppend(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Keeps `state.fd` open on `state.path`, reopening it when the file was moved or removed.
// Called with the mutex held.
void EnsureOpen(LogState& state) {
  if (state.path.empty()) state.path = ResolvePath(kDefaultLogFile);
  auto now = std::chrono::steady_clock::now();
  if (state.fd >= 0 && now - state.lastCheck < kReopenCheck) return;
  state.lastCheck = now;
  if (state.fd >= 0) {
    struct stat byPath, byFd;
    if (stat(state.path.c_str(), &byPath) == 0 && fstat(state.fd, &byFd) == 0 &&
        byPath.st_ino == byFd.st_ino && byPath.st_dev == byFd.st_dev)
      return;
    close(state.fd);
  }
  state.fd = OpenForAppend(state.path);
}

const char* LevelWord(int level, char* scratch, size_t size) {
  switch (level) {
    case 1: return "ERROR";
    case 2: return "WARN";
    case 3: return "INFO";
    case 5: return "DETAIL";
    default: std::snprintf(scratch, size, "LEVEL%d", level); return scratch;
  }
}

const char* EventWord(int type) {
  switch (type) {
    case 1: return "EVENT-ERROR";
    case 2: return "EVENT-WARN";
    default: return "EVENT-INFO";
  }
}

std::string Stamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return text;
}

// One line, line ends of the message escaped so that a call never spans lines.
std::string Line(const char* word, const char* module, const char* function,
                 const std::string& message) {
  char head[192];
  std::snprintf(head, sizeof head, "%s %-6s pid=%ld tid=%ld ", Stamp().c_str(), word,
                static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid)));
  std::string line = head;
  line += module ? module : "-";
  line += ' ';
  line += function ? function : "-";
  line += ": ";
  for (char c : message) {
    if (c == '\n') line += "\\n";
    else if (c == '\r') line += "\\r";
    else line += c;
  }
  line += '\n';
  return line;
}

void Append(const std::string& line) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  EnsureOpen(state);
  if (state.fd < 0) {
    std::fputs(line.c_str(), stderr);
    return;
  }
  // O_APPEND makes each write land whole at the end, even with other processes writing.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(state.fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

std::string vlZTLog_Format(const char* types, std::initializer_list<LogValue> values) {
  (void)types;  // every value knows its kind; the letters only document the caller's intent
  std::string message;
  for (const LogValue& v : values) {
    if (v.isText()) message.append(v.text());
    else message += std::to_string(v.number());
  }
  return message;
}

void vlZTLog_Write(int level, int show, void* owner, const char* module, const char* function,
                   const std::string& message) {
  if (level <= g_level.load(std::memory_order_relaxed)) {
    char scratch[24];
    Append(Line(LevelWord(level, scratch, sizeof scratch), module, function, message));
  }
  if (show == 1) {
    MessageBoxHook hook;
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      hook = State().messageBox;
    }
    if (hook) hook(owner, level, message);
    else std::fprintf(stderr, "%s\n", message.c_str());
  }
}

void vlZTLog_WriteEvent(int type, const char* module, const char* function,
                        const std::string& message) {
  EventSink sink;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    sink = State().eventSink;
  }
  if (sink) sink(type, module, function, message);
  Append(Line(EventWord(type), module, function, message));
}

int vlZTLog_SetFile(const char* file) {
  if (!file || !*file) return 0;
  std::string name(file);
  if (name.size() > kMaxFileName) return 0;
  std::string path = ResolvePath(name);
  int fd = OpenForAppend(path);
  if (fd < 0) return 0;
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.fd >= 0) close(state.fd);
  state.fd = fd;
  state.path = path;
  state.lastCheck = std::chrono::steady_clock::now();
  return 1;
}

void vlZTLog_SetLevel(int level) { g_level.store(level, std::memory_order_relaxed); }

std::string vlZTLog_CurrentFile() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.path.empty()) state.path = ResolvePath(kDefaultLogFile);
  return state.path;
}

void vlZTLog_SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().messageBox = std::move(hook);
}

void vlZTLog_SetEventSink(EventSink sink) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().eventSink = std::move(sink);
}

}  // namespace vlzt
