#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "shell/commands.h"
#include "shell/fatal.h"
#include "support/test_support.h"

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

namespace {
void refresh_a() { calls += "a "; }
void refresh_b() { calls += "b "; }
}  // namespace

TEST(Commands, SettingsRefreshRunsItsHooksInRegistrationOrder) {
  InitRefreshHooks();
  AddRefreshHook(refresh_b);
  AddRefreshHook(refresh_a);
  AddRefreshHook(refresh_b);
  calls.clear();
  SetGlob();
  SetGlob();
  EXPECT_EQ(calls, "b a b b a b ");
  // A new start-up begins with no hooks.
  InitRefreshHooks();
  calls.clear();
  SetGlob();
  EXPECT_EQ(calls, "");
}

namespace {
RepeatedMessage noisy;
void noisy_command(const WordArray& w) {
  for (int k = 0; k < std::stoi(w[1]); ++k)
    if (noisy.first()) noisy.warn("step " + std::to_string(k) + " is noisy");
}
}  // namespace

// A warning that repeats inside one command prints once, and the end of the command
// gives its count; the next command starts afresh.
TEST(Commands, RepeatedWarningsPrintOncePerCommand) {
  InitCmds();
  AddCmd("noisy", noisy_command, nohelp);
  std::string script = "noisy 3\nnoisy 1\nnoisy 2\n";
  FILE* in = fmemopen(script.data(), script.size(), "r");
  ASSERT_NE(in, nullptr);
  FILE* saved_in = QVMstdin;
  const int saved_quiet = quietflag;
  QVMstdin = in;
  quietflag = 1;
  std::string text;
  {
    CaptureOutput out;
    cmdloop();
    // Only the command's lines (the parser warns about quote variables this test leaves unset).
    std::istringstream all(out.text());
    for (std::string line; std::getline(all, line);)
      if (line.find("noisy") != std::string::npos) text += line + "\n";
  }
  QVMstdin = saved_in;
  quietflag = saved_quiet;
  std::fclose(in);
  InitCmds();
  EXPECT_EQ(text,
            "WARNING: step 0 is noisy\n"
            "WARNING: step 0 is noisy (printed once; 3 times in all)\n"
            "WARNING: step 0 is noisy\n"
            "WARNING: step 0 is noisy\n"
            "WARNING: step 0 is noisy (printed once; 2 times in all)\n");
}
