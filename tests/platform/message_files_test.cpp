// Message files: the text format, formatting escapes and inserts, reloading edited files,
// and rendering an event's message from its source's registered files.
#include "platform/message_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;
using testing::WriteFile;

std::vector<std::string> Numbered(int n) {
  std::vector<std::string> v;
  for (int i = 1; i <= n; ++i) v.push_back("s" + std::to_string(i));
  return v;
}

class MessageFileTest : public testing::TestRoot {
 protected:
  // The formatted message `id` of the file `text`, or "<code>" when formatting fails.
  std::string Format(const std::string& text, uint32_t id, const std::vector<std::string>& inserts,
                     uint32_t flags = FORMAT_MESSAGE_FROM_HMODULE) {
    WriteFile(path("m.msg"), text);
    HMESSAGEFILE file = nullptr;
    long rc = LoadMessageFile(path("m.msg"), &file);
    if (rc != 0) return "<load " + std::to_string(rc) + ">";
    std::string out;
    rc = FormatMessage(flags, file, id, inserts, &out);
    FreeMessageFile(file);
    return rc == 0 ? out : "<" + std::to_string(rc) + ">";
  }
};

TEST(FormatMessageTextTest, EscapesAndInserts) {
  const auto two = std::vector<std::string>{"a", "b"};
  const auto many = Numbered(99);
  struct Case {
    const char* text;
    const std::vector<std::string>* inserts;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"%1 and %2", &two, "a and b"},
      {"%2%1%2", &two, "bab"},
      {"%10|%99|%9", &many, "s10|s99|s9"},
      {"%100", &many, "s100"},  // two digits at most: insert 10, then "0"
      {"%3 stays, %2 not", &two, "%3 stays, b not"},
      {"%5!s! and %1!s!", &two, "%5!s! and a"},
      {"%1!08lx!|%1!|%1! loud!", &two, "a|a!|a! loud!"},
      {"one%ntwo", &two, "one\r\ntwo"},
      {"cr%rtab%tend", &two, "cr\rtab\tend"},
      {"100%% sure%. %! % x", &two, "100% sure. !  x"},
      {"stop here%0 not this%n", &two, "stop here"},
      {"%q%-%", &two, "%q%-%"},
      {"%1", nullptr, "%1"},
      {"%1%n", nullptr, "%1\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMessageText(c.text, c.inserts), c.expected) << c.text;

  // Inserted strings are never scanned again, so inserts inside them reach the result.
  const std::vector<std::string> nested{"%2 %%1234 %n", "x"};
  EXPECT_EQ(FormatMessageText("[%1]", &nested), "[%2 %%1234 %n]");
}

TEST_F(MessageFileTest, FileFormatBlocksRangesAndFirstWins) {
  const std::string text =
      "; comment\r\n"
      "# another comment\r\n"
      "\r\n"
      "MessageId=7036\r\n"
      "The %1 service entered the %2 state.\r\n"
      ".\r\n"
      "  messageid = 0x40000010  \n"
      "First line\n"
      "%.\n"
      "; not a comment inside a block\n"
      "last%0\n"
      ".\n"
      "MessageId=100-199\n"
      "range %1\n"
      ".\n"
      "MessageId=150\n"
      "later single, never used\n"
      ".\n"
      "MessageId=5\n"
      ".\n";
  EXPECT_EQ(Format(text, 7036, {"Spooler", "running"}), "The Spooler service entered the running state.\r\n");
  EXPECT_EQ(Format(text, 0x40000010, {}), "First line\r\n.\r\n; not a comment inside a block\r\nlast");
  EXPECT_EQ(Format(text, 100, {"x"}), "range x\r\n");
  EXPECT_EQ(Format(text, 150, {"y"}), "range y\r\n");
  EXPECT_EQ(Format(text, 5, {}), "");
  EXPECT_EQ(Format(text, 200, {}), "<317>");
  EXPECT_EQ(Format(text, 10, {}), "<317>");  // the low 16 bits alone do not find 0x40000010
  // The system's own messages answer what the file lacks, when asked for.
  EXPECT_EQ(Format(text, 2, {}, FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM), SystemErrorText(2));
  EXPECT_EQ(Format(text, 7036, {"a", "b"}, FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS),
            "The %1 service entered the %2 state.\r\n");
  EXPECT_EQ(Format(text, 7036, {}, 0), "<87>");

  HMESSAGEFILE file;
  ASSERT_EQ(LoadMessageFile(path("m.msg"), &file), 0);
  ASSERT_NE(FindMessageText(file, 150), nullptr);
  EXPECT_EQ(*FindMessageText(file, 150), "range %1\r\n");
  EXPECT_EQ(FindMessageText(file, 99), nullptr);
  FreeMessageFile(file);
}

TEST_F(MessageFileTest, MalformedMissingAndUnreadableFiles) {
  struct Case {
    const char* text;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"stray text\n", "line 1: expected MessageId"},
      {"MessageId=1\nno end\n", "line 1: the message has no closing"},
      {"MessageId=1\nok\n.\nMessageId=abc\nx\n.\n", "line 4: bad message identifier"},
      {"MessageId=0x100000000\nx\n.\n", "line 1: bad message identifier"},
      {"MessageId=9-3\nx\n.\n", "line 1: bad message identifier"},
      {"MessageId\nx\n.\n", "line 1: bad message identifier"},
  };
  for (const auto& c : cases) {
    WriteFile(path("bad.msg"), c.text);
    HMESSAGEFILE file = nullptr;
    std::string reason;
    EXPECT_EQ(LoadMessageFile(path("bad.msg"), &file, &reason), kMessageFileMalformed) << c.text;
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
    EXPECT_EQ(file, nullptr);
  }
  HMESSAGEFILE file;
  EXPECT_EQ(LoadMessageFile(path("missing.msg"), &file), 2);
  EXPECT_EQ(LoadMessageFile(path("missing/x.msg"), &file), 2);
  EXPECT_EQ(LoadMessageFile(scratch(), &file), 5);
  EXPECT_EQ(LoadMessageFile("", &file), 2);
  std::string content;
  EXPECT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 1, {}, &content), kMessageNotFound);
}

