// Parameter limits, bounds, angle ranges and ties: loading, the trial-model processing
// and the chi-squared and penalty terms.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/constraints.h"
#include "fit/fit_fixture.h"
#include "fit/optimize.h"
#include "imageplane/source_models.h"

namespace {

class ConstraintTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("chimode", 0);
    set("tempfiles", 0);
  }
  void TearDown() override {
    if (TSstore.built) storage_clear();
    FitTest::TearDown();
  }
  // Runs a constraint command on a file with the given text.
  void load(void (*command)(const WordArray&), const std::string& name, const std::string& text,
            std::vector<std::string> extra = {}) {
    dir.write(name + ".txt", text);
    std::vector<std::string> w{name, dir.file(name + ".txt")};
    w.insert(w.end(), extra.begin(), extra.end());
    command(WordArray(w));
  }
  // A model of two components and the store built on it.
  void two_components(const std::string& vary = "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n") {
    load_model("alpha 1 0 0 0.2 10 0 0 0 0 1\nalpha 0.5 0.3 0 0.2 20 0 0 0 0 1\n", vary, 2);
    int nd, ng, ns;
    storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  }
  Mat params() const { return TWref.ref[1].p; }
};

}  // namespace

TEST(AngleWrap, EveryWrapLandsInItsRangeInConstantTime) {
  struct Case {
    double v, expect_sym90, expect_range_10_190, expect_pa;
  };
  const Case cases[] = {
      {-30, -30, 150, -30},        {200, 20, 20, 20},         {90, 90, 90, 90},
      {-90, 90, 90, -90},          {270, 90, 90, 90},         {-100, 80, 80, 80},
      {1.8e12 + 30, 30, 30, 30}, {-1.8e12 - 30, -30, 150, -30}, {180, 0, 180, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.v);
    EXPECT_NEAR(wrap_symmetric(c.v, 90), c.expect_sym90, 1e-3);
    EXPECT_NEAR(wrap_range(c.v, 10, 190), c.expect_range_10_190, 1e-3);
    EXPECT_NEAR(wrap_pa(c.v), c.expect_pa, 1e-3);
    const double r = wrap_range(c.v, 10, 190);
    EXPECT_GE(r, 10);
    EXPECT_LT(r, 190);
  }
}

TEST_F(ConstraintTest, PlimitsFilesAppendAndIgnoredIndicesReferToTheirOwnFile) {
  load(plimits, "plimits", "3\n1 1 1.0 0.1\n1 2 0.0 0.1\n1 3 0.0 0.1 # comment\n", {"2"});
  load(plimits, "plimits", "2\n1 1 1.5 0.2 cart\n-1 2 0.3\n", {"1"});
  ASSERT_EQ(TScons.nplim, 5);
  const double on[] = {1, 0, 1, 0, 1};
  for (int r = 1; r <= 5; ++r) EXPECT_EQ(TScons.plimarr[r].on, on[r - 1]) << r;
  EXPECT_EQ(TScons.plimarr[4].mode, 1);
  // A three-value line stays valid with sigma 0 and is never used.
  EXPECT_EQ(TScons.plimarr[5].sigma, 0);
  load_model(kQuadoffModel, "1 0 0 0 0 0 0 0 0 0\n");
  int nd, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  Mat g = params();
  g[1][1] = 1.2;
  g[1][3] = 0.05;
  // Rows 1 and 3 count: (0.2/0.1)^2 + (0.05/0.1)^2.
  EXPECT_NEAR(plimfunc(&g, nullptr), 4.0 + 0.25, 1e-12);
  run_handler(plimits, cmd({"plimits", "reset"}));
  EXPECT_EQ(TScons.nplim, 0);
}

