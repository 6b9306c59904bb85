// Multi-plane lensing: the plane list, the coupling matrices, the ray recursion and its
// time delays, own-plane positions, the model redshift checks and their refresh, and the
// shearLOS reduction.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/los_fixture.h"
#include "core/lens_model.h"
#include "core/los_commands.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/multiplane.h"
#include "numeric/cosmology.h"
#include "shell/settings.h"

namespace {

class MultiPlaneTest : public LineOfSightTest {
 protected:
  // A one-model set of the given component lines (with redshifts when zflag).
  void load(const std::vector<std::string>& lines, bool zflag = true) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    for (size_t k = 0; k < lines.size(); ++k) text += "0 0 0 0 0 0 0 0 0 0\n";
    CommandInput in(text);
    run_handler(setlens, cmd({"setlens", std::to_string(lines.size()), "1", zflag ? "1" : "0"}));
  }
  static PotDefMagVector eval(double x, double y) {
    PotDefMagVector o;
    potdefmag(x, y, o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
    return o;
  }
  // Fermat potential (in the units of 1/2 |theta - beta|^2) along the ray through (x, y).
  static double fermat(double x, double y) {
    const PotDefMagVector o = eval(x, y);
    return 0.5 * (o[2] * o[2] + o[3] * o[3]) - o[1];
  }
};

// The model of a lens at 0.5 with a perturber in front of it.
const std::vector<std::string> kTwoPlanes = {"ptmass 1 0 0 0 0 0 0 0 0 0 0.5",
                                             "ptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3"};

TEST_F(MultiPlaneTest, TwoPlaneFieldsAndOwnPlaneCentre) {
  load(kTwoPlanes);
  ASSERT_EQ(LOS.on, 1);
  ASSERT_EQ(LOS.nplane, 2);
  EXPECT_EQ(LOS.order[1], 2);  // the perturber at 0.3 is the first plane
  EXPECT_NEAR(TWgal.pos[1][5], 0.022968, 1e-6);
  EXPECT_NEAR(TWgal.pos[1][6], -0.015312, 1e-6);
  EXPECT_EQ(TWgal.pos[2][5], 0.9);  // nothing deflects the front plane
  const PotDefMagVector o = eval(1.1, 0.3);
  EXPECT_NEAR(o[4], -0.625713, 1e-6);
  EXPECT_NEAR(o[5], 0.658798, 1e-6);
  EXPECT_NEAR(o[6], -0.458867, 1e-6);
  EXPECT_NEAR(o[7], -0.412042, 1e-6);  // asymmetric Jacobian
  // Second derivatives are those of the deflection: central differences.
  const double h = 1e-5;
  for (const auto& p : {std::array<double, 2>{1.1, 0.3}, {-0.7, 0.45}, {0.2, -1.3}}) {
    const PotDefMagVector c = eval(p[0], p[1]);
    const PotDefMagVector xp = eval(p[0] + h, p[1]), xm = eval(p[0] - h, p[1]);
    const PotDefMagVector yp = eval(p[0], p[1] + h), ym = eval(p[0], p[1] - h);
    EXPECT_NEAR(c[4], (xp[2] - xm[2]) / (2 * h), 1e-6);
    EXPECT_NEAR(c[5], (yp[3] - ym[3]) / (2 * h), 1e-6);
    EXPECT_NEAR(c[6], (yp[2] - ym[2]) / (2 * h), 1e-6);
    EXPECT_NEAR(c[7], (xp[3] - xm[3]) / (2 * h), 1e-6);
  }
  EXPECT_EQ(cur.igal, 1);
}

TEST_F(MultiPlaneTest, OneRedshiftForAllIsTheSinglePlaneModel) {
  const std::vector<std::string> plain = {"alpha 1 0 0 0.2 30 0.05 10 0.1 0 1", "ptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0"};
  load(plain, false);
  std::vector<PotDefMagVector> ref;
  for (double x : {-1.0, 0.3, 1.2}) ref.push_back(eval(x, 0.7 * x - 0.2));
  load({plain[0] + " 0.5", plain[1] + " 0.5000001"});
  EXPECT_EQ(LOS.on, 0);
  EXPECT_TRUE(LOS.Bmat.empty());
  int k = 0;
  for (double x : {-1.0, 0.3, 1.2}) {
    const PotDefMagVector o = eval(x, 0.7 * x - 0.2);
    for (int q = 1; q <= 7; ++q) EXPECT_EQ(o[q], ref[k][q]);
    ++k;
  }
}

// The time delay of the recursion equals the multi-plane Fermat potential, summed plane by
// plane along the traced ray, for sources in front of, between and behind the planes.
TEST_F(MultiPlaneTest, DelaysAreTheFermatSumForAnySourceRedshift) {
  load({"alpha 1 0 0 0.2 30 0.05 10 0.1 0 1 0.5", "ptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3",
        "alpha 0.4 -0.8 0.7 0.1 70 0 0 0.05 0 1 1.0", "ptmass 0.3 0.2 1.0 0 0 0 0 0 0 0 1.8"});
  const Settings& s = settings;
  const double Dl = PMdist(0, s.zlens), Dref = PMdist(0, s.zref), Dlref = PMdist(s.zlens, s.zref);
  for (double zs : {1.5, 3.0, 0.4}) {
    calcLOSmatrices(TWref.ref[1].z, zs);
    // Planes in front of zs, by redshift.
    std::vector<int> comp;
    for (int i = 1; i <= LOS.nplane; ++i)
      if (TWref.ref[1].z[LOS.order[i]] < zs) comp.push_back(static_cast<int>(LOS.order[i]));
    const int n = static_cast<int>(comp.size());
    const auto fermat_sum = [&](double x, double y) {
      std::vector<double> z(n + 2), D(n + 2), X(n + 2), Y(n + 2), psi(n + 2), ax(n + 2), ay(n + 2);
      for (int i = 1; i <= n; ++i) z[i] = TWref.ref[1].z[comp[i - 1]];
      z[n + 1] = zs;
      for (int i = 1; i <= n + 1; ++i) D[i] = PMdist(0, z[i]);
      for (int i = 1; i <= n + 1; ++i) {
        X[i] = x;
        Y[i] = y;
        for (int j = 1; j < i; ++j) {
          const double c = PMdist(z[j], z[i]) * Dref / (D[i] * PMdist(z[j], s.zref));
          X[i] -= c * ax[j];
          Y[i] -= c * ay[j];
        }
        if (i > n) break;
        double f[6];
        los_plane_field(comp[i - 1], X[i], Y[i], f);
        psi[i] = f[0];
        ax[i] = f[1];
        ay[i] = f[2];
      }
      double t = 0;
      for (int i = 1; i <= n; ++i) {
        const double dx = X[i] - X[i + 1], dy = Y[i] - Y[i + 1];
        t += D[i] * D[i + 1] / PMdist(z[i], z[i + 1]) * 0.5 * (dx * dx + dy * dy);
        t -= D[i] * Dref / PMdist(z[i], s.zref) * psi[i];
      }
      return t * Dlref / (Dl * Dref);
    };
    for (const auto& p : {std::array<double, 2>{1.1, 0.3}, {-0.6, -0.5}, {0.4, 1.4}})
      EXPECT_NEAR(fermat(p[0], p[1]), fermat_sum(p[0], p[1]), 1e-8) << "zs " << zs;
  }
  calcLOSmatrices(TWref.ref[1].z, s.zsrc);
}

TEST_F(MultiPlaneTest, PlanesAtOrBehindTheSourceTakeNoPart) {
  // Table: redshift of a third component against zsrc 2, and whether it stays on.
  struct Case {
    double z;
    int on;
  };
  for (const Case& c : {Case{2.5, 0}, Case{2.0, 0}, Case{2.0 - 5e-7, 0}, Case{1.99, 1}}) {
    load({kTwoPlanes[0], kTwoPlanes[1], "ptmass 0.3 0.2 1.0 0 0 0 0 0 0 0 " + std::to_string(c.z)});
    EXPECT_EQ(TWgal.refon[3], c.on) << c.z;
    const double t1 = fermat(1.1, 0.3), t2 = fermat(0.705439, -0.650368);
    EXPECT_TRUE(std::isfinite(t1) && std::isfinite(t2)) << c.z;
    if (!c.on) { EXPECT_NEAR(t2 - t1, 9.32874 / settings.tscale * settings.hval, 2e-4) << c.z; }
  }
  // A source in front of planes that are on: they add nothing to its delays or rays.
  load({kTwoPlanes[0], kTwoPlanes[1], "ptmass 0.3 0.2 1.0 0 0 0 0 0 0 0 1.0"});
  std::vector<PotDefMagVector> with;
  calcLOSmatrices(TWref.ref[1].z, 0.8);
  for (double x : {0.3, 1.1}) with.push_back(eval(x, 0.3));
  load(kTwoPlanes);
  calcLOSmatrices(TWref.ref[1].z, 0.8);
  int k = 0;
  for (double x : {0.3, 1.1}) {
    const PotDefMagVector o = eval(x, 0.3);
    for (int q = 1; q <= 7; ++q) EXPECT_NEAR(o[q], with[k][q], 1e-12) << q;
    ++k;
  }
}

TEST_F(MultiPlaneTest, PlaneListRules) {
  // Equal redshifts: two planes with no coupling between them.
  load({"ptmass 1 0 0 0 0 0 0 0 0 0 0.5", "ptmass 0.3 1 0 0 0 0 0 0 0 0 0.5", "none 0 0 0 0 0 0 0 0 0 0 0.5",
        "ptmass 0.2 0 1 0 0 0 0 0 0 0 0.8"});
  EXPECT_EQ(LOS.nplane, 3);
  EXPECT_EQ(LOS.on, 1);
  EXPECT_EQ(TWref.ref[1].z[3], 1e8);
  EXPECT_EQ(LOS.Cmat[1][2][1], 0.0);
  EXPECT_EQ(LOS.Cmat[2][1][1], 0.0);
  EXPECT_GT(LOS.Cmat[1][3][1], 0.0);
  // A model defined for Dls/Ds = 1.
  set("zref", 1000);
  load({"ptmass 1 0 0 0 0 0 0 0 0 0 0.5", "ptmass 0.2 0 1 0 0 0 0 0 0 0 0.8"});
  EXPECT_DOUBLE_EQ(LOS.Cmat[1][2][1], PMdist(0.5, 0.8) / PMdist(0, 0.8));
  EXPECT_DOUBLE_EQ(LOS.Gmat[2][3][1], PMdist(0, 0.8) / PMdist(0, 0.5));
  // A mass component without a redshift among components with one, wherever it stands.
  for (int lead : {1, 2}) {
    Vec z(1, 3);
    z[1] = z[2] = z[3] = 0.7;
    z[lead] = -1;
    EXPECT_EQ(fatal_message([&] { initLOS(z); }), "expected redshift is not positive") << lead;
  }
}

TEST_F(MultiPlaneTest, PlaneAtTheReferenceRedshiftFeedsNoLaterPlane) {
  set("zref", 0.5);
  CaptureOutput out;
  load({"ptmass 1 0 0 0 0 0 0 0 0 0 0.5", "ptmass 0.3 1 0 0 0 0 0 0 0 0 1.0"});
  EXPECT_NE(out.text().find("WARNING: lens plane at zref feeds no later plane\n"), std::string::npos);
  EXPECT_EQ(LOS.Cmat[1][2][1], 0.0);
  EXPECT_EQ(LOS.Cmat[1][3][1], 0.0);
  const PotDefMagVector o = eval(1.3, 0.2);
  for (int q = 1; q <= 7; ++q) EXPECT_TRUE(std::isfinite(o[q])) << q;
}

TEST_F(MultiPlaneTest, ModelRedshiftsMustBeUsable) {
  struct Case {
    double zlens, zsrc;
    const char* message;
  };
  const char* unset = "if redshifts are used, zlens and zsrc should be set";
  const char* order = "lens redshift must be smaller than source redshift";
  set("tscale", 30);  // no derived time-delay scale to refuse the order
  for (const Case& c : {Case{-1, 2, unset}, Case{0, 2, unset}, Case{0.5, -1, unset}, Case{0.5, 0, unset},
                        Case{2, 2, order}, Case{3, 2, order}}) {
    set("zlens", c.zlens);
    set("zsrc", c.zsrc);
    EXPECT_EQ(fatal_message([&] { load(kTwoPlanes); }), c.message) << c.zlens << " " << c.zsrc;
  }
  // The same refusals at the refresh of a model built for usable redshifts.
  set("zlens", 0.5);
  set("zsrc", 2);
  load(kTwoPlanes);
  SetVar("zlens", 0, 2.5);
  EXPECT_EQ(fatal_message([] { SetGlob(); }), order);
  SetVar("zlens", 0, 0);
  EXPECT_EQ(fatal_message([] { SetGlob(); }), unset);
}

TEST_F(MultiPlaneTest, RefreshRebuildsForNewRedshiftsAndCosmology) {
  load(kTwoPlanes);
  const double tau_before = TWref.ref[1].tau[2];
  // Each change is compared with the model set up afresh under it.
  for (const auto& change : std::vector<std::pair<const char*, double>>{{"zsrc", 3}, {"omega", 0.25}, {"zref", 1.5}}) {
    SetVar(change.first, 0, change.second);
    CaptureOutput out;
    SetGlob();
    EXPECT_NE(out.text().find("Note: lens planes rebuilt for new redshifts\n"), std::string::npos) << change.first;
    const PotDefMagVector a = eval(1.1, 0.3);
    const double tau = TWref.ref[1].tau[2];
    load(kTwoPlanes);
    const PotDefMagVector b = eval(1.1, 0.3);
    for (int q = 1; q <= 7; ++q) EXPECT_EQ(a[q], b[q]) << change.first << " " << q;
    EXPECT_EQ(tau, TWref.ref[1].tau[2]);
  }
  EXPECT_NE(TWref.ref[1].tau[2], tau_before);
  // Nothing changed: nothing rebuilt.
  CaptureOutput out;
  SetGlob();
  EXPECT_EQ(out.text().find("rebuilt"), std::string::npos);
}

// ---- the shearLOS reduction ----

TEST_F(MultiPlaneTest, ReductionWithNothingFoldedIsTheFullModel) {
  const std::vector<std::string> m = {kTwoPlanes[0], kTwoPlanes[1], "alpha 0.3 -0.5 0.8 0.2 10 0 0 0.05 0 1 1.2"};
  load(m);
  std::vector<PotDefMagVector> full;
  const std::vector<std::array<double, 2>> pts = {{1.1, 0.3}, {-0.6, -0.5}, {0.4, 1.4}};
  for (const auto& p : pts) full.push_back(eval(p[0], p[1]));
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "100"}));
  load(m);
  EXPECT_TRUE(LOS.reduced);
  EXPECT_EQ(LOS.nplane, 3);
  for (size_t k = 0; k < pts.size(); ++k) {
    const PotDefMagVector o = eval(pts[k][0], pts[k][1]);
    for (int q = 1; q <= 7; ++q) EXPECT_NEAR(o[q], full[k][q], 1e-12) << q;
  }
}

