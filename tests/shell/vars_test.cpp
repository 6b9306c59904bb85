// Settings variables: the integer reading rule, out-of-range integers, and the messages and
// descriptions of setting and creating variables.

#include <gtest/gtest.h>

#include "shell/fatal.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {
class Vars : public ::testing::Test {
 protected:
  void SetUp() override {
    InitVars();
    quietflag = 0;
  }
};
}  // namespace

TEST_F(Vars, IntegerReadingFollowsTheProgramRule) {
  struct Case {
    double value;
    long expected;
    bool warns;
  };
  // Exact integers read as themselves, however large; others by the truncation rule.
  const std::vector<Case> cases = {
      {-15, -15, false},     {2.5, 2, true},          {2.9999999, 3, false}, {2.99999, 2, true},
      {1000001, 1000001, false}, {-123456789, -123456789, false}, {2000000, 2000000, false},
  };
  for (const auto& c : cases) {
    AddVar("v", 0, "", c.value);
    CaptureOutput out;
    EXPECT_EQ(GetVarL("v"), c.expected) << c.value;
    EXPECT_EQ(out.text().find("should be a long integer") != std::string::npos, c.warns) << c.value;
    InitVars();
  }
}

TEST_F(Vars, OutOfRangeIntegerEndsWithAnErrorNamingTheVariable) {
  AddVar("ngrid1", 0, "", 3e10);
  try {
    GetVarI("ngrid1");
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_NE(e.message.find("ngrid1"), std::string::npos);
  }
}

TEST_F(Vars, MessagesAndDescriptions) {
  CaptureOutput out;
  AddVar("a", 0, " ", 1);
  AddVar("b", 0, "ab", 1);
  SetVar("a", 1, 5);
  SetVar("new", 1, 3);
  EXPECT_EQ(out.text(), "Setting a = 5.000000e+00\nCreating new = 3.000000e+00 \n");
  EXPECT_EQ(varlist()[0].description, "");
  EXPECT_EQ(varlist()[1].description, "[ab]");
  quietflag = 1;
  SetVar("a", 1, 6);
  SetVar("other", 1, 6);
  EXPECT_EQ(out.text(), "Setting a = 5.000000e+00\nCreating new = 3.000000e+00 \n");
  EXPECT_EQ(GetVar("a"), 6);
  EXPECT_EQ(GetVar("missing"), 0);
  EXPECT_NE(out.text().find("WARNING: GetVar -- could not find missing"), std::string::npos);
  quietflag = 0;
}
