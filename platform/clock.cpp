// platform/clock.cpp
#include "platform/clock.h"

#include <atomic>


namespace vlzt::platform {
namespace {

// Read on every alert from many threads, so plain atomics rather than a lock.
std::atomic<bool> g_fixed{false};
std::atomic<int64_t> g_fixedTime{0};
std::atomic<int64_t> g_offset{0};

}  // namespace

int64_t CurrentTime() {
  if (g_fixed.load()) return g_fixedTime.load();
  return static_cast<int64_t>(std::time(nullptr)) + g_offset.load();
}

std::tm LocalTime(int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm out{};
  localtime_r(&tt, &out);
  return out;
}

int64_t CalendarTime(const std::tm& local) {
  std::tm copy = local;
  copy.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&copy));
}


void SetClockFixed(int64_t t) {
  g_fixedTime.store(t);
  g_fixed.store(true);
}

void SetClockOffset(int64_t seconds) {
  g_fixed.store(false);
  g_offset.store(seconds);
}

void ResetClock() {
  g_fixed.store(false);
  g_offset.store(0);
}

}  // namespace vlzt::platform
