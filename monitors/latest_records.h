// monitors/latest_records.h
// The 15 latest matches of a monitor, newest first, for the status page; and the HTML
// table in which the page shows them.
#pragma once
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace vlzt {

struct LatestRecord {
  std::string name;  // the check's name, at most 255 characters
  std::string time;  // at most 29 characters; empty where the monitor keeps no time
  std::string text;
};

// Each operation takes WebDataLock; the page builder holds it across a whole fragment.
class LatestRecords {
 public:
  static constexpr size_t kEntries = 15;
  void Add(const std::string& name, const std::string& time, const std::string& text);
  // Entry `index` (0 newest); false when there is none.
  bool Get(size_t index, LatestRecord& record) const;
  void Clear();

 private:
  std::vector<LatestRecord> records_;
};

// One column of the table: its heading and width in pixels.
struct FragmentColumn {
  const char* heading;
  int width;
};

// Writes the table of a monitor's latest matches: `image` and `title` above, the headings,
// one row per record (its name, time when the table has three columns, and text), or one
// row with `fallback` spanning the columns. Texts are escaped for HTML.
void WriteLatestRecordsTable(std::ostream& out, const std::string& image, const std::string& title,
                             const std::vector<FragmentColumn>& columns, const std::vector<LatestRecord>& rows,
                             const std::string& fallback);

// A monitor's table on the status page, under WebDataLock: the matches of `store`, or a row
// saying that nothing is monitored (`monitoring` false) or that nothing matched yet.
void WriteMonitorFragment(std::ostream& out, bool monitoring, const LatestRecords& store, const std::string& image,
                          const std::string& title, const std::vector<FragmentColumn>& columns);

// `text` with &, <, > and " written as entities.
std::string HtmlEscape(const std::string& text);

}  // namespace vlzt
