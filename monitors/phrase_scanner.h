// monitors/phrase_scanner.h
// Finds in one pass over a record which phrase parts of all the checks of a log occur in
// it (letter case ignored), so that a log with a hundred checks costs little more to test
// than one with a single check. The answers are those of MatchKeywords.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "monitors/check_config.h"
#include "monitors/keywords.h"

namespace vlzt {

class PhraseScanner {
 public:
  // A phrase list in the scanner's terms: each phrase the ids of its parts.
  struct List {
    std::vector<std::vector<uint32_t>> phrases;
  };

  // Takes in the parts of `list` (before Build); the result stands for the list in Match.
  List Add(const KeywordList& list);
  // Prepares the scanner; call once, after the last Add.
  void Build();

  // Looks for every part in `text`; Match then answers for this text.
  void Scan(std::string_view text);
  // MatchKeywords(text, all, list) for the text of the last Scan.
  int Match(const List& list, int all) const;
  // Ids of the parts the last Scan found, in the order found.
  const std::vector<uint32_t>& Found() const { return found_; }
  size_t PartCount() const { return parts_.size(); }

 private:
  uint32_t PartId(const std::string& folded);

  std::vector<std::string> parts_;     // folded part texts; id = index
  std::vector<uint32_t> emptyParts_;   // ids of empty parts: in every non-empty text
  // The automaton: transitions by byte class, and for each state the parts ending there.
  std::vector<uint16_t> classOf_ = std::vector<uint16_t>(256, 0);
  uint32_t classes_ = 1;
  // next_[state * classes_ + class]: the next state, with kHasOutput set when parts end there.
  static constexpr uint32_t kHasOutput = 0x80000000u;
  std::vector<uint32_t> next_;
  std::vector<uint8_t> starts_ = std::vector<uint8_t>(256, 0);  // bytes that begin a part
  std::vector<uint32_t> outputBegin_, outputs_;  // parts of state s: outputs_[outputBegin_[s] .. [s+1])
  // Parts found by the last Scan, as a generation stamp per part.
  std::vector<uint32_t> seen_;
  uint32_t generation_ = 0;
  bool nonEmpty_ = false;
  std::vector<uint32_t> found_;
  bool built_ = false;
};

// The include and exclude lists of every check of one log, in one scanner.
class CheckMatcher {
 public:
  explicit CheckMatcher(const std::vector<Check>& checks);
  // Looks at a new record text; gives the checks whose include test may pass for it (those
  // with an include part in the text), in check order. The others cannot pass.
  const std::vector<size_t>& Scan(std::string_view text);
  // MatchKeywords of check `n`'s include list (with its And flag) / exclude list (any).
  int Includes(size_t n, int all) const { return scanner_.Match(include_[n], all); }
  int Excludes(size_t n) const { return scanner_.Match(exclude_[n], 0); }

 private:
  PhraseScanner scanner_;
  std::vector<PhraseScanner::List> include_, exclude_;
  std::vector<std::vector<size_t>> checksOfPart_;  // include parts -> checks using them
  std::vector<size_t> candidates_;
  std::vector<uint32_t> marked_;  // generation stamp per check
  uint32_t generation_ = 0;
};

}  // namespace vlzt