TEST_F(ConstraintTest, LoadErrors) {
  struct Case {
    void (*command)(const WordArray&);
    const char* name;
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {plimits, "plimits", "2\n1 1 1 0.1\n1 2\n", "too few plimits entries"},
      {pmatch, "pmatch", "1\n1 1 2 1 1.0\n", "too few pmatch entries"},
      {pmatch, "pmatch", "1\n1 1 2 1 1.0 0 0.1 what\n", "unknown mode in pmatch"},
      {pbounds, "pbounds", "1 1\n2 1 2 1 1 3 -1 -0.1 0.1\n", "in pbounds, number of terms exceeds maximum"},
      {pbounds, "pbounds", "1 2\n2 1 2 1 1\n", "too few pbounds entries"},
      {PArange, "PArange", "1\n1 5 180 0\n", "in PArange, range 1 of file"},
      // Numbers that are not finite would make every trial model's penalty NaN.
      {plimits, "plimits", "2000000000\n1 1 1 0.1\n", "too few plimits entries"},
      {plimits, "plimits", "1\n1 1 nan 0.01\n", "plimits: nan is not a finite number"},
      {pmatch, "pmatch", "1\n1 1 2 1 1.0 inf\n", "pmatch: inf is not a finite number"},
      {pbounds, "pbounds", "1 1\n1 1 1 1 -inf 2\n", "pbounds: -inf is not a finite number"},
      {PArange, "PArange", "1\n1 5 nan 180\n", "PArange: nan is not a finite number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TScons = ConstraintTables();
    const std::string m = fatal_message([&] { load(c.command, c.name, c.text); });
    EXPECT_EQ(m.rfind(c.message, 0), 0u) << m;
  }
  EXPECT_EQ(fatal_message([&] { run_handler(plimits, cmd({"plimits", dir.file("absent")})); }), "could not open plimits file");
}

TEST_F(ConstraintTest, RowsNamingWhatTheModelLacksAreRefusedAtLoad) {
  // Two components and one source: an index beyond them, or a parameter beyond 10 (8 for a
  // source), addresses nothing and ends the load naming file, row and index.
  two_components();
  const int saved = TWsrc.NSRCMAX;
  TWsrc.NSRCMAX = 1;
  struct Case {
    void (*command)(const WordArray&);
    const char* name;
    const char* text;
    int row;
    const char* message;  // after "in <name>, row <row> of file <file>: "
  };
  const Case cases[] = {
      {PArange, "PArange", "1\n1e10 7 0 180\n", 1, "10000000000 is not a usable component index (1 to 2)"},
      // Source tables grow with the data: a source index is bounded by the count limit.
      {PArange, "PArange", "1\n-2147483648 5 0 180\n", 1,
       "-2147483648 is not a usable source index (-100000000 to -1)"},
      {plimits, "plimits", "2\n1 1 1 0.1\n1 -2147483648 0 0.1\n", 2,
       "-2147483648 is not a usable parameter index (1 to 10)"},
      {plimits, "plimits", "1\n1 9 0 0.1 src\n", 1, "9 is not a usable parameter index (1 to 8)"},
      {plimits, "plimits", "1\n0 1 0 0.1\n", 1, "0 is not a usable component index (1 to 2)"},
      {pmatch, "pmatch", "1\n1 2 3 2 1.0 0.1\n", 1, "3 is not a usable component index (1 to 2)"},
      {pmatch, "pmatch", "1\n1 5 1e9 5 2.0 0.2 src\n", 1,
       "-1000000000 is not a usable source index (-100000000 to -1)"},
      {pbounds, "pbounds", "1 2\n2 1 1 1 5 1 1 0.5 2\n", 1, "5 is not a usable component index (1 to 2)"},
      // A source term names its index as the file spells it (it read "-0 ... component index").
      {pbounds, "pbounds", "1 1\n1 0 1 1 0 1 src\n", 1, "0 is not a usable source index (1 to 100000000)"},
      {pbounds, "pbounds", "1 1\n-1 -3 1 1 0 1\n", 1, "-3 is not a usable source index (1 to 100000000)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TScons = ConstraintTables();
    const std::string m = fatal_message([&] { load(c.command, c.name, c.text); });
    EXPECT_EQ(m, std::string("in ") + c.name + ", row " + std::to_string(c.row) + " of file " +
                     dir.file(std::string(c.name) + ".txt") + ": " + c.message);
    EXPECT_EQ(TScons.nplim + TScons.npbnd + TScons.nPA + TScons.npmatch, 0);
  }
  // A count too large for an int, and an index of a constraint the file does not hold.
  TScons = ConstraintTables();
  EXPECT_EQ(fatal_message([&] { load(pbounds, "pbounds", "1 2\n2147483648 1 1 1 1 6 1 0.5 2\n"); }),
            "in pbounds, 2147483648 is not a usable number of terms (-100000000 to 100000000)");
  EXPECT_EQ(fatal_message([&] { load(pbounds, "pbounds", "1 1e12\n1 1 1 1 0 1\n"); }),
            "in pbounds, 1e12 is not a usable maximum number of terms (-100000000 to 100000000)");
  EXPECT_EQ(fatal_message([&] { load(PArange, "PArange", "1\n1 5 0 180\n", {"4294967297"}); }),
            "in PArange, 4294967297 is not a usable constraint index (-2147483647 to 2147483647)");
  EXPECT_EQ(fatal_message([&] { load(PArange, "PArange", "1\n1 5 0 180\n", {"nan"}); }),
            "PArange: nan is not a finite number");
  EXPECT_EQ(TScons.nPA, 0);
  TWsrc.NSRCMAX = saved;
}

TEST_F(ConstraintTest, BoundsWithAnEmptyRangeAreRefusedAtLoad) {
  // hi <= lo, and lo and hi missing (read as 0), would switch the penalty on forever.
  for (const char* line : {"1 1 2 1 0.1 0.1\n", "1 1 2 1 0.2 -0.1\n", "1 1 2 1\n"}) {
    SCOPED_TRACE(line);
    TScons = ConstraintTables();
    const std::string m = fatal_message([&] { load(pbounds, "pbounds", std::string("2 1\n1 1 1 1 -1 1\n") + line); });
    EXPECT_EQ(m.rfind("in pbounds, bound 2 of file", 0), 0u) << m;
  }
}

TEST_F(ConstraintTest, PboundsResetAlwaysResets) {
  // Nothing loaded: "reset" is never taken for a file name.
  run_handler(pbounds, cmd({"pbounds", "reset"}));
  EXPECT_EQ(TScons.npbnd, 0);
  load(pbounds, "pbounds", "1 2\n2 1 2 1 1 3 -1 -0.1 0.1\n");
  EXPECT_EQ(TScons.npbnd, 1);
  EXPECT_EQ(TScons.mpbnd, 2);
  run_handler(pbounds, cmd({"pbounds", "reset"}));
  EXPECT_EQ(TScons.npbnd, 0);
  EXPECT_EQ(TScons.mpbnd, 0);
}

TEST_F(ConstraintTest, PmatchFormIsChosenByTheLineItsOwnWords) {
  struct Case {
    const char* line;
    double igal, jgal, ratio, zeropt, sigma;
  };
  const Case cases[] = {
      {"1 2 3 4 1.0 0.1", 1, 3, 1.0, 0, 0.1},
      // A trailing comment must not turn a soft tie into an exact tie with an offset.
      {"1 2 3 4 1.0 0.1 # soft", 1, 3, 1.0, 0, 0.1},
      {"1 2 3 4 1.0 0.5 0.1", 1, 3, 1.0, 0.5, 0.1},
      {"1 2 3 4 1.0 0.5 0.1 # with offset", 1, 3, 1.0, 0.5, 0.1},
      {"1 5 2 5 2.0 0.2 src", -1, -2, 2.0, 0, 0.2},
      {"1 5 2 5 2.0 0.3 0.2 src # c", -1, -2, 2.0, 0.3, 0.2},
  };
  TWsrc.NSRCMAX = 0;  // no source model yet: any source index may be named
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TScons = ConstraintTables();
    load(pmatch, "pmatch", std::string("1\n") + c.line + "\n");
    ASSERT_EQ(TScons.npmatch, 1);
    const PmatchRow& r = TScons.pmatcharr[1];
    EXPECT_EQ(r.igal, c.igal);
    EXPECT_EQ(r.jgal, c.jgal);
    EXPECT_EQ(r.ratio, c.ratio);
    EXPECT_EQ(r.zeropt, c.zeropt);
    EXPECT_EQ(r.sigma, c.sigma);
  }
}

TEST_F(ConstraintTest, LimitsCompareInTheCoordinatesTheyName) {
  set("shrcoords", 1);
  load(plimits, "plimits", "1\n1 4 0.2 0.05 pol\n");
  load_model("alpha 1 0 0 0.3 0.4 0 0 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  int nd, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  const Mat g = params();
  // Magnitude 0.5 against 0.2 with sigma 0.05.
  EXPECT_NEAR(plimfunc(&g, nullptr), 36.0, 1e-9);
  storage_clear();
  // Polar model, Cartesian limit on the components: e cos 2t, e sin 2t.
  TScons = ConstraintTables();
  set("shrcoords", 2);
  load(plimits, "plimits", "1\n1 5 0.0 0.1 cart\n");
  load_model("alpha 1 0 0 0.2 45 0 0 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  const Mat h = params();
  EXPECT_NEAR(plimfunc(&h, nullptr), 4.0, 1e-9);  // (0.2 sin 90 / 0.1)^2
}

TEST_F(ConstraintTest, BoundPenaltiesAsTables) {
  two_components();
  // x - y of component 1 within 0.1 of 0; polar angle difference within 10 degrees,
  // with a negative coefficient (it must wrap, not hang); a zero-coefficient angle term.
  load(pbounds, "pbounds",
       "3 3\n2 1 2 1 1 3 -1 -0.1 0.1\n2 1 5 1 2 5 -1 -10 10 pol\n3 1 5 1 2 5 -1 2 7 0 -10 10 pol\n");
  struct Case {
    double x, y, pa1, pa2, penalty;
  };
  const Case cases[] = {
      {0, 0, -5, 170, 0},
      {0.05, 0, -5, 170, 0},
      {0.2, 0, -5, 170, 1e8 * 4},
      {0, 0, 30, 5, 2 * 6.25e8},
      {0, 0, 5, 30, 2 * 6.25e8},
      {0, 0, 1e9 + 3, 1e9, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pa1);
    Mat g = params();
    g[1][2] = c.x;
    g[1][3] = c.y;
    g[1][5] = c.pa1;
    g[2][5] = c.pa2;
    EXPECT_NEAR(pbndfunc(&g, nullptr), c.penalty, 1e-3 * std::max(1.0, c.penalty));
  }
}

TEST_F(ConstraintTest, ProcParmsFoldsWrapsAndTies) {
  two_components("0 0 0 1 1 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  load(PArange, "PArange", "1\n2 5 10 190\n");
  load(pmatch, "pmatch", "1\n2 1 1 1 0.5 0.1 0\n");
  struct Case {
    double e1, pa1, pa2, pawrap;
    double e1_out, pa1_out, pa2_out;
  };
  const Case cases[] = {
      {-0.3, 10, -30, 0, 0.3, 100, -30},  // angle ranges act only with PAwrap
      {-0.3, 10, 200, 1, 0.3, -80, 20},
      {0.3, 10, -30, 1, 0.3, 10, 150},
      {2.0, 10, 190, 1, 0.5, -80, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.e1);
    set("PAwrap", c.pawrap);
    Mat g = params();
    g[1][4] = c.e1;
    g[1][5] = c.pa1;
    g[2][5] = c.pa2;
    proc_parms(g, nullptr);
    EXPECT_NEAR(g[1][4], c.e1_out, 1e-12);
    EXPECT_NEAR(g[1][5], c.pa1_out, 1e-9);
    EXPECT_NEAR(g[2][5], c.pa2_out, 1e-9);
    EXPECT_NEAR(g[2][1], 0.5 * g[1][1] + 0.1, 1e-12);  // the exact tie
  }
}

TEST_F(ConstraintTest, LognormalTieRefusesOnlyTheStartModel) {
  two_components();
  load(pmatch, "pmatch", "1\n1 1 2 1 1.0 -0.1\n");
  Mat g = params();
  g[1][1] = 1;
  g[2][1] = 1.0 / 10;  // log10 r = 1
  EXPECT_NEAR(pmatchfunc(&g, nullptr), 100.0, 1e-9);
  g[2][1] = -1;  // r = -1
  EXPECT_NEAR(pmatchfunc(&g, nullptr), (1 + 4) * 1e8, 1);
  set_start_model();
  EXPECT_EQ(fatal_message([&] { pmatchfunc(&g, nullptr); }),
            "negative numbers associated with lognormal errors in pmatch");
  TSrun.start_model = false;
}

TEST_F(ConstraintTest, CheckParmsPenalties) {
  two_components();
  set("nobflip", 1);
  Mat g = params();
  g[1][1] = -0.5;
  double pen = 0;
  {
    CaptureOutput out;
    pen = check_parms(TWref.ref[1].names, g);
    EXPECT_NE(out.text().find("WARNING: b[1] has changed signs"), std::string::npos);
  }
  EXPECT_NEAR(pen, 3.25e8, 1);
  g = params();
  g[2][4] = 0.9995;
  g[2][6] = 1.5;  // above maxshear 1
  EXPECT_NEAR(check_parms(TWref.ref[1].names, g), (0.9995 * 0.9995 + 1) * 1e8 + (1.5 * 1.5 + 1) * 1e8, 1);
}

TEST_F(ConstraintTest, OptimizeFollowsALimitWithoutData) {
  load_model(kQuadoffModel, "1 0 0 0 0 0 0 0 0 0\n");
  load(plimits, "plimits", "1\n1 1 1.05 0.01\n");
  run_handler(optimize, cmd({"optimize", dir.file("lim")}));
  EXPECT_NEAR(TWref.ref[1].p[1][1], 1.05, 1e-4);
}

TEST_F(ConstraintTest, IgnoreIndicesOutsideTheFileSwitchNothingOff) {
  // Only 1..N switch a new row off; 0 and N+1 are integers that address no row.
  load(plimits, "plimits", "2\n1 1 1 0.1\n1 2 0 0.1\n", {"0", "3", "-5", "2"});
  ASSERT_EQ(TScons.nplim, 2);
  EXPECT_EQ(TScons.plimarr[1].on, 1);
  EXPECT_EQ(TScons.plimarr[2].on, 0);
}

TEST_F(ConstraintTest, IndicesLoadedBeforeAnyModelAreBoundedAndSafeAtUse) {
  ASSERT_EQ(TWgal.NGALMAX, 0);
  // With no model the count limit bounds a component index (near INT_MAX the scaled
  // index overflowed and the fit negated INT_MIN).
  EXPECT_EQ(fatal_message([&] { load(plimits, "plimits", "1\n2147483600 1 0 1\n"); }),
            "in plimits, row 1 of file " + dir.file("plimits.txt") +
                ": 2147483600 is not a usable component index (1 to 100000000)");
  // Stored indices are read within the int range, so that every one can be negated.
  for (double v : {2147483600.0, 1e10, 1e308, -1e308, -2147483648.0}) {
    SCOPED_TRACE(v);
    const int k = constraint_index(v);
    EXPECT_LE(std::abs(static_cast<long>(k)), kIntWordLimit);
    EXPECT_EQ(k > 0, v > 0);
  }
  EXPECT_EQ(constraint_index(std::nan("")), 0);
  EXPECT_EQ(constraint_index(2.9999999), 3);
  // Rows naming a component or source the fitted model lacks add nothing.
  TWsrc.NSRCMAX = 0;
  load(plimits, "plimits", "3\n7 1 0 1\n2 1 0 1 src\n1 1 0.5 0.1\n");
  load(pbounds, "pbounds", "1 1\n-1 5 1 1 0 1\n");
  load(PArange, "PArange", "1\n9 5 0 180\n");
  two_components();
  Mat g = params(), s(1, 1, 1, 8);
  EXPECT_NEAR(plimfunc(&g, &s), 25.0, 1e-9);
  EXPECT_EQ(pbndfunc(&g, &s), 0.0);
  set("shrcoords", 2);
  proc_parms(g, &s);
}

TEST_F(ConstraintTest, PboundsRowsHoldTheirOwnTerms) {
  // The file's maximum bounds the term count but sizes no row: a maximum of 10^8 once
  // gave each row 3 x 10^8 + 4 columns.
  load(pbounds, "pbounds", "2 100000000\n1 1 1 1 0 2\n2 1 1 1 2 1 1 -1 1\n");
  ASSERT_EQ(TScons.npbnd, 2);
  EXPECT_EQ(TScons.pbndarr[1].c.size(), 7u);
  EXPECT_EQ(TScons.pbndarr[2].c.size(), 10u);
  two_components();
  Mat g = params();
  g[1][1] = 3;  // 3 > 2: outside row 1; 3 + 0.5 > 1: outside row 2
  EXPECT_NEAR(pbndfunc(&g, nullptr), kHardPenalty * (4.0 + 12.25), 1e-3);
}