TEST_F(MultiPlaneTest, FoldedSheetKeepsSecondDerivativesAndShiftsDeflections) {
  // A sheet with shear in front of the lens and one behind it: tidal fields are exact for
  // them, so the reduced model differs only by constant deflections.
  const std::vector<std::string> m = {"alpha 1 0 0 0.2 30 0 0 0.1 0 1 0.5", "convrg 0.05 0.3 0.2 0 0 0.03 20 0 0 0 0.3",
                                      "convrg 0.04 -0.2 0.1 0 0 0.02 -50 0 0 0 1.2"};
  load(m);
  const std::vector<std::array<double, 2>> pts = {{1.1, 0.3}, {-0.6, -0.5}, {0.4, 1.4}};
  std::vector<PotDefMagVector> full;
  for (const auto& p : pts) full.push_back(eval(p[0], p[1]));
  {
    CaptureOutput out;
    run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "5.0", "exact", "2"}));  // a sheet is folded even when listed
    load(m);
    EXPECT_NE(out.text().find("shearLOS: started with 3 lens plane(s), now using 1 main plane(s)\n"),
              std::string::npos);
  }
  EXPECT_EQ(LOS.nplane, 1);
  EXPECT_EQ(LOS.order[1], 1);
  EXPECT_EQ(TWgal.refon[2], 0);
  EXPECT_EQ(TWgal.refon[3], 0);
  std::vector<PotDefMagVector> red;
  for (const auto& p : pts) red.push_back(eval(p[0], p[1]));
  for (size_t k = 0; k < pts.size(); ++k) {
    for (int q = 4; q <= 7; ++q) EXPECT_NEAR(red[k][q], full[k][q], 1e-10) << k << " " << q;
    for (int q = 2; q <= 3; ++q)
      EXPECT_NEAR(red[k][q] - full[k][q], red[0][q] - full[0][q], 1e-10) << k << " " << q;
  }
  EXPECT_GT(std::fabs(red[0][2] - full[0][2]), 1e-3);

  // zsrc restores the reduced matrices; another redshift gets plain ones, with one warning.
  calcLOSmatrices(TWref.ref[1].z, settings.zsrc);
  EXPECT_EQ(eval(1.1, 0.3)[2], red[0][2]);
  {
    CaptureOutput out;
    calcLOSmatrices(TWref.ref[1].z, 3.0);
    calcLOSmatrices(TWref.ref[1].z, 2.5);
    EXPECT_EQ(out.text(), "WARNING: shearLOS reduction not applied at z=3\n");
  }
  calcLOSmatrices(TWref.ref[1].z, settings.zsrc);
  const PotDefMagVector back = eval(1.1, 0.3);
  for (int q = 1; q <= 7; ++q) EXPECT_EQ(back[q], red[0][q]) << q;
}

