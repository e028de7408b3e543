// platform/sync.cpp
#include "platform/sync.h"

#include <algorithm>
#include <chrono>

namespace vlzt::platform {

// A thread waiting on several events registers one of these with each.
struct ManualResetEvent::Waiter {
  std::mutex mutex;
  std::condition_variable wake;
  bool woken = false;
};

void ManualResetEvent::Set() {
  std::vector<std::shared_ptr<Waiter>> waiters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    waiters = waiters_;
  }
  changed_.notify_all();
  for (auto& w : waiters) {
    std::lock_guard<std::mutex> lock(w->mutex);
    w->woken = true;
    w->wake.notify_all();
  }
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool ManualResetEvent::Wait(uint32_t milliseconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (milliseconds == kInfinite) {
    changed_.wait(lock, [this] { return set_; });
    return true;
  }
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return set_; });
}

int WaitForAny(const std::vector<const ManualResetEvent*>& events, uint32_t milliseconds) {
  auto waiter = std::make_shared<ManualResetEvent::Waiter>();
  auto firstSet = [&]() -> int {
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i]->IsSet()) return static_cast<int>(i);
    return -1;
  };
  for (auto* e : events) {
    std::lock_guard<std::mutex> lock(e->mutex_);
    e->waiters_.push_back(waiter);
  }
  int result = firstSet();
  if (result < 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(waiter->mutex);
    while (result < 0) {
      if (milliseconds == kInfinite) {
        waiter->wake.wait(lock, [&] { return waiter->woken; });
      } else if (!waiter->wake.wait_until(lock, deadline, [&] { return waiter->woken; })) {
        lock.unlock();
        result = firstSet();
        break;
      }
      waiter->woken = false;
      lock.unlock();
      result = firstSet();
      lock.lock();
    }
  }
  for (auto* e : events) {
    std::lock_guard<std::mutex> lock(e->mutex_);
    auto& w = e->waiters_;
    w.erase(std::remove(w.begin(), w.end(), waiter), w.end());
  }
  return result < 0 ? kWaitTimeout : result;
}

}  // namespace vlzt::platform
