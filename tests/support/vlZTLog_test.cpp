// Program log: line layout, type letters, levels, files and writers in several processes.
#include "support/vlZTLog.h"

#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "platform/machine_root.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using LogTest = testing::TestRoot;

std::vector<std::string> Lines(const std::string& file) {
  std::vector<std::string> lines;
  std::istringstream in(testing::ReadFile(file));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

TEST_F(LogTest, LineLayoutAndTypeLetters) {
  ASSERT_NE(vlZTLog_SetFile("layout.log"), 0);
  EXPECT_EQ(vlZTLog_CurrentFile(), platform::JoinPath(root(), "log/layout.log"));
  vlZTLog_Message(3, 0, nullptr, "vlZTELog", "ServiceMain", "sis", "Waiting for server warm-up time (",
                  12, " secs.)");
  vlZTLog_Message(1, 0, nullptr, "vlZTSvc", "Install", "sl", "Error: ", -1073741823);
  vlZTLog_Message(5, 0, nullptr, "vlZTKeyword", "LoadKeywords", "s", std::string("two\nlines"));
  auto lines = Lines(vlZTLog_CurrentFile());
  ASSERT_EQ(lines.size(), 3u);
  std::regex layout(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\w+) +pid=\d+ tid=\d+ (\S+) (\S+): (.*)$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, layout)) << lines[0];
  EXPECT_EQ(m[1], "INFO");
  EXPECT_EQ(m[2], "vlZTELog");
  EXPECT_EQ(m[3], "ServiceMain");
  EXPECT_EQ(m[4], "Waiting for server warm-up time (12 secs.)");
  ASSERT_TRUE(std::regex_match(lines[1], m, layout));
  EXPECT_EQ(m[1], "ERROR");
  EXPECT_EQ(m[4], "Error: -1073741823");
  ASSERT_TRUE(std::regex_match(lines[2], m, layout));
  EXPECT_EQ(m[1], "DETAIL");
  EXPECT_EQ(m[4], "two\\nlines") << "one call stays one line";
  EXPECT_EQ(vlZTLog_Format("ll", {LogValue(1), LogValue(uint32_t{4294967295u})}), "1-1");
}

TEST_F(LogTest, LevelFilterAndRefusedFiles) {
  ASSERT_NE(vlZTLog_SetFile("levels.log"), 0);
  vlZTLog_SetLevel(2);
  vlZTLog_Message(3, 0, nullptr, "m", "f", "s", "dropped");
  vlZTLog_Message(2, 0, nullptr, "m", "f", "s", "kept");
  EXPECT_EQ(vlZTLog_SetFile(std::string(260, 'x').c_str()), 0);
  EXPECT_EQ(vlZTLog_SetFile("/nonexistent-dir/\x01/none/x.log"), 0);
  vlZTLog_Message(1, 0, nullptr, "m", "f", "s", "still here");
  auto lines = Lines(platform::JoinPath(root(), "log/levels.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("kept"), std::string::npos);
  EXPECT_NE(lines[1].find("still here"), std::string::npos);
}

TEST_F(LogTest, ShowFlagUsesTheHookAndEventsAreLogged) {
  ASSERT_NE(vlZTLog_SetFile("show.log"), 0);
  std::string shown;
  vlZTLog_SetMessageBoxHook([&](void*, int level, const std::string& text) {
    shown = std::to_string(level) + ":" + text;
  });
  vlZTLog_Message(2, 1, nullptr, "vlZTLogCfg", "CMainFrame::OnStart", "s", "Cannot start");
  vlZTLog_SetMessageBoxHook(nullptr);
  EXPECT_EQ(shown, "2:Cannot start");

  int eventType = 0;
  vlZTLog_SetEventSink([&](int type, const char*, const char*, const std::string&) { eventType = type; });
  vlZTLog_Event(6, "vlZTELog", "ServiceMain", "ss", "Monitor ", "is starting");
  vlZTLog_SetEventSink(nullptr);
  EXPECT_EQ(eventType, 6);
  auto lines = Lines(vlZTLog_CurrentFile());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("EVENT-INFO"), std::string::npos);
  EXPECT_NE(lines[1].find("Monitor is starting"), std::string::npos);
}

TEST_F(LogTest, ProcessesSharingTheFileNeverMixInsideALine) {
  ASSERT_NE(vlZTLog_SetFile("shared.log"), 0);
  constexpr int kLines = 300;
  std::vector<pid_t> children;
  for (char tag : {'a', 'b', 'c'}) {
    pid_t child = fork();
    if (child == 0) {
      std::string body(3000, tag);
      for (int i = 0; i < kLines; ++i) vlZTLog_Message(3, 0, nullptr, "m", "f", "s", body);
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t c : children) waitpid(c, nullptr, 0);
  auto lines = Lines(vlZTLog_CurrentFile());
  ASSERT_EQ(lines.size(), 3u * kLines);
  for (const auto& line : lines) {
    size_t colon = line.find(": ");
    ASSERT_NE(colon, std::string::npos);
    std::string body = line.substr(colon + 2);
    ASSERT_EQ(body, std::string(3000, body[0])) << line.substr(0, 120);
  }
}

}  // namespace
}  // namespace vlzt
