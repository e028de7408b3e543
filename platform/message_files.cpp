// platform/message_files.cpp
// Parsed files are shared through a small cache keyed by path and checked against the file's
// identity and times on every load, so an edited file is always read again.
#include "platform/message_files.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/environment.h"
#include "platform/eventlog.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace vlzt::platform {

namespace {

constexpr long kOk = 0;
constexpr long kNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidParameter = 87;
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;
constexpr size_t kCacheEntries = 64;
// A file changed this recently may change again within the same timestamp tick, so it is
// not cached.
constexpr time_t kSettleSeconds = 2;

struct Block {
  uint32_t first;
  uint32_t last;
  std::string text;
};

struct Parsed {
  std::vector<Block> blocks;                       // in file order
  std::unordered_map<uint32_t, size_t> single;     // first block of each single identifier
  std::vector<size_t> ranges;                      // blocks of more than one identifier

  const std::string* Find(uint32_t id) const {
    size_t best = blocks.size();
    auto it = single.find(id);
    if (it != single.end()) best = it->second;
    for (size_t i : ranges) {
      if (i >= best) break;
      if (blocks[i].first <= id && id <= blocks[i].last) {
        best = i;
        break;
      }
    }
    return best < blocks.size() ? &blocks[best].text : nullptr;
  }
};

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return text.substr(b, text.find_last_not_of(" \t") - b + 1);
}

bool ParseNumber(const std::string& text, uint32_t* out) {
  if (text.empty()) return false;
  int base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

// "MessageId=<a>[-<b>]"; false when the line is not one.
bool ParseMessageId(const std::string& line, uint32_t* first, uint32_t* last, bool* isHeader) {
  *isHeader = line.size() >= 9 && strncasecmp(line.c_str(), "MessageId", 9) == 0;
  if (!*isHeader) return false;
  std::string rest = Trim(line.substr(9));
  if (rest.empty() || rest[0] != '=') return false;
  rest = Trim(rest.substr(1));
  size_t dash = rest.find('-');
  if (dash == std::string::npos) {
    if (!ParseNumber(rest, first)) return false;
    *last = *first;
    return true;
  }
  return ParseNumber(Trim(rest.substr(0, dash)), first) && ParseNumber(Trim(rest.substr(dash + 1)), last) &&
         *first <= *last;
}

long Parse(const std::string& content, Parsed* out, std::string* reason) {
  auto fail = [&](size_t line, const std::string& why) {
    if (reason) *reason = "line " + std::to_string(line) + ": " + why;
    return kMessageFileMalformed;
  };
  bool inBlock = false;
  size_t blockLine = 0;
  Block block{};
  size_t pos = 0, lineNo = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    std::string line = content.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? content.size() : nl + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (inBlock) {
      if (line == ".") {
        size_t index = out->blocks.size();
        if (block.first == block.last) out->single.emplace(block.first, index);
        else out->ranges.push_back(index);
        out->blocks.push_back(std::move(block));
        block = Block{};
        inBlock = false;
      } else {
        block.text += line;
        block.text += "\r\n";
      }
      continue;
    }
    std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') continue;
    bool isHeader;
    if (!ParseMessageId(trimmed, &block.first, &block.last, &isHeader))
      return fail(lineNo, isHeader ? "bad message identifier in \"" + trimmed + "\""
                                   : "expected MessageId=<number>, found \"" + trimmed + "\"");
    inBlock = true;
    blockLine = lineNo;
  }
  if (inBlock) return fail(blockLine, "the message has no closing line holding a single '.'");
  return kOk;
}

struct CacheEntry {
  dev_t dev;
  ino_t ino;
  off_t size;
  timespec mtime;
  timespec ctime;
  std::shared_ptr<const Parsed> parsed;
};

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool Matches(const CacheEntry& e, const struct stat& st) {
  return e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size && SameTime(e.mtime, st.st_mtim) &&
         SameTime(e.ctime, st.st_ctim);
}

std::mutex g_cacheMutex;
std::map<std::string, CacheEntry> g_cache;

