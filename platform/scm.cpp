// platform/scm.cpp
// A started service runs under a small /bin/sh watcher that records the program's exit
// code, so a program that dies without reporting still reads as stopped with its code.
#include "platform/scm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/system.h"

extern char** environ;

namespace vlzt::platform {
namespace {

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
constexpr const char* kLaunchVariable = "VLZT_SCM_SERVICE";
constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr int kControlTimeoutMs = 120000;

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 256) return false;
  for (char c : name)
    if (c == '\\' || c == '/' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
  return name != "." && name != "..";
}

// ---- Status file ----

struct Published {
  SERVICE_STATUS status;
  uint32_t pid = 0;         // the service program, once its dispatcher reported
  uint32_t watcher = 0;     // the shell that waits for the program
  uint64_t pidStart = 0;    // start times guard against reused process ids
  uint64_t watcherStart = 0;
  bool dispatcher = false;  // the control channel is open
};

uint64_t ProcessStartTime(uint32_t pid) {
  if (pid == 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 3 && (field == "Z" || field == "X")) return 0;  // a zombie has ended
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

bool Alive(uint32_t pid, uint64_t start) {
  if (pid == 0) return false;
  uint64_t now = ProcessStartTime(pid);
  return now != 0 && (start == 0 || now == start);
}

std::string ServiceDir(const std::string& root, const std::string& name) {
  return JoinPath(JoinPath(root, "services"), Lower(name));
}

bool ReadPublished(const std::string& dir, Published* p) {
  std::ifstream in(JoinPath(dir, "status"));
  if (!in) return false;
  std::map<std::string, uint64_t> v;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) v[line.substr(0, eq)] = std::strtoull(line.c_str() + eq + 1, nullptr, 10);
  }
  p->status.dwServiceType = static_cast<uint32_t>(v["type"]);
  p->status.dwCurrentState = static_cast<uint32_t>(v["state"]);
  p->status.dwControlsAccepted = static_cast<uint32_t>(v["accepted"]);
  p->status.dwWin32ExitCode = static_cast<uint32_t>(v["exit"]);
  p->status.dwServiceSpecificExitCode = static_cast<uint32_t>(v["specific"]);
  p->status.dwCheckPoint = static_cast<uint32_t>(v["checkpoint"]);
  p->status.dwWaitHint = static_cast<uint32_t>(v["waithint"]);
  p->pid = static_cast<uint32_t>(v["pid"]);
  p->watcher = static_cast<uint32_t>(v["watcher"]);
  p->pidStart = v["pidstart"];
  p->watcherStart = v["watcherstart"];
  p->dispatcher = v["dispatcher"] != 0;
  return p->status.dwCurrentState != 0;
}

bool WritePublished(const std::string& dir, const Published& p) {
  MakeDirectories(dir);
  std::ostringstream out;
  out << "type=" << p.status.dwServiceType << "\nstate=" << p.status.dwCurrentState
      << "\naccepted=" << p.status.dwControlsAccepted << "\nexit=" << p.status.dwWin32ExitCode
      << "\nspecific=" << p.status.dwServiceSpecificExitCode << "\ncheckpoint=" << p.status.dwCheckPoint
      << "\nwaithint=" << p.status.dwWaitHint << "\npid=" << p.pid << "\npidstart=" << p.pidStart
      << "\nwatcher=" << p.watcher << "\nwatcherstart=" << p.watcherStart
      << "\ndispatcher=" << (p.dispatcher ? 1 : 0) << "\n";
  std::string temp = JoinPath(dir, "status." + std::to_string(getpid()) + "." +
                                       std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id())) + ".tmp");
  {
    std::ofstream f(temp, std::ios::trunc);
    f << out.str();
    if (!f.good()) return false;
  }
  return std::rename(temp.c_str(), JoinPath(dir, "status").c_str()) == 0;
}

// The exit code that watcher `watcher` recorded, or -1. Each watcher writes its own file,
// so a watcher still finishing an earlier run cannot answer for a new one.
long RecordedExit(const std::string& dir, uint32_t watcher) {
  std::ifstream in(JoinPath(dir, "exit." + std::to_string(watcher)));
  long code;
  if (in >> code) return code;
  return -1;
}

