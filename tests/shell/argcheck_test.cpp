// The argument checks of the commands: step counts, counts read as the command reads them,
// and range and type checks, with the warnings they print.

#include <gtest/gtest.h>

#include "shell/argcheck.h"
#include "shell/fatal.h"
#include "support/test_support.h"

TEST(Checks, StepCountsWarnAsTheCommandsExpect) {
  struct Case {
    const char* word;
    int minimum, allowNegative, result;
    const char* text;
  };
  const Case cases[] = {
      {"0", 1, 1, 0, "WARNING: x steps cannot be 0.\n"},
      {"-5", 1, 1, 1, ""},
      {"-5", 1, 0, 0, "WARNING: x steps cannot be negative\n         (logarithmic steps not allowed here).\n"},
      {"2.5", 1, 1, 0,
       "WARNING: argument 'x steps' should be an integer.\n         It is the number of steps, not the step size.\n"},
      {"1", 2, 0, 0, "WARNING: x steps=1 is smaller than\n         the minimum allowed number (2).\n"},
      {"-1", 2, 1, 0, "WARNING: x steps=1 is smaller than\n         the minimum allowed number (2).\n"},
      {"3.0", 2, 0, 1, ""},
      {"1e3", 2, 0, 1, ""},
      {"2000000", 2, 0, 1, ""},
      {"1e12", 2, 0, 0,
       "WARNING: argument 'x steps' should be an integer.\n         It is the number of steps, not the step size.\n"},
  };
  for (const Case& c : cases) {
    CaptureOutput out;
    EXPECT_EQ(checksteps(c.word, "x steps", c.minimum, c.allowNegative), c.result) << c.word;
    EXPECT_EQ(out.text(), c.text) << c.word;
  }
}

TEST(Checks, CountIsTheNumberTheWordStandsFor) {
  // The check and the command read a count the same way: an exponent is not cut off and
  // a value a hair below an integer is that integer.
  EXPECT_EQ(word_integer("1e3"), 1000);
  EXPECT_EQ(word_integer("3.0"), 3);
  EXPECT_EQ(word_integer("2.9999999"), 3);
  EXPECT_EQ(word_integer("-20"), -20);
  // A word that is no number is refused rather than read as 0.
  EXPECT_THROW(word_integer("abc"), FatalError);
  EXPECT_EQ(docheckint("1.00001"), 1);
  EXPECT_EQ(docheckint("1.001"), 0);
  EXPECT_EQ(docheckint("1e6"), 1);
}

TEST(Checks, RangeAndTypeChecks) {
  {
    CaptureOutput out;
    EXPECT_EQ(checktype("5", "outtype"), 0);
    EXPECT_EQ(out.text(), "WARNING: argument outtype=5 is larger than the\n         maximum allowed value (4).\n");
  }
  {
    CaptureOutput out;
    EXPECT_EQ(checktype("0", "outtype"), 0);
    EXPECT_EQ(out.text(), "WARNING: argument outtype=0 is smaller than the\n         minimum allowed value (1).\n");
  }
  {
    CaptureOutput out;
    EXPECT_EQ(checkint2("7", "Nover", 1, 99999), 1);
    EXPECT_EQ(checktype("3", "outtype"), 1);
    EXPECT_EQ(checkint("12", "n"), 1);
    EXPECT_EQ(out.text(), "");
  }
  {
    CaptureOutput out;
    EXPECT_EQ(checkint("1.5", "n"), 0);
    EXPECT_EQ(checkint2("1.5", "Nover", 1, 9), 0);
    EXPECT_EQ(out.text(),
              "WARNING: argument 'n' should be an integer.\n"
              "WARNING: argument 'Nover' should be an integer.\n");
  }
}
