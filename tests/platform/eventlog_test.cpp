// Event logs: record layout, whole-record reads, clear and delete, notification across
// processes, concurrent writer processes, the size limit and damaged files.
#include "platform/eventlog.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>

#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "tests/testing/test_root.h"

extern char** environ;

namespace vlzt {
namespace {

using namespace platform;
using testing::BinPath;

constexpr uint32_t kForwards = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
// Generous: only a broken notification takes this long.
constexpr uint32_t kNotifyWaitMs = 30000;

// Starts vlevent with `args` in its own process, its output thrown away.
pid_t SpawnVlevent(const std::vector<std::string>& args) {
  std::vector<std::string> all{BinPath("vlevent")};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads every record from the handle's position on into `out` with a buffer of `size`
// bytes (grown when a record needs more); returns the code that ended the reading.
long ReadAll(HEVENTLOG log, std::vector<EventLogEntry>* out, uint32_t size = 64 * 1024) {
  std::vector<char> buf(size);
  while (true) {
    uint32_t got = 0, needed = 0;
    long rc = ReadEventLog(log, kForwards, 0, buf.data(), static_cast<uint32_t>(buf.size()), &got, &needed);
    if (rc == kErrorInsufficientBuffer) {
      buf.resize(needed);
      continue;
    }
    if (rc != 0) return rc;
    for (uint32_t at = 0; at < got;) {
      EventLogEntry e;
      uint32_t length = DecodeEventLogRecord(buf.data() + at, got - at, &e);
      if (length == 0) return -1;
      out->push_back(std::move(e));
      at += length;
    }
  }
}

std::string LogKeyOf(const std::string& log) { return std::string(kEventLogKey) + "\\" + log; }

class EventLogTest : public testing::TestRoot {
 protected:
  // Writes one event of `source` (registered under `log` first when given).
  void Report(const std::string& source, uint16_t type, uint32_t id, const std::vector<std::string>& strings,
              const std::string& data = "", uint16_t category = 0) {
    HEVENTSOURCE s;
    ASSERT_EQ(RegisterEventSource(source, &s), 0);
    EXPECT_EQ(ReportEvent(s, type, category, id, strings, data), 0);
    DeregisterEventSource(s);
  }

  HEVENTLOG Open(const std::string& log) {
    HEVENTLOG h = nullptr;
    EXPECT_EQ(OpenEventLog(log, &h), 0);
    return h;
  }

  uint64_t FolderBytes(const std::string& log) {
    std::string dir = JoinPath(JoinPath(root(), "eventlog"), log);
    uint64_t total = 0;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
      struct stat st;
      std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".seg" && stat(JoinPath(dir, name).c_str(), &st) == 0)
        total += static_cast<uint64_t>(st.st_size);
    }
    if (d) closedir(d);
    return total;
  }
};

TEST_F(EventLogTest, RecordKeepsEveryFieldInTheDocumentedLayout) {
  const std::string data("\x01\x00\xFF", 3);
  uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  Report("Layout", EVENTLOG_AUDIT_FAILURE, 0xC0001234u, {"one", "", std::string("th\0ree", 6)}, data, 77);
  Report("Layout", EVENTLOG_WARNING_TYPE, 5, {});
  uint32_t after = static_cast<uint32_t>(std::time(nullptr));

  HEVENTLOG h = Open("application");
  std::vector<char> buf(4096);
  uint32_t got = 0, needed = 0;
  ASSERT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), 4096, &got, &needed), 0);
  const char* p = buf.data();
  EVENTLOGRECORD r;
  std::memcpy(&r, p, sizeof r);
  const std::string computer = ComputerName();
  const uint32_t stringOffset = static_cast<uint32_t>(56 + 7 + computer.size() + 1);
  EXPECT_EQ(r.Reserved, kEventLogSignature);
  EXPECT_EQ(r.RecordNumber, 1u);
  EXPECT_GE(r.TimeGenerated, before);
  EXPECT_LE(r.TimeWritten, after);
  EXPECT_LE(r.TimeGenerated, r.TimeWritten);
  EXPECT_EQ(r.EventID, 0xC0001234u);
  EXPECT_EQ(r.EventType, EVENTLOG_AUDIT_FAILURE);
  EXPECT_EQ(r.NumStrings, 3);
  EXPECT_EQ(r.EventCategory, 77);
  EXPECT_EQ(r.StringOffset, stringOffset);
  EXPECT_EQ(r.UserSidLength, 0u);
  EXPECT_EQ(r.DataLength, 3u);
  EXPECT_EQ(r.DataOffset, stringOffset + 4 + 1 + 3);  // a string ends at its first zero byte
  EXPECT_EQ(r.Length % 4, 0u);
  EXPECT_EQ(r.Length, (r.DataOffset + 3 + 4 + 3) & ~3u);
  uint32_t trailing;
  std::memcpy(&trailing, p + r.Length - 4, 4);
  EXPECT_EQ(trailing, r.Length);
  EXPECT_STREQ(p + 56, "Layout");
  EXPECT_EQ(std::string(p + 63), computer);
  EXPECT_EQ(std::string(p + stringOffset, 8), std::string("one\0\0th\0", 8));
  EXPECT_EQ(std::string(p + r.DataOffset, 3), data);

  EventLogEntry first, second;
  ASSERT_EQ(DecodeEventLogRecord(p, got, &first), r.Length);
  EXPECT_EQ(first.source, "Layout");
  EXPECT_EQ(first.computer, computer);
  EXPECT_EQ(first.strings, (std::vector<std::string>{"one", "", "th"}));
  EXPECT_EQ(first.data, data);
  EXPECT_EQ(first.category, 77);
  ASSERT_EQ(DecodeEventLogRecord(p + r.Length, got - r.Length, &second), got - r.Length);
  EXPECT_EQ(second.recordNumber, 2u);
  EXPECT_EQ(second.eventId, 5u);
  EXPECT_TRUE(second.strings.empty());
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), 4096, &got, &needed), kErrorHandleEof);
  EXPECT_EQ(got, 0u);
  CloseEventLog(h);
}

