// Einstein radii, mass rescaling, point-mass radii and multipole moments.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/einstein.h"
#include "core/model_fixture.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"

namespace {

class EinsteinTest : public ModelCommandTest {
 protected:
  // The radius and the (kappa, <kappa>) rows that calcRein prints.
  struct Report {
    double R = 0;
    std::vector<std::pair<double, double>> rows;
  };
  Report rein(const std::vector<std::string>& args = {}) {
    std::vector<std::string> w = {"calcRein"};
    w.insert(w.end(), args.begin(), args.end());
    std::istringstream in(run(calcRein, w));
    Report r;
    std::string line;
    while (std::getline(in, line)) {
      if (line.find("# Einstein radius") != std::string::npos) r.R = std::stod(line);
      int i;
      double k, kb;
      if (line[0] != '#' && std::sscanf(line.c_str(), "%d %lf %lf", &i, &k, &kb) == 3) r.rows.push_back({k, kb});
    }
    return r;
  }
};

// Cored isothermal sphere (alpha = 1, core s): <kappa>(R) = b (sqrt(s^2 + R^2) - s) / R^2,
// which is 1 at R = sqrt(b^2 - 2 b s).
double cored_sis_rein(double b, double s) { return std::sqrt(b * b - 2 * b * s); }

}  // namespace

// The search runs from R = 0, where R minus the mean deflection vanishes for every lens:
// a radius in the first interval is still found, and a lens with no radius gets -1e9.
TEST_F(EinsteinTest, RadiusOfRoundModelsAgainstClosedForms) {
  struct Case {
    const char* model;
    double gridhi1;
    double expected;
  };
  // NFW: the radius where the mean convergence 0.3 nfw0phir(R)/R reaches 1, found below.
  double lo = 0.01, hi = 1.0;
  for (int k = 0; k < 100; ++k) {
    const double mid = 0.5 * (lo + hi);
    (0.3 * nfw0phir(mid) > mid ? lo : hi) = mid;
  }
  const Case cases[] = {
      {"alpha 1 0 0 0 0 0 0 0 0 1", 2, cored_sis_rein(1, 1e-4)},  // the class's core 1e-4
      {"alpha 1 0 0 0 0 0 0 0 0 1", 30, cored_sis_rein(1, 1e-4)},
      {"alpha 1 0 0 0 0 0 0 0.499 0 1", 2, cored_sis_rein(1, 0.499)},  // 0.0447: first interval
      {"nfw 0.3 0 0 0 0 0 0 1 0 0", 2, 0.5 * (lo + hi)},
      {"alpha 0.1 0 0 0 0 0 0 0.1 0 1", 2, kNoRein},  // central kappa 0.5: no radius
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    set("gridhi1", c.gridhi1);
    load({c.model});
    const Report r = rein();
    EXPECT_NEAR(r.R, c.expected, 2e-6);
    ASSERT_EQ(r.rows.size(), 1u);
    if (c.expected != kNoRein) {
      EXPECT_NEAR(r.rows[0].second, 1.0, 1e-5);
    }
  }
}

TEST_F(EinsteinTest, NoRadiusWarnsAndReportsTheMarker) {
  load({"alpha 0.1 0 0 0 0 0 0 0.1 0 1"});
  const std::string out = run(calcRein, {"calcRein"});
  EXPECT_NE(out.find("WARNING: could not bracket Rein"), std::string::npos);
  EXPECT_NE(out.find("-1.000000e+09  # Einstein radius"), std::string::npos);
}

