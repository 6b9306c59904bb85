// The model store, chi-squared assembly, galaxy and parity terms, the optimiser driver and
// the chi-squared line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "core/sources.h"
#include "fit/constraints.h"
#include "fit/fit_fixture.h"
#include "fit/results.h"
#include "imageplane/source_models.h"
#include "numeric/constants.h"

namespace {

class StoreTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("chimode", 0);  // no grid builds: the source-plane form
    set("nopointchi", 1);  // the terms of the assembly alone (the point terms have tests of their own)
    set("verbose", 1);
  }
  // Runs domin on the model set as loaded; returns what it printed.
  std::string run_domin(int nmodels = 1) {
    models.reset(1, TWref.Nref);
    for (int v = 1; v <= TWref.Nref; ++v) models[v] = TWref.ref[v].p;
    CaptureOutput out;
    domin(TWref.ref[1].names, TWref.refv, models, nmodels, ndim, niter);
    return out.text();
  }
  // Rows of the simplex listing printed before amoeba.
  static std::vector<std::vector<double>> vertices(const std::string& text) {
    std::vector<std::vector<double>> rows;
    const size_t at = text.find("  Note: before amoeba, p array:\n");
    if (at == std::string::npos) return rows;
    std::istringstream in(text.substr(at));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && !line.empty() && line[0] == ' ' && line.find(':') == std::string::npos) {
      std::istringstream l(line);
      std::vector<double> r;
      for (double v; l >> v;) r.push_back(v);
      rows.push_back(r);
    }
    return rows;
  }
  // Scores model 1 of the set as loaded, within a store of its own.
  double score() {
    int nd, ng, ns;
    storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
    const double c = calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, TSstore.sref);
    storage_clear();
    return c;
  }

  BVec<Mat> models;
  int ndim = -1, niter = -1;
};

}  // namespace

