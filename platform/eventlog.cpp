// platform/eventlog.cpp
// One folder per log: `head` (lock and position block) and segment files of whole records.
// The head is the only thing a writer changes in place; everything a reader may be reading
// below the written end it announced is never rewritten, so readers lock only to read it.
#include "platform/eventlog.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/system.h"

static_assert(std::endian::native == std::endian::little, "records are stored little-endian");

namespace vlzt::platform {
namespace {

constexpr long kOk = 0;
constexpr long kNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidHandle = 6;
constexpr long kInvalidParameter = 87;
constexpr long kAlreadyExists = 183;

constexpr char kHeadMagic[8] = {'V', 'L', 'E', 'V', 'L', 'O', 'G', '1'};
constexpr char kSegmentMagic[8] = {'V', 'L', 'E', 'V', 'S', 'E', 'G', '1'};
// Smallest possible record: the fixed part, two empty names, padding and the trailing length.
constexpr uint32_t kMinRecordSize = 64;
constexpr uint64_t kMinSegmentLimit = 4096;

// The `head` file. `oldestRecord` is the first record of the oldest segment, equal to
// `nextRecord` when the log is empty; `retained` counts the bytes of all segments.
struct Head {
  char magic[8];
  uint32_t generation;
  uint32_t nextRecord;
  uint32_t oldestRecord;
  uint32_t reserved1;
  uint64_t segmentLimit;
  uint64_t oldestSegment;
  uint64_t currentSegment;
  uint64_t writtenEnd;
  uint64_t retained;
};
static_assert(sizeof(Head) == 64);

struct SegmentHeader {
  char magic[8];
  uint32_t generation;
  uint32_t firstRecord;
  uint64_t id;
  uint64_t reserved;
};
static_assert(sizeof(SegmentHeader) == 32);
constexpr uint64_t kSegmentHeaderSize = sizeof(SegmentHeader);

const char* const kStandardLogs[] = {"Application", "System", "Security"};

std::string Fold(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

long LastError() { return static_cast<long>(ErrorFromErrno(errno)); }

std::string LogsFolder() { return JoinPath(MachineRoot(), "eventlog"); }
std::string LogFolder(const std::string& log) { return JoinPath(LogsFolder(), Fold(log)); }
std::string LogKey(const std::string& log) { return std::string(kEventLogKey) + "\\" + log; }

std::string SegmentPath(const std::string& dir, uint64_t id) {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.seg", static_cast<unsigned long long>(id));
  return JoinPath(dir, name);
}

uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }

// A key opened for the length of a scope.
class Key {
 public:
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  long Open(const std::string& path, uint32_t access = KEY_READ) {
    return RegOpenKey(HKEY_LOCAL_MACHINE, path, access, &key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Whole-buffer pread/pwrite, retrying short transfers and interruptions.
bool ReadAt(int fd, void* buf, size_t n, uint64_t offset, size_t* got = nullptr) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd, static_cast<char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  if (got) *got = done;
  return got ? true : done == n;
}

bool WriteAt(int fd, const void* buf, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pwrite(fd, static_cast<const char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// flock for the length of a scope.
class FileLock {
 public:
  FileLock(int fd, int how) : fd_(fd) {
    while (flock(fd_, how) != 0) {
      if (errno != EINTR) {
        fd_ = -1;
        break;
      }
    }
  }
  ~FileLock() { Release(); }
  // Unlocks early; needed before the descriptor is closed.
  void Release() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
    fd_ = -1;
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool ReadHead(int fd, Head* h) {
  return ReadAt(fd, h, sizeof *h, 0) && std::memcmp(h->magic, kHeadMagic, sizeof kHeadMagic) == 0;
}

bool WriteHead(int fd, const Head& h) { return WriteAt(fd, &h, sizeof h, 0); }

bool IsUnlinked(int fd) {
  struct stat st;
  return fstat(fd, &st) != 0 || st.st_nlink == 0;
}

uint32_t MaxSizeOf(const std::string& log) {
  RegValue v;
  if (RegGetValue(HKEY_LOCAL_MACHINE, LogKey(log), "MaxSize", &v) != kOk || v.type != REG_DWORD)
    return kEventLogDefaultMaxSize;
  return std::max(RegDataDword(v.data), kEventLogMinMaxSize);
}

uint64_t SegmentLimitFor(uint32_t maxSize) {
  return std::max<uint64_t>(kMinSegmentLimit, maxSize / 16);
}

// Creates segment `id` holding no records yet; returns its descriptor or -1.
int CreateSegment(const std::string& dir, uint64_t id, uint32_t generation, uint32_t firstRecord) {
  int fd = open(SegmentPath(dir, id).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  SegmentHeader sh{};
  std::memcpy(sh.magic, kSegmentMagic, sizeof kSegmentMagic);
  sh.generation = generation;
  sh.firstRecord = firstRecord;
  sh.id = id;
  if (!WriteAt(fd, &sh, sizeof sh, 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool ReadSegmentHeader(int fd, SegmentHeader* sh) {
  return ReadAt(fd, sh, sizeof *sh, 0) &&
         std::memcmp(sh->magic, kSegmentMagic, sizeof kSegmentMagic) == 0;
}

// A fresh empty log state in generation `generation`, its first segment `segment` made.
long StartGeneration(int headFd, const std::string& dir, const std::string& log,
                     uint32_t generation, uint64_t segment, Head* h) {
  int seg = CreateSegment(dir, segment, generation, 1);
  if (seg < 0) return LastError();
  close(seg);
  Head fresh{};
  std::memcpy(fresh.magic, kHeadMagic, sizeof kHeadMagic);
  fresh.generation = generation;
  fresh.nextRecord = 1;
  fresh.oldestRecord = 1;
  fresh.segmentLimit = SegmentLimitFor(MaxSizeOf(log));
  fresh.oldestSegment = fresh.currentSegment = segment;
  fresh.writtenEnd = kSegmentHeaderSize;
  fresh.retained = kSegmentHeaderSize;
  if (!WriteHead(headFd, fresh)) return LastError();
  *h = fresh;
  return kOk;
}

// Removes the segment files of `dir` other than `keep`.
void RemoveSegments(const std::string& dir, uint64_t keep) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::string keepName = SegmentPath("", keep);
  std::vector<std::string> doomed;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".seg") == 0 && name != keepName)
      doomed.push_back(JoinPath(dir, name));
  }
  closedir(d);
  for (const auto& path : doomed) unlink(path.c_str());
}

// Opens (creating when needed) the files of registered log `log`; returns the head's
// descriptor in *headFd.
long OpenLogFiles(const std::string& log, std::string* dir, int* headFd) {
  *dir = LogFolder(log);
  if (!MakeDirectories(*dir)) return LastError();
  std::string headPath = JoinPath(*dir, "head");
  int fd = open(headPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) fd = open(headPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastError();
  Head h;
  {
    FileLock shared(fd, LOCK_SH);
    if (ReadHead(fd, &h)) {
      *headFd = fd;
      return kOk;
    }
  }
  FileLock exclusive(fd, LOCK_EX);
  if (!ReadHead(fd, &h)) {
    struct stat st;
    // A head shorter than itself is one whose creator died before writing it.
    if (fstat(fd, &st) != 0 || st.st_size >= static_cast<off_t>(sizeof(Head))) {
      exclusive.Release();
      close(fd);
      return kErrorLogFileDamaged;
    }
    long rc = StartGeneration(fd, *dir, log, 1, 1, &h);
    if (rc != kOk) {
      exclusive.Release();
      close(fd);
      return rc;
    }
  }
  *headFd = fd;
  return kOk;
}

// Every live handle of each kind, so that a closed or made-up handle is refused instead of
// followed.
std::mutex g_handlesMutex;

template <typename T>
std::unordered_set<const T*>& LiveHandles() {
  static std::unordered_set<const T*> handles;
  return handles;
}

template <typename T>
void AddHandle(const T* h) {
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  LiveHandles<T>().insert(h);
}

// The object of a live handle, locked; empty when the handle is not live.
template <typename T>
std::unique_lock<std::mutex> LockHandle(T* h) {
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  if (!h || !LiveHandles<T>().count(h)) return {};
  return std::unique_lock<std::mutex>(h->mutex);
}

// Removes a handle from the live set and waits until no call uses it.
template <typename T>
bool RetireHandle(T* h) {
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  if (!h || !LiveHandles<T>().erase(h)) return false;
  std::lock_guard<std::mutex> wait(h->mutex);
  return true;
}

// Change notification: one inotify descriptor and one thread per process set the events of
// the handles whose log head changed. Events are set under the watcher's lock, so once a
// registration is removed its event is never touched again.
class Watcher {
 public:
  static Watcher* Get() {
    static std::mutex mutex;
    static Watcher* instance = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    // A child process inherits the watcher but not its thread: it starts its own. The old
    // one is left alone, as the parent's thread may own its lock.
    if (!instance || instance->pid_ != getpid()) instance = new Watcher;
    return instance;
  }

  long Add(const void* owner, const std::string& file, ManualResetEvent* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
      fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd_ < 0) return LastError();
      std::thread([this] { Run(); }).detach();
    }
    RemoveLocked(owner);
    int wd = inotify_add_watch(fd_, file.c_str(), IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd < 0) return LastError();
    ++watchUsers_[wd];
    registrations_[owner] = {wd, event};
    return kOk;
  }

  void Remove(const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveLocked(owner);
  }

 private:
  struct Registration {
    int wd;
    ManualResetEvent* event;
  };

  Watcher() : pid_(getpid()) {}

  void RemoveLocked(const void* owner) {
    auto it = registrations_.find(owner);
    if (it == registrations_.end()) return;
    int wd = it->second.wd;
    registrations_.erase(it);
    auto users = watchUsers_.find(wd);
    if (users != watchUsers_.end() && --users->second == 0) {
      watchUsers_.erase(users);
      inotify_rm_watch(fd_, wd);
    }
  }

  void Run() {
    alignas(inotify_event) char buf[16384];
    while (true) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return;
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        for (auto& [owner, r] : registrations_)
          if (r.wd == e->wd || (e->mask & IN_Q_OVERFLOW)) r.event->Set();
        if (e->mask & IN_IGNORED) {
          // The kernel dropped the watch (the file is gone); forget it so that a later
          // number it hands out again is not removed by mistake.
          watchUsers_.erase(e->wd);
          for (auto& [owner, r] : registrations_)
            if (r.wd == e->wd) r.wd = -1;
        }
      }
    }
  }

  const pid_t pid_;
  std::mutex mutex_;
  int fd_ = -1;
  std::map<int, int> watchUsers_;
  std::map<const void*, Registration> registrations_;
};

// Builds a record with RecordNumber and TimeWritten left 0 for the writer to fill in.
std::string EncodeRecord(uint16_t type, uint16_t category, uint32_t eventId, const std::string& source,
                         const std::string& computer, const std::vector<std::string>& strings,
                         const std::string& data) {
  auto cut = [](const std::string& s) { return s.substr(0, s.find('\0')); };
  std::string body;
  body += cut(source);
  body += '\0';
  body += cut(computer);
  body += '\0';
  uint32_t stringOffset = static_cast<uint32_t>(sizeof(EVENTLOGRECORD) + body.size());
  for (const auto& s : strings) {
    body += cut(s);
    body += '\0';
  }
  uint32_t dataOffset = static_cast<uint32_t>(sizeof(EVENTLOGRECORD) + body.size());
  body += data;
  size_t unpadded = sizeof(EVENTLOGRECORD) + body.size() + 4;
  size_t length = (unpadded + 3) & ~size_t{3};
  if (length > kEventLogMaxRecordSize) return "";
  body.append(length - unpadded, '\0');

  EVENTLOGRECORD r{};
  r.Length = static_cast<uint32_t>(length);
  r.Reserved = kEventLogSignature;
  r.TimeGenerated = Now();
  r.EventID = eventId;
  r.EventType = type;
  r.NumStrings = static_cast<uint16_t>(strings.size());
  r.EventCategory = category;
  r.StringOffset = stringOffset;
  r.UserSidOffset = stringOffset;
  r.DataLength = static_cast<uint32_t>(data.size());
  r.DataOffset = dataOffset;
  std::string record(reinterpret_cast<const char*>(&r), sizeof r);
  record += body;
  record.append(reinterpret_cast<const char*>(&r.Length), 4);
  return record;
}

uint32_t LoadU32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The length of the well-formed record at `p` of which `available` bytes are at hand:
// 0 when malformed, or the length when it runs past `available` (the caller checks).
uint32_t CheckedLength(const char* p, size_t available) {
  if (available < 8) return 0;
  uint32_t length = LoadU32(p);
  if (length < kMinRecordSize || length % 4 || length > kEventLogMaxRecordSize) return 0;
  if (LoadU32(p + 4) != kEventLogSignature) return 0;
  if (length <= available && LoadU32(p + length - 4) != length) return 0;
  return length;
}

}  // namespace

// --- Records --------------------------------------------------------------------------

uint32_t DecodeEventLogRecord(const void* record, size_t available, EventLogEntry* entry) {
  const char* p = static_cast<const char*>(record);
  if (!p || available < sizeof(EVENTLOGRECORD) + 4) return 0;
  EVENTLOGRECORD r;
  std::memcpy(&r, p, sizeof r);
  if (r.Length < sizeof r + 4 || r.Length > available || LoadU32(p + r.Length - 4) != r.Length) return 0;
  const uint32_t end = r.Length - 4;  // where the trailing length starts
  if (r.StringOffset < sizeof r || r.StringOffset > end) return 0;
  if (r.DataLength > 0 && (r.DataOffset < sizeof r || r.DataOffset > end || r.DataLength > end - r.DataOffset))
    return 0;
  if (!entry) return r.Length;

  // Text from `from` up to its zero or `limit`, whichever comes first; moves `from` past it.
  auto text = [p](uint32_t& from, uint32_t limit) {
    const char* s = p + from;
    const void* zero = std::memchr(s, '\0', limit - from);
    size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - s) : limit - from;
    from = static_cast<uint32_t>(from + n + (zero ? 1 : 0));
    return std::string(s, n);
  };
  *entry = EventLogEntry{};
  entry->recordNumber = r.RecordNumber;
  entry->timeGenerated = r.TimeGenerated;
  entry->timeWritten = r.TimeWritten;
  entry->eventId = r.EventID;
  entry->eventType = r.EventType;
  entry->category = r.EventCategory;
  uint32_t at = sizeof r;
  uint32_t namesEnd = r.StringOffset;
  entry->source = text(at, namesEnd);
  entry->computer = text(at, namesEnd);
  uint32_t stringsEnd = (r.DataOffset >= r.StringOffset && r.DataOffset <= end) ? r.DataOffset : end;
  at = r.StringOffset;
  for (uint32_t i = 0; i < r.NumStrings && at < stringsEnd; ++i) entry->strings.push_back(text(at, stringsEnd));
  if (r.DataLength > 0) entry->data.assign(p + r.DataOffset, r.DataLength);
  return r.Length;
}

// --- Reading --------------------------------------------------------------------------

struct EventLogObject {
  std::mutex mutex;
  std::string log;
  std::string dir;
  int headFd = -1;
  uint32_t generation = 0;
  bool changed = false;   // the log was cleared or deleted since the handle opened
  uint64_t segment = 0;   // segment being read
  int segmentFd = -1;     // open on `segment`, or -1
  uint64_t offset = 0;    // next byte of `segment`

