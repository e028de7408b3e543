// tests/testing/smtp_server.h
// SMTP peers of the tests on 127.0.0.1: a real server (aiosmtpd) that keeps what it accepts,
// and a scripted one for the faults a real server does not show on demand.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vlzt::testing {

// One message as the real server accepted it.
struct SinkMessage {
  std::string helo;
  std::string from;
  std::vector<std::string> to;
  std::string content;  // header lines, blank line and body, as received

  // The value of the first header line `name` (folded lines joined again), "" when missing.
  std::string Header(const std::string& name) const;
  // Everything after the first blank line.
  std::string Body() const;
};

// aiosmtpd on a free loopback port, for the life of the object (killed in the destructor,
// and it ends by itself when this process goes).
class SmtpSink {
 public:
  // Starts the server with its spool in `folder` (created); `keep` false accepts messages
  // without storing them (benchmarks).
  explicit SmtpSink(const std::string& folder, bool keep = true);
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  // True once the server listens; ServerLog() tells why not.
  bool Started() const { return port_ != 0; }
  uint32_t port() const { return port_; }
  // The messages accepted so far, in order of arrival.
  std::vector<SinkMessage> Messages() const;
  // What the server process wrote to standard output and error.
  std::string ServerLog() const;

 private:
  std::string folder_;
  std::string spool_;
  int pid_ = -1;
  uint32_t port_ = 0;
};

// What a ScriptedSmtpServer answers. Replies are whole texts (with their CR LF); an empty
// reply sends nothing and waits for more, kClose closes the connection instead.
struct SmtpScript {
  static constexpr const char* kClose = "<close>";
  std::string greeting = "220 scripted.test ready\r\n";
  // By command word (HELO, MAIL, RCPT, DATA, QUIT, any other word) and "." for the end of the
  // data; words not listed get 250 (354 for DATA, 221 for QUIT).
  std::map<std::string, std::string> replies;
  // Replies to the first RCPT commands in turn, before `replies` applies.
  std::vector<std::string> rcptReplies;
  // Close the connection as soon as data arrives after the 354.
  bool closeInData = false;
};

// Serves one connection at a time, as the script says, and records every byte it received.
class ScriptedSmtpServer {
 public:
  explicit ScriptedSmtpServer(SmtpScript script);
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  uint32_t port() const { return port_; }
  // Every byte received, over all connections.
  std::string Received() const;
  // The command lines received outside the data, without their CR LF.
  std::vector<std::string> Commands() const;
  // The data of each transaction, up to and without the final "." line, as sent.
  std::vector<std::string> Data() const;
  // Connections accepted so far, and those that have ended.
  int Connections() const { return connections_; }
  int Ended() const { return ended_; }

 private:
  void Run();
  void Serve(int fd);

  SmtpScript script_;
  int listener_ = -1;
  uint32_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> ended_{0};
  mutable std::mutex mutex_;
  std::string received_;
  std::vector<std::string> commands_;
  std::vector<std::string> data_;
  std::thread thread_;
};

}  // namespace vlzt::testing
