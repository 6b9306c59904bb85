// Ring constraints: the ray functions against the isothermal sphere's closed form, the
// ring fixture scored and fitted back, unsolved crests, the index guard and load errors.
#include <array>

#include "core/sources.h"
#include "fit/crvring_fixture.h"
#include "imageplane/source_models.h"
#include "numeric/constants.h"

namespace {

class RingTest : public CrvRingTest {
 protected:
  // The ring fixture: the isothermal lens b (varied when vary_b) and "ring 1".
  void load_ring_model(double b, bool vary_b, const std::string& lens = "") {
    load_model((lens.empty() ? isothermal(b) : lens) + "ring 1 0 0 0 0 0 0 0 0 0\n",
               std::string(vary_b ? "1" : "0") + " 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n", 2);
  }
  // Captures the diagnostic lines while it lives.
  struct Diag {
    FILE* f = std::tmpfile();
    FILE* saved = TSringwork.diag;
    Diag() { TSringwork.diag = f; }
    ~Diag() {
      TSringwork.diag = saved;
      std::fclose(f);
    }
    std::string text() {
      std::fflush(f);
      std::rewind(f);
      std::string s;
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
      return s;
    }
  };
  // chi1, chi2, chi3 and the total of the last "DONE RING" line (the final evaluation).
  static std::array<double, 4> last_done(const std::string& t) {
    std::array<double, 4> v{-1, -1, -1, -1};
    const size_t last = t.rfind("DONE RING ");
    EXPECT_NE(last, std::string::npos);
    if (last != std::string::npos) {
      EXPECT_EQ(std::sscanf(t.c_str() + last, "DONE RING %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3]), 4);
    }
    return v;
  }
};

// For the isothermal sphere about the origin a ray from the centre maps to the source
// plane as S = (lambda - b) t, so with a circular source s0 the crest is at
// lambda = b + t.s0 and the elliptical radius is the distance of S from s0.
TEST_F(RingTest, RayFunctionsMatchTheIsothermalSphere) {
  ringdat_cmd({ring_file("ring.dat", ring_rays())});
  load_model(isothermal(1.2), "0 0 0 0 0 0 0 0 0 0\n");
  RingWork& W = TSringwork;
  W.glob_iring = 1;
  W.xshift = W.yshift = 0;
  TSring.Ringparms[1][1] = 0.05;
  TSring.Ringparms[1][2] = 0.02;
  for (int j = 1; j <= 12; ++j) {
    W.glob_jring = j;
    const double phi = TSring.Ringdat[1][j][3] * kPi / 180, tx = -std::sin(phi), ty = std::cos(phi);
    const double crest = 1.2 + tx * 0.05 + ty * 0.02;
    EXPECT_NEAR(ring_func(crest), 0, 1e-6);
    // Half the derivative of r^2 along the ray, against a central difference.
    const double l = 1.4, h = 1e-5;
    const double r2p = std::pow(ring_dist(l + h), 2), r2m = std::pow(ring_dist(l - h), 2);
    EXPECT_NEAR(ring_func(l), (r2p - r2m) / (4 * h), 1e-7);
    EXPECT_NEAR(ring_dist(-l), ring_dist(l), 1e-15);  // |lambda|
  }
  // An elliptical source stretches the radius across its axis: e = 0.5, PA 0 weighs the
  // x offset by 1 / (1 - e)^2.
  TSring.Ringparms[1][3] = 0.5;
  TSring.Ringparms[1][4] = 0;
  W.glob_jring = 4;  // phi = 90: S = (-(lambda - b), 0) = (-0.3, 0) at lambda 1.5
  EXPECT_NEAR(ring_dist(1.5), std::sqrt(0.02 * 0.02 + 4 * 0.35 * 0.35), 1e-6);
}

TEST_F(RingTest, CanonicalSource) {
  const struct {
    double e, pa, e_out, pa_out;
  } cases[] = {
      {-0.2, 100, 0.2, 10},   // sign flip adds 90: 190, folded to 10
      {2, 30, 0.5, -60},      // inverse adds 90: 120, folded to -60
      {0.3, -100, 0.3, 80},
      {0.3, 90, 0.3, 90},     // the bounds stay
      {0.3, -90, 0.3, -90},
      {0.3, 1e30, 0.3, std::fmod(1e30, 180.0) - 180 * std::round(std::fmod(1e30, 180.0) / 180)},
  };
  for (const auto& c : cases) {
    double e = c.e, pa = c.pa;
    canonical_ring_source(e, pa);
    EXPECT_DOUBLE_EQ(e, c.e_out) << c.e << " " << c.pa;
    EXPECT_NEAR(pa, c.pa_out, 1e-9) << c.e << " " << c.pa;
    EXPECT_GE(pa, -90);
    EXPECT_LE(pa, 90);
  }
}

TEST_F(RingTest, FixtureScoresCrossingsAndFitsBack) {
  ringdat_cmd({ring_file("ring.dat", ring_rays())});
  load_ring_model(1.01, false);
  {
    Diag d;
    score();
    // Each crest lies 0.01 = d(lambda) beyond its observed lambda once the source fits.
    EXPECT_NEAR(TSstore.chi[kChiRing], 12.0, 0.01);
    const std::string t = d.text();
    const size_t last = t.rfind("RING: found ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(t.substr(last, 38), "RING: found 2 critical line crossings\n");
    EXPECT_NE(t.find("varying 1 1 0 0 total 2\n"), std::string::npos);
  }
  load_ring_model(0.95, true);
  const Mat best = fit();
  EXPECT_NEAR(best[1][1], 1.0, 1e-4);
  EXPECT_NEAR(TSring.Ringparms[1][1], 0.05, 1e-4);
  EXPECT_NEAR(TSring.Ringparms[1][2], 0.02, 1e-4);
  // The fitted source goes into the ring component.
  EXPECT_EQ(best[2][2], TSring.Ringparms[1][1]);
  EXPECT_EQ(best[2][3], TSring.Ringparms[1][2]);
  ScratchDir out;
  FILE* f = std::fopen(out.file("ringp").c_str(), "w");
  writeringp(f);
  std::fclose(f);
  EXPECT_EQ(out.read("ringp"), strformat("Ring 1: %13.6e %13.6e %13.6e %13.6e # u0 v0 e PA\n", TSring.Ringparms[1][1],
                                         TSring.Ringparms[1][2], 0.0, 0.0));
}

// The crests of the isothermal sphere with shear 0.05 at 20 degrees and a circular source
// at (0.05, 0.02), fitted back for the lens (b, shear angle) and the source.
TEST_F(RingTest, ShearedFixtureCrestsAndFit) {
  const std::vector<double> crests = {0.979943, 0.948367, 0.958142, 0.987428, 0.993197, 0.965354,
                                      0.944434, 0.961371, 1.019928, 1.089907, 1.104730, 1.047197};
  ringdat_cmd({ring_file("ring.dat", ring_rays(crests))});
  load_ring_model(1, false, "alpha 1 0 0 0 0 0.05 20 1e-7 0 1\n");
  initmodel(TWref.ref[1].names, TWref.ref[1].p, TWref.ref[1].z, 0);
  TSring.Ringparms[1][1] = 0.05;
  TSring.Ringparms[1][2] = 0.02;
  TSring.Ringvary[1][1] = TSring.Ringvary[1][2] = 0;  // the source as set
  TSringwork.glob_iring = 1;
  Vec none(1, 1);
  vary_ringsource(none);
  for (int j = 1; j <= 12; ++j) {
    EXPECT_EQ(TSringwork.ok[j], 1);
    EXPECT_NEAR(TSringwork.lam[j], crests[j - 1], 5e-6) << j;
  }

  load_ring_model(0.95, true, "alpha 0.95 0 0 0 0 0.03 10 1e-7 0 1\n");
  TWref.refv[1][6] = TWref.refv[1][7] = 1;
  const Mat best = fit();
  EXPECT_NEAR(best[1][1], 1.0, 5e-4);
  EXPECT_NEAR(best[1][6], 0.05, 5e-4);
  EXPECT_NEAR(best[1][7], 20, 0.1);
}

// A flux peak is matched against the images of the source centre, a flux minimum against
// the crossings of the critical curve; with no candidate each costs 1e10.
TEST_F(RingTest, PeaksAndMinima) {
  auto rays = ring_rays();
  const double b = 1.01;
  rays[0][6] = 1;  // phi 0: a peak at the observed lambda
  rays[3][6] = 2;  // phi 90: a minimum
  ringdat_cmd({ring_file("ring.dat", rays)});
  EXPECT_TRUE(crvring_need_grid());
  load_ring_model(b, false);
  set("chimode", 0);  // the grid comes from the peak ray
  {
    Diag d;
    score();
    // The final evaluation: the peak ray and the minimum ray are matched.
    const auto [chi1, chi2, chi3, total] = last_done(d.text());
    EXPECT_LT(chi2, 1e10);
    EXPECT_GT(chi2, 0);
    EXPECT_LT(chi3, 1e10);
    // The line prints six digits.
    EXPECT_NEAR(total, chi1 + chi2 + chi3, 1e-6 * total);
    EXPECT_NEAR(TSstore.chi[kChiRing], total, 1e-6 * total);
  }
  // Rays that all lie outside the critical curve: the minimum has no crossing to match.
  rays = ring_rays();
  rays[3][6] = 2;
  ringdat_cmd({ring_file("ring2.dat", rays)});
  EXPECT_FALSE(crvring_need_grid());
  load_ring_model(0.9, false);
  {
    Diag d;
    score();
    const std::string t = d.text();
    const auto v = last_done(t);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], 1e10);
    EXPECT_NE(t.find("RING: found 0 critical line crossings\n"), std::string::npos);
  }
}

// A crest that cannot be found: at the user's start lens and start source the run ends;
// any other trial pays 1e10 per unsolved ray and the fit goes on.
TEST_F(RingTest, UnsolvedCrests) {
  // The rays of a ring of radius about 1 about a lens of almost no mass: the source-plane
  // images of half the rays run away from any source near the centre.
  ringdat_cmd({ring_file("ring.dat", ring_rays())});
  load_ring_model(1e-3, false);
  set_start_model();
  EXPECT_NE(fatal_message([&] { score(); }).find("the crest of ring #1 was not found on"), std::string::npos);
  const double chi = score();
  EXPECT_GE(TSstore.chi[kChiRing], 1e10);
  EXPECT_GE(chi, 1e10);
}

TEST_F(RingTest, IndexGuard) {
  // No ringdat yet: every "ring" component is out of range.
  load_ring_model(1, false);
  EXPECT_EQ(fatal_message([&] { score(); }), "ring index 1 out of range");
  dir.write("r.dat", "1\n0 0 0 1 0.01 1 0\n");
  ringdat_cmd({dir.file("r.dat")});
  run_handler(ringmax, cmd({"ringmax", "20", "10"}));  // capacities only, until the next ringdat
  struct Case {
    const char* index;
    std::string message;
  };
  const Case cases[] = {{"0", "ring index 0 out of range"},
                        {"-3", "ring index -3 out of range"},
                        {"11", "ring index 11 out of range"},
                        {"10", "(no error)"},
                        {"1", "(no error)"}};
  for (const Case& c : cases) {
    load_model(isothermal(1) + "ring " + c.index + " 0 0 0 0 0 0 0 0 0\n",
               "0 0 0 0 0 0 0 0 0 0\n1 0 0 0 0 0 0 0 0 0\n", 2);
    EXPECT_EQ(fatal_message([&] {
                int nd, ng, ns;
                storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
                Vec x(1, 1);
                x[1] = TWref.ref[1].p[2][1];
                tryparms(x);
              }),
              c.message)
        << c.index;
    storage_clear();
  }
}

TEST_F(RingTest, LoadErrorsAndCapacities) {
  dir.write("ok.dat", "1\n0 0 0 1 0.01 1 0\n");
  dir.write("norays.dat", "0\n");
  dir.write("short.dat", "2\n0 0 0 1 0.01 1 0\n");
  dir.write("few.dat", "1\n0 0 0 1 0.01 1\n");
  dir.write("lam.dat", "2\n0 0 0 1 0.01 1 0\n0 0 0 0 0.01 1 0\n");
  dir.write("dlam.dat", "1\n0 0 0 1 -0.01 1 0\n");
  dir.write("dphi.dat", "1\n0 0 0 1 0.01 0 1\n");
  dir.write("dphi0.dat", "1\n0 0 0 1 0.01 0 0\n");  // d(phi) unused on a normal ray
  dir.write("many.dat", "201\n");
  dir.write("nanphi.dat", "1\n0 0 nan 1 0.01 1 0\n");
  dir.write("inflam.dat", "1\n0 0 0 inf 0.01 1 0\n");
  const std::string ok = dir.file("ok.dat");
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  const std::string needs = " needs lambda, d(lambda) > 0 (and d(phi) > 0 on flag 1 or 2)";
  const Case cases[] = {
      {{"ringdat", ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok}, "too many rings; use ringmax to allow more"},
      {{"ringdat", dir.file("none.dat")}, "could not open ring data file"},
      {{"ringdat", dir.file("many.dat")}, "too many points on ring; use ringmax to allow more"},
      {{"ringdat", dir.file("norays.dat")}, "ring data file " + dir.file("norays.dat") + " has no rays"},
      {{"ringdat", dir.file("short.dat")}, "file " + dir.file("short.dat") + " ended after 2 of 3 lines"},
      {{"ringdat", dir.file("few.dat")}, "Too few entries for ray #1 in ringdat"},
      {{"ringdat", dir.file("lam.dat")}, "ray #2 in ring data file " + dir.file("lam.dat") + needs},
      {{"ringdat", dir.file("dlam.dat")}, "ray #1 in ring data file " + dir.file("dlam.dat") + needs},
      {{"ringdat", dir.file("dphi.dat")}, "ray #1 in ring data file " + dir.file("dphi.dat") + needs},
      {{"ringdat", dir.file("dphi0.dat")}, "(no error)"},
      {{"ringdat", dir.file("nanphi.dat")}, "ringdat: nan is not a finite number"},
      {{"ringdat", dir.file("inflam.dat")}, "ringdat: inf is not a finite number"},
      {{"ringmax", "-1", "5"}, "capacities must be >= 0"},
      {{"ringmax", "3000000000", "1"}, "ringmax: the capacities asked for need more memory than this machine has"},
      {{"ringmax", "1000000", "10000000"}, "ringmax: the capacities asked for need more memory than this machine has"},
  };
  for (const Case& c : cases) {
    const WordArray w(c.words);
    EXPECT_EQ(fatal_message([&] { c.words[0] == "ringmax" ? run_handler(ringmax, w) : run_handler(ringdat, w); }), c.message) << c.words[1];
  }
  // A failed load leaves the tables of the last good one.
  EXPECT_EQ(TSring.Nring, 1);
  EXPECT_EQ(TSring.Ringflag[1][1], 0);

  CaptureOutput out;
  quietflag = 0;
  run_handler(ringmax, cmd({"ringmax", "3"}));  // one value: the help, nothing changed
  run_handler(ringmax, cmd({"ringmax", "3", "7"}));
  run_handler(ringdat, cmd({"ringdat", ok, ok}));
  EXPECT_NE(out.text().find("ringmax <max no. of rings> <max no. of rays on a ring>\n"), std::string::npos);
  EXPECT_NE(out.text().find("Setting maximum ring dimensions to: 3 7\n"), std::string::npos);
  EXPECT_NE(out.text().find("Reading 1 points from ringdat file " + ok + "\n"), std::string::npos);
  EXPECT_EQ(TSring.nalloc, 3);
  EXPECT_EQ(TSring.Nring, 2);
  EXPECT_EQ(TSring.Ringvary[2][1], 1);
  EXPECT_EQ(TSring.Ringvary[2][3], 0);
}

}  // namespace

namespace {

// The curve and ring searches use the point solver: an extended current source keeps its
// fitted position and is never searched in their place.
TEST_F(RingTest, SearchesLeaveTheSourceTablesAlone) {
  dir.write("src.dat", "1 100\nuniform 1 0.3 -0.2 0.2 30 0.05 0 0\n0 0 0 0 0 0 0 0\n");
  run_handler(setsource, cmd({"setsource", dir.file("src.dat")}));
  set("isource", 1);
  auto rays = ring_rays();
  rays[0][6] = 1;
  ringdat_cmd({ring_file("ring.dat", rays)});
  load_circle_curves();
  load_ring_model(1.01, false);
  const Mat before = TWsrc.srcparms;
  score();
  EXPECT_NEAR(TSstore.chi[kChiCrv], 144.0, 0.01);
  EXPECT_LT(TSstore.chi[kChiRing], 1e10);
  for (int k = 1; k <= 12; ++k) EXPECT_EQ(TWsrc.srcparms[1][k], before[1][k]) << k;
  EXPECT_EQ(settings.isource, 1);
}

}  // namespace
