// Date tokens of log-file names, on a fixed day (Monday 5 March 2007).
#include "monitors/date_tokens.h"

#include <cstdlib>

#include "platform/clock.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

class DateTokensTest : public testing::TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    std::tm day{};
    day.tm_year = 107;
    day.tm_mon = 2;
    day.tm_mday = 5;
    day.tm_hour = 10;
    platform::SetClockFixed(platform::CalendarTime(day));
  }
  void TearDown() override {
    platform::ResetClock();
    TestRoot::TearDown();
  }
};

TEST_F(DateTokensTest, TokensShiftsAndLimits) {
  setenv("VLZT_LOGDIR", "/var/log/app", 1);
  struct Case {
    const char* pattern;
    size_t size;
    int result;
    const char* want;
  } cases[] = {
      {"app$$YYMMDD.log", 260, 1, "app070305.log"},
      {"$$mmddyy-$$DDMMYY", 260, 1, "030507-050307"},
      {"$$DD/$$MM/$$YY", 260, 1, "05/03/07"},
      {"x$$DD-1$$MM$$YY", 260, 1, "x040307"},
      {"$$YYMMDD$$dd+30", 260, 1, "07040404"},
      {"$$DD[-1]x", 260, 1, "04x"},
      {"$$DC $$DC9 $$DC2 $$dc0", 260, 1, "MON MONDAY MO MON"},
      {"$$DN", 260, 1, "2"},
      {"$$DN+1", 260, 1, "3"},
      {"$$DN-2", 260, 1, "7"},
      {"$$DN+9", 260, 1, "4"},
      {"$$DN[+1]$$DC", 260, 1, "3TUE"},
      {"$$DD-1 $$DC", 260, 1, "04 SUN"},
      {"%VLZT_LOGDIR%/$$YY.log", 260, 1, "/var/log/app/07.log"},
      {"plain.log", 260, 0, "plain.log"},
      {"$$YYMMDD", 7, 1, "070305"},
      {"$$YYMMDD", 6, 0, ""},
  };
  for (const Case& c : cases) {
    std::string result;
    EXPECT_EQ(ExpandDateTokens(c.pattern, result, c.size), c.result) << c.pattern;
    if (c.result || std::string(c.want) == "plain.log") {
      EXPECT_EQ(result, c.want) << c.pattern;
    }
  }
}

}  // namespace
}  // namespace vlzt