// Each run of a service program has a channel of its own, so a program still ending cannot
// take away the channel of the next run.
std::string ControlSocketPath(const std::string& dir, uint32_t pid) {
  return JoinPath(dir, "control." + std::to_string(pid) + ".sock");
}

// ---- Handles ----

}  // namespace

struct ScHandleObject {
  bool manager = false;
  std::string machine;  // "" for this computer, else its name in the computer map
  std::string root;     // machine root of the computer
  std::string name;     // service name as stored
  uint32_t access = 0;
};

namespace {

// Registry access to the computer of a handle: the local root key, or a connected one.
class Registry {
 public:
  explicit Registry(const std::string& machine) {
    if (machine.empty()) key_ = HKEY_LOCAL_MACHINE;
    else if (RegConnectRegistry(machine, &owned_) == 0) key_ = owned_;
  }
  ~Registry() {
    if (owned_) RegCloseKey(owned_);
  }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;
  HKEY key() const { return key_; }

 private:
  HKEY key_ = nullptr;
  HKEY owned_ = nullptr;
};

std::string ServiceKey(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }

bool ReadText(HKEY root, const std::string& path, const std::string& value, std::string* out) {
  RegValue v;
  if (RegGetValue(root, path, value, &v) != 0 || (v.type != REG_SZ && v.type != REG_EXPAND_SZ)) return false;
  *out = RegDataString(v.data);
  return true;
}

bool ReadDword(HKEY root, const std::string& path, const std::string& value, uint32_t* out) {
  RegValue v;
  if (RegGetValue(root, path, value, &v) != 0 || v.type != REG_DWORD) return false;
  *out = RegDataDword(v.data);
  return true;
}

// The stored name of service `name` (any letter case), or "" when it is not installed.
std::string StoredName(HKEY root, const std::string& name) {
  HKEY key;
  if (!ValidName(name) || RegOpenKey(root, ServiceKey(name), KEY_READ, &key) != 0) return "";
  RegCloseKey(key);
  HKEY services;
  std::vector<std::string> names;
  if (RegOpenKey(root, kServicesKey, KEY_READ, &services) == 0) {
    RegEnumKeys(services, &names);
    RegCloseKey(services);
  }
  for (const auto& n : names)
    if (Lower(n) == Lower(name)) {
      uint32_t type = 0;
      return ReadDword(root, ServiceKey(n), "Type", &type) ? n : "";
    }
  return "";
}

void RemoveService(HKEY root, const std::string& machineRoot, const std::string& name) {
  RegDeleteTree(root, ServiceKey(name));
  std::error_code ec;
  std::filesystem::remove_all(ServiceDir(machineRoot, name), ec);
}

// The status as it stands: a published state whose process has ended reads as stopped.
Published CurrentStatus(const std::string& root, const std::string& name) {
  std::string dir = ServiceDir(root, name);
  Published p;
  if (!ReadPublished(dir, &p)) {
    p = Published{};
    p.status.dwCurrentState = SERVICE_STOPPED;
    return p;
  }
  if (p.status.dwCurrentState == SERVICE_STOPPED) return p;
  bool programAlive = p.dispatcher ? Alive(p.pid, p.pidStart) : false;
  bool watcherAlive = Alive(p.watcher, p.watcherStart);
  if (programAlive || (!p.dispatcher && watcherAlive)) return p;
  // The program is gone; give its watcher a moment to record the exit code.
  for (int i = 0; i < 50 && watcherAlive && RecordedExit(dir, p.watcher) < 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    watcherAlive = Alive(p.watcher, p.watcherStart);
  }
  long code = RecordedExit(dir, p.watcher);
  p.status.dwCurrentState = SERVICE_STOPPED;
  p.status.dwControlsAccepted = 0;
  p.status.dwCheckPoint = 0;
  p.status.dwWaitHint = 0;
  p.status.dwWin32ExitCode = code >= 0 ? static_cast<uint32_t>(code) : 1067;
  p.pid = 0;
  p.dispatcher = false;
  WritePublished(dir, p);
  return p;
}

// Deletes a service marked for deletion once it has stopped; true when it was deleted.
bool FinishPendingDelete(HKEY root, const std::string& machineRoot, const std::string& name) {
  uint32_t flag = 0;
  if (!ReadDword(root, ServiceKey(name), "DeleteFlag", &flag) || flag == 0) return false;
  if (CurrentStatus(machineRoot, name).status.dwCurrentState != SERVICE_STOPPED) return false;
  RemoveService(root, machineRoot, name);
  return true;
}

// Splits an image path into program and arguments: a quoted program, a program path that
// exists as written (spaces and all), or words separated by blanks.
std::vector<std::string> SplitImagePath(const std::string& image) {
  std::vector<std::string> words;
  std::string rest;
  if (!image.empty() && image[0] == '"') {
    size_t close = image.find('"', 1);
    words.push_back(image.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    rest = close == std::string::npos ? "" : image.substr(close + 1);
  } else if (access(image.c_str(), F_OK) == 0) {
    return {image};
  } else {
    rest = image;
  }
  std::istringstream in(rest);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, void* data, size_t size, int timeoutMs) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SocketAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

namespace {

// A handle on service `name` of the computer of `manager`.
SC_HANDLE ServiceHandle(SC_HANDLE manager, const std::string& name, uint32_t access) {
  auto* h = new ScHandleObject;
  h->machine = manager->machine;
  h->root = manager->root;
  h->name = name;
  h->access = access;
  SetLastError(0);
  return h;
}

}  // namespace

SC_HANDLE OpenSCManager(const std::string& machine, uint32_t access) {
  std::string root = RootOfComputer(machine);
  bool local = root == MachineRoot();
  if (root.empty() || (!local && ::access(root.c_str(), F_OK) != 0)) {
    Fail(53);
    return nullptr;
  }
  if (local && EnsureMachineRoot(root) != 0) {
    Fail(5);
    return nullptr;
  }
  auto* h = new ScHandleObject;
  h->manager = true;
  h->root = root;
  if (root != MachineRoot()) h->machine = machine;
  h->access = access;
  SetLastError(0);
  return h;
}

SC_HANDLE OpenService(SC_HANDLE manager, const std::string& name, uint32_t access) {
  if (!manager || !manager->manager) {
    Fail(6);
    return nullptr;
  }
  Registry reg(manager->machine);
  std::string stored = StoredName(reg.key(), name);
  if (stored.empty() || FinishPendingDelete(reg.key(), manager->root, stored)) {
    Fail(1060);
    return nullptr;
  }
  return ServiceHandle(manager, stored, access);
}

bool CloseServiceHandle(SC_HANDLE handle) {
  if (!handle) return Fail(6);
  delete handle;
  return true;
}

SC_HANDLE CreateService(SC_HANDLE manager, const std::string& name, const ServiceConfig& config,
                        uint32_t access) {
  if (!manager || !manager->manager) {
    Fail(6);
    return nullptr;
  }
  if (!(manager->access & SC_MANAGER_CREATE_SERVICE)) {
    Fail(5);
    return nullptr;
  }
  if (!ValidName(name) || config.binaryPath.empty()) {
    Fail(87);
    return nullptr;
  }
  Registry reg(manager->machine);
  std::string stored = StoredName(reg.key(), name);
  if (!stored.empty()) {
    uint32_t flag = 0;
    Fail(ReadDword(reg.key(), ServiceKey(stored), "DeleteFlag", &flag) && flag ? 1072 : 1073);
    return nullptr;
  }
  std::string key = ServiceKey(name);
  long rc = RegTransaction(reg.key(), [&]() -> long {
    long r = RegPutValue(reg.key(), key, "Type", REG_DWORD, RegDwordData(config.serviceType));
    if (!r) r = RegPutValue(reg.key(), key, "Start", REG_DWORD, RegDwordData(config.startType));
    if (!r) r = RegPutValue(reg.key(), key, "ErrorControl", REG_DWORD, RegDwordData(config.errorControl));
    if (!r) r = RegPutValue(reg.key(), key, "ImagePath", REG_EXPAND_SZ, RegStringData(config.binaryPath));
    if (!r) r = RegPutValue(reg.key(), key, "DisplayName", REG_SZ,
                            RegStringData(config.displayName.empty() ? name : config.displayName));
    if (!r) r = RegPutValue(reg.key(), key, "ObjectName", REG_SZ,
                            RegStringData(config.account.empty() ? "LocalSystem" : config.account));
    if (!r && !config.description.empty())
      r = RegPutValue(reg.key(), key, "Description", REG_SZ, RegStringData(config.description));
    return r;
  });
  if (rc != 0) {
    Fail(static_cast<uint32_t>(rc));
    return nullptr;
  }
  return ServiceHandle(manager, name, access);
}

bool QueryServiceConfig(SC_HANDLE service, ServiceConfig* config) {
  if (!service || service->manager) return Fail(6);
  if (!(service->access & SERVICE_QUERY_CONFIG)) return Fail(5);
  Registry reg(service->machine);
  std::string key = ServiceKey(service->name);
  ServiceConfig c;
  if (!ReadDword(reg.key(), key, "Type", &c.serviceType)) return Fail(1060);
  ReadDword(reg.key(), key, "Start", &c.startType);
  ReadDword(reg.key(), key, "ErrorControl", &c.errorControl);
  ReadText(reg.key(), key, "ImagePath", &c.binaryPath);
  ReadText(reg.key(), key, "DisplayName", &c.displayName);
  ReadText(reg.key(), key, "ObjectName", &c.account);
  ReadText(reg.key(), key, "Description", &c.description);
  *config = c;
  return true;
}

bool ChangeServiceDescription(SC_HANDLE service, const std::string& description) {
  if (!service || service->manager) return Fail(6);
  if (!(service->access & SERVICE_CHANGE_CONFIG)) return Fail(5);
  Registry reg(service->machine);
  long rc = RegPutValue(reg.key(), ServiceKey(service->name), "Description", REG_SZ,
                        RegStringData(description));
  return rc == 0 ? true : Fail(static_cast<uint32_t>(rc));
}

bool DeleteService(SC_HANDLE service) {
  if (!service || service->manager) return Fail(6);
  if (!(service->access & SERVICE_DELETE)) return Fail(5);
  Registry reg(service->machine);
  if (StoredName(reg.key(), service->name).empty()) return Fail(1060);
  uint32_t flag = 0;
  if (ReadDword(reg.key(), ServiceKey(service->name), "DeleteFlag", &flag) && flag) return Fail(1072);
  if (CurrentStatus(service->root, service->name).status.dwCurrentState == SERVICE_STOPPED) {
    RemoveService(reg.key(), service->root, service->name);
    return true;
  }
  long rc = RegPutValue(reg.key(), ServiceKey(service->name), "DeleteFlag", REG_DWORD, RegDwordData(1));
  return rc == 0 ? true : Fail(static_cast<uint32_t>(rc));
}

bool QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  if (!service || service->manager || !status) return Fail(6);
  if (!(service->access & SERVICE_QUERY_STATUS)) return Fail(5);
  Published p = CurrentStatus(service->root, service->name);
  static_cast<SERVICE_STATUS&>(*status) = p.status;
  status->dwProcessId = p.status.dwCurrentState == SERVICE_STOPPED ? 0 : (p.pid ? p.pid : p.watcher);
  return true;
}

bool StartService(SC_HANDLE service, const std::vector<std::string>& arguments) {
  if (!service || service->manager) return Fail(6);
  if (!(service->access & SERVICE_START)) return Fail(5);
  Registry reg(service->machine);
  std::string key = ServiceKey(service->name);
  uint32_t flag = 0, start = SERVICE_DEMAND_START;
  if (ReadDword(reg.key(), key, "DeleteFlag", &flag) && flag) return Fail(1072);
  ReadDword(reg.key(), key, "Start", &start);
  if (start == SERVICE_DISABLED) return Fail(1058);
  std::string image;
  if (!ReadText(reg.key(), key, "ImagePath", &image)) return Fail(1060);
  std::string dir = ServiceDir(service->root, service->name);
  if (CurrentStatus(service->root, service->name).status.dwCurrentState != SERVICE_STOPPED)
    return Fail(1056);

  std::vector<std::string> argv = SplitImagePath(image);
  if (argv.empty()) return Fail(2);
  if (access(argv[0].c_str(), F_OK) != 0) return Fail(2);
  if (access(argv[0].c_str(), X_OK) != 0) return Fail(5);
  for (const auto& a : arguments) argv.push_back(a);

  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  MakeDirectories(dir);
  // Exit codes of earlier runs are of no use any more.
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec))
    if (it->path().filename().string().rfind("exit.", 0) == 0) std::filesystem::remove(it->path(), ec);
  const std::string script =
      "\"$@\" </dev/null >>\"$VLZT_SCM_DIR/output.log\" 2>&1; code=$?; "
      "printf '%s\\n' \"$code\" >\"$VLZT_SCM_DIR/exit.$$.tmp\" && mv -f \"$VLZT_SCM_DIR/exit.$$.tmp\" \"$VLZT_SCM_DIR/exit.$$\"";
  std::vector<std::string> args = {"/bin/sh", "-c", script, "vlzt-service"};
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s(*e);
    if (s.rfind("VLZT_SCM_", 0) != 0 && s.rfind("VLZT_ROOT=", 0) != 0) env.push_back(s);
  }
  env.push_back(std::string(kLaunchVariable) + "=" + service->name);
  env.push_back("VLZT_SCM_DIR=" + dir);
  env.push_back("VLZT_ROOT=" + service->root);
  std::vector<char*> cargs, cenv;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  int info[2], go[2];
  if (pipe2(info, O_CLOEXEC) != 0) return Fail(ErrorFromErrno(errno));
  if (pipe2(go, O_CLOEXEC) != 0) {
    close(info[0]);
    close(info[1]);
    return Fail(ErrorFromErrno(errno));
  }
  pid_t first = fork();
  if (first < 0) {
    int err = errno;
    for (int fd : {info[0], info[1], go[0], go[1]}) close(fd);
    return Fail(ErrorFromErrno(err));
  }
  if (first == 0) {
    // Detach from the controller's session; the watcher's parent becomes init.
    setsid();
    pid_t watcher = fork();
    if (watcher == 0) {
      char byte;
      while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
      }
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
      }
      signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve("/bin/sh", cargs.data(), cenv.data());
      _exit(127);
    }
    int32_t pid = watcher;
    (void)!write(info[1], &pid, sizeof pid);
    _exit(0);
  }
  close(info[1]);
  close(go[0]);
  int32_t watcher = -1;
  bool got = read(info[0], &watcher, sizeof watcher) == sizeof watcher && watcher > 0;
  close(info[0]);
  while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!got) {
    close(go[1]);
    return Fail(1);
  }
  Published p;
  p.status.dwCurrentState = SERVICE_START_PENDING;
  p.status.dwWaitHint = 30000;
  p.watcher = static_cast<uint32_t>(watcher);
  p.watcherStart = ProcessStartTime(p.watcher);
  WritePublished(dir, p);
  (void)!write(go[1], "g", 1);
  close(go[1]);

  auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    Published now;
    if (ReadPublished(dir, &now) && now.dispatcher) return true;
    if (!Alive(p.watcher, p.watcherStart) || RecordedExit(dir, p.watcher) >= 0) {
      CurrentStatus(service->root, service->name);
      return Fail(1067);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Fail(1053);
}

