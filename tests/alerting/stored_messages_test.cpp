// Stored message files, their numbering, the unsent message list and what NotifyError
// tells the summary and the consoles.
#include "alerting/stored_messages.h"

#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/alerting/alerting_fixture.h"

namespace vlzt {
namespace {

using StoredMessagesTest = testing::AlertingTest;
using testing::ReadFile;
using testing::WriteFile;

std::vector<std::string> ListLines(const std::string& file) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The RunningTime line depends on the machine's uptime; everything else is fixed.
std::string WithoutRunningTime(const std::string& text) {
  return std::regex_replace(text, std::regex("\nRunningTime=[0-9]+\n"), "\nRunningTime=*\n");
}

TEST_F(StoredMessagesTest, AlertFileByteForByte) {
  SetLocalTime(2007, 3, 5, 10, 11, 12);
  std::string message = "line one\r\nline \"two\" ~ it's";
  ASSERT_EQ(NotifyError(4, 4, 3, "Disk check", "Application", message, "Application",
                        "Application log", "Disk check", 1),
            1);
  EXPECT_EQ(message, "line one  line  two    it s") << "cleaned in place";
  std::string expected =
      "[Default]\n"
      "Message=line one  line  two    it s\n"
      "MessageSize=27\n"
      "ErrorType=4\n"
      "AlertLevel=4\n"
      "AlertAction=3\n"
      "Auto-Response=1\n"
      "UserID=TESTSRV\n"
      "Time=05/03/2007 10:11:12\n"
      "AppName=Application\n"
      "Origin=50\n"
      "Sent=N\n"
      "RunningTime=*\n"
      "ErrorTitle=Disk check\n"
      "AdditionalInfo1=Application\n"
      "AdditionalInfo2=Application log\n"
      "AdditionalInfo3=Disk check\n"
      "APILogged=N\n"
      "LoggedOn=N/A\n"
      "TestID=N/A\n"
      "ErrorXStatus=5\n";
  EXPECT_EQ(WithoutRunningTime(ReadFile(dataFile("LOG1.err"))), expected);
  EXPECT_EQ(ListLines(UnsentListPath()), std::vector<std::string>{dataFile("LOG1.err")});
  EXPECT_EQ(ReadFile(UnsentListPath()), dataFile("LOG1.err") + "\r\n");
  EXPECT_TRUE(ServiceState().SendErrorEvent.IsSet());
  EXPECT_TRUE(HasActivity("Recording alert information for check Disk check"));
  // No temporary file is left beside it.
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(data())) files += e.is_regular_file();
  EXPECT_EQ(files, 2);
}

TEST_F(StoredMessagesTest, InternalErrorFileIsStoredButNotQueued) {
  SetLocalTime(2007, 3, 5, 10, 11, 12);
  ASSERT_EQ(NotifyInternalError(1, "Alerting Error", "Alerting Error", "It's \"bad\"\nreally"), 1);
  std::string expected =
      "[Default]\n"
      "Message=It s  bad  really\n"
      "MessageSize=17\n"
      "ErrorType=16\n"
      "UserID=TESTSRV\n"
      "Time=05/03/2007 10:11:12\n"
      "AppName=Alerting Error\n"
      "Origin=50\n"
      "Sent=N\n"
      "RunningTime=*\n"
      "ErrorTitle=Alerting Error\n"
      "APILogged=N\n"
      "LoggedOn=N/A\n"
      "TestID=N/A\n"
      "ErrorXStatus=5\n";
  EXPECT_EQ(WithoutRunningTime(ReadFile(dataFile("LOG1.err"))), expected);
  EXPECT_FALSE(std::filesystem::exists(UnsentListPath()));
  EXPECT_FALSE(ServiceState().SendErrorEvent.IsSet());
  EXPECT_TRUE(HasActivity("Recording internal/configuration error information for check Alerting Error"));
}

TEST_F(StoredMessagesTest, AbsentOrEmptyInfosAreNotWritten) {
  std::string message = "m";
  ASSERT_EQ(NotifyError(15, 2, 0, "Configuration Test E-mail Alert", "Configuration Test Alert",
                        message, "Velmora Test Only", "", nullptr, 0),
            1);
  std::string text = ReadFile(dataFile("LOG1.err"));
  EXPECT_NE(text.find("AdditionalInfo1=Velmora Test Only\n"), std::string::npos);
  EXPECT_EQ(text.find("AdditionalInfo2"), std::string::npos);
  EXPECT_EQ(text.find("AdditionalInfo3"), std::string::npos);
}

TEST_F(StoredMessagesTest, NumberingWithTheRegistryValues) {
  struct Row {
    int32_t max;   // -1: missing
    int32_t last;  // -1: missing
    uint32_t next;
    int32_t maxAfter;
    bool warned;
  };
  const Row rows[] = {
      {-1, -1, 1, 50, true}, {0, 7, 8, 50, false}, {3, 2, 3, 3, false},
      {3, 3, 1, 3, false},   {50, 50, 1, 50, false}, {3, 9, 1, 3, false},
  };
  for (const Row& row : rows) {
    platform::HKEY key = nullptr;
    if (vlZTREG_OpenKey(kAlertingConfigKey, kRegWriteValues, &key) == 0) {
      vlZTREG_DeleteValue(key, "MaxStoredMsgs");
      vlZTREG_DeleteValue(key, "StoredMsgNo");
      vlZTREG_CloseKey(key);
    }
    if (row.max >= 0) SetConfig("MaxStoredMsgs", row.max);
    if (row.last >= 0) SetConfig("StoredMsgNo", row.last);
    size_t logBefore = LogText().size();
    uint32_t next;
    {
      std::lock_guard<std::mutex> lock(ServiceState().StoredMessageLock);
      next = GetNextFileNo();
    }
    EXPECT_EQ(next, row.next) << row.max << "/" << row.last;
    int32_t value = -1;
    EXPECT_EQ(vlZTREG_ReadNumber(kAlertingConfigKey, "StoredMsgNo", &value), 0);
    EXPECT_EQ(value, static_cast<int32_t>(row.next));
    EXPECT_EQ(vlZTREG_ReadNumber(kAlertingConfigKey, "MaxStoredMsgs", &value), 0);
    EXPECT_EQ(value, row.maxAfter);
    bool warned = LogText().find("Warning: Error reading maximum stored error msg. no. from "
                                 "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion",
                                 logBefore) != std::string::npos;
    EXPECT_EQ(warned, row.warned) << row.max << "/" << row.last;
  }
}

TEST_F(StoredMessagesTest, WrapAroundReplacesTheFileAndListsItOnce) {
  SetConfig("MaxStoredMsgs", 2);
  for (const char* title : {"first", "second", "third"}) {
    std::string message = std::string("text of ") + title;
    ASSERT_EQ(NotifyError(4, 1, 0, title, "App", message, nullptr, nullptr, nullptr, 0), 1);
  }
  EXPECT_EQ(ReadStoredText(dataFile("LOG1.err"), "ErrorTitle", "N/A"), "third");
  EXPECT_EQ(ReadStoredText(dataFile("LOG2.err"), "ErrorTitle", "N/A"), "second");
  EXPECT_EQ(ListLines(UnsentListPath()),
            (std::vector<std::string>{dataFile("LOG1.err"), dataFile("LOG2.err")}));
  EXPECT_FALSE(std::filesystem::exists(dataFile("LOG3.err")));
}

TEST_F(StoredMessagesTest, UnwritableFileReturnsZeroAndQueuesNothing) {
  ASSERT_TRUE(std::filesystem::create_directory(dataFile("LOG1.err")));
  std::string message = "m";
  EXPECT_EQ(NotifyError(4, 1, 0, "t", "a", message, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_NE(LogText().find("vlZTAlertNotification NotifyError: Unable to write the error message to the file " +
                           dataFile("LOG1.err")),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(UnsentListPath()));
  EXPECT_FALSE(ServiceState().SendErrorEvent.IsSet());
  EXPECT_EQ(ReadSummaryCounters().Category4, 0u);
  int leftovers = 0;
  for (auto& e : std::filesystem::directory_iterator(data())) leftovers += e.is_regular_file();
  EXPECT_EQ(leftovers, 0);
}

TEST_F(StoredMessagesTest, SummaryCountsAndConsolePushes) {
  std::vector<std::string> pushed;
  SetConsoleEventPush([&](const std::string& time, const std::string& title, const std::string& text) {
    pushed.push_back(time + "|" + title + "|" + text);
    return 1;
  });
  SetLocalTime(2007, 3, 5, 10, 11, 12);
  std::string m1 = "one", m2 = "two", m3 = "test", m4 = "config";
  NotifyError(4, 1, 0, "A", "app", m1, nullptr, nullptr, nullptr, 0);
  ServiceState().EnableConsoleSupport = 1;
  NotifyError(4, 1, 0, "B", "app", m2, nullptr, nullptr, nullptr, 0);
  NotifyError(15, 1, 0, "C", "app", m3, nullptr, nullptr, nullptr, 0);
  NotifyError(16, 1023, 0, "D", "app", m4, nullptr, nullptr, nullptr, 0);
  NotifyInternalError(1, "E", "app", "a\nb");
  SummaryCounters c = ReadSummaryCounters();
  EXPECT_EQ(c.Category4, 2u);
  EXPECT_EQ(c.Category1, 1u);
  EXPECT_EQ(c.Category2And16, 1u);
  EXPECT_EQ(c.Category8, 0u);
  EXPECT_EQ(pushed, (std::vector<std::string>{"05/03/2007 10:11:12|B|two", "05/03/2007 10:11:12|C|test",
                                              "05/03/2007 10:11:12|D|config",
                                              "05/03/2007 10:11:12|E|a b"}));
  ResetSummaryCounters();
  EXPECT_EQ(ReadSummaryCounters().Category4, 0u);
}

TEST_F(StoredMessagesTest, ListLookupAndAppend) {
  std::string list = UnsentListPath();
  std::string a = dataFile("LOG1.err"), b = dataFile("LOG12.err");
  EXPECT_EQ(CheckFileForFile(list, a), 0);
  EXPECT_TRUE(std::filesystem::exists(list)) << "opened for appending, so created";
  WriteFile(list, b + "\r\n" + a + "x\r\n");
  EXPECT_EQ(CheckFileForFile(list, b), 1);
  EXPECT_EQ(CheckFileForFile(list, a), 0) << "exact lines only";
  EXPECT_EQ(CheckFileForFile(list, dataFile("LOG1")), 0);
  // A last line without its line end (a writer that died mid-line) stays a line of its own.
  WriteFile(list, b + "\r\n" + dataFile("LOG9.e"));
  EXPECT_EQ(AddToUnsentMsgFile(a, list), 1);
  EXPECT_EQ(ReadFile(list), b + "\r\n" + dataFile("LOG9.e") + "\r\n" + a + "\r\n");
  EXPECT_EQ(CheckFileForFile(list, a), 1);

  EXPECT_EQ(CheckFileForFile(path("no/such/dir/Unsent.log"), a), 0);
  EXPECT_NE(LogText().find("CheckFileForFile: Unable to open the unsent message file " + path("no/such/dir/Unsent.log")),
            std::string::npos);
  EXPECT_EQ(AddToUnsentMsgFile(a, path("no/such/dir/Unsent.log")), 0);
  EXPECT_NE(LogText().find("AddToUnsentMsgFile: Couldn't open the unsent message file " + path("no/such/dir/Unsent.log")),
            std::string::npos);
}

TEST_F(StoredMessagesTest, CleanMessageText) {
  std::string text = "a\rb\nc~d'e\"f\tg<$$>";
  CleanMessageText(text);
  EXPECT_EQ(text, "a b c d e f\tg<$$>");
}

TEST_F(StoredMessagesTest, ReplaceWithRemainingFileKeepsTheRestOrNothingChanges) {
  std::string list = UnsentListPath();
  WriteFile(list, "first\r\nsecond\r\nthird\r\n");
  {
    std::ifstream in(list, std::ios::binary);
    std::string line;
    std::getline(in, line);
    ASSERT_EQ(ReplaceWithRemainingFile(in, list, UnsentTempPath()), 1);
  }
  EXPECT_EQ(ReadFile(list), "second\r\nthird\r\n");
  EXPECT_FALSE(std::filesystem::exists(UnsentTempPath()));
  {
    std::ifstream in(list, std::ios::binary);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(ReplaceWithRemainingFile(in, list, path("no/such/dir/t.log")), 0);
  }
  EXPECT_EQ(ReadFile(list), "second\r\nthird\r\n");
  EXPECT_NE(LogText().find("ReplaceWithRemainingFile: Unable to open the temporary file " + path("no/such/dir/t.log")),
            std::string::npos);
}

TEST_F(StoredMessagesTest, RecordFromFileUsesDefaultsAndLimits) {
  std::string message(3000, 'm');
  std::string title(300, 't');
  NotifyError(4, 8, 0, title, "source", message, nullptr, nullptr, nullptr, 0);
  SubstitutionRecord r;
  int32_t type = 0;
  FillSubstitutionRecordFromFile(dataFile("LOG1.err"), OSNameForm::kShort, r, &type);
  EXPECT_EQ(type, 4);
  EXPECT_EQ(r.Message, message);
  EXPECT_EQ(r.Title, std::string(255, 't'));
  EXPECT_EQ(r.Info1, "N/A");
  EXPECT_EQ(r.Source, "source");
  EXPECT_EQ(r.LevelNumber, 4);
  EXPECT_EQ(StoredMessageUsable(dataFile("LOG1.err")), 1);
  EXPECT_EQ(StoredMessageUsable(dataFile("LOG2.err")), 0);
}

}  // namespace
}  // namespace vlzt
