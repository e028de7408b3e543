// Alert e-mails per second accepted by a real SMTP server (aiosmtpd) on loopback: bare SMTP
// exchanges, stored alerts mailed with the built-in text to one and to ten recipients, and
// alerts with a 1 MB message; and the latency from a line appended to a monitored log file to
// the message accepted by the server, through the monitor and alert threads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <algorithm>
#include <vector>

#include "alerting/alert_notification.h"
#include "alerting/email.h"
#include "monitors/logfile_monitor.h"
#include "alerting/recipients.h"
#include "alerting/substitution.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "protocols/smtp_client.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The tests' SMTP peer, started to accept and discard; its port, or 0.
uint32_t StartServer(const std::string& base, std::unique_ptr<vlzt::platform::Process>& process,
                     bool discard = true) {
  std::string script =
      (std::filesystem::path(__FILE__).parent_path().parent_path() / "tests/testing/smtp_sink.py").string();
  std::string portFile = base + "/port";
  vlzt::platform::MakeDirectories(base + "/spool");
  vlzt::platform::ProcessOptions options;
  options.stdoutFile = base + "/server.log";
  options.stderrFile = base + "/server.log";
  process = vlzt::platform::Process::Start("\"/usr/bin/python3\" \"" + script + "\" --spool \"" + base +
                                               "/spool\" --port-file \"" + portFile + "\"" + (discard ? " --discard" : ""),
                                           options);
  if (!process) return 0;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline) {
    std::ifstream in(portFile);
    uint32_t port = 0;
    if (in >> port && port != 0) return port;
    if (process->ExitCode() != vlzt::platform::STILL_ACTIVE) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

void WriteAlert(const std::string& file, const std::string& message) {
  auto put = [&](const char* key, const std::string& value) {
    vlzt::platform::WritePrivateProfileString("Default", key, value.c_str(), file);
  };
  put("Message", message);
  put("MessageSize", std::to_string(message.size()));
  put("ErrorType", "4");
  put("AlertLevel", "4");
  put("Time", "01/02/2024 10:11:12");
  put("AppName", "Application");
  put("ErrorTitle", "Bench check");
}

void Recipients(int count) {
  vlzt::vlZTREG_DeleteSubKey(vlzt::kAlertingConfigKey, "Contacts", 0);
  for (int i = 1; i <= count; ++i) {
    vlzt::vlZTREG_WriteString(vlzt::kContactsKey, "EMail" + std::to_string(i),
                              "user" + std::to_string(i) + "@example.test");
    vlzt::vlZTREG_WriteNumber(vlzt::kContactsKey, "EMailLevel" + std::to_string(i), 4);
  }
}

void Server(uint32_t port) {
  vlzt::vlZTREG_WriteString(vlzt::kContactsKey, "E-Mail Server", "127.0.0.1");
  vlzt::vlZTREG_WriteNumber(vlzt::kContactsKey, "E-Mail Server Port", static_cast<int32_t>(port));
  vlzt::vlZTREG_WriteString(vlzt::kContactsKey, "Sender", "monitor@example.test");
}

}  // namespace