TEST_F(EventLogTest, ReadsWholeRecordsOrSaysTheSizeNeeded) {
  Report("Sizes", EVENTLOG_INFORMATION_TYPE, 1, {std::string(300, 'a')});
  Report("Sizes", EVENTLOG_INFORMATION_TYPE, 2, {std::string(10, 'b')});
  Report("Sizes", EVENTLOG_INFORMATION_TYPE, 3, {std::string(5000, 'c')});
  HEVENTLOG h = Open("Application");
  std::vector<char> buf(8192);
  uint32_t got = 99, needed = 0;

  EXPECT_EQ(ReadEventLog(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buf.data(), 8192, &got, &needed),
            87);
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, nullptr, 0, &got, &needed), kErrorInsufficientBuffer);
  const uint32_t firstLength = needed;
  EXPECT_GT(firstLength, 300u);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), firstLength - 1, &got, &needed), kErrorInsufficientBuffer);
  EXPECT_EQ(needed, firstLength);
  // The position stayed: an exact fit returns that first record alone.
  ASSERT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), firstLength, &got, &needed), 0);
  EventLogEntry e;
  EXPECT_EQ(got, firstLength);
  ASSERT_EQ(DecodeEventLogRecord(buf.data(), got, &e), got);
  EXPECT_EQ(e.eventId, 1u);
  // Room for the second record and part of the third: only the whole one comes back.
  ASSERT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), 1000, &got, &needed), 0);
  ASSERT_EQ(DecodeEventLogRecord(buf.data(), got, &e), got);
  EXPECT_EQ(e.eventId, 2u);
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), 1000, &got, &needed), kErrorInsufficientBuffer);
  EXPECT_GT(needed, 5000u);
  ASSERT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), needed, &got, &needed), 0);
  ASSERT_EQ(DecodeEventLogRecord(buf.data(), got, &e), got);
  EXPECT_EQ(e.eventId, 3u);
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), 8192, &got, &needed), kErrorHandleEof);

  // A record written later is read by the same handle.
  Report("Sizes", EVENTLOG_INFORMATION_TYPE, 4, {});
  std::vector<EventLogEntry> rest;
  EXPECT_EQ(ReadAll(h, &rest), kErrorHandleEof);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].recordNumber, 4u);
  CloseEventLog(h);
}

