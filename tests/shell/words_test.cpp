#include <gtest/gtest.h>

#include <cstdio>

#include "shell/words.h"

namespace {
class Words : public ::testing::Test {
 protected:
  void SetUp() override { InitStrings(); }
};

std::vector<std::string> parse(std::string line, int* result = nullptr) {
  WordArray w;
  const int r = strparse(line, w);
  if (result) *result = r;
  return w.words();
}
}  // namespace

TEST_F(Words, ParserSplitsOnBlanksTabsQuotesAndComments) {
  struct Case {
    std::string line;
    std::vector<std::string> words;
    int result;  // 0 exactly when word 0 is the comment marker
  };
  const std::vector<Case> cases = {
      {"", {}, 1},
      {"   ", {}, 1},
      {"a  b\tc", {"a", "b", "c"}, 1},
      {"#note", {"#", "note"}, 0},
      {"x#y", {"x#", "y"}, 1},
      {"say 'a b' c", {"say", "'a b'", "c"}, 1},
      {"say \\'a b' c", {"say", "\\'a", "b' c"}, 1},
      {"say `a b` c", {"say", "`a b`", "c"}, 1},
      {"1 2 'open #", {"1", "2", "'open # "}, 1},
      {"set x 5 # note", {"set", "x", "5", "#", "note"}, 1},
  };
  for (const auto& c : cases) {
    int r;
    EXPECT_EQ(parse(c.line, &r), c.words) << c.line;
    EXPECT_EQ(r != 0, c.result != 0) << c.line;
  }
}

TEST_F(Words, LongLinesAndWordsAreKeptWhole) {
  const std::string word(5000, 'w');
  std::string line;
  for (int i = 0; i < 300; ++i) line += word.substr(0, 10) + "\t";
  line += word;
  const auto w = parse(line);
  ASSERT_EQ(w.size(), 301u);
  EXPECT_EQ(w.back(), word);
}

TEST_F(Words, LineReaderSkipsBlankAndCommentLinesAndAppendsTheMarker) {
  FILE* f = std::tmpfile();
  std::fputs("\n# comment\n1 2 3\n1 2 # note\n", f);
  std::rewind(f);
  WordArray w;
  ASSERT_EQ(myread(f, w), 1);
  EXPECT_EQ(w.count(), 4);
  EXPECT_EQ(w.own_count(), 3);
  EXPECT_EQ(w[3], "#");
  ASSERT_EQ(myread(f, w), 1);
  EXPECT_EQ(w.count(), 5);
  EXPECT_EQ(w.own_count(), 2);
  EXPECT_EQ(myread(f, w), 0);
  std::fclose(f);
}

TEST_F(Words, WordAccessPastTheEndIsEmptyAndReadsZero) {
  WordArray w({"set", "3.5"});
  EXPECT_EQ(w[2], "");
  EXPECT_EQ(w[-1], "");
  EXPECT_EQ(w.real(5), 0.0);
  EXPECT_EQ(w.real(1), 3.5);
  EXPECT_TRUE(w.is_number(1));
  EXPECT_FALSE(w.is_number(0));
  EXPECT_FALSE(WordArray({"nan"}).is_number(0));
}

TEST_F(Words, TextUtilities) {
  std::string t = "abcabc";
  replace(t, "b", "X", 0, 0);
  EXPECT_EQ(t, "aXcabc");
  t = "a'b'b";
  replace(t, "b", "X", 1, 1);
  EXPECT_EQ(t, "a'b'X");

  struct Snr {
    std::string in, out;
  };
  for (const Snr& c : std::vector<Snr>{{"abcabc:b:X", "aXcaXc"}, {"abcabc:s:b:X", "aXcabc"},
                                       {"abcabc:gs:b:X", "aXcaXc"}, {"abc:b", "abc:b"}}) {
    std::string s = c.in;
    CheckSnR(s);
    EXPECT_EQ(s, c.out) << c.in;
  }

  EXPECT_EQ(compare(2, {"findimg", "2"}, 1, {"find"}), 1);
  EXPECT_EQ(compare(2, {"findimg", "2"}, 3, {"f", "2", "x"}), 0);
  EXPECT_EQ(CheckConditional(WordArray({"a", "b", "==", "a", "b"})), 1);
  EXPECT_EQ(CheckConditional(WordArray({"a", "==", "b"})), 0);

  std::string r = "  a b  ";
  rmspace(r);
  EXPECT_EQ(r, "a b");

  WordArray w({"set", "x=5"});
  SplitEquals(w);
  EXPECT_EQ(w.words(), (std::vector<std::string>{"set", "x", "5"}));
}

