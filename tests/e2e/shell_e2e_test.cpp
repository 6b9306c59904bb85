// The program as a user runs it: command files and standard input through the real binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sstream>
#include <fstream>

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
                                   "!echo from-shell\n"
                                   "set a\nset b\nset c\n"
                                   "set d nan\n"
                                   "set d\n");
  EXPECT_EQ(r.out,
            "from-shell\n"
            "a = 3.000000e+00 \nb = 4.000000e+00 \nc = 5.000000e+00 \n"
            "ERROR: variable d must be a finite number; its value is unchanged.\n");
  EXPECT_EQ(r.status, 1);
  // Only a line that opens with "!" goes to the shell: " !echo" is a command word, and
  // no command (nor "Quit") is one.
  for (const auto& [line, word] :
       {std::pair<std::string, std::string>{" !echo not-a-shell-line\n", "!echo"}, {"Quit\n", "Quit"}}) {
    const RunResult u = run_commands(d, line + "set a 1\nset a\n");
    EXPECT_EQ(u.out, "ERROR: unknown command " + word + "\n") << line;
    EXPECT_EQ(u.status, 1);
  }
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
      {"set potflag -1", "ERROR: potflag must be 0 or 1"},
      {"set nsubg1 0", "ERROR: Number of subgrid zones must be positive"},
      {"set seed 1e30", "ERROR: variable seed is out of range for an integer"},
      {"set zlens 2\nset zsrc 1", "ERROR: lens redshift must be smaller than source redshift"},
  };
  for (const auto& c : cases) {
    ScratchDir d;
    // "rm" does not refresh; the first refreshing command reports the bad value and
    // nothing after it runs (a value no integer setting can hold is refused by set itself).
    const RunResult r = run_commands(d, c.setting + "\nrm none.txt\nfileconvert\nset after 1\nset after\n");
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.setting << "\n" << r.out;
    EXPECT_EQ(r.out.find("after"), std::string::npos);
    EXPECT_EQ(r.status, 1) << c.setting;
  }
}

TEST(ShellE2E, SwitchesPromptsAndCommandFiles) {
  struct Case {
    std::vector<std::string> args;
    std::string input, out;
    int status;
  };
  // Without -q every read shows the prompt and the run ends with a newline; quit prints
  // its own newline in any mode. Only the first argument is taken as the switch.
  const std::vector<Case> cases = {
      {{}, "quit\n", "> \n\n", 0},
      {{"-q"}, "quit\n", "\n", 0},
      {{"-quiet"}, "exit\nset x 1\n", "\n", 0},
      {{"-q"}, "", "", 0},
      {{}, "set a 1\n", "> Creating a = 1.000000e+00 \n> \n", 0},
      {{}, "set a 1\nquit now\nset a\n", "> Creating a = 1.000000e+00 \n> \n\n", 0},
      {{}, "set a 1\nQuit\nquit now\nset a\n", "> Creating a = 1.000000e+00 \n> ERROR: unknown command Quit\n", 1},
      {{"a.in"}, "", "Reading commands from input file a.in\n> Creating x = 1.000000e+00 \n> \n", 0},
      {{"a.in", "a.in"},
       "",
       "Reading commands from input file a.in\n> Creating x = 1.000000e+00 \n> \n"
       "Reading commands from input file a.in\n> Setting x = 1.000000e+00\n> \n",
       0},
      {{"a.in", "-q"},
       "",
       "Reading commands from input file a.in\n> Creating x = 1.000000e+00 \n> \n"
       "ERROR: could not open input file -q\n",
       1},
      {{"-q", "a.in", "nofile.in", "a.in"}, "", "ERROR: could not open input file nofile.in\n", 1},
  };
  for (const auto& c : cases) {
    ScratchDir d;
    d.write("a.in", "set x 1\n");
    const RunResult r = run_tarnsolve(d.path(), c.args, c.input);
    std::string label;
    for (const auto& a : c.args) label += a + " ";
    EXPECT_EQ(r.out, c.out) << label << "| " << c.input;
    EXPECT_EQ(r.status, c.status) << label;
  }
}

