// tests/monitors/check_config_test.cpp
#include "monitors/check_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "platform/environment.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using Value = std::variant<int32_t, std::string>;
using Values = std::map<std::string, Value>;

class CheckConfigTest : public testing::TestRoot {
 protected:
  void SetUp() override {
    TestRoot::SetUp();
    ServiceState().Home = scratch();
    SetDateTokenExpander(nullptr);
  }
  void TearDown() override {
    SetDateTokenExpander(nullptr);
    TestRoot::TearDown();
  }

  static std::string KeyOf(int n) { return std::string(kLogsKey) + "\\Log" + std::to_string(n); }

  // Writes check `n`; an enabled check with one include phrase unless `values` says otherwise.
  void WriteCheck(int n, Values values) {
    Values all = {{"Enabled", 1}, {"KeywordInclude1", std::string("error")}};
    for (auto& [name, value] : values) all[name] = value;
    for (auto& [name, value] : all) {
      if (auto* number = std::get_if<int32_t>(&value))
        ASSERT_EQ(vlZTREG_WriteNumber(KeyOf(n), name, *number), 0);
      else
        ASSERT_EQ(vlZTREG_WriteString(KeyOf(n), name, std::get<std::string>(value)), 0);
    }
  }
  void WriteText(int n, const std::string& name, const std::string& text) {
    ASSERT_EQ(platform::RegPutValue(platform::HKEY_LOCAL_MACHINE, KeyOf(n), name,
                                    platform::REG_SZ, platform::RegStringData(text)),
              0);
  }
  void Delete(int n, const std::string& name) {
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKey(platform::HKEY_LOCAL_MACHINE, KeyOf(n), platform::KEY_ALL_ACCESS, &key), 0);
    platform::RegDeleteValue(key, name);
    platform::RegCloseKey(key);
  }
  static std::string Status(const std::string& section, const std::string& key) {
    return platform::GetProfileValue(section, key, "", ConfigStatusFilePath());
  }
  static int32_t Number(int n, const std::string& name) {
    int32_t value = -1;
    vlZTREG_ReadNumber(KeyOf(n), name, &value);
    return value;
  }
  // True when one line of the program log has the level word, module, function and text.
  static bool Logged(const std::string& level, const std::string& module,
                     const std::string& function, const std::string& text) {
    std::istringstream log(testing::ReadFile(vlZTLog_CurrentFile()));
    for (std::string line; std::getline(log, line);)
      if (line.find(level) != std::string::npos &&
          line.find(module + " " + function) != std::string::npos &&
          line.find(text) != std::string::npos)
        return true;
    return false;
  }
  static std::vector<std::string> Names(const std::vector<Check>& checks) {
    std::vector<std::string> out;
    for (const Check& check : checks) out.push_back(check.Name);
    return out;
  }
};

using Strings = std::vector<std::string>;

TEST_F(CheckConfigTest, ListEndsAtTheFirstCheckWithoutLogType) {
  WriteCheck(1, {{"LogType", 1}, {"File", std::string("System")}, {"Name", std::string("one")}});
  WriteCheck(2, {{"LogType", 0}, {"File", std::string("Application")}, {"Name", std::string("two")}});
  WriteCheck(4, {{"LogType", 1}, {"File", std::string("System")}, {"Name", std::string("four")}});
  std::vector<MonitoredEventLog> list;
  EXPECT_EQ(LoadEventLogChecks(list), 2);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(Names(list[0].Checks), (Strings{"one"}));
  EXPECT_EQ(Names(list[1].Checks), (Strings{"two"}));

  // A LogType that is not a number reads as missing and ends the list too.
  WriteText(2, "LogType", "0");
  std::vector<MonitoredEventLog> again;
  EXPECT_EQ(LoadEventLogChecks(again), 1);
}

