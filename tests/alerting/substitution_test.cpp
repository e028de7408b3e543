// Place-markers, level numbers, the date format and the time texts.
#include "alerting/substitution.h"

#include "tests/alerting/alerting_fixture.h"

namespace vlzt {
namespace {

using SubstitutionTest = testing::AlertingTest;

SubstitutionRecord SampleRecord() {
  SubstitutionRecord r;
  r.Message = "Disk full";
  r.Title = "Disk check";
  r.TimeLogged = "05/03/2007 10:11:12";
  r.TimeNow = "06/03/2007 11:12:13";
  r.Info1 = "Application";
  r.Info2 = "/var/log/app.log";
  r.Info3 = "Disk rule";
  r.Source = "App source";
  r.OSName = "TestOS 1";
  r.ServicePack = "6.1.0";
  r.LevelNumber = 3;
  return r;
}

std::string Expand(int32_t errorType, const std::string& templ,
                   const SubstitutionRecord& record = SampleRecord()) {
  std::string out = "untouched";
  EXPECT_EQ(SubstituteParamsForString_Dynamic(errorType, templ, out, record), 1);
  return out;
}

TEST_F(SubstitutionTest, MarkersTable) {
  struct Row {
    int32_t type;
    const char* templ;
    const char* expected;
  };
  const Row rows[] = {
      {4, "<$$SERVER>", "TESTSRV"},
      {4, "<$$info>|<$$Info1>|<$$INFO2>|<$$iNfO3>", "Application|Application|/var/log/app.log|Disk rule"},
      {4, "Error: <$$ERROR>.", "Error: Disk full."},
      {4, "<$$TEST>/<$$title>", "Disk check/Disk check"},
      {4, "<$$TEST><$$EVENTLOG>", "Disk checkApplication"},
      {4, "<$$TIMELOGGED> <$$TimeNow>", "05/03/2007 10:11:12 06/03/2007 11:12:13"},
      {4, "<$$SOURCE> on <$$OSNAME> <$$SERVICEPACK>", "App source on TestOS 1 6.1.0"},
      {4, "level <$$ALERTLEVEL>", "level 3"},
      {4, "<$$EVENTLOG>|<$$LOGFILE>|<$$FILEPATH>|<$$EVENTLOGCHECK>|<$$LOGFILECHECK>",
       "Application|Application|/var/log/app.log|Disk rule|Disk rule"},
      {15, "<$$EVENTLOG>", "[not defined]"},
      {16, "<$$FILEPATH> <$$LOGFILECHECK> <$$SERVER>", "[not defined] [not defined] TESTSRV"},
      {4, "<$$ERROR,100>", "[not defined]"},
      {4, "<$$NOSUCH> and <$$>", "[not defined] and [not defined]"},
      {4, "a < b <$ c <$SERVER>", "a < b <$ c <$SERVER>"},
      {4, "x <$$ERROR", "x <$$ERROR"},
      {4, "<$$SERVER> then <$$TITLE", "TESTSRV then <$$TITLE"},
      {4, "<$$TITLE<$$SERVER>", "[not defined]"},
      {4, "a > b <$$SERVER>>", "a > b TESTSRV>"},
      {4, "", ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Expand(row.type, row.templ), row.expected) << row.templ << " type " << row.type;
}

TEST_F(SubstitutionTest, ValuesAreNotExpandedAgainAndLongTextsAreWhole) {
  SubstitutionRecord r = SampleRecord();
  r.Message = "<$$SERVER> <$$TITLE>";
  EXPECT_EQ(Expand(4, "<$$ERROR>", r), "<$$SERVER> <$$TITLE>");

  std::string plain(5000, 'p');
  EXPECT_EQ(Expand(4, plain), plain);

  // A megabyte message in a template of thousands of markers; and thousands of openings that
  // are never closed (a search for '>' from every one of them would never finish).
  r.Message = std::string(1 << 20, 'm');
  std::string many;
  for (int i = 0; i < 20; ++i) many += "<$$ERROR>";
  for (int i = 0; i < 5000; ++i) many += "<$$SERVER>";
  std::string out = Expand(4, many, r);
  EXPECT_EQ(out.size(), 20u * r.Message.size() + 5000u * 7u);
  std::string open;
  for (int i = 0; i < 200000; ++i) open += "<$$X";
  EXPECT_EQ(Expand(4, open), open);
}

TEST_F(SubstitutionTest, LevelNumbers) {
  const std::pair<uint32_t, int32_t> rows[] = {
      {0, 0}, {1, 1}, {2, 2}, {4, 3}, {512, 10}, {0x80000, 20}, {0x100000, 0},
      {1023, 0}, {3, 0}, {0x80000000u, 0},
  };
  for (auto [mask, number] : rows) EXPECT_EQ(LevelNumber(mask), number) << mask;
}

TEST_F(SubstitutionTest, DateFormatDecidesTheOrderAndIsReadOnce) {
  SetLocalTime(2007, 3, 5, 10, 11, 12);
  struct Row {
    int32_t format;  // -1: missing
    const char* now;
    const char* loggedMdy;
  };
  const Row rows[] = {
      {-1, "05/03/2007 10:11:12", "03/05/2007 10:11:12"},
      {0, "05/03/2007 10:11:12", "03/05/2007 10:11:12"},
      {1, "05/03/2007 10:11:12", "03/05/2007 10:11:12"},
      {2, "03/05/2007 10:11:12", "05/03/2007 10:11:12"},
      {7, "05/03/2007 10:11:12", "03/05/2007 10:11:12"},
  };
  for (const Row& row : rows) {
    platform::HKEY key = nullptr;
    if (vlZTREG_OpenKey(kAlertingConfigKey, kRegWriteValues, &key) == 0) {
      vlZTREG_DeleteValue(key, "DateFormat");
      vlZTREG_CloseKey(key);
    }
    if (row.format >= 0) SetConfig("DateFormat", row.format);
    ForgetDateFormat();
    int64_t now = 0;
    EXPECT_EQ(FormatCurrentTime(&now), row.now) << row.format;
    EXPECT_EQ(now, platform::CurrentTime());
    // With month first configured the -MDY markers leave the times as they are.
    EXPECT_EQ(Expand(4, "<$$TIMELOGGED-MDY>"), row.loggedMdy) << row.format;
    EXPECT_EQ(Expand(4, "<$$timenow-mdy>"),
              row.format == 2 ? "06/03/2007 11:12:13" : "03/06/2007 11:12:13");
  }
  // Kept for the life of the process: a later change is not seen.
  SetConfig("DateFormat", 1);
  EXPECT_EQ(CachedDateFormat(), 7);
}

TEST_F(SubstitutionTest, LongDateAndMonthFirstConversion) {
  struct Row {
    int month, day;
    const char* expected;
  };
  const Row rows[] = {
      {3, 11, "11th March 2007 at 09:05:07"}, {10, 22, "22nd Oct. 2007 at 09:05:07"},
      {1, 1, "1st Jan. 2007 at 09:05:07"},     {2, 2, "2nd Feb. 2007 at 09:05:07"},
      {4, 3, "3rd April 2007 at 09:05:07"},    {5, 21, "21st May 2007 at 09:05:07"},
      {6, 23, "23rd June 2007 at 09:05:07"},   {7, 31, "31st July 2007 at 09:05:07"},
      {8, 12, "12th August 2007 at 09:05:07"}, {9, 13, "13th Sept. 2007 at 09:05:07"},
      {11, 30, "30th Nov. 2007 at 09:05:07"},  {12, 4, "4th Dec. 2007 at 09:05:07"},
  };
  for (const Row& row : rows) {
    SetLocalTime(2007, row.month, row.day, 9, 5, 7);
    EXPECT_EQ(FormatLongCurrentDate(), row.expected);
  }
  EXPECT_EQ(ConvertToMonthFirst("05/03/2007 10:11:12"), "03/05/2007 10:11:12");
  EXPECT_EQ(ConvertToMonthFirst("N/A"), "N/A");
  EXPECT_EQ(ConvertToMonthFirst("5/3/07"), "3/5/07");
  EXPECT_EQ(ConvertToMonthFirst("a/b/c/d"), "b/a/c/d");
  EXPECT_EQ(ConvertToMonthFirst(""), "");
}

TEST_F(SubstitutionTest, OperatingSystemTexts) {
  EXPECT_FALSE(OSNameText(OSNameForm::kMessage).empty());
  EXPECT_EQ(OSNameText(OSNameForm::kMessage), OSNameText(OSNameForm::kShort));
  EXPECT_FALSE(ServicePackText().empty());
}

}  // namespace
}  // namespace vlzt