// An elliptical model has no single-angle radius; with 36 angles the radius encloses a
// mean convergence of 1, checked by integrating kappa over the disc (Gauss's theorem).
TEST_F(EinsteinTest, FlattenedModelNeedsAnAzimuthalAverage) {
  load({"alpha 1 0 0 0.3 0 0 0 0 0 1"});
  EXPECT_EQ(fatal_message([&] { rein(); }), "in calcRein, model is not spherical");
  const Report r = rein({"36"});
  EXPECT_NEAR(r.R, 1.023415, 2e-6);
  const int nr = 2000, nt = 180;
  double mass = 0;
  for (int i = 0; i < nr; ++i)
    for (int j = 0; j < nt; ++j) {
      const double rr = (i + 0.5) * r.R / nr, t = (j + 0.5) * 2 * kPi / nt;
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(rr * std::cos(t), rr * std::sin(t), pot, ax, ay, xx, yy, xy, yx);
      mass += 0.5 * (xx + yy) * rr * (r.R / nr) * (2 * kPi / nt);
    }
  EXPECT_NEAR(mass / (kPi * r.R * r.R), 1.0, 2e-3);
  EXPECT_NEAR(r.rows[0].second, 1.0, 1e-5);
}

// Point mass given by mass: its Einstein radius from the model loader (hval applied)
// and from thetaEin (in h^-1 Msun) agree.
TEST_F(EinsteinTest, PointMassRadiusAgreesWithThetaEin) {
  set("zlens", 0.5);
  set("zsrc", 2);
  set("gridlo1", 0.01);
  set("gridhi1", 4);
  const std::string te = run(thetaEin, {"thetaEin", "1e12"});
  double b = 0, area = 0;
  std::sscanf(te.substr(te.find("b      =")).c_str(), "b      = %lf", &b);
  std::sscanf(te.substr(te.find("pi*b^2 =")).c_str(), "pi*b^2 = %lf", &area);
  EXPECT_NEAR(b, 2.421459, 1e-6);
  EXPECT_NEAR(area, kPi * b * b, 1e-5);
  load({"ptmass -1 0 0 0 0 0 0 0 0 0"});
  EXPECT_NEAR(rein().R, b * std::sqrt(0.7), 2e-6);

  set("zlens", -1);
  const std::string none = run(thetaEin, {"thetaEin", "1e12"});
  EXPECT_NE(none.find("WARNING: you must set redshifts before running thetaEin"), std::string::npos);
  EXPECT_EQ(none.find("For mass"), std::string::npos);
}

// After setMrat each component holds its fraction of a mean convergence of 1 inside R, so
// R is the new Einstein radius.
TEST_F(EinsteinTest, SetMratRescalesEachComponentToItsFraction) {
  set("xtol", 1e-8);
  load({"alpha 0.5 0 0 0 0 0 0 0 0 1", "nfw 0.2 0 0 0 0 0 0 2 0 0"});
  const std::string out = run(setMrat, {"setMrat", "1", "1", "0.3", "0.7"});
  EXPECT_NE(out.find(" 1  4.999500e-01  3.000000e-01"), std::string::npos) << out;
  EXPECT_NE(out.find(" 2  4.300724e-01  7.000000e-01"), std::string::npos) << out;
  EXPECT_NEAR(TWref.ref[1].p[1][1], 0.5 * 0.3 / 0.49995, 1e-6);
  const Report r = rein();
  EXPECT_NEAR(r.R, 1.0, 1e-6);
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_NEAR(r.rows[0].second, 0.3, 1e-6);
  EXPECT_NEAR(r.rows[1].second, 0.7, 1e-6);
}

// A component with no mass inside R cannot take a fraction: it is left as it was.
TEST_F(EinsteinTest, SetMratLeavesAMasslessComponentUnchanged) {
  load({"alpha 1 0 0 0 0 0 0 0 0 1", "alpha 0 0 0 0 0 0 0 0 0 1"});
  const std::string out = run(setMrat, {"setMrat", "1", "1", "0.5", "0.5"});
  EXPECT_NE(out.find("WARNING: setMrat: component 2"), std::string::npos);
  EXPECT_EQ(TWref.ref[1].p[2][1], 0.0);
  EXPECT_TRUE(std::isfinite(TWref.ref[1].p[1][1]));
}

