// The argument checks of the commands: step counts, counts read as the command reads them,
// and range and type checks, with the warnings they print.

#include "shell/argcheck.h"

#include <gtest/gtest.h>

#include <functional>

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
      // A word that is an integer too large for a count, or no finite number, says so.
      {"1e12", 2, 0, 0, "WARNING: argument 'x steps' is out of range.\n"},
      {"2147483648", 2, 0, 0, "WARNING: argument 'x steps' is out of range.\n"},
      {"-2147483649", 2, 1, 0, "WARNING: argument 'x steps' is out of range.\n"},
      {"nan", 2, 0, 0, "WARNING: argument 'x steps' is not a finite number.\n"},
      {"1e400", 2, 0, 0, "WARNING: argument 'x steps' is not a finite number.\n"},
      {"-inf", 2, 1, 0, "WARNING: argument 'x steps' is not a finite number.\n"},
      {"1.5.2", 2, 0, 0,
       "WARNING: argument 'x steps' should be an integer.\n         It is the number of steps, not the step size.\n"},
      {"2147483647", 2, 0, 1, ""},
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

// In a script every refusal ends the program with its text as the ERROR; nothing is
// printed before it.
TEST(Checks, RefusalsEndAScript) {
  const int saved = scriptflag;
  scriptflag = 1;
  const struct {
    std::function<int()> check;
    const char* message;
  } cases[] = {
      {[] { return checksteps("2147483648", "u steps", 1, 1); }, "argument 'u steps' is out of range."},
      {[] { return checksteps("0", "steps", 1, 1); }, "steps cannot be 0."},
      {[] { return checkint("nan", "bootstraps"); }, "argument 'bootstraps' is not a finite number."},
      {[] { return checkint("1.5.2", "n"); }, "argument 'n' should be an integer."},
      {[] { return checktype("4.5", "outtype"); }, "argument 'outtype' should be an integer."},
      {[] { return checktype("9", "outtype"); },
       "argument outtype=9 is larger than the\n         maximum allowed value (4)."},
      {[] {
         warn_log_range();
         return 0;
       },
       "cannot use logarithmic spacing with a\n         negative parameter range."},
  };
  for (const auto& c : cases) {
    CaptureOutput out;
    EXPECT_EQ(fatal_message(c.check), c.message);
    EXPECT_EQ(out.text(), "");
  }
  // Words that pass are passed as at a terminal.
  EXPECT_EQ(checksteps("-3", "steps", 1, 1), 1);
  scriptflag = saved;
}
