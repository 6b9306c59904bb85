// Scripts against the terminal: a command that does not run because of its words ends a
// command file or a piped input with an ERROR and status 1; typed at a terminal it prints
// its usage or warning and the run goes on.

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

const char kModel[] = "setlens 1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n";
const char kPlotkappaUsage[] =
    "plotkappa <outname> <filetype> <x lo> <hi> <# steps> <y lo> <hi> <# steps>\n"
    "Plots a kappa map.  For the known file types, run 'filetypes'.            \n";

// A short line in a quiet command file: the ERROR and the usage, nothing written, status 1.
TEST(ScriptsE2E, AShortLineEndsACommandFileAndAPipeWithItsUsage) {
  ScratchDir d;
  const std::string script = std::string(kModel) + "plotkappa k.fits 3\nfindimg\nplotcrit c.dat\n";
  const RunResult file = run_commands(d, script);
  EXPECT_EQ(file.out, std::string("ERROR: plotkappa: too few arguments\n") + kPlotkappaUsage);
  EXPECT_EQ(file.status, 1);
  EXPECT_EQ(dir_entries(d.path()), std::vector<std::string>{"cmds.in"});
  // The same lines through a pipe (standard input that is no terminal), with and without -q.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-q"}, std::vector<std::string>{}}) {
    const RunResult piped = run_tarnsolve(d.path(), args, script);
    EXPECT_NE(piped.out.find(std::string("ERROR: plotkappa: too few arguments\n") + kPlotkappaUsage), std::string::npos)
        << piped.out;
    EXPECT_EQ(piped.out.find("Help for"), std::string::npos);
    EXPECT_EQ(piped.status, 1);
  }
  EXPECT_FALSE(d.exists("c.dat"));
}

// Typed at a terminal the same lines print their usage (none under -q) and the run goes on
// to the lines after them.
TEST(ScriptsE2E, AtATerminalAShortLinePrintsItsUsageAndTheRunGoesOn) {
  ScratchDir d;
  const std::string typed = std::string(kModel) + "plotkappa k.fits 3\noptimise o\nset zz 7\nset zz\n";
  const RunResult loud = run_at_terminal(d.path(), {}, typed);
  EXPECT_NE(loud.out.find(std::string("> ") + kPlotkappaUsage), std::string::npos) << loud.out;
  EXPECT_NE(loud.out.find("WARNING: unknown command optimise (line ignored)\n"), std::string::npos) << loud.out;
  EXPECT_NE(loud.out.find("zz = 7.000000e+00 \n"), std::string::npos) << loud.out;
  EXPECT_EQ(loud.out.find("ERROR"), std::string::npos);
  EXPECT_EQ(loud.status, 0);
  const RunResult quiet = run_at_terminal(d.path(), {"-q"}, typed);
  EXPECT_EQ(quiet.out, "WARNING: unknown command optimise (line ignored)\nzz = 7.000000e+00 \n");
  EXPECT_EQ(quiet.status, 0);
}

