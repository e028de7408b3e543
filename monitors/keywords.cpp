// monitors/keywords.cpp
#include "monitors/keywords.h"

#include <cstring>
#include <new>

#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {

namespace {

constexpr const char* kModule = "vlZTKeyword";
constexpr std::string_view kSeparator = " [and]";  // compared after folding
constexpr size_t kValueSize = 260;

// Only ASCII letters fold: the texts may be in any single-byte code page or in UTF-8, and
// folding other bytes would make unrelated characters equal.
inline char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return static_cast<char>(static_cast<unsigned>(u - 'A') < 26u ? u + ('a' - 'A') : u);
}

// Separate pointers and byte arithmetic let the compiler fold many bytes at a time.
void FoldInto(const char* in, char* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    unsigned char offset = static_cast<unsigned char>(c - 'A');
    out[i] = static_cast<char>(c + (offset < 26 ? 'a' - 'A' : 0));
  }
}

// The slot of the letter pair (a, b) in a FoldedText's pair summary.
inline uint16_t PairSlot(unsigned char a, unsigned char b) {
  uint32_t key = static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8;
  return static_cast<uint16_t>((key * 0x9E3779B1u) >> 20);  // 12 bits: 4096 slots
}

inline bool SeparatorAt(const std::string& value, size_t pos) {
  if (value.size() - pos < kSeparator.size()) return false;
  for (size_t i = 0; i < kSeparator.size(); ++i)
    if (Fold(value[pos + i]) != kSeparator[i]) return false;
  return true;
}

}  // namespace

KeywordPart::KeywordPart(std::string_view text)
    : text_(text.substr(0, kMaxKeywordPartLength)), folded_(text_.size(), '\0') {
  FoldInto(text_.data(), folded_.data(), text_.size());
  // A few pairs spread over the part: a text lacking any of them cannot contain the part,
  // which settles most non-matching records without a substring search.
  if (folded_.size() >= 2) {
    size_t pairs = folded_.size() - 1;
    size_t want = pairs < kMaxProbes ? pairs : kMaxProbes;
    for (size_t i = 0; i < want; ++i) {
      size_t at = want == 1 ? 0 : i * (pairs - 1) / (want - 1);
      uint16_t slot = PairSlot(static_cast<unsigned char>(folded_[at]),
                               static_cast<unsigned char>(folded_[at + 1]));
      bool seen = false;
      for (size_t j = 0; j < probeCount_; ++j) seen = seen || probes_[j] == slot;
      if (!seen) probes_[probeCount_++] = slot;
    }
  }
}

void FoldedText::Assign(std::string_view text) {
  text_.resize(text.size());
  FoldInto(text.data(), text_.data(), text.size());
  searches_ = 0;
  summarised_ = false;
}

void FoldedText::Summarise() const {
  if (++generation_ == 0) {
    pairs_.fill(0);
    generation_ = 1;
  }
  const uint8_t mark = generation_;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text_.data());
  for (size_t i = 1; i < text_.size(); ++i) pairs_[PairSlot(p[i - 1], p[i])] = mark;
  summarised_ = true;
}

bool FoldedText::Contains(const KeywordPart& part) const {
  const std::string& needle = part.folded_;
  if (text_.empty()) return false;
  if (needle.empty()) return true;
  if (needle.size() > text_.size()) return false;
  if (needle.size() == 1) return std::memchr(text_.data(), needle[0], text_.size()) != nullptr;
  if (!summarised_ && ++searches_ > kSummaryAfter) Summarise();
  if (summarised_) {
    for (size_t i = 0; i < part.probeCount_; ++i)
      if (pairs_[part.probes_[i]] != generation_) return false;
  }
  return memmem(text_.data(), text_.size(), needle.data(), needle.size()) != nullptr;
}

bool FoldedText::Matches(const KeywordPhrase& phrase) const {
  if (summarised_)
    for (size_t i = 0; i < phrase.probeCount_; ++i)
      if (pairs_[phrase.probes_[i]] != generation_) return false;
  for (const KeywordPart& part : phrase.parts_)
    if (!Contains(part)) return false;
  return true;
}

int SplitAnds(const std::string& value, KeywordPhrase& phrase) {
  std::vector<KeywordPart>& parts = phrase.parts_;
  parts.clear();
  phrase.probeCount_ = 0;
  try {
    size_t start = 0;
    size_t pos = 0;
    while (pos < value.size()) {
      if (!SeparatorAt(value, pos)) {
        ++pos;
        continue;
      }
      size_t end = pos;
      if (end > start && value[end - 1] == ' ') --end;
      parts.emplace_back(std::string_view(value).substr(start, end - start));
      pos += kSeparator.size();
      if (pos < value.size() && value[pos] == ' ') ++pos;
      start = pos;
    }
    parts.emplace_back(std::string_view(value).substr(start));
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, "SplitAnds", "s",
                    "Insufficient memory whilst allocating Server Pellacor memory");
    return 0;
  }
  // The parts' first pairs first, so that every part with pairs is represented.
  for (size_t round = 0; round < KeywordPart::kMaxProbes; ++round) {
    for (const KeywordPart& part : parts) {
      if (round >= part.probeCount_ || phrase.probeCount_ == KeywordPhrase::kMaxProbes) continue;
      uint16_t slot = part.probes_[round];
      bool seen = false;
      for (size_t j = 0; j < phrase.probeCount_; ++j) seen = seen || phrase.probes_[j] == slot;
      if (!seen) phrase.probes_[phrase.probeCount_++] = slot;
    }
  }
  return 1;
}

int LoadKeywords(const std::string& checkSubKey, const std::string& listName, KeywordList& list) {
  FreeKeywords(list);
  const std::string keyPath = std::string(kLogsKey) + "\\" + checkSubKey;
  for (int k = 1;; ++k) {
    std::string value;
    if (vlZTREG_ReadString(keyPath, listName + std::to_string(k), value, kValueSize) != 0) break;
    try {
      list.Phrases.emplace_back();
    } catch (const std::bad_alloc&) {
      vlZTLog_Message(1, 0, nullptr, kModule, "LoadKeywords", "s",
                      "Insufficient memory whilst loading keyword list");
      break;
    }
    if (!SplitAnds(value, list.Phrases.back())) {
      // A phrase missing some of its parts would match records it should not.
      list.Phrases.pop_back();
      break;
    }
  }
  return static_cast<int>(list.Phrases.size());
}

int MatchKeywords(const FoldedText& text, int all, const KeywordList& list) {
  if (list.empty() || text.empty()) return 0;
  for (const KeywordPhrase& phrase : list.Phrases) {
    bool matches = text.Matches(phrase);
    if (all && !matches) return 0;
    if (!all && matches) return 1;
  }
  return all ? 1 : 0;
}

int MatchKeywords(std::string_view text, int all, const KeywordList& list) {
  if (list.empty() || text.empty()) return 0;
  thread_local FoldedText folded;
  folded.Assign(text);
  return MatchKeywords(folded, all, list);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

void FreeKeywords(KeywordList& list) { std::vector<KeywordPhrase>().swap(list.Phrases); }

}  // namespace vlzt
