// The one-pass scanner gives the answers of MatchKeywords, on random phrases and texts.
#include "monitors/phrase_scanner.h"

#include <algorithm>
#include <random>

#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

std::string RandomText(std::mt19937& rng, size_t maxLength) {
  const char alphabet[] = "abAB c[]ND\xE9";
  std::string s;
  size_t n = rng() % (maxLength + 1);
  for (size_t i = 0; i < n; ++i) s += alphabet[rng() % (sizeof alphabet - 1)];
  return s;
}

KeywordList RandomList(std::mt19937& rng) {
  KeywordList list;
  size_t phrases = rng() % 4;
  for (size_t i = 0; i < phrases; ++i) {
    std::string value = RandomText(rng, 4);
    if (rng() % 2) value += (rng() % 2 ? " [AND] " : " [and] ") + RandomText(rng, 3);
    KeywordPhrase phrase;
    SplitAnds(value, phrase);
    list.Phrases.push_back(phrase);
  }
  return list;
}

TEST(PhraseScannerTest, AgreesWithMatchKeywords) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<Check> checks(1 + rng() % 6);
    for (Check& c : checks) {
      c.IncludeKeywords = RandomList(rng);
      c.ExcludeKeywords = RandomList(rng);
      c.And = static_cast<int32_t>(rng() % 2);
    }
    CheckMatcher matcher(checks);
    for (int t = 0; t < 40; ++t) {
      std::string text = RandomText(rng, 12);
      const std::vector<size_t>& candidates = matcher.Scan(text);
      ASSERT_TRUE(std::is_sorted(candidates.begin(), candidates.end()));
      for (size_t n = 0; n < checks.size(); ++n) {
        int include = MatchKeywords(text, checks[n].And, checks[n].IncludeKeywords);
        bool candidate = std::find(candidates.begin(), candidates.end(), n) != candidates.end();
        ASSERT_EQ(matcher.Includes(n, checks[n].And), include) << "round " << round << " text '" << text << "'";
        ASSERT_EQ(matcher.Excludes(n), MatchKeywords(text, 0, checks[n].ExcludeKeywords)) << text;
        if (include) {
          ASSERT_TRUE(candidate) << "a check that passes is always a candidate";
        }
      }
    }
  }
}

}  // namespace
}  // namespace vlzt
