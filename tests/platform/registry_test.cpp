// Registry store: types, names, order, deletion, handles, other computers, locking.
#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include "platform/machine_root.h"
#include "tests/testing/test_root.h"

namespace vlzt::platform {
namespace {

class RegistryTest : public testing::TestRoot {
 protected:
  std::vector<std::string> SubKeys(const std::string& path) {
    HKEY key;
    std::vector<std::string> names;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key), 0);
    EXPECT_EQ(RegEnumKeys(key, &names), 0);
    RegCloseKey(key);
    return names;
  }
  std::vector<std::string> ValueNames(const std::string& path) {
    HKEY key;
    std::vector<RegValue> values;
    EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key), 0);
    EXPECT_EQ(RegEnumValues(key, &values), 0);
    RegCloseKey(key);
    std::vector<std::string> names;
    for (auto& v : values) names.push_back(v.name);
    return names;
  }
};

TEST_F(RegistryTest, NewRootHasStandardKeys) {
  HKEY key;
  for (const char* path : {"SOFTWARE", "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
                           "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System",
                           "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security"}) {
    ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key), 0) << path;
    RegCloseKey(key);
  }
  RegValue v;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "SYSTEM\\Platform", "RebootCommand", &v), 0);
  EXPECT_EQ(RegDataString(v.data), "/sbin/reboot");
}

TEST_F(RegistryTest, EveryTypeRoundTripsWithCaseInsensitiveNames) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string data;
  } cases[] = {
      {"Text", REG_SZ, RegStringData("hello world")},
      {"Expand", REG_EXPAND_SZ, RegStringData("%HOME%\\x")},
      {"Bytes", REG_BINARY, std::string("\x00\x01\xff", 3)},
      {"Empty", REG_BINARY, ""},
      {"Number", REG_DWORD, RegDwordData(0xDEADBEEF)},
      {"List", REG_MULTI_SZ, RegMultiData({"one", "two"})},
      {"", REG_SZ, RegStringData("default value")},
  };
  for (const Case& c : cases)
    ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Test\\Deep", c.name, c.type, c.data), 0);
  for (const Case& c : cases) {
    std::string upper = c.name;
    for (char& ch : upper) ch = static_cast<char>(toupper(ch));
    RegValue v;
    ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\TEST\\deep", upper, &v), 0) << c.name;
    EXPECT_EQ(v.name, c.name) << "the stored spelling is kept";
    EXPECT_EQ(v.type, c.type);
    EXPECT_EQ(v.data, c.data);
  }
  EXPECT_EQ(RegDataDword(RegDwordData(0xDEADBEEF)), 0xDEADBEEFu);
  EXPECT_EQ(RegDataMulti(RegMultiData({"one", "two"})), (std::vector<std::string>{"one", "two"}));
  RegValue v;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Test\\Deep", "Missing", &v), 2);
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Nowhere", "Text", &v), 2);
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrderAndReplacingKeepsThePlace) {
  for (const char* name : {"Zeta", "alpha", "Mid"})
    ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, std::string("Software\\Order\\") + name, "V", REG_SZ,
                          RegStringData("x")), 0);
  for (const char* name : {"b", "A", "c"})
    ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Order", name, REG_DWORD, RegDwordData(1)), 0);
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Order", "B", REG_SZ, RegStringData("new")), 0);
  EXPECT_EQ(SubKeys("Software\\Order"), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
  EXPECT_EQ(ValueNames("Software\\Order"), (std::vector<std::string>{"b", "A", "c"}));
  RegValue v;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Order", "b", &v), 0);
  EXPECT_EQ(v.type, static_cast<uint32_t>(REG_SZ));
}

TEST_F(RegistryTest, DeleteTreeTakesOnlyTheSubtree) {
  for (const char* path : {"Software\\T\\ab", "Software\\T\\ab\\x\\y", "Software\\T\\abc", "Software\\T\\ab]"})
    ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, path, "V", REG_DWORD, RegDwordData(7)), 0);
  ASSERT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\t\\AB"), 0);
  EXPECT_EQ(SubKeys("Software\\T"), (std::vector<std::string>{"abc", "ab]"}));
  RegValue v;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\T\\ab\\x\\y", "V", &v), 2);
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\T\\abc", "V", &v), 0);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\T\\ab"), 2);
}

TEST_F(RegistryTest, HandlesOfDeletedKeysAndAccessRights) {
  HKEY key, readOnly;
  ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\H", KEY_ALL_ACCESS, &key), 0);
  ASSERT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "software\\h", KEY_READ, &readOnly), 0);
  EXPECT_EQ(RegSetValue(readOnly, "V", REG_DWORD, RegDwordData(1)), 5);
  EXPECT_EQ(RegSetValue(key, "V", REG_DWORD, RegDwordData(1)), 0);
  EXPECT_EQ(RegQueryValue(readOnly, "v", nullptr), 0);
  EXPECT_EQ(RegDeleteValue(key, "V"), 0);
  EXPECT_EQ(RegDeleteValue(key, "V"), 2);

  ASSERT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\H"), 0);
  HKEY again;
  ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\H", KEY_ALL_ACCESS, &again), 0);
  ASSERT_EQ(RegSetValue(again, "New", REG_DWORD, RegDwordData(2)), 0);
  // The old handle names the deleted key, not the new one of the same name.
  EXPECT_EQ(RegSetValue(key, "V", REG_DWORD, RegDwordData(1)), 1018);
  EXPECT_EQ(RegQueryValue(key, "New", nullptr), 1018);
  std::vector<std::string> names;
  EXPECT_EQ(RegEnumKeys(key, &names), 1018);
  for (HKEY k : {key, readOnly, again}) RegCloseKey(k);
}

