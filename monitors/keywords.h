// monitors/keywords.h
// The include and exclude phrase lists of a check: loaded from the registry and matched
// against record texts without regard to letter case, on every record of every monitored log.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vlzt {

// The key holding one subkey "Log%d" per check.
inline constexpr const char* kLogsKey =
    "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion\\LOGS";

// A part keeps at most this many characters of its text.
inline constexpr size_t kMaxKeywordPartLength = 255;

class KeywordPhrase;

// One part of a phrase: a text that must occur in the record, in any letter case.
class KeywordPart {
 public:
  // `text` is cut to kMaxKeywordPartLength characters.
  explicit KeywordPart(std::string_view text);

  // The text as configured.
  const std::string& Text() const { return text_; }

 private:
  friend class FoldedText;
  friend int SplitAnds(const std::string& value, KeywordPhrase& phrase);
  static constexpr size_t kMaxProbes = 4;

  std::string text_;
  std::string folded_;  // text_ in lower case: what is searched for
  std::array<uint16_t, kMaxProbes> probes_{};  // letter-pair slots a matching text must have
  uint8_t probeCount_ = 0;
};

// One phrase: it matches when every part occurs. SplitAnds fills it.
class KeywordPhrase {
 public:
  const std::vector<KeywordPart>& Parts() const { return parts_; }

 private:
  friend class FoldedText;
  friend int SplitAnds(const std::string& value, KeywordPhrase& phrase);
  static constexpr size_t kMaxProbes = 4;

  std::vector<KeywordPart> parts_;
  // Letter-pair slots taken from the parts, kept here so that most records that cannot
  // match are ruled out without visiting the parts.
  std::array<uint16_t, kMaxProbes> probes_{};
  uint8_t probeCount_ = 0;
};

// A phrase list in registry order; no phrase means the list is empty.
struct KeywordList {
  std::vector<KeywordPhrase> Phrases;
  bool empty() const { return Phrases.empty(); }
  size_t size() const { return Phrases.size(); }
};

// A record text folded to lower case once, so that any number of lists can be tested
// against it without touching the original again. Once many parts have been looked for, it
// also keeps a summary of the text's letter pairs that rules most absent parts out at once.
// Reusing one object for record after record allocates only when a text is longer than any
// before. One object serves one thread at a time.
class FoldedText {
 public:
  FoldedText() = default;
  explicit FoldedText(std::string_view text) { Assign(text); }

  void Assign(std::string_view text);
  std::string_view View() const { return text_; }
  bool empty() const { return text_.empty(); }

  // True when `part` occurs in the text (an empty part occurs in every non-empty text).
  bool Contains(const KeywordPart& part) const;
  // True when every part of `phrase` occurs.
  bool Matches(const KeywordPhrase& phrase) const;

 private:
  static constexpr size_t kPairSlots = 4096;
  // Building the summary costs about as much as this many substring searches.
  static constexpr uint32_t kSummaryAfter = 3;

  void Summarise() const;

  std::string text_;
  mutable uint32_t searches_ = 0;
  mutable bool summarised_ = false;
  // A slot holds the number of the summary that last saw its pair, so a new summary needs no
  // clearing until the numbers wrap.
  mutable uint8_t generation_ = 0;
  mutable std::array<uint8_t, kPairSlots> pairs_{};
};

// Reads the values `listName`1, `listName`2, ... of the check key `checkSubKey` ("Log%d")
// below kLogsKey, up to the first missing one, each cut to 259 characters, and makes each a
// phrase of `list` (whose previous phrases are dropped). Returns the number of phrases loaded.
int LoadKeywords(const std::string& checkSubKey, const std::string& listName, KeywordList& list);

// Splits `value` at every " [AND]" (any letter case; one blank before and one after it are
// dropped too) into the parts of `phrase`, replacing its parts. Returns 1, or 0 when memory
// ran out (the parts made so far are kept).
int SplitAnds(const std::string& value, KeywordPhrase& phrase);

// 1 when `text` matches `list`: with `all` 0 when any phrase matches, otherwise when every
// phrase does. An empty list, and an empty text, give 0. Allocates nothing once the calling
// thread has seen a text this long; the FoldedText form does not fold again.
int MatchKeywords(std::string_view text, int all, const KeywordList& list);
int MatchKeywords(const FoldedText& text, int all, const KeywordList& list);

// True when `a` and `b` are the same text but for the letter case of ASCII letters, the
// comparison the checks use for names, sources and event numbers.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Drops every phrase and part of `list` and releases their memory.
void FreeKeywords(KeywordList& list);

}  // namespace vlzt