TEST_F(EventLogTest, StandardLogsExistUnknownOnesAndBadHandlesAreRefused) {
  for (const char* name : {"Application", "system", "SECURITY"}) {
    HEVENTLOG h = nullptr;
    EXPECT_EQ(OpenEventLog(name, &h), 0) << name;
    uint32_t count = 9, oldest = 9;
    EXPECT_EQ(GetNumberOfEventLogRecords(h, &count), 0);
    EXPECT_EQ(GetOldestEventLogRecord(h, &oldest), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(oldest, 0u);
    EXPECT_EQ(CloseEventLog(h), 0);
  }
  for (const char* name : {"NoSuchLog", "", "../eventlog", "Application\\x", ".."}) {
    HEVENTLOG h = reinterpret_cast<HEVENTLOG>(1);
    EXPECT_EQ(OpenEventLog(name, &h), 2) << name;
    EXPECT_EQ(h, nullptr);
  }
  HEVENTLOG h = Open("Application");
  ASSERT_EQ(CloseEventLog(h), 0);
  char buf[64];
  uint32_t got, needed;
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf, sizeof buf, &got, &needed), 6);
  EXPECT_EQ(CloseEventLog(h), 6);
  EXPECT_EQ(ReportEvent(nullptr, EVENTLOG_ERROR_TYPE, 0, 1, {}), 6);

  HEVENTSOURCE s;
  ASSERT_EQ(RegisterEventSource("Checks", &s), 0);
  EXPECT_EQ(ReportEvent(s, 3, 0, 1, {}), 87);
  EXPECT_EQ(ReportEvent(s, EVENTLOG_ERROR_TYPE, 0, 1, std::vector<std::string>(65536)), 87);
  EXPECT_EQ(ReportEvent(s, EVENTLOG_ERROR_TYPE, 0, 1, {}, std::string(kEventLogMaxRecordSize, 'x')), 87);
  DeregisterEventSource(s);
}

