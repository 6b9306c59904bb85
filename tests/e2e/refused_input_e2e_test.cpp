// Hostile lines in command files: each one ends the run with status 1 and an ERROR that
// names the value or the file, before anything is written or replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

const char* kModel =
    "startup 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

std::string quadoff() {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Case {
  std::string lines;  // the command lines after the set-up
  std::string error;  // the ERROR line the run ends with
};

void expect_refused(const ScratchDir& d, const std::string& setup, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    // A line after the refused one shows that nothing after it runs.
    const RunResult r = run_commands(d, setup + c.lines + "set isource\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.error + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("isource ="), std::string::npos) << r.out;
  }
}

}  // namespace

TEST(RefusedInputE2E, SourcePositionsThatAreNotFinite) {
  ScratchDir d;
  d.write("pos.txt", "2\n0.1 0.1\nnan 0\n");
  expect_refused(d, kModel,
                 {{"findimg nan 0\n", "ERROR: findimg: nan is not a finite number"},
                  {"findimg 0 inf\n", "ERROR: findimg: inf is not a finite number"},
                  {"findimg infinity 0\n", "ERROR: findimg: infinity is not a finite number"},
                  {"findimg 1e400 0\n", "ERROR: findimg: 1e400 is not a finite number"},
                  {"findimg2 nan 0.1 3 -0.1 0.1 3 f.dat\n", "ERROR: findimg2: nan is not a finite number"},
                  {"findsrc 0 -inf\n", "ERROR: findsrc: -inf is not a finite number"},
                  {"findimg3 pos.txt out.dat\n", "ERROR: findimg3 input file pos.txt: nan is not a finite number"},
                  {"ellsrc e.dat nan 0 0.2 0 0.1 0.2 3 4\n", "ERROR: ellsrc: nan is not a finite number"}});
  EXPECT_FALSE(d.exists("f.dat"));
  EXPECT_FALSE(d.exists("out.dat"));
}

