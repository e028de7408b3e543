// bench/eventlog_monitor_bench.cpp
// The event-log monitor end to end: records per second from a writer process's writes to the
// alerts queued, for 100 000 records against 20 checks (one record in 1 000 alerts), the
// monitor's memory before and after; then the latency from one write to that record being
// tested (median and 99th percentile).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alerting/stored_messages.h"
#include "console/activity.h"
#include "monitors/eventlog_monitor.h"
#include "platform/eventlog.h"
#include "platform/machine_root.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace vlzt;

constexpr int kRecords = 100000;
constexpr int kChecks = 20;
constexpr int kEvery = 1000;
constexpr int kLatencySamples = 500;
const std::string kConfig = "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";
const char* const kSource = "ServiceControl";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// 20 checks on Application that ordinary records pass through without a match: include
// phrases that need two words, an exclude phrase, and some with an event number or source.
void Configure() {
  for (int n = 1; n <= kChecks; ++n) {
    std::string key = kConfig + "\\LOGS\\Log" + std::to_string(n);
    vlZTREG_WriteNumber(key, "LogType", 0);
    vlZTREG_WriteFlag(key, "Enabled", 1);
    vlZTREG_WriteString(key, "File", "Application");
    vlZTREG_WriteNumber(key, "AlertLevel", 1);
    vlZTREG_WriteString(key, "Name", "Check " + std::to_string(n));
    vlZTREG_WriteString(key, "KeywordInclude1", "disk" + std::to_string(n) + " [AND] failure");
    vlZTREG_WriteString(key, "KeywordInclude2", "controller" + std::to_string(n) + " reset");
    vlZTREG_WriteString(key, "KeywordExclude1", "ignore" + std::to_string(n));
    if (n % 4 == 1) vlZTREG_WriteString(key, "EventID", "7036");
    if (n % 4 == 2) vlZTREG_WriteString(key, "Source", kSource);
    if (n % 4 == 3) vlZTREG_WriteNumber(key, "EventType", 1);
  }
}

// The records that check 4 alerts on.
std::vector<std::string> Hit(const std::string& what) { return {"disk4 failure", what}; }

// The burst: record i reports a service state; every kEvery-th (and the last) is a hit.
bool WriteBurst() {
  platform::HEVENTSOURCE h = nullptr;
  if (platform::RegisterEventSource(kSource, &h) != 0) return false;
  for (int i = 0; i < kRecords; ++i) {
    bool hit = i % kEvery == 0 || i == kRecords - 1;
    std::vector<std::string> strings =
        hit ? Hit("seq " + std::to_string(i))
            : std::vector<std::string>{"Print Spooler " + std::to_string(i), i % 2 ? "running" : "stopped"};
    if (platform::ReportEvent(h, platform::EVENTLOG_INFORMATION_TYPE, 0, 7036, strings) != 0) return false;
  }
  platform::DeregisterEventSource(h);
  return true;
}

size_t StoredAlerts(size_t from) {
  while (access(StoredMessagePath(static_cast<uint32_t>(from + 1)).c_str(), F_OK) == 0) ++from;
  return from;
}

}  // namespace