// Each hostile line ends a script with status 1 and an ERROR naming what was refused, before
// anything is written; at a terminal each warns and the run goes on.
TEST(ScriptsE2E, RefusedWordsEndAScriptAndWarnAtATerminal) {
  struct Case {
    const char* line;
    const char* message;
  };
  const Case cases[] = {
      {"optimise o", "unknown command optimise"},
      {"findimg2 -0.1 0.1 2147483648 -0.1 0.1 3 f.dat", "argument 'u steps' is out of range."},
      {"plotkappa k.txt 1 -1 1 2147483648 -1 1 3", "argument 'x steps' is out of range."},
      {"checkfinsrc 1e3 1e4 2147483648 1 cf.dat", "argument 'steps' is out of range."},
      {"findimg2 -0.1 0.1 nan -0.1 0.1 3 f.dat", "argument 'u steps' is not a finite number."},
      {"findimg2 -0.1 0.1 1e400 -0.1 0.1 3 f.dat", "argument 'u steps' is not a finite number."},
      {"findimg2 -0.1 0.1 1.5.2 -0.1 0.1 3 f.dat",
       "argument 'u steps' should be an integer.\n         It is the number of steps, not the step size."},
      {"findimg2 -0.1 0.1 0 -0.1 0.1 3 f.dat", "u steps cannot be 0."},
      {"spider -1 1 3 -1 1 3 o.txt 5 0 0 30 0 200 1",
       "argument outtype=5 is larger than the\n         maximum allowed value (4)."},
      {"convolve2 in.txt 1 0 1 o.txt 1", "convolve2 needs xpixel > 0 and ypixel > 0"},
      {"map2lcrv in.txt 1 -1 0.5 0 o.txt", "map2lcrv needs pixscale > 0"},
      {"imcombine in.txt 1 in12.txt 1 0.5 o.txt 1", "in imcombine, the two arrays need to have the same dimensions"},
      {"imdiff in.txt 1 in12.txt 1 1 o.txt 1", "in imdiff, the two arrays need to have the same dimensions"},
      {"scaleclumps 1 1 rx 1 1 1", "scaleclumpshelp argument #3 is not recognized"},
      {"MCMCset 1 Nchian 100", "unknown keyword 'Nchian'"},
      {"setclumps 1 0 1\n5 0.1 10 -1.9 star", "in setclumps, galaxy index 5 is out of range"},
      {"setclumps 1 0 1\n1 0.1 10", "too few clump model parameters"},
      {"turnoff 1", "mode has not been set properly in turnoff"},
      {"turnoff gal 2", "ignoring galaxy index 2 (out of range)"},
      {"turnon src 5", "ignoring source index 5 (out of range)"},
      {"set ngrid1 nan", "variable ngrid1 must be a finite number; its value is unchanged."},
      {"set ngrid1 1e400", "variable ngrid1 must be a finite number; its value is unchanged."},
      {"set ngrid1 2147483648", "variable ngrid1 is out of range for an integer; its value is unchanged."},
      {"set maxlev 100", "maxlev must be <= 16 (it is 100); its value is unchanged."},
  };
  std::string typed = kModel;
  for (const Case& c : cases) {
    ScratchDir d;
    d.write("in.txt", "2 2\n1 2\n3 4\n");
    d.write("in12.txt", "1 2\n1\n2\n");
    const RunResult r = run_commands(d, std::string(kModel) + c.line + "\nset zz 1\nset zz\n");
    // The ERROR is the last line (turnon and turnoff head their report with "In turnoff:").
    const std::string error = "ERROR: " + std::string(c.message) + "\n";
    EXPECT_EQ(r.out.substr(r.out.find("ERROR") == std::string::npos ? 0 : r.out.find("ERROR")), error) << c.line;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << c.line;
    EXPECT_EQ(r.status, 1) << c.line;
    EXPECT_EQ(dir_entries(d.path()), (std::vector<std::string>{"cmds.in", "in.txt", "in12.txt"})) << c.line;
    typed += c.line + std::string("\n");
  }
  // Typed, every line is refused in turn, the setting keeps its value, and the run ends well.
  ScratchDir d;
  d.write("in.txt", "2 2\n1 2\n3 4\n");
  d.write("in12.txt", "1 2\n1\n2\n");
  const RunResult t = run_at_terminal(d.path(), {"-q"}, typed + "set ngrid1\nset zz 1\nset zz\n");
  for (const Case& c : cases)
    if (std::string(c.line).rfind("optimise", 0) != 0) {
      EXPECT_NE(t.out.find(": " + std::string(c.message) + "\n"), std::string::npos) << c.line;
    }
  EXPECT_NE(t.out.find("Note: ignoring galaxy index 2 (out of range)\n"), std::string::npos);
  EXPECT_NE(t.out.find("\nngrid1 = 2.000000e+01 "), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("zz = 1.000000e+00 \n"), std::string::npos);
  EXPECT_EQ(t.out.find("ERROR"), std::string::npos) << t.out;
  EXPECT_EQ(t.status, 0);
}

// A line that has the table's words but too few for its mode, or a mode word the command
// does not know, is answered as a short line: the ERROR and the usage in a script, the usage
// at a terminal.
TEST(ScriptsE2E, ALineTooShortForItsModeEndsAScript) {
  const struct {
    const char *line, *error, *usage;
  } cases[] = {
      {"kapgam 1", "kapgam: too few arguments", "kapgam <mode> [other arguments]"},
      {"galgrid 1 2", "galgrid: too few arguments", "galgrid <Ngal> <r lo> <hi> <#steps> <theta lo> <hi> <#steps>"},
      {"imarith a 1 b 1 add", "imarith: too few arguments", "imarith <inname> <intype> <outname> <outtype>"},
      {"bridgecut pos 1", "bridgecut: too few arguments", "bridgecut pos <x0> <y0> <R0>"},
      {"bridgecut sideways", "bridgecut: unknown mode sideways", "bridgecut pos <x0> <y0> <R0>"},
      {"subsave on 1", "subsave: too few arguments", "subsave on <dx lo> <hi> <#steps>"},
      {"subsave sideways", "subsave: unknown mode sideways", "subsave on <dx lo> <hi> <#steps>"},
      {"pixsrc in x", "pixsrc: unknown mode in", "pixsrc on <basename>"},
      {"chitest of", "chitest: unknown mode of", "chitest <on/off>"},
      {"try2 1 2 3", "try2: too few arguments", "try2 <n>"},
  };
  std::string typed = kModel;
  for (const auto& c : cases) {
    ScratchDir d;
    const RunResult r = run_commands(d, std::string(kModel) + c.line + "\nset zz 1\nset zz\n");
    EXPECT_EQ(r.out.rfind(std::string("ERROR: ") + c.error + "\n" + c.usage, 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("zz"), std::string::npos);
    EXPECT_EQ(r.status, 1) << c.line;
    typed += c.line + std::string("\n");
  }
  ScratchDir d;
  const RunResult t = run_at_terminal(d.path(), {}, typed + "set zz 1\nset zz\n");
  for (const auto& c : cases) EXPECT_NE(t.out.find(c.usage), std::string::npos) << c.line;
  EXPECT_NE(t.out.find("zz = 1.000000e+00 \n"), std::string::npos);
  EXPECT_EQ(t.out.find("ERROR"), std::string::npos) << t.out;
  EXPECT_EQ(t.status, 0);
}

}  // namespace