TEST_F(Words, QuoteStateAndQuoteRemoval) {
  struct State {
    std::string text;
    int with_backquotes, expected;
  };
  // The state in front of the end of the text: 0 outside, 1 inside a quote (at any level),
  // 2 inside backquotes only; an escaped quote does not count.
  for (const State& c : std::vector<State>{{"a 'b", 1, 1},
                                           {"a 'b' c", 1, 0},
                                           {"`x", 1, 2},
                                           {"`x", 0, 0},
                                           {"`x'y", 1, 1},
                                           {"'x`y", 1, 1},
                                           {"`x'y'", 1, 2},
                                           {"\\'x", 1, 0},
                                           {"''", 1, 0}}) {
    EXPECT_EQ(IsInQuotes(c.text, static_cast<int>(c.text.size()), c.with_backquotes), c.expected) << c.text;
  }
  EXPECT_EQ(IsInQuotes("'abc", 0, 1), 0);

  struct Removal {
    std::string in, out;
  };
  for (const Removal& c : std::vector<Removal>{{"'a b'", "a b"},
                                               {"\\'x", "'x"},
                                               {"'a`b`c'", "a`b`c"},
                                               {"x'", "x"},
                                               {"say 'hi' now", "say hi now"}}) {
    std::string t = c.in;
    RemoveQuotes(t);
    EXPECT_EQ(t, c.out) << c.in;
  }
}

TEST_F(Words, DelimitedSectionsAreRewrittenInPlace) {
  struct Case {
    std::string line;
    int status_of_rewrite;
    std::string out;
    int result;
  };
  // The rewrite wraps each section in <>; inner pairs are treated first.
  static int status;
  const SectionRewrite wrap = [](std::string& text, WordArray&) {
    text = "<" + text + ">";
    return status;
  };
  for (const Case& c : std::vector<Case>{{"p{ab}q r{}s", 1, "p<ab>q r<>s", 1},
                                         {"a{b{c}d}", 2, "a<b<c>d>", 2},
                                         {"ab{", 1, "ab", 0},
                                         {"x{open", 1, "x<open>", 1},
                                         {"'{x}' {y}", -1, "'{x}' <y>", -1},
                                         {"none here", 1, "none here", 0}}) {
    status = c.status_of_rewrite;
    std::string line = c.line;
    WordArray w;
    EXPECT_EQ(ReplaceDelimited(line, '{', '}', wrap, w), c.result) << c.line;
    EXPECT_EQ(line, c.out) << c.line;
  }
}

TEST_F(Words, StringVariablesAndCommentOnlyFiles) {
  EXPECT_EQ(GetString("_PROMPT"), ">");
  EXPECT_EQ(GetString("_COMMENT"), "#");
  EXPECT_EQ(GetString("_QUOTE"), "'");
  EXPECT_EQ(GetString("_BACKQUOTE"), "`");
  EXPECT_EQ(GetString("_SLASH"), "/");

  FILE* f = std::tmpfile();
  std::fputs("# only\n\n   \n#another\n", f);
  std::rewind(f);
  WordArray w({"kept"});
  EXPECT_EQ(myread(f, w), 0);
  EXPECT_EQ(w.words(), std::vector<std::string>{"kept"});
  std::fclose(f);
}