long ErrorOf(int err) {
  switch (err) {
    case ENOENT: return kNotFound;
    case ENOTDIR: return 3;
    case EACCES: case EPERM: case EISDIR: return kAccessDenied;
    default: return static_cast<long>(ErrorFromErrno(err));
  }
}

std::vector<std::string> SplitFileList(const std::string& list) {
  std::vector<std::string> files;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(";\r\n", start);
    std::string name = Trim(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!name.empty()) files.push_back(name);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return files;
}

// The text of a string value of the source's key, or "" when it has none.
std::string SourceValue(const std::string& key, const std::string& name) {
  RegValue v;
  if (RegGetValue(HKEY_LOCAL_MACHINE, key, name, &v) != kOk) return "";
  if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return "";
  return RegDataString(v.data);
}

// Replaces every "%%<n>" of `message` by message n of `file`; false when one is missing.
bool ReplaceFromParameterFile(HMESSAGEFILE file, std::string* message) {
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t at = message->find("%%", pos);
    if (at == std::string::npos) break;
    size_t digits = at + 2;
    while (digits < message->size() && (*message)[digits] >= '0' && (*message)[digits] <= '9') ++digits;
    uint32_t id;
    if (digits == at + 2 || !ParseNumber(message->substr(at + 2, digits - at - 2), &id)) {
      out.append(*message, pos, at + 2 - pos);
      pos = at + 2;
      continue;
    }
    std::string text;
    if (FormatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, file, id, {}, &text) != kOk)
      return false;
    // A parameter is a word or phrase inside a sentence, so its own line end goes.
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    out.append(*message, pos, at - pos);
    out += text;
    pos = digits;
  }
  out.append(*message, pos, std::string::npos);
  *message = out;
  return true;
}

}  // namespace

class MessageFile {
 public:
  explicit MessageFile(std::shared_ptr<const Parsed> parsed) : parsed_(std::move(parsed)) {}
  const Parsed& parsed() const { return *parsed_; }

 private:
  std::shared_ptr<const Parsed> parsed_;
};

long LoadMessageFile(const std::string& path, HMESSAGEFILE* out, std::string* reason) {
  if (!out) return kInvalidParameter;
  *out = nullptr;
  if (path.empty()) return kNotFound;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return ErrorOf(errno);
  if (!S_ISREG(st.st_mode)) return kAccessDenied;
  {
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    auto it = g_cache.find(path);
    if (it != g_cache.end() && Matches(it->second, st)) {
      *out = new MessageFile(it->second.parsed);
      return kOk;
    }
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrorOf(errno);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kAccessDenied;
  }
  if (st.st_size > kMaxFileSize) {
    close(fd);
    if (reason) *reason = "the file is larger than 16 MiB";
    return kMessageFileMalformed;
  }
  std::string content(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = read(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      return ErrorOf(err);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  content.resize(done);
  auto parsed = std::make_shared<Parsed>();
  long rc = Parse(content, parsed.get(), reason);
  if (rc != kOk) return rc;
  if (std::time(nullptr) - st.st_mtim.tv_sec >= kSettleSeconds && done == static_cast<size_t>(st.st_size)) {
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    if (g_cache.size() >= kCacheEntries) g_cache.clear();
    g_cache[path] = CacheEntry{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, parsed};
  }
  *out = new MessageFile(std::move(parsed));
  return kOk;
}

void FreeMessageFile(HMESSAGEFILE file) { delete file; }

const std::string* FindMessageText(HMESSAGEFILE file, uint32_t id) {
  return file ? file->parsed().Find(id) : nullptr;
}

std::string FormatMessageText(const std::string& text, const std::vector<std::string>* inserts) {
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= n) {
      out += '%';
      break;
    }
    char d = text[i + 1];
    if (d >= '1' && d <= '9') {
      size_t j = i + 2;
      size_t number = static_cast<size_t>(d - '0');
      if (j < n && text[j] >= '0' && text[j] <= '9') number = number * 10 + static_cast<size_t>(text[j++] - '0');
      if (j < n && text[j] == '!') {
        // A printf-style tail such as "!s!" or "!08lx!"; anything else leaves the '!'.
        size_t k = j + 1;
        while (k < n && k - j <= 12 && (std::isalnum(static_cast<unsigned char>(text[k])) ||
                                         std::strchr("-+#.*", text[k])))
          ++k;
        if (k < n && text[k] == '!' && k > j + 1) j = k + 1;
      }
      if (inserts && number <= inserts->size()) out += (*inserts)[number - 1];
      else out.append(text, i, j - i);
      i = j;
      continue;
    }
    switch (d) {
      case '0': return out;
      case 'n': out += "\r\n"; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '%': case '.': case '!': case ' ': out += d; break;
      default: out += '%'; out += d; break;
    }
    i += 2;
  }
  return out;
}