TEST(ShellE2E, HelpListsTheCoreCommandsFirstAndSetShowsSettings) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {}, "help\nhelp all\nset maximg\nset ftol=1e-5\nset ftol\nquit\n");
  ASSERT_EQ(r.status, 0);
  // Each command's output follows the prompt of its line.
  std::vector<std::string> parts;
  for (size_t p = 0; p < r.out.size();) {
    ASSERT_EQ(r.out.compare(p, 2, "> "), 0) << r.out.substr(p, 80);
    size_t next = r.out.find("\n> ", p);
    next = next == std::string::npos ? r.out.size() : next + 1;
    parts.push_back(r.out.substr(p + 2, next - p - 2));
    p = next;
  }
  ASSERT_EQ(parts.size(), 6u);
  const std::string& list = parts[0];
  EXPECT_EQ(list.rfind("version -- Displays the current version of the software.\n"
                       "set -- Sets or lists variable values.\n"
                       "help -- Gives information about commands.\n"
                       "quit -- Ends program.\n"
                       "exit -- Ends program.\n"
                       "rm -- Removes files.\n"
                       "mv -- Rename file.\n",
                       0),
            0u)
      << list;
  // The core's last command comes before the commands of the fitting program.
  const size_t imstats = list.find("\nimstats -- "), try2 = list.find("\ntry2 -- ");
  EXPECT_NE(imstats, std::string::npos);
  EXPECT_NE(try2, std::string::npos);
  EXPECT_LT(imstats, try2);
  EXPECT_EQ(parts[1], list);
  EXPECT_EQ(parts[2], "maximg = 1.000000e+01 [Maximum number of images the code can handle]\n");
  EXPECT_EQ(parts[3], "Setting ftol = 1.000000e-05\n");
  EXPECT_EQ(parts[4], "ftol = 1.000000e-05 [Tolerance for optimization routine]\n");
  EXPECT_EQ(parts[5], "\n\n");
}

TEST(ShellE2E, SetListsTheCoreSettingsThenTheFittingSettings) {
  ScratchDir d;
  const RunResult r = run_commands(d, "set\n");
  EXPECT_EQ(count_occurrences(r.out, "\n"), 93);
  EXPECT_EQ(r.out.rfind("rscale = 1.000000e+00 [Sets radial scale of grid]\n", 0), 0u);
  EXPECT_NE(r.out.find("\nclumpzone = 2.000000e+00 [Radius of region for accurate clump lensing        ]\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\nseed = -1.500000e+01 [Seed for randum number generator]\n"), std::string::npos);
  EXPECT_NE(r.out.find("\ntempfiles = 1.000000e+00 [Flag for whether to write the temp files]\n"
                       "maximg = 1.000000e+01 [Maximum number of images the code can handle]\n"),
            std::string::npos);
  const std::string last = "extraflux = 0.000000e+00 [Upper limit on flux of extra images]\n";
  EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
}

TEST(ShellE2E, ValuesThatAreNotFiniteNumbersLeaveTheSettingUnchanged) {
  ScratchDir d;
  const RunResult r = run_commands(d, "set ftol inf\nset ftol=-inf\nset ftol 1e999\nset ftol NaN\nset ftol\n"
                                      "set fresh nan\nset fresh\n");
  const std::string w = "WARNING: variable ftol must be a finite number; its value is unchanged.\n";
  // In a script the first refused value ends the run.
  EXPECT_EQ(r.out, "ERROR: variable ftol must be a finite number; its value is unchanged.\n");
  EXPECT_EQ(r.status, 1);
  // At a terminal each is refused with a warning and the run goes on.
  const RunResult t = run_at_terminal(d.path(), {"-q"},
                                      "set ftol inf\nset ftol=-inf\nset ftol 1e999\nset ftol NaN\n"
                                      "set ftol\nset fresh nan\nset fresh\n");
  EXPECT_EQ(t.out, w + w + w + w + "ftol = 1.000000e-04 [Tolerance for optimization routine]\n" +
                       "WARNING: variable fresh must be a finite number; its value is unchanged.\n");
  EXPECT_EQ(t.status, 0);
}

