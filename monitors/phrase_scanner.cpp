// monitors/phrase_scanner.cpp
// An Aho-Corasick automaton over the folded part texts, expanded into a table of
// transitions over byte classes (bytes that occur in no part share one class).
#include "monitors/phrase_scanner.h"

#include <algorithm>
#include <deque>
#include <map>

namespace vlzt {
namespace {

inline unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

std::string Folded(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

uint32_t PhraseScanner::PartId(const std::string& folded) {
  for (uint32_t i = 0; i < parts_.size(); ++i)
    if (parts_[i] == folded) return i;
  parts_.push_back(folded);
  return static_cast<uint32_t>(parts_.size() - 1);
}

PhraseScanner::List PhraseScanner::Add(const KeywordList& list) {
  List out;
  for (const KeywordPhrase& phrase : list.Phrases) {
    std::vector<uint32_t> ids;
    for (const KeywordPart& part : phrase.Parts()) ids.push_back(PartId(Folded(part.Text())));
    out.phrases.push_back(std::move(ids));
  }
  return out;
}

void PhraseScanner::Build() {
  // Byte classes: every byte that occurs in a part (after folding) gets its own class, and
  // so does its upper-case letter; all other bytes fall into class 0.
  for (const std::string& p : parts_)
    for (unsigned char c : p)
      if (classOf_[c] == 0) classOf_[c] = static_cast<uint16_t>(classes_++);
  for (int c = 'A'; c <= 'Z'; ++c) classOf_[c] = classOf_[Fold(static_cast<unsigned char>(c))];

  // The trie.
  std::vector<std::map<uint32_t, uint32_t>> trie(1);
  std::vector<std::vector<uint32_t>> out(1);
  for (uint32_t id = 0; id < parts_.size(); ++id) {
    const std::string& p = parts_[id];
    if (p.empty()) {
      emptyParts_.push_back(id);
      continue;
    }
    uint32_t s = 0;
    for (unsigned char c : p) {
      uint32_t k = classOf_[c];
      auto it = trie[s].find(k);
      if (it == trie[s].end()) {
        trie[s][k] = static_cast<uint32_t>(trie.size());
        trie.emplace_back();
        out.emplace_back();
        s = static_cast<uint32_t>(trie.size() - 1);
      } else {
        s = it->second;
      }
    }
    out[s].push_back(id);
  }

  // Breadth first: failure links, outputs inherited from them, full transitions.
  size_t states = trie.size();
  next_.assign(states * classes_, 0);
  std::vector<uint32_t> fail(states, 0);
  std::deque<uint32_t> queue;
  for (uint32_t k = 0; k < classes_; ++k) {
    auto it = trie[0].find(k);
    if (it != trie[0].end()) {
      next_[k] = it->second;
      queue.push_back(it->second);
    }
  }
  while (!queue.empty()) {
    uint32_t s = queue.front();
    queue.pop_front();
    const auto& inherited = out[fail[s]];
    out[s].insert(out[s].end(), inherited.begin(), inherited.end());
    for (uint32_t k = 0; k < classes_; ++k) {
      auto it = trie[s].find(k);
      if (it != trie[s].end()) {
        uint32_t t = it->second;
        fail[t] = next_[fail[s] * classes_ + k];
        next_[s * classes_ + k] = t;
        queue.push_back(t);
      } else {
        next_[s * classes_ + k] = next_[fail[s] * classes_ + k];
      }
    }
  }
  outputBegin_.assign(states + 1, 0);
  for (size_t s = 0; s < states; ++s) {
    outputBegin_[s] = static_cast<uint32_t>(outputs_.size());
    std::sort(out[s].begin(), out[s].end());
    out[s].erase(std::unique(out[s].begin(), out[s].end()), out[s].end());
    outputs_.insert(outputs_.end(), out[s].begin(), out[s].end());
  }
  outputBegin_[states] = static_cast<uint32_t>(outputs_.size());
  // Mark the transitions into states where parts end, so the scan looks them up only then.
  for (uint32_t& t : next_)
    if (outputBegin_[t] != outputBegin_[t + 1]) t |= kHasOutput;
  for (int c = 0; c < 256; ++c) starts_[c] = next_[classOf_[c]] != 0;
  seen_.assign(parts_.size(), 0);
  built_ = true;
}

void PhraseScanner::Scan(std::string_view text) {
  found_.clear();
  if (++generation_ == 0) {  // the stamps wrapped: start them again
    std::fill(seen_.begin(), seen_.end(), 0);
    generation_ = 1;
  }
  nonEmpty_ = !text.empty();
  if (!built_ || !nonEmpty_) return;
  for (uint32_t id : emptyParts_) {
    seen_[id] = generation_;
    found_.push_back(id);
  }
  const uint32_t* next = next_.data();
  const uint16_t* cls = classOf_.data();
  const uint8_t* starts = starts_.data();
  const uint32_t classes = classes_;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  uint32_t s = 0;
  while (p < end) {
    if (s == 0) {
      // In the start state only a byte that begins some part leads anywhere.
      while (p < end && !starts[*p]) ++p;
      if (p == end) break;
    }
    uint32_t t = next[s * classes + cls[*p++]];
    s = t & ~kHasOutput;
    if (t & kHasOutput) {
      for (uint32_t i = outputBegin_[s], e = outputBegin_[s + 1]; i < e; ++i) {
        uint32_t id = outputs_[i];
        if (seen_[id] != generation_) {
          seen_[id] = generation_;
          found_.push_back(id);
        }
      }
    }
  }
}

int PhraseScanner::Match(const List& list, int all) const {
  if (list.phrases.empty() || !nonEmpty_) return 0;
  if (found_.empty()) return 0;  // no part occurs, so no phrase can match
  for (const auto& phrase : list.phrases) {
    bool matches = true;
    for (uint32_t id : phrase)
      if (seen_[id] != generation_) {
        matches = false;
        break;
      }
    if (all && !matches) return 0;
    if (!all && matches) return 1;
  }
  return all ? 1 : 0;
}

CheckMatcher::CheckMatcher(const std::vector<Check>& checks) {
  for (const Check& check : checks) {
    include_.push_back(scanner_.Add(check.IncludeKeywords));
    exclude_.push_back(scanner_.Add(check.ExcludeKeywords));
  }
  scanner_.Build();
  checksOfPart_.resize(scanner_.PartCount());
  for (size_t n = 0; n < include_.size(); ++n)
    for (const auto& phrase : include_[n].phrases)
      for (uint32_t id : phrase)
        if (checksOfPart_[id].empty() || checksOfPart_[id].back() != n) checksOfPart_[id].push_back(n);
  marked_.assign(checks.size(), 0);
}

const std::vector<size_t>& CheckMatcher::Scan(std::string_view text) {
  scanner_.Scan(text);
  candidates_.clear();
  if (++generation_ == 0) {
    std::fill(marked_.begin(), marked_.end(), 0);
    generation_ = 1;
  }
  for (uint32_t id : scanner_.Found())
    for (size_t n : checksOfPart_[id])
      if (marked_[n] != generation_) {
        marked_[n] = generation_;
        candidates_.push_back(n);
      }
  std::sort(candidates_.begin(), candidates_.end());
  return candidates_;
}

}  // namespace vlzt
