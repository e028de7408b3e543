// The alert log (header, appends, trimming) and the alert data file.
#include "alerting/alert_log.h"

#include <filesystem>
#include <sstream>

#include "alerting/stored_messages.h"
#include "platform/profile.h"
#include "tests/alerting/alerting_fixture.h"

namespace vlzt {
namespace {

using testing::ReadFile;
using testing::WriteFile;

const std::string kHeader =
    "\r\n"
    "Monitor: Velmora Tavish Log Monitor\r\n"
    "Version: 4.3\r\n"
    "\r\n"
    "Recent Alerts generated from TESTSRV will be listed below\r\n"
    "--------------------------------------------------------------------------\r\n"
    "\r\n"
    "Date/Time          \tError Source/Check Title      \tDetails or Message\r\n"
    "\r\n";

class AlertLogTest : public testing::AlertingTest {
 protected:
  // A stored message file written directly, as any writer of the format may.
  std::string Stored(int n, const std::string& title, const std::string& message,
                     const std::string& time = "05/03/2007 10:11:12") {
    std::string file = dataFile("LOG" + std::to_string(n) + ".err");
    platform::WritePrivateProfileString("Default", "Message", message.c_str(), file);
    platform::WritePrivateProfileString("Default", "MessageSize", std::to_string(message.size()).c_str(), file);
    platform::WritePrivateProfileString("Default", "ErrorType", "4", file);
    platform::WritePrivateProfileString("Default", "AlertLevel", "4", file);
    platform::WritePrivateProfileString("Default", "Time", time.c_str(), file);
    platform::WritePrivateProfileString("Default", "AppName", "Application", file);
    platform::WritePrivateProfileString("Default", "ErrorTitle", title.c_str(), file);
    return file;
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  void EnableDataFile(const std::string& file, const char* alertString = nullptr) {
    ASSERT_EQ(vlZTREG_WriteFlag(kAlertLoggingKey, "EnableAlertLogging", 1), 0);
    ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertDataFile", file), 0);
    if (alertString) {
      ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertString", alertString), 0);
    }
  }
};

TEST_F(AlertLogTest, HeaderIsWrittenOnceAndRecordsFollow) {
  EXPECT_EQ(AppendAlertLog("", 1), 1);
  EXPECT_EQ(ReadFile(AlertLogPath()), kHeader);
  EXPECT_TRUE(HasActivity("Initialising alert log " + AlertLogPath()));
  // An existing log is left as it is.
  WriteFile(AlertLogPath(), kHeader + "old\r\n");
  EXPECT_EQ(AppendAlertLog("", 1), 1);
  EXPECT_EQ(ReadFile(AlertLogPath()), kHeader + "old\r\n");

  std::string a = Stored(1, "Disk check", "Disk full");
  std::string b = Stored(2, std::string(40, 'T'), "x", "1/2/2007 1:2:3");
  EXPECT_EQ(AppendAlertLog(a, 0), 1);  // the first after start trims, keeping every record
  EXPECT_EQ(AppendAlertLog(b, 0), 1);
  EXPECT_EQ(ReadFile(AlertLogPath()),
            kHeader + "old\r\n" + "05/03/2007 10:11:12\tDisk check                    \tDisk full\r\n" +
                "1/2/2007 1:2:3     \t" + std::string(40, 'T') + "\tx\r\n");
  EXPECT_TRUE(HasActivity("Appending alert details to " + AlertLogPath()));
}

TEST_F(AlertLogTest, TrimmingKeepsTheNewestMaxStoredMsgs) {
  SetConfig("MaxStoredMsgs", 50);
  std::string log = kHeader;
  for (int i = 1; i <= 80; ++i) {
    // Some records are far longer than any line buffer.
    std::string message = i % 7 == 0 ? std::string(5000, 'L') : "message " + std::to_string(i);
    log += "05/03/2007 10:11:12\tcheck " + std::to_string(i) + "\t" + message + "\r\n";
  }
  WriteFile(AlertLogPath(), log);
  ASSERT_EQ(AppendAlertLog("", 1), 1);
  ASSERT_EQ(AppendAlertLog(Stored(1, "new", "newest"), 0), 1);
  std::vector<std::string> lines = Lines(ReadFile(AlertLogPath()));
  ASSERT_EQ(lines.size(), 9u + 50u);
  EXPECT_EQ(ReadFile(AlertLogPath()).substr(0, kHeader.size()), kHeader);
  EXPECT_NE(lines[9].find("\tcheck 32\t"), std::string::npos) << lines[9];
  EXPECT_NE(lines[57].find("\tcheck 80\t"), std::string::npos);
  EXPECT_NE(lines[58].find("\tnewest"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(AlertLogPath() + ".tmp"));

  {
    std::ifstream in(AlertLogPath(), std::ios::binary);
    EXPECT_EQ(CountAlertLogRecords(in), 50);
  }
}

TEST_F(AlertLogTest, TrimsAtTheFirstAppendAndThenEveryFiftieth) {
  SetConfig("MaxStoredMsgs", 5);
  std::string file = Stored(1, "t", "m");
  auto records = [&] { return static_cast<int>(Lines(ReadFile(AlertLogPath())).size()) - 9; };
  ASSERT_EQ(AppendAlertLog("", 1), 1);
  for (int i = 0; i < 8; ++i) AppendAlertLog(file, 0);
  EXPECT_EQ(records(), 8);  // trimmed at the first (to 1), then grew
  for (int i = 8; i < 50; ++i) AppendAlertLog(file, 0);
  EXPECT_EQ(records(), 50);
  AppendAlertLog(file, 0);  // the 50th since the last trimming
  EXPECT_EQ(records(), 5);
}

TEST_F(AlertLogTest, FailuresAreLogged) {
  ASSERT_EQ(AppendAlertLog("", 1), 1);
  EXPECT_EQ(AppendAlertLog(dataFile("LOG9.err"), 0), 0);
  EXPECT_NE(LogText().find("AppendAlertLog: Unable to open the Alert file " + dataFile("LOG9.err") +
                           ". No entry will be written"),
            std::string::npos);
  EXPECT_EQ(ReadFile(AlertLogPath()), kHeader);
}

TEST_F(AlertLogTest, AlertDataFileWithTheDefaultString) {
  SetLocalTime(2007, 3, 6, 11, 12, 13);
  std::string out = path("alerts.csv");
  std::string file = Stored(1, "Disk check", "He said \"no\" twice");
  // Off, or no file named: nothing to do.
  EXPECT_EQ(WriteAlertFileFromFile(file), 1);
  ASSERT_EQ(vlZTREG_WriteFlag(kAlertLoggingKey, "EnableAlertLogging", 1), 0);
  EXPECT_EQ(WriteAlertFileFromFile(file), 1);
  EXPECT_FALSE(std::filesystem::exists(out));

  EnableDataFile(out);
  EXPECT_EQ(WriteAlertFileFromFile(file), 1);
  EXPECT_EQ(WriteAlertFileFromFile(file), 1);
  std::string line = "05/03/2007 10:11:12,3,TESTSRV,Disk check,Application,He said \"no\" twice\r\n";
  EXPECT_EQ(ReadFile(out), line + line);
  EXPECT_TRUE(HasActivity("Logging alert to the file " + out));

  ASSERT_EQ(vlZTREG_WriteString(kAlertLoggingKey, "AlertString",
                                "<$$TIMENOW>;<$$EVENTLOG>;<$$INFO3>;<$$OSNAME>;<$$ERROR,10>"),
            0);
  std::filesystem::remove(out);
  EXPECT_EQ(WriteAlertFileFromFile(file), 1);
  EXPECT_EQ(ReadFile(out), "06/03/2007 11:12:13;N/A;N/A;" + OSNameText(OSNameForm::kShort) +
                               ";[not defined]\r\n");
}

TEST_F(AlertLogTest, UnwritableAlertDataFile) {
  EnableDataFile(path("no/such/dir/alerts.csv"));
  EXPECT_EQ(WriteAlertFileFromFile(Stored(1, "t", "m")), 0);
  EXPECT_NE(LogText().find("WriteAlertFileFromFile: Unable to write triggered alert to the Alert File " +
                           path("no/such/dir/alerts.csv") + ". The Alert was not written"),
            std::string::npos);
}

}  // namespace
}  // namespace vlzt