TEST_F(CheckConfigTest, ChecksOfOneLogShareOneEntryInRegistryOrder) {
  WriteCheck(1, {{"LogType", 1}, {"File", std::string("System")}, {"Name", std::string("a")}});
  WriteCheck(2, {{"LogType", 0}, {"File", std::string("Application")}, {"Name", std::string("b")}});
  WriteCheck(3, {{"LogType", 1}, {"File", std::string("SYSTEM")}, {"Name", std::string("c")}});
  WriteCheck(4, {{"LogType", 5}, {"File", std::string("system")}, {"Name", std::string("d")}});
  std::vector<MonitoredEventLog> list;
  EXPECT_EQ(LoadEventLogChecks(list), 4);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Name, "System");
  EXPECT_EQ(Names(list[0].Checks), (Strings{"a", "c", "d"}));
  EXPECT_EQ(list[1].Name, "Application");
  EXPECT_EQ(list[0].Failed, 0);
  EXPECT_EQ(list[0].EventLog, nullptr);
}

TEST_F(CheckConfigTest, OnlyEnabledChecksOfTheMonitorsKindAreLoadedAndCounted) {
  WriteCheck(1, {{"LogType", 1}, {"File", std::string("System")}, {"Enabled", 0}});
  WriteCheck(2, {{"LogType", 1}, {"File", std::string("System")}, {"Enabled", 2}});
  WriteCheck(3, {{"LogType", 1}, {"File", std::string("System")}});
  Delete(3, "Enabled");
  WriteCheck(4, {{"LogType", 1}, {"File", std::string("System")}});
  WriteText(4, "Enabled", "1");  // not a number: missing
  WriteCheck(5, {{"LogType", 8}, {"File", std::string("System")}});  // neither kind
  WriteCheck(6, {{"LogType", 3}, {"File", std::string("/var/log/a.log")}, {"Name", std::string("file")}});
  WriteCheck(7, {{"LogType", 2}, {"File", std::string("Security")}, {"Name", std::string("sec")}});
  WriteCheck(8, {{"LogType", 1}});  // no File: not there at all

  std::vector<MonitoredEventLog> logs;
  EXPECT_EQ(LoadEventLogChecks(logs), 1);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(Names(logs[0].Checks), (Strings{"sec"}));

  std::vector<MonitoredLogFile> files;
  int32_t dated = -1;
  EXPECT_EQ(LoadLogFileChecks(files, dated), 1);
  EXPECT_EQ(dated, 0);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Names(files[0].Checks), (Strings{"file"}));
}

TEST_F(CheckConfigTest, NothingEnabledLoadsNothing) {
  WriteCheck(1, {{"LogType", 0}, {"File", std::string("Application")}, {"Enabled", 0}});
  std::vector<MonitoredEventLog> logs;
  EXPECT_EQ(LoadEventLogChecks(logs), 0);
  EXPECT_TRUE(logs.empty());
  std::vector<MonitoredLogFile> files;
  int32_t dated = 0;
  EXPECT_EQ(LoadLogFileChecks(files, dated), 0);
}

TEST_F(CheckConfigTest, EventLogCheckFieldsAndDefaults) {
  WriteCheck(1, {{"LogType", 2},
                 {"File", std::string("Security")},
                 {"Name", std::string(300, 'n')},
                 {"EventType", 1},
                 {"EventID", std::string("529")},
                 {"Source", std::string(300, 's')},
                 {"AlertLevel", 4},
                 {"ActionToTake", 2},
                 {"Command", std::string(300, 'c')},
                 {"And", 1},
                 {"KeywordInclude2", std::string("logon [AND] failure")},
                 {"KeywordExclude1", std::string("test account")}});
  WriteCheck(2, {{"LogType", 2}, {"File", std::string("Security")}, {"And", 5}});
  WriteText(2, "AlertLevel", "8");  // not a number: the default
  std::vector<MonitoredEventLog> list;
  ASSERT_EQ(LoadEventLogChecks(list), 2);
  ASSERT_EQ(list.size(), 1u);
  ASSERT_EQ(list[0].Checks.size(), 2u);

  const Check& full = list[0].Checks[0];
  EXPECT_EQ(full.Name, std::string(255, 'n'));
  EXPECT_EQ(full.Command, std::string(255, 'c'));
  EXPECT_EQ(full.Source, std::string(259, 's'));
  EXPECT_EQ(full.EventID, "529");
  EXPECT_EQ(full.EventType, 1);
  EXPECT_EQ(full.AlertLevel, 4);
  EXPECT_EQ(full.ActionToTake, 2);
  EXPECT_EQ(full.Reboot, 1);
  EXPECT_EQ(full.And, 1);
  EXPECT_EQ(full.IncludeKeywords.size(), 2u);
  EXPECT_EQ(full.ExcludeKeywords.size(), 1u);
  EXPECT_EQ(MatchKeywords("An ERROR: Logon FAILURE", full.And, full.IncludeKeywords), 1);
  EXPECT_EQ(MatchKeywords("an error", full.And, full.IncludeKeywords), 0);

  const Check& bare = list[0].Checks[1];
  EXPECT_EQ(bare.Name, "");
  EXPECT_EQ(bare.Command, "");
  EXPECT_EQ(bare.EventID, "");
  EXPECT_EQ(bare.Source, "");
  EXPECT_EQ(bare.EventType, 0);
  EXPECT_EQ(bare.AlertLevel, 0);
  EXPECT_EQ(bare.ActionToTake, 0);
  EXPECT_EQ(bare.Reboot, 0);
  EXPECT_EQ(bare.And, 1);  // any non-zero flag
  EXPECT_TRUE(bare.ExcludeKeywords.empty());
}

