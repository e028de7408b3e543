// tests/testing/smtp_server.cpp
#include "tests/testing/smtp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/testing/test_root.h"

namespace vlzt::testing {
namespace {

namespace fs = std::filesystem;

// The sink script lives beside this file in the source tree.
std::string SinkScript() { return (fs::path(__FILE__).parent_path() / "smtp_sink.py").string(); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string SinkMessage::Header(const std::string& name) const {
  std::istringstream in(content);
  std::string line;
  std::string value;
  bool found = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (found) value += line;
      continue;
    }
    if (found) break;
    size_t colon = line.find(':');
    if (colon != std::string::npos && SameIgnoringCase(line.substr(0, colon), name)) {
      found = true;
      value = line.substr(colon + 1);
      if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    }
  }
  return value;
}

std::string SinkMessage::Body() const {
  size_t blank = content.find("\r\n\r\n");
  return blank == std::string::npos ? std::string() : content.substr(blank + 4);
}

SmtpSink::SmtpSink(const std::string& folder, bool keep) : folder_(folder) {
  spool_ = folder + "/spool";
  fs::create_directories(spool_);
  std::string portFile = folder + "/port";
  std::string logFile = folder + "/server.log";
  std::string script = SinkScript();
  std::vector<std::string> args = {"/usr/bin/python3", script, "--spool", spool_, "--port-file",
                                   portFile};
  if (!keep) args.push_back("--discard");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only calls that are safe between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (log >= 0) ::close(log);
  if (pid < 0) return;
  pid_ = pid;
  // The server writes its port once it listens; allow a slow machine plenty of time.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(portFile);
    uint32_t port = 0;
    if (in >> port && port != 0) {
      port_ = port;
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

SmtpSink::~SmtpSink() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::vector<SinkMessage> SmtpSink::Messages() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(spool_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    if (it->path().extension() == ".env") names.push_back(it->path().stem().string());
  std::sort(names.begin(), names.end());
  std::vector<SinkMessage> messages;
  for (const std::string& name : names) {
    SinkMessage m;
    std::istringstream env(ReadFile(spool_ + "/" + name + ".env"));
    std::string line;
    while (std::getline(env, line)) {
      if (line.rfind("HELO ", 0) == 0) m.helo = line.substr(5);
      else if (line.rfind("FROM ", 0) == 0) m.from = line.substr(5);
      else if (line.rfind("TO ", 0) == 0) m.to.push_back(line.substr(3));
    }
    m.content = ReadFile(spool_ + "/" + name + ".eml");
    messages.push_back(std::move(m));
  }
  return messages;
}

std::string SmtpSink::ServerLog() const { return ReadFile(folder_ + "/server.log"); }

ScriptedSmtpServer::ScriptedSmtpServer(SmtpScript script) : script_(std::move(script)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener_, 16) != 0)
    return;
  socklen_t len = sizeof a;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

std::string ScriptedSmtpServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptedSmtpServer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> ScriptedSmtpServer::Data() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return data_;
}

void ScriptedSmtpServer::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);
    ::close(fd);
    ++ended_;
  }
}

void ScriptedSmtpServer::Serve(int fd) {
  auto replyFor = [&](const std::string& word, size_t rcptIndex) -> std::string {
    if (word == "RCPT" && rcptIndex < script_.rcptReplies.size())
      return script_.rcptReplies[rcptIndex];
    auto it = script_.replies.find(word);
    if (it != script_.replies.end()) return it->second;
    if (word == "DATA") return "354 go ahead\r\n";
    if (word == "QUIT") return "221 bye\r\n";
    if (word == ".") return "250 accepted\r\n";
    return "250 OK\r\n";
  };
  // False when the connection is to end.
  auto reply = [&](const std::string& text) {
    if (text == SmtpScript::kClose) return false;
    return text.empty() || SendAll(fd, text);
  };
  if (!reply(script_.greeting)) return;

  std::string in;
  bool inData = false;
  size_t searchFrom = 0;
  size_t rcpts = 0;
  char buffer[65536];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buffer, static_cast<size_t>(n));
    }
    in.append(buffer, static_cast<size_t>(n));
    for (;;) {
      if (inData) {
        if (script_.closeInData && !in.empty()) return;
        size_t end;
        if (in.rfind(".\r\n", 0) == 0) {
          end = 0;
        } else {
          size_t found = in.find("\r\n.\r\n", searchFrom);
          if (found == std::string::npos) {
            searchFrom = in.size() >= 4 ? in.size() - 4 : 0;
            break;
          }
          end = found + 2;
        }
        {
          std::lock_guard<std::mutex> lock(mutex_);
          data_.push_back(in.substr(0, end));
        }
        in.erase(0, end + 3);
        inData = false;
        searchFrom = 0;
        if (!reply(replyFor(".", 0))) return;
        continue;
      }
      size_t eol = in.find("\r\n");
      if (eol == std::string::npos) break;
      std::string line = in.substr(0, eol);
      in.erase(0, eol + 2);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(line);
      }
      std::string word = Upper(line.substr(0, line.find_first_of(" :")));
      std::string text = replyFor(word, word == "RCPT" ? rcpts++ : 0);
      if (!reply(text)) return;
      if (word == "DATA" && text.rfind("354", 0) == 0) inData = true;
    }
  }
}

}  // namespace vlzt::testing