bool ControlService(SC_HANDLE service, uint32_t control, SERVICE_STATUS* status) {
  if (!service || service->manager) return Fail(6);
  uint32_t needed = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
  if (control == SERVICE_CONTROL_INTERROGATE) needed = SERVICE_INTERROGATE | SERVICE_QUERY_STATUS;
  if (!(service->access & needed)) return Fail(5);
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) return Fail(1052);
  std::string dir = ServiceDir(service->root, service->name);
  Published p = CurrentStatus(service->root, service->name);
  if (status) *status = p.status;
  if (p.status.dwCurrentState == SERVICE_STOPPED) return Fail(1062);
  if (!p.dispatcher) return Fail(1061);
  sockaddr_un addr;
  if (!SocketAddress(ControlSocketPath(dir, p.pid), &addr)) return Fail(87);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(ErrorFromErrno(errno));
  uint32_t reply = 0;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            SendAll(fd, &control, sizeof control) && ReceiveAll(fd, &reply, sizeof reply, kControlTimeoutMs);
  close(fd);
  if (!ok) {
    p = CurrentStatus(service->root, service->name);
    if (status) *status = p.status;
    return Fail(p.status.dwCurrentState == SERVICE_STOPPED ? 1062 : 1053);
  }
  p = CurrentStatus(service->root, service->name);
  if (status) *status = p.status;
  if (reply != 0) return Fail(reply);
  return true;
}

