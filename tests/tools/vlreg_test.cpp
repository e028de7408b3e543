// vlreg: commands, .reg export and import, refusals.
#include <unistd.h>

#include "platform/machine_root.h"
#include "platform/registry.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;
using testing::ReadFile;
using testing::RunCommand;
using testing::WriteFile;

class VlregTest : public testing::TestRoot {
 protected:
  int Vlreg(const std::string& args, std::string* out = nullptr, const std::string& rootDir = "") {
    std::string env = rootDir.empty() ? "" : "VLZT_ROOT='" + rootDir + "' ";
    return RunCommand(env + testing::BinPath("vlreg") + " " + args + " </dev/null", out);
  }
};

TEST_F(VlregTest, ExportImportRoundTripOfEveryValueType) {
  const std::string key = "Software\\Orvane\\RoundTrip";
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "Text", REG_SZ, RegStringData("C:\\path \"quoted\"")), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "", REG_SZ, RegStringData("default")), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "Lines", REG_SZ, RegStringData("one\r\ntwo")), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "Expand", REG_EXPAND_SZ, RegStringData("%HOME%\\logs")), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "Number", REG_DWORD, RegDwordData(4294967295u)), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "Bytes", REG_BINARY, std::string(100, '\xAB')), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "None", REG_BINARY, ""), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key, "List", REG_MULTI_SZ, RegMultiData({"a b", "\xE9t\xE9"})), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, key + "\\Child\\Grandchild", "N", REG_DWORD, RegDwordData(1)), 0);

  std::string first = path("first.reg"), second = path("second.reg"), out;
  ASSERT_EQ(Vlreg("export 'HKLM\\" + key + "' " + first, &out), 0) << out;
  std::string other = path("other-root");
  ASSERT_EQ(Vlreg("import " + first, &out, other), 0) << out;
  ASSERT_EQ(Vlreg("export 'HKEY_LOCAL_MACHINE\\" + key + "' " + second, &out, other), 0) << out;
  EXPECT_EQ(ReadFile(first), ReadFile(second));
  EXPECT_EQ(ReadFile(first).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);

  ASSERT_EQ(Vlreg("query 'HKLM\\" + key + "' /v lines", &out, other), 0);
  EXPECT_NE(out.find("Lines    REG_SZ    one\r\ntwo"), std::string::npos) << out;
  ASSERT_EQ(Vlreg("query 'HKLM\\" + key + "' /s", &out, other), 0);
  EXPECT_NE(out.find("HKEY_LOCAL_MACHINE\\" + key + "\\Child\\Grandchild\n    N    REG_DWORD    0x1"),
            std::string::npos) << out;
}

TEST_F(VlregTest, ImportUnderstandsOlderFormsAndDeletions) {
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Old\\Gone", "V", REG_DWORD, RegDwordData(1)), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Old", "Drop", REG_DWORD, RegDwordData(1)), 0);
  WriteFile(path("old.reg"),
            "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Old\\Gone]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"Drop\"=-\r\n; a comment\r\n"
            "\"Exp\"=hex(2):41,42,00\r\n\"Bin\"=hex:01,02,\\\r\n  03\r\n@=\"dflt\"\r\n");
  std::string out;
  ASSERT_EQ(Vlreg("import " + path("old.reg"), &out), 0) << out;
  HKEY key;
  EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Software\\Old\\Gone", KEY_READ, &key), 2);
  RegValue v;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Old", "Drop", &v), 2);
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Old", "Exp", &v), 0);
  EXPECT_EQ(v.type, static_cast<uint32_t>(REG_EXPAND_SZ));
  EXPECT_EQ(v.data, std::string("AB\0", 3)) << "REGEDIT4 keeps text bytes as they are";
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Old", "Bin", &v), 0);
  EXPECT_EQ(v.data, "\x01\x02\x03");
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Old", "", &v), 0);
  EXPECT_EQ(RegDataString(v.data), "dflt");

  // The same in UTF-16 with its byte order mark, as other editors save it.
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\Software\\Wide]\r\n\"W\"=\"wide\"\r\n";
  std::string wide = "\xFF\xFE";
  for (char c : text) wide += std::string{c, '\0'};
  WriteFile(path("wide.reg"), wide);
  ASSERT_EQ(Vlreg("import " + path("wide.reg"), &out), 0) << out;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Wide", "W", &v), 0);
  EXPECT_EQ(RegDataString(v.data), "wide");
}