TEST_F(MultiPlaneTest, HigherOrderModesFoldOrDropPerturbers) {
  set("tempfiles", 0);
  const std::vector<std::string> m = {"alpha 1 0 0 0 0 0 0 0.05 0 1 0.5", "alpha 0.3 2.5 1.0 0 0 0 0 0.05 0 1 0.3",
                                      "alpha 0.3 -2.0 2.0 0 0 0 0 0.05 0 1 1.0"};
  // A large dxcut folds both perturbers: HOTlos keeps their tidal fields, HOTcut drops them.
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "1.0", "HOTlos", "10"}));
  load(m);
  ASSERT_EQ(LOS.nplane, 1);
  EXPECT_GT(std::fabs(LOS.Bmat[2][1] - 1.0), 1e-3);
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "1.0", "HOTcut", "10"}));
  load(m);
  ASSERT_EQ(LOS.nplane, 1);
  for (int k = 1; k <= 4; ++k) EXPECT_EQ(LOS.Bmat[2][k], k == 1 || k == 4 ? 1.0 : 0.0) << k;
  // A tiny dxcut keeps them all.
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "1.0", "HOTlos", "1e-9"}));
  load(m);
  EXPECT_EQ(LOS.nplane, 3);
  // Without a plane at zlens there is no reference plane.
  run_handler(shearLOS, cmd({"shearLOS", "pos", "0", "0", "1.0", "HOTlos", "0.01"}));
  EXPECT_EQ(fatal_message([&] { set("zlens", 0.6); }), "in shearLOS, no galaxy matches zlens");
}

