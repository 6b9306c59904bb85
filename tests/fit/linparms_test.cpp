// Linear parameters: the pair schemes reproduce their image pairs exactly, the
// least-squares schemes minimise the scatter of the back-projected images, and the
// quadoff lens is recovered from a wrong start.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fit/fit_fixture.h"
#include "fit/linparms.h"

namespace {

class LinparmsTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("chimode", 0);
    set("verbose", 1);
    set("tempfiles", 0);
  }
  // Model 1's parameters with the scheme applied.
  Mat solve(int scheme) {
    set("linparms", scheme);
    Mat p = TWref.ref[1].p;
    auto_parms(p);
    return p;
  }
  // Back-projection of observed image k of source i under parameters p.
  void beta(const Mat& p, int i, int k, double& bu, double& bv) {
    initmodel(TWref.ref[1].names, p, TWref.ref[1].z, 0);
    const SrcData& s = TSobs.srcobs[i];
    double pot, ax, ay, pxx, pyy, pxy, pyx;
    potdefmag(s.x[k], s.y[k], pot, ax, ay, pxx, pyy, pxy, pyx);
    bu = s.x[k] - ax;
    bv = s.y[k] - ay;
  }
  // Weighted scatter of the back-projected images of source 1 about their weighted mean:
  // isotropic weights 1/sig_a^2, or the full error ellipses.
  double scatter(const Mat& p, bool ellipses) {
    const SrcData& s = TSobs.srcobs[1];
    double S11 = 0, S12 = 0, S22 = 0, r1 = 0, r2 = 0, c = 0;
    for (int k = 1; k <= s.nimg; ++k) {
      double bu, bv;
      beta(p, 1, k, bu, bv);
      Tensor3& C = const_cast<Tensor3&>(s.invcov);
      const double w = 1 / (s.sig_a[k] * s.sig_a[k]);
      const double a = ellipses ? C[k][0][0] : w, b = ellipses ? C[k][0][1] : 0, d = ellipses ? C[k][1][1] : w;
      S11 += a;
      S12 += b;
      S22 += d;
      r1 += a * bu + b * bv;
      r2 += b * bu + d * bv;
      c += a * bu * bu + 2 * b * bu * bv + d * bv * bv;
    }
    const double det = S11 * S22 - S12 * S12;
    const double u = (S22 * r1 - S12 * r2) / det, v = (S11 * r2 - S12 * r1) / det;
    return c - (u * r1 + v * r2);
  }
  // Quadoff data with image 1 moved, so that no model fits exactly.
  void noisy_quadoff() {
    load_quadoff();
    TSobs.srcobs[1].x[1] += 0.01;
    TSobs.srcobs[1].y[1] -= 0.006;
  }
  // Runs domin on model 1 with nothing varied; returns what it printed.
  std::string run_domin_fixed(Mat& out) {
    BVec<Mat> models(1, 1);
    models[1] = TWref.ref[1].p;
    int nd, ni;
    CaptureOutput cap;
    domin(TWref.ref[1].names, TWref.refv, models, 1, nd, ni);
    out = models[1];
    return cap.text();
  }
};

const char* kNoVary = "0 0 0 0 0 0 0 0 0 0\n";

std::string novary(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += kNoVary;
  return s;
}

}  // namespace

