// Event log throughput and latency: writes from one and from several processes, whole-buffer
// reads, change notification, and rendering messages from a message file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/message_files.h"
#include "platform/registry.h"

using namespace vlzt::platform;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSingleRecords = 100000;
constexpr int kWriterProcesses = 4;
constexpr int kRecordsPerProcess = 25000;
constexpr int kLatencySamples = 1000;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool WriteMany(const std::string& source, int n) {
  HEVENTSOURCE s;
  if (RegisterEventSource(source, &s) != 0) return false;
  bool ok = true;
  for (int i = 0; i < n && ok; ++i)
    ok = ReportEvent(s, EVENTLOG_INFORMATION_TYPE, 0, 1000 + static_cast<uint32_t>(i % 100),
                     {"Benchmark event " + std::to_string(i) + " written with a typical amount of text", source}) == 0;
  DeregisterEventSource(s);
  return ok;
}

// Reads the whole log with a buffer of `size` bytes; returns records and bytes read.
std::pair<uint64_t, uint64_t> ReadWhole(uint32_t size) {
  HEVENTLOG h;
  if (OpenEventLog("Application", &h) != 0) return {0, 0};
  std::vector<char> buf(size);
  uint64_t records = 0, bytes = 0;
  while (true) {
    uint32_t got = 0, needed = 0;
    long rc = ReadEventLog(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(), size, &got, &needed);
    if (rc != 0) break;
    bytes += got;
    for (uint32_t at = 0; at < got;) {
      EVENTLOGRECORD r;
      std::memcpy(&r, buf.data() + at, sizeof r);
      at += r.Length;
      ++records;
    }
  }
  CloseEventLog(h);
  return {records, bytes};
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vlzt-eventlog-bench-XXXXXX";
  std::vector<char> dir(templ.begin(), templ.end());
  dir.push_back('\0');
  if (!mkdtemp(dir.data())) return 1;
  const std::string root = std::string(dir.data()) + "/root";
  setenv("VLZT_ROOT", root.c_str(), 1);
  RegPutValue(HKEY_LOCAL_MACHINE, std::string(kEventLogKey) + "\\Application", "MaxSize", REG_DWORD,
              RegDwordData(0xFFFFFFFFu));

  auto start = Clock::now();
  if (!WriteMany("BenchOne", kSingleRecords)) return 1;
  double t = Seconds(start);
  std::printf("write, 1 process:        %8.0f records/s (%d records, %.2f s)\n", kSingleRecords / t, kSingleRecords, t);

  start = Clock::now();
  std::vector<pid_t> pids;
  for (int p = 0; p < kWriterProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) _exit(WriteMany("BenchMany" + std::to_string(p), kRecordsPerProcess) ? 0 : 1);
    pids.push_back(pid);
  }
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  t = Seconds(start);
  std::printf("write, %d processes:      %8.0f records/s (%d records, %.2f s)\n", kWriterProcesses,
              kWriterProcesses * kRecordsPerProcess / t, kWriterProcesses * kRecordsPerProcess, t);

  for (uint32_t size : {5001u, 64u * 1024, 512u * 1024}) {
    start = Clock::now();
    auto [records, bytes] = ReadWhole(size);
    t = Seconds(start);
    std::printf("read, %6u-byte buffer: %8.0f records/s, %6.1f MB/s (%llu records)\n", size, records / t,
                bytes / t / 1e6, static_cast<unsigned long long>(records));
  }

  // From a write to the reader's event being set.
  HEVENTLOG h;
  HEVENTSOURCE s;
  ManualResetEvent changed;
  if (OpenEventLog("Application", &h) != 0 || NotifyChangeEventLog(h, &changed) != 0 ||
      RegisterEventSource("BenchLatency", &s) != 0)
    return 1;
  std::vector<double> latencies;
  for (int i = 0; i < kLatencySamples; ++i) {
    changed.Reset();
    auto t0 = Clock::now();
    ReportEvent(s, EVENTLOG_ERROR_TYPE, 0, 1, {"latency"});
    changed.Wait(10000);
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::printf("write to notification:   median %.0f us, 99th percentile %.0f us, max %.0f us (%d writes)\n",
              Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 1.0), kLatencySamples);
  DeregisterEventSource(s);
  CloseEventLog(h);

  // Rendering the message of a record from its source's file, as the monitor does per record.
  std::string generic;
  EnsureGenericMessageFile(&generic);
  AddEventSource("Application", "BenchRender", generic, "");
  // An installed message file is not brand new; a new one is read again on every load.
  timespec old[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
  utimensat(AT_FDCWD, generic.c_str(), old, 0);
  std::string message;
  start = Clock::now();
  for (int i = 0; i < kSingleRecords; ++i)
    FormatEventMessage("Application", "BenchRender", 7036, {"rendered text", "x"}, &message);
  t = Seconds(start);
  std::printf("message rendering:       %8.0f records/s (registry lookup, file load, format)\n", kSingleRecords / t);

  std::error_code ec;
  std::filesystem::remove_all(dir.data(), ec);
  return 0;
}
