// The log reader against a plain model of reading piece by piece, on random and edge inputs.
#include "monitors/log_lines.h"

#include <random>

#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using LogLinesTest = testing::TestRoot;

struct ModelPiece {
  std::string text;  // as read: a CR LF becomes a line feed
  size_t bytes = 0;
  bool lineEnd = false;
};

// Reads one piece of at most `max` characters at `pos`, the way a text-mode line read does.
bool ModelRead(const std::string& s, size_t pos, size_t max, ModelPiece& p) {
  p = ModelPiece{};
  if (pos >= s.size()) return false;
  size_t i = pos;
  while (p.text.size() < max && i < s.size()) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
      p.text += '\n';
      i += 2;
      p.lineEnd = true;
      break;
    }
    p.text += s[i];
    if (s[i++] == '\n') {
      p.lineEnd = true;
      break;
    }
  }
  p.bytes = i - pos;
  return true;
}

bool ModelBlank(const std::string& t) { return t.find_first_not_of(" \r\n") == std::string::npos; }

struct Outcome {
  std::vector<std::string> lines;
  uint64_t position = 0;
  bool tooLong = false;
  bool operator==(const Outcome& o) const {
    return lines == o.lines && position == o.position && tooLong == o.tooLong;
  }
};

// Whole lines from `pos` on: a piece of 498 characters goes on in the next one, blank pieces
// are skipped, an unfinished line at the end is left for later.
Outcome Model(const std::string& s, size_t pos) {
  Outcome out;
  while (true) {
    std::string line;
    size_t size = 0, lineStart = pos;
    while (true) {
      ModelPiece p;
      if (!ModelRead(s, pos, kLogPieceChars, p) || (!p.lineEnd && p.text.size() < kLogPieceChars)) {
        out.position = line.empty() ? pos : lineStart;
        return out;
      }
      if (ModelBlank(p.text)) {
        pos += p.bytes;
        continue;
      }
      if (line.empty()) lineStart = pos;
      pos += p.bytes;
      line += p.text;
      size += p.text.size() + 5;
      if (p.text.size() == kLogPieceChars) {
        if (size >= kLogLineLimit) {
          out.position = pos;
          out.tooLong = true;
          return out;
        }
        continue;
      }
      out.lines.push_back(line);
      break;
    }
  }
}

Outcome Reader(const std::string& file, uint64_t pos) {
  auto f = platform::ReadOnlyFile::Open(file);
  Outcome out;
  LogLineReader reader(*f, pos, 4096);
  std::string line;
  while (true) {
    auto r = reader.Next(line);
    if (r == LogLineReader::kLine) {
      out.lines.push_back(line);
      continue;
    }
    out.tooLong = r == LogLineReader::kTooLong;
    out.position = reader.Position();
    return out;
  }
}

std::string RandomLog(std::mt19937& rng, size_t lines) {
  const char alphabet[] = "abc  xyz\r";
  std::string s;
  for (size_t i = 0; i < lines; ++i) {
    // Lengths around the piece size, its multiples and the limit.
    size_t len;
    switch (rng() % 6) {
      case 0: len = rng() % 10; break;
      case 1: len = 496 + rng() % 5; break;
      case 2: len = 994 + rng() % 5; break;
      case 3: len = 29800 + rng() % 400; break;
      default: len = rng() % 300; break;
    }
    for (size_t j = 0; j < len; ++j) s += alphabet[rng() % (sizeof alphabet - 1)];
    s += rng() % 3 == 0 ? "\r\n" : "\n";
    if (rng() % 8 == 0) s += std::string(rng() % 1200, ' ') + "\n";
  }
  if (rng() % 2) s += "unfinished";
  return s;
}

TEST_F(LogLinesTest, ReaderGivesExactlyTheLinesAndPositionsOfThePieceModel) {
  std::mt19937 rng(12345);
  std::string file = path("log.txt");
  for (int round = 0; round < 60; ++round) {
    std::string content = RandomLog(rng, 40);
    testing::WriteFile(file, content);
    uint64_t start = 0;
    // Read in several looks, as the monitor does while a writer appends.
    for (int look = 0; look < 3; ++look) {
      Outcome want = Model(content, start), got = Reader(file, start);
      ASSERT_EQ(got.lines.size(), want.lines.size()) << "round " << round;
      ASSERT_TRUE(got == want) << "round " << round << " look " << look;
      start = want.position;
      content += RandomLog(rng, 5);
      testing::WriteFile(file, content);
    }
  }
}

TEST_F(LogLinesTest, EdgeCases) {
  std::string file = path("edge.txt");
  struct Case {
    std::string content;
    std::vector<std::string> lines;
    uint64_t position;
  } cases[] = {
      {"one\ntwo\r\n\n   \nthree", {"one\n", "two\n"}, 14},
      {"no end yet", {}, 0},
      {"  \r\n\n", {}, 5},
      {std::string(497, 'x') + "\n" + "next\n", {std::string(497, 'x') + "\nnext\n"}, 503},
      {std::string(498, 'y') + "z\n", {std::string(498, 'y') + "z\n"}, 500},
      {std::string("nul\0byte\n", 9), {std::string("nul\0byte\n", 9)}, 9},
  };
  for (const Case& c : cases) {
    testing::WriteFile(file, c.content);
    Outcome got = Reader(file, 0);
    EXPECT_EQ(got.lines, c.lines) << c.content.substr(0, 40);
    EXPECT_EQ(got.position, c.position) << c.content.substr(0, 40);
  }
  // A line of 100 000 characters reaches the limit.
  testing::WriteFile(file, std::string(100000, 'L') + "\nafter\n");
  Outcome got = Reader(file, 0);
  EXPECT_TRUE(got.tooLong);
  EXPECT_EQ(got.position, 60u * kLogPieceChars);
}

TEST_F(LogLinesTest, EndOffsetLeavesAnUnfinishedLineToBeRead) {
  std::string file = path("end.txt");
  struct Case {
    std::string content;
    uint64_t whole, any;
  } cases[] = {
      {"a\nb\n", 4, 4},
      {"a\nb\n\n  \n", 4, 4},
      {"a\npartial", 2, 9},
      {"", 0, 0},
      {"   \n\n", 5, 5},
  };
  for (const Case& c : cases) {
    testing::WriteFile(file, c.content);
    auto f = platform::ReadOnlyFile::Open(file);
    EXPECT_EQ(FindEndOffset(*f, 0, true), c.whole) << c.content;
    EXPECT_EQ(FindEndOffset(*f, 0, false), c.any) << c.content;
  }
}

}  // namespace
}  // namespace vlzt
