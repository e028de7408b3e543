// bench/keywords_bench.cpp
// Lines per second through the checks' phrase matching over a generated syslog-like corpus,
// against grep -c -i -F -f over the same lines and phrase parts as a baseline.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "monitors/keywords.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLines = 300000;
constexpr int kRepeats = 3;

struct BenchCheck {
  int And = 0;
  vlzt::KeywordList Include;
  vlzt::KeywordList Exclude;
};

std::string Format(const char* format, long a = 0, long b = 0, long c = 0, long d = 0) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, a, b, c, d);
  return buffer;
}

// Syslog-like lines of 80 to 200 bytes; now and then one that some check is looking for.
std::vector<std::string> MakeCorpus(size_t count) {
  std::mt19937 rng(20070305);
  auto pick = [&rng](long n) { return static_cast<long>(rng() % static_cast<uint32_t>(n)); };
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char* const programs[] = {"sshd", "kernel", "CRON", "systemd", "postfix/smtpd",
                                         "nginx", "dhclient", "app-server"};
  std::vector<std::string> lines;
  lines.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    std::string line = std::string(months[pick(12)]) +
                       Format(" %2ld %02ld:%02ld:%02ld ", 1 + pick(28), pick(24), pick(60), pick(60)) +
                       Format("host%02ld ", pick(40)) + programs[pick(8)] + Format("[%ld]: ", 100 + pick(30000));
    switch (pick(12)) {
      case 0: line += Format("Accepted publickey for user%ld from 10.%ld.%ld.%ld port 22 ssh2", pick(300), pick(256), pick(256), pick(256)); break;
      case 1: line += Format("pam_unix(sshd:session): session opened for user user%ld by (uid=0)", pick(300)); break;
      case 2: line += Format("[%ld.%06ld] eth%ld: link is up, 1000 Mbps full duplex", pick(99999), pick(999999), pick(8)); break;
      case 3: line += "(root) CMD (run-parts /etc/cron.hourly)"; break;
      case 4: line += Format("Started Session %ld of user user%ld.", pick(9999), pick(300)); break;
      case 5: line += Format("connect from mail%ld.example.net[192.0.2.%ld]", pick(300), pick(256)); break;
      case 6: line += Format("10.0.%ld.%ld - - \"GET /api/v1/items/%ld HTTP/1.1\" 200 %ld", pick(256), pick(256), pick(100000), pick(50000)); break;
      case 7: line += Format("DHCPREQUEST for 10.1.%ld.%ld on eth%ld to 10.1.0.1 port 67", pick(256), pick(256), pick(8)); break;
      case 8: line += Format("worker %ld finished job %ld in %ld ms", pick(64), pick(1000000), pick(5000)); break;
      case 9: line += Format("Connection closed by 203.0.113.%ld port %ld [preauth]", pick(256), 1024 + pick(60000)); break;
      case 10: // the rare ones the checks look for
        switch (pick(40)) {
          case 0: line += Format("ERROR service%ld: request %ld failed with timeout after %ld ms", pick(300), pick(100000), pick(300)); break;
          case 1: line += "disk /dev/sd" + std::string(1, static_cast<char>('a' + pick(26))) + Format("%ld is %ld%% full", pick(9), 90 + pick(10)); break;
          case 2: line += Format("authentication failure; logname= uid=0 euid=0 tty=ssh rhost=10.0.0.%ld user=user%ld", pick(256), pick(300)); break;
          case 3: line += Format("eth%ld: link is down", pick(300)); break;
          default: line += Format("service%ld: heartbeat ok, %ld requests served", pick(300), pick(100000)); break;
        }
        break;
      default: line += Format("segfault at %lx ip %lx sp %lx error 4 in libc.so.6", pick(0xffffff), pick(0xffffff), pick(0xffffff)); break;
    }
    size_t target = 80 + static_cast<size_t>(pick(121));
    while (line.size() < target) line += Format(" trace=%08lx-%04lx", pick(0x7fffffff), pick(0xffff));
    line.resize(target);
    line += '\n';
    lines.push_back(std::move(line));
  }
  return lines;
}

// Two include phrases (some with " [AND]") and one exclude phrase per check.
std::vector<std::vector<std::string>> MakePhrases(int checks) {
  std::vector<std::vector<std::string>> out;
  for (int i = 0; i < checks; ++i) {
    long n = i * 3 + 1;
    std::string first, second, exclude;
    switch (i % 5) {
      case 0: first = Format("service%ld [AND] failed", n); break;
      case 1: first = Format("eth%ld: link is down", n); break;
      case 2: first = Format("authentication failure [AND] user=user%ld", n); break;
      case 3: first = "disk /dev/sd" + std::string(1, static_cast<char>('a' + i % 26)) + " [AND] full"; break;
      default: first = Format("mail%ld.example.net [AND] reject", n); break;
    }
    switch (i % 4) {
      case 0: second = Format("timeout after %ld ms", n); break;
      case 1: second = Format("segfault at %lx", 0x1000 + n); break;
      case 2: second = Format("Out of memory: Kill process %ld", n); break;
      default: second = Format("Connection reset by peer [AND] port %ld", 1024 + n); break;
    }
    exclude = i % 2 ? Format("tty=ssh%ld", n) : Format("test%ld", n);
    out.push_back({first, second, exclude});
  }
  return out;
}