  ~EventLogObject() {
    if (segmentFd >= 0) close(segmentFd);
    if (headFd >= 0) close(headFd);
  }
};

namespace {

// The current head under a shared lock; 1500 when the handle's log is gone or renewed.
long CurrentHead(EventLogObject* h, Head* head) {
  if (h->changed) return kErrorEventlogFileChanged;
  {
    FileLock shared(h->headFd, LOCK_SH);
    if (IsUnlinked(h->headFd)) {
      h->changed = true;
      return kErrorEventlogFileChanged;
    }
    if (!ReadHead(h->headFd, head)) return kErrorLogFileDamaged;
  }
  if (head->generation != h->generation) {
    h->changed = true;
    return kErrorEventlogFileChanged;
  }
  return kOk;
}

void MoveTo(EventLogObject* h, uint64_t segment) {
  if (h->segmentFd >= 0) close(h->segmentFd);
  h->segmentFd = -1;
  h->segment = segment;
  h->offset = kSegmentHeaderSize;
}

// Opens the segment the handle is to read next. Segments dropped for size since the
// reader last moved are skipped: it goes on with the oldest one kept.
long OpenSegment(EventLogObject* h, Head* head) {
  if (h->segment < head->oldestSegment) MoveTo(h, head->oldestSegment);
  while (true) {
    int fd = open(SegmentPath(h->dir, h->segment).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      SegmentHeader sh;
      if (!ReadSegmentHeader(fd, &sh) || sh.id != h->segment) {
        close(fd);
        return kErrorLogFileDamaged;
      }
      if (sh.generation != h->generation) {
        close(fd);
        h->changed = true;
        return kErrorEventlogFileChanged;
      }
      h->segmentFd = fd;
      return kOk;
    }
    if (errno != ENOENT) return LastError();
    if (h->segment >= head->currentSegment) {
      // The segment the head named is gone: the log was cleared or deleted meanwhile, or
      // writers went on so far that it was dropped for size.
      long rc = CurrentHead(h, head);
      if (rc != kOk) return rc;
      if (h->segment >= head->oldestSegment) return kErrorLogFileDamaged;
      MoveTo(h, head->oldestSegment);
      continue;
    }
    MoveTo(h, h->segment + 1);
  }
}

}  // namespace

long OpenEventLog(const std::string& name, HEVENTLOG* out) {
  if (!out) return kInvalidParameter;
  *out = nullptr;
  std::string log;
  long rc = FindEventLog(name, &log);
  if (rc != kOk) return rc;
  auto h = std::make_unique<EventLogObject>();
  h->log = log;
  if ((rc = OpenLogFiles(log, &h->dir, &h->headFd)) != kOk) return rc;
  Head head;
  {
    FileLock shared(h->headFd, LOCK_SH);
    if (!ReadHead(h->headFd, &head)) return kErrorLogFileDamaged;
  }
  h->generation = head.generation;
  MoveTo(h.get(), head.oldestSegment);
  *out = h.release();
  AddHandle(*out);
  return kOk;
}

long CloseEventLog(HEVENTLOG log) {
  if (!RetireHandle(log)) return kInvalidHandle;
  Watcher::Get()->Remove(log);
  delete log;
  return kOk;
}

long ReadEventLog(HEVENTLOG log, uint32_t flags, uint32_t /*recordOffset*/, void* buffer, uint32_t size,
                  uint32_t* bytesRead, uint32_t* minNumberOfBytesNeeded) {
  auto lock = LockHandle(log);
  if (!lock) return kInvalidHandle;
  if (flags != (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ) || !bytesRead || (!buffer && size))
    return kInvalidParameter;
  *bytesRead = 0;
  if (minNumberOfBytesNeeded) *minNumberOfBytesNeeded = 0;
  Head head;
  long rc = CurrentHead(log, &head);
  if (rc != kOk) return rc;

  char* out = static_cast<char*>(buffer);
  uint32_t filled = 0;
  while (true) {
    if (log->segmentFd < 0 && (rc = OpenSegment(log, &head)) != kOk) break;
    uint64_t end;
    if (log->segment == head.currentSegment) {
      end = head.writtenEnd;
    } else {
      // Segments before the current one are complete: cut to their written end when the
      // writer moved on.
      struct stat st;
      if (fstat(log->segmentFd, &st) != 0) {
        rc = LastError();
        break;
      }
      end = static_cast<uint64_t>(st.st_size);
    }
    if (log->offset >= end) {
      if (log->segment >= head.currentSegment) break;
      MoveTo(log, log->segment + 1);
      continue;
    }
    uint32_t room = size - filled;
    uint64_t left = end - log->offset;
    if (room < 8) {
      if (filled > 0) break;
      // Too small to hold even a length: look at the next record's length elsewhere.
      char probe[8];
      if (!ReadAt(log->segmentFd, probe, sizeof probe, log->offset)) {
        rc = LastError();
        break;
      }
      uint32_t length = CheckedLength(probe, sizeof probe);
      if (!length || length > left) {
        rc = kErrorLogFileDamaged;
        break;
      }
      if (minNumberOfBytesNeeded) *minNumberOfBytesNeeded = length;
      rc = kErrorInsufficientBuffer;
      break;
    }
    size_t want = static_cast<size_t>(std::min<uint64_t>(room, left));
    size_t got = 0;
    if (!ReadAt(log->segmentFd, out + filled, want, log->offset, &got) || got < std::min<size_t>(want, 8)) {
      rc = got ? kErrorLogFileDamaged : LastError();
      break;
    }
    size_t used = 0;
    uint32_t tooBig = 0;
    while (used + 8 <= got) {
      uint32_t length = CheckedLength(out + filled + used, got - used);
      if (!length || length > left - used) {
        rc = kErrorLogFileDamaged;
        break;
      }
      if (used + length > got) {
        tooBig = length;
        break;
      }
      used += length;
    }
    if (rc == kOk && used == 0 && got < 8) rc = kErrorLogFileDamaged;
    filled += static_cast<uint32_t>(used);
    log->offset += used;
    if (rc != kOk) break;
    if (used == 0) {
      // The next record does not fit into what is left of the buffer.
      if (filled == 0) {
        if (minNumberOfBytesNeeded) *minNumberOfBytesNeeded = tooBig;
        rc = kErrorInsufficientBuffer;
      }
      break;
    }
    if (used < got || filled == size) break;
  }
  // Records already copied are returned; a fault behind them shows on the next read.
  if (filled > 0) {
    *bytesRead = filled;
    return kOk;
  }
  return rc != kOk ? rc : kErrorHandleEof;
}

long NotifyChangeEventLog(HEVENTLOG log, ManualResetEvent* event) {
  auto lock = LockHandle(log);
  if (!lock) return kInvalidHandle;
  if (!event) return kInvalidParameter;
  return Watcher::Get()->Add(log, JoinPath(log->dir, "head"), event);
}

long GetNumberOfEventLogRecords(HEVENTLOG log, uint32_t* count) {
  auto lock = LockHandle(log);
  if (!lock) return kInvalidHandle;
  if (!count) return kInvalidParameter;
  Head head;
  FileLock shared(log->headFd, LOCK_SH);
  if (!ReadHead(log->headFd, &head)) return kErrorLogFileDamaged;
  *count = head.nextRecord - head.oldestRecord;
  return kOk;
}

long GetOldestEventLogRecord(HEVENTLOG log, uint32_t* oldest) {
  auto lock = LockHandle(log);
  if (!lock) return kInvalidHandle;
  if (!oldest) return kInvalidParameter;
  Head head;
  FileLock shared(log->headFd, LOCK_SH);
  if (!ReadHead(log->headFd, &head)) return kErrorLogFileDamaged;
  *oldest = head.nextRecord == head.oldestRecord ? 0 : head.oldestRecord;
  return kOk;
}

long ClearEventLog(HEVENTLOG log) {
  auto lock = LockHandle(log);
  if (!lock) return kInvalidHandle;
  FileLock exclusive(log->headFd, LOCK_EX);
  if (!exclusive.held()) return LastError();
  if (IsUnlinked(log->headFd)) return kErrorEventlogFileChanged;
  Head head;
  if (!ReadHead(log->headFd, &head)) return kErrorLogFileDamaged;
  uint64_t fresh = head.currentSegment + 1;
  long rc = StartGeneration(log->headFd, log->dir, log->log, head.generation + 1, fresh, &head);
  if (rc != kOk) return rc;
  RemoveSegments(log->dir, fresh);
  log->generation = head.generation;
  log->changed = false;
  MoveTo(log, fresh);
  return kOk;
}

// --- Writing --------------------------------------------------------------------------

struct EventSourceObject {
  std::mutex mutex;
  std::string source;
  std::string log;
  std::string dir;
  std::string computer;
  uint32_t maxSize = kEventLogDefaultMaxSize;
  int headFd = -1;
  int segmentFd = -1;  // open on segment `segmentId` of generation `segmentGeneration`
  uint64_t segmentId = 0;
  uint32_t segmentGeneration = 0;

