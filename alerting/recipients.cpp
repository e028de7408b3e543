// alerting/recipients.cpp
#include "alerting/recipients.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "platform/clock.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTAlertNotification";
constexpr uint32_t kAllLevels = 1023;
// Registry texts are read as the configuration utility writes them: names and addresses
// up to 259 characters, schedule values up to 14.
constexpr size_t kNameSize = 260;
constexpr size_t kScheduleSize = 15;
constexpr int64_t kDay = 86400;

bool IsBlankText(const std::string& text) {
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  return true;
}

// "HH:MM" as hours and minutes; a missing minutes part, or digits that are not there, is 0.
std::pair<int, int> ParseTime(const std::string& text) {
  auto number = [](const std::string& s, size_t from) {
    int value = 0;
    for (size_t i = from; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) && value < 1000; ++i)
      value = value * 10 + (s[i] - '0');
    return value;
  };
  size_t colon = text.find(':');
  return {number(text, 0), colon == std::string::npos ? 0 : number(text, colon + 1)};
}

bool DayEnabled(const std::string& mask, int weekday) {
  return weekday >= 0 && static_cast<size_t>(weekday) < mask.size() && mask[weekday] == '1';
}

// `local` with the time of day replaced, as calendar time (its seconds kept).
int64_t AtTimeOfDay(std::tm local, int hour, int minute) {
  local.tm_hour = hour;
  local.tm_min = minute;
  return platform::CalendarTime(local);
}

void LogNoRoom(const std::string& address) {
  vlZTLog_Message(2, 0, nullptr, kModule, "BuildRecipientList", "sss", "Unable to notify ", address,
                  " - too many users specified");
}

}  // namespace

int BuildRecipientList(uint32_t alertLevel, int channel, std::string& list, size_t capacity) {
  const bool network = channel == 1;
  const std::string name = network ? "NetSend" : "EMail";
  const std::string scheduleBase = network ? "NetSend" : "Email";
  int added = 0;
  for (int n = 1;; ++n) {
    const std::string number = std::to_string(n);
    std::string address;
    if (vlZTREG_ReadString(kContactsKey, name + number, address, kNameSize) != 0) break;
    int32_t level = 0;
    vlZTREG_ReadNumber(kContactsKey, name + "Level" + number, &level, 0);
    if (alertLevel != kAllLevels && (alertLevel & static_cast<uint32_t>(level)) == 0) continue;
    if (!IsWithinNotifySchedule(kContactsKey, scheduleBase, n)) continue;
    // A cleared entry names nobody; listing it would only make every alert fail for it.
    if (IsBlankText(address)) continue;
    if (!network) {
      std::string server;
      std::string sender;
      int32_t port = 25;
      vlZTREG_ReadString(kContactsKey, "EMailServer" + number, server, kNameSize, "");
      vlZTREG_ReadString(kContactsKey, "EMailSender" + number, sender, kNameSize, "");
      if (sender.empty()) sender = "<NONE>";
      vlZTREG_ReadNumber(kContactsKey, "EMailPortNo" + number, &port, 25);
      if (!server.empty()) {
        if (list.size() + address.size() + server.size() + sender.size() + 20 < capacity) {
          if (!list.empty()) list += ',';
          list += address + "~" + server + "~" + sender + "~" + std::to_string(port);
          ++added;
        } else {
          LogNoRoom(address);
        }
        continue;
      }
    }
    if (list.size() + address.size() + 3 < capacity) {
      if (!list.empty()) list += ',';
      list += address;
      ++added;
    } else {
      LogNoRoom(address);
    }
  }
  return added;
}

int IsWithinNotifySchedule(const std::string& keyPath, const std::string& baseName, int n) {
  const std::string number = std::to_string(n);
  std::string mask;
  std::string startText;
  std::string endText;
  if (vlZTREG_ReadString(keyPath, baseName + "Mask" + number, mask, kScheduleSize) != 0 ||
      mask.empty() ||
      vlZTREG_ReadString(keyPath, baseName + "StartTime" + number, startText, kScheduleSize) != 0 ||
      startText.empty() ||
      vlZTREG_ReadString(keyPath, baseName + "EndTime" + number, endText, kScheduleSize) != 0 ||
      endText.empty())
    return 1;
  auto [startHour, startMinute] = ParseTime(startText);
  auto [endHour, endMinute] = ParseTime(endText);

  const int64_t now = platform::CurrentTime();
  const std::tm local = platform::LocalTime(now);
  int64_t start = AtTimeOfDay(local, startHour, startMinute);
  int64_t end = AtTimeOfDay(local, endHour, endMinute);
  // Only the hours decide whether a window runs past midnight, so 10:30 to 10:15 is empty.
  if (startHour > endHour) end += kDay;
  if (DayEnabled(mask, local.tm_wday) && start <= now && now <= end) return 1;
  // The early-morning part of a window that began the evening before.
  start -= kDay;
  end -= kDay;
  if (DayEnabled(mask, platform::LocalTime(start).tm_wday) && start <= now && now <= end) return 1;
  return 0;
}

size_t GetNextListEntry(const std::string& list, size_t position, std::string& entry,
                        size_t capacity) {
  entry.clear();
  size_t pos = position;
  while (pos < list.size() && (list[pos] == ',' || list[pos] == '\r')) ++pos;
  if (pos >= list.size()) return list.size();
  size_t end = list.find_first_of(",\r", pos);
  if (end == std::string::npos) end = list.size();
  size_t keep = capacity > 0 ? capacity - 1 : 0;
  entry.assign(list, pos, std::min(end - pos, keep));
  return end < list.size() ? end + 1 : end;
}

}  // namespace vlzt
