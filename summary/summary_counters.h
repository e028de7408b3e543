// summary/summary_counters.h
// The alert counts of the daily summary: raised by the alerting code, read and cleared by
// the summary thread.
#pragma once
#include <cstdint>

namespace vlzt {

// The four counters, one per alert category.
struct SummaryCounters {
  uint32_t Category1 = 0;      // internal errors of the alerting code
  uint32_t Category2And16 = 0; // configuration and internal errors of the service
  uint32_t Category4 = 0;      // the monitors' event-log and log-file alerts
  uint32_t Category8 = 0;
};

// Adds one to the counter of `category` (1, 2, 4, 8 or 16) under StatusLock; other
// categories are ignored.
void CountSummaryError(int32_t category);

// The counters now, read under StatusLock.
SummaryCounters ReadSummaryCounters();

// Sets every counter to 0 under StatusLock.
void ResetSummaryCounters();

}  // namespace vlzt
