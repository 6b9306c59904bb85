// Curve constraints: loading, the distance rules of the term, and the circle fixture
// scored and fitted back to its lens.
#include <array>

#include "fit/crvring_fixture.h"

namespace {

class CurveTest : public CrvRingTest {};

// The distance rules on a lens without mass (every test point is its own only image), so
// that the charge of each image is read off the reference polylines alone.
TEST_F(CurveTest, DistanceRules) {
  load_model("alpha 0 0 0 0 0 0 0 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  struct Case {
    const char* what;
    std::vector<std::vector<std::array<double, 3>>> ref;  // reference segments
    std::vector<std::array<double, 3>> test;
    double chiperpoint;
    double expected;
  };
  const Case cases[] = {
      // Perpendicular distance 0.1 to the piece: 0.01 / (0.1 x 0.2); each vertex is farther.
      {"piece uses the product of its end sigmas", {{{-1, 0, 0.1}, {1, 0, 0.2}}}, {{0, 0.1, 1}}, 0, 0.5},
      // Beyond the end of the piece only the vertex counts: 0.04 / 0.2^2.
      {"vertex uses its own sigma", {{{-1, 0, 0.1}, {1, 0, 0.2}}}, {{1.2, 0, 1}}, 0, 1.0},
      {"a one-point segment is a point", {{{0.5, 0.5, 0.1}}}, {{0.5, 0.8, 1}}, 0, 9.0},
      // The nearer of two segments.
      {"smallest over segments", {{{0, 1, 0.1}}, {{0, 0.3, 0.1}}}, {{0, 0, 1}}, 0, 9.0},
      // Two images of charges 1 and 4: per point 2.5, no penalty with every point imaged.
      {"chiperpoint divides by the images", {{{0, 0, 0.1}}}, {{0.1, 0, 1}, {0, 0.2, 1}}, 0.9, 2.5},
      // Four test points, two beyond the grid (no image): 2.5 + 10000 (0.5 - 0.9)^2.
      {"chiperpoint penalises missing images",
       {{{0, 0, 0.1}}},
       {{0.1, 0, 1}, {0, 0.2, 1}, {30, 0, 1}, {0, 30, 1}},
       0.9,
       2.5 + 1600},
      // No image at all: the penalty alone.
      {"no image costs the penalty alone", {{{0, 0, 0.1}}}, {{30, 0, 1}}, 0.5, 2500},
      {"inactive chiperpoint sums", {{{0, 0, 0.1}}}, {{0.1, 0, 1}, {0, 0.2, 1}, {30, 0, 1}}, 0.001, 5.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set("chiperpoint", c.chiperpoint);
    std::vector<std::string> files;
    for (size_t s = 0; s < c.ref.size(); ++s) files.push_back(curve_file("r" + std::to_string(s), c.ref[s]));
    crvpts_cmd(2, 1, files);
    crvpts_cmd(2, 2, {curve_file("t", c.test)});
    score();
    EXPECT_NEAR(TSstore.chi[kChiCrv], c.expected, 1e-6 * c.expected);
  }
}

// The circle fixture with the source-plane point term and no grid flag (the trial lens
// still gets its own grid for the curve images: without one every image is missed and
// the term scores 0) and with the defaults.
TEST_F(CurveTest, CircleFixtureScoresAndFitsBack) {
  ScratchDir work;
  InFolder in(work.path());
  load_circle_curves();
  struct Mode {
    int gridflag;
    double chimode;
  };
  for (const Mode m : {Mode{0, 0}, Mode{1, 1}}) {
    SCOPED_TRACE(m.gridflag);
    set("gridflag", m.gridflag);
    set("chimode", m.chimode);
    // Each counter-image lies 2 db outside r = 0.9, (2 db / 0.01)^2 for each of 36.
    const struct {
      double b, chi, tol;
    } rows[] = {{1, 0, 1e-6}, {1.01, 144.0, 0.01}, {1.003, 12.96, 0.01}};
    for (const auto& r : rows) {
      load_model(isothermal(r.b), "1 1 1 0 0 0 0 0 0 0\n");
      set("tempfiles", r.b == 1.01 ? 1 : 0);
      score();
      EXPECT_NEAR(TSstore.chi[kChiCrv], r.chi, r.tol) << "b = " << r.b;
    }
  }
  // The trace of the last b = 1.01 evaluation: both images of every test point, the
  // central maxima left out.
  const std::string trace = work.read("crvpts.tmp");
  EXPECT_EQ(count_occurrences(trace, "\n1 1 "), 72);

  set("tempfiles", 0);
  set("gridflag", 0);
  set("chimode", 0);
  load_model("alpha 0.95 0.02 -0.01 0 0 0 0 1e-7 0 1\n", "1 1 1 0 0 0 0 0 0 0\n");
  const Mat best = fit();
  EXPECT_NEAR(best[1][1], 1.0, 1e-4);
  EXPECT_NEAR(best[1][2], 0.0, 1e-3);
  EXPECT_NEAR(best[1][3], 0.0, 1e-3);
}

TEST_F(CurveTest, IncompleteCurvesAddNothingAndWriteNothing) {
  ScratchDir work;
  InFolder in(work.path());
  set("tempfiles", 1);
  load_model(isothermal(1.01), "1 0 0 0 0 0 0 0 0 0\n");
  crvpts_cmd(1, 1, {curve_file("ref.dat", circle(0.9, true))});
  crvpts_cmd(2, 2, {curve_file("try.dat", circle(1.1, false))});
  score();
  EXPECT_EQ(TSstore.chi[kChiCrv], 0.0);
  EXPECT_FALSE(work.exists("crvpts.tmp"));
  CaptureOutput out;
  quietflag = 0;
  run_handler(crvstatus, cmd({"crvstatus"}));
  EXPECT_EQ(out.text(),
            "Curve #1 loaded:\n   1 ref  segments: 37\n  -1 test segments:\n"
            "Curve #2 loaded:\n  -1 ref  segments:\n   1 test segments: 36\n");
}

TEST_F(CurveTest, CapacitiesAndStatus) {
  load_circle_curves();
  CaptureOutput out;
  quietflag = 0;
  run_handler(crvmax, cmd({"crvmax", "5", "10"}));  // two values: only the report
  run_handler(crvmax, cmd({"crvmax", "3", "4", "50"}));
  run_handler(crvstatus, cmd({"crvstatus"}));
  run_handler(crvmax, cmd({"crvmax"}));
  EXPECT_EQ(out.text(),
            "Current crv dimensions:\n  max no. curves   = 5\n  max no. segments = 10\n  max no. points   = 200\n"
            "Setting maximum crv dimensions to: 3 4 50\n"
            "No curves are loaded.\n"
            "Current crv dimensions:\n  max no. curves   = 3\n  max no. segments = 4\n  max no. points   = 50\n");
  EXPECT_EQ(TScrv.crvrefX.rhi(), 3);
  EXPECT_FALSE(curves_loaded());
}

TEST_F(CurveTest, LoadErrors) {
  dir.write("ok.dat", "2\n0 0 0.1\n1 0 0.1\n");
  dir.write("zero.dat", "2\n0 0 0.1\n1 0 0\n");
  dir.write("neg.dat", "1\n0 0 -0.1\n");
  dir.write("short.dat", "3\n0 0 0.1\n1 0 0.1\n");
  dir.write("empty.dat", "# nothing\n");
  dir.write("negcount.dat", "-2\n");
  dir.write("few.dat", "1\n0 0\n");
  dir.write("many.dat", "201\n");
  dir.write("nanx.dat", "2\n0 0 0.1\nnan 0 0.1\n");
  dir.write("infsig.dat", "1\n0 0 inf\n");
  const std::string ok = dir.file("ok.dat");
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  const Case cases[] = {
      {{"crvpts", "1", "2", dir.file("nanx.dat")}, "crvpts: nan is not a finite number"},
      {{"crvpts", "1", "1", dir.file("infsig.dat")}, "crvpts: inf is not a finite number"},
      {{"crvpts", "6", "1", ok}, "too many curves; use crvmax to allow more"},
      {{"crvpts", "0", "1", ok}, "too many curves; use crvmax to allow more"},
      {{"crvpts", "-1", "1", ok}, "too many curves; use crvmax to allow more"},
      {{"crvpts", "1", "3", ok}, "Unknown mode in crvpts"},
      {{"crvpts", "1", "1", ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok}, "too many curve segments; use crvmax to allow more"},
      {{"crvpts", "1", "1", dir.file("none.dat")}, "could not open crvpts file"},
      {{"crvpts", "1", "1", dir.file("many.dat")}, "too many points on curve segment; use crvmax to allow more"},
      {{"crvpts", "1", "1", dir.file("few.dat")}, "Too few entries for point #1 in crvpts"},
      {{"crvpts", "1", "1", dir.file("zero.dat")}, "sigma <= 0 for point #2 in crvpts file " + dir.file("zero.dat")},
      {{"crvpts", "1", "1", dir.file("neg.dat")}, "sigma <= 0 for point #1 in crvpts file " + dir.file("neg.dat")},
      {{"crvpts", "1", "1", dir.file("short.dat")}, "file " + dir.file("short.dat") + " ended after 3 of 4 lines"},
      {{"crvpts", "1", "2", dir.file("empty.dat")}, "file " + dir.file("empty.dat") + " ended after 0 of 1 lines"},
      {{"crvpts", "1", "2", dir.file("negcount.dat")}, "negative point count in crvpts file " + dir.file("negcount.dat")},
      {{"crvmax", "3", "-1", "5"}, "capacities must be >= 0"},
      // Beyond the int range, and tables larger than any machine's memory.
      {{"crvmax", "3000000000", "1", "1"}, "crvmax: the capacities asked for need more memory than this machine has"},
      {{"crvmax", "100000", "100000", "100000"}, "crvmax: the capacities asked for need more memory than this machine has"},
  };
  for (const Case& c : cases) {
    const WordArray w(c.words);
    EXPECT_EQ(fatal_message([&] { c.words[0] == "crvmax" ? run_handler(crvmax, w) : run_handler(crvpts, w); }), c.message) << c.words[1];
  }
  // The test sigma is never used: a test point of sigma 0 loads.
  EXPECT_EQ(fatal_message([&] { run_handler(crvpts, cmd({"crvpts", "1", "2", dir.file("zero.dat")})); }), "(no error)");
}

}  // namespace
