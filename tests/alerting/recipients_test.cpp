// Recipients: level matching, own servers, lists that overflow, the notification schedule at
// fixed local times (every weekday, midnight crossings, whole minutes) and list splitting.
#include "alerting/recipients.h"

#include <cstdio>
#include <sstream>

#include "tests/alerting/alerting_fixture.h"

namespace vlzt {
namespace {

class RecipientsTest : public testing::AlertingTest {
 protected:
  static void Put(const std::string& name, const std::string& value) {
    ASSERT_EQ(vlZTREG_WriteString(kContactsKey, name, value), 0);
  }
  static void Put(const std::string& name, int32_t value) {
    ASSERT_EQ(vlZTREG_WriteNumber(kContactsKey, name, value), 0);
  }
  static void Schedule(const std::string& base, int n, const char* mask, const char* start,
                       const char* end) {
    const std::string number = std::to_string(n);
    vlZTREG_DeleteSubKey(kAlertingConfigKey, "Contacts", 0);
    if (mask) Put(base + "Mask" + number, mask);
    if (start) Put(base + "StartTime" + number, start);
    if (end) Put(base + "EndTime" + number, end);
  }
  static std::string List(uint32_t level, int channel, int* count = nullptr,
                          size_t capacity = kRecipientListCapacity) {
    std::string list;
    int n = BuildRecipientList(level, channel, list, capacity);
    if (count) *count = n;
    return list;
  }
  static int Warnings(const std::string& address) {
    std::istringstream log(LogText());
    std::string line;
    int found = 0;
    const std::string text = "vlZTAlertNotification BuildRecipientList: Unable to notify " + address +
                             " - too many users specified";
    while (std::getline(log, line))
      if (line.find(" WARN ") != std::string::npos && line.size() >= text.size() &&
          line.compare(line.size() - text.size(), text.size(), text) == 0)
        ++found;
    return found;
  }
};

// 2024-01-01 is a Monday.
struct When {
  int day;  // of January 2024
  int hour;
  int minute;
  int second;
};

TEST_F(RecipientsTest, ScheduleWindows) {
  struct Case {
    const char* mask;
    const char* start;
    const char* end;
    When at;
    int within;
  };
  const Case cases[] = {
      // Monday 22:00 to Tuesday 06:00, the minute 06:00 included.
      {"0100000", "22:00", "06:00", {1, 21, 59, 59}, 0},
      {"0100000", "22:00", "06:00", {1, 22, 0, 0}, 1},
      {"0100000", "22:00", "06:00", {1, 23, 59, 59}, 1},
      {"0100000", "22:00", "06:00", {2, 0, 0, 0}, 1},
      {"0100000", "22:00", "06:00", {2, 6, 0, 59}, 1},
      {"0100000", "22:00", "06:00", {2, 6, 1, 0}, 0},
      {"0100000", "22:00", "06:00", {2, 22, 30, 0}, 0},  // Tuesday evening is not Monday's
      {"0100000", "22:00", "06:00", {1, 5, 0, 0}, 0},    // Monday morning belongs to Sunday
      {"0100000", "22:00", "06:00", {7, 23, 0, 0}, 0},   // Sunday
      // Whole minutes, both ends included.
      {"1111111", "09:00", "17:00", {3, 8, 59, 59}, 0},
      {"1111111", "09:00", "17:00", {3, 9, 0, 0}, 1},
      {"1111111", "09:00", "17:00", {3, 17, 0, 0}, 1},
      {"1111111", "09:00", "17:00", {3, 17, 0, 59}, 1},
      {"1111111", "09:00", "17:00", {3, 17, 1, 0}, 0},
      // Only the hours decide a midnight crossing: 10:30 to 10:15 is empty.
      {"1111111", "10:30", "10:15", {3, 10, 20, 0}, 0},
      {"1111111", "10:30", "10:15", {3, 10, 45, 0}, 0},
      {"1111111", "10:30", "10:15", {3, 10, 10, 0}, 0},
      // Saturday 23:00 to Sunday 01:00.
      {"0000001", "23:00", "01:00", {6, 23, 30, 0}, 1},
      {"0000001", "23:00", "01:00", {7, 0, 30, 0}, 1},
      {"0000001", "23:00", "01:00", {7, 23, 30, 0}, 0},
      // Missing minutes count as 0.
      {"1111111", "8", "9", {3, 8, 0, 0}, 1},
      {"1111111", "8", "9", {3, 9, 0, 30}, 1},
      {"1111111", "8", "9", {3, 9, 1, 0}, 0},
      // A short mask leaves the later days off; characters other than "1" disable a day.
      {"1", "00:00", "23:59", {7, 12, 0, 0}, 1},
      {"1", "00:00", "23:59", {1, 12, 0, 0}, 0},
      {"2222222", "00:00", "23:59", {3, 12, 0, 0}, 0},
      // No schedule when a value is missing or empty: always within.
      {"", "09:00", "17:00", {6, 3, 0, 0}, 1},
      {nullptr, "09:00", "17:00", {6, 3, 0, 0}, 1},
      {"0000000", nullptr, "17:00", {6, 3, 0, 0}, 1},
      {"0000000", "09:00", "", {6, 3, 0, 0}, 1},
      {"0000000", "09:00", "17:00", {6, 3, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.mask ? c.mask : "(none)") << " " << (c.start ? c.start : "(none)")
                                      << "-" << (c.end ? c.end : "(none)") << " on Jan " << c.at.day << " "
                                      << c.at.hour << ":" << c.at.minute << ":" << c.at.second);
    Schedule("Email", 3, c.mask, c.start, c.end);
    SetLocalTime(2024, 1, c.at.day, c.at.hour, c.at.minute, c.at.second);
    EXPECT_EQ(IsWithinNotifySchedule(kContactsKey, "Email", 3), c.within);
  }
}

TEST_F(RecipientsTest, EveryWeekdayOfTheMask) {
  // 2024-01-07 is a Sunday; position 0 of the mask.
  for (int enabled = 0; enabled < 7; ++enabled) {
    std::string mask(7, '0');
    mask[enabled] = '1';
    Schedule("NetSend", 1, mask.c_str(), "09:00", "17:00");
    for (int day = 0; day < 7; ++day) {
      SCOPED_TRACE(::testing::Message() << "mask " << mask << " day " << day);
      SetLocalTime(2024, 1, 7 + day, 12, 0, 0);
      EXPECT_EQ(IsWithinNotifySchedule(kContactsKey, "NetSend", 1), day == enabled ? 1 : 0);
    }
    // A night window of the enabled day reaches into the next morning.
    Schedule("NetSend", 1, mask.c_str(), "20:00", "04:00");
    for (int day = 0; day < 7; ++day) {
      SCOPED_TRACE(::testing::Message() << "night mask " << mask << " day " << day);
      SetLocalTime(2024, 1, 7 + day, 2, 0, 0);
      EXPECT_EQ(IsWithinNotifySchedule(kContactsKey, "NetSend", 1), (day + 6) % 7 == enabled ? 1 : 0);
    }
  }
}

TEST_F(RecipientsTest, LevelsOwnServersAndChannels) {
  Put("EMail1", "ann@example.test");
  Put("EMailLevel1", 6);
  Put("EMail2", "bob@example.test");
  Put("EMailLevel2", 1);
  Put("EMailServer2", "mail.bob.test");
  Put("EMail3", "carl@example.test");  // no level: only alerts of all levels
  Put("EMail4", "dora@example.test");
  Put("EMailLevel4", 4);
  Put("EMailServer4", "mail.dora.test");
  Put("EMailSender4", "alerts@dora.test");
  Put("EMailPortNo4", 2525);
  Put("EMail5", "   ");  // cleared: names nobody
  Put("EMailLevel5", 1023);
  // Number 6 is missing, so 7 is never read.
  Put("EMail7", "gus@example.test");
  Put("EMailLevel7", 1023);
  Put("NetSend1", "ADMINPC");
  Put("NetSendLevel1", 2);
  Put("NetSend2", "operators");
  Put("NetSendLevel2", 8);

  struct Case {
    uint32_t level;
    int channel;
    const char* list;
    int count;
  };
  const Case cases[] = {
      {1, 2, "bob@example.test~mail.bob.test~<NONE>~25", 1},
      {2, 2, "ann@example.test", 1},
      {4, 2, "ann@example.test,dora@example.test~mail.dora.test~alerts@dora.test~2525", 2},
      {8, 2, "", 0},
      {1023, 2,
       "ann@example.test,bob@example.test~mail.bob.test~<NONE>~25,carl@example.test,"
       "dora@example.test~mail.dora.test~alerts@dora.test~2525",
       4},
      {2, 1, "ADMINPC", 1},
      {1, 1, "", 0},
      {1023, 1, "ADMINPC,operators", 2},
      {1023, 0, nullptr, 4},  // any channel but 1 is e-mail
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "level " << c.level << " channel " << c.channel);
    int count = -1;
    std::string list = List(c.level, c.channel, &count);
    if (c.list) {
      EXPECT_EQ(list, c.list);
    }
    EXPECT_EQ(count, c.count);
  }

