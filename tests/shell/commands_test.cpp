// The command table: entries run in registration order, settings-refresh hooks, warnings
// that repeat inside one command, the word check of a line, and the help layouts.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "shell/commands.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace {
std::string calls;
void first(const WordArray& w) { calls += "first(" + w[1] + ") "; }
void second(const WordArray& w) { calls += "second(" + w[1] + ") "; }
void third(const WordArray&) { calls += "third "; }
const CommandSpec kX1("x", first, nullptr, 0, "", {});
const CommandSpec kY("y", third, nullptr, 0, "", {});
const CommandSpec kX2("x", second, nullptr, 0, "", {});
const CommandSpec kX3("x", third, nullptr, 0, "", {});
const CommandSpec kZ("z", first, nullptr, 0, "", {});
}  // namespace

TEST(Commands, EveryEntryOfANameRunsInRegistrationOrder) {
  InitCmds();
  AddCmd(kX1);
  AddCmd(kY);
  AddCmd(kX2);
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
  SetCmd(kX3);
  SetCmd(kZ);
  calls.clear();
  DoCmd("x", WordArray({"x", "a"}));
  DoCmd("z", WordArray({"z", "b"}));
  EXPECT_EQ(calls, "third second(a) first(b) ");
  ASSERT_EQ(cmdlist().size(), 4u);
  EXPECT_STREQ(cmdlist()[3]->name, "z");
  // The index follows the table: both rows of x in table order, the replaced one gone.
  EXPECT_EQ(commands_named("x"), (std::vector<const CommandSpec*>{&kX3, &kX2}));
  EXPECT_EQ(commands_named("y"), std::vector<const CommandSpec*>{&kY});
  // A new start-up forgets every name.
  InitCmds();
  EXPECT_TRUE(commands_named("x").empty());
  calls.clear();
  EXPECT_EQ(DoCmd("x", WordArray({"x", "a"})), 0);
  EXPECT_EQ(calls, "");
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
  static const CommandSpec noisy_spec("noisy", noisy_command, nullptr, 0, "", {});
  AddCmd(noisy_spec);
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

namespace {
void refresh_r() { calls += "refresh "; }
void run_r(const WordArray&) { calls += "run "; }
}  // namespace

// The table drives every command's opening: the refresh first, then the word check, which
// prints the usage in place of a line too short to run. Comment words count only for a
// command that counts all its words.
TEST(Commands, TheTableRefreshesThenChecksTheWordsOfALine) {
  static const CommandSpec own("own", run_r, refresh_r, 3, "Own words.", {"own <a> <b>"});
  static const CommandSpec all("all", run_r, nullptr, 3, "All words.", {"all <a> <b>"}, HelpLayout(),
                               WordCount::All);
  InitStrings();  // the comment marker
  InitCmds();
  AddCmd(own);
  AddCmd(all);
  const int saved_quiet = quietflag;
  quietflag = 0;
  const struct {
    const char* command;
    std::vector<std::string> words;
    const char* calls;
    const char* printed;
  } cases[] = {
      {"own", {"own", "1", "2"}, "refresh run ", ""},
      {"own", {"own", "1"}, "refresh ", "own <a> <b>\n"},
      {"own", {"own", "1", "#", "2"}, "refresh ", "own <a> <b>\n"},
      {"all", {"all", "1", "#"}, "run ", ""},
      {"all", {"all", "1"}, "", "all <a> <b>\n"},
  };
  for (const auto& c : cases) {
    calls.clear();
    CaptureOutput out;
    EXPECT_EQ(DoCmd(c.command, WordArray(c.words)), 1);
    EXPECT_EQ(calls, c.calls) << c.words.size();
    EXPECT_EQ(out.text(), c.printed) << c.words.size();
  }
  // In a script a line too short to run ends the program, naming the command, with its
  // usage even in quiet mode; nothing is printed before the error.
  const int saved_script = scriptflag;
  scriptflag = 1;
  quietflag = 1;
  for (const auto& c : cases) {
    calls.clear();
    CaptureOutput out;
    const std::string message = fatal_message([&] { DoCmd(c.command, WordArray(c.words)); });
    const std::string usage = c.printed;  // the ERROR line's own newline ends the last line
    EXPECT_EQ(message,
              usage.empty() ? "(no error)" : c.command + (": too few arguments\n" + usage.substr(0, usage.size() - 1)))
        << c.words.size();
    EXPECT_EQ(out.text(), "");
  }
  scriptflag = saved_script;
  quietflag = saved_quiet;
  InitCmds();
}

// A line whose first word is no command ends a script; at a terminal it is reported on the
// standard error stream and the loop reads on.
TEST(Commands, AnUnknownCommandEndsAScript) {
  static const CommandSpec own("own", run_r, nullptr, 0, "", {});
  InitStrings();
  InitCmds();
  AddCmd(own);
  const int saved_script = scriptflag, saved_quiet = quietflag;
  quietflag = 1;
  for (const int script : {1, 0}) {
    scriptflag = script;
    CommandInput in("own\nOwn 1\nown\n");
    calls.clear();
    CaptureOutput out;
    const std::string message = fatal_message([] { cmdloop(); });
    EXPECT_EQ(message, script ? "unknown command Own" : "(no error)");
    EXPECT_EQ(calls, script ? "run " : "run run ");
  }
  scriptflag = saved_script;
  quietflag = saved_quiet;
  InitCmds();
}

// Help lines keep the layout they have always printed with: padded to the longest line,
// to a fixed width, not at all, or only over a range of lines; silent in quiet mode unless
// the command says otherwise.
TEST(Commands, HelpPrintsEachLayout) {
  const std::vector<const char*> usage = {"ab", "abcd", "a"};
  const struct {
    HelpLayout layout;
    int level;
    int quiet;
    const char* printed;
  } cases[] = {
      {HelpLayout(), 2, 0, "ab  \nabcd\na   \n"},
      {HelpLayout{kLongest, 6}, 2, 0, "ab    \nabcd  \na     \n"},
      {HelpLayout{kLongest, 0}, 2, 0, "ab\nabcd\na\n"},
      {HelpLayout{kLongest, kLongest, 1, 2}, 2, 0, "ab\nabcd\na\n"},
      {HelpLayout{kLongest, kLongest, 0, 2}, 2, 0, "ab  \nabcd\na\n"},
      {HelpLayout(), 1, 0, "One line.        \nand a longer one.\n"},
      {HelpLayout{20}, 1, 0, "One line.           \nand a longer one.   \n"},
      {HelpLayout(), 2, 1, ""},
      {HelpLayout{kLongest, 0, 0, kLongest, true}, 2, 1, "ab\nabcd\na\n"},
  };
  const int saved_quiet = quietflag;
  for (const auto& c : cases) {
    const CommandSpec spec("c", run_r, nullptr, 0, "One line.\nand a longer one.", usage, c.layout);
    quietflag = c.quiet;
    CaptureOutput out;
    print_help(spec, c.level);
    EXPECT_EQ(out.text(), c.printed);
  }
  quietflag = saved_quiet;
}
