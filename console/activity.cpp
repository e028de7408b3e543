// console/activity.cpp
#include "console/activity.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace vlzt {
namespace {

// The mutex only guards swapping the pointers; it is never held while a sink runs.
std::mutex g_mutex;
std::shared_ptr<const ActivitySink> g_sink;
std::shared_ptr<const ConsoleEventPush> g_push;
std::atomic<bool> g_wanted{false};

}  // namespace

void SetActivitySink(ActivitySink sink) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_sink = sink ? std::make_shared<const ActivitySink>(std::move(sink)) : nullptr;
  g_wanted.store(g_sink != nullptr);
}

bool ActivityWanted() { return g_wanted.load(std::memory_order_relaxed); }

int PassActivityLine(int origin, const std::string& text) {
  std::shared_ptr<const ActivitySink> sink;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    sink = g_sink;
  }
  return sink ? (*sink)(origin, text) : 0;
}

void SetConsoleEventPush(ConsoleEventPush push) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_push = push ? std::make_shared<const ConsoleEventPush>(std::move(push)) : nullptr;
}

int PushConsoleEvent(const std::string& time, const std::string& title, const std::string& text) {
  std::shared_ptr<const ConsoleEventPush> push;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    push = g_push;
  }
  return push ? (*push)(time, title, text) : 0;
}

}  // namespace vlzt
