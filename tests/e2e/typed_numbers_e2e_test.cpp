// Numbers as a user types them, through the real binary: an index or a count that the
// command cannot use, and a word that is no number, end the run with status 1 and an ERROR
// naming the word, before anything is drawn, sized or written.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct Case {
  std::string commands;
  std::vector<std::pair<std::string, std::string>> files;  // name, contents
  std::string error;                                        // the whole ERROR line
  std::vector<std::string> not_written;
};

void expect_refused(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commands);
    ScratchDir d;
    for (const auto& f : c.files) d.write(f.first, f.second);
    const RunResult r = run_commands(d, c.commands + "quit\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR: " + c.error + "\n"), std::string::npos) << r.out;
    for (const std::string& f : c.not_written) EXPECT_FALSE(d.exists(f)) << f;
  }
}

std::string quadoff() {
  std::ifstream in(source_path("examples/quadoff.dat"));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kFit =
    "set gridflag 0\nset chimode 0\nsetlens 1 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\n1 0 0 0 0 1 1 0 0 0\n"
    "data quad.dat\n";

// The cored isothermal lens of the simulation commands; kVaried varies its mass scale.
const std::string kSim = "set omitcore 0.05\nsetlens 1 1\nalpha 1 0 0 0.2 10 0.05 -30 0.05 0 1\n";
const std::string kFixed = kSim + "0 0 0 0 0 0 0 0 0 0\n";
const std::string kVaried = kSim + "1 0 0 0 0 0 0 0 0 0\n";

}  // namespace

TEST(TypedNumbersE2E, ConstraintIndicesAndCountsOfTheFittingCommands) {
  const std::string q = quadoff();
  expect_refused({
      // An index far outside the model, and a term count that negated would overflow: both
      // ended the optimisation with a crash and no message.
      {kFit + "PArange c.dat\noptimize o\n",
       {{"quad.dat", q}, {"c.dat", "1\n1e10 7 0 180\n"}},
       "in PArange, row 1 of file c.dat: 10000000000 is not a usable component index (1 to 1)",
       {"o.dat", "o.start"}},
      {kFit + "pbounds pbn.dat\noptimize o\n",
       {{"quad.dat", q}, {"pbn.dat", "1 2\n2147483648 1 1 1 1 6 1 0.5 2\n"}},
       "in pbounds, 2147483648 is not a usable number of terms (-100000000 to 100000000)",
       {"o.dat", "o.start"}},
      // Loaded before any model: an index near the int limit overflowed when scaled and the
      // fit negated INT_MIN (a crash); the count limit bounds it until the model is known.
      {"plimits p.dat\n" + kFit + "optimize o\n",
       {{"quad.dat", q}, {"p.dat", "1\n2147483600 1 0 1\n"}},
       "in plimits, row 1 of file p.dat: 2147483600 is not a usable component index (1 to 100000000)",
       {"o.dat", "o.start"}},
      {"set shrcoords 2\nPArange c.dat\n" + kFit + "optimize o\n",
       {{"quad.dat", q}, {"c.dat", "1\n2147483600 5 0 180\n"}},
       "in PArange, row 1 of file c.dat: 2147483600 is not a usable component index (1 to 100000000)",
       {"o.dat", "o.start"}},
      // Rows naming a parameter or a galaxy the model lacks were silently ignored.
      {kFit + "plimits p.dat\n",
       {{"quad.dat", q}, {"p.dat", "1\n1 -2147483648 0 0.1\n"}},
       "in plimits, row 1 of file p.dat: -2147483648 is not a usable parameter index (1 to 10)",
       {}},
      {kFit + "pbounds pb.dat\n",
       {{"quad.dat", q}, {"pb.dat", "1 2\n2 1 2 1 2 2 -1 -0.1 0.1\n"}},
       "in pbounds, row 1 of file pb.dat: 2 is not a usable component index (1 to 1)",
       {}},
      // An ignore index that wrapped onto constraint 1.
      {kFit + "PArange c.dat 4294967297\n",
       {{"quad.dat", q}, {"c.dat", "1\n1 5 0 180\n"}},
       "in PArange, 4294967297 is not a usable constraint index (-2147483647 to 2147483647)",
       {}},
      {kFit + "randomize 4294967298 r 0 0\n",
       {{"quad.dat", q}},
       "in randomize, 4294967298 is not a usable number of runs (-100000000 to 100000000)",
       {"r.dat"}},
      // A stopping criterion read as 0 let the chains run for ever.
      {"MCMCset 1 stopcrit abc\n", {}, "in MCMCset, abc is not a number", {}},
      {"nestsampSet live 10 chicut 0\n", {}, "in nestsampSet, chicut must be positive", {}},
      // A count of galaxies the file does not hold was allocated before a line was read.
      {"weakdata w.dat\n",
       {{"w.dat", "1000000000000 0.3\n1 0 0.1 0 0.1 0.1 1 0\n"}},
       "weakdata file ends before galaxy #2",
       {}},
  });
}

