// Registry library: results and outputs callers rely on.
#include "support/vlZTREG.h"

#include "platform/machine_root.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using RegLibTest = testing::TestRoot;
const std::string kKey = "Software\\Orvane\\Test\\CurrentVersion";

TEST_F(RegLibTest, MissingValuesGiveTheDefaultOrLeaveTheOutputAlone) {
  int32_t n = 42;
  EXPECT_NE(vlZTREG_ReadNumber(kKey, "Missing", &n), 0);
  EXPECT_EQ(n, 42);
  EXPECT_NE(vlZTREG_ReadNumber(kKey, "Missing", &n, 3), 0);
  EXPECT_EQ(n, 3);

  int32_t flag = 7;
  EXPECT_NE(vlZTREG_ReadFlag(kKey, "Missing", &flag), 0);
  EXPECT_EQ(flag, 7);
  EXPECT_NE(vlZTREG_ReadFlag(kKey, "Missing", &flag, 1), 0);
  EXPECT_EQ(flag, 1);

  std::string text = "untouched";
  EXPECT_NE(vlZTREG_ReadString(kKey, "Missing", text, 260), 0);
  EXPECT_EQ(text, "untouched");
  EXPECT_NE(vlZTREG_ReadString(kKey, "Missing", text, 6, "VLMZT.LOG"), 0);
  EXPECT_EQ(text, "VLMZT") << "the default is cut like a stored text";
}

TEST_F(RegLibTest, ValuesReadBackWithTheirTypesAndLimits) {
  ASSERT_EQ(vlZTREG_WriteNumber(kKey, "Level", -5), 0);
  ASSERT_EQ(vlZTREG_WriteFlag(kKey, "Enabled", 9), 0);
  ASSERT_EQ(vlZTREG_WriteString(kKey, "Home", std::string(300, 'h')), 0);
  int32_t n = 0, flag = 0;
  std::string text;
  EXPECT_EQ(vlZTREG_ReadNumber("HKLM\\" + kKey, "level", &n), 0);
  EXPECT_EQ(n, -5);
  EXPECT_EQ(vlZTREG_ReadFlag("HKEY_LOCAL_MACHINE\\" + kKey, "ENABLED", &flag), 0);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(vlZTREG_ReadString(kKey, "Home", text, 260), 0);
  EXPECT_EQ(text.size(), 259u);
  // A number asked of a text (and the reverse) reads as missing, with the default.
  EXPECT_NE(vlZTREG_ReadNumber(kKey, "Home", &n, 11), 0);
  EXPECT_EQ(n, 11);
  EXPECT_NE(vlZTREG_ReadString(kKey, "Level", text, 260, "dflt"), 0);
  EXPECT_EQ(text, "dflt");
  EXPECT_EQ(vlZTREG_ReadString(kKey, "Home", text, 0), 87);
}

TEST_F(RegLibTest, BadKeyPathsAreErrors) {
  int32_t n = 1;
  std::string text;
  for (const char* path : {"", "Software\\\\X", "HKCU\\Software\\X", "HKEY_USERS\\S", "HKLM\\"}) {
    EXPECT_EQ(vlZTREG_ReadNumber(path, "V", &n), 87) << path;
    EXPECT_EQ(vlZTREG_WriteNumber(path, "V", 1), 87) << path;
    EXPECT_EQ(vlZTREG_CreateKey(path), 0) << path;
  }
  HKEY key;
  EXPECT_EQ(vlZTREG_OpenKey("HKCU\\X", kRegReadValues, &key), 87);
  EXPECT_EQ(key, nullptr);
}

TEST_F(RegLibTest, OpenKeyOperations) {
  EXPECT_EQ(vlZTREG_CreateKey(kKey + "\\LOGS\\Log1"), 1);
  HKEY key;
  ASSERT_EQ(vlZTREG_OpenKey(kKey + "\\LOGS\\Log1", kRegWriteValues | kRegReadValues, &key), 0);
  EXPECT_EQ(vlZTREG_KeyWriteString(key, "Name", "Disk full"), 0);
  EXPECT_EQ(vlZTREG_KeyWriteNumber(key, "LogType", 2), 0);
  EXPECT_EQ(vlZTREG_KeyWriteFlag(key, "Enabled", 1), 0);
  std::string name;
  int32_t type = 0, enabled = 0;
  EXPECT_EQ(vlZTREG_KeyReadString(key, "name", name, 5), 0);
  EXPECT_EQ(name, "Disk");
  EXPECT_EQ(vlZTREG_KeyReadNumber(key, "LOGTYPE", &type), 0);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(vlZTREG_KeyReadFlag(key, "Enabled", &enabled), 0);
  EXPECT_EQ(enabled, 1);
  EXPECT_NE(vlZTREG_DeleteValue(key, "Enabled"), 0);
  EXPECT_EQ(vlZTREG_DeleteValue(key, "Enabled"), 0);
  EXPECT_NE(vlZTREG_KeyReadFlag(key, "Enabled", &enabled), 0);
  vlZTREG_CloseKey(key);

  HKEY readOnly;
  ASSERT_EQ(vlZTREG_OpenKey(kKey + "\\LOGS\\Log1", kRegReadEnumerate, &readOnly), 0);
  EXPECT_NE(vlZTREG_KeyWriteNumber(readOnly, "LogType", 3), 0);
  vlZTREG_CloseKey(readOnly);

  EXPECT_EQ(vlZTREG_DeleteSubKey(kKey, "LOGS", 0), 0);
  EXPECT_NE(vlZTREG_OpenKey(kKey + "\\LOGS\\Log1", kRegReadValues, &key), 0);
  EXPECT_EQ(vlZTREG_DeleteSubKey(kKey, "LOGS", 0), 0) << "already gone counts as done";
}

TEST_F(RegLibTest, ConnectSwitchesEveryLaterCallToTheOtherComputer) {
  std::string other = path("server2");
  ASSERT_TRUE(platform::MakeDirectories(other));
  testing::WriteFile(platform::JoinPath(root(), "computers"), "SERVER2=" + other + "\n");
  ASSERT_EQ(vlZTREG_WriteString(kKey, "Where", "local"), 0);
  EXPECT_EQ(vlZTREG_RemoteRoot(), nullptr);

  EXPECT_NE(vlZTREG_Connect("NOSUCH"), 0);
  EXPECT_EQ(vlZTREG_RemoteRoot(), nullptr) << "a failed connect keeps the previous target";

  ASSERT_EQ(vlZTREG_Connect("\\\\Server2"), 0);
  EXPECT_NE(vlZTREG_RemoteRoot(), nullptr);
  std::string where;
  EXPECT_NE(vlZTREG_ReadString(kKey, "Where", where, 260), 0);
  ASSERT_EQ(vlZTREG_WriteString(kKey, "Where", "remote"), 0);

  ASSERT_EQ(vlZTREG_Connect(""), 0);
  EXPECT_EQ(vlZTREG_RemoteRoot(), nullptr);
  EXPECT_EQ(vlZTREG_ReadString(kKey, "Where", where, 260), 0);
  EXPECT_EQ(where, "local");
}

}  // namespace
}  // namespace vlzt
