// platform/sync.h
// Manual-reset events and waiting for any of several of them.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vlzt::platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr int kWaitTimeout = 258;

// Stays set until Reset; every waiter wakes when it is set.
class ManualResetEvent {
 public:
  ManualResetEvent() = default;
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event is set within `milliseconds` (kInfinite: no limit).
  bool Wait(uint32_t milliseconds) const;

 private:
  friend int WaitForAny(const std::vector<const ManualResetEvent*>&, uint32_t);
  struct Waiter;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable std::vector<std::shared_ptr<Waiter>> waiters_;
  bool set_ = false;
};

// Index of the first set event of `events` (the lowest index wins when several are set),
// or kWaitTimeout when none was set within `milliseconds`.
int WaitForAny(const std::vector<const ManualResetEvent*>& events, uint32_t milliseconds);

}  // namespace vlzt::platform
