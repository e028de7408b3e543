// tests/monitors/keywords_test.cpp
#include "monitors/keywords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/vlZTREG.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

std::vector<std::string> Parts(const KeywordPhrase& phrase) {
  std::vector<std::string> out;
  for (const KeywordPart& part : phrase.Parts()) out.push_back(part.Text());
  return out;
}

std::vector<std::string> Split(const std::string& value) {
  KeywordPhrase phrase;
  EXPECT_EQ(SplitAnds(value, phrase), 1);
  return Parts(phrase);
}

KeywordList MakeList(const std::vector<std::string>& values) {
  KeywordList list;
  for (const std::string& value : values) {
    list.Phrases.emplace_back();
    SplitAnds(value, list.Phrases.back());
  }
  return list;
}

using Strings = std::vector<std::string>;

TEST(SplitAnds, SeparatesPartsAsConfigured) {
  struct Case {
    std::string value;
    Strings parts;
  };
  const std::vector<Case> cases = {
      {"disk [AND] full", {"disk", "full"}},
      {"Disk [and] FULL", {"Disk", "FULL"}},
      {"a [aNd] b [AnD] c", {"a", "b", "c"}},
      {"error [AND]", {"error", ""}},
      {"error [AND] ", {"error", ""}},
      {"", {""}},
      {"just one phrase", {"just one phrase"}},
      // The separator needs its leading blank.
      {"disk[AND]full", {"disk[AND]full"}},
      {"disk [AND]full", {"disk", "full"}},
      // Before "[" the separator's own blank and one more go; after "]" one blank goes.
      {"disk  [AND]  full", {"disk", " full"}},
      {"disk   [AND]   full", {"disk ", "  full"}},
      // Only separators.
      {" [AND]", {"", ""}},
      {" [AND] ", {"", ""}},
      {" [AND]  [AND]  [AND] ", {"", "", "", ""}},
      // The blank after a separator is consumed, so it cannot start the next one.
      {"a [AND] [AND] b", {"a", "[AND] b"}},
      {"a [AND]  [AND] b", {"a", "", "b"}},
      // Incomplete separators are text.
      {"x [AND", {"x [AND"}},
      {"x [AN] y", {"x [AN] y"}},
      {"x [ AND ] y", {"x [ AND ] y"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.value), c.parts) << "value '" << c.value << "'";
}

TEST(SplitAnds, CutsLongPartsAndReplacesEarlierParts) {
  std::string longPart(300, 'x');
  KeywordPhrase phrase;
  ASSERT_EQ(SplitAnds("old [AND] parts", phrase), 1);
  ASSERT_EQ(SplitAnds(longPart + " [AND] y", phrase), 1);
  EXPECT_EQ(Parts(phrase), (Strings{std::string(kMaxKeywordPartLength, 'x'), "y"}));
}

TEST(MatchKeywords, FollowsTheRule) {
  struct Case {
    Strings phrases;
    int all;
    std::string text;
    int expected;
  };
  const std::vector<Case> cases = {
      {{"Disk [and] FULL"}, 0, "the disk is full", 1},
      {{"Disk [and] FULL"}, 0, "FULL: disk", 1},
      {{"Disk [and] FULL"}, 0, "disk error", 0},
      {{"timeout", "retry"}, 1, "retry after timeout", 1},
      {{"timeout", "retry"}, 1, "timeout", 0},
      {{"timeout", "retry"}, 0, "timeout", 1},
      {{"timeout", "retry"}, 0, "all is well", 0},
      {{"error [AND]"}, 0, "an ERROR occurred", 1},
      {{"error [AND]"}, 0, "er", 0},
      // An empty part occurs in every non-empty text, and nothing in an empty one.
      {{""}, 0, "x", 1},
      {{""}, 1, "x", 1},
      {{""}, 0, "", 0},
      {{""}, 1, "", 0},
      {{" [AND] "}, 0, " ", 1},
      // Every part is searched from the start: overlap and any order are fine.
      {{"abcab [AND] bcabc"}, 0, "xABCABCx", 1},
      {{"world [AND] hello"}, 0, "Hello World", 1},
      {{"aa [AND] aa"}, 0, "aa", 1},
      {{"abc"}, 0, "ab bc", 0},  // every letter pair is there, the part is not
      {{"x"}, 0, "XYZ", 1},
      {{"x"}, 0, "abc", 0},
      {{"longer than the text"}, 0, "short", 0},
      {{"line end\n"}, 0, "the LINE END\n", 1},
      // Only ASCII letters fold; other bytes compare exactly.
      {{"caf\xC3\xA9 [AND] OPEN"}, 0, "CAF\xC3\xA9 is open", 1},
      {{"caf\xC3\xA9"}, 0, "CAF\xC3\x89", 0},
      {{"[AND]"}, 0, "literal [and] here", 1},
      // All mode stops at the first miss, any mode at the first hit.
      {{"a", "b", "c"}, 1, "c b a", 1},
      {{"a", "b", "zz"}, 1, "c b a", 0},
      {{"zz", "yy", "a"}, 0, "c b a", 1},
  };
  for (const Case& c : cases) {
    KeywordList list = MakeList(c.phrases);
    EXPECT_EQ(MatchKeywords(c.text, c.all, list), c.expected)
        << "text '" << c.text << "' all " << c.all << " first phrase '" << c.phrases[0] << "'";
    FoldedText folded(c.text);
    EXPECT_EQ(MatchKeywords(folded, c.all, list), c.expected) << "folded: '" << c.text << "'";
  }
}

// Plain reading of the rule, to compare the fast paths with.
int NaiveMatch(std::string text, int all, const Strings& phrases) {
  auto lower = [](std::string t) {
    for (char& c : t)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return t;
  };
  text = lower(text);
  if (phrases.empty() || text.empty()) return 0;
  for (const std::string& value : phrases) {
    bool matches = true;
    for (const std::string& part : Split(value))
      matches = matches && text.find(lower(part)) != std::string::npos;
    if (all != matches) return matches ? 1 : 0;
  }
  return all ? 1 : 0;
}

TEST(MatchKeywords, OneTextAgainstManyListsAgreesWithTheRule) {
  // Enough lists per text that the letter-pair summary comes into play.
  const std::vector<Strings> lists = {
      {"disk [AND] full"}, {"timeout", "retry"}, {"link is down"}, {"eth1 [AND] down"},
      {"user=root [AND] failure"}, {"ab"}, {"ba"}, {"abc"}, {"x [AND] yz"}, {""},
      {"full [AND] disk [AND] sda"}, {"DOWN"}, {"retry after"}, {"1 [and] 2 [and] 3"},
  };
  const Strings texts = {
      "Mar  5 12:00:01 host kernel: eth1: link is down",
      "the disk /dev/sda is 97% FULL, retry after timeout",
      "authentication failure; user=root",
      "ab bc", "ba", "zyx", "123", "x", "",
  };
  FoldedText shared;
  for (const std::string& text : texts) {
    shared.Assign(text);
    for (int round = 0; round < 2; ++round)
      for (const Strings& phrases : lists) {
        KeywordList list = MakeList(phrases);
        for (int all : {0, 1})
          EXPECT_EQ(MatchKeywords(shared, all, list), NaiveMatch(text, all, phrases))
              << "text '" << text << "' all " << all << " first phrase '" << phrases[0] << "'";
      }
  }
}

TEST(MatchKeywords, EmptyListNeverMatches) {
  KeywordList empty;
  for (int all : {0, 1}) {
    EXPECT_EQ(MatchKeywords("anything", all, empty), 0);
    EXPECT_EQ(MatchKeywords("", all, empty), 0);
  }
}

TEST(MatchKeywords, LongPartsAndTexts) {
  std::string part(kMaxKeywordPartLength, 'q');
  part[100] = 'Z';
  std::string text = std::string(5000, 'q') + part + "tail";
  KeywordList list = MakeList({part});
  EXPECT_EQ(MatchKeywords(text, 0, list), 1);
  text[5000 + 100] = 'y';
  EXPECT_EQ(MatchKeywords(text, 0, list), 0);
}

TEST(MatchKeywords, ReusedFoldedTextForgetsTheEarlierText) {
  KeywordList full = MakeList({"full"});
  KeywordList disk = MakeList({"DISK"});
  FoldedText folded("the disk is FULL, very full");
  EXPECT_EQ(MatchKeywords(folded, 0, full), 1);
  folded.Assign("Disk");
  EXPECT_EQ(folded.View(), "disk");
  EXPECT_EQ(MatchKeywords(folded, 0, full), 0);
  EXPECT_EQ(MatchKeywords(folded, 0, disk), 1);
  folded.Assign("");
  EXPECT_EQ(MatchKeywords(folded, 0, disk), 0);
  // The plain form reuses one buffer per thread the same way.
  EXPECT_EQ(MatchKeywords("a long text that is quite full", 0, full), 1);
  EXPECT_EQ(MatchKeywords("ful", 0, full), 0);
}

TEST(FreeKeywords, EmptiesTheList) {
  KeywordList list = MakeList({"a [AND] b", "c"});
  FreeKeywords(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(MatchKeywords("a b c", 0, list), 0);
  FreeKeywords(list);  // twice is harmless
  EXPECT_TRUE(list.empty());
}

class LoadKeywordsTest : public testing::TestRoot {
 protected:
  const std::string key = std::string(kLogsKey) + "\\Log1";
  void Put(const std::string& name, const std::string& value) {
    ASSERT_EQ(vlZTREG_WriteString(key, name, value), 0);
  }
  static Strings Phrases(const KeywordList& list) {
    Strings out;
    for (const KeywordPhrase& phrase : list.Phrases) {
      std::string joined;
      for (const KeywordPart& part : phrase.Parts()) joined += (joined.empty() ? "" : "|") + part.Text();
      out.push_back(joined);
    }
    return out;
  }
};

TEST_F(LoadKeywordsTest, ReadsNumberedValuesInOrderUpToTheFirstMissing) {
  Put("KeyWordInclude1", "disk [AND] full");  // value names ignore letter case
  Put("KeywordInclude2", "");
  Put("KeywordInclude3", "timeout");
  Put("KeywordInclude5", "after the gap");
  Put("KeywordExclude1", "ignored");
  KeywordList list = MakeList({"left over"});
  EXPECT_EQ(LoadKeywords("Log1", "KeywordInclude", list), 3);
  EXPECT_EQ(Phrases(list), (Strings{"disk|full", "", "timeout"}));
}

TEST_F(LoadKeywordsTest, MissingFirstValueGivesAnEmptyList) {
  Put("KeywordInclude2", "second");
  KeywordList list = MakeList({"left over"});
  EXPECT_EQ(LoadKeywords("Log1", "KeywordInclude", list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(LoadKeywords("Log7", "KeywordInclude", list), 0);  // no such key
  EXPECT_TRUE(list.empty());
}

TEST_F(LoadKeywordsTest, ValueOfAnotherTypeEndsTheList) {
  Put("KeywordInclude1", "first");
  ASSERT_EQ(vlZTREG_WriteNumber(key, "KeywordInclude2", 7), 0);
  Put("KeywordInclude3", "third");
  KeywordList list;
  EXPECT_EQ(LoadKeywords("Log1", "KeywordInclude", list), 1);
  EXPECT_EQ(Phrases(list), (Strings{"first"}));
}

TEST_F(LoadKeywordsTest, LongValuesAreCutLikeTheRegistryRead) {
  // 300 characters; the read keeps 259, so the second part loses all but two letters.
  Put("KeywordInclude1", std::string(250, 'a') + " [AND] " + std::string(43, 'b'));
  // One part of 259 characters is kept to 255.
  Put("KeywordInclude2", std::string(400, 'c'));
  KeywordList list;
  ASSERT_EQ(LoadKeywords("Log1", "KeywordInclude", list), 2);
  EXPECT_EQ(Phrases(list), (Strings{std::string(250, 'a') + "|bb", std::string(255, 'c')}));
  EXPECT_EQ(MatchKeywords(std::string(250, 'A') + " BB", 0, list), 1);
}

TEST_F(LoadKeywordsTest, ExpandableTextsAreReadAsStored) {
  ASSERT_EQ(platform::RegPutValue(platform::HKEY_LOCAL_MACHINE, key, "KeywordInclude1",
                                  platform::REG_EXPAND_SZ, platform::RegStringData("%PATH%")),
            0);
  KeywordList list;
  ASSERT_EQ(LoadKeywords("Log1", "KeywordInclude", list), 1);
  EXPECT_EQ(Phrases(list), (Strings{"%PATH%"}));
}

}  // namespace
}  // namespace vlzt
