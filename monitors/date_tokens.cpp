// monitors/date_tokens.cpp
#include "monitors/date_tokens.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/environment.h"

namespace vlzt {
namespace {

constexpr size_t kWorkLimit = 520;
constexpr const char* kDayNames[] = {"SUNDAY", "MONDAY", "TUESDAY", "WEDNESDAY", "THURSDAY", "FRIDAY", "SATURDAY"};

bool At(const std::string& s, size_t pos, const char* token) {
  size_t n = std::strlen(token);
  if (pos + n > s.size()) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(s[pos + i])) != token[i]) return false;
  return true;
}

size_t Digits(const std::string& s, size_t pos) {
  size_t n = 0;
  while (pos + n < s.size() && std::isdigit(static_cast<unsigned char>(s[pos + n]))) ++n;
  return n;
}

// A shift token at `pos`: "$$DD+", "$$DN-", or bracketed "$$DD[+" ... "]". Gives its kind
// ('D' date, 'N' weekday), signed amount and length.
bool ShiftAt(const std::string& s, size_t pos, char* kind, long* amount, size_t* length) {
  if (!At(s, pos, "$$D")) return false;
  size_t i = pos + 3;
  if (i >= s.size()) return false;
  char k = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
  if (k != 'D' && k != 'N') return false;
  ++i;
  bool bracket = i < s.size() && s[i] == '[';
  if (bracket) ++i;
  if (i >= s.size() || (s[i] != '+' && s[i] != '-')) return false;
  bool minus = s[i] == '-';
  ++i;
  size_t digits = Digits(s, i);
  long n = digits ? std::strtol(s.substr(i, std::min<size_t>(digits, 9)).c_str(), nullptr, 10) : 0;
  i += digits;
  if (bracket) {
    if (i >= s.size() || s[i] != ']') return false;
    ++i;
  }
  *kind = k;
  *amount = minus ? -n : n;
  *length = i - pos;
  return true;
}

}  // namespace

int ExpandDateTokens(const std::string& pattern, std::string& result, size_t size) {
  std::string p = platform::ExpandEnvironmentStrings(pattern).substr(0, kWorkLimit);

  // The first shift decides; every shift is then written as its plain token.
  char kind = 0;
  long shift = 0;
  std::string plain;
  for (size_t i = 0; i < p.size();) {
    char k;
    long n;
    size_t len;
    if (ShiftAt(p, i, &k, &n, &len)) {
      if (!kind) {
        kind = k;
        shift = n;
      }
      plain += k == 'D' ? "$$DD" : "$$DN";
      i += len;
    } else {
      plain += p[i++];
    }
  }

  std::tm today = platform::LocalTime(platform::CurrentTime());
  std::tm date = today;
  if (kind == 'D') {
    date.tm_mday += static_cast<int>(shift);
    date.tm_hour = 12;  // away from daylight-saving changes
    date = platform::LocalTime(platform::CalendarTime(date));
  }
  int weekday = date.tm_wday;
  if (kind == 'N') weekday = static_cast<int>(((today.tm_wday + shift) % 7 + 7) % 7);
  int yy = date.tm_year % 100, mm = date.tm_mon + 1, dd = date.tm_mday;

  std::string out;
  bool replaced = false;
  char text[64];
  for (size_t i = 0; i < plain.size();) {
    const char* value = nullptr;
    size_t len = 0;
    if (At(plain, i, "$$YYMMDD")) {
      std::snprintf(text, sizeof text, "%02d%02d%02d", yy, mm, dd);
      len = 8;
    } else if (At(plain, i, "$$MMDDYY")) {
      std::snprintf(text, sizeof text, "%02d%02d%02d", mm, dd, yy);
      len = 8;
    } else if (At(plain, i, "$$DDMMYY")) {
      std::snprintf(text, sizeof text, "%02d%02d%02d", dd, mm, yy);
      len = 8;
    } else if (At(plain, i, "$$DD")) {
      std::snprintf(text, sizeof text, "%02d", dd);
      len = 4;
    } else if (At(plain, i, "$$MM")) {
      std::snprintf(text, sizeof text, "%02d", mm);
      len = 4;
    } else if (At(plain, i, "$$YY")) {
      std::snprintf(text, sizeof text, "%02d", yy);
      len = 4;
    } else if (At(plain, i, "$$DN")) {
      std::snprintf(text, sizeof text, "%d", weekday + 1);
      len = 4;
    } else if (At(plain, i, "$$DC")) {
      size_t digits = Digits(plain, i + 4);
      size_t k = digits ? std::strtoul(plain.substr(i + 4, std::min<size_t>(digits, 9)).c_str(), nullptr, 10) : 0;
      if (k == 0) k = 3;
      std::string name = std::string(kDayNames[weekday]).substr(0, k);
      std::snprintf(text, sizeof text, "%s", name.c_str());
      len = 4 + digits;
    }
    if (len) {
      value = text;
      replaced = true;
      out += value;
      i += len;
    } else {
      out += plain[i++];
    }
    if (size == 0 || out.size() > size - 1) return 0;
  }
  result = out;
  return replaced ? 1 : 0;
}

}  // namespace vlzt