TEST_F(EventLogTest, ClearMakesOtherHandlesReportTheChangeAndNumbersRestart) {
  for (uint32_t id = 1; id <= 3; ++id) Report("Clear", EVENTLOG_ERROR_TYPE, id, {"x"});
  HEVENTLOG reader = Open("Application"), clearer = Open("Application");
  uint32_t count = 0, oldest = 0;
  EXPECT_EQ(GetNumberOfEventLogRecords(reader, &count), 0);
  EXPECT_EQ(GetOldestEventLogRecord(reader, &oldest), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(oldest, 1u);
  std::vector<EventLogEntry> seen;
  EXPECT_EQ(ReadAll(reader, &seen), kErrorHandleEof);
  EXPECT_EQ(seen.size(), 3u);

  // Cleared by another process: the open handle learns of it on its next read, and keeps
  // saying so until it is closed.
  EXPECT_EQ(WaitExit(SpawnVlevent({"clear", "Application"})), 0);
  char buf[256];
  uint32_t got, needed;
  EXPECT_EQ(ReadEventLog(reader, kForwards, 0, buf, sizeof buf, &got, &needed), kErrorEventlogFileChanged);
  Report("Clear", EVENTLOG_ERROR_TYPE, 4, {"y"});
  EXPECT_EQ(ReadEventLog(reader, kForwards, 0, buf, sizeof buf, &got, &needed), kErrorEventlogFileChanged);
  CloseEventLog(reader);

  reader = Open("Application");
  seen.clear();
  EXPECT_EQ(ReadAll(reader, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].recordNumber, 1u);
  EXPECT_EQ(seen[0].eventId, 4u);

  // Cleared through a handle: that handle reads on in the emptied log.
  EXPECT_EQ(ClearEventLog(clearer), 0);
  EXPECT_EQ(ReadEventLog(clearer, kForwards, 0, buf, sizeof buf, &got, &needed), kErrorHandleEof);
  Report("Clear", EVENTLOG_ERROR_TYPE, 5, {"z"});
  seen.clear();
  EXPECT_EQ(ReadAll(clearer, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].eventId, 5u);
  EXPECT_EQ(ReadEventLog(reader, kForwards, 0, buf, sizeof buf, &got, &needed), kErrorEventlogFileChanged);
  EXPECT_EQ(GetNumberOfEventLogRecords(clearer, &count), 0);
  EXPECT_EQ(count, 1u);
  CloseEventLog(reader);
  CloseEventLog(clearer);
}

TEST_F(EventLogTest, DeletedLogIsReportedToReadersAndWriters) {
  ASSERT_EQ(CreateEventLog("Temporary"), 0);
  ASSERT_EQ(AddEventSource("Temporary", "TempSource", "/nowhere.msg", ""), 0);
  HEVENTSOURCE s;
  ASSERT_EQ(RegisterEventSource("TempSource", &s), 0);
  ASSERT_EQ(ReportEvent(s, EVENTLOG_ERROR_TYPE, 0, 1, {}), 0);
  HEVENTLOG h = Open("temporary");
  ASSERT_EQ(DeleteEventLog("TEMPORARY"), 0);
  char buf[256];
  uint32_t got, needed;
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf, sizeof buf, &got, &needed), kErrorEventlogFileChanged);
  EXPECT_EQ(ReportEvent(s, EVENTLOG_ERROR_TYPE, 0, 2, {}), 2);
  HEVENTLOG again;
  EXPECT_EQ(OpenEventLog("Temporary", &again), 2);
  std::string log;
  EXPECT_EQ(FindEventSourceLog("TempSource", &log), 2);
  // Made again under the same name, the writer handle finds the new log.
  ASSERT_EQ(CreateEventLog("Temporary"), 0);
  EXPECT_EQ(ReportEvent(s, EVENTLOG_ERROR_TYPE, 0, 3, {}), 0);
  again = Open("Temporary");
  std::vector<EventLogEntry> seen;
  EXPECT_EQ(ReadAll(again, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].eventId, 3u);
  EXPECT_EQ(seen[0].recordNumber, 1u);
  CloseEventLog(again);
  CloseEventLog(h);
  DeregisterEventSource(s);
}

TEST_F(EventLogTest, LogsAndSourcesAreRegisteredCheckedAndRemoved) {
  for (const char* bad : {"", ".hidden", "a/b", "a\\b", "tab\there"}) EXPECT_EQ(CreateEventLog(bad), 87) << bad;
  EXPECT_EQ(CreateEventLog(std::string(256, 'x')), 87);
  ASSERT_EQ(CreateEventLog("Ops"), 0);
  EXPECT_EQ(CreateEventLog("OPS"), 183);
  std::string spelled;
  EXPECT_EQ(FindEventLog("ops", &spelled), 0);
  EXPECT_EQ(spelled, "Ops");
  EXPECT_EQ(DeleteEventLog("application"), 5);

  ASSERT_EQ(AddEventSource("ops", "Backup", "/a.msg", "/p.msg"), 0);
  RegValue v;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, LogKeyOf("Ops") + "\\Backup", "EventMessageFile", &v), 0);
  EXPECT_EQ(v.type, static_cast<uint32_t>(REG_EXPAND_SZ));
  EXPECT_EQ(RegDataString(v.data), "/a.msg");
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, LogKeyOf("Ops") + "\\Backup", "ParameterMessageFile", &v), 0);
  // Registering again under the same log updates; an empty parameter file removes it.
  ASSERT_EQ(AddEventSource("Ops", "backup", "/b.msg", ""), 0);
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, LogKeyOf("Ops") + "\\Backup", "ParameterMessageFile", &v), 2);
  EXPECT_EQ(AddEventSource("Application", "Backup", "/c.msg", ""), 183);
  EXPECT_EQ(AddEventSource("Nowhere", "Backup2", "/c.msg", ""), 2);
  EXPECT_EQ(FindEventSourceLog("BACKUP", &spelled), 0);
  EXPECT_EQ(spelled, "Ops");

  // A writer of a registered source writes into that source's log; others into Application.
  Report("Backup", EVENTLOG_ERROR_TYPE, 10, {});
  Report("Unregistered", EVENTLOG_ERROR_TYPE, 11, {});
  for (auto [log, id] : {std::pair<const char*, uint32_t>{"Ops", 10}, {"Application", 11}}) {
    HEVENTLOG h = Open(log);
    std::vector<EventLogEntry> seen;
    EXPECT_EQ(ReadAll(h, &seen), kErrorHandleEof);
    ASSERT_EQ(seen.size(), 1u) << log;
    EXPECT_EQ(seen[0].eventId, id);
    CloseEventLog(h);
  }
  EXPECT_EQ(DeleteEventSource("Ops", "Backup"), 0);
  EXPECT_EQ(DeleteEventSource("Ops", "Backup"), 2);
  EXPECT_EQ(FindEventSourceLog("Backup", &spelled), 2);
}

