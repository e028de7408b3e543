// bench/logfile_bench.cpp
// Lines per second through the log-file monitor's read-and-match pass over a generated log of
// 1 000 000 syslog-like lines, with 1, 10 and 100 checks, against grep -c -i -F -f on the same
// file and phrases; and the peak resident memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "monitors/check_config.h"
#include "monitors/logfile_monitor.h"
#include "platform/machine_root.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kLines = 1000000;
const std::string kLogs = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion\\LOGS";

std::string MakeLog(const std::string& path) {
  std::mt19937 rng(20070305);
  auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
  const char* programs[] = {"sshd", "kernel", "CRON", "systemd", "postfix/smtpd", "nginx", "dhclient", "app"};
  const char* texts[] = {"Accepted publickey for user%u from 10.1.2.%u port 22 ssh2",
                         "pam_unix(sshd:session): session opened for user user%u by (uid=0)",
                         "eth0: link is up, %u Mbps full duplex %u",
                         "(root) CMD (run-parts /etc/cron.hourly) %u %u",
                         "Started Session %u of user user%u.",
                         "10.0.0.%u - - \"GET /api/v1/items/%u HTTP/1.1\" 200 5120",
                         "worker %u finished job %u in 12 ms"};
  std::ofstream out(path, std::ios::binary);
  char line[512], body[256];
  size_t bytes = 0;
  for (size_t i = 0; i < kLines; ++i) {
    std::snprintf(body, sizeof body, texts[pick(7)], pick(30000), pick(30000));
    int n = std::snprintf(line, sizeof line, "Mar %2u %02u:%02u:%02u host%02u %s[%u]: %s%s\n", 1 + pick(28),
                          pick(24), pick(60), pick(60), pick(40), programs[pick(8)], 100 + pick(30000), body,
                          i % 10000 == 0 ? " disk failure detected on sda" : "");
    out.write(line, n);
    bytes += static_cast<size_t>(n);
  }
  return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

// Checks 1..count on `file`: two include phrases (some with [AND]) and one exclude phrase.
std::vector<std::string> Configure(const std::string& file, int count) {
  vlzt::vlZTREG_DeleteSubKey(kLogs.substr(0, kLogs.rfind('\\')), "LOGS", 0);
  std::vector<std::string> parts;
  for (int n = 1; n <= count; ++n) {
    std::string key = kLogs + "\\Log" + std::to_string(n);
    vlzt::vlZTREG_WriteNumber(key, "LogType", 3);
    vlzt::vlZTREG_WriteFlag(key, "Enabled", 1);
    vlzt::vlZTREG_WriteString(key, "File", file);
    vlzt::vlZTREG_WriteString(key, "Name", "Check " + std::to_string(n));
    std::string a = n == 1 ? "disk failure" : "error code " + std::to_string(1000 + n);
    std::string b = "segfault at " + std::to_string(n) + " [AND] kernel";
    std::string x = "ignore-" + std::to_string(n);
    vlzt::vlZTREG_WriteString(key, "KeywordInclude1", a);
    vlzt::vlZTREG_WriteString(key, "KeywordInclude2", b);
    vlzt::vlZTREG_WriteString(key, "KeywordExclude1", x);
    parts.insert(parts.end(), {a, "segfault at " + std::to_string(n), "kernel"});
  }
  return parts;
}

double GrepSeconds(const std::string& file, const std::vector<std::string>& parts, const std::string& dir) {
  std::string phrases = dir + "/phrases.txt";
  std::ofstream p(phrases);
  for (const auto& s : parts) p << s << "\n";
  p.close();
  auto start = Clock::now();
  std::string cmd = "grep -c -i -F -f '" + phrases + "' '" + file + "' > '" + dir + "/grep.out'";
  int status = std::system(cmd.c_str());
  if (status != 0 && status != 256) std::printf("grep failed (%d)\n", status);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  std::string dir = (std::filesystem::temp_directory_path() / ("vlzt-logbench-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir + "/data");
  setenv("VLZT_ROOT", (dir + "/root").c_str(), 1);
  vlzt::vlZTLog_SetLevel(1);
  vlzt::ServiceState().Home = dir;
  vlzt::ServiceState().DataDirectory = dir + "/data";
  std::string file = dir + "/syslog.log";
  std::printf("generating %zu lines (%s) ...\n", kLines, MakeLog(file).c_str());

  for (int checks : {1, 10, 100}) {
    std::vector<std::string> parts = Configure(file, checks);
    std::vector<vlzt::MonitoredLogFile> list;
    int32_t dated = 0;
    vlzt::LoadLogFileChecks(list, dated);
    if (list.empty()) return 1;
    auto start = Clock::now();
    vlzt::CheckLatestLogFileMessages(list[0]);
    double ours = std::chrono::duration<double>(Clock::now() - start).count();
    double grep = GrepSeconds(file, parts, dir);
    std::printf("%3d checks: %8.2f M lines/s (%.3f s); grep -c -i -F -f: %8.2f M lines/s (%.3f s); ratio %.2f\n",
                checks, kLines / ours / 1e6, ours, kLines / grep / 1e6, grep, grep / ours);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %.1f MiB\n", usage.ru_maxrss / 1024.0);
  if (!std::getenv("VLZT_BENCH_KEEP")) std::filesystem::remove_all(dir);
  return 0;
}
