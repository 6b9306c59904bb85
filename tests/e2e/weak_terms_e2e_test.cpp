// The weak-lensing, test-term and pixelated-source commands as a user runs them from a
// command file: what they print, write and exit with.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
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

// Fitting set-up of the command files below: no grid, the source-plane form, no traces.
const char* kFitSettings = "set gridflag 0\nset chimode 0\nset tempfiles 0\n";

// The nine chi-squared slots of an outbase-chi.dat file.
std::vector<double> chi_slots(const ScratchDir& d, const std::string& outbase) {
  std::istringstream in(d.read(outbase + "-chi.dat"));
  std::vector<double> v;
  for (double x; in >> x;) v.push_back(x);
  return v;
}

// Parameters 1..10 of the first component line of an outbase.start file (index 0 unused).
std::vector<double> start_parameters(const ScratchDir& d, const std::string& outbase) {
  std::istringstream in(d.read(outbase + ".start"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string name;
    l >> name;
    if (name != "alpha") continue;
    std::vector<double> p(1, 0.0);
    for (std::string w; l >> w;) p.push_back(std::atof(w.c_str()));
    return p;
  }
  return {};
}

// Puts the stand-in external program first on PATH while it lives.
class StandInOnPath {
 public:
  StandInOnPath() {
    const char* p = std::getenv("PATH");
    saved_ = p ? p : "";
    setenv("PATH", (source_path("tests/support/fake-java") + ":" + saved_).c_str(), 1);
  }
  ~StandInOnPath() { setenv("PATH", saved_.c_str(), 1); }

 private:
  std::string saved_;
};

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
  const RunResult r = run_at_terminal(d.path(), {}, "weakdata\nweakmock m.dat 1 2\nhelp weakproc\n");
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

// The weak term of one galaxy at (3, 4) of an isothermal lens b = 1, as optimize reports
// it in slot 8 with nothing varied: w 1, w 0.5, w 0.5 with dw 0.01, and de2 0.1.
TEST(WeakTermsE2E, WeakTermThroughOptimize) {
  ScratchDir d;
  struct Case { const char* row; double weak, tol; };
  const Case cases[] = {
      {"3 4 0.1 0.05 0.05 0.05 1 0", 1.020967e+01, 5e-6},
      {"3 4 0.1 0.05 0.05 0.05 0.5 0", 9.905775e+00, 5e-6},
      {"3 4 0.1 0.05 0.05 0.05 0.5 0.01", 9.905807, 1e-5},
      {"3 4 0.1 0.05 0.05 0.1 1 0", 8.861276, 1e-5},
  };
  std::string run = std::string(kFitSettings) + kIsothermal;
  for (int i = 0; i < 4; ++i) {
    d.write("c" + std::to_string(i) + ".dat", std::string("1 0.3\n") + cases[i].row + "\n");
    run += "weakdata c" + std::to_string(i) + ".dat\noptimize f" + std::to_string(i) + "\n";
  }
  const RunResult r = run_tarnsolve(d.path(), {}, run);
  ASSERT_EQ(r.status, 0) << r.out;
  for (int i = 0; i < 4; ++i) {
    const auto chi = chi_slots(d, "f" + std::to_string(i));
    ASSERT_EQ(chi.size(), 9u);
    EXPECT_NEAR(chi[8], cases[i].weak, cases[i].tol) << cases[i].row;
    EXPECT_NEAR(chi[0], chi[8], 1e-12) << cases[i].row;
  }
}

// A mock catalogue of a b = 1 lens, processed and loaded, fitted by optimize from b 0.8.
TEST(WeakTermsE2E, MockFittedBackByOptimize) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {},
                                    std::string(kFitSettings) + "set zlens 0.5\nset ftol 1e-7\n" + kIsothermal +
                                        "weakmock m.dat 5000 1.5 6 1 2 0 0.2 0.05\nweakproc m.dat w.dat\n"
                                        "weakdata w.dat\nsetlens 1 1\nalpha 0.8 0 0 0 0 0 0 0 0 1\n"
                                        "1 0 0 0 0 0 0 0 0 0\noptimize fit\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto p = start_parameters(d, "fit");
  ASSERT_EQ(p.size(), 11u);
  EXPECT_NEAR(p[1], 1.0, 0.08);
}

