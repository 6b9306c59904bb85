// The model-questioning commands as a user runs them from a command file: what they
// print, that they leave the model as they found it, and how the command loop treats a
// mistyped command.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

// Every image block that findimg prints, each followed by "|".
std::string image_blocks(const std::string& out) {
  std::istringstream in(out);
  std::string blocks, line;
  while (std::getline(in, line)) {
    if (line != "findimg results:") continue;
    std::string source, count;
    std::getline(in, source);
    std::getline(in, count);
    blocks += source + "\n" + count + "\n";
    int n = 0;
    std::sscanf(count.c_str(), "# %d images", &n);
    for (int i = 0; i < n && std::getline(in, line);) blocks += line + "\n", ++i;
    blocks += "|";
  }
  return blocks;
}

}  // namespace

// maketab tabulates a moved copy of the model and checkmod loads model 2: afterwards the
// images are those of model 1 on its own grid.
TEST(CoreCommandsE2E, MaketabAndCheckmodLeaveModelOneInForce) {
  ScratchDir d;
  const RunResult a = run_commands(d,
                                   "setlens 1 1\nalpha 1 0.05 0 0.2 30 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                   "findimg 0.2 0.1\n"
                                   "maketab t.bin 0 0.5 3 0.01 10 -5 4\n"
                                   "findimg 0.2 0.1\n");
  ASSERT_EQ(a.status, 0) << a.out;
  const RunResult b = run_commands(d,
                                   "setlens 1 2\nalpha 1 0.05 0 0.2 30 0 0 0.1 0 1\nnfw 3 0.3 0 0 0 0 0 1 0 0\n"
                                   "0 0 0 0 0 0 0 0 0 0\n"
                                   "findimg 0.2 0.1\n"
                                   "checkmod cm 0.1 2 20\n"
                                   "findimg 0.2 0.1\n");
  ASSERT_EQ(b.status, 0) << b.out;
  for (const RunResult* r : {&a, &b}) {
    const std::string blocks = image_blocks(r->out);
    const size_t half = blocks.find('|');
    ASSERT_NE(half, std::string::npos) << r->out;
    EXPECT_EQ(blocks.substr(0, half + 1), blocks.substr(half + 1)) << r->out;
    EXPECT_NE(blocks.find("# 3 images") , std::string::npos) << r->out;
  }
}

// A mistyped command ends a script with an ERROR and status 1; typed at a terminal it does
// nothing, is reported on the standard error stream, and the run goes on.
TEST(CoreCommandsE2E, UnknownCommandEndsAScriptAndWarnsAtATerminal) {
  ScratchDir d;
  const std::string model = "setlens 1 1\nalpha 1 0 0 0 0 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n";
  const RunResult typo = run_commands(d, model + "calcREin\n\ncalcRein\n");
  const RunResult plain = run_commands(d, model + "calcRein\n");
  EXPECT_EQ(typo.status, 1);
  EXPECT_EQ(typo.out, "ERROR: unknown command calcREin\n");
  EXPECT_EQ(typo.err, "");
  EXPECT_EQ(plain.err, "");
  const RunResult typed = run_at_terminal(d.path(), {"-q"}, model + "calcREin\n\ncalcRein\n");
  EXPECT_EQ(typed.status, 0);
  EXPECT_EQ(typed.out, "WARNING: unknown command calcREin (line ignored)\n" + plain.out);
}

// Radii, refused arguments and the end status, as scripts see them.
TEST(CoreCommandsE2E, EinsteinRadiusAndRefusalsFromACommandFile) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "setlens 1 1\nalpha 1 0 0 0 0 0 0 0.499 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                   "calcRein 1 rein.txt\n"
                                   "moments 1 2 1 8\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: moments: the number of radial steps must be at least 2 (1)"), std::string::npos);
  EXPECT_EQ(d.read("rein.txt").substr(0, 13), "4.472136e-02 ");
}

// Numbers that are not finite (nan, inf, or too large for a double) in a model, source or
// grid line end the run naming the command and the word, before anything uses them.
TEST(CoreCommandsE2E, NonFiniteNumbersInInputLinesAreRefused) {
  struct Case {
    const char* commands;
    const char* error;
  };
  const std::string model = "setlens 1 1\nalpha 1 0 0 0 0 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n";
  const Case cases[] = {
      {"setlens 1 1\nalpha nan 0 0 0 0 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n",
       "ERROR: setlens: nan is not a finite number"},
      {"setlens model.dat\n", "ERROR: setlens: 1e999 is not a finite number"},
      {"setlens 1 1\nalpha 1 0 0 0 0 0 0 0.1 0 1\n0 0 inf 0 0 0 0 0 0 0\n",
       "ERROR: setlens: inf is not a finite number"},
      {"changelens 1\nalpha 1 0 INF 0 0 0 0 0.1 0 1\n", "ERROR: changelens: INF is not a finite number"},
      {"maingrid 2 0 nan 20 0 360 20\n", "ERROR: maingrid: nan is not a finite number"},
      {"galgrid 1 0 1e999 10 0 360 10\n", "ERROR: galgrid: 1e999 is not a finite number"},
      {"imggrid 1 0 0.5 5 0 360 10\n0.2 inf\n", "ERROR: imggrid: inf is not a finite number"},
      {"imgarray nan\n", "ERROR: imgarray: nan is not a finite number"},
      {"setsource 1 0\nptsrc 1 nan 0 0 0 0 0 0\n1 1 1 0 0 0 0 0\n", "ERROR: setsource: nan is not a finite number"},
      {"setsource src.dat\n", "ERROR: setsource: -inf is not a finite number"},
  };
  for (const Case& c : cases) {
    ScratchDir d;
    d.write("src.dat", "1 0\nptsrc 1 0 -inf 0 0 0 0 0\n1 1 1 0 0 0 0 0\n");
    d.write("model.dat", "1 1\nalpha 1 1e999 0 0 0 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n");
    const RunResult r = run_commands(d, model + c.commands + "findimg 0.2 0\n");
    EXPECT_EQ(r.status, 1) << c.commands;
    EXPECT_NE(r.out.find(std::string(c.error) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("findimg results"), std::string::npos) << c.commands;
  }
}
