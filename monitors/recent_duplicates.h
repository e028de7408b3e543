// monitors/recent_duplicates.h
// The ring that keeps a monitor from alerting twice on the same record text within 5
// seconds (a line logged twice, a record seen through two notifications).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace vlzt {

class RecentDuplicates {
 public:
  static constexpr size_t kEntries = 10;
  static constexpr int32_t kWindowMs = 5000;
  static constexpr size_t kNameLimit = 259;
  static constexpr size_t kTextLimit = 255;

  // `ticks` gives milliseconds (the platform tick count unless a test passes its own).
  explicit RecentDuplicates(std::function<uint32_t()> ticks = nullptr);

  // 1 when an entry stored less than 5000 ms ago has a name that is a prefix of `name`
  // (first 259 characters) and a text that is a prefix of `text` (first 255 characters).
  // Otherwise the pair is stored in the next entry of the ring and 0 is returned.
  int IsRecentDuplicate(const std::string& name, const std::string& text);

 private:
  struct Entry {
    std::string name;
    std::string text;
    uint32_t tick = 0;
    bool filled = false;
  };
  std::array<Entry, kEntries> ring_;
  size_t next_ = 0;
  std::function<uint32_t()> ticks_;
};

}  // namespace vlzt