// The test term through optimize: the start model scores slot 5 = -8.877244 (the vary
// flags of chitest on pick the coordinates, also after changevary 0); optimising b, x and
// the core finds b 1, x 0.1, core 0.3 e^-0.25 with the total -9.127244.
TEST(WeakTermsE2E, ChitestThroughOptimize) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(
      d.path(), {},
      std::string(kFitSettings) +
          "set ftol 1e-10\nsetlens 1 1\nalpha 1 0.1 0 0 0 0 0 0.3 0 1\n1 1 0 0 0 0 0 1 0 0\n"
          "chitest on\n0.1 0.05 -0.5\nchangevary 0\noptimize s0\nchangevary -1\n1 1 0 0 0 0 0 1 0 0\n"
          "optimize s1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto c0 = chi_slots(d, "s0"), c1 = chi_slots(d, "s1");
  ASSERT_EQ(c0.size(), 9u);
  ASSERT_EQ(c1.size(), 9u);
  EXPECT_NEAR(c0[5], -8.877244, 5e-6);
  EXPECT_NEAR(c1[0], -9.127244, 5e-6);
  const auto p = start_parameters(d, "s1");
  ASSERT_EQ(p.size(), 11u);
  EXPECT_NEAR(p[1], 1.0, 1e-4);
  EXPECT_NEAR(p[2], 0.1, 1e-4);
  EXPECT_NEAR(p[8], 0.233640, 1e-4);
}

// The pixelated-source term through optimize, with the stand-in program on PATH: each
// evaluation writes 441 deflection lines (i outer); with the stand-in referenced to b = 1,
// b = 1.01 scores 17.58878 in slot 7 and optimize from b 0.95 returns b = 1; a model whose
// slot 5 exceeds 1e8 (a bound on b) never starts the stand-in; a failing stand-in ends the
// program with the error and exit status 1.
TEST(WeakTermsE2E, PixsrcThroughOptimize) {
  StandInOnPath path;
  ScratchDir d;
  mkdir(d.file("tempFolder").c_str(), 0755);
  d.write("tempFolder/img_gridSize.dat", "-10 -10 10 10\n");
  const std::string on = std::string(kFitSettings) + "pixsrc on img 0.05\n";
  RunResult r = run_tarnsolve(d.path(), {}, on + kIsothermal + "optimize ref\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto field = lines_of(d.read("tempFolder/img_deflection.dat"));
  ASSERT_EQ(field.size(), 441u);
  EXPECT_EQ(field[0].substr(0, 8), "-10 -10 ");
  EXPECT_EQ(field[21].substr(0, 7), "-9 -10 ");
  d.write("tempFolder/img_reference.dat", d.read("tempFolder/img_deflection.dat"));

  r = run_tarnsolve(d.path(), {},
                    on + "setlens 1 1\nalpha 1.01 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\noptimize f101\n"
                         "setlens 1 1\nalpha 0.95 0 0 0 0 0 0 0 0 1\n1 0 0 0 0 0 0 0 0 0\noptimize f95\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto c = chi_slots(d, "f101");
  ASSERT_EQ(c.size(), 9u);
  EXPECT_NEAR(c[7], 17.58878, 5e-5);  // the exchange file's 7 digits move it by 3e-5
  const auto p = start_parameters(d, "f95");
  ASSERT_EQ(p.size(), 11u);
  EXPECT_NEAR(p[1], 1.0, 1e-4);

  const size_t runs = lines_of(d.read("tempFolder/java_args.log")).size();
  d.write("bound.dat", "1 1\n1 1 1 1 0.5 0.9\n");
  r = run_tarnsolve(d.path(), {}, on + kIsothermal + "pbounds bound.dat\noptimize out\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_GT(chi_slots(d, "out").at(5), 1e8);
  EXPECT_EQ(lines_of(d.read("tempFolder/java_args.log")).size(), runs);

  d.write("tempFolder/java_fail", "2\n");
  r = run_tarnsolve(d.path(), {}, on + kIsothermal + "optimize out\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: pixelated-source program failed (java -jar morvane.jar img, status 2)"),
            std::string::npos)
      << r.out;
}