TEST_F(LinparmsTest, QuadoffLensIsRecoveredThroughTheFitter) {
  load_quadoff();
  struct Case {
    int scheme;
    const char* start;
  };
  const Case cases[] = {
      {1, "alpha 1 0 0 0 0 0 0 0 0 1\n"},
      {31, "alpha 0.8 0 0 0 0 0 0 0 0 1\n"},
      {90, "alpha 0.8 0 0 0 0 0 0 0 0 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    set("linparms", c.scheme);
    load_model(c.start, kNoVary);
    Mat p;
    run_domin_fixed(p);
    const double tol = c.scheme == 1 ? 5e-7 : 1e-6;  // scheme 1 sees the rounding of two images
    EXPECT_NEAR(p[1][1], 1.0, tol);
    EXPECT_NEAR(p[1][6], 0.1, tol);
    EXPECT_NEAR(p[1][7], 0.0, 1e-3);
    // The evaluation saw the solved model: the source-plane chi-squared is tiny.
    EXPECT_LT(TSstore.chi[kChiPos], 1e-3);
  }
}

TEST_F(LinparmsTest, PairSchemesReproduceTheirPairsExactly) {
  // Models with a shear on component 1 and further components: each solved model maps
  // both images of every pair it uses onto one source.
  struct Case {
    int scheme;
    int ngal;
    std::string model;
    int shrcoords;
    bool second_pair;
  };
  const std::string c1 = "alpha 0.9 0 0 0.2 20 0.07 10 0 0 1\n";
  const std::string c1s = "alpha 0.9 0 0 0.15 0.1 0.05 0.03 0 0 1\n";  // shrcoords 1
  const std::string c2 = "alpha 0.1 0.4 0.3 0 0 0.03 70 0 0 1\n";
  const std::string c2s = "alpha 0.1 0.4 0.3 0 0 0.02 0.02 0 0 1\n";
  const std::string c34 = "alpha 0.05 -0.5 0.2 0 0 0 0 0 0 1\nalpha 0.05 0.1 -0.6 0 0 0 0 0 0 1\n";
  const std::string four = c1 + c2 + c34;
  const Case cases[] = {
      {1, 2, c1 + c2, 2, false},  {1, 1, c1s, 1, false},
      {2, 2, c1 + c2, 2, false},  {2, 1, c1s, 1, false},
      {3, 2, c1 + c2, 2, false},  {4, 4, four, 2, true},
      {44, 2, c1 + c2, 2, true},  {44, 2, c1s + c2s, 1, true},
  };
  load_quadoff();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.scheme) + " shrcoords " + std::to_string(c.shrcoords));
    set("shrcoords", c.shrcoords);
    load_model(c.model, novary(c.ngal), c.ngal);
    const Mat p = solve(c.scheme);
    double au, av, bu, bv;
    beta(p, 1, 1, au, av);
    beta(p, 1, 2, bu, bv);
    EXPECT_NEAR(au, bu, 1e-10);
    EXPECT_NEAR(av, bv, 1e-10);
    if (c.second_pair) {
      beta(p, 1, 3, bu, bv);
      EXPECT_NEAR(au, bu, 1e-10);
      EXPECT_NEAR(av, bv, 1e-10);
    }
  }
  set("shrcoords", 2);
}

TEST_F(LinparmsTest, PairTwoComesFromTheSecondSourceBelowFourImages) {
  // Source 1 has three images, source 2 two: pair 2 is source 2's images 1 and 2.
  const std::string data =
      "1\n0 0 0.01\n1 1\n0 1\n0 1\n2\n3\n"
      "1.163803 0.082317 4.591467 0.003 0.5 0 0\n-1.046803 0.131375 7.459387 0.003 0.5 0 0\n"
      "-0.281878 0.884234 -5.706979 0.003 0.5 0 0\n"
      "2\n1.3 0.4 1 0.003 0.5 0 0\n-0.6 -0.3 -1 0.003 0.5 0 0\n";
  load_data(data);
  load_model("alpha 0.9 0 0 0.2 20 0.07 10 0 0 1\nalpha 0.1 0.4 0.3 0 0 0 0 0 0 1\n", novary(2), 2);
  const Mat p = solve(44);
  double au, av, bu, bv;
  beta(p, 2, 1, au, av);
  beta(p, 2, 2, bu, bv);
  EXPECT_NEAR(au, bu, 1e-10);
  EXPECT_NEAR(av, bv, 1e-10);
  beta(p, 1, 1, au, av);
  beta(p, 1, 3, bu, bv);
  EXPECT_GT(std::hypot(au - bu, av - bv), 1e-4);  // image 3 of source 1 is not a pair
}

