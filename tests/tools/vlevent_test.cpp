// vlevent: writing and querying events, sources with their own message files, logs, errors.
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using namespace platform;
using testing::RunCommand;
using testing::WriteFile;

class VleventTest : public testing::TestRoot {
 protected:
  int Vlevent(const std::string& args, std::string* out = nullptr) {
    std::string ignored;
    return RunCommand(testing::BinPath("vlevent") + " " + args + " </dev/null", out ? out : &ignored);
  }
  // The event IDs in the order a query printed them.
  static std::vector<std::string> Ids(const std::string& out) {
    std::vector<std::string> ids;
    for (size_t at = out.find("Event ID: "); at != std::string::npos; at = out.find("Event ID: ", at + 1))
      ids.push_back(out.substr(at + 10, out.find('\n', at) - at - 10));
    return ids;
  }
};

TEST_F(VleventTest, WriteRegistersTheSourceAndQueryShowsTheMessage) {
  std::string out;
  ASSERT_EQ(Vlevent("write /l application /So BackupJob /iD 0x64 /t Warning /c 3 /D 'Disk is full' /a second", &out), 0)
      << out;
  EXPECT_NE(out.find("SUCCESS: An event of type 'WARNING' was written to the 'Application' log with 'BackupJob' "
                     "as the source."),
            std::string::npos)
      << out;
  RegValue v;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, std::string(kEventLogKey) + "\\Application\\BackupJob",
                        "EventMessageFile", &v), 0);
  EXPECT_EQ(RegDataString(v.data), root() + "/eventlog/Generic.msg");

  ASSERT_EQ(Vlevent("WRITE /L Application /SO BackupJob /ID 4294967295 /T successaudit /D ok", &out), 0) << out;
  ASSERT_EQ(Vlevent("query APPLICATION", &out), 0) << out;
  EXPECT_NE(out.find("Event[0]:\n  Log Name: Application\n  Source: BackupJob\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  Event ID: 100\n  Category: 3\n  Level: Warning\n  Record Number: 1\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("  Description:\nDisk is full\n\nEvent[1]:"), std::string::npos) << out;
  EXPECT_NE(out.find("  Event ID: 65535\n  Qualifiers: 65535\n  Category: 0\n  Level: Audit Success\n"),
            std::string::npos)
      << out;
}

TEST_F(VleventTest, QueryCountAndDirection) {
  for (int id = 1; id <= 5; ++id)
    ASSERT_EQ(Vlevent("write /L System /SO Counter /ID " + std::to_string(id) + " /T INFORMATION /D n"), 0);
  std::string out;
  ASSERT_EQ(Vlevent("query system", &out), 0);
  EXPECT_EQ(Ids(out), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  ASSERT_EQ(Vlevent("query System /c:2", &out), 0);
  EXPECT_EQ(Ids(out), (std::vector<std::string>{"1", "2"}));
  ASSERT_EQ(Vlevent("query System /RD:TRUE /C:2", &out), 0);
  EXPECT_EQ(Ids(out), (std::vector<std::string>{"5", "4"}));
  ASSERT_EQ(Vlevent("query System /rd:true", &out), 0);
  EXPECT_EQ(Ids(out), (std::vector<std::string>{"5", "4", "3", "2", "1"}));
  EXPECT_NE(out.find("Event[0]:\n  Log Name: System\n  Source: Counter\n"), std::string::npos) << out;
  ASSERT_EQ(Vlevent("query Security", &out), 0);
  EXPECT_EQ(out, "");
}

TEST_F(VleventTest, SourceWithItsOwnMessageAndParameterFiles) {
  WriteFile(path("svc.msg"), "MessageId=7036\nThe %1 service entered the %2 state.%0\n.\n");
  WriteFile(path("params.msg"), "MessageId=1\nrunning\n.\n");
  std::string out;
  ASSERT_EQ(Vlevent("source add System Control " + path("svc.msg") + " " + path("params.msg"), &out), 0) << out;
  EXPECT_NE(out.find("SUCCESS: The source 'Control' is registered under the log 'System'."), std::string::npos);
  ASSERT_EQ(Vlevent("write /L System /SO Control /ID 7036 /T INFORMATION /D Spooler /A %%1"), 0);
  ASSERT_EQ(Vlevent("write /L System /SO Control /ID 9 /T ERROR /D alpha /A beta"), 0);
  ASSERT_EQ(Vlevent("query System", &out), 0);
  EXPECT_NE(out.find("Description:\nThe Spooler service entered the running state.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("The description for Event ID 9 from source Control cannot be found: no message file has it "
                     "(last tried: " + path("svc.msg") + "). The event holds these strings: alpha, beta"),
            std::string::npos)
      << out;

  // A source can live under one log only; a file that cannot be used is registered with a
  // warning.
  EXPECT_EQ(Vlevent("source add Application Control " + path("svc.msg"), &out), 1);
  EXPECT_NE(out.find("ERROR: The source 'Control' is registered under the log 'System'."), std::string::npos) << out;
  EXPECT_EQ(Vlevent("write /L Application /SO control /ID 1 /T ERROR /D x", &out), 1);
  EXPECT_NE(out.find("registered under the log 'System', not 'Application'"), std::string::npos) << out;
  WriteFile(path("broken.msg"), "MessageId=1\nno end\n");
  ASSERT_EQ(Vlevent("source add Application Other " + path("broken.msg"), &out), 0);
  EXPECT_NE(out.find("WARNING: The message file '" + path("broken.msg") + "' cannot be used: line 1:"),
            std::string::npos)
      << out;

  ASSERT_EQ(Vlevent("source delete system CONTROL", &out), 0) << out;
  ASSERT_EQ(Vlevent("query System /c:1", &out), 0);
  EXPECT_NE(out.find("the source names no message file under this log. The event holds these strings: Spooler, %%1"),
            std::string::npos)
      << out;
  EXPECT_EQ(Vlevent("source delete System Control", &out), 1);
  EXPECT_NE(out.find("ERROR: The source 'Control' is not registered under the log 'System'."), std::string::npos);
}

TEST_F(VleventTest, LogsAreAddedClearedAndDeleted) {
  std::string out;
  ASSERT_EQ(Vlevent("log add Operations", &out), 0) << out;
  EXPECT_EQ(Vlevent("log add OPERATIONS", &out), 1);
  EXPECT_NE(out.find("ERROR: The log 'OPERATIONS' already exists."), std::string::npos) << out;
  EXPECT_EQ(Vlevent("log add ../up", &out), 1);
  EXPECT_NE(out.find("ERROR: Invalid log name '../up'."), std::string::npos) << out;
  ASSERT_EQ(Vlevent("write /L operations /SO Ops /ID 1 /T ERROR /D one /N 3", &out), 0);
  EXPECT_NE(out.find("SUCCESS: 3 events of type 'ERROR' were written to the 'Operations' log"), std::string::npos);
  ASSERT_EQ(Vlevent("query Operations", &out), 0);
  EXPECT_EQ(Ids(out).size(), 3u);
  ASSERT_EQ(Vlevent("clear operations", &out), 0);
  EXPECT_NE(out.find("SUCCESS: The log 'Operations' was cleared."), std::string::npos);
  ASSERT_EQ(Vlevent("query Operations", &out), 0);
  EXPECT_EQ(out, "");
  ASSERT_EQ(Vlevent("log delete Operations", &out), 0);
  EXPECT_EQ(Vlevent("query Operations", &out), 1);
  EXPECT_NE(out.find("ERROR: The log 'Operations' does not exist."), std::string::npos);
  EXPECT_EQ(Vlevent("log delete Application", &out), 1);
  EXPECT_NE(out.find("ERROR: The standard log 'Application' cannot be deleted."), std::string::npos);
}

TEST_F(VleventTest, HelpAndErrors) {
  std::string out;
  EXPECT_EQ(Vlevent("--help", &out), 0);
  EXPECT_EQ(out.rfind("Usage:\n  vlevent write /L LOG /SO SOURCE /ID N /T TYPE", 0), 0u) << out;
  EXPECT_EQ(Vlevent("", &out), 1);
  EXPECT_NE(out.find("Usage:"), std::string::npos);

  const std::string write = "write /L Application /SO S ";
  struct Case {
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"frobnicate", "ERROR: Unknown command 'frobnicate'."},
      {write + "/ID 1 /T ERROR", "ERROR: The option /D is required."},
      {"write /SO S /ID 1 /T ERROR /D x", "ERROR: The option /L is required."},
      {write + "/ID 1 /T FATAL /D x", "ERROR: Invalid event type 'FATAL'"},
      {write + "/ID 12x /T ERROR /D x", "ERROR: Invalid event identifier '12x'"},
      {write + "/ID 4294967296 /T ERROR /D x", "ERROR: Invalid event identifier '4294967296'"},
      {write + "/ID 1 /T ERROR /C 70000 /D x", "ERROR: Invalid category '70000'"},
      {write + "/ID 1 /T ERROR /D x /N 0", "ERROR: Invalid count '0'"},
      {write + "/ID 1 /T ERROR /D x /Q y", "ERROR: Invalid option '/Q'."},
      {write + "/ID 1 /T ERROR /D x /l System", "ERROR: Option /l is given twice."},
      {write + "/ID 1 /T ERROR /D", "ERROR: Option /D needs a value."},
      {write + "stray /ID 1 /T ERROR /D x", "ERROR: Invalid argument 'stray'."},
      {"write /L Nowhere /SO S /ID 1 /T ERROR /D x", "ERROR: The log 'Nowhere' does not exist."},
      {"write /L Application /SO a/b /ID 1 /T ERROR /D x", "ERROR: Invalid source name 'a/b'."},
      {"query", "ERROR: The log to query is missing."},
      {"query Application /c:0", "ERROR: Invalid count '0' in /c:0"},
      {"query Application /rd:maybe", "ERROR: Invalid value 'maybe' in /rd:maybe"},
      {"query Application System", "ERROR: Invalid argument 'System'."},
      {"clear", "ERROR: Usage: vlevent clear LOG"},
      {"clear Nowhere", "ERROR: The log 'Nowhere' does not exist."},
      {"source add Application", "ERROR: Usage: vlevent source add"},
      {"source add Nowhere S /x.msg", "ERROR: The log 'Nowhere' does not exist."},
      {"log", "ERROR: Usage: vlevent log add NAME"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Vlevent(c.args, &out), 1) << c.args;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
  }
  // Nothing of the refused writes reached the log.
  ASSERT_EQ(Vlevent("query Application", &out), 0);
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace vlzt