TEST(TypedNumbersE2E, CountsOfTheSimulationCommands) {
  expect_refused({
      // 2^32 + 2 ran 2 sources; 2^31 was negated; -1e12 wrapped to a large positive count.
      {kFixed + "mock1 m 4294967298\n",
       {},
       "in mock1, 4294967298 is not a usable number of sources (-100000000 to 100000000)",
       {"m"}},
      {kFixed + "mocklens ml -1e12\n",
       {},
       "in mocklens, -1e12 is not a usable number of sources (-100000000 to 100000000)",
       {"ml.all", "ml.dat"}},
      {kFixed + "mock2 m2 1e300\n",
       {},
       "in mock2, 1e300 is not a usable source density (it gives 1.23409e+300 sources; -100000000 to 100000000)",
       {"m2"}},
      {kFixed + "mockcsec c 2000000000 -2 -2 1 20\n",
       {},
       "in mockcsec, 2000000000 is not a usable number of sources (-100000000 to 100000000)",
       {"c.dat", "c.all"}},
      {kFixed + "mockcsec c 5 -2 -2 -1e12 20\n",
       {},
       "in mockcsec, -1e12 is not a usable number of steps (-100000000 to 100000000)",
       {"c.dat"}},
      {kFixed + "csec2sep c 2147483648 -2 -2 1 s 1 3 41\n",
       {},
       "in csec2sep, 2147483648 is not a usable number of sources (-100000000 to 100000000)",
       {}},
      {kFixed + "OMEGAmerge fl.txt out text 0 -1e12\n",
       {{"fl.txt", "1 text\nnone.txt\n"}},
       "in OMEGAmerge, -1e12 is not a usable maximum number of images (-100000000 to 100000000)",
       {"out"}},
      {kFixed + "clumplist 4294967298\n",
       {},
       "in clumplist, 4294967298 is not a usable integer (-2147483647 to 2147483647)",
       {}},
      // 1e12 read as a negative count switched batchmock1 to its density form; -1e12 as a
      // density never ended; a density that gives no lens is refused as mocklens refuses one.
      {kVaried + "batchmock1 b 1e12\n0.9 1.1 2\n",
       {},
       "in batchmock1, 1e12 is not a usable number of sources (-100000000 to 100000000)",
       {"b-d.dat"}},
      {kVaried + "batchmock1 b -1e12\n0.9 1.1 2\n",
       {},
       "in batchmock1, -1e12 is not a usable number of sources (-100000000 to 100000000)",
       {"b-d.dat"}},
      // Refused before any output is begun; a model drawn at random is refused when it is
      // drawn, and the files the run began are removed (b.tmp was left behind).
      {kVaried + "batchmock1 b -1\n0.9 1.1 2\n",
       {},
       "in batchmock1, -1 is not a usable source density (it gives 0.93434 sources; 1 to 100000000)",
       {"b.tmp", "b-d.dat"}},
      {kVaried + "batchmock1 b -1\n0.9 1.1 -2\n",
       {},
       "in batchmock1, -1 is not a usable source density (it gives 0.942817 sources; 1 to 100000000)",
       {"b.tmp", "b-d.dat"}},
      // Prompt lines: "1e" read as 1, and a number of steps beyond an int.
      {kVaried + "batchmock1 b 5\n0.9 1e 2\n", {}, "in batchmock1, 1e is not a number", {"b-d.dat"}},
      {kVaried + "batchmock1 b 5\n0.9 1.1 2147483648\n",
       {},
       "in batchmock1, 2147483648 is not a usable number of steps (-100000000 to 100000000)",
       {"b-d.dat"}},
  });
}

