#include <gtest/gtest.h>

#include <string>

#include "shell/commands.h"

namespace {
std::string calls;
void first(const WordArray& w) { calls += "first(" + w[1] + ") "; }
void second(const WordArray& w) { calls += "second(" + w[1] + ") "; }
void third(const WordArray&) { calls += "third "; }
void nohelp(int) {}
}  // namespace

TEST(Commands, EveryEntryOfANameRunsInRegistrationOrder) {
  InitCmds();
  AddCmd("x", first, nohelp);
  AddCmd("y", third, nohelp);
  AddCmd("x", second, nohelp);
  calls.clear();
  DoCmd("x", WordArray({"x", "arg"}));
  EXPECT_EQ(calls, "first(arg) second(arg) ");

  // Names match exactly and case-sensitively; an empty line matches nothing.
  calls.clear();
  DoCmd("X", WordArray({"X"}));
  DoCmd("", WordArray());
  DoCmd("xx", WordArray({"xx"}));
  EXPECT_EQ(calls, "");

  // SetCmd replaces the first entry of a name, or appends when there is none.
  SetCmd("x", third, nohelp);
  SetCmd("z", first, nohelp);
  calls.clear();
  DoCmd("x", WordArray({"x", "a"}));
  DoCmd("z", WordArray({"z", "b"}));
  EXPECT_EQ(calls, "third second(a) first(b) ");
  ASSERT_EQ(cmdlist().size(), 4u);
  EXPECT_EQ(cmdlist()[3].name, "z");
  InitCmds();
}