TEST_F(RegistryTest, MalformedPathsAreRefused) {
  HKEY key;
  for (const char* path : {"\\Software", "Software\\\\X", "\\", "Software\\X\\\\"}) {
    EXPECT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key), 87) << path;
    EXPECT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, path, "V", REG_SZ, RegStringData("x")), 87) << path;
  }
  EXPECT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\" + std::string(256, 'k'), "V", REG_SZ, ""), 87);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, ""), 87);
  std::vector<std::string> names;
  EXPECT_TRUE(SplitKeyPath("A\\B\\", names));
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
}

TEST_F(RegistryTest, TransactionRollsBackWhenTheBodyFails) {
  long rc = RegTransaction(HKEY_LOCAL_MACHINE, [] {
    RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Tx", "A", REG_DWORD, RegDwordData(1));
    return 87L;
  });
  EXPECT_EQ(rc, 87);
  HKEY key;
  EXPECT_EQ(RegOpenKey(HKEY_LOCAL_MACHINE, "Software\\Tx", KEY_READ, &key), 2);
}

TEST_F(RegistryTest, AnsweredCallsInsideATransactionDoNotSpoilIt) {
  long rc = RegTransaction(HKEY_LOCAL_MACHINE, [] {
    EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\Never"), 2);
    return RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Tx", "A", REG_DWORD, RegDwordData(1));
  });
  EXPECT_EQ(rc, 0);
  RegValue v;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Tx", "A", &v), 0);
}

TEST_F(RegistryTest, OtherComputersThroughTheComputerMap) {
  std::string other = path("other-root");
  ASSERT_TRUE(MakeDirectories(other));
  testing::WriteFile(JoinPath(root(), "computers"), "# map\nBETA = " + other + "\n");
  HKEY remote;
  ASSERT_EQ(RegConnectRegistry("\\\\beta", &remote), 0);
  ASSERT_EQ(RegPutValue(remote, "Software\\R", "Where", REG_SZ, RegStringData("beta")), 0);
  RegValue v;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\R", "Where", &v), 2);
  EXPECT_EQ(RegGetValue(remote, "Software\\R", "Where", &v), 0);
  RegCloseKey(remote);
  EXPECT_EQ(RegConnectRegistry("GAMMA", &remote), 53);
  EXPECT_EQ(remote, nullptr);
}

TEST_F(RegistryTest, WriterWaitsForAnotherProcessHoldingTheDatabase) {
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Busy", "V", REG_DWORD, RegDwordData(1)), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    sqlite3* db;
    sqlite3_open(JoinPath(root(), "registry.db").c_str(), &db);
    sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    (void)!write(ready[1], "x", 1);
    usleep(700 * 1000);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  // Blocked by the other process for a while, then done: no error, nothing lost.
  EXPECT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\Busy", "V", REG_DWORD, RegDwordData(2)), 0);
  RegValue v;
  EXPECT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\Busy", "V", &v), 0);
  EXPECT_EQ(RegDataDword(v.data), 2u);
  int status;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
}

TEST_F(RegistryTest, TwoProcessesIncrementingUnderTheirLockLoseNoUpdate) {
  constexpr int kRounds = 150;
  std::string lockFile = path("counter.lock");
  ASSERT_EQ(RegPutValue(HKEY_LOCAL_MACHINE, "Software\\C", "N", REG_DWORD, RegDwordData(0)), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t child = fork();
    if (child == 0) {
      int fd = open(lockFile.c_str(), O_RDWR | O_CREAT, 0644);
      for (int i = 0; i < kRounds; ++i) {
        flock(fd, LOCK_EX);
        RegValue v;
        if (RegGetValue(HKEY_LOCAL_MACHINE, "Software\\C", "N", &v) != 0) _exit(2);
        if (RegPutValue(HKEY_LOCAL_MACHINE, "Software\\C", "N", REG_DWORD,
                        RegDwordData(RegDataDword(v.data) + 1)) != 0)
          _exit(3);
        flock(fd, LOCK_UN);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t c : children) {
    int status;
    waitpid(c, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegValue v;
  ASSERT_EQ(RegGetValue(HKEY_LOCAL_MACHINE, "Software\\C", "N", &v), 0);
  EXPECT_EQ(RegDataDword(v.data), 2u * kRounds);
}

}  // namespace
}  // namespace vlzt::platform