TEST_F(LinparmsTest, LeastSquaresSchemesMinimiseTheScatter) {
  // The solved parameters are a stationary minimum of the weighted scatter of the
  // back-projected images (written out here), in every solved parameter.
  struct Case {
    int scheme;
    int ngal;
    std::string model;
    std::vector<std::pair<int, int>> solved;  // (component, parameter)
    bool ellipses;
  };
  const std::string c1 = "alpha 0.9 0 0 0.15 0.1 0.05 0.02 0 0 1\n";
  const std::string c2 = "alpha 0.1 0.4 0.3 0 0 0 0 0 0 1\n";
  const std::string c34 = "alpha 0.05 -0.5 0.2 0 0 0 0 0 0 1\nalpha 0.05 0.1 -0.6 0 0 0 0 0 0 1\n";
  const Case cases[] = {
      {5, 4, c1 + c2 + c34, {{1, 1}, {2, 1}, {3, 1}, {4, 1}}, false},
      {6, 2, c1 + c2, {{1, 1}, {2, 1}, {1, 6}, {1, 7}}, false},
      {31, 2, c1 + c2, {{1, 1}, {1, 6}, {1, 7}}, false},
      {90, 1, c1, {{1, 1}, {1, 6}, {1, 7}}, true},
  };
  set("shrcoords", 1);  // shear as (gamma1, gamma2): linear in both
  noisy_quadoff();
  // Unequal error ellipses, so that the full-ellipse scheme differs from the others.
  TSobs.srcobs[1].sig_b[2] = 0.001;
  TSobs.srcobs[1].err_pa[2] = 40;
  compute_invcov(TSobs.srcobs[1], 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    load_model(c.model, novary(c.ngal), c.ngal);
    Mat p = solve(c.scheme);
    const double s0 = scatter(p, c.ellipses);
    EXPECT_GT(s0, 1.0);  // the data cannot be fitted exactly
    for (const auto& [g, k] : c.solved) {
      const double h = 1e-4;
      Mat q = p;
      q[g][k] = p[g][k] + h;
      const double up = scatter(q, c.ellipses);
      q[g][k] = p[g][k] - h;
      const double down = scatter(q, c.ellipses);
      EXPECT_GT(up, s0) << g << " " << k;
      EXPECT_GT(down, s0) << g << " " << k;
      // A quadratic about its minimum: both sides rise alike.
      EXPECT_NEAR(up - s0, down - s0, 1e-3 * (up - s0)) << g << " " << k;
    }
  }
  set("shrcoords", 2);
}

TEST_F(LinparmsTest, EllipticityAndShearLimits) {
  load_quadoff();
  set("maxellip", 0.999);
  // Scheme 44 first brings component 1's ellipticity to 0.9.
  load_model("alpha 1 0 0 0.95 0 0.1 0 0 0 1\nalpha 0.1 0.4 0.3 0 0 0 0 0 0 1\n", novary(2), 2);
  {
    CaptureOutput out;
    const Mat p = solve(44);
    EXPECT_EQ(p[1][4], 0.9);
    EXPECT_NE(out.text().find("Warning: in linparms(44), ellipticity=0.950000 out of bounds\n"), std::string::npos);
  }
  // Scheme 99 leaves the model alone when an ellipticity is above 0.99.
  load_model("alpha 1 0 0 0.995 0 0.1 0 0 0 1\nalpha 0.1 0.4 0.3 0 0 0 0 0 0 1\nalpha 0 0 0 0 0 0 0 0 0 1\n",
             novary(3), 3);
  {
    CaptureOutput out;
    const Mat p = solve(99);
    for (int i = 1; i <= 3; ++i)
      for (int k = 1; k <= 10; ++k) EXPECT_EQ(p[i][k], TWref.ref[1].p[i][k]);
    EXPECT_EQ(out.text(), "WARNING: ellipticity out of bounds for linparms=99\n");
  }
}