TEST_F(CheckConfigTest, LogFileChecksDoNotReadEventFields) {
  WriteCheck(1, {{"LogType", 3},
                 {"File", std::string("/var/log/app.log")},
                 {"EventType", 2},
                 {"EventID", std::string("7036")},
                 {"Source", std::string("src")},
                 {"ActionToTake", 3},
                 {"Command", std::string("run.cmd")}});
  std::vector<MonitoredLogFile> list;
  int32_t dated = 0;
  ASSERT_EQ(LoadLogFileChecks(list, dated), 1);
  const Check& check = list[0].Checks[0];
  EXPECT_EQ(check.EventType, 0);
  EXPECT_EQ(check.EventID, "");
  EXPECT_EQ(check.Source, "");
  EXPECT_EQ(check.ActionToTake, 3);
  EXPECT_EQ(check.Command, "run.cmd");
  EXPECT_EQ(check.Reboot, 0);
  EXPECT_EQ(list[0].LogType, 3);
  EXPECT_EQ(list[0].Position, 0);
  EXPECT_EQ(list[0].LastSize, 0);
}

TEST_F(CheckConfigTest, CheckWithoutIncludePhrasesIsLoadedAndRecorded) {
  WriteCheck(1, {{"LogType", 0}, {"File", std::string("Application")},
                 {"Name", std::string("Disk check")}, {"KeywordExclude1", std::string("x")}});
  Delete(1, "KeywordInclude1");
  WriteCheck(2, {{"LogType", 3}, {"File", std::string("/tmp/x.log")}, {"Name", std::string("File check")}});
  Delete(2, "KeywordInclude1");
  WriteText(2, "KeywordInclude2", "not the first");

  std::vector<MonitoredEventLog> logs;
  ASSERT_EQ(LoadEventLogChecks(logs), 1);
  ASSERT_EQ(logs[0].Checks.size(), 1u);
  EXPECT_TRUE(logs[0].Checks[0].IncludeKeywords.empty());
  EXPECT_TRUE(logs[0].Checks[0].ExcludeKeywords.empty());
  EXPECT_EQ(Status("EventLogs", "NoKeywordError"), "1");
  EXPECT_EQ(Status("LogFiles", "NoKeywordError"), "");
  EXPECT_TRUE(Logged("WARN", "vlZTEventLog", "AddEventLogKeywordGroup",
                     "There are no keywords defined for the keyword group/resource Disk check. "
                     "The check will be ignored"));

  std::vector<MonitoredLogFile> files;
  int32_t dated = 0;
  ASSERT_EQ(LoadLogFileChecks(files, dated), 1);
  EXPECT_EQ(Status("LogFiles", "NoKeywordError"), "1");
  EXPECT_TRUE(Logged("WARN", "vlZTLogFile", "AddLogFileKeywordGroup",
                     "There are no keywords defined for the keyword group/resource File check. "
                     "The check will be ignored"));
}

