// platform/thread.h
// Worker threads that can be asked whether they still run, waited for with a limit, and
// abandoned: a thread that will not end is left to end with the process.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace vlzt::platform {

class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  // Runs `body` on a new thread; false (errno set) when no thread could be made.
  bool Start(std::function<void()> body);
  // True from a successful Start until `body` has returned.
  bool Running() const;
  // Waits at most `milliseconds` for the end; true when the thread has ended.
  bool Wait(uint32_t milliseconds) const;
  // Gives the thread up: it is no longer joined and ends with the process.
  void Abandon();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vlzt::platform
