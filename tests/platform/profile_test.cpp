// Profile files: reading, enumeration forms, writes that keep the rest, writers in parallel.
#include "platform/profile.h"

#include <sys/wait.h>
#include <unistd.h>

#include "tests/testing/test_root.h"

namespace vlzt::platform {
namespace {

using ProfileTest = testing::TestRoot;

std::vector<std::string> SplitList(const char* buffer, uint32_t length) {
  std::vector<std::string> names;
  std::string cur;
  for (uint32_t i = 0; i < length; ++i) {
    if (buffer[i] == '\0') {
      names.push_back(cur);
      cur.clear();
    } else {
      cur += buffer[i];
    }
  }
  return names;
}

TEST_F(ProfileTest, ReadsGoodLinesOfUntidyFiles) {
  std::string file = path("untidy.ini");
  testing::WriteFile(file,
                     "garbage line\r\n[Default]\r\n  ErrorType = 4 \r\n"
                     "Message=\"quoted text\"\r\n=no key\r\n; Name=comment\r\n"
                     "[ other ]\r\nName=second\r\nHalf=\"open quote\r\nLast=no newline");
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    const char* want;
  } cases[] = {
      {"default", "ERRORTYPE", "", "4"},
      {"Default", "Message", "", "quoted text"},
      {"Default", "Name", "dflt  ", "dflt"},
      {"OTHER", "name", "", "second"},
      {"Other", "Half", "", "\"open quote"},
      {"Other", "Last", "", "no newline"},
      {"Missing", "Name", nullptr, ""},
  };
  char buffer[64];
  for (const Case& c : cases) {
    uint32_t n = GetPrivateProfileString(c.section, c.key, c.def, buffer, sizeof buffer, file);
    EXPECT_STREQ(buffer, c.want) << c.section << "/" << c.key;
    EXPECT_EQ(n, strlen(c.want));
  }
  EXPECT_EQ(GetPrivateProfileString("Default", "Message", "", buffer, 6, file), 5u);
  EXPECT_STREQ(buffer, "quote");
  EXPECT_EQ(GetPrivateProfileInt("Default", "ErrorType", -1, file), 4);
  EXPECT_EQ(GetPrivateProfileInt("Other", "Name", -1, file), 0);
  EXPECT_EQ(GetPrivateProfileInt("Other", "Nope", -1, file), -1);
  EXPECT_EQ(GetPrivateProfileInt("Default", "ErrorType", 9, path("missing.ini")), 9);
}

TEST_F(ProfileTest, EnumerationFormsFitTheCallersBuffer) {
  std::string file = path("list.ini");
  testing::WriteFile(file, "[One]\na=1\nbb=2\n[Two]\n[Three]\nccc=3\n");
  char buffer[64];
  uint32_t n = GetPrivateProfileString(nullptr, nullptr, "", buffer, sizeof buffer, file);
  EXPECT_EQ(SplitList(buffer, n), (std::vector<std::string>{"One", "Two", "Three"}));
  EXPECT_EQ(buffer[n], '\0');
  n = GetPrivateProfileString("one", nullptr, "", buffer, sizeof buffer, file);
  EXPECT_EQ(SplitList(buffer, n), (std::vector<std::string>{"a", "bb"}));
  // Too small: the last name is cut and the list still ends in two zeros.
  n = GetPrivateProfileString(nullptr, nullptr, "", buffer, 9, file);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(std::string(buffer, 9), std::string("One\0Two\0\0", 9));
  n = GetPrivateProfileString("Two", nullptr, "", buffer, sizeof buffer, file);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '\0');
  EXPECT_EQ(GetProfileSections(path("none.ini")).size(), 0u);
}

TEST_F(ProfileTest, WritesKeepEveryOtherLine) {
  std::string file = path("keep.ini");
  testing::WriteFile(file, "; header comment\r\n[Default]\r\nA=1\r\njunk\r\n\r\n[Next]\r\nB=2\r\n");
  ASSERT_TRUE(WritePrivateProfileString("default", "a", "one", file));
  ASSERT_TRUE(WritePrivateProfileString("Default", "New", "x", file));
  ASSERT_TRUE(WritePrivateProfileInt("Added", "N", -7, file));
  EXPECT_EQ(testing::ReadFile(file),
            "; header comment\r\n[Default]\r\nA=one\r\njunk\r\nNew=x\r\n\r\n[Next]\r\nB=2\r\n"
            "\r\n[Added]\r\nN=-7\r\n");
  ASSERT_TRUE(WritePrivateProfileString("Default", "A", nullptr, file));
  ASSERT_TRUE(WritePrivateProfileString("Next", nullptr, nullptr, file));
  ASSERT_TRUE(WritePrivateProfileString("Nowhere", "X", nullptr, file));
  EXPECT_EQ(testing::ReadFile(file),
            "; header comment\r\n[Default]\r\njunk\r\nNew=x\r\n\r\n[Added]\r\nN=-7\r\n");
  // A value cannot smuggle lines into the file.
  ASSERT_TRUE(WritePrivateProfileString("Default", "Msg", "line1\n[Evil]\nk=v", file));
  EXPECT_EQ(GetProfileValue("Default", "Msg", "", file), "line1 [Evil] k=v");
  EXPECT_EQ(GetProfileSections(file), (std::vector<std::string>{"Default", "Added"}));
  // A missing file is created; a file in a missing folder is an error.
  ASSERT_TRUE(WritePrivateProfileString("S", "K", "V", path("fresh.ini")));
  EXPECT_EQ(testing::ReadFile(path("fresh.ini")), "[S]\nK=V\n");
  EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", path("no/such/dir.ini")));
}

TEST_F(ProfileTest, WholeSectionInOneWrite) {
  std::string file = path("section.ini");
  ASSERT_TRUE(WritePrivateProfileSection("Default", {{"Message", "text"}, {"ErrorType", "4"}}, file));
  EXPECT_EQ(testing::ReadFile(file), "[Default]\nMessage=text\nErrorType=4\n");
  testing::WriteFile(file, "[Other]\nX=1\n[default]\nOld=1\n; note\n[Last]\nY=2\n");
  ASSERT_TRUE(WritePrivateProfileSection("Default", {{"New", "a\nb"}}, file));
  EXPECT_EQ(testing::ReadFile(file), "[Other]\nX=1\n[default]\nNew=a b\n; note\n[Last]\nY=2\n");
}

TEST_F(ProfileTest, WritersInSeveralProcessesLoseNothing) {
  std::string file = path("shared.ini");
  constexpr int kKeys = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t child = fork();
    if (child == 0) {
      for (int i = 0; i < kKeys; ++i)
        if (!WritePrivateProfileInt("Counts", ("p" + std::to_string(p) + "k" + std::to_string(i)).c_str(), i, file))
          _exit(1);
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t c : children) {
    int status;
    waitpid(c, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(GetProfileKeys("Counts", file).size(), 2u * kKeys);
  EXPECT_EQ(GetPrivateProfileInt("Counts", "p1k39", -1, file), 39);
}

}  // namespace
}  // namespace vlzt::platform