TEST_F(EventLogTest, WriteInAnotherProcessSetsTheChangeEvent) {
  HEVENTLOG watched = Open("Application"), other = Open("Application");
  ManualResetEvent changed, otherChanged;
  ASSERT_EQ(NotifyChangeEventLog(watched, &changed), 0);
  ASSERT_EQ(NotifyChangeEventLog(other, &otherChanged), 0);
  EXPECT_FALSE(changed.IsSet());

  pid_t writer = SpawnVlevent({"write", "/L", "Application", "/SO", "Far", "/ID", "9", "/T", "ERROR", "/D", "far away"});
  ASSERT_GT(writer, 0);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));
  EXPECT_EQ(WaitExit(writer), 0);
  std::vector<EventLogEntry> seen;
  EXPECT_EQ(ReadAll(watched, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].strings, std::vector<std::string>{"far away"});

  // A clear elsewhere is a change too.
  changed.Reset();
  EXPECT_EQ(WaitExit(SpawnVlevent({"clear", "application"})), 0);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));

  // After the handle is closed its event stays alone. The other handle's event is set by
  // the same pass over the change, so once it is set the closed one would have been too.
  CloseEventLog(watched);
  changed.Reset();
  otherChanged.Reset();
  EXPECT_EQ(WaitExit(SpawnVlevent({"write", "/L", "Application", "/SO", "Far", "/ID", "9", "/T", "ERROR", "/D", "x"})), 0);
  EXPECT_TRUE(otherChanged.Wait(kNotifyWaitMs));
  EXPECT_FALSE(changed.IsSet());
  CloseEventLog(other);
}

TEST_F(EventLogTest, ConcurrentWriterProcessesNeverTearRecordsAndAReaderSeesEachOnce) {
  // Room for every record, so that all of them stay for the check at the end.
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, LogKeyOf("Application"), "MaxSize", REG_DWORD,
                        RegDwordData(0xFFFFFFFFu)), 0);
  struct Writer {
    std::string source;
    size_t length;
    int count;
  };
  const std::vector<Writer> writers = {{"Tiny", 1, 60000}, {"Small", 100, 30000}, {"Big", 1000, 8000}, {"Huge", 4000, 2000}};
  const size_t total = 100000;
  HEVENTLOG reader = Open("Application");
  ManualResetEvent changed;
  ASSERT_EQ(NotifyChangeEventLog(reader, &changed), 0);
  std::vector<pid_t> pids;
  for (const auto& w : writers)
    pids.push_back(SpawnVlevent({"write", "/L", "Application", "/SO", w.source, "/ID", std::to_string(w.length),
                                 "/T", "INFORMATION", "/D", std::string(w.length, w.source[0]), "/A", w.source,
                                 "/N", std::to_string(w.count)}));

  // Read while they write, as the monitor does: wake on the change, read to the end.
  std::vector<EventLogEntry> seen;
  long rc = 0;
  while (seen.size() < total) {
    changed.Reset();
    rc = ReadAll(reader, &seen, 5001);
    if (rc != kErrorHandleEof) break;
    if (seen.size() < total && !changed.Wait(kNotifyWaitMs)) break;
  }
  for (pid_t pid : pids) EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_EQ(rc, kErrorHandleEof);
  ASSERT_EQ(seen.size(), total);

  std::map<std::string, int> counts;
  for (size_t i = 0; i < seen.size(); ++i) {
    const EventLogEntry& e = seen[i];
    ASSERT_EQ(e.recordNumber, i + 1);
    ASSERT_EQ(e.strings.size(), 2u) << "record " << e.recordNumber;
    const std::string& source = e.strings[1];
    ASSERT_EQ(e.source, source);
    ASSERT_EQ(e.strings[0], std::string(e.eventId, source[0])) << "record " << e.recordNumber;
    ++counts[source];
  }
  for (const auto& w : writers) EXPECT_EQ(counts[w.source], w.count) << w.source;
  std::vector<EventLogEntry> more;
  EXPECT_EQ(ReadAll(reader, &more), kErrorHandleEof);
  EXPECT_TRUE(more.empty());
  CloseEventLog(reader);
}

