// tests/testing/test_root.h
// Test fixture: every test gets a machine root and a scratch folder of its own, removed after.
#pragma once
#include <gtest/gtest.h>

#include <string>

namespace vlzt::testing {

class TestRoot : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The machine root ($VLZT_ROOT points here during the test).
  const std::string& root() const { return root_; }
  // A scratch folder outside the root.
  const std::string& scratch() const { return scratch_; }
  // `name` inside the scratch folder.
  std::string path(const std::string& name) const { return scratch_ + "/" + name; }

 private:
  std::string base_;
  std::string root_;
  std::string scratch_;
};

// Whole contents of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Replaces a file's contents; fails the test when it cannot be written.
void WriteFile(const std::string& path, const std::string& contents);

// Runs a shell command line with VLZT_ROOT set as now; returns its exit status and fills
// `output` with what it wrote to standard output and standard error.
int RunCommand(const std::string& commandLine, std::string* output = nullptr);

// Path of a program built into the bin folder of this build tree.
std::string BinPath(const std::string& program);

}  // namespace vlzt::testing