std::vector<BenchCheck> MakeChecks(const std::vector<std::vector<std::string>>& phrases) {
  std::vector<BenchCheck> checks(phrases.size());
  for (size_t i = 0; i < phrases.size(); ++i) {
    checks[i].And = i % 3 == 0 ? 1 : 0;
    for (size_t k = 0; k < 3; ++k) {
      vlzt::KeywordList& list = k < 2 ? checks[i].Include : checks[i].Exclude;
      list.Phrases.emplace_back();
      vlzt::SplitAnds(phrases[i][k], list.Phrases.back());
    }
  }
  return checks;
}

// Every line through every check the way the log-file monitor tests them; best of kRepeats.
template <typename Test>
double LinesPerSecond(const std::vector<std::string>& corpus, Test test, size_t& fired) {
  double best = 0;
  for (int r = 0; r < kRepeats; ++r) {
    fired = 0;
    auto start = Clock::now();
    for (const std::string& line : corpus) fired += test(line);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::max(best, static_cast<double>(corpus.size()) / seconds);
  }
  return best;
}

double GrepLinesPerSecond(const std::string& dir, size_t lines, long& count) {
  std::string command = "LC_ALL=C grep -c -i -F -f " + dir + "/phrases " + dir + "/corpus";
  double best = 0;
  for (int r = 0; r < kRepeats; ++r) {
    auto start = Clock::now();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return 0;
    count = -1;
    if (std::fscanf(pipe, "%ld", &count) != 1) count = -1;
    pclose(pipe);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::max(best, static_cast<double>(lines) / seconds);
  }
  return best;
}

}  // namespace

int main() {
  const std::vector<std::string> corpus = MakeCorpus(kLines);
  size_t bytes = 0;
  for (const std::string& line : corpus) bytes += line.size();

  std::string templ = (std::filesystem::temp_directory_path() / "vlzt-kwbench-XXXXXX").string();
  if (!mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = templ;
  {
    std::ofstream out(dir + "/corpus", std::ios::binary);
    for (const std::string& line : corpus) out << line;
  }

  std::printf("corpus: %zu lines, %zu bytes (%.0f bytes a line)\n", corpus.size(), bytes,
              static_cast<double>(bytes) / static_cast<double>(corpus.size()));
  std::printf("%-7s %16s %16s %16s %8s %10s %10s\n", "checks", "ours lines/s", "unfolded lines/s",
              "grep lines/s", "ratio", "fired", "grep hits");
  for (int checkCount : {1, 10, 100}) {
    const auto phrases = MakePhrases(checkCount);
    const std::vector<BenchCheck> checks = MakeChecks(phrases);
    {
      std::ofstream out(dir + "/phrases", std::ios::binary);
      for (const auto& check : checks)
        for (const auto* list : {&check.Include, &check.Exclude})
          for (const auto& phrase : list->Phrases)
            for (const auto& part : phrase.Parts()) out << part.Text() << '\n';
    }

    // One fold per line, shared by every check: the monitors' way.
    vlzt::FoldedText folded;
    size_t fired = 0;
    double ours = LinesPerSecond(corpus, [&](const std::string& line) {
      folded.Assign(line);
      size_t hits = 0;
      for (const BenchCheck& check : checks)
        if (vlzt::MatchKeywords(folded, check.And, check.Include) &&
            !vlzt::MatchKeywords(folded, 0, check.Exclude))
          ++hits;
      return hits;
    }, fired);

    // The plain form folds again on every call.
    size_t firedPlain = 0;
    double plain = LinesPerSecond(corpus, [&](const std::string& line) {
      size_t hits = 0;
      for (const BenchCheck& check : checks)
        if (vlzt::MatchKeywords(line, check.And, check.Include) &&
            !vlzt::MatchKeywords(line, 0, check.Exclude))
          ++hits;
      return hits;
    }, firedPlain);
    if (firedPlain != fired) std::printf("MISMATCH: %zu against %zu\n", firedPlain, fired);

    long grepHits = 0;
    double grep = GrepLinesPerSecond(dir, corpus.size(), grepHits);
    std::printf("%-7d %16.0f %16.0f %16.0f %8.2f %10zu %10ld\n", checkCount, ours, plain, grep,
                grep > 0 ? ours / grep : 0.0, fired, grepHits);
  }
  std::printf("ratio = ours / grep (LC_ALL=C grep -c -i -F -f with every phrase part; grep's\n"
              "figure includes starting the process and reading the file)\n");

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
