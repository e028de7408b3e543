// alerting/substitution.cpp
#include "alerting/substitution.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <string_view>

#include "platform/clock.h"
#include "platform/system.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTAlertNotification";

// 0 until the registry has been read.
std::atomic<int32_t> g_dateFormat{0};

enum class Field {
  kServer, kInfo1, kInfo2, kInfo3, kMessage, kTitle, kTimeLogged, kTimeLoggedMdy, kSource,
  kTimeNowMdy, kTimeNow, kOSName, kServicePack, kAlertLevel,
};

struct Marker {
  std::string_view name;  // between "<$$" and ">", in capitals
  Field field;
  bool monitorAlertsOnly;  // only for error type 4
};

constexpr Marker kMarkers[] = {
    {"SERVER", Field::kServer, false},         {"INFO", Field::kInfo1, false},
    {"INFO1", Field::kInfo1, false},           {"INFO2", Field::kInfo2, false},
    {"INFO3", Field::kInfo3, false},           {"ERROR", Field::kMessage, false},
    {"TEST", Field::kTitle, false},            {"TITLE", Field::kTitle, false},
    {"TIMELOGGED", Field::kTimeLogged, false}, {"TIMELOGGED-MDY", Field::kTimeLoggedMdy, false},
    {"SOURCE", Field::kSource, false},         {"TIMENOW-MDY", Field::kTimeNowMdy, false},
    {"TIMENOW", Field::kTimeNow, false},       {"OSNAME", Field::kOSName, false},
    {"SERVICEPACK", Field::kServicePack, false}, {"ALERTLEVEL", Field::kAlertLevel, false},
    {"EVENTLOG", Field::kInfo1, true},         {"LOGFILE", Field::kInfo1, true},
    {"FILEPATH", Field::kInfo2, true},         {"EVENTLOGCHECK", Field::kInfo3, true},
    {"LOGFILECHECK", Field::kInfo3, true},
};
constexpr size_t kLongestMarkerName = 14;

bool SameIgnoringCase(std::string_view a, std::string_view upper) {
  if (a.size() != upper.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

const Marker* FindMarker(std::string_view name, int32_t errorType) {
  if (name.size() > kLongestMarkerName) return nullptr;
  for (const Marker& m : kMarkers)
    if ((!m.monitorAlertsOnly || errorType == 4) && SameIgnoringCase(name, m.name)) return &m;
  return nullptr;
}

void AppendValue(std::string& out, Field field, const SubstitutionRecord& r) {
  switch (field) {
    case Field::kServer: out += ServiceState().ComputerName; break;
    case Field::kInfo1: out += r.Info1; break;
    case Field::kInfo2: out += r.Info2; break;
    case Field::kInfo3: out += r.Info3; break;
    case Field::kMessage: out += r.Message; break;
    case Field::kTitle: out += r.Title; break;
    case Field::kTimeLogged: out += r.TimeLogged; break;
    case Field::kTimeLoggedMdy:
      out += CachedDateFormat() == 2 ? r.TimeLogged : ConvertToMonthFirst(r.TimeLogged);
      break;
    case Field::kSource: out += r.Source; break;
    case Field::kTimeNowMdy:
      out += CachedDateFormat() == 2 ? r.TimeNow : ConvertToMonthFirst(r.TimeNow);
      break;
    case Field::kTimeNow: out += r.TimeNow; break;
    case Field::kOSName: out += r.OSName; break;
    case Field::kServicePack: out += r.ServicePack; break;
    case Field::kAlertLevel: out += std::to_string(r.LevelNumber); break;
  }
}

}  // namespace

int SubstituteParamsForString_Dynamic(int32_t errorType, const std::string& templ,
                                      std::string& out, const SubstitutionRecord& record) {
  CachedDateFormat();
  try {
    std::string result;
    result.reserve(templ.size() + 1000);
    size_t pos = 0;
    // One pass: plain text is copied in runs between "<$$" openings.
    while (pos < templ.size()) {
      size_t open = templ.find("<$$", pos);
      if (open == std::string::npos) {
        result.append(templ, pos, std::string::npos);
        break;
      }
      result.append(templ, pos, open - pos);
      size_t close = templ.find('>', open + 3);
      if (close == std::string::npos) {
        // Never closed: the rest holds no marker at all.
        result.append(templ, open, std::string::npos);
        break;
      }
      std::string_view name(templ.data() + open + 3, close - open - 3);
      if (const Marker* m = FindMarker(name, errorType)) AppendValue(result, m->field, record);
      else result += "[not defined]";
      pos = close + 1;
    }
    out = std::move(result);
    return 1;
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "SubstituteParamsForString_Dynamic", "s",
                    "Insufficient memory available to allocate message string");
    return 0;
  }
}

int32_t LevelNumber(uint32_t alertLevel) {
  for (int bit = 0; bit < 20; ++bit)
    if (alertLevel == (1u << bit)) return bit + 1;
  return 0;
}

int32_t CachedDateFormat() {
  int32_t format = g_dateFormat.load();
  if (format != 0) return format;
  int32_t value = 0;
  if (vlZTREG_ReadNumber(kAlertingConfigKey, "DateFormat", &value) != 0 || value == 0) value = 1;
  g_dateFormat.store(value);
  return value;
}

void ForgetDateFormat() { g_dateFormat.store(0); }

std::string FormatCurrentTime(int64_t* now) {
  int64_t t = platform::CurrentTime();
  if (now) *now = t;
  std::tm tm = platform::LocalTime(t);
  int first = tm.tm_mday, second = tm.tm_mon + 1;
  if (CachedDateFormat() == 2) std::swap(first, second);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", first, second,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string FormatLongCurrentDate() {
  static constexpr const char* kMonths[] = {"Jan.", "Feb.", "March", "April", "May", "June",
                                            "July", "August", "Sept.", "Oct.", "Nov.", "Dec."};
  std::tm tm = platform::LocalTime(platform::CurrentTime());
  int day = tm.tm_mday;
  const char* suffix = "th";
  if (day == 1 || day == 21 || day == 31) suffix = "st";
  else if (day == 2 || day == 22) suffix = "nd";
  else if (day == 3 || day == 23) suffix = "rd";
  char text[96];
  std::snprintf(text, sizeof text, "%d%s %s %04d at %02d:%02d:%02d", day, suffix,
                kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string ConvertToMonthFirst(const std::string& time) {
  // Needs day, month and the rest; "N/A" (a missing time) must not become "A/N/".
  size_t first = time.find('/');
  size_t second = first == std::string::npos ? first : time.find('/', first + 1);
  if (second == std::string::npos) return time;
  return time.substr(first + 1, second - first - 1) + "/" + time.substr(0, first) + "/" +
         time.substr(second + 1);
}

std::string OSNameText(OSNameForm) {
  std::string name = platform::OsSystemName();
  return name.empty() ? "N/A" : name.substr(0, kRecordTextLimit);
}

std::string ServicePackText() {
  std::string sp = platform::OsServicePack();
  return sp.empty() ? "[None]" : sp.substr(0, kRecordTextLimit);
}

}  // namespace vlzt
