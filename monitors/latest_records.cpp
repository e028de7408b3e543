// monitors/latest_records.cpp
#include "monitors/latest_records.h"

#include "support/service_state.h"

namespace vlzt {

void LatestRecords::Add(const std::string& name, const std::string& time, const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(ServiceState().WebDataLock);
  if (records_.size() == kEntries) records_.pop_back();
  records_.insert(records_.begin(), {name.substr(0, 255), time.substr(0, 29), text});
}

bool LatestRecords::Get(size_t index, LatestRecord& record) const {
  std::lock_guard<std::recursive_mutex> lock(ServiceState().WebDataLock);
  if (index >= records_.size()) return false;
  record = records_[index];
  return true;
}

void LatestRecords::Clear() {
  std::lock_guard<std::recursive_mutex> lock(ServiceState().WebDataLock);
  records_.clear();
}

void WriteMonitorFragment(std::ostream& out, bool monitoring, const LatestRecords& store, const std::string& image,
                          const std::string& title, const std::vector<FragmentColumn>& columns) {
  std::lock_guard<std::recursive_mutex> lock(ServiceState().WebDataLock);
  std::vector<LatestRecord> rows;
  std::string fallback = "Not being monitored or no data currently available ...";
  if (monitoring) {
    LatestRecord r;
    for (size_t i = 0; store.Get(i, r); ++i) rows.push_back(r);
    fallback = "No entries logged since Velmora was started ...";
  }
  WriteLatestRecordsTable(out, image, title, columns, rows, fallback);
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void WriteLatestRecordsTable(std::ostream& out, const std::string& image, const std::string& title,
                             const std::vector<FragmentColumn>& columns, const std::vector<LatestRecord>& rows,
                             const std::string& fallback) {
  size_t span = columns.size() + 1;
  out << "<table width=\"777\" align=\"center\" border=\"0\">\n";
  out << "<tr><td colspan=\"" << span << "\"><hr></td></tr>\n";
  out << "<tr><td><img src=\"" << image << "\" width=\"32\" height=\"32\"></td><td colspan=\"" << span - 1
      << "\"><b>" << HtmlEscape(title) << "</b></td></tr>\n";
  out << "<tr><td colspan=\"" << span << "\">&nbsp;</td></tr>\n";
  out << "<tr><td width=\"43\"></td>";
  for (const FragmentColumn& c : columns) out << "<td width=\"" << c.width << "\"><b>" << c.heading << "</b></td>";
  out << "</tr>\n<tr><td colspan=\"" << span << "\">&nbsp;</td></tr>\n";
  if (rows.empty()) {
    out << "<tr><td></td><td colspan=\"" << columns.size() << "\">" << HtmlEscape(fallback) << "</td></tr>\n";
  } else {
    for (const LatestRecord& r : rows) {
      out << "<tr><td></td><td>" << HtmlEscape(r.name) << "</td>";
      if (columns.size() > 2) out << "<td>" << HtmlEscape(r.time) << "</td>";
      out << "<td>" << HtmlEscape(r.text) << "</td></tr>\n";
    }
  }
  out << "<tr><td colspan=\"" << span << "\">&nbsp;</td></tr>\n</table>\n";
}

}  // namespace vlzt