  // A schedule that does not cover now leaves the recipient out.
  Put("EmailMask1", "1111111");
  Put("EmailStartTime1", "09:00");
  Put("EmailEndTime1", "17:00");
  SetLocalTime(2024, 1, 3, 18, 0, 0);
  EXPECT_EQ(List(2, 2), "");
  SetLocalTime(2024, 1, 3, 10, 0, 0);
  EXPECT_EQ(List(2, 2), "ann@example.test");
}

TEST_F(RecipientsTest, AFullListSkipsTheRestWithAWarning) {
  for (int i = 1; i <= 1000; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "user%04d@example.test", i);
    Put("EMail" + std::to_string(i), address);
  }
  int count = 0;
  std::string list = List(1023, 2, &count);
  ASSERT_GT(count, 0);
  EXPECT_LT(list.size(), kRecipientListCapacity);
  // The entries added are the first ones in order, and the next would not have fitted.
  std::string expected;
  for (int i = 1; i <= count; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "user%04d@example.test", i);
    expected += (i > 1 ? "," : "") + std::string(address);
  }
  EXPECT_EQ(list, expected);
  EXPECT_GE(list.size() + 1 + 21 + 2, kRecipientListCapacity);
  EXPECT_LT(count, 1000);
  for (int i : {count + 1, 1000}) {
    char address[32];
    std::snprintf(address, sizeof address, "user%04d@example.test", i);
    EXPECT_EQ(Warnings(address), 1) << address;
  }

  // Own-server entries need room for all four fields.
  vlZTREG_DeleteSubKey(kAlertingConfigKey, "Contacts", 0);
  Put("EMail1", "a@example.test");
  Put("EMailServer1", "mail.example.test");
  Put("EMail2", "b@example.test");
  Put("EMailServer2", "mail.example.test");
  // "a@example.test~mail.example.test~<NONE>~25" is 42 bytes; each entry asks for its
  // fields plus 20 more.
  EXPECT_EQ(List(1023, 2, &count, 14 + 17 + 6 + 20 + 1), "a@example.test~mail.example.test~<NONE>~25");
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Warnings("b@example.test"), 1);
  EXPECT_EQ(List(1023, 2, &count, 14 + 17 + 6 + 20), "");
  EXPECT_EQ(count, 0);
}

TEST_F(RecipientsTest, ListEntries) {
  struct Case {
    std::string list;
    size_t capacity;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"a@x.test", 1000, {"a@x.test"}},
      {",,a@x.test,\rb@x.test~mail~<NONE>~25\r,c@x.test,", 1000,
       {"a@x.test", "b@x.test~mail~<NONE>~25", "c@x.test"}},
      {"", 1000, {}},
      {",\r,", 1000, {}},
      // An entry longer than the room is cut; the rest of it is not taken for another entry.
      {"abcdefgh,ij", 5, {"abcd", "ij"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    std::vector<std::string> got;
    std::string entry;
    size_t pos = 0;
    for (int guard = 0; guard < 100; ++guard) {
      pos = GetNextListEntry(c.list, pos, entry, c.capacity);
      if (entry.empty()) break;
      got.push_back(entry);
    }
    EXPECT_EQ(got, c.entries);
    EXPECT_EQ(pos, c.list.size());
  }
  std::string entry = "x";
  EXPECT_EQ(GetNextListEntry("a", 7, entry, 1000), 1u);
  EXPECT_EQ(entry, "");
}

}  // namespace
}  // namespace vlzt