TEST_F(MultiPlaneTest, RedshiftBoxDiagnosticFiles) {
  ScratchDir dir;
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const std::vector<std::string> m = {"alpha 1 0 0 0 0 0 0 0.05 0 1 0.5", "convrg 0.03 0 0 0 0 0.02 10 0 0 0 0.3",
                                      "alpha 0.3 0.8 0.4 0 0 0 0 0.05 0 1 0.52"};
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "5.0", "zbox", "0.01"}));  // one main plane
  load(m);
  const std::string one = dir.read("shearLOS-mat.dat");
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "5.0", "zbox", "0.1"}));  // two main planes
  load(m);
  const std::string two = dir.read("shearLOS-mat.dat"), shr = dir.read("shearLOS-shr.dat");
  ASSERT_EQ(chdir(here), 0);
  for (const char* label : {"full-fg", "full-bg", "full-tot", "full-eff", "full-pri"}) {
    EXPECT_EQ(count_occurrences(one, std::string("\n") + label + " "), 1) << label;
    EXPECT_EQ(count_occurrences(two, label), 0) << label;
  }
  for (const char* label : {"est-fg", "est-bg", "est-tot", "zlens"}) {
    EXPECT_EQ(count_occurrences(two, std::string("\n") + label + " "), 1) << label;
    EXPECT_EQ(count_occurrences(shr, std::string("\n") + label + " "), 1) << label;
  }
  EXPECT_EQ(shr.find("# effective convergence and shear\n#  kappa  gamma_c  gamma_s  theta_skew\n#\n"), 0u);
}

TEST_F(MultiPlaneTest, ReductionNeedsSeveralPlanes) {
  run_handler(shearLOS, cmd({"shearLOS", "gal", "1", "5.0"}));
  quietflag = 0;
  CaptureOutput out;
  load({"ptmass 1 0 0 0 0 0 0 0 0 0 0.5", "ptmass 0.3 1 0 0 0 0 0 0 0 0 0.5"});
  EXPECT_NE(out.text().find("Note: cannot use shearLOS with a single lens plane\n"), std::string::npos);
  EXPECT_FALSE(LOS.reduced);
}

}  // namespace
