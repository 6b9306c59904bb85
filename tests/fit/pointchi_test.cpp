// Point-image chi-squared: the source-plane, image-plane and relative-position forms on
// the quadoff lens, their penalties, ties and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/sources.h"
#include "fit/constraints.h"
#include "fit/fit_fixture.h"
#include "fit/pointchi.h"
#include "imageplane/critcurves.h"
#include "imageplane/source_models.h"
#include "numeric/constants.h"

namespace {

class PointChiTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("verbose", 1);
    set("potflag", 1);
  }
  // Scores model 1 of the set as loaded (nothing varied); source flux and position are
  // solved as their vary flags say.
  double score() {
    int nd, ng, ns;
    storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
    const double c = calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, TSstore.sref);
    u = TSstore.sref[1][2];
    storage_clear();
    return c;
  }
  // The quadoff data against the quadoff model with b changed.
  void quadoff_with_b(double b) {
    load_quadoff();
    load_model(strformat("alpha %.6f 0 0 0 0 0.1 0 0 0 1\n", b), "0 0 0 0 0 0 0 0 0 0\n");
  }
  double chi(ChiSlot s) const { return TSstore.chi[s]; }
  static std::string novary2() { return "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"; }
  // The quadoff data with a fifth image at the centre (a core image with omitcore 0.05).
  void load_quadoff_with_core_image() {
    std::string text = quadoff_text();
    text.replace(text.find("\n4\n"), 3, "\n5\n");
    text += "0 0 0.01 0.003 0.5 0 0\n";
    load_data(text);
  }
  double u = 0;
};

// Back-projected source of an image: x - alpha(x) under the loaded model.
void back_project(double x, double y, double& bu, double& bv) {
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  potdefmag(x, y, pot, ax, ay, pxx, pyy, pxy, pyx);
  bu = x - ax;
  bv = y - ay;
}

}  // namespace

