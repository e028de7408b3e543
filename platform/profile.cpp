// platform/profile.cpp
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vlzt::platform {
namespace {

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t\r");
  return text.substr(b, e - b + 1);
}

// One line of the file, classified; `text` is the line as stored, without its line end.
struct Line {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string text;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed and unquoted
};

Line Classify(const std::string& text) {
  Line line;
  line.text = text;
  std::string t = Trim(text);
  if (t.empty() || t[0] == ';') return line;
  if (t[0] == '[') {
    size_t close = t.find(']');
    if (close == std::string::npos) return line;
    line.kind = Line::kSection;
    line.name = Trim(t.substr(1, close - 1));
    return line;
  }
  size_t eq = t.find('=');
  if (eq == std::string::npos || eq == 0) return line;
  line.kind = Line::kKey;
  line.name = Trim(t.substr(0, eq));
  std::string v = Trim(t.substr(eq + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  line.value = v;
  return line;
}

struct Parsed {
  std::vector<Line> lines;
  bool crlf = false;
  bool finalNewline = true;
};

bool ReadWhole(const std::string& file, std::string* text) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return true;
}

Parsed Parse(const std::string& text) {
  Parsed p;
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string raw = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!raw.empty() && raw.back() == '\r') {
      raw.pop_back();
      if (first) p.crlf = true;
    }
    first = false;
    p.lines.push_back(Classify(raw));
    if (nl == std::string::npos) {
      p.finalNewline = false;
      break;
    }
    start = nl + 1;
  }
  return p;
}

Parsed Load(const std::string& file) {
  std::string text;
  if (!ReadWhole(file, &text)) return Parsed{};
  return Parse(text);
}

// Index of the first header of `section`, or -1.
long FindSection(const Parsed& p, const char* section) {
  for (size_t i = 0; i < p.lines.size(); ++i)
    if (p.lines[i].kind == Line::kSection && SameName(p.lines[i].name, section))
      return static_cast<long>(i);
  return -1;
}

// One past the last line of the section that starts at `header`.
size_t SectionEnd(const Parsed& p, size_t header) {
  size_t i = header + 1;
  while (i < p.lines.size() && p.lines[i].kind != Line::kSection) ++i;
  return i;
}

const Line* FindKey(const Parsed& p, const char* section, const char* key) {
  long s = FindSection(p, section);
  if (s < 0) return nullptr;
  for (size_t i = static_cast<size_t>(s) + 1, end = SectionEnd(p, s); i < end; ++i)
    if (p.lines[i].kind == Line::kKey && SameName(p.lines[i].name, key)) return &p.lines[i];
  return nullptr;
}

std::vector<std::string> SectionNames(const Parsed& p) {
  std::vector<std::string> names;
  for (const Line& l : p.lines)
    if (l.kind == Line::kSection) names.push_back(l.name);
  return names;
}

std::vector<std::string> KeyNames(const Parsed& p, const char* section) {
  std::vector<std::string> names;
  long s = FindSection(p, section);
  if (s >= 0)
    for (size_t i = static_cast<size_t>(s) + 1, end = SectionEnd(p, s); i < end; ++i)
      if (p.lines[i].kind == Line::kKey) names.push_back(p.lines[i].name);
  return names;
}

