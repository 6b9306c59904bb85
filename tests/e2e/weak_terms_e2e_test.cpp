// The weak-lensing, test-term and pixelated-source commands as a user runs them from a
// command file: what they print, write and exit with.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const char* kIsothermal =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) v.push_back(l);
  return v;
}

}  // namespace

// A mock catalogue made, processed and loaded in one run; the same seed in a fresh run
// draws the same catalogue; an empty annulus is an error with exit status 1.
TEST(WeakTermsE2E, MockProcessLoad) {
  ScratchDir d;
  const std::string run = std::string("set zlens 0.5\n") + kIsothermal +
                          "weakmock m.dat 200 1.5 6 1 2 0.1 0.2 0.05\nweakproc m.dat w.dat\nweakdata w.dat\n";
  RunResult r = run_commands(d, run);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Opened output file: m.dat\nOpened input file: m.dat\nOpened output file: w.dat\n"
                       "Opened input file: w.dat\n"),
            std::string::npos)
      << r.out;
  const auto mock = lines_of(d.read("m.dat"));
  ASSERT_EQ(mock.size(), 202u);
  EXPECT_EQ(mock[0], "200 2.000000e-01");
  EXPECT_EQ(mock[1], "#  x  y  e1  e2  de1  de2  z  dz  #  es1  es2");
  EXPECT_EQ(lines_of(d.read("w.dat")).size(), 202u);
  const std::string first = d.read("m.dat");
  ASSERT_EQ(run_commands(d, run).status, 0);
  EXPECT_EQ(d.read("m.dat"), first);

  r = run_commands(d, std::string(kIsothermal) + "weakmock m.dat 10 6 6 1 2 0 0.2 0.05\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: weakmock needs Rhi > 0 and Rlo < Rhi"), std::string::npos) << r.out;
}

// The help texts of the weak-lensing commands are padded to 66 and 65 characters; too
// few words print the full help and do nothing else.
TEST(WeakTermsE2E, HelpTexts) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {}, "weakdata\nweakmock m.dat 1 2\nhelp weakproc\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("weakdata <file>" + std::string(51, ' ') + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("and dz." + std::string(58, ' ') + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("The output file has the form needed for weakdata." + std::string(17, ' ') + "\n"),
            std::string::npos);
  EXPECT_FALSE(d.exists("m.dat"));
}

// chitest reads its dispersions from the command file, prints the rotation it draws, and
// writes the same draws each time it is given the same command.
TEST(WeakTermsE2E, ChitestFromACommandFile) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(
      d.path(), {},
      "setlens 1 1\nalpha 1 0.1 0 0 0 0 0 0.3 0 1\n1 1 0 0 0 0 0 1 0 0\n"
      "chitest on 1 100 d1.dat\n# the dispersions:\n0.1 0.05 -0.5\nchitest on 1 100 d2.dat\n0.1 0.05 -0.5\n"
      "chitest off\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "Enter the dispersions: (number of dimensions = 3)\n"), 2);
  EXPECT_EQ(count_occurrences(r.out, "Random rotation matrix:\n"), 2);
  EXPECT_NE(r.out.find("Turning chitest feature off."), std::string::npos);
  EXPECT_EQ(lines_of(d.read("d1.dat")).size(), 103u);
  EXPECT_EQ(d.read("d1.dat"), d.read("d2.dat"));
}

// pixsrc on reads the grid-size file and reports the set-up; a grid-size file without four
// integers ends the program with exit status 1.
TEST(WeakTermsE2E, PixsrcSetUp) {
  ScratchDir d;
  mkdir(d.file("tempFolder").c_str(), 0755);
  d.write("tempFolder/img_gridSize.dat", "-10 -10 10 10\n");
  RunResult r = run_commands(d, "pixsrc on img 0.05\npixsrc off\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Using pixelated source:\n  basename  = img\n  scale     = 5.000000e-02\n"
                       "  ln(E0)    = 0.000000e+00\n  xmin,xmax = -10 10\n  ymin,ymax = -10 10\n"
                       "Turning pixelated source off.\n"),
            std::string::npos)
      << r.out;
  d.write("tempFolder/img_gridSize.dat", "-10 -10 ten 10\n");
  r = run_commands(d, "pixsrc on img 0.05\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: gridSize file tempFolder/img_gridSize.dat does not hold four integers"),
            std::string::npos)
      << r.out;
}