TEST_F(MessageFileTest, EditedFileIsReadAgain) {
  const std::string file = path("edit.msg");
  WriteFile(file, "MessageId=1\nold text\n.\n");
  // An old modification time makes the file eligible for sharing between loads.
  timespec old[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  HMESSAGEFILE f;
  std::string out;
  ASSERT_EQ(LoadMessageFile(file, &f), 0);
  ASSERT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_HMODULE, f, 1, {}, &out), 0);
  FreeMessageFile(f);
  EXPECT_EQ(out, "old text\r\n");
  // Same size and the same modification time put back: the change time still tells.
  WriteFile(file, "MessageId=1\nnew text\n.\n");
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  ASSERT_EQ(LoadMessageFile(file, &f), 0);
  ASSERT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_HMODULE, f, 1, {}, &out), 0);
  FreeMessageFile(f);
  EXPECT_EQ(out, "new text\r\n");
}

TEST_F(MessageFileTest, EventMessageComesFromTheSourcesFilesWithParameterInserts) {
  WriteFile(path("events.msg"),
            "MessageId=7036\nThe %1 service entered the %2 state.\n.\n"
            "MessageId=0xC0000010\nDisk %1 failed: %%99 here.\n.\n");
  WriteFile(path("params1.msg"), "MessageId=1\nonly one\n.\n");
  WriteFile(path("params2.msg"), "MessageId=1\nrunning\n.\nMessageId=2\nstopped\n.\n");
  setenv("VLZT_MSG_DIR", scratch().c_str(), 1);
  ASSERT_EQ(CreateEventLog("Services"), 0);
  ASSERT_EQ(AddEventSource("Services", "Control", "%VLZT_MSG_DIR%/absent.msg;%VLZT_MSG_DIR%/events.msg",
                           path("params1.msg") + ";" + path("params2.msg")),
            0);
  std::string message, last;
  // The first file is missing, the second has the message; the first parameter file lacks
  // %%2, so the second one, which has both, resolves them.
  ASSERT_EQ(FormatEventMessage("services", "control", 7036, {"Spooler", "%%2 (was %%1)"}, &message, &last), 0);
  EXPECT_EQ(message, "The Spooler service entered the stopped (was running) state.\r\n");
  EXPECT_EQ(last, path("events.msg"));
  // Parameter inserts of the message text itself stay when no parameter file has them.
  ASSERT_EQ(FormatEventMessage("Services", "Control", 0xC0000010, {"sda"}, &message), 0);
  EXPECT_EQ(message, "Disk sda failed: %99 here.\r\n");
  ASSERT_EQ(FormatEventMessage("Services", "Control", 7036, {"x", "%%7"}, &message), 0);
  EXPECT_EQ(message, "The x service entered the %%7 state.\r\n");

  EXPECT_EQ(FormatEventMessage("Services", "Control", 42, {}, &message, &last), kMessageNotFound);
  EXPECT_EQ(last, path("events.msg"));
  EXPECT_EQ(FormatEventMessage("Services", "Nobody", 7036, {}, &message), 2);
  EXPECT_EQ(FormatEventMessage("Application", "Control", 7036, {}, &message), 2);
  EXPECT_EQ(FormatEventMessage("NoLog", "Control", 7036, {}, &message), 2);
  unsetenv("VLZT_MSG_DIR");
}

TEST_F(MessageFileTest, GenericFileMakesTheFirstStringTheMessage) {
  std::string generic;
  ASSERT_EQ(EnsureGenericMessageFile(&generic), 0);
  EXPECT_EQ(generic, root() + "/eventlog/Generic.msg");
  std::string again;
  ASSERT_EQ(EnsureGenericMessageFile(&again), 0);
  EXPECT_EQ(again, generic);
  HMESSAGEFILE file;
  ASSERT_EQ(LoadMessageFile(generic, &file), 0);
  for (uint32_t id : {0u, 1u, 65535u, 0xFFFFFFFFu}) {
    std::string out;
    ASSERT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_HMODULE, file, id, {"the description", "more"}, &out), 0);
    EXPECT_EQ(out, "the description\r\n");
  }
  FreeMessageFile(file);
}

}  // namespace
}  // namespace vlzt
