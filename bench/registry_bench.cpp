// Registry reads and writes per second through the registry library, on a private root.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/vlZTREG.h"

namespace {

constexpr const char* kKey = "Software\\Orvane\\Bench\\CurrentVersion";

template <typename F>
double PerSecond(int count, F&& op) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) op(i);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return count / took.count();
}

}  // namespace

int main() {
  char dir[] = "/tmp/vlzt-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("VLZT_ROOT", (std::string(dir) + "/root").c_str(), 1);
  if (vlzt::vlZTREG_WriteNumber(kKey, "StoredMsgNo", 0) != 0) {
    std::fprintf(stderr, "cannot write the registry\n");
    return 1;
  }
  int32_t n = 0;
  double reads = PerSecond(200000, [&](int) { vlzt::vlZTREG_ReadNumber(kKey, "StoredMsgNo", &n); });
  double writes = PerSecond(20000, [&](int i) { vlzt::vlZTREG_WriteNumber(kKey, "StoredMsgNo", i); });
  std::string text;
  double strings = PerSecond(200000, [&](int) { vlzt::vlZTREG_ReadString(kKey, "Missing", text, 260, "x"); });
  std::printf("registry DWORD read by key path:   %10.0f reads/s  (%.2f us each)\n", reads, 1e6 / reads);
  std::printf("registry DWORD write by key path:  %10.0f writes/s (%.2f us each)\n", writes, 1e6 / writes);
  std::printf("registry missing text with default:%10.0f reads/s  (%.2f us each)\n", strings, 1e6 / strings);
  std::filesystem::remove_all(dir);
  return 0;
}