TEST_F(EventLogTest, FullLogDropsItsOldestRecordsWhole) {
  ASSERT_EQ(CreateEventLog("Small"), 0);
  // Below the smallest size allowed: the log keeps 64 KiB.
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, LogKeyOf("Small"), "MaxSize", REG_DWORD, RegDwordData(1000)), 0);
  HEVENTLOG early = Open("Small"), behind = Open("Small");
  auto write = [&](int n, const std::string& first) {
    return WaitExit(SpawnVlevent({"write", "/L", "Small", "/SO", "Filler", "/ID", "1", "/T", "WARNING", "/D",
                                  std::string(100, 'f'), "/A", first, "/N", std::to_string(n)}));
  };
  ASSERT_EQ(write(50, "a"), 0);
  // `behind` reads a few records, then the writers overtake it by far.
  std::vector<char> small(600);
  uint32_t got, needed;
  ASSERT_EQ(ReadEventLog(behind, kForwards, 0, small.data(), 600, &got, &needed), 0);
  EventLogEntry e;
  ASSERT_GT(DecodeEventLogRecord(small.data(), got, &e), 0u);
  ASSERT_EQ(write(3000, "b"), 0);

  uint32_t count = 0, oldest = 0;
  ASSERT_EQ(GetNumberOfEventLogRecords(early, &count), 0);
  ASSERT_EQ(GetOldestEventLogRecord(early, &oldest), 0);
  EXPECT_GT(oldest, 1u);
  EXPECT_EQ(oldest + count - 1, 3050u);
  EXPECT_LE(FolderBytes("small"), uint64_t{kEventLogMinMaxSize});
  EXPECT_GT(FolderBytes("small"), uint64_t{kEventLogMinMaxSize} * 3 / 4);

  // A reader that never read starts at the oldest record kept; all of them are whole.
  std::vector<EventLogEntry> seen;
  EXPECT_EQ(ReadAll(early, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), count);
  for (size_t i = 0; i < seen.size(); ++i) {
    ASSERT_EQ(seen[i].recordNumber, oldest + i);
    ASSERT_EQ(seen[i].strings[0], std::string(100, 'f'));
  }
  // The reader left behind finishes the part it was in, then goes on with the oldest kept:
  // never a record twice, never one out of order.
  seen.clear();
  EXPECT_EQ(ReadAll(behind, &seen), kErrorHandleEof);
  ASSERT_FALSE(seen.empty());
  uint32_t last = 0;
  for (const auto& r : seen) {
    ASSERT_GT(r.recordNumber, last);
    last = r.recordNumber;
  }
  EXPECT_EQ(last, 3050u);
  CloseEventLog(early);
  CloseEventLog(behind);
}