int main() {
  char dir[] = "/tmp/vlzt-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string base = dir;
  setenv("VLZT_ROOT", (base + "/root").c_str(), 1);
  vlzt::vlZTLog_SetLevel(1);
  vlzt::ServiceStateRecord& s = vlzt::ServiceState();
  s.DataDirectory = base + "/data";
  s.ComputerName = "BENCH";
  vlzt::platform::MakeDirectories(s.DataDirectory);

  std::unique_ptr<vlzt::platform::Process> server;
  uint32_t port = StartServer(base + "/sink", server);
  if (port == 0) {
    std::printf("email_bench: the SMTP server (python3-aiosmtpd) could not be started\n");
    std::filesystem::remove_all(base);
    return 1;
  }

  // The server's first connections are slower; they are not part of the figures.
  for (int i = 0; i < 50; ++i)
    vlzt::vlZTNotify_SMTPConnectAndSend("127.0.0.1", "127.0.0.1", port, "monitor@example.test",
                                        "ann@example.test", "Warm-up", "A short alert text.");
  constexpr int kExchanges = 500;
  int ok = 0;
  auto start = Clock::now();
  for (int i = 0; i < kExchanges; ++i)
    ok += vlzt::vlZTNotify_SMTPConnectAndSend("127.0.0.1", "127.0.0.1", port, "monitor@example.test",
                                              "ann@example.test", "Bench", "A short alert text.");
  double exchanges = ok / Seconds(start);
  std::printf("SMTP exchanges (connect, HELO, MAIL, RCPT, DATA, QUIT), 20-byte body: %8.0f /s (%d of %d accepted)\n",
              exchanges, ok, kExchanges);

  Server(port);
  std::string file = base + "/data/LOG1.err";
  WriteAlert(file, "Disk C: is 95% full on the bench machine");
  for (int recipients : {1, 10}) {
    Recipients(recipients);
    Server(port);
    const int alerts = recipients == 1 ? 300 : 40;
    int sent = 0;
    start = Clock::now();
    for (int i = 0; i < alerts; ++i) sent += vlzt::SendEMailMessageFromFile(file);
    double seconds = Seconds(start);
    std::printf("alert e-mails from a stored message, built-in text, %2d recipient(s): %8.0f e-mails/s "
                "(%d of %d alerts sent)\n",
                recipients, alerts * recipients / seconds, sent, alerts);
  }

  Recipients(1);
  Server(port);
  WriteAlert(file, std::string(1 << 20, 'm'));
  constexpr int kLarge = 10;
  int sent = 0;
  start = Clock::now();
  for (int i = 0; i < kLarge; ++i) sent += vlzt::SendEMailMessageFromFile(file);
  double seconds = Seconds(start);
  std::printf("alert e-mails with a 1 MB message, 1 recipient: %8.1f e-mails/s, %6.1f MB/s (%d of %d sent)\n",
              kLarge / seconds, kLarge / seconds, sent, kLarge);
  // Latency: a line appended to a watched file until the server holds the message. The
  // monitor looks every second, so the figures include up to a second of waiting.
  std::unique_ptr<vlzt::platform::Process> keeper;
  uint32_t keepPort = StartServer(base + "/keep", keeper, false);
  if (keepPort != 0) {
    std::string watched = base + "/watched.log";
    std::ofstream(watched).close();
    const std::string check = std::string(vlzt::kAlertingConfigKey) + "\\LOGS\\Log1";
    vlzt::vlZTREG_WriteNumber(vlzt::kAlertingConfigKey, "LogFilePollInterval", 1);
    vlzt::vlZTREG_WriteNumber(check, "LogType", 3);
    vlzt::vlZTREG_WriteFlag(check, "Enabled", 1);
    vlzt::vlZTREG_WriteString(check, "File", watched);
    vlzt::vlZTREG_WriteString(check, "Name", "Latency probe");
    vlzt::vlZTREG_WriteNumber(check, "AlertLevel", 4);
    vlzt::vlZTREG_WriteString(check, "KeywordInclude1", "latency probe");
    Recipients(1);
    Server(keepPort);
    s.Home = base;
    s.ThreadsReleased.Set();
    vlzt::InstallEMailChannel();
    std::thread monitor([] { vlzt::VerifyLogFiles(); });
    std::thread alerts(vlzt::AlertNotification);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto spooled = [&] {
      size_t n = 0;
      for (const auto& e : std::filesystem::directory_iterator(base + "/keep/spool"))
        n += e.path().extension() == ".eml";
      return n;
    };
    std::vector<double> latencies;
    for (int i = 0; i < 10; ++i) {
      // Lines arrive at any moment of the poll interval.
      std::this_thread::sleep_for(std::chrono::milliseconds(97 * i % 1000));
      size_t before = spooled();
      auto written = Clock::now();
      std::ofstream(watched, std::ios::app) << "kernel: latency probe " << i << " failed\n";
      auto deadline = written + std::chrono::seconds(30);
      while (spooled() == before && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (spooled() > before) latencies.push_back(Seconds(written) * 1000);
    }
    s.StopServerEvent.Set();
    monitor.join();
    alerts.join();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
      std::printf("line appended to a watched file -> message accepted (LogFilePollInterval 1): median %.0f ms, "
                  "max %.0f ms (%zu of 10 arrived)\n",
                  latencies[latencies.size() / 2], latencies.back(), latencies.size());
    keeper->Terminate();
    keeper->Wait(10000);
  }

  server->Terminate();
  server->Wait(10000);
  std::filesystem::remove_all(base);
  return 0;
}
