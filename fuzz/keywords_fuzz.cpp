// fuzz/keywords_fuzz.cpp
// Phrase splitting and matching on arbitrary bytes, checked against a plain, slow reading of
// the rule: parts split at " [AND]", each part anywhere in the text, ASCII letters folded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "monitors/keywords.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string LowerAll(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::vector<std::string> ReferenceSplit(const std::string& value) {
  const std::string lower = LowerAll(value);
  std::vector<std::string> parts;
  size_t start = 0;
  size_t from = 0;
  for (size_t at; (at = lower.find(" [and]", from)) != std::string::npos;) {
    size_t end = at;
    if (end > start && value[end - 1] == ' ') --end;
    parts.push_back(value.substr(start, end - start));
    from = at + 6;
    if (from < value.size() && value[from] == ' ') ++from;
    start = from;
  }
  parts.push_back(value.substr(start));
  for (std::string& part : parts)
    if (part.size() > 255) part.resize(255);
  return parts;
}

bool ReferenceOccurs(std::string_view text, std::string_view part) {
  if (text.empty()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < part.size() && Lower(text[i + k]) == Lower(part[k])) ++k;
    if (k == part.size()) return true;
  }
  return false;
}

int ReferenceMatch(std::string_view text, int all, const std::vector<std::vector<std::string>>& phrases) {
  if (phrases.empty()) return 0;
  for (const auto& parts : phrases) {
    bool matches = true;
    for (const std::string& part : parts) matches = matches && ReferenceOccurs(text, part);
    if (all && !matches) return 0;
    if (!all && matches) return 1;
  }
  return all ? 1 : 0;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "keywords_fuzz: %s differs from the reference\n", what);
  std::abort();
}

}  // namespace

// Input: one byte of settings (bit 0 the all flag, bits 1-2 the number of phrases less one),
// then the phrase values and the text separated by 0xFF bytes; missing pieces are empty.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int all = data[0] & 1;
  const size_t phraseCount = ((data[0] >> 1) & 3) + ((data[0] & 0x80) ? 0 : 1);  // 0 to 4
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> values;
  while (values.size() < phraseCount) {
    size_t cut = rest.find('\xFF');
    // A registry read keeps 259 characters of a value.
    values.emplace_back(rest.substr(0, std::min<size_t>(cut, 259)));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  const std::string_view text = rest;

  vlzt::KeywordList list;
  std::vector<std::vector<std::string>> reference;
  for (const std::string& value : values) {
    list.Phrases.emplace_back();
    if (vlzt::SplitAnds(value, list.Phrases.back()) != 1) Fail("SplitAnds result");
    std::vector<std::string> got;
    for (const vlzt::KeywordPart& part : list.Phrases.back().Parts()) got.push_back(part.Text());
    reference.push_back(ReferenceSplit(value));
    if (got != reference.back()) Fail("SplitAnds");
  }

  const int expected = ReferenceMatch(text, all, reference);
  if (vlzt::MatchKeywords(text, all, list) != expected) Fail("MatchKeywords");
  // One object reused across inputs, as a monitor reuses it across records.
  static vlzt::FoldedText folded;
  folded.Assign(text);
  if (vlzt::MatchKeywords(folded, all, list) != expected) Fail("MatchKeywords (folded)");
  for (const auto& phrase : list.Phrases)
    for (const auto& part : phrase.Parts())
      if (folded.Contains(part) != ReferenceOccurs(text, part.Text())) Fail("Contains");

  vlzt::FreeKeywords(list);
  if (vlzt::MatchKeywords(text, all, list) != 0) Fail("MatchKeywords on an empty list");
  return 0;
}