TEST_F(CheckConfigTest, LogFileNamesUnquotedAndExpanded) {
  setenv("VLZT_TEST_LOGS", "/srv/logs", 1);
  struct Case {
    std::string file;
    std::string pattern;
  };
  const std::vector<Case> cases = {
      {"/var/log/plain.log", "/var/log/plain.log"},
      {"\"/var/log/with space.log\"", "/var/log/with space.log"},
      {"\"/var/log/unclosed.log", "/var/log/unclosed.log"},
      {"\"", ""},
      {"\"\"", ""},
      {"%VLZT_TEST_LOGS%/app.log", "/srv/logs/app.log"},
      {"\"%vlzt_test_logs%/q.log\"", "/srv/logs/q.log"},
      {"%VLZT_NOT_SET_ANYWHERE%/a.log", "%VLZT_NOT_SET_ANYWHERE%/a.log"},
  };
  for (size_t i = 0; i < cases.size(); ++i)
    WriteCheck(static_cast<int>(i) + 1, {{"LogType", 3}, {"File", cases[i].file}});
  std::vector<MonitoredLogFile> list;
  int32_t dated = 0;
  ASSERT_EQ(LoadLogFileChecks(list, dated), static_cast<int>(cases.size()));
  // Both quote-only values give "", but the raw "\"\"" is not "" so it gets its own entry.
  ASSERT_EQ(list.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(list[i].Pattern, cases[i].pattern) << cases[i].file;
    EXPECT_EQ(list[i].FileName, cases[i].pattern) << cases[i].file;
    EXPECT_EQ(list[i].Dated, 0);
  }
  unsetenv("VLZT_TEST_LOGS");
}

TEST_F(CheckConfigTest, LogFileEntriesJoinOnTheRawValueAgainstThePattern) {
  setenv("VLZT_TEST_LOGS", "/srv/logs", 1);
  WriteCheck(1, {{"LogType", 3}, {"File", std::string("/var/log/App.log")}, {"Name", std::string("1")}});
  WriteCheck(2, {{"LogType", 6}, {"File", std::string("/VAR/LOG/app.LOG")}, {"Name", std::string("2")}});
  WriteCheck(3, {{"LogType", 3}, {"File", std::string("\"/var/log/b c.log\"")}, {"Name", std::string("3")}});
  WriteCheck(4, {{"LogType", 3}, {"File", std::string("\"/var/log/b c.log\"")}, {"Name", std::string("4")}});
  WriteCheck(5, {{"LogType", 4}, {"File", std::string("/var/log/b c.log")}, {"Name", std::string("5")}});
  WriteCheck(6, {{"LogType", 3}, {"File", std::string("%VLZT_TEST_LOGS%/d.log")}, {"Name", std::string("6")}});
  WriteCheck(7, {{"LogType", 3}, {"File", std::string("%VLZT_TEST_LOGS%/d.log")}, {"Name", std::string("7")}});
  WriteCheck(8, {{"LogType", 3}, {"File", std::string("/srv/logs/d.log")}, {"Name", std::string("8")}});
  std::vector<MonitoredLogFile> list;
  int32_t dated = 0;
  ASSERT_EQ(LoadLogFileChecks(list, dated), 8);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(Names(list[0].Checks), (Strings{"1", "2"}));
  EXPECT_EQ(list[0].LogType, 3);  // the first check's
  EXPECT_EQ(Names(list[1].Checks), (Strings{"3", "5"}));
  EXPECT_EQ(Names(list[2].Checks), (Strings{"4"}));
  EXPECT_EQ(Names(list[3].Checks), (Strings{"6", "8"}));
  EXPECT_EQ(Names(list[4].Checks), (Strings{"7"}));
  unsetenv("VLZT_TEST_LOGS");
}

TEST_F(CheckConfigTest, LongFileValuesAreCut) {
  std::string longPath = "/" + std::string(400, 'p');
  WriteCheck(1, {{"LogType", 3}, {"File", "\"" + longPath + "\""}});
  WriteCheck(2, {{"LogType", 0}, {"File", longPath}});
  std::vector<MonitoredLogFile> files;
  int32_t dated = 0;
  ASSERT_EQ(LoadLogFileChecks(files, dated), 1);
  // 259 characters read, the leading quote dropped; the closing one was cut off already.
  EXPECT_EQ(files[0].Pattern, longPath.substr(0, 258));
  std::vector<MonitoredEventLog> logs;
  ASSERT_EQ(LoadEventLogChecks(logs), 1);
  EXPECT_EQ(logs[0].Name, longPath.substr(0, 259));
}

