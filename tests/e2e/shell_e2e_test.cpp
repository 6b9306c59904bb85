// The program as a user runs it: command files and standard input through the real binary.
#include <gtest/gtest.h>

#include "support/test_support.h"

TEST(ShellE2E, EmptyInputPrintsThePromptAndANewline) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {});
  EXPECT_EQ(r.out, "> \n");
  EXPECT_EQ(r.status, 0);
}

TEST(ShellE2E, QuietFilesRunInTurnAndAMissingFileEndsWithStatusOne) {
  ScratchDir d;
  d.write("a.in", "set x 1\nset x\nquit\nset x 9\n");
  d.write("b.in", "set y=2\nset y\n");
  RunResult r = run_tarnsolve(d.path(), {"-q", "a.in", "b.in"});
  EXPECT_EQ(r.out, "x = 1.000000e+00 \n\ny = 2.000000e+00 \n");
  EXPECT_EQ(r.status, 0);

  r = run_tarnsolve(d.path(), {"a.in", "missing.in"});
  EXPECT_NE(r.out.find("Reading commands from input file a.in"), std::string::npos);
  EXPECT_NE(r.out.find("ERROR: could not open input file missing.in"), std::string::npos);
  EXPECT_EQ(r.status, 1);
}

TEST(ShellE2E, CommentsSetFormsAndShellEscape) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "#set a 1\n"
                                   "# set a 2\n"
                                   "set a 3 # note\n"
                                   "set b = 4\n"
                                   "set c =5\n"
                                   " !echo not-a-shell-line\n"
                                   "!echo from-shell\n"
                                   "set a\nset b\nset c\n"
                                   "Quit\n"
                                   "set d nan\n"
                                   "set d\n");
  EXPECT_EQ(r.out,
            "from-shell\n"
            "a = 3.000000e+00 \nb = 4.000000e+00 \nc = 5.000000e+00 \n"
            "WARNING: variable d must be a finite number; its value is unchanged.\n");
  EXPECT_EQ(r.status, 0);
}

TEST(ShellE2E, HelpListsCommandsInOrderAndGivesDetail) {
  ScratchDir d;
  RunResult r = run_commands(d, "help\n");
  EXPECT_EQ(r.out.rfind("version -- Displays", 0), std::string::npos);  // quiet: help texts of version suppressed
  EXPECT_NE(r.out.find("set -- Sets or lists variable values.\nhelp -- Gives information about commands.\n"
                       "quit -- Ends program.\nexit -- Ends program.\n"),
            std::string::npos);
  r = run_commands(d, "help set\nhelp nosuchcommand\n");
  EXPECT_EQ(r.out,
            "Help for: set\n"
            "set                 : Shows all current variable values.\n"
            "set <var>           : Shows current value for <var>.\n"
            "set <var> <val>, or\n"
            "set <var>=<val>     : Sets the specified variable value.\n");
}

TEST(ShellE2E, VersionMvAndRm) {
  ScratchDir d;
  d.write("old.txt", "x");
  d.write("keep.txt", "y");
  const RunResult r = run_tarnsolve(d.path(), {}, "version\nmv old.txt new.txt extra\nrm missing.txt new.txt\n");
  EXPECT_NE(r.out.find("tarnwick version 1.99o, updated 2009 April 20.\n"), std::string::npos);
  EXPECT_NE(r.out.find("mv old.txt -> new.txt\n"), std::string::npos);
  EXPECT_NE(r.out.find("WARNING: could not remove file missing.txt\nremoved file new.txt\n"), std::string::npos);
  EXPECT_FALSE(d.exists("new.txt"));
  EXPECT_TRUE(d.exists("keep.txt"));
}

TEST(ShellE2E, BadSettingEndsTheNextRefreshingCommandWithStatusOne) {
  struct Case {
    std::string setting, message;
  };
  const std::vector<Case> cases = {
      {"set galcoords 3", "ERROR: galcoords must be 1 or 2"},
      {"set gridlo1 -0.1", "ERROR: for polar grid, gridlo1 and gridhi1 must be positive"},
  };
  for (const auto& c : cases) {
    ScratchDir d;
    // "rm" does not refresh; the first refreshing command reports the bad value and
    // nothing after it runs.
    const RunResult r = run_commands(d, c.setting + "\nrm\nfileconvert\nset after 1\nset after\n");
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.setting << "\n" << r.out;
    EXPECT_EQ(r.out.find("after"), std::string::npos);
    EXPECT_EQ(r.status, 1) << c.setting;
  }
}