TEST_F(StoreTest, NothingVariedEvaluatesTheStartModelOnce) {
  load_quadoff();
  load_model("alpha 1 0.003 0 0 0 0.1 0 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  const std::string out = run_domin();
  EXPECT_EQ(ndim, 0);
  EXPECT_EQ(niter, 0);
  EXPECT_EQ(out.find("before amoeba"), std::string::npos);
  EXPECT_EQ(models[1][1][2], 0.003);
  EXPECT_NEAR(TSstore.chi[kChiGal], 1.0, 1e-12);
  EXPECT_NEAR(TSstore.chi[kChiTot], 1.0, 1e-12);
  EXPECT_FALSE(TSstore.built);
}

TEST_F(StoreTest, GalaxyTermMovesTheComponentOntoTheGalaxy) {
  load_quadoff();
  set("nopointchi", 1);
  load_model("alpha 1 0.1 -0.05 0 0 0.1 0 0 0 1\n", "0 1 1 0 0 0 0 0 0 0\n");
  run_domin();
  EXPECT_EQ(ndim, 2);
  EXPECT_GT(niter, 0);
  EXPECT_LT(std::hypot(models[1][1][2], models[1][1][3]), 1e-4);
  EXPECT_EQ(models[1][1][1], 1.0);
  EXPECT_LT(TSstore.chi[kChiTot], settings.ftol);
  EXPECT_EQ(TSobs.galmod[1].x, models[1][1][2]);
  EXPECT_EQ(TSobs.galmod[1].sig_R_e, 1e6);
}

TEST_F(StoreTest, ErrorEllipseOfTheGalaxyTerm) {
  // Galaxy error ellipse a 0.02, b 0.01 at 30 degrees (major axis along (-sin, cos)):
  // an offset along the major axis by a costs 1, along the minor axis by b costs 1.
  load_data("2\n0 0 0.02 0.01 30\n1 1\n0 1\n0 1\n1 1 0 0 0\n1 1\n0 1\n0 1\n1\n1\n0.5 0 1 0.01 0 0 0.1 0 0\n", "data2");
  const double th = 30 * kPi / 180;
  const std::string fmt = "alpha 1 %.12f %.12f 0 0 0 0 0 0 1\n";
  const std::string second = "alpha 1 1 1 0 0 0 0 0 0 1\n";
  const std::string vary = "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n";
  load_model(strformat(fmt.c_str(), -0.02 * std::sin(th), 0.02 * std::cos(th)) + second, vary, 2);
  EXPECT_NEAR(score(), 1.0, 1e-9);
  load_model(strformat(fmt.c_str(), 0.01 * std::cos(th), 0.01 * std::sin(th)) + second, vary, 2);
  EXPECT_NEAR(score(), 1.0, 1e-9);
  // The second galaxy has no measured position: it adds nothing wherever its component is.
  EXPECT_NEAR(TSstore.chi[kChiGal], 1.0, 1e-9);
}

TEST_F(StoreTest, HardFailuresOfTheAssembly) {
  load_data("2\n0 0 0.01\n1 1\n0 1\n0 1\n1 0 0.01\n1 1\n0 1\n0 1\n1\n1\n0.5 0 1 0.01 0.1 0\n");
  load_model(kQuadoffModel, "0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(fatal_message([&] { score(); }), "there are 2 observed galaxies but the model has only 1 components");

  load_quadoff();
  set("nopointchi", 0);
  set("chimode", 1.5);
  EXPECT_EQ(fatal_message([&] { score(); }), "unknown value of chimode");
  set("chimode", 2.00005);  // the relative-position form, on the true model
  EXPECT_LT(score(), 1e-9);
  set("nopointchi", 1);
  set("chimode", 0);
  set("optmode", 3);
  load_quadoff_model();
  EXPECT_EQ(fatal_message([&] { run_domin(); }), "unknown value for optmode");
  EXPECT_EQ(fatal_message([&] { run_domin(0); }), "no parameters passed to minimization routine domin()\n");
}

TEST_F(StoreTest, NonFiniteTotalsBecomeTheLargestScore) {
  load_quadoff();
  load_quadoff_model();
  TSobs.galobs[1].x = std::nan("");
  EXPECT_EQ(score(), kChiNonFinite);
}

TEST_F(StoreTest, ParityFailureScoresTheParityPenalty) {
  load_quadoff();
  load_quadoff_model();
  EXPECT_LT(score(), 1e-6);  // the galaxy sits on component 1; the parities agree
  TSobs.srcobs[1].flux[3][1] = 5.706979;
  CaptureOutput out;
  set_start_model();
  EXPECT_EQ(score(), kParityPenalty);
  EXPECT_FALSE(start_model_flag());  // cleared by the evaluation, also at a penalty
  EXPECT_EQ(TSstore.chi[kChiGal], 0.0);
  EXPECT_EQ(out.text(),
            "ERROR: failed parity check -- source #1, image #3\n"
            "       Observed parity           =  1\n"
            "       Model partial parities    =  1 -1\n"
            "       (Setting chisq=1.0e9.)\n"
            "       Start from a model whose critical curve puts this image on its observed side, or use "
            "'set checkparity 0' for a first source-plane stage.\n");
  end_command_messages();
  // Images fainter than 5 percent of the brightest are never flagged; checkparity 0 skips.
  TSobs.srcobs[1].flux[3][1] = 0.3;
  EXPECT_LT(score(), 1e-6);
  TSobs.srcobs[1].flux[3][1] = 5.706979;
  set("checkparity", 0);
  EXPECT_LT(score(), 1e-6);
}

// The parity failure names the image whose flux sign differs from the sign of det A
// there (the source sign taken positive), not whichever image disagrees with the brightest.
TEST_F(StoreTest, ParityFailureNamesTheImageOnTheWrongSide) {
  struct Case {
    int image;        // image whose flux sign is flipped (image 2 is the brightest)
    double flux;
    const char* head;
  };
  const Case cases[] = {
      {4, 4.323673, "ERROR: failed parity check -- source #1, image #4\n"},
      {2, -7.459387, "ERROR: failed parity check -- source #1, image #2 (the reference, brightest image)\n"},
  };
  for (const Case& c : cases) {
    load_quadoff();
    load_quadoff_model();
    TSobs.srcobs[1].flux[c.image][1] = c.flux;
    CaptureOutput out;
    EXPECT_EQ(score(), kParityPenalty) << c.image;
    EXPECT_EQ(out.text().rfind(c.head, 0), 0u) << out.text();
    EXPECT_EQ(count_occurrences(out.text(), "ERROR:"), 1) << c.image;
    end_command_messages();
  }
}

// A fit whose every trial fails the parity check prints the failure once, ends with the
// count of penalised evaluations, and returns the start model unchanged.
TEST_F(StoreTest, FitThatCannotMoveReturnsItsStartModel) {
  load_quadoff();
  const std::string start = "alpha 1.01 0.003 -0.002 0.05 60 0.1 30 0 0 1\n";
  load_model(start, "1 1 1 1 1 1 1 0 0 0\n");
  const Mat given = TWref.ref[1].p;
  TSobs.srcobs[1].flux[2][1] = -7.459387;  // the brightest image on the wrong side everywhere
  set("nopointchi", 0);
  set("optNMAX", 200);
  const std::string out = run_domin();
  EXPECT_EQ(count_occurrences(out, "       Observed parity"), 1) << out;
  const std::string closing = "(the reference, brightest image) (printed once; ";
  ASSERT_NE(out.find(closing), std::string::npos) << out;
  EXPECT_GT(std::atol(out.c_str() + out.find(closing) + closing.size()), 8);
  EXPECT_EQ(TSstore.chi[kChiTot], kParityPenalty);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(models[1][1][k], given[1][k]) << k;

  // No data at all: every trial scores 0, and the start comes back too (not a vertex).
  TSobs.Nsrcobs = 0;
  TSobs.Ngalobs = 0;
  run_domin();
  EXPECT_EQ(TSstore.chi[kChiTot], 0.0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(models[1][1][k], given[1][k]) << k;
}

TEST_F(StoreTest, SimplexVerticesFollowTheModelsAndTheStepSizes) {
  load_quadoff();
  set("optNMAX", 1);
  // Two models, three varied parameters: vertices 1 and 2 are the models, 3 and 4 move
  // parameters 1 and 2 of model 1 by their steps.
  dir.write("two.dat", "1 2\nalpha 1 0.1 -0.05 0 0 0.1 0 0 0 1\nalpha 1.1 0.2 0 0 0 0.1 0 0 0 1\n1 1 1 0 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", dir.file("two.dat")}));
  ASSERT_EQ(TWref.Nref, 2);
  auto v = vertices(run_domin(2));
  ASSERT_EQ(ndim, 3);
  const double sb = TWstep.pstep[1][1], sx = TWstep.pstep[1][2];
  const std::vector<std::vector<double>> want = {
      {1, 0.1, -0.05}, {1.1, 0.2, 0}, {1 + sb, 0.1, -0.05}, {1, 0.1 + sx, -0.05}};
  ASSERT_EQ(v.size(), want.size());
  for (size_t r = 0; r < want.size(); ++r)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(v[r][j], want[r][j], 1e-4) << r << " " << j;

  // At the evaluation limit the best point comes back evaluated (not amoeba's 1e12).
  EXPECT_LT(TSstore.chi[kChiTot], 1e12);
  const double returned = TSstore.chi[kChiTot];
  for (int k = 1; k <= 10; ++k) TWref.ref[1].p[1][k] = models[1][1][k];
  EXPECT_NEAR(score(), returned, 1e-9 * returned);

  // Random vertices repeat for a seed and differ between seeds.
  set("vertmode", 2);
  auto random_vertices = [&](long seed) {
    set("seed", seed);
    start_command_run();
    return vertices(run_domin(1));
  };
  const auto a = random_vertices(5), b = random_vertices(5), c = random_vertices(6);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  ASSERT_EQ(a.size(), 4u);
  for (int j = 0; j < 3; ++j) EXPECT_LE(std::fabs(a[1][j] - a[0][j]), TWstep.pstep[1][j + 1] * 2);
}

// The simplex keeps the angles it proposed (a start at 90 has the vertex 90 + step, not
// its fold -90 + step); only the model written is folded into [-90, 90].
TEST_F(StoreTest, SimplexMovesThroughContinuousAngles) {
  load_quadoff();
  set("nopointchi", 0);
  set("checkparity", 0);
  set("optNMAX", 40);
  load_model("alpha 1 0 0 0 0 0.1 90 0 0 1\n", "0 0 0 0 0 1 1 0 0 0\n");
  const auto v = vertices(run_domin());
  ASSERT_EQ(v.size(), 3u);
  const double step = TWstep.pstep[1][7];
  ASSERT_GT(step, 0);
  EXPECT_NEAR(v[0][1], 90, 1e-4);
  EXPECT_NEAR(v[2][1], 90 + step, 1e-4);
  EXPECT_GT(std::fabs(models[1][1][7] - 90), 0.0);  // the fit moved
  EXPECT_LE(std::fabs(models[1][1][7]), 90.0);
}

TEST_F(StoreTest, MinimiserRunsUnlessTheStartIsAlreadyWithinTolerance) {
  load_quadoff();
  load_model("alpha 1 0.00001 0 0 0 0.1 0 0 0 1\n", "0 1 1 0 0 0 0 0 0 0\n");
  std::string out = run_domin();
  EXPECT_EQ(niter, 0);
  EXPECT_EQ(out.find("before amoeba"), std::string::npos);
  // A total of exactly 0 is not "within tolerance": the minimiser still runs.
  load_model("alpha 1 0 0 0 0 0.1 0 0 0 1\n", "0 1 1 0 0 0 0 0 0 0\n");
  out = run_domin();
  EXPECT_NE(out.find("before amoeba"), std::string::npos);
  set("verbose", 2);
  EXPECT_EQ(run_domin().find("before amoeba"), std::string::npos);
  // Direction-set method.
  set("optmode", 2);
  load_model("alpha 1 0.1 -0.05 0 0 0.1 0 0 0 1\n", "0 1 1 0 0 0 0 0 0 0\n");
  run_domin();
  EXPECT_LT(std::hypot(models[1][1][2], models[1][1][3]), 1e-3);
}

TEST_F(StoreTest, ExactTiesAndSourceFlagsShapeTheVector) {
  load_quadoff_model("1 1 1 1 0 0 0 0 0 0\n");
  TWsrc.srcvary[1][1] = TWsrc.srcvary[1][2] = TWsrc.srcvary[1][3] = 1;  // never in the vector
  TWsrc.srcvary[1][4] = 1;
  int nd, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  EXPECT_EQ(ng, 4);
  EXPECT_EQ(ns, 1);
  EXPECT_EQ(nd, 5);
  storage_clear();
  TScons.npmatch = 3;
  TScons.pmatcharr.reset(1, 3);
  TScons.pmatcharr[1] = PmatchRow{1, 1, 3, 1, 2, 1, 0, 0};      // exact: y follows x
  TScons.pmatcharr[2] = PmatchRow{1, 1, 4, 1, 1, 1, 0.1, 0};    // soft: e stays
  TScons.pmatcharr[3] = PmatchRow{1, -1, 4, -1, 5, 1, 0, 0};    // exact source tie
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  EXPECT_EQ(ng, 3);
  EXPECT_EQ(ns, 0);
  EXPECT_EQ(nd, 3);
  EXPECT_EQ(TSstore.gvary[1][3], 0);
  EXPECT_EQ(TSstore.gvary[1][4], 1);

  // The vector: components first, then sources; fixed values from the start model.
  Vec x(1, 3);
  x[1] = 1.2;
  x[2] = 0.3;
  x[3] = 0.05;
  tryparms(x);
  EXPECT_EQ(TSstore.gtry[1][1], 1.2);
  EXPECT_EQ(TSstore.gtry[1][2], 0.3);
  EXPECT_EQ(TSstore.gtry[1][3], 0.3);  // y follows x through the exact tie
  EXPECT_EQ(TSstore.gtry[1][4], 0.05);
  EXPECT_EQ(TSstore.gtry[1][6], 0.1);
  storage_clear();
}

TEST_F(StoreTest, TraceFileHoldsOneBlockPerEvaluation) {
  load_quadoff();
  load_model("alpha 1 0.1 -0.05 0 0 0.1 0 0 0 1\n", "0 1 1 0 0 0 0 0 0 0\n");
  set("tempfiles", 1);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  set("optNMAX", 20);
  run_domin();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(TSrun.chifile, nullptr);
  const std::string t = dir.read("chitmp.dat");
  const int blocks = count_occurrences(t, "LENS PARMS:\n");
  EXPECT_GT(blocks, 20);
  EXPECT_EQ(count_occurrences(t, "SOURCE PARMS:\n"), blocks);
  EXPECT_EQ(count_occurrences(t, "SOURCE 1: "), blocks);
  EXPECT_EQ(count_occurrences(t, "CHISQ: "), blocks);
  EXPECT_NE(t.find(" # u v fsrc h\n"), std::string::npos);
}

// The trace stops at its bound (a small one here), cut back to the last whole record,
// with one NOTE per command; the fit goes on to the same result as with the trace whole.
TEST_F(StoreTest, TraceStopsAtItsBound) {
  load_quadoff();
  load_model("alpha 1 0.1 -0.05 0 0 0.1 0 0 0 1\n", "0 1 1 0 0 0 0 0 0 0\n");
  set("tempfiles", 1);
  set("optNMAX", 40);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  run_domin();
  const Mat whole = models[1];
  const size_t whole_size = dir.read("chitmp.dat").size();
  set_chi_trace_bound(3000);
  start_command_run();
  const std::string out = run_domin() + run_domin();
  set_chi_trace_bound(kChiTraceBound);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_GT(whole_size, 6000u);
  const std::string t = dir.read("chitmp.dat");
  EXPECT_LE(t.size(), 3000u);
  EXPECT_GT(t.size(), 0u);
  // The last record is whole: it ends with its chi-squared line.
  const size_t last = t.rfind("CHISQ: ");
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(t.find('\n', last), t.size() - 1);
  EXPECT_EQ(count_occurrences(out, "NOTE: the trace chitmp.dat reached its bound of 3000 bytes and is not written "
                                   "further; the run goes on ('set tempfiles 0' turns the trace off)\n"),
            1)
      << out;
  EXPECT_EQ(TSrun.chifile, nullptr);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(models[1][1][k], whole[1][k]) << k;
  // The README states the default bound.
  std::ifstream readme(source_path("README.md"));
  std::stringstream text;
  text << readme.rdbuf();
  EXPECT_NE(text.str().find("(" + std::to_string(kChiTraceBound) + " bytes)"), std::string::npos);
}

TEST_F(StoreTest, ChiSquaredLine) {
  const double chi[9] = {10, 1, 2, 3, 4, 0, 0, 0, 0.5};
  ScratchDir d;
  FILE* f = std::fopen(d.file("c.txt").c_str(), "w");
  writechi(f, chi, 0);
  writechi(f, chi, 1);
  set("chimode", 2);
  writechi(f, chi, 1);
  std::fclose(f);
  const std::string nums =
      " 1.000000e+01 1.000000e+00 2.000000e+00 3.000000e+00 4.000000e+00 0.000000e+00 0.000000e+00 "
      "0.000000e+00 5.000000e-01";
  const std::string labelled = "CHISQ:" + nums + " # tot pos flux tdel gal plim crv ring weak\n";
  EXPECT_EQ(d.read("c.txt"), nums + "\n" + labelled + labelled + "RMS: 0.000000e+00 # from GausCorr\n");
}

TEST_F(StoreTest, OncePerRunWarningsComeBackWithEachCommandRun) {
  long stamp = 0;
  start_command_run();
  EXPECT_TRUE(once_per_run(stamp));
  EXPECT_FALSE(once_per_run(stamp));
  start_command_run();
  EXPECT_TRUE(once_per_run(stamp));
  EXPECT_FALSE(once_per_run(stamp));
}

// A trial source that cannot be imaged takes the source penalty of the assembly, and the
// fit goes on: a Sersic index or size outside its range scores at least 1e8 (more the
// further out), with a warning naming the value and without reaching the normalisation,
// and a prior that pulls a Sersic source's index towards -1 leaves the optimiser at an
// index inside the range, not ended by the trials beyond it.
TEST_F(StoreTest, TrialSourceThatCannotBeImagedTakesThePenalty) {
  load_quadoff();
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  dir.write("src.dat", "1 1000\nsersic 1 0.05 0.02 0 0 0.1 0 0.5\n0 0 0 0 0 0 0 1\n");
  {
    CaptureOutput quiet;
    run_handler(setsource, cmd({"setsource", dir.file("src.dat")}));
  }
  int nd, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
  ASSERT_EQ(nd, 1);
  const double good = calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, TSstore.sref);
  EXPECT_LT(good, 1e3);
  struct Trial {
    int k;
    double value;
    const char* warning;
  };
  const Trial trials[] = {
      {8, 25, "WARNING: source 1: sersic index 25 is out of range"},
      {8, 100, "WARNING: source 1: sersic index 100 is out of range"},
      {8, 0.001, "WARNING: source 1: sersic index 0.001 is out of range"},
      {8, -1, "WARNING: source 1: sersic index -1 is out of range"},
      {6, 0, "WARNING: source 1: sersic size 0 is out of range"},
      {6, 1e-300, "WARNING: source 1: sersic size 1e-300 is out of range"},
      {6, 1e6, "WARNING: source 1: sersic size 1e+06 is out of range"},
  };
  double last = 0;
  for (const Trial& t : trials) {
    Mat trial = TSstore.sref;
    trial[1][t.k] = t.value;
    CaptureOutput out;
    const double chi = calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, trial);
    EXPECT_GE(chi, 1e8) << t.warning;
    EXPECT_TRUE(std::isfinite(chi));
    EXPECT_EQ(out.text().rfind(t.warning, 0), 0u) << out.text();
    for (int k = 9; k <= 12; ++k) EXPECT_TRUE(std::isfinite(TWsrc.srcparms[1][k])) << t.warning;
    if (t.k == 8 && t.value > 20) {
      EXPECT_GT(chi, last);  // further out, larger
      last = chi;
    }
  }
  EXPECT_DOUBLE_EQ(calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, TSstore.sref), good);
  storage_clear();

  dir.write("plim.txt", "1\n-1 8 -1 0.1\n");
  run_handler(plimits, cmd({"plimits", dir.file("plim.txt")}));
  const std::string out = run_domin();
  EXPECT_NE(out.find("WARNING: source 1: sersic index"), std::string::npos);
  EXPECT_GE(TWsrc.srcparms[1][8], kMinSersicIndex);
  EXPECT_LT(TWsrc.srcparms[1][8], 0.5);
  EXPECT_TRUE(std::isfinite(TWsrc.srcparms[1][9]));
}
