// summary/summary_counters.cpp
#include "summary/summary_counters.h"

#include <mutex>

#include "support/service_state.h"

namespace vlzt {
namespace {

SummaryCounters g_counters;  // guarded by StatusLock

}  // namespace

void CountSummaryError(int32_t category) {
  std::lock_guard<std::mutex> lock(ServiceState().StatusLock);
  switch (category) {
    case 1: ++g_counters.Category1; break;
    case 2:
    case 16: ++g_counters.Category2And16; break;
    case 4: ++g_counters.Category4; break;
    case 8: ++g_counters.Category8; break;
    default: break;
  }
}

SummaryCounters ReadSummaryCounters() {
  std::lock_guard<std::mutex> lock(ServiceState().StatusLock);
  return g_counters;
}

void ResetSummaryCounters() {
  std::lock_guard<std::mutex> lock(ServiceState().StatusLock);
  g_counters = SummaryCounters{};
}

}  // namespace vlzt