std::vector<std::string> AutoStartServices() {
  std::vector<std::string> names, result;
  HKEY services;
  if (RegOpenKey(HKEY_LOCAL_MACHINE, kServicesKey, KEY_READ, &services) != 0) return result;
  RegEnumKeys(services, &names);
  RegCloseKey(services);
  for (const auto& n : names) {
    uint32_t start = 0, type = 0;
    std::string image;
    if (ReadDword(HKEY_LOCAL_MACHINE, ServiceKey(n), "Start", &start) && start == SERVICE_AUTO_START &&
        ReadDword(HKEY_LOCAL_MACHINE, ServiceKey(n), "Type", &type) && (type & SERVICE_WIN32_OWN_PROCESS) &&
        ReadText(HKEY_LOCAL_MACHINE, ServiceKey(n), "ImagePath", &image))
      result.push_back(n);
  }
  return result;
}

// ---- Inside the service program ----

namespace {

struct Dispatcher {
  std::mutex mutex;
  std::string name;
  std::string dir;
  HandlerFunction handler;
  Published published;
  bool active = false;
  std::atomic<bool> stopped{false};
};

Dispatcher& TheDispatcher() {
  static Dispatcher* d = new Dispatcher;
  return *d;
}

const int kStatusHandleTag = 0;

}  // namespace

bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table) {
  const char* launched = std::getenv(kLaunchVariable);
  const char* dirVar = std::getenv("VLZT_SCM_DIR");
  const ServiceTableEntry* entry = nullptr;
  for (const auto& e : table)
    if (launched && dirVar && Lower(e.name) == Lower(launched)) entry = &e;
  if (!entry) return Fail(1063);
  std::string dir = dirVar;
  // Children of the service are not services.
  unsetenv(kLaunchVariable);
  unsetenv("VLZT_SCM_DIR");

  std::string socketPath = ControlSocketPath(dir, static_cast<uint32_t>(getpid()));
  sockaddr_un addr;
  if (!SocketAddress(socketPath, &addr)) return Fail(87);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return Fail(ErrorFromErrno(errno));
  unlink(socketPath.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0) {
    int err = errno;
    close(listener);
    return Fail(ErrorFromErrno(err));
  }
  signal(SIGPIPE, SIG_IGN);

  Dispatcher& d = TheDispatcher();
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.name = entry->name;
    d.dir = dir;
    d.active = true;
    ReadPublished(dir, &d.published);
    d.published.pid = static_cast<uint32_t>(getpid());
    d.published.pidStart = ProcessStartTime(d.published.pid);
    d.published.dispatcher = true;
    WritePublished(dir, d.published);
  }

  ServiceMainFunction main = entry->main;
  std::thread serviceThread([main, name = entry->name, &d] {
    main({name});
    // A main routine that returns has nothing left to control, reported or not.
    d.stopped.store(true);
  });

  while (!d.stopped.load()) {
    pollfd pfd{listener, POLLIN, 0};
    int r = poll(&pfd, 1, 100);
    if (r <= 0) continue;
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    uint32_t control = 0, reply = 0;
    if (ReceiveAll(client, &control, sizeof control, 5000)) {
      HandlerFunction handler;
      uint32_t accepted, state;
      {
        std::lock_guard<std::mutex> lock(d.mutex);
        handler = d.handler;
        accepted = d.published.status.dwControlsAccepted;
        state = d.published.status.dwCurrentState;
      }
      if (control == SERVICE_CONTROL_STOP && (!(accepted & SERVICE_ACCEPT_STOP) || state == SERVICE_STOPPED))
        reply = 1061;
      else if (!handler)
        reply = 1061;
      else
        handler(control);
      SendAll(client, &reply, sizeof reply);
    }
    close(client);
  }
  close(listener);
  unlink(socketPath.c_str());
  serviceThread.join();
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.active = false;
  }
  // A service deleted while it ran goes now that it has stopped.
  std::string root = MachineRoot();
  FinishPendingDelete(HKEY_LOCAL_MACHINE, root, d.name);
  return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::string& name, HandlerFunction handler) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.active || Lower(name) != Lower(d.name)) {
    Fail(1063);
    return nullptr;
  }
  d.handler = std::move(handler);
  return const_cast<int*>(&kStatusHandleTag);
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
  if (handle != &kStatusHandleTag) return Fail(6);
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.active) return Fail(6);
  d.published.status = status;
  if (!WritePublished(d.dir, d.published)) return Fail(ErrorFromErrno(errno));
  if (status.dwCurrentState == SERVICE_STOPPED) d.stopped.store(true);
  return true;
}

}  // namespace vlzt::platform