TEST(TypedNumbersE2E, StepCountsOfTheMapAndScanCommands) {
  // Counts were bounded only by the int range: a map of 2^31 - 1 steps, or of two counts
  // whose product no memory holds, ended in an allocation failure or ran for ever.
  const std::string big = "is not a usable number of steps";
  expect_refused({
      {kFixed + "makekapmap k 1 r 0 1 2147483647 0 1 2\n", {}, "in makekapmap, 2147483647 " + big + " (1 to 100000000)",
       {"k"}},
      {kFixed + "makekapmap k 1 r 0 1 20000 0 1 20000\n",
       {},
       "in makekapmap, a grid of 20000 by 20000 points is larger than 100000000 points",
       {"k"}},
      {kFixed + "rayshoot 0 1 2000000000 0 1 4 r.fits 1 10\n", {},
       "in rayshoot, 2000000000 " + big + " (2 to 100000000)", {"r.fits"}},
      {kFixed + "magmapP 0 1 4 0 1 2147483647 m.fits 1\n", {},
       "in magmapP, 2147483647 " + big + " (1 to 100000000)", {"m.fits"}},
      {kFixed + "magmapP 0 1 100000 0 1 100000 m.fits 1\n",
       {},
       "in magmapP, a grid of 100000 by 100000 points is larger than 100000000 points",
       {"m.fits"}},
      {kFixed + "spider 0 1 4 0 1 2000000000 s.fits 1 0 0 30 0 200 2\n", {},
       "in spider, 2000000000 " + big + " (1 to 100000000)", {"s.fits"}},
      {kFixed + "lightcrv l.dat 0 0 1 1 2000000000\n", {},
       "in lightcrv, 2000000000 " + big + " (1 to 100000000)", {"l.dat"}},
      {kFixed + "lightcrv l.dat 0 0 1 1 4 0.1 1 -2147483648\n", {},
       "in lightcrv, -2147483648 " + big + " (-100000000 to 100000000)", {"l.dat"}},
      {kFixed + "fitcrit 4294967298 f.dat\n", {},
       "in fitcrit, 4294967298 is not a usable maximum multipole order (-100000000 to 100000000)", {"f.dat"}},
      {kVaried + "varyone 1 1 0 1 2000000000 v\n", {},
       "in varyone, 2000000000 " + big + " (-100000000 to 100000000)", {"v.dat"}},
      {kVaried + "varytwo 1 1 0 1 4 1 4 0 1 -2000000000 v\n", {},
       "in varytwo, -2000000000 " + big + " (-100000000 to 100000000)", {"v.dat"}},
      {kFixed + "plotzbridge 0.1 2 1e12 z.dat\n", {}, "in plotzbridge, 1e12 " + big + " (-100000000 to 100000000)",
       {"z.dat"}},
  });
}

TEST(TypedNumbersE2E, WordsThatAreNoNumbersInTheCoreCommands) {
  expect_refused({
      // "abc" searched for the images of a source at (0, 0).
      {kFixed + "findimg abc 0\n", {}, "in findimg, abc is not a number", {}},
      {kFixed + "findimg 0.1 0x10\n", {}, "in findimg, 0x10 is not a number", {}},
      {kFixed + "magdistsrc abc 0 1 10 m\n", {}, "in magdistsrc, abc is not a number", {}},
      {kFixed + "calcRein nan\n", {}, "calcRein: nan is not a finite number", {}},
      {kFixed + "calcRein 4294967298\n", {},
       "in calcRein, 4294967298 is not a usable number of theta steps (1 to 100000000)", {}},
  });
}

TEST(TypedNumbersE2E, PjNamesThePseudoJaffeClumpsAsTheHelpSays) {
  // The same clumps, drawn with the same seed, give the same images under either name.
  auto images = [](const std::string& type) {
    ScratchDir d;
    return run_commands(d, kFixed + "set gridflag 0\nsetclumps 1 0 3\n1 0.01 1 0 " + type +
                               " 0.01 0\nfindimg 0.1 0.05\nquit\n");
  };
  const RunResult pj = images("pj"), pjaffe = images("pjaffe"), other = images("pjx");
  EXPECT_EQ(pj.status, 0) << pj.out;
  EXPECT_NE(pj.out.find("images"), std::string::npos) << pj.out;
  EXPECT_EQ(pj.out, pjaffe.out);
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.out.find("ERROR: Unknown clump type: pjx\n"), std::string::npos) << other.out;
}
