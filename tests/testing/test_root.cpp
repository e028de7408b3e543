// tests/testing/test_root.cpp
#include "tests/testing/test_root.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt::testing {

void TestRoot::SetUp() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vlzt-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  ASSERT_NE(mkdtemp(buf.data()), nullptr);
  base_ = buf.data();
  root_ = base_ + "/root";
  scratch_ = base_ + "/scratch";
  std::filesystem::create_directories(scratch_);
  setenv("VLZT_ROOT", root_.c_str(), 1);
  vlZTREG_Connect("");
  vlZTLog_SetLevel(5);
  vlZTLog_SetFile(kDefaultLogFile);
}

void TestRoot::TearDown() {
  vlZTREG_Connect("");
  std::error_code ec;
  if (!HasFailure() || std::getenv("VLZT_KEEP_TEST_ROOT") == nullptr)
    std::filesystem::remove_all(base_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

int RunCommand(const std::string& commandLine, std::string* output) {
  FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) text.append(chunk.data(), n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BinPath(const std::string& program) { return std::string(VLZT_BIN_DIR) + "/" + program; }

}  // namespace vlzt::testing