TEST_F(EventLogTest, TornTailIsNeverSeenAndDamageIsReported) {
  Report("Torn", EVENTLOG_ERROR_TYPE, 1, {"kept"});
  // What a writer killed in the middle of its append leaves: bytes past the written end.
  std::string segment = JoinPath(JoinPath(root(), "eventlog"), "application") + "/0000000000000001.seg";
  {
    int fd = open(segment.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    std::string junk(200, '\x7F');
    uint32_t fakeLength = 200;
    std::memcpy(junk.data(), &fakeLength, 4);
    ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    close(fd);
  }
  HEVENTLOG h = Open("Application");
  std::vector<EventLogEntry> seen;
  EXPECT_EQ(ReadAll(h, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), 1u);
  Report("Torn", EVENTLOG_ERROR_TYPE, 2, {"next"});
  EXPECT_EQ(ReadAll(h, &seen), kErrorHandleEof);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].strings, std::vector<std::string>{"next"});
  CloseEventLog(h);

  // A record whose length was overwritten stops the reader with an error, not a wild read.
  {
    int fd = open(segment.c_str(), O_WRONLY);
    uint32_t wrong = 0x7FFFFFF0;
    ASSERT_EQ(pwrite(fd, &wrong, 4, 32), 4);
    close(fd);
  }
  h = Open("Application");
  char buf[4096];
  uint32_t got, needed;
  EXPECT_EQ(ReadEventLog(h, kForwards, 0, buf, sizeof buf, &got, &needed), kErrorLogFileDamaged);
  CloseEventLog(h);
}

TEST_F(EventLogTest, DecodeNeverReadsOutsideTheRecord) {
  Report("Decode", EVENTLOG_ERROR_TYPE, 1, {"alpha", "beta"}, "DATA");
  HEVENTLOG h = Open("Application");
  std::vector<char> buf(4096);
  uint32_t got, needed;
  ASSERT_EQ(ReadEventLog(h, kForwards, 0, buf.data(), 4096, &got, &needed), 0);
  CloseEventLog(h);
  const std::string good(buf.data(), got);
  EVENTLOGRECORD r;
  std::memcpy(&r, good.data(), sizeof r);

  auto with = [&](size_t offset, uint32_t value) {
    std::string s = good;
    std::memcpy(s.data() + offset, &value, 4);
    return s;
  };
  auto withShort = [&](size_t offset, uint16_t value) {
    std::string s = good;
    std::memcpy(s.data() + offset, &value, 2);
    return s;
  };
  struct Case {
    const char* what;
    std::string bytes;
    size_t available;
    bool whole;
    std::vector<std::string> strings;
  };
  std::string unterminated = good;
  // The last string's zero and the data become text: the string ends where the data starts.
  std::memset(unterminated.data() + r.DataOffset - 1, 'z', 1);
  const std::vector<Case> cases = {
      {"intact", good, good.size(), true, {"alpha", "beta"}},
      {"cut short", good, good.size() - 1, false, {}},
      {"trailing length differs", with(r.Length - 4, r.Length + 4), good.size(), false, {}},
      {"length past the bytes", with(0, r.Length + 4), good.size(), false, {}},
      {"string offset outside", with(36, r.Length), good.size(), false, {}},
      {"data past the end", with(48, r.Length), good.size(), false, {}},
      {"more strings claimed than held", withShort(26, 100), good.size(), true, {"alpha", "beta"}},
      {"no strings claimed", withShort(26, 0), good.size(), true, {}},
      {"unterminated string", unterminated, good.size(), true, {"alpha", "betaz"}},
  };
  for (const auto& c : cases) {
    // An exact-size copy, so a read past it is caught by the address sanitizer.
    std::vector<char> exact(c.bytes.begin(), c.bytes.begin() + static_cast<long>(c.available));
    EventLogEntry e;
    uint32_t length = DecodeEventLogRecord(exact.data(), exact.size(), &e);
    EXPECT_EQ(length != 0, c.whole) << c.what;
    if (c.whole) {
      EXPECT_EQ(e.strings, c.strings) << c.what;
    }
  }
}

}  // namespace
}  // namespace vlzt
