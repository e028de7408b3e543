// platform/thread.cpp
#include "platform/thread.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace vlzt::platform {

struct Thread::State {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread thread;
};

Thread::~Thread() {
  if (!state_) return;
  if (state_->thread.joinable()) {
    if (Running()) state_->thread.detach();
    else state_->thread.join();
  }
}

bool Thread::Start(std::function<void()> body) {
  auto state = std::make_shared<State>();
  try {
    state->thread = std::thread([state, body = std::move(body)] {
      body();
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done = true;
      state->ended.notify_all();
    });
  } catch (const std::system_error& e) {
    errno = e.code().value();
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool Thread::Running() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return !state_->done;
}

bool Thread::Wait(uint32_t milliseconds) const {
  if (!state_) return true;
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                [this] { return state_->done; });
}

void Thread::Abandon() {
  if (state_ && state_->thread.joinable()) state_->thread.detach();
}

}  // namespace vlzt::platform