TEST_F(CheckConfigTest, DateTokensGoThroughTheInstalledExpander) {
  std::vector<std::string> seen;
  SetDateTokenExpander([&seen](const std::string& pattern, std::string& result, size_t size) {
    seen.push_back(pattern);
    size_t at = pattern.find("$$YYMMDD");
    if (at == std::string::npos) return 0;
    result = pattern.substr(0, at) + "070305" + pattern.substr(at + 8);
    return result.size() < size ? 1 : 0;
  });
  WriteCheck(1, {{"LogType", 3}, {"File", std::string("\"/logs/ex$$YYMMDD.log\"")}});
  WriteCheck(2, {{"LogType", 3}, {"File", std::string("/logs/plain.log")}});
  std::vector<MonitoredLogFile> list;
  int32_t dated = 0;
  ASSERT_EQ(LoadLogFileChecks(list, dated), 2);
  EXPECT_EQ(dated, 1);
  EXPECT_EQ(seen, (Strings{"/logs/ex$$YYMMDD.log", "/logs/plain.log"}));
  EXPECT_EQ(list[0].Pattern, "/logs/ex$$YYMMDD.log");
  EXPECT_EQ(list[0].FileName, "/logs/ex070305.log");
  EXPECT_EQ(list[0].Dated, 1);
  EXPECT_EQ(list[1].FileName, "/logs/plain.log");
  EXPECT_EQ(list[1].Dated, 0);
}

TEST_F(CheckConfigTest, AddConfigRoutinesAttachOneCheckEach) {
  WriteCheck(3, {{"LogType", 1}, {"File", std::string("System")}, {"Name", std::string("x")}});
  WriteCheck(4, {{"LogType", 1}});
  std::vector<MonitoredEventLog> logs;
  EXPECT_EQ(AddEventLogConfig(logs, KeyOf(3), 3), 1);
  EXPECT_EQ(AddEventLogConfig(logs, KeyOf(3), 3), 1);
  EXPECT_EQ(AddEventLogConfig(logs, KeyOf(4), 4), 0);  // no File
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(Names(logs[0].Checks), (Strings{"x", "x"}));
  // The phrases come from the subkey of the number given.
  EXPECT_EQ(logs[0].Checks[0].IncludeKeywords.size(), 1u);

  MonitoredLogFile file;
  EXPECT_EQ(AddLogFileKeywordGroup(file, KeyOf(3), 3), 1);
  EXPECT_EQ(Names(file.Checks), (Strings{"x"}));
}

TEST_F(CheckConfigTest, SetConfigStatusWritesOneIntoTheSection) {
  EXPECT_EQ(ConfigStatusFilePath(), scratch() + "/vlZTConfigStatus_LOG.err");
  SetConfigStatus("EventLogs", "NoConfigValues");
  SetConfigStatus("LogFiles", "PermanentError");
  SetConfigStatus("LogFiles", "PermanentError");
  EXPECT_EQ(Status("EventLogs", "NoConfigValues"), "1");
  EXPECT_EQ(Status("LogFiles", "PermanentError"), "1");
  EXPECT_EQ(Status("LogFiles", "NoConfigValues"), "");
  EXPECT_EQ(platform::GetProfileKeys("LogFiles", ConfigStatusFilePath()).size(), 1u);
}