TEST_F(PointChiTest, EveryFormOnTheTrueAndPerturbedModels) {
  struct Row {
    const char* what;
    double chimode;
    int gridflag;
    double omitcore;
    double b;
    double pos;     // expected position chi-squared (0: the true model, below tol)
    double tol;     // relative tolerance (absolute bound for the true model)
  };
  const Row rows[] = {
      {"source plane, true", 0, 0, 0, 1, 0, 1e-6},
      {"unweighted source plane, true", -1, 0, 0, 1, 0, 1e-6},
      {"relative positions, true", 2, 0, 0, 1, 0, 1e-6},
      {"image plane, Newton, true", 1, 0, 0, 1, 0, 1e-4},
      {"image plane, grid, true", 1, 1, 0.05, 1, 0, 1e-4},
      {"source plane, b 1.001", 0, 0, 0, 1.001, 0.45868, 1e-4},
      {"source plane, b 1.003", 0, 0, 0, 1.003, 4.1285, 1e-4},
      {"unweighted source plane, b 1.001", -1, 0, 0, 1.001, 0.43504, 1e-4},
      {"unweighted source plane, b 1.003", -1, 0, 0, 1.003, 3.9154, 1e-4},
      {"image plane, Newton, b 1.001", 1, 0, 0, 1.001, 0.45868, 3e-4},
      {"image plane, Newton, b 1.003", 1, 0, 0, 1.003, 4.1285, 3e-4},
      {"image plane, grid, b 1.001", 1, 1, 0.05, 1.001, 0.45868, 3e-4},
      {"image plane, grid, b 1.003", 1, 1, 0.05, 1.003, 4.1285, 3e-4},
      {"relative positions, b 1.001", 2, 0, 0, 1.001, 3.9153e-6, 1e-4},
      {"relative positions, b 1.003", 2, 0, 0, 1.003, 3.5239e-5, 1e-4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    set("chimode", r.chimode);
    set("gridflag", r.gridflag);
    set("omitcore", r.omitcore);
    set("fluxweight", r.b == 1 ? 1 : 0);
    set("timeweight", r.b == 1 ? 1 : 0);
    quadoff_with_b(r.b);
    const double total = score();
    if (r.pos == 0) {
      EXPECT_LT(total, r.tol);
    } else {
      EXPECT_NEAR(chi(kChiPos), r.pos, r.tol * r.pos);
      EXPECT_NEAR(total, r.pos, r.tol * r.pos);
    }
    if (r.chimode == 2) {
      EXPECT_EQ(chi(kChiFlux), 0.0);
      EXPECT_EQ(chi(kChiTdel), 0.0);
      continue;
    }
    // The solved source lands in the source tables and the model record.
    const SrcData& m = TSobs.srcmod[1];
    EXPECT_EQ(TWsrc.srcparms[1][2], m.u);
    EXPECT_EQ(TWsrc.srcparms[1][3], m.v);
    if (r.b == 1) {
      EXPECT_NEAR(m.u, kQuadoffU, 1e-5);
      EXPECT_NEAR(m.v, kQuadoffV, 1e-5);
      EXPECT_NEAR(m.fsrc[1], 1.0, 1e-4);
      EXPECT_NEAR(m.h, 0.7, 1e-4);
      for (int k = 1; k <= 4; ++k) EXPECT_NEAR(m.x[k], TSobs.srcobs[1].x[k], 1e-5) << k;
    }
  }
  set("chimode", 2);
  quadoff_with_b(1.003);
  score();
  EXPECT_NEAR(GausCorr.rms, 2.423455e-03, 1e-9);
}

TEST_F(PointChiTest, DelayTermFollowsTheSourcePlaneModel) {
  set("chimode", 0);
  set("potflag", 1);
  quadoff_with_b(1.003);
  score();
  EXPECT_NEAR(chi(kChiTdel), 0.001528, 2e-6);
  EXPECT_NEAR(TSobs.srcmod[1].h, 0.703701, 2e-6);
}

TEST_F(PointChiTest, CorrelatedPositionRecordOfAQuad) {
  load_quadoff();
  ASSERT_EQ(GausCorr.nfull, 8);
  ASSERT_EQ(GausCorr.nrel, 6);
  for (int a = 1; a <= 6; ++a)
    for (int b = 1; b <= 6; ++b) {
      const double want = a == b ? 2 : ((a - b) % 2 == 0 ? 1 : 0);
      EXPECT_EQ(GausCorr.ddt[a][b], want) << a << " " << b;
      // ddt^-1 is I - ones/n in each coordinate (n = 4 images).
      const double inv = (a - b) % 2 != 0 ? 0 : (a == b ? 1 : 0) - 0.25;
      EXPECT_NEAR(GausCorr.ddtinv[a][b], inv, 1e-12) << a << " " << b;
    }
  EXPECT_NEAR(GausCorr.relobs[1], -1.046803 - 1.163803, 1e-12);
  EXPECT_NEAR(GausCorr.relobs[6], -0.861559 - 0.082317, 1e-12);
}

TEST_F(PointChiTest, CorrelatedPositionsScoreTheObservedImagesInForce) {
  set("chimode", 2);
  quadoff_with_b(1.003);
  score();
  const double loaded = chi(kChiPos);
  // An observed record copied in after the set-up (a batch entry, a noise realisation) is
  // scored as a fresh set-up scores it.
  SrcData& s = TSobs.srcobs[1];
  s.y[3] += 0.02;
  score();
  const double moved = chi(kChiPos);
  EXPECT_GT(moved, 2 * loaded);
  proc_GausCorr();
  score();
  EXPECT_NEAR(chi(kChiPos), moved, 1e-12 * moved);
  // A record with another number of images than the set-up is refused, not overrun.
  s.nimg = 3;
  EXPECT_NE(fatal_message([&] { score(); }).find("no longer match the GausCorr set-up"), std::string::npos);
  s.nimg = 4;
}

TEST_F(PointChiTest, UnweightedSourcePlaneIsTheWeightedMeanOfTheBackProjections) {
  // Two images with different error ellipses: the source is the inverse-covariance
  // weighted mean of their back-projections, and each model image is its observed image
  // moved by (u, v) - beta.
  set("chimode", -1);
  load_data("1\n0 0 0.01 0.01 0\n1 1\n0 1\n0 1\n1\n2\n"
            "1.2 0.1 1 0.01 0.02 30 0 0 0\n-0.8 -0.05 -1 0.03 0.01 -20 0 0 0\n",
            "data2");
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  score();
  const SrcData& o = TSobs.srcobs[1];
  double bu[3], bv[3];
  for (int k = 1; k <= 2; ++k) back_project(o.x[k], o.y[k], bu[k], bv[k]);
  // (C1 + C2) s = C1 b1 + C2 b2
  Tensor3& C = const_cast<Tensor3&>(o.invcov);
  const double S11 = C[1][0][0] + C[2][0][0], S12 = C[1][0][1] + C[2][0][1], S22 = C[1][1][1] + C[2][1][1];
  double r1 = 0, r2 = 0;
  for (int k = 1; k <= 2; ++k) {
    r1 += C[k][0][0] * bu[k] + C[k][0][1] * bv[k];
    r2 += C[k][1][0] * bu[k] + C[k][1][1] * bv[k];
  }
  const double det = S11 * S22 - S12 * S12;
  const double us = (S22 * r1 - S12 * r2) / det, vs = (S11 * r2 - S12 * r1) / det;
  const SrcData& m = TSobs.srcmod[1];
  EXPECT_NEAR(m.u, us, 1e-12);
  EXPECT_NEAR(m.v, vs, 1e-12);
  double pos = 0;
  for (int k = 1; k <= 2; ++k) {
    EXPECT_NEAR(m.x[k], o.x[k] + us - bu[k], 1e-12);
    EXPECT_NEAR(m.y[k], o.y[k] + vs - bv[k], 1e-12);
    pos += calc_chip(m.x[k] - o.x[k], m.y[k] - o.y[k], o.sig_a[k], o.sig_b[k], o.err_pa[k]);
  }
  // With identity tensors the source-plane offsets are the image-plane ones.
  EXPECT_NEAR(chi(kChiPos), pos, 1e-9 * pos);
}

TEST_F(PointChiTest, ErrorEllipseChiSquared) {
  // Axis a lies along (-sin pa, cos pa), axis b along (cos pa, sin pa).
  const double pa = 30, t = pa * kPi / 180;
  EXPECT_NEAR(calc_chip(-0.02 * std::sin(t), 0.02 * std::cos(t), 0.02, 0.01, pa), 1.0, 1e-12);
  EXPECT_NEAR(calc_chip(0.01 * std::cos(t), 0.01 * std::sin(t), 0.02, 0.01, pa), 1.0, 1e-12);
  EXPECT_NEAR(calc_chip(0.03, 0.04, 0.01, 0.01, 77), 25.0, 1e-12);
}

TEST_F(PointChiTest, MagnificationCapOfTheSourcePlaneForm) {
  set("chimode", 0);
  quadoff_with_b(1.001);
  set("omitcrit", -1);  // no cap
  const double uncapped = score();
  set("omitcrit", 0);   // 0 means no cap too
  EXPECT_NEAR(score(), uncapped, 1e-12 * uncapped);
  EXPECT_TRUE(std::isfinite(u));
  // A cap of 2 (every quadoff image is magnified more): the warning, and each image's
  // tensor becomes sqrt(2) times the identity, while model fluxes keep the true
  // magnifications.
  set("omitcrit", 2);
  CaptureOutput out;
  score();
  // Four capped images: the warning once, and at the end of the command the count.
  const std::string warn = "WARNING: In chiapprox, magnification is above threshold; scaling to mu = 2.000000e+00";
  EXPECT_EQ(count_occurrences(out.text(), warn + "\n"), 1);
  end_command_messages();
  EXPECT_EQ(count_occurrences(out.text(), warn + " (printed once; 4 times in all)\n"), 1);
  set("chimode", -1);
  score();
  const double unweighted = chi(kChiPos);
  set("chimode", 0);
  score();
  EXPECT_NEAR(chi(kChiPos), 2 * unweighted, 1e-9 * unweighted);
  EXPECT_NEAR(TSobs.srcmod[1].flux[1][1] / TSobs.srcmod[1].fsrc[1], 4.591467, 0.05);
}

TEST_F(PointChiTest, ImagePlanePenalties) {
  set("chimode", 1);
  set("omitcore", 0.05);
  // A core image at the centre: the Newton search starts a model image there that no
  // used image claims.
  load_quadoff_with_core_image();
  ASSERT_EQ(TSobs.srcobs[1].core[5], 1);
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  const double total = score();
  EXPECT_GE(total, 1e10);
  EXPECT_LT(total, 1.02e10);
  EXPECT_EQ(TSobs.srcmod[1].nextra, 1);
  set("extraflux", -1);  // extra images allowed, and not scored
  EXPECT_LT(score(), 1e-4);
  EXPECT_EQ(TSobs.srcmod[1].nextra, 1);

  // A source outside the caustic has two images for four observed ones.
  set("extraflux", 0);
  set("gridflag", 1);
  load_quadoff();
  TWsrc.srcvary[1][2] = TWsrc.srcvary[1][3] = 0;
  TWsrc.srcparms[1][2] = 0.3;
  TWsrc.srcparms[1][3] = 0;
  const double missing = score();
  ASSERT_GT(TWcrit.ncrit, 0);
  double d2 = 1e300;
  for (int k = 1; k <= TWcrit.ncrit; ++k)
    d2 = std::min(d2, std::pow(0.3 - TWcrit.crit[k][3], 2) + std::pow(TWcrit.crit[k][4], 2));
  EXPECT_GE(d2, 0.013972 * 0.999);
  EXPECT_DOUBLE_EQ(missing, (1 + d2) * 1e11);
  EXPECT_NEAR(missing, 1.01397e11, 2e8);
  EXPECT_EQ(TSobs.srcmod[1].u, 0.3);
}

TEST_F(PointChiTest, ExtraImageFluxesAreScoredAgainstTheLimit) {
  set("chimode", 1);
  set("omitcore", 0.05);
  load_quadoff_with_core_image();
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  set("extraflux", 0.01);
  score();
  const SrcData& m = TSobs.srcmod[1];
  ASSERT_EQ(m.nextra, 1);
  // The extra image (the Newton solve from the centre) carries its model flux, and the
  // flux term holds (flux / extraflux)^2 beyond the observed images' part.
  const double f = m.extra[1][3];
  EXPECT_GT(chi(kChiFlux), (f / 0.01) * (f / 0.01) * (1 - 1e-9));
  EXPECT_LT(chi(kChiFlux), (f / 0.01) * (f / 0.01) + 1e-4);
}

TEST_F(PointChiTest, ExactSourceTiesAddTheirZeroPoint) {
  // Two copies of the quadoff source; source 2's u is tied to source 1's with zero point
  // 0.1, its v is not solved.
  std::string text = quadoff_text();
  const size_t at = text.find("\n1\n4\n");
  const std::string block = text.substr(at + 5);
  text = text.substr(0, at) + "\n2\n4\n" + block + "4\n" + block;
  for (double cm : {0.0, 1.0}) {
    SCOPED_TRACE(cm);
    set("chimode", cm);
    load_data(text);
    ASSERT_EQ(TSobs.Nsrcobs, 2);
    load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
    TWsrc.srcparms[2][3] = 0.7;
    TScons.npmatch = 1;
    TScons.pmatcharr.reset(1, 1);
    TScons.pmatcharr[1] = PmatchRow{1, -2, 2, -1, 2, 1, 0, 0.1};
    score();
    EXPECT_NEAR(TSobs.srcmod[1].u, kQuadoffU, 1e-5);
    EXPECT_DOUBLE_EQ(TSobs.srcmod[2].u, TSobs.srcmod[1].u + 0.1);
    EXPECT_EQ(TSobs.srcmod[2].v, 0.7);
    EXPECT_EQ(TWsrc.srcparms[2][2], TSobs.srcmod[2].u);
  }
}

TEST_F(PointChiTest, EveryFluxBandTakesTheModelMagnification) {
  // Band 2 is band 1 twice: both bands fit the true model with their own source flux.
  set("multiflux", 2);
  for (double cm : {0.0, 1.0}) {
    SCOPED_TRACE(cm);
    set("chimode", cm);
    load_quadoff();
    SrcData& o = TSobs.srcobs[1];
    o.nflux = 2;
    for (int k = 1; k <= 4; ++k) {
      o.flux[k][2] = 2 * o.flux[k][1];
      o.sig_flux[k][2] = 2 * o.sig_flux[k][1];
    }
    load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
    score();
    EXPECT_LT(chi(kChiFlux), 1e-4);
    EXPECT_NEAR(TSobs.srcmod[1].fsrc[2], 2.0, 1e-3);
  }
}

TEST_F(PointChiTest, FixedSourcePositionIsScoredWhereItStands) {
  for (double cm : {0.0, 1.0}) {
    SCOPED_TRACE(cm);
    set("chimode", cm);
    load_quadoff();
    load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
    TWsrc.srcvary[1][2] = TWsrc.srcvary[1][3] = 0;
    TWsrc.srcparms[1][2] = kQuadoffU + 0.0005;
    TWsrc.srcparms[1][3] = kQuadoffV;
    const double off = score();
    EXPECT_GT(off, 1.0);
    EXPECT_EQ(TSobs.srcmod[1].u, kQuadoffU + 0.0005);
    EXPECT_EQ(TSobs.srcmod[1].v, kQuadoffV);
  }
}

TEST_F(PointChiTest, SimplexLeavesTheLineOfAZeroCoordinate) {
  // Two images, the first on the x axis (its back-projection has v exactly 0) and with
  // the smaller error, so that its back-projection is the best vertex: the third vertex
  // must not fall onto it (a simplex on the line through the two back-projections misses
  // the minimum). The source found is a minimum in both directions.
  set("chimode", 1);
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  // Images of the source (0.22, 0.06); image 1 is put onto the axis, image 2 moved.
  double x1 = 1.2, y1 = 0.3, x2 = -0.77, y2 = -0.2;
  for (int it = 0; it < 60; ++it) {
    for (double* p : {&x1, &x2}) {
      double& x = *p;
      double& y = p == &x1 ? y1 : y2;
      double pot, ax, ay, pxx, pyy, pxy, pyx;
      potdefmag(x, y, pot, ax, ay, pxx, pyy, pxy, pyx);
      const double fx = x - ax - 0.22, fy = y - ay - 0.06;
      const double a = 1 - pxx, b = -pxy, c = -pyx, d = 1 - pyy, det = a * d - b * c;
      x -= (d * fx - b * fy) / det;
      y -= (-c * fx + a * fy) / det;
    }
  }
  load_data(strformat("1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n2\n%.9f 0 1 0.01 0 0 0\n%.9f %.9f -1 0.1 0 0 0\n", x1, x2 + 0.05, y2 + 0.03));
  double bu, bv;
  back_project(TSobs.srcobs[1].x[1], 0, bu, bv);
  ASSERT_EQ(bv, 0.0);
  set("ftol", 1e-10);
  const double best = score();
  const double us = TSobs.srcmod[1].u, vs = TSobs.srcmod[1].v;
  TWsrc.srcvary[1][2] = TWsrc.srcvary[1][3] = 0;
  const double h = 2e-4;
  for (int dir = 0; dir < 4; ++dir) {
    TWsrc.srcparms[1][2] = us + (dir == 0 ? h : dir == 1 ? -h : 0);
    TWsrc.srcparms[1][3] = vs + (dir == 2 ? h : dir == 3 ? -h : 0);
    EXPECT_GT(score(), best * (1 - 1e-6)) << dir;
  }
}

TEST_F(PointChiTest, ErrorsOfThePointTerms) {
  struct Case {
    const char* what;
    double chimode;
    const char* data;
    int core_all;  // mark every image of source 1 as a core image
    const char* message;
  };
  const std::string twenty = [] {
    std::string s = "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n20\n";
    for (int k = 0; k < 20; ++k) s += strformat("%f %f 1 0.01 0.1 0\n", std::cos(k * 0.3), std::sin(k * 0.3));
    return s;
  }();
  const std::string one_image = "1\n0 0 0.01\n1 1\n0 1\n0 1\n2\n1\n1 0 1 0.01 0.1 0\n1\n-1 0 1 0.01 0.1 0\n";
  const std::string zero_error = "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n2\n1 0 1 0 0.1 0\n-1 0 1 0.01 0.1 0\n";
  const Case cases[] = {
      {"twenty images", 0, twenty.c_str(), 0, "number of images is larger than chiapprox can handle"},
      {"no used image, source plane", 0, nullptr, 1, "source 1 has no non-core images"},
      {"no used image, image plane", 1, nullptr, 1, "source 1 has no non-core images"},
      {"no pair of images", 2, one_image.c_str(), 0, "GausCorr seems not to be initialized"},
      {"zero position error", 0, zero_error.c_str(), 0,
       "position error of 0 for source #1, image #1; image positions need errors above 0"},
  };
  set("maximg", 20);
  set("checkparity", 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set("chimode", c.chimode);
    if (c.data)
      load_data(c.data);
    else
      load_quadoff();
    if (c.core_all)
      for (int k = 1; k <= TSobs.srcobs[1].nimg; ++k) TSobs.srcobs[1].core[k] = 1;
    load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
    EXPECT_EQ(fatal_message([&] { score(); }), c.message);
    EXPECT_EQ(TWmod.scale, 1.0);
  }
  // Nineteen images run.
  set("chimode", 0);
  std::string nineteen = twenty;
  nineteen.replace(nineteen.find("\n20\n"), 4, "\n19\n");
  load_data(nineteen);
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_GT(score(), 0);
}

TEST_F(PointChiTest, GridFreeSearchSolvesTheLensEquationFromEachImage) {
  load_quadoff();
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  int n = 0;
  Mat list;
  find_img_nogrid(n, list, TSobs.srcobs[1], kQuadoffU, kQuadoffV);
  ASSERT_EQ(n, 4);
  for (int k = 1; k <= 4; ++k) {
    double bu, bv;
    back_project(list[k][1], list[k][2], bu, bv);
    EXPECT_NEAR(bu, kQuadoffU, 1e-10);
    EXPECT_NEAR(bv, kQuadoffV, 1e-10);
    EXPECT_NEAR(list[k][3], TSobs.srcobs[1].flux[k][1], 1e-3 * std::fabs(list[k][3]));
    EXPECT_EQ(list[k][9], 1.0);
  }
}

// Two observed images beside one model image: the Newton solves from both reach it and
// count once, so the image-plane form sees four model images for five observed ones,
// scores the missing-image penalty and shows the unpaired observed image with zeros.
TEST_F(PointChiTest, GridFreeSearchCountsOneImageOnce) {
  set("chimode", 1);
  set("gridflag", 0);
  std::string text = quadoff_text();
  text.replace(text.find("\n4\n"), 3, "\n5\n");
  text += "1.165803 0.081317 4.591467 0.003 0.5 0 0.01\n";
  load_data(text);
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  int n = 0;
  Mat list;
  find_img_nogrid(n, list, TSobs.srcobs[1], kQuadoffU, kQuadoffV);
  ASSERT_EQ(n, 4);
  for (int k = 1; k <= 4; ++k) {
    double bu, bv;
    back_project(list[k][1], list[k][2], bu, bv);
    EXPECT_NEAR(bu, kQuadoffU, 1e-10);
    EXPECT_NEAR(bv, kQuadoffV, 1e-10);
    for (int j = 1; j < k; ++j) EXPECT_GT(std::hypot(list[k][1] - list[j][1], list[k][2] - list[j][2]), 0.1);
  }

  TWsrc.srcvary[1][2] = TWsrc.srcvary[1][3] = 0;
  TWsrc.srcparms[1][2] = kQuadoffU;
  TWsrc.srcparms[1][3] = kQuadoffV;
  EXPECT_GE(score(), 1e11);
  EXPECT_EQ(TSstore.penalty, FitPenalty::kMissingImages);
  const SrcData& m = TSobs.srcmod[1];
  int zeros = 0;
  for (int k = 1; k <= 5; ++k) {
    if (m.x[k] == 0 && m.y[k] == 0) {
      ++zeros;
      EXPECT_EQ(m.flux[k][1], 0.0);
      EXPECT_EQ(m.tdel[k], 0.0);
    } else {
      // A model image of its own: on the lens equation, never the observed position.
      double bu, bv;
      back_project(m.x[k], m.y[k], bu, bv);
      EXPECT_NEAR(bu, kQuadoffU, 1e-8);
      EXPECT_NE(m.x[k], TSobs.srcobs[1].x[k]);
    }
  }
  EXPECT_EQ(zeros, 1);
}

TEST_F(PointChiTest, EachSourceIsScoredAtItsOwnDistanceRatio) {
  // Two copies of the quadoff source, the second nearer (a smaller distance ratio); its
  // images are moved onto the exact images under its own scale factor. Both forms then
  // fit both sources, and the scale and delay factors are restored afterwards.
  set("zlens", 0.5);
  set("zsrc", 2);
  set("zref", 2);
  std::string text = quadoff_text();
  const size_t at = text.find("\n1\n4\n");
  const std::string block = text.substr(at + 5);
  text = text.substr(0, at) + "\n2\n4 1 1 1 2\n" + block + "4 1 1 1 1.5\n" + block;
  const double tscale = settings.tscale;
  for (double cm : {0.0, 1.0}) {
    SCOPED_TRACE(cm);
    set("chimode", cm);
    set("fluxweight", 0);
    set("timeweight", 0);
    load_data(text);
    load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
    SrcData& s2 = TSobs.srcobs[2];
    ASSERT_LT(s2.pscale, 0.95 * TSobs.srcobs[1].pscale);
    // Newton starts near each image: the images shrink roughly with the scale factor.
    for (int i = 1; i <= 2; ++i)
      for (int k = 1; k <= 4; ++k) {
        TSobs.srcobs[i].x[k] *= TSobs.srcobs[i].pscale;
        TSobs.srcobs[i].y[k] *= TSobs.srcobs[i].pscale;
      }
    TWmod.scale = s2.pscale;
    const SrcData moved = model_images(2, kQuadoffU, kQuadoffV);
    TWmod.scale = TSobs.srcobs[1].pscale;
    const SrcData first = model_images(1, kQuadoffU, kQuadoffV);
    TWmod.scale = 1;
    for (int k = 1; k <= 4; ++k) {
      s2.x[k] = moved.x[k];
      s2.y[k] = moved.y[k];
      TSobs.srcobs[1].x[k] = first.x[k];
      TSobs.srcobs[1].y[k] = first.y[k];
    }
    EXPECT_LT(score(), cm == 0 ? 1e-6 : 1e-4);
    for (int i = 1; i <= 2; ++i) {
      EXPECT_NEAR(TSobs.srcmod[i].u, kQuadoffU, 1e-5) << i;
      EXPECT_NEAR(TSobs.srcmod[i].v, kQuadoffV, 1e-5) << i;
    }
    EXPECT_EQ(TWmod.scale, 1.0);
    EXPECT_EQ(settings.tscale, tscale);
  }
}

TEST_F(PointChiTest, RegistrationShiftMovesTheObservedImages) {
  // The observed images are off by (-0.01, 0.02); a registration shift of the point
  // images of source 1 brings them back onto the true model's.
  for (double cm : {0.0, 1.0}) {
    SCOPED_TRACE(cm);
    set("chimode", cm);
    load_quadoff();
    for (int k = 1; k <= 4; ++k) {
      TSobs.srcobs[1].x[k] -= 0.01;
      TSobs.srcobs[1].y[k] += 0.02;
    }
    load_model(std::string(kQuadoffModel) + "register 1 1 0.01 -0.02 0 0 0 0 0 0\n", novary2(), 2);
    EXPECT_LT(score(), cm == 0 ? 1e-6 : 1e-4);
    EXPECT_NEAR(TSobs.srcmod[1].u, kQuadoffU, 1e-5);
    EXPECT_NEAR(TSobs.srcmod[1].x[1], 1.163803, 1e-5);  // model images where the lens puts them
  }
}