int main() {
  char rootTemplate[] = "/tmp/vlzt-elm-bench-XXXXXX";
  if (!mkdtemp(rootTemplate)) return 1;
  const std::string base = rootTemplate;
  setenv("VLZT_ROOT", (base + "/root").c_str(), 1);
  vlZTLog_SetFile(kDefaultLogFile);
  ServiceStateRecord& s = ServiceState();
  s.Home = base + "/home";
  s.DataDirectory = base + "/data";
  s.EnableWebReports = 1;
  s.ThreadsReleased.Set();
  platform::MakeDirectories(s.Home);
  platform::MakeDirectories(s.DataDirectory);
  vlZTREG_WriteNumber(kConfig, "MaxStoredMsgs", 1000000);
  const std::string messages = base + "/service.msg";
  std::ofstream(messages) << "MessageId=7036\nThe %1 service entered the %2 state.\n.\n"
                          << "MessageId=1-65535\n%1 %2\n.\n";
  platform::AddEventSource("Application", kSource, messages, "");
  Configure();

  // The writer is forked before any thread exists; it writes when told to.
  int go[2], done[2];
  if (pipe(go) != 0 || pipe(done) != 0) return 1;
  pid_t writer = fork();
  if (writer == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(1);
    auto start = Clock::now();
    bool ok = WriteBurst();
    double ms = Ms(Clock::now() - start);
    if (write(done[1], &ms, sizeof ms) != sizeof ms) _exit(1);
    _exit(ok ? 0 : 1);
  }

  // Activity lines tell when a latency record has been tested.
  std::mutex mutex;
  std::condition_variable tested;
  int testedCount = 0;
  std::atomic<bool> timing{false};
  SetActivitySink([&](int origin, const std::string& text) {
    if (origin != 2 || !timing.load() || text != "Event is configured for alerting") return 1;
    std::lock_guard<std::mutex> lock(mutex);
    ++testedCount;
    tested.notify_all();
    return 1;
  });

  std::thread monitor([] { VerifyEventLogs(); });
  // Live once a latency record written now alerts.
  platform::HEVENTSOURCE probe = nullptr;
  platform::RegisterEventSource(kSource, &probe);
  size_t alerts = 0;
  for (int i = 0; alerts == 0 && i < 600; ++i) {
    platform::ReportEvent(probe, platform::EVENTLOG_INFORMATION_TYPE, 0, 7036, Hit("start " + std::to_string(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    alerts = StoredAlerts(0);
  }
  if (alerts == 0) {
    std::fprintf(stderr, "the monitor did not start\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a later probe may still alert
  alerts = StoredAlerts(alerts);

  long rssBefore = ResidentKiB();
  const size_t expected = alerts + kRecords / kEvery + 1;
  auto start = Clock::now();
  if (write(go[1], "g", 1) != 1) return 1;
  while ((alerts = StoredAlerts(alerts)) < expected) std::this_thread::sleep_for(std::chrono::microseconds(200));
  double totalMs = Ms(Clock::now() - start);
  double writerMs = 0;
  if (read(done[0], &writerMs, sizeof writerMs) != sizeof writerMs) writerMs = 0;
  int status = 0;
  waitpid(writer, &status, 0);
  long rssAfter = ResidentKiB();

  // Latency: one record at a time, written by this process, until it is tested.
  std::vector<double> latency;
  timing = true;
  for (int i = 0; i < kLatencySamples; ++i) {
    std::unique_lock<std::mutex> lock(mutex);
    int before = testedCount;
    lock.unlock();
    auto written = Clock::now();
    platform::ReportEvent(probe, platform::EVENTLOG_INFORMATION_TYPE, 0, 7036, Hit("latency " + std::to_string(i)));
    lock.lock();
    if (!tested.wait_for(lock, std::chrono::seconds(30), [&] { return testedCount > before; })) break;
    latency.push_back(Ms(Clock::now() - written));
  }
  platform::DeregisterEventSource(probe);
  s.StopServerEvent.Set();
  monitor.join();
  SetActivitySink(nullptr);
  std::sort(latency.begin(), latency.end());
  auto pct = [&](double p) { return latency.empty() ? 0.0 : latency[static_cast<size_t>(p * (latency.size() - 1))]; };

  std::printf("event-log monitor, %d records, %d checks, %d alerts\n", kRecords, kChecks, kRecords / kEvery + 1);
  std::printf("  writes to alerts queued: %8.0f records/s  (%.0f ms; the writer alone %.0f records/s)\n",
              kRecords / (totalMs / 1000), totalMs, writerMs > 0 ? kRecords / (writerMs / 1000) : 0.0);
  std::printf("  monitor resident memory: %ld KiB before the burst, %ld KiB after\n", rssBefore, rssAfter);
  std::printf("  write to tested, %zu records one at a time: median %.3f ms, 99th percentile %.3f ms\n", latency.size(),
              pct(0.5), pct(0.99));
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && latency.size() == kLatencySamples ? 0 : 1;
}
