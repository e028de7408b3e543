// The service's events in the Application log: source registration, message file, and the
// records that vlZTLog_Event writes, read back by the library and by vlevent.
#include "service/event_messages.h"

#include <vector>

#include "platform/eventlog.h"
#include "platform/message_files.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;

class EventMessagesTest : public testing::TestRoot {
 protected:
  void TearDown() override {
    RemoveEventLogSink();
    TestRoot::TearDown();
  }
  // Every record of `log` in order.
  static std::vector<EventLogEntry> Records(const std::string& log) {
    std::vector<EventLogEntry> out;
    HEVENTLOG h = nullptr;
    EXPECT_EQ(OpenEventLog(log, &h), 0);
    std::vector<char> buf(64 * 1024);
    while (h) {
      uint32_t got = 0, needed = 0;
      long rc = ReadEventLog(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(),
                             static_cast<uint32_t>(buf.size()), &got, &needed);
      if (rc == kErrorInsufficientBuffer) {
        buf.resize(needed);
        continue;
      }
      if (rc != 0) break;
      for (uint32_t at = 0; at < got;) {
        EventLogEntry e;
        uint32_t length = DecodeEventLogRecord(buf.data() + at, got - at, &e);
        if (!length) break;
        out.push_back(e);
        at += length;
      }
    }
    if (h) CloseEventLog(h);
    return out;
  }
  static std::string SourceKey() { return std::string(kEventLogKey) + "\\Application\\" + kEventSourceName; }
};

TEST_F(EventMessagesTest, EventsBecomeApplicationRecordsWithTheirMessages) {
  ASSERT_EQ(InstallEventLogSink(), 1);
  std::string file;
  ASSERT_EQ(vlZTREG_ReadString(SourceKey(), "EventMessageFile", file, 1024), 0);
  EXPECT_EQ(file, EventMessageFilePath());

  vlZTLog_Event(1, "vlZTSvc", "main", "sl", "Call to StartServiceCtrlDispatcher failed. Error: ", 1063);
  vlZTLog_Event(2, "vlZTSvc", "main", "s", "A warning");
  vlZTLog_Event(6, "vlZTELog", "ServiceMain", "sss", "Velmora/Tavish Log Monitor ", "v4.3", " is starting");
  vlZTLog_Event(4, "vlZTELog", "ServiceMain", "s", "100% done, %1 stays");

  struct Expected {
    uint16_t type;
    uint32_t id;
    std::string message;
  } expected[] = {
      {EVENTLOG_ERROR_TYPE, kEventIdError, "Call to StartServiceCtrlDispatcher failed. Error: 1063"},
      {EVENTLOG_WARNING_TYPE, kEventIdWarning, "A warning"},
      {EVENTLOG_INFORMATION_TYPE, kEventIdInformation, "Velmora/Tavish Log Monitor v4.3 is starting"},
      {EVENTLOG_INFORMATION_TYPE, kEventIdInformation, "100% done, %1 stays"},
  };
  auto records = Records("Application");
  ASSERT_EQ(records.size(), 4u);
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].source, kEventSourceName);
    EXPECT_EQ(records[i].eventType, expected[i].type);
    EXPECT_EQ(records[i].eventId, expected[i].id);
    std::string message;
    ASSERT_EQ(FormatEventMessage("Application", kEventSourceName, records[i].eventId, records[i].strings, &message), 0);
    EXPECT_EQ(message, expected[i].message + "\r\n") << "an insertion string is never formatted again";
  }
  // The events still reach the program log.
  std::string log = testing::ReadFile(vlZTLog_CurrentFile());
  EXPECT_NE(log.find("EVENT-ERROR"), std::string::npos);

  std::string output;
  ASSERT_EQ(testing::RunCommand(testing::BinPath("vlevent") + " query Application /c:1 /rd:true", &output), 0);
  EXPECT_NE(output.find("100% done, %1 stays"), std::string::npos) << output;

  RemoveEventLogSink();
  vlZTLog_Event(1, "vlZTSvc", "main", "s", "only in the program log");
  EXPECT_EQ(Records("Application").size(), 4u);
}

TEST_F(EventMessagesTest, InstallRepairsTheMessageFileAndTheRegistration) {
  ASSERT_EQ(InstallEventLogSink(), 1);
  // An administrator pointed the source elsewhere, and the file was damaged.
  ASSERT_EQ(AddEventSource("Application", kEventSourceName, "/nonexistent/other.msg", ""), 0);
  testing::WriteFile(EventMessageFilePath(), "garbage\n");
  ASSERT_EQ(InstallEventLogSink(), 1);
  std::string file;
  ASSERT_EQ(vlZTREG_ReadString(SourceKey(), "EventMessageFile", file, 1024), 0);
  EXPECT_EQ(file, EventMessageFilePath());
  vlZTLog_Event(2, "vlZTSvc", "main", "s", "after the repair");
  auto records = Records("Application");
  ASSERT_EQ(records.size(), 1u);
  std::string message;
  ASSERT_EQ(FormatEventMessage("Application", kEventSourceName, records[0].eventId, records[0].strings, &message), 0);
  EXPECT_EQ(message, "after the repair\r\n");

  // A source an administrator registered under another log keeps its place; events follow it.
  ASSERT_EQ(DeleteEventSource("Application", kEventSourceName), 0);
  ASSERT_EQ(AddEventSource("System", kEventSourceName, EventMessageFilePath(), ""), 0);
  EXPECT_EQ(InstallEventLogSink(), 1);
  vlZTLog_Event(1, "vlZTSvc", "main", "s", "into System");
  ASSERT_EQ(Records("System").size(), 1u);
  EXPECT_EQ(Records("System")[0].strings, std::vector<std::string>{"into System"});
  EXPECT_NE(testing::ReadFile(vlZTLog_CurrentFile()).find("could not be registered under the Application Event Log"),
            std::string::npos);
}

}  // namespace
}  // namespace vlzt
