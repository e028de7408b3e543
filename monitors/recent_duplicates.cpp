// monitors/recent_duplicates.cpp
#include "monitors/recent_duplicates.h"

#include <string_view>

#include "platform/system.h"

namespace vlzt {

RecentDuplicates::RecentDuplicates(std::function<uint32_t()> ticks)
    : ticks_(ticks ? std::move(ticks) : std::function<uint32_t()>(platform::GetTickCount)) {}

int RecentDuplicates::IsRecentDuplicate(const std::string& name, const std::string& text) {
  std::string_view n = std::string_view(name).substr(0, kNameLimit);
  std::string_view t = std::string_view(text).substr(0, kTextLimit);
  uint32_t now = ticks_();
  for (const Entry& e : ring_) {
    if (!e.filled) continue;
    // Signed difference, so the 49-day wrap of the tick count does no harm.
    int32_t age = static_cast<int32_t>(now - e.tick);
    if (age < kWindowMs && n.substr(0, e.name.size()) == e.name && t.substr(0, e.text.size()) == e.text)
      return 1;
  }
  Entry& slot = ring_[next_];
  slot.name.assign(n);
  slot.text.assign(t);
  slot.tick = now;
  slot.filled = true;
  next_ = (next_ + 1) % kEntries;
  return 0;
}

}  // namespace vlzt
