// Words of a command line: the parser, the line reader, word access past the end, the
// checked integer and number readers on hostile words, text utilities, quotes, delimited
// sections and string variables.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "shell/fatal.h"
#include "shell/words.h"
#include "support/test_support.h"

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

TEST_F(Words, HostileWordsThroughTheCheckedIntegerReader) {
  // Every word is used as typed or refused with a message naming it: nothing wraps to
  // another count and no value outside the range is ever converted.
  struct Case {
    const char* word;
    long lo, hi;
    const char* message;  // "" when the word is used; value then holds what it reads as
    long value;
  };
  const Case cases[] = {
      {"0", 1, kCountLimit, "in mock1, 0 is not a usable number of sources (1 to 100000000)", 0},
      {"0", -kCountLimit, kCountLimit, "", 0},
      {"-1", 1, kCountLimit, "in mock1, -1 is not a usable number of sources (1 to 100000000)", 0},
      {"-1", -kCountLimit, kCountLimit, "", -1},
      {"2147483648", -kIntWordLimit, kIntWordLimit,
       "in mock1, 2147483648 is not a usable number of sources (-2147483647 to 2147483647)", 0},
      {"-2147483648", -kIntWordLimit, kIntWordLimit,
       "in mock1, -2147483648 is not a usable number of sources (-2147483647 to 2147483647)", 0},
      {"4294967298", 1, kCountLimit, "in mock1, 4294967298 is not a usable number of sources (1 to 100000000)", 0},
      {"1e12", 1, kCountLimit, "in mock1, 1e12 is not a usable number of sources (1 to 100000000)", 0},
      {"-1e12", -kCountLimit, kCountLimit,
       "in mock1, -1e12 is not a usable number of sources (-100000000 to 100000000)", 0},
      {"1e308", -kLongWordLimit, kLongWordLimit,
       "in mock1, 1e308 is not a usable number of sources (-9200000000000000000 to 9200000000000000000)", 0},
      {"nan", -kCountLimit, kCountLimit, "mock1: nan is not a finite number", 0},
      {"inf", -kCountLimit, kCountLimit, "mock1: inf is not a finite number", 0},
      {"abc", -kCountLimit, kCountLimit, "in mock1, abc is not a number", 0},
      {"1e", -kCountLimit, kCountLimit, "in mock1, 1e is not a number", 0},
      {"0x10", -kCountLimit, kCountLimit, "in mock1, 0x10 is not a number", 0},
      {"5abc", -kCountLimit, kCountLimit, "in mock1, 5abc is not a number", 0},
      // The integer rule is kept: a value a hair below an integer is that integer, any
      // other fraction is cut, and the ends of the range are usable.
      {"2.9999999", 1, kCountLimit, "", 3},
      {"2.5", 1, kCountLimit, "", 2},
      {"1e8", 1, kCountLimit, "", 100000000},
      {"100000000.5", 1, kCountLimit, "in mock1, 100000000.5 is not a usable number of sources (1 to 100000000)", 0},
      {"-2147483647", -kIntWordLimit, kIntWordLimit, "", -2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    long got = 0;
    const std::string m =
        fatal_message([&] { got = usable_integer("mock1", c.word, "number of sources", c.lo, c.hi); });
    if (*c.message) {
      EXPECT_EQ(m, c.message);
    } else {
      EXPECT_EQ(m, "(no error)");
      EXPECT_EQ(got, c.value);
    }
  }
  EXPECT_EQ(fatal_of([] { usable_integer("mock1", "abc", "count", 1, 2); }).status, kErrorExitStatus);
}

TEST_F(Words, NumbersAreWholeDecimalWordsUnderTheRunningCommand) {
  const CommandScope scope("findimg");
  struct Case {
    const char* word;
    double value;  // NaN: refused
  };
  const double no = std::nan("");
  const Case cases[] = {{"1.5", 1.5},   {"-2e3", -2000}, {"+.5", 0.5}, {"", 0},         {"#", 0},
                        {"abc", no},    {"1e", no},      {"1.5.", no}, {"0x10", no},    {"0X1p3", no},
                        {"1,5", no},    {"3d", no}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    const WordArray w({"findimg", c.word});
    double v = 0;
    const std::string m = fatal_message([&] { v = w.real(1); });
    if (std::isnan(c.value))
      EXPECT_EQ(m, std::string("in findimg, ") + c.word + " is not a number");
    else
      EXPECT_EQ(v, c.value);
    // The test of a word agrees with its reading (it took 0x10 for 16). Empty and comment
    // words read as 0 but are no numbers.
    double p = 0;
    const bool read = parse_real(c.word, p);
    EXPECT_EQ(read, !std::isnan(c.value) && *c.word != '\0' && *c.word != '#');
    EXPECT_EQ(w.is_number(1), read);
    if (read) {
      EXPECT_EQ(p, c.value);
    }
  }
  // nan and inf stay numbers for real values; readers that need a finite one refuse them.
  EXPECT_TRUE(std::isnan(WordArray({"x", "nan"}).real(1)));
  EXPECT_TRUE(std::isinf(WordArray({"x", "-inf"}).real(1)));
  EXPECT_EQ(fatal_message([] { WordArray({"x", "inf"}).finite(1, "findimg"); }), "findimg: inf is not a finite number");
  // The running command names the refusal and is restored when its scope ends.
  {
    const CommandScope inner("data");
    EXPECT_EQ(fatal_message([] { WordArray({"1", "2x"}).real(1); }), "in data, 2x is not a number");
  }
  EXPECT_EQ(current_command(), "findimg");
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