// A value that is no number is refused, not set as 0.
TEST(ShellE2E, ValuesThatAreNoNumbersAreRefused) {
  for (const char* value : {"abc", "1e", "0x10", "3x"}) {
    ScratchDir d;
    const RunResult r = run_commands(d, std::string("set ftol ") + value + "\nset ftol\n");
    EXPECT_EQ(r.out, std::string("ERROR: in set, ") + value + " is not a number\n") << value;
    EXPECT_EQ(r.status, 1) << value;
  }
}

TEST(ShellE2E, MvAndRmHelpFailuresAndNoShell) {
  ScratchDir d;
  const RunResult r = run_at_terminal(d.path(), {}, "mv only\nrm\nmv missing.txt new.txt\nrm none;date>made.txt\n");
  EXPECT_EQ(r.out,
            "> mv <old> <new>\nRename file.\n"
            "> rm [list of files]\nRemoves files.\n"
            "> WARNING: could not execute 'mv missing.txt new.txt'\n"
            "> WARNING: could not remove file none;date>made.txt\n"
            "> \n");
  EXPECT_FALSE(d.exists("made.txt"));
  EXPECT_EQ(r.status, 0);

  // Quiet mode silences the help texts and the version line, not the file reports.
  const RunResult q = run_at_terminal(d.path(), {"-q"}, "version\nmv only\nrm\nhelp version\nrm missing.txt\n");
  EXPECT_EQ(q.out, "Help for: version\nWARNING: could not remove file missing.txt\n");
  // A script ends on a line too short to run, with the usage whatever the quiet mode.
  const RunResult s = run_commands(d, "version\nmv only\nrm\n");
  EXPECT_EQ(s.out, "ERROR: mv: too few arguments\nmv <old> <new>\nRename file.\n");
  EXPECT_EQ(s.status, 1);
}

TEST(ShellE2E, LongLinesAndWordsAreReadWhole) {
  ScratchDir d;
  const std::string name(6000, 'v');
  std::string line = "set";
  for (int i = 0; i < 2000; ++i) line += '\t';
  line += name + std::string(3000, ' ') + "7";
  const RunResult r = run_commands(d, line + "\nset " + name + "\n");
  EXPECT_EQ(r.out, name + " = 7.000000e+00 \n");
  EXPECT_EQ(r.status, 0);
}

TEST(ShellE2E, TheReadmeExampleRuns) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {source_path("examples/first.in")});
  EXPECT_EQ(r.status, 0);
  // A quad and a double of the isothermal ellipsoid, and the two plot files.
  EXPECT_NE(r.out.find("# 4 images:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("# 2 images:"), std::string::npos) << r.out;
  EXPECT_TRUE(d.exists("crit.dat"));
  EXPECT_TRUE(d.exists("grid.dat"));
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos);
}

TEST(ShellE2E, TheFittingExampleRecoversItsLens) {
  // The example fits the lens behind examples/quadoff.dat ("alpha" b 1, shear 0.1 at 0),
  // first in the source plane, then in the image plane.
  ScratchDir d;
  mkdir(d.file("examples").c_str(), 0755);
  for (const char* name : {"examples/fit.in", "examples/start.dat", "examples/quadoff.dat"}) {
    std::ifstream in(source_path(name));
    std::stringstream text;
    text << in.rdbuf();
    d.write(name, text.str());
  }
  const RunResult r = run_tarnsolve(d.path(), {"examples/fit.in"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  ASSERT_TRUE(d.exists("fit1.start"));
  std::istringstream model(d.read("fit1.start"));
  std::string header, name;
  double p[10];
  std::getline(model, header);
  model >> name;
  for (double& v : p) model >> v;
  EXPECT_EQ(name, "alpha");
  EXPECT_NEAR(p[0], 1.0, 1e-4);
  EXPECT_NEAR(p[5], 0.1, 1e-4);
  EXPECT_NEAR(p[6], 0.0, 0.01);
}