  void CloseFiles() {
    if (segmentFd >= 0) close(segmentFd);
    if (headFd >= 0) close(headFd);
    segmentFd = headFd = -1;
  }
  ~EventSourceObject() { CloseFiles(); }
};

namespace {

// The descriptor of the current segment named by `head`, opened when needed. A current
// segment that went missing is made again, empty.
long CurrentSegment(EventSourceObject* s, Head* head) {
  if (s->segmentFd >= 0 && s->segmentId == head->currentSegment && s->segmentGeneration == head->generation)
    return kOk;
  if (s->segmentFd >= 0) close(s->segmentFd);
  s->segmentFd = open(SegmentPath(s->dir, head->currentSegment).c_str(), O_RDWR | O_CLOEXEC);
  if (s->segmentFd < 0 && errno == ENOENT) {
    s->segmentFd = CreateSegment(s->dir, head->currentSegment, head->generation, head->nextRecord);
    head->writtenEnd = kSegmentHeaderSize;
    if (head->oldestSegment == head->currentSegment) head->oldestRecord = head->nextRecord;
  }
  if (s->segmentFd < 0) return LastError();
  s->segmentId = head->currentSegment;
  s->segmentGeneration = head->generation;
  return kOk;
}

// Closes the current segment at its written end and starts the next one.
long StartNextSegment(EventSourceObject* s, Head* head) {
  if (ftruncate(s->segmentFd, static_cast<off_t>(head->writtenEnd)) != 0) return LastError();
  uint64_t next = head->currentSegment + 1;
  int fd = CreateSegment(s->dir, next, head->generation, head->nextRecord);
  if (fd < 0) return LastError();
  close(s->segmentFd);
  s->segmentFd = fd;
  s->segmentId = next;
  head->currentSegment = next;
  head->writtenEnd = kSegmentHeaderSize;
  head->retained += kSegmentHeaderSize;
  // The size limit is read again once per segment, so a changed MaxSize takes effect.
  s->maxSize = MaxSizeOf(s->log);
  head->segmentLimit = SegmentLimitFor(s->maxSize);
  return kOk;
}

// Takes the oldest segments off the head while the log is over its size; returns those to
// remove once the head no longer names them.
std::vector<uint64_t> DropOldest(EventSourceObject* s, Head* head) {
  std::vector<uint64_t> dropped;
  while (head->retained > s->maxSize && head->oldestSegment < head->currentSegment) {
    struct stat st;
    uint64_t bytes = stat(SegmentPath(s->dir, head->oldestSegment).c_str(), &st) == 0
                         ? static_cast<uint64_t>(st.st_size) : 0;
    head->retained -= std::min(bytes, head->retained);
    dropped.push_back(head->oldestSegment++);
  }
  if (!dropped.empty()) {
    head->oldestRecord = head->nextRecord;
    if (head->oldestSegment != head->currentSegment || head->writtenEnd > kSegmentHeaderSize) {
      int fd = open(SegmentPath(s->dir, head->oldestSegment).c_str(), O_RDONLY | O_CLOEXEC);
      SegmentHeader sh;
      if (fd >= 0 && ReadSegmentHeader(fd, &sh)) head->oldestRecord = sh.firstRecord;
      if (fd >= 0) close(fd);
    }
  }
  return dropped;
}

long ReopenLog(EventSourceObject* s) {
  s->CloseFiles();
  std::string log;
  long rc = FindEventLog(s->log, &log);
  if (rc != kOk) return rc;
  return OpenLogFiles(log, &s->dir, &s->headFd);
}

}  // namespace

long RegisterEventSource(const std::string& source, HEVENTSOURCE* out) {
  if (!out) return kInvalidParameter;
  *out = nullptr;
  if (!IsValidEventLogName(source)) return kInvalidParameter;
  auto s = std::make_unique<EventSourceObject>();
  s->source = source;
  long rc = FindEventSourceLog(source, &s->log);
  if (rc == kNotFound) rc = FindEventLog("Application", &s->log);
  if (rc != kOk) return rc;
  if ((rc = OpenLogFiles(s->log, &s->dir, &s->headFd)) != kOk) return rc;
  s->computer = ComputerName();
  s->maxSize = MaxSizeOf(s->log);
  *out = s.release();
  AddHandle(*out);
  return kOk;
}

long DeregisterEventSource(HEVENTSOURCE source) {
  if (!RetireHandle(source)) return kInvalidHandle;
  delete source;
  return kOk;
}

long ReportEvent(HEVENTSOURCE source, uint16_t type, uint16_t category, uint32_t eventId,
                 const std::vector<std::string>& strings, const std::string& data) {
  auto lock = LockHandle(source);
  if (!lock) return kInvalidHandle;
  switch (type) {
    case EVENTLOG_SUCCESS: case EVENTLOG_ERROR_TYPE: case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_INFORMATION_TYPE: case EVENTLOG_AUDIT_SUCCESS: case EVENTLOG_AUDIT_FAILURE: break;
    default: return kInvalidParameter;
  }
  if (strings.size() > 0xFFFF) return kInvalidParameter;
  std::string record = EncodeRecord(type, category, eventId, source->source, source->computer, strings, data);
  if (record.empty()) return kInvalidParameter;

  for (int attempt = 0;; ++attempt) {
    if (source->headFd < 0) {
      long rc = ReopenLog(source);
      if (rc != kOk) return rc;
    }
    FileLock exclusive(source->headFd, LOCK_EX);
    if (!exclusive.held()) return LastError();
    if (IsUnlinked(source->headFd)) {
      // The log was deleted (and maybe made again) since this handle opened it.
      if (attempt > 0) return kNotFound;
      exclusive.Release();
      source->CloseFiles();
      continue;
    }
    Head head;
    if (!ReadHead(source->headFd, &head)) return kErrorLogFileDamaged;
    long rc = CurrentSegment(source, &head);
    if (rc != kOk) return rc;
    // The smaller of the limits the log was given and this writer read, so that a log made
    // smaller takes effect at once.
    uint64_t limit = std::min(head.segmentLimit, SegmentLimitFor(source->maxSize));
    if (head.writtenEnd > kSegmentHeaderSize && head.writtenEnd + record.size() > limit &&
        (rc = StartNextSegment(source, &head)) != kOk)
      return rc;
    uint32_t number = head.nextRecord, written = Now();
    std::memcpy(record.data() + offsetof(EVENTLOGRECORD, RecordNumber), &number, 4);
    std::memcpy(record.data() + offsetof(EVENTLOGRECORD, TimeWritten), &written, 4);
    if (!WriteAt(source->segmentFd, record.data(), record.size(), head.writtenEnd)) return LastError();
    head.writtenEnd += record.size();
    head.retained += record.size();
    ++head.nextRecord;
    std::vector<uint64_t> dropped = DropOldest(source, &head);
    if (!WriteHead(source->headFd, head)) return LastError();
    for (uint64_t id : dropped) unlink(SegmentPath(source->dir, id).c_str());
    return kOk;
  }
}

// --- Logs and sources -----------------------------------------------------------------

bool IsValidEventLogName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '.') return false;
  for (char c : name)
    if (c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

long FindEventLog(const std::string& name, std::string* registered) {
  if (!IsValidEventLogName(name)) return kNotFound;
  Key logs;
  long rc = logs.Open(kEventLogKey);
  if (rc != kOk) return rc;
  std::vector<std::string> names;
  if ((rc = RegEnumKeys(logs.get(), &names)) != kOk) return rc;
  for (const auto& n : names) {
    if (SameName(n, name)) {
      if (registered) *registered = n;
      return kOk;
    }
  }
  return kNotFound;
}

long CreateEventLog(const std::string& name) {
  if (!IsValidEventLogName(name)) return kInvalidParameter;
  long rc = FindEventLog(name, nullptr);
  if (rc == kOk) return kAlreadyExists;
  if (rc != kNotFound) return rc;
  HKEY key;
  if ((rc = RegCreateKey(HKEY_LOCAL_MACHINE, LogKey(name), KEY_ALL_ACCESS, &key)) != kOk) return rc;
  RegCloseKey(key);
  std::string dir;
  int fd;
  if ((rc = OpenLogFiles(name, &dir, &fd)) != kOk) return rc;
  close(fd);
  return kOk;
}

long DeleteEventLog(const std::string& name) {
  std::string log;
  long rc = FindEventLog(name, &log);
  if (rc != kOk) return rc;
  for (const char* standard : kStandardLogs)
    if (SameName(log, standard)) return kAccessDenied;
  Key logs;
  if ((rc = logs.Open(kEventLogKey, KEY_ALL_ACCESS)) != kOk) return rc;
  if ((rc = RegDeleteTree(logs.get(), log)) != kOk) return rc;
  std::string dir = LogFolder(log);
  std::string headPath = JoinPath(dir, "head");
  int fd = open(headPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    // Under the writers' lock, so that no record lands in a file being removed.
    FileLock exclusive(fd, LOCK_EX);
    RemoveSegments(dir, UINT64_MAX);
    unlink(headPath.c_str());
  }
  if (fd >= 0) close(fd);
  rmdir(dir.c_str());
  return kOk;
}

long FindEventSourceLog(const std::string& source, std::string* log) {
  if (!IsValidEventLogName(source)) return kNotFound;
  Key logs;
  long rc = logs.Open(kEventLogKey);
  if (rc != kOk) return rc;
  std::vector<std::string> names;
  if ((rc = RegEnumKeys(logs.get(), &names)) != kOk) return rc;
  for (const auto& n : names) {
    Key key;
    if (key.Open(LogKey(n) + "\\" + source) == kOk) {
      if (log) *log = n;
      return kOk;
    }
  }
  return kNotFound;
}

long AddEventSource(const std::string& log, const std::string& source,
                    const std::string& eventMessageFile, const std::string& parameterMessageFile) {
  if (!IsValidEventLogName(source)) return kInvalidParameter;
  std::string registered, current;
  long rc = FindEventLog(log, &registered);
  if (rc != kOk) return rc;
  rc = FindEventSourceLog(source, &current);
  if (rc == kOk && !SameName(current, registered)) return kAlreadyExists;
  if (rc != kOk && rc != kNotFound) return rc;
  const std::string key = LogKey(registered) + "\\" + source;
  return RegTransaction(HKEY_LOCAL_MACHINE, [&]() -> long {
    long r = RegPutValue(HKEY_LOCAL_MACHINE, key, "EventMessageFile", REG_EXPAND_SZ,
                         RegStringData(eventMessageFile));
    if (r != kOk) return r;
    r = RegPutValue(HKEY_LOCAL_MACHINE, key, "TypesSupported", REG_DWORD, RegDwordData(0x1F));
    if (r != kOk) return r;
    if (!parameterMessageFile.empty())
      return RegPutValue(HKEY_LOCAL_MACHINE, key, "ParameterMessageFile", REG_EXPAND_SZ,
                         RegStringData(parameterMessageFile));
    // A failed call inside a transaction undoes it, so only a value that is there is removed.
    Key k;
    if ((r = k.Open(key, KEY_ALL_ACCESS)) != kOk) return r;
    if (RegQueryValue(k.get(), "ParameterMessageFile", nullptr) != kOk) return kOk;
    return RegDeleteValue(k.get(), "ParameterMessageFile");
  });
}

long DeleteEventSource(const std::string& log, const std::string& source) {
  std::string registered;
  long rc = FindEventLog(log, &registered);
  if (rc != kOk) return rc;
  if (!IsValidEventLogName(source)) return kNotFound;
  Key key;
  if ((rc = key.Open(LogKey(registered), KEY_ALL_ACCESS)) != kOk) return rc;
  return RegDeleteTree(key.get(), source);
}

}  // namespace vlzt::platform