long FormatMessage(uint32_t flags, HMESSAGEFILE file, uint32_t id, const std::vector<std::string>& inserts,
                   std::string* out) {
  if (!out || !(flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM))) return kInvalidParameter;
  const std::string* text = nullptr;
  std::string system;
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) text = FindMessageText(file, id);
  if (!text && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
    system = SystemErrorText(id);
    if (!system.empty()) text = &system;
  }
  if (!text) return kMessageNotFound;
  *out = FormatMessageText(*text, (flags & FORMAT_MESSAGE_IGNORE_INSERTS) ? nullptr : &inserts);
  return kOk;
}

long FormatEventMessage(const std::string& log, const std::string& source, uint32_t eventId,
                        const std::vector<std::string>& strings, std::string* message, std::string* lastFile) {
  if (!message) return kInvalidParameter;
  if (lastFile) lastFile->clear();
  std::string registered;
  long rc = FindEventLog(log, &registered);
  if (rc != kOk) return rc;
  if (!IsValidEventLogName(source)) return kNotFound;
  const std::string key = std::string(kEventLogKey) + "\\" + registered + "\\" + source;
  std::vector<std::string> files = SplitFileList(SourceValue(key, "EventMessageFile"));
  if (files.empty()) return kNotFound;
  bool found = false;
  for (const auto& name : files) {
    std::string path = ExpandEnvironmentStrings(name);
    if (lastFile) *lastFile = path;
    HMESSAGEFILE file;
    if (LoadMessageFile(path, &file) != kOk) continue;
    found = FormatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, file, eventId, strings,
                          message) == kOk;
    FreeMessageFile(file);
    if (found) break;
  }
  if (!found) return kMessageNotFound;
  if (message->find("%%") == std::string::npos) return kOk;
  for (const auto& name : SplitFileList(SourceValue(key, "ParameterMessageFile"))) {
    HMESSAGEFILE file;
    if (LoadMessageFile(ExpandEnvironmentStrings(name), &file) != kOk) continue;
    std::string replaced = *message;
    bool done = ReplaceFromParameterFile(file, &replaced);
    FreeMessageFile(file);
    if (done) {
      *message = replaced;
      break;
    }
  }
  return kOk;
}

long EnsureGenericMessageFile(std::string* path) {
  // Log folders are named in lower case, so this name never meets one.
  std::string dir = JoinPath(MachineRoot(), "eventlog");
  std::string file = JoinPath(dir, "Generic.msg");
  struct stat st;
  if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    if (path) *path = file;
    return kOk;
  }
  if (!MakeDirectories(dir)) return ErrorOf(errno);
  // Written aside and renamed into place, so a reader never sees half of it.
  std::string temp = file + "." + std::to_string(getpid()) + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return ErrorOf(errno);
  std::fputs(
      "; Messages of event sources registered without a message file of their own:\n"
      "; the description given with the event is its message.\n"
      "MessageId=0-0xFFFFFFFF\n"
      "%1\n"
      ".\n",
      f);
  bool ok = std::fflush(f) == 0;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
    int err = errno;
    std::remove(temp.c_str());
    return ErrorOf(err);
  }
  if (path) *path = file;
  return kOk;
}

}  // namespace vlzt::platform