TEST(RefusedInputE2E, AFolderGivenAsAnInputFile) {
  ScratchDir d;
  ASSERT_EQ(mkdir(d.file("sub").c_str(), 0755), 0);
  d.write("k.txt", "2 2\n0.1\n0.1\n0.1\n0.1\n");
  expect_refused(d, "",
                 {{"plimits sub\n", "ERROR: could not open plimits file: sub: Is a directory"},
                  {"setfoldcaus sub\n", "ERROR: could not open setfoldcaus input file: sub: Is a directory"},
                  {"setsource sub\n", "ERROR: could not open setsource input file: sub: Is a directory"},
                  {"data sub\n", "ERROR: could not open data file: sub: Is a directory"},
                  {"batchdata sub\n", "ERROR: could not open batchdata file: sub: Is a directory"},
                  {"loadkapmap sub\n", "ERROR: could not open loadkapmap input file: sub: Is a directory"},
                  {"setlens sub\n", "ERROR: could not open setlens file: sub: Is a directory"},
                  {"imstats sub 1\n", "ERROR: could not open input file: sub: Is a directory"},
                  {"imstats sub 3\n", "ERROR: could not open input file: sub: Is a directory"},
                  {"kap2lens k.txt 1 sub o.bin\n", "ERROR: could not open kap2lens range file: sub: Is a directory"},
                  {std::string(kModel) + "OMEGAwrite sub text\n",
                   "ERROR: OMEGAwrite: could not open the file to append to: sub: Is a directory"}});
  // A folder named as the command file.
  const RunResult r = run_tarnsolve(d.path(), {"sub"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: could not open input file sub: Is a directory\n"), std::string::npos) << r.out;
}

TEST(RefusedInputE2E, DataCountsThatAreNotUsableEndTheRunAfterAGoodLoad) {
  ScratchDir d;
  d.write("good.dat", quadoff());
  std::vector<Case> cases;
  for (const char* word : {"nan", "0", "2147483648", "1e400", "1.5.2"}) {
    d.write(std::string("bad") + std::to_string(cases.size()) + ".dat", std::string(word) + "\n");
    cases.push_back(
        {"data bad" + std::to_string(cases.size()) + ".dat\noptimize o\n",
         "ERROR: data file bad" + std::to_string(cases.size()) + ".dat: Ngal " + word + " is not a usable count"});
  }
  expect_refused(d, std::string(kModel) + "data good.dat\n", cases);
}

TEST(RefusedInputE2E, Kap2lensRefusesAMapWithAPixelThatIsNotFinite) {
  ScratchDir d;
  d.write("r.rng", "-1 1\n-1 1\n");
  d.write("k.txt", "3 3\n0.1\n0.1\n0.1\n0.1\nnan\n0.1\n0.1\n0.1\n0.1\n");
  d.write("s.txt", "3 3\n0.1\n0.1\ninf\n0.1\n0.1\n0.1\n0.1\n0.1\n0.1\n");
  expect_refused(d, "set zlens 0.3\nset zsrc 1\n",
                 {{"kap2lens k.txt 1 r.rng out.bin\n", "ERROR: k.txt: pixel (2, 2) is not a finite number"},
                  {"sig2lens s.txt 1 r.rng out.bin\n", "ERROR: s.txt: pixel (3, 1) is not a finite number"}});
  EXPECT_FALSE(d.exists("out.bin"));
}

TEST(RefusedInputE2E, GridSettingsThatLeaveNoGridOrPassTheirBound) {
  ScratchDir d;
  // set refuses a value that no grid can take; what depends on two settings (a hi not above
  // its lo) is refused by the next command that uses the settings, before a grid is built.
  expect_refused(
      d, kModel,
      {{"set maxlev 100\nfindimg 0.05 0.03\n", "ERROR: maxlev must be <= 16 (it is 100); its value is unchanged."},
       {"set nsubg1 50\nregrid\n", "ERROR: nsubg1 must be <= 16 (it is 50); its value is unchanged."},
       {"set ngrid1 0\nregrid\n",
        "ERROR: ngrid1 = 0 leaves no grid: it needs at least 2 steps; its value is unchanged."},
       {"set ngrid1 1\nfindimg 0.1 0\n",
        "ERROR: ngrid1 = 1 leaves no grid: it needs at least 2 steps; its value is unchanged."},
       {"set gridhi1 0\nregrid\n", "ERROR: gridhi1 = 0 is not above gridlo1 = 0: the grid has no extent"},
       {"set gridhi2 0\nregrid\n", "ERROR: gridhi2 = 0 is not above gridlo2 = 0: the grid has no extent"},
       {"set gridlo1 5\nregrid\n", "ERROR: gridhi1 = 2 is not above gridlo1 = 5: the grid has no extent"},
       // Within every bound, the largest top grid (4 million nodes, each its own mesh
       // vertex) would take about 3 GB: the build stops at its node count first.
       {"set ngrid1 2000\nset ngrid2 2000\nregrid\n",
        "ERROR: the grid needs more than 2400000 nodes (about 2 GB); lower maxlev (now 3), or nsubg1, nsubg2, "
        "ngrid1, ngrid2, gallev, imglev or the steps of galgrid and imggrid, and regrid"},
       // The steps of the secondary grids: a grid of them all tabulated before its nodes
       // took 6 GB for 20000 by 20000 steps; none is left by one step or an empty range.
       {"galgrid 1 0 1 100000 0 360 100000\n",
        "ERROR: galaxy grids need 2 to 2000 steps in r and in theta (they have 100000 and 100000)"},
       {"imggrid 1 0 1 5 0 360 1\n0.5 0.5\n",
        "ERROR: image grids need 2 to 2000 steps in r and in theta (they have 5 and 1)"},
       {"galgrid 1 1 0 20 0 360 20\n", "ERROR: galaxy grids need r hi above r lo and theta hi above theta lo"}});
  // One setting at a time through a state that would leave no grid: the grid moved from
  // 0..2 to 3..4 is built when the move is complete.
  const RunResult r = run_commands(d, std::string(kModel) + "set gridlo1 3\nset gridhi1 4\nregrid\n");
  EXPECT_EQ(r.status, 0) << r.out;
}

namespace {
// Largest radius of the image-plane points of a plotcrit file (columns x1 y1 u1 v1 x2 y2 u2 v2).
double largest_critical_radius(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  double r = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    double v[8];
    std::istringstream ls(line);
    for (double& x : v) ls >> x;
    if (!ls) continue;
    r = std::max({r, std::hypot(v[0], v[1]), std::hypot(v[4], v[5])});
  }
  return r;
}
}  // namespace

TEST(LensSettingsE2E, ChangingAlphanormRebuildsTheCriticalCurves) {
  ScratchDir d;
  // The two readings of b give two lenses: the largest radius of the critical curves of
  // this isothermal ellipsoid is 1.233 with alphanorm 1 and b = 1 with alphanorm 0. The
  // curves follow the setting without a regrid.
  const RunResult r = run_commands(d, std::string("startup 1 1\nalpha 1 0 0 0.3 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n") +
                                          "plotcrit c1.dat\nset alphanorm 0\nplotcrit c2.dat\nset alphanorm 1\n"
                                          "plotcrit c3.dat\nregrid\nplotcrit c4.dat\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const double r1 = largest_critical_radius(d.read("c1.dat")), r2 = largest_critical_radius(d.read("c2.dat"));
  EXPECT_NEAR(r1, 1.233, 0.01);
  EXPECT_NEAR(r2, 1.0, 0.01);
  // Back to alphanorm 1: the curves of the first lens again, and a regrid changes nothing.
  EXPECT_EQ(d.read("c3.dat"), d.read("c1.dat"));
  EXPECT_EQ(d.read("c4.dat"), d.read("c1.dat"));
}

TEST(LensSettingsE2E, ChangingTheClumpTreeTestsRebuildsTheCriticalCurves) {
  ScratchDir d;
  // The tree's tests are read at every evaluation: with them opened up, distant groups of
  // clumps count by their multipoles, a lens slightly other than the exact sum.
  const RunResult r = run_commands(d,
                                   "setlens 1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                   "setclumps 1 0 3\n1 0.05 1 0 star 0\nregrid\nplotcrit c1.dat\n"
                                   "set leaferr 1e30\nset leafsize 2\nplotcrit c2.dat\nregrid\nplotcrit c3.dat\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(d.read("c2.dat"), d.read("c1.dat"));
  EXPECT_EQ(d.read("c2.dat"), d.read("c3.dat"));
}

TEST(FinderGridCheckE2E, FindersWarnWhenTheGridCannotHoldEveryImageAndTheAdvisedGridDoes) {
  ScratchDir d;
  const std::string lens = "startup 1 1\nalpha 1.2 0 0 0.3 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n";
  struct Case {
    double u, v;
    int images;  // found on a grid large enough
  };
  for (const Case& c : {Case{0.58, 0.58, 1}, Case{0.825, 0, 3}}) {
    const std::string find = strformat("findimg %g %g\n", c.u, c.v);
    SCOPED_TRACE(find);
    const RunResult r = run_commands(d, lens + find);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string head = strformat(
        "WARNING: the grid does not hold every image of the source at (%g, %g): "
        "set gridhi1 to at least ",
        c.u, c.v);
    const size_t at = r.out.find(head);
    ASSERT_NE(at, std::string::npos) << r.out;
    // The images found are printed all the same, fewer than the source has.
    EXPECT_NE(r.out.find("findimg results:"), std::string::npos);
    int lost_grid = -1;
    std::sscanf(r.out.c_str() + r.out.find("\n# "), "\n# %d images", &lost_grid);
    EXPECT_LT(lost_grid, c.images);
    // The gridhi1 advised holds every image: no WARNING, and the images of a far larger grid.
    const double advised = std::atof(r.out.c_str() + at + head.size());
    EXPECT_GT(advised, 2.0);
    for (double hi : {advised, 4.0}) {
      const RunResult g = run_commands(d, strformat("set gridhi1 %g\n", hi) + lens + find);
      EXPECT_EQ(g.out.find("WARNING"), std::string::npos) << g.out;
      int n = -1;
      std::sscanf(g.out.c_str() + g.out.find("\n# "), "\n# %d images", &n);
      EXPECT_EQ(n, c.images) << g.out;
    }
  }
  // The check follows the grid as built: a Cartesian gridcoords set without a regrid leaves
  // the polar grid in use, and its rim.
  {
    const RunResult r = run_commands(d, lens + "set gridcoords 1\nfindimg 0.58 0.58\n");
    EXPECT_NE(r.out.find("WARNING: the grid does not hold every image of the source at (0.58, 0.58): set gridhi1 "
                         "to at least 2.05 and regrid"),
              std::string::npos)
        << r.out;
  }
  // A file of sources: one WARNING for the command, naming the first source not held.
  d.write("pos.txt", "3\n0.05 0.03\n0.58 0.58\n0.825 0\n");
  const RunResult r = run_commands(d, lens + "findimg3 pos.txt out.dat\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count_occurrences(r.out, "WARNING"), 1) << r.out;
  EXPECT_NE(r.out.find("WARNING: the grid does not hold every image of the source at (0.58, 0.58) nor of 1 more of "
                       "the sources: set gridhi1 to at least 2.11 and regrid"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(d.exists("out.dat"));
}