TEST_F(LinparmsTest, SingularSystemsKeepTheTrialValuesWithOneWarningPerRun) {
  load_quadoff();
  struct Case {
    int scheme;
    int ngal;
    const char* model;
  };
  // Two identical components (a 2x2 determinant of 0); a third component that no
  // parameter 8 can scale (a column of zeros in the 4x4 system).
  const Case cases[] = {
      {3, 2, "alpha 0.5 0 0 0 0 0.1 0 0 0 1\nalpha 0.5 0 0 0 0 0 0 0 0 1\n"},
      {99, 3, "alpha 0.5 0 0 0 0 0.1 0 0 0 1\nalpha 0.5 0.3 0 0 0 0 0 0 0 1\nalpha 0.1 0 0.4 0 0 0 0 0 0 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    set("linparms", c.scheme);
    load_model(c.model, novary(c.ngal), c.ngal);
    start_command_run();
    set_start_model();  // the start model too: the warning, not an error
    Mat p;
    const std::string out = run_domin_fixed(p);
    EXPECT_EQ(count_occurrences(out, "WARNING: linparms=" + std::to_string(c.scheme) +
                                         ": singular system; the trial's linear parameters are kept\n"),
              1);
    for (int i = 1; i <= c.ngal; ++i)
      for (int k = 1; k <= 10; ++k) EXPECT_EQ(p[i][k], TWref.ref[1].p[i][k]) << i << " " << k;
    EXPECT_TRUE(std::isfinite(TSstore.chi[kChiTot]));
    // The next command run warns again.
    start_command_run();
    EXPECT_EQ(count_occurrences(run_domin_fixed(p), "singular system"), 1);
  }
}

TEST_F(LinparmsTest, ErrorsOfTheSchemes) {
  const std::string quad = quadoff_text();
  const std::string pair_only = "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n2\n1 0 1 0.01 0.1 0\n-1 0 -1 0.01 0.1 0\n";
  const std::string three = "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n3\n1 0 1 0.01 0.1 0\n-1 0 -1 0.01 0.1 0\n0 1 1 0.01 0.1 0\n";
  const std::string single = "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n1\n1 0 1 0.01 0.1 0\n";
  const std::string two_sources = "1\n0 0 0.01\n1 1\n0 1\n0 1\n2\n1\n1 0 1 0.01 0.1 0\n1\n-1 0 1 0.01 0.1 0\n";
  const std::string a1 = "alpha 1 0 0 0 0 0.1 0 0 0 1\n";
  const std::string a4 = a1 + a1 + a1 + a1;
  struct Case {
    int scheme;
    std::string data;
    std::string model;
    int ngal;
    int shrcoords;  // 1: Cartesian shear components, 2: magnitude and angle
    const char* message;
  };
  const Case cases[] = {
      {3, quad, a1, 1, 2, "linparms=3  requires at least 2 galaxies"},
      {4, quad, a1 + a1, 2, 2, "linparms=4  requires at least 4 galaxies"},
      {5, quad, a1, 1, 2, "linparms=5  requires at least 4 galaxies"},
      {6, quad, a1, 1, 2, "linparms=6  requires at least 2 galaxies"},
      {44, quad, a1, 1, 2, "linparms=44 requires at least 2 galaxies"},
      {99, quad, a1 + a1, 2, 2, "linparms=99 requires at least 3 galaxies"},
      {5, pair_only, a4, 4, 2, "linparms>=4 requires at least two pairs of images"},
      {4, three, a4, 4, 2, "linparms>=4 requires at least two pairs of images"},
      {7, quad, a1, 1, 2, "unknown value linparms=7"},
      {-1, quad, a1, 1, 2, "unknown value linparms=-1"},
      {1, single, a1, 1, 2, "linparms=1 requires at least two images of source 1"},
      {2, "", a1, 1, 2, "linparms=2 requires at least two images of source 1"},
      {99, quad, a1 + a1 + a1, 3, 1, "linparms=99 does not work when shrcoords=1"},
      {90, two_sources, a1, 1, 2, "cannot run linp90 for more than one source"},
      {90, "", a1, 1, 2, "linparms=90 requires observed images of source 1"},
      {90, quad, "nfw 1 0 0 0 0 0.1 0 1 0 0\n", 1, 2, "unknown model class in linp90"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    clear_observed_data();
    if (!c.data.empty()) load_data(c.data);
    load_model(c.model, novary(c.ngal), c.ngal);
    set("shrcoords", c.shrcoords);
    EXPECT_EQ(fatal_message([&] { solve(c.scheme); }), c.message);
  }
  set("shrcoords", 2);
}

TEST_F(LinparmsTest, OffLeavesTheModelAlone) {
  load_quadoff();
  load_model("alpha 0.8 0 0 0 0 0 0 0 0 1\n", kNoVary);
  const Mat p = solve(0);
  EXPECT_EQ(p[1][1], 0.8);
  EXPECT_EQ(p[1][6], 0.0);
}