uint32_t CopyText(const std::string& text, char* buffer, uint32_t size) {
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(text.size(), size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

uint32_t CopyList(const std::vector<std::string>& names, char* buffer, uint32_t size) {
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  uint32_t used = 0;
  for (const std::string& name : names) {
    if (used + name.size() + 2 > size) {
      // Cut the last name so the list still ends in two zeros.
      if (used < size - 2) std::memcpy(buffer + used, name.data(), size - 2 - used);
      buffer[size - 2] = '\0';
      buffer[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buffer + used, name.data(), name.size());
    used += static_cast<uint32_t>(name.size());
    buffer[used++] = '\0';
  }
  buffer[used] = '\0';
  if (used == 0 && size > 1) buffer[1] = '\0';
  return used;
}

// Line ends inside a name or value would split it into other lines of the file.
std::string OneLine(const char* text) {
  std::string s(text);
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

// Holds the lock of a file's folder, which serialises the writers of every process.
class FolderLock {
 public:
  explicit FolderLock(const std::string& file) {
    size_t slash = file.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool WriteAtomically(const std::string& file, const std::string& text) {
  std::string temp = file + ".~" + std::to_string(getpid()) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st;
  if (stat(file.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      close(fd);
      unlink(temp.c_str());
      errno = err;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temp.c_str(), file.c_str()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    errno = err;
    return false;
  }
  return true;
}

std::string Render(const Parsed& p) {
  std::string out;
  const char* eol = p.crlf ? "\r\n" : "\n";
  for (const Line& line : p.lines) {
    out += line.text;
    out += eol;
  }
  return out;
}

}  // namespace

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* def,
                                 char* buffer, uint32_t size, const std::string& file) {
  if (!buffer || size == 0) return 0;
  Parsed p = Load(file);
  if (!section) return CopyList(SectionNames(p), buffer, size);
  if (!key) return CopyList(KeyNames(p, section), buffer, size);
  if (const Line* line = FindKey(p, section, key)) return CopyText(line->value, buffer, size);
  std::string d = def ? def : "";
  d.erase(d.find_last_not_of(' ') + 1);
  return CopyText(d, buffer, size);
}

int32_t GetPrivateProfileInt(const char* section, const char* key, int32_t def,
                             const std::string& file) {
  Parsed p = Load(file);
  const Line* line = section && key ? FindKey(p, section, key) : nullptr;
  if (!line) return def;
  const char* s = line->value.c_str();
  bool negative = false;
  if (*s == '-' || *s == '+') negative = *s++ == '-';
  int64_t n = 0;
  while (*s >= '0' && *s <= '9' && n <= INT32_MAX) n = n * 10 + (*s++ - '0');
  if (n > INT32_MAX) n = INT32_MAX;
  return static_cast<int32_t>(negative ? -n : n);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& file) {
  if (!section) {
    errno = EINVAL;
    return false;
  }
  FolderLock lock(file);
  if (!lock.ok()) return false;
  std::string text;
  bool exists = ReadWhole(file, &text);
  Parsed p = Parse(text);
  long s = FindSection(p, section);
  if (!key) {
    if (s < 0) return true;
    p.lines.erase(p.lines.begin() + s, p.lines.begin() + static_cast<long>(SectionEnd(p, s)));
    return WriteAtomically(file, Render(p));
  }
  std::string keyText = OneLine(key);
  if (s < 0) {
    if (!value) return true;
    if (exists && !p.lines.empty() && !Trim(p.lines.back().text).empty())
      p.lines.push_back(Classify(""));
    p.lines.push_back(Classify(std::string("[").append(OneLine(section)).append("]")));
    p.lines.push_back(Classify(keyText + "=" + OneLine(value)));
    return WriteAtomically(file, Render(p));
  }
  size_t end = SectionEnd(p, s);
  for (size_t i = static_cast<size_t>(s) + 1; i < end; ++i) {
    if (p.lines[i].kind != Line::kKey || !SameName(p.lines[i].name, key)) continue;
    if (!value) p.lines.erase(p.lines.begin() + static_cast<long>(i));
    else p.lines[i] = Classify(p.lines[i].name + "=" + OneLine(value));
    return WriteAtomically(file, Render(p));
  }
  if (!value) return true;
  // New keys go after the section's last non-blank line.
  size_t at = end;
  while (at > static_cast<size_t>(s) + 1 && Trim(p.lines[at - 1].text).empty()) --at;
  p.lines.insert(p.lines.begin() + static_cast<long>(at), Classify(keyText + "=" + OneLine(value)));
  return WriteAtomically(file, Render(p));
}

bool WritePrivateProfileSection(const std::string& section,
                                const std::vector<std::pair<std::string, std::string>>& pairs,
                                const std::string& file) {
  FolderLock lock(file);
  if (!lock.ok()) return false;
  std::string text;
  bool exists = ReadWhole(file, &text);
  Parsed p = Parse(text);
  std::vector<Line> keys;
  for (const auto& [key, value] : pairs) keys.push_back(Classify(OneLine(key.c_str()) + "=" + OneLine(value.c_str())));
  long s = FindSection(p, section.c_str());
  if (s < 0) {
    if (exists && !p.lines.empty() && !Trim(p.lines.back().text).empty()) p.lines.push_back(Classify(""));
    p.lines.push_back(Classify(std::string("[").append(OneLine(section.c_str())).append("]")));
    p.lines.insert(p.lines.end(), keys.begin(), keys.end());
    return WriteAtomically(file, Render(p));
  }
  size_t end = SectionEnd(p, s);
  std::vector<Line> kept;
  for (size_t i = static_cast<size_t>(s) + 1; i < end; ++i)
    if (p.lines[i].kind != Line::kKey) kept.push_back(p.lines[i]);
  // The new keys come first, then whatever else the section held (comments, blank lines).
  keys.insert(keys.end(), kept.begin(), kept.end());
  p.lines.erase(p.lines.begin() + s + 1, p.lines.begin() + static_cast<long>(end));
  p.lines.insert(p.lines.begin() + s + 1, keys.begin(), keys.end());
  return WriteAtomically(file, Render(p));
}

bool WritePrivateProfileInt(const char* section, const char* key, int32_t value,
                            const std::string& file) {
  return WritePrivateProfileString(section, key, std::to_string(value).c_str(), file);
}

std::string GetProfileValue(const std::string& section, const std::string& key,
                            const std::string& def, const std::string& file) {
  Parsed p = Load(file);
  const Line* line = FindKey(p, section.c_str(), key.c_str());
  return line ? line->value : def;
}

std::vector<std::string> GetProfileSections(const std::string& file) {
  return SectionNames(Load(file));
}

std::vector<std::string> GetProfileKeys(const std::string& section, const std::string& file) {
  return KeyNames(Load(file), section.c_str());
}

}  // namespace vlzt::platform