TEST_F(EinsteinTest, CountsAndRadiiThatWouldDivideByZeroAreRefused) {
  load({"alpha 1 0 0 0 0 0 0 0.05 0 1"});
  struct Case {
    CommandHandler h;
    std::vector<std::string> words;
    const char* message;
  };
  const Case cases[] = {
      {calcRein, {"calcRein", "0"}, "in calcRein, 0 is not a usable number of theta steps (1 to 100000000)"},
      {setMrat, {"setMrat", "1", "-2", "1"}, "in setMrat, -2 is not a usable number of theta steps (1 to 100000000)"},
      {setMrat, {"setMrat", "0", "1", "1"}, "setMrat: the radius must not be 0 (0)"},
      {moments, {"moments", "0", "2", "10", "8"}, "moments: r0 must be positive (0)"},
      {moments, {"moments", "1", "2", "1", "8"}, "moments: the number of radial steps must be at least 2 (1)"},
      {moments, {"moments", "1", "2", "-10", "8"}, "moments: the number of radial steps must be at least 2 (-10)"},
      {moments, {"moments", "1", "2", "10", "0"}, "moments: the number of angular steps must be at least 1 (0)"},
      {moments, {"moments", "nan", "2", "10", "8"}, "moments: nan is not a finite number"},
  };
  for (const Case& c : cases) EXPECT_EQ(fatal_message([&] { run_handler(c.h, cmd(c.words)); }), c.message);
}

// Moments of a cored isothermal (kappa = b / 2 sqrt(s^2 + r^2)): for a round model only
// m = 0 survives, with Ic and Jc the integrals of kappa r dr inside and outside r0 and
// Kc = r0^2 kappa(r0); an ellipse turned by 45 degrees moves m = 2 into the sine columns.
TEST_F(EinsteinTest, MomentsAgainstClosedFormsAndRotation) {
  set("gridlo1", 0.1);
  auto table = [&](const std::string& model) {
    load({model});
    const std::string file = dir.file("m.dat");
    run(moments, {"moments", "1", "4", "50", "64", file});
    std::ifstream in(file);
    std::vector<std::vector<double>> rows;
    std::string line;
    while (std::getline(in, line)) {
      if (line[0] == '#') continue;
      std::istringstream l(line);
      std::vector<double> v(7);
      for (double& x : v) l >> x;
      rows.push_back(v);
    }
    return rows;
  };
  const double s = 0.05, b = 1;
  auto F = [&](double r) { return 0.5 * b * std::sqrt(s * s + r * r); };  // integral of kappa r dr
  const auto round = table("alpha 1 0 0 0 0 0 0 0.05 0 1");
  ASSERT_EQ(round.size(), 5u);
  EXPECT_NEAR(round[0][1], F(1) - F(0.1), 2e-4);
  EXPECT_NEAR(round[0][3], F(2) - F(1), 2e-4);
  EXPECT_NEAR(round[0][5], 0.5 * b / std::sqrt(s * s + 1), 1e-6);
  for (const auto& r : round)
    for (int k : {2, 4, 6}) EXPECT_NEAR(r[k], 0.0, 1e-12);
  for (int m = 1; m <= 4; ++m)
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(round[m][k], 0.0, 1e-12);

  const auto flat = table("alpha 1 0 0 0.3 0 0 0 0.05 0 1");
  const auto turned = table("alpha 1 0 0 0.3 45 0 0 0.05 0 1");
  EXPECT_NEAR(flat[2][1], -0.0149379, 1e-7);
  for (int k : {1, 3, 5}) {
    EXPECT_NEAR(flat[0][k], turned[0][k], 1e-9);
    EXPECT_NEAR(turned[2][k], 0.0, 1e-12);
    EXPECT_NEAR(turned[2][k + 1], flat[2][k], 1e-9);  // cos 2t about the turned axis
    EXPECT_NEAR(turned[4][k], -flat[4][k], 1e-9);     // cos 4t changes sign
  }
}
