// Fits that must recover a known lens: the quadoff lens in the source plane and, from a
// start near the optimum, in the image plane; the fit resumed from its own files; and a
// published-style lens against its independently found minimum.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

// The quadoff lens as a user's data file.
void copy_quadoff(const ScratchDir& d) {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::ofstream(d.file("quadoff.dat")) << in.rdbuf();
}

struct Fit {
  double b = 0, x = 0, y = 0, shear = 0, angle = 0;
  double u = 0, v = 0, flux = 0, h = 0;
  double chi[9] = {};
};

// Reads the fitted model from outbase.start, the source from outbase.dat and the
// chi-squared components from outbase-chi.dat.
Fit read_fit(const ScratchDir& d, const std::string& base) {
  Fit f;
  std::istringstream start(d.read(base + ".start"));
  std::string head, cls;
  double e, pa, s, a;
  std::getline(start, head);
  start >> cls >> f.b >> f.x >> f.y >> e >> pa >> f.shear >> f.angle >> s >> a;
  const std::string rep = d.read(base + ".dat");
  const size_t at = rep.find("Source #1\n");
  if (at != std::string::npos)
    std::sscanf(rep.c_str() + at, "Source #1\n  posn: %le %le\n  flux: %le\n     h: %le", &f.u, &f.v, &f.flux, &f.h);
  std::istringstream chi(d.read(base + "-chi.dat"));
  for (double& c : f.chi) chi >> c;
  return f;
}

const char* kStart = "1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n";

}  // namespace

TEST(RecoveryE2E, QuadoffInTheSourcePlaneAndResumedFromItsFiles) {
  ScratchDir d;
  copy_quadoff(d);
  d.write("start.dat", kStart);
  RunResult r = run_tarnsolve(d.path(), {},
                              "set chimode 0\nset gridflag 0\ndata quadoff.dat\nsetlens start.dat\noptimize fit\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  Optimization 1/1: "), std::string::npos);
  for (const char* f : {"fit.dat", "fit.start", "fit-chi.dat", "fit-img.dat", "fit-imgfit.dat"})
    EXPECT_TRUE(d.exists(f)) << f;
  const Fit f = read_fit(d, "fit");
  EXPECT_NEAR(f.b, 1.0, 1e-4);
  EXPECT_NEAR(f.shear, 0.1, 1e-4);
  EXPECT_NEAR(f.angle, 0.0, 0.01);
  EXPECT_NEAR(f.u, 0.05, 1e-5);
  EXPECT_NEAR(f.v, 0.02, 1e-5);
  EXPECT_NEAR(f.flux, 1.0, 3e-4);
  EXPECT_NEAR(f.h, 0.7, 2e-4);
  EXPECT_LT(f.chi[0], 1e-4);

  // Resumed from its model and its own images: the start is already below ftol.
  r = run_tarnsolve(d.path(), {},
                    "set chimode 0\nset gridflag 0\nsetlens fit.start\ndata fit-imgfit.dat\noptimize chk\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  Optimization 1/1:    0 func evals"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("before amoeba"), std::string::npos);
  EXPECT_LT(read_fit(d, "chk").chi[0], 1e-6);
}

TEST(RecoveryE2E, QuadoffInTheImagePlaneFromNearTheOptimum) {
  ScratchDir d;
  copy_quadoff(d);
  d.write("start1.dat", "1 1\nalpha 0.995 0 0 0 0 0.098 1 0 0 1\n1 0 0 0 0 1 1 0 0 0\n");
  const RunResult r = run_tarnsolve(
      d.path(), {}, "set chimode 1\nset gridflag 0\ndata quadoff.dat\nsetlens start1.dat\noptimize fit1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const Fit f = read_fit(d, "fit1");
  EXPECT_NEAR(f.b, 1.0, 2e-4);
  EXPECT_NEAR(f.shear, 0.1, 2e-4);
  EXPECT_NEAR(f.angle, 0.0, 0.02);
  EXPECT_LT(f.chi[0], 1e-4);
  for (const char* p : {"grid.dat", "crit.dat", "best.sm"}) EXPECT_TRUE(d.exists(p)) << p;
  const std::string sm = d.read("best.sm");
  EXPECT_NE(sm.find("plotimg 03 # plotimg [automatic limits?] [plot grid?] [use colors?]\n"), std::string::npos);
  EXPECT_EQ(count_occurrences(sm, "\t relocate "), 4 + 4 + 1 + 2 + 0) << sm;  // images x2, source, label lines
}

TEST(RecoveryE2E, PublishedStyleLensReachesItsIndependentMinimum) {
  ScratchDir d;
  d.write("pub.dat",
          "1\n0.002 -0.001 0.003\n1 1\n0 1\n0 1\n1\n4\n"
          "1.166 0.084 5 0.003 1.0 0 0.02\n"
          "-1.045 0.129 7 0.003 1.4 0.15 0.02\n"
          "-0.284 0.886 -6 0.003 1.2 0.22 0.02\n"
          "-0.222 -0.864 -4 0.003 0.8 0.27 0.02\n");
  const RunResult r = run_tarnsolve(d.path(), {},
                                    "set chimode 0\nset gridflag 0\nset restart 3\ndata pub.dat\nsetlens 1 1\n"
                                    "alpha 1 0 0 0 0 0.1 0 0 0 1\n1 1 1 0 0 1 1 0 0 0\noptimize pub\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  Optimization 3/3: "), std::string::npos);
  const Fit f = read_fit(d, "pub");
  EXPECT_NEAR(f.chi[0], 1.22279, 1.22279e-3);
  EXPECT_NEAR(f.chi[1] + f.chi[2] + f.chi[3] + f.chi[4], f.chi[0], 1e-6);
  EXPECT_NEAR(f.b, 1.001669, 2e-4);
  EXPECT_NEAR(f.x, 0.002288, 2e-4);
  EXPECT_NEAR(f.y, -0.000097, 2e-4);
  EXPECT_NEAR(f.shear, 0.098727, 2e-4);
  EXPECT_NEAR(f.angle, 0.1136, 0.02);
  EXPECT_NEAR(f.u, 0.052067, 1e-4);
  EXPECT_NEAR(f.v, 0.019686, 1e-4);
  EXPECT_NEAR(f.flux, 0.977529, 1e-3);
  EXPECT_NEAR(f.h, 0.679465, 5e-4);
}