TEST_F(VlregTest, MalformedFilesImportNothingAndNameTheLine) {
  struct Case {
    const char* body;
    const char* line;
  } cases[] = {
      {"Windows Registry Editor Version 5.00\n\n[HKLM\\Software\\Bad]\n\"A\"=dword:1\n\"B\"=dword:xyz\n", ":5:"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\Bad]\n\"A\"=\"unterminated\n", ":3:"},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Bad]\n", ":2:"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\Bad]\n\"A\"=hex:1g\n", ":3:"},
      {"Windows Registry Editor Version 5.00\n\"A\"=\"no key\"\n", ":2:"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\\\Bad]\n", ":2:"},
      {"not a registry file\n", ":1:"},
  };
  for (const Case& c : cases) {
    std::string file = path("bad.reg"), out;
    WriteFile(file, c.body);
    EXPECT_EQ(Vlreg("import " + file, &out), 1) << c.body;
    EXPECT_NE(out.find(file + c.line), std::string::npos) << out;
    EXPECT_NE(out.find("nothing was imported"), std::string::npos) << out;
    HKEY key;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Software\\Bad", KEY_READ, &key), 2) << c.body;
  }
}

TEST_F(VlregTest, CommandsAndTheirRefusals) {
  std::string out;
  EXPECT_EQ(Vlreg("--help", &out), 0);
  EXPECT_NE(out.find("Usage:"), std::string::npos);
  EXPECT_EQ(Vlreg("add 'HKLM\\Software\\Cmd' /v Level /t REG_DWORD /d 5 /f", &out), 0) << out;
  EXPECT_EQ(Vlreg("add 'HKLM\\Software\\Cmd' /v Level /t REG_DWORD /d 6", &out), 1)
      << "an existing value is not replaced without /f when nobody answers";
  RegValue v;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Cmd", "Level", &v), 0);
  EXPECT_EQ(RegDataDword(v.data), 5u);

  struct Refused {
    const char* args;
    const char* says;
  } refused[] = {
      {"add 'HKCU\\Software\\X' /v A /d 1 /f", "Invalid key name"},
      {"add 'HKLM\\Software\\\\X' /v A /d 1 /f", "Invalid key name"},
      {"add '' /v A /d 1 /f", "Invalid key name"},
      {"add 'HKLM\\Software\\X' /v A /t REG_DWORD /d 4294967296 /f", "Invalid REG_DWORD"},
      {"add 'HKLM\\Software\\X' /v A /t REG_BINARY /d 0g /f", "Invalid REG_BINARY"},
      {"add 'HKLM\\Software\\X' /v A /t REG_QWORD /d 1 /f", "Invalid type"},
      {"add 'HKLM\\Software\\X' /v", "needs an argument"},
      {"query 'HKLM\\Software\\Nothing'", "unable to find"},
      {"delete 'HKLM\\Software\\Nothing' /f", "unable to find"},
      {"frobnicate", "Unknown command"},
  };
  for (const Refused& r : refused) {
    EXPECT_EQ(Vlreg(r.args, &out), 1) << r.args;
    EXPECT_NE(out.find(r.says), std::string::npos) << r.args << " -> " << out;
  }

  EXPECT_EQ(Vlreg("delete 'HKLM\\Software\\Cmd' /v level /f", &out), 0) << out;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Cmd", "Level", &v), 2);
  EXPECT_EQ(Vlreg("delete 'HKLM\\Software\\Cmd'", &out), 1) << "no answer, no deletion";
  EXPECT_EQ(Vlreg("delete 'HKLM\\Software\\Cmd' /f", &out), 0) << out;
  HKEY key;
  EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Software\\Cmd", KEY_READ, &key), 2);
}

}  // namespace
}  // namespace vlzt