TEST_F(CheckConfigTest, ReportCheckProblemDisablesTheLogsChecksAndNumbersTitles) {
  WriteCheck(1, {{"LogType", 5}, {"File", std::string("Custom")}, {"Name", std::string("First")}});
  WriteCheck(2, {{"LogType", 0}, {"File", std::string("Application")}, {"Name", std::string("Other")}});
  WriteCheck(3, {{"LogType", 3}, {"File", std::string("custom")}, {"Name", std::string("A file")}});
  WriteCheck(4, {{"LogType", 5}, {"File", std::string("CUSTOM")}});  // no Name
  WriteCheck(5, {{"LogType", 5}, {"Name", std::string("No file")}});
  WriteCheck(6, {{"LogType", 5}, {"File", std::string("custom")}, {"Name", std::string("Line\r\nTwo")},
                 {"Enabled", 0}});
  WriteCheck(8, {{"LogType", 5}, {"File", std::string("Custom")}, {"Name", std::string("Past end")}});

  int counter = 2;  // two problems reported before
  ReportCheckProblem("EventLogs", counter, "Custom", "Event log file does not exist on this server");
  EXPECT_EQ(counter, 4);
  EXPECT_EQ(Number(1, "Enabled"), 0);
  EXPECT_EQ(Number(2, "Enabled"), 1);
  EXPECT_EQ(Number(3, "Enabled"), 1);  // a log file check of the same name
  EXPECT_EQ(Number(4, "Enabled"), 0);
  EXPECT_EQ(Number(5, "Enabled"), 1);
  EXPECT_EQ(Number(6, "Enabled"), 0);
  EXPECT_EQ(Number(8, "Enabled"), 1);
  EXPECT_EQ(Status("EventLogs", "Title3"), "First");
  EXPECT_EQ(Status("EventLogs", "Reason3"), "Event log file does not exist on this server");
  EXPECT_EQ(Status("EventLogs", "Title4"), "Line  Two");
  EXPECT_EQ(Status("EventLogs", "Reason4"), "Event log file does not exist on this server");
  EXPECT_EQ(Status("EventLogs", "Title5"), "");
  EXPECT_EQ(Status("EventLogs", "Title1"), "");

  // Numbers go on from the counter; the log-file section has its own kinds.
  int fileCounter = 0;
  ReportCheckProblem("LogFiles", fileCounter, "CUSTOM", "Cannot be read");
  EXPECT_EQ(fileCounter, 1);
  EXPECT_EQ(Number(3, "Enabled"), 0);
  EXPECT_EQ(Status("LogFiles", "Title1"), "A file");
  EXPECT_EQ(Status("LogFiles", "Reason1"), "Cannot be read");

  // Disabled checks are no longer loaded.
  std::vector<MonitoredEventLog> logs;
  EXPECT_EQ(LoadEventLogChecks(logs), 1);
  EXPECT_EQ(logs[0].Name, "Application");
}

TEST_F(CheckConfigTest, ReportCheckProblemWithoutMatchesWritesNothing) {
  WriteCheck(1, {{"LogType", 0}, {"File", std::string("Application")}, {"Name", std::string("A")}});
  int counter = 0;
  ReportCheckProblem("EventLogs", counter, "System", "reason");
  ReportCheckProblem("Elsewhere", counter, "Application", "reason");
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(Number(1, "Enabled"), 1);
  EXPECT_TRUE(platform::GetProfileSections(ConfigStatusFilePath()).empty());
}

TEST(ExpandEnvironmentStrings, ReplacesKnownNamesOnly) {
  setenv("VLZT_ENV_A", "alpha", 1);
  setenv("VLZT_ENV_EMPTY", "", 1);
  struct Case {
    std::string text, expanded;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"plain", "plain"},
      {"%VLZT_ENV_A%", "alpha"},
      {"x%vlzt_env_a%y%VLZT_ENV_A%z", "xalphayalphaz"},
      {"[%VLZT_ENV_EMPTY%]", "[]"},
      {"%VLZT_ENV_UNSET%", "%VLZT_ENV_UNSET%"},
      {"100% of %VLZT_ENV_A%", "100% of alpha"},
      {"%VLZT_ENV_UNSET%VLZT_ENV_A%", "%VLZT_ENV_UNSETalpha"},
      {"%%", "%%"},
      {"50%", "50%"},
      {"%", "%"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::ExpandEnvironmentStrings(c.text), c.expanded) << c.text;
  unsetenv("VLZT_ENV_A");
  unsetenv("VLZT_ENV_EMPTY");
}

}  // namespace
}  // namespace vlzt
