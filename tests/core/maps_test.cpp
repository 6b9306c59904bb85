// Lens-plane maps and tables of the current model: closed forms of an isothermal sphere,
// maps that must agree with each other, the refusals of bad grids and missing models.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "core/magtens.h"
#include "core/maps.h"
#include "io/arrayfile.h"
#include "io/wcs.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "shell/settings.h"

namespace {

// Isothermal sphere b = 1 at the origin (the class gives a zero core 1e-4).
const char* kSphere = "alpha 1 0 0 0 0 0 0 0 0 1";

class MapsTest : public CommandTest {
 protected:
  void TearDown() override {
    WCSinfo = WCSold = WcsReference();
    LOS.on = 0;
    CommandTest::TearDown();
  }
  // A one-component model; with grid, the image-plane grid is built for image finding.
  void load(const std::string& component, bool grid = false, double gridhi = 2) {
    SetVar("gridflag", 0, grid ? 1 : 0);
    SetVar("gridhi1", 0, gridhi);
    CommandInput in(component + "\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, cmd({"setlens", "1", "1"}));
  }
  std::string f(const std::string& name) const { return dir.file(name); }
  Mat read(const std::string& name, int type, int& nx, int& ny) const {
    Mat a;
    CaptureOutput quiet;
    EXPECT_TRUE(read_array(f(name), type, nx, ny, a));
    return a;
  }
  // Runs a command and returns what it printed.
  template <class Fn>
  std::string run(Fn fn, const std::vector<std::string>& words) {
    CaptureOutput out;
    run_handler(fn, cmd(words));
    return out.text();
  }
  std::vector<std::string> table_rows(const std::string& name) const {
    std::vector<std::string> rows;
    std::istringstream in(dir.read(name));
    for (std::string l; std::getline(in, l);) rows.push_back(l);
    return rows;
  }
  ScratchDir dir;
};

double radius(double x, double y) { return std::sqrt(x * x + y * y); }

}  // namespace

// Convergence b/(2r) and a tangential shear of the same size, with no radial part, at every
// point but the centre; the maps are element [i][j] = (x_i, y_j) with x fastest in the file.
TEST_F(MapsTest, ShearMapsOfAnIsothermalSphereAreTangential) {
  load(kSphere);
  run(plotshear, {"plotshear", f("s"), "1", "-1.5", "1.5", "5", "-1", "2", "4"});
  int nx, ny;
  const Mat kap = read("s-kap.dat", 1, nx, ny);
  ASSERT_EQ(nx, 5);
  ASSERT_EQ(ny, 4);
  int checked = 0;
  for (int i = 1; i <= 5; ++i) {
    for (int j = 1; j <= 4; ++j) {
      const double x = -1.5 + 0.75 * (i - 1), y = -1 + (j - 1);
      if (radius(x, y) < 0.1) continue;
      SCOPED_TRACE(testing::Message() << x << " " << y);
      int a, b;
      // The class's small core takes ~1e-4 off the shear of a true isothermal sphere.
      const double gam = read("s-gam.dat", 1, a, b)[i][j];
      EXPECT_NEAR(kap[i][j], 0.5 / radius(x, y), 2e-4);
      EXPECT_NEAR(gam, kap[i][j], 3e-4);
      EXPECT_NEAR(read("s-gamt.dat", 1, a, b)[i][j], gam, 2e-6);
      EXPECT_NEAR(read("s-gamr.dat", 1, a, b)[i][j], 0.0, 2e-6);
      const double gc = read("s-gamc.dat", 1, a, b)[i][j], gs = read("s-gams.dat", 1, a, b)[i][j];
      EXPECT_NEAR(std::hypot(gc, gs), gam, 2e-6);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 19);  // all but the centre
  EXPECT_EQ(dir.read("s-kap.dat").rfind("5 4\n", 0), 0u);
}

// plotmaps: the deflection maps are the gradient of the potential map, the magnification map
// is 1/det of the second-derivative maps, and about a reference position that is a grid
// point the potential and both deflections vanish there.
TEST_F(MapsTest, PlotmapsAgreesWithItselfAndVanishesAtTheReference) {
  load("alpha 1 0.1 -0.05 0.3 20 0.1 60 0.2 0 1");
  const int n = 21;
  ::testing::internal::CaptureStdout();
  run(plotmaps, {"plotmaps", f("m"), "0.5", "1.5", "21", "-0.5", "0.5", "21", "1.0", "0.0"});
  const std::string diag = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(diag.rfind("QVM reference 1.000000e+00 0.000000e+00 : ", 0), 0u) << diag;
  int nx, ny;
  const Mat pot = read("m-pot.fits", 3, nx, ny);
  ASSERT_EQ(nx, n);
  int a, b;
  const Mat dx = read("m-defx.fits", 3, a, b), dy = read("m-defy.fits", 3, a, b);
  const Mat xx = read("m-xx.fits", 3, a, b), yy = read("m-yy.fits", 3, a, b), xy = read("m-xy.fits", 3, a, b),
            yx = read("m-yx.fits", 3, a, b), mu = read("m-mu.fits", 3, a, b);
  EXPECT_NEAR(pot[11][11], 0.0, 1e-7);
  EXPECT_NEAR(dx[11][11], 0.0, 1e-7);
  EXPECT_NEAR(dy[11][11], 0.0, 1e-7);
  const double h = 0.05;
  for (int i = 2; i < n; i += 3) {
    for (int j = 2; j < n; j += 3) {
      SCOPED_TRACE(testing::Message() << i << " " << j);
      EXPECT_NEAR((pot[i + 1][j] - pot[i - 1][j]) / (2 * h), dx[i][j], 2e-3);
      EXPECT_NEAR((pot[i][j + 1] - pot[i][j - 1]) / (2 * h), dy[i][j], 2e-3);
      EXPECT_NEAR((dx[i + 1][j] - dx[i - 1][j]) / (2 * h), xx[i][j], 5e-3);
      EXPECT_NEAR((dy[i][j + 1] - dy[i][j - 1]) / (2 * h), yy[i][j], 5e-3);
      EXPECT_NEAR(xy[i][j], yx[i][j], 1e-6);
      const double m = 1.0 / ((1 - xx[i][j]) * (1 - yy[i][j]) - xy[i][j] * yx[i][j]);
      EXPECT_NEAR(mu[i][j], m, 1e-4 * std::fabs(m));
    }
  }
}

// plotkappa's mean and scatter; a flat map has a scatter of exactly 0 even where rounding
// makes <k^2> - <k>^2 negative (0.3 on 3 x 3 points).
TEST_F(MapsTest, KappaScatterOfAFlatMapIsZero) {
  load("convrg 0.3 0 0 0 0 0 0 0 0 0");
  const std::string out = run(plotkappa, {"plotkappa", f("k.dat"), "1", "-1", "1", "3", "-1", "1", "3"});
  EXPECT_NE(out.find("average kappa: 0.300000 +/- 0.000000\n"), std::string::npos) << out;
  load(kSphere);
  const std::string s = run(plotkappa, {"plotkappa", f("k.dat"), "1", "1", "2", "2", "0", "0", "1"});
  // 1/2 and 1/4: mean 3/8, population scatter 1/8.
  EXPECT_NE(s.find("average kappa: 0.375000 +/- 0.125000\n"), std::string::npos) << s;
}

// plotmu signed and absolute; plotpot reloads the model first and maps the potential.
TEST_F(MapsTest, MagnificationAndPotentialMaps) {
  load(kSphere);
  // Points off the centre and off the critical curve r = 1.
  const std::vector<std::string> grid = {"-1.8", "1.8", "7", "-0.5", "1.3", "3"};
  auto words = [&](const char* c, const char* name, std::vector<std::string> extra) {
    std::vector<std::string> w = {c, f(name), "1"};
    w.insert(w.end(), grid.begin(), grid.end());
    w.insert(w.end(), extra.begin(), extra.end());
    return w;
  };
  run(plotmu, words("plotmu", "mu.dat", {}));
  run(plotmu, words("plotmu", "amu.dat", {"1"}));
  const std::string pot_out = run(plotpot, words("plotpot", "pot.dat", {}));
  EXPECT_NE(pot_out.find(" ix =  7, x =  1.800000e+00\n"), std::string::npos) << pot_out;
  int nx, ny;
  const Mat mu = read("mu.dat", 1, nx, ny), amu = read("amu.dat", 1, nx, ny), pot = read("pot.dat", 1, nx, ny);
  int negative = 0;
  // The potential is r up to the core's share (about 1e-4 ln r and a constant).
  const double offset = pot[1][1] - radius(-1.8, -0.5);
  for (int i = 1; i <= 7; ++i) {
    for (int j = 1; j <= 3; ++j) {
      const double x = -1.8 + 0.6 * (i - 1), y = -0.5 + 0.9 * (j - 1), r = radius(x, y);
      SCOPED_TRACE(testing::Message() << x << " " << y);
      EXPECT_NEAR(mu[i][j], 1.0 / (1.0 - 1.0 / r), 2e-3 * std::fabs(mu[i][j]));
      EXPECT_EQ(amu[i][j], std::fabs(mu[i][j]));
      EXPECT_NEAR(pot[i][j] - offset, r, 3e-4);
      negative += mu[i][j] < 0;
    }
  }
  EXPECT_GT(negative, 0);
}

// plottdel: a surface relative to the earliest image, multiplied by tscale/hval also when
// tscale is 1; 0 at the earliest image and the delay of the other at the later one.
TEST_F(MapsTest, TimeDelaySurfaceIsRelativeToTheEarliestImage) {
  load(kSphere, true);
  std::string out;
  {
    CaptureOutput cap;
    ::testing::internal::CaptureStdout();
    run_handler(plottdel, cmd({"plottdel", "0.2", "0", "-0.8", "1.2", "11", "0", "0", "1", f("td.dat"), "1"}));
    out = ::testing::internal::GetCapturedStdout() + cap.text();
  }
  EXPECT_NE(out.find("Note: time delays in units of tscale\n"), std::string::npos) << out;
  EXPECT_EQ(count_occurrences(out, "QVM img "), 2) << out;
  EXPECT_NE(out.find("Computing time delay surface.\n"), std::string::npos);
  int nx, ny;
  const Mat td = read("td.dat", 1, nx, ny);
  ASSERT_EQ(nx, 11);
  ASSERT_EQ(ny, 1);
  EXPECT_NEAR(td[11][1], 0.0, 1e-6);            // x = 1.2, the minimum
  EXPECT_NEAR(td[1][1], 0.399959 / 0.7, 2e-6);  // x = -0.8, the saddle
  for (int i = 2; i <= 10; ++i) EXPECT_GT(td[i][1], 0.0);
  EXPECT_EQ(settings.clumpmode, 1);

  // No images (a source beyond the grid's source range): the surface is relative to 1e8.
  {
    CaptureOutput cap;
    ::testing::internal::CaptureStdout();
    run_handler(plottdel, cmd({"plottdel", "50", "0", "1", "2", "2", "0", "0", "1", f("none.dat"), "1"}));
    out = ::testing::internal::GetCapturedStdout() + cap.text();
  }
  EXPECT_NE(out.find("WARNING: no images found; the time-delay surface is relative to 1e8\n"), std::string::npos)
      << out;
  const Mat none = read("none.dat", 1, nx, ny);
  EXPECT_NEAR(none[1][1], -1e8 + 0.5 * 49 * 49 / 0.7, 1e2);

  SetVar("potflag", 0, 0);
  EXPECT_EQ(fatal_message([&] { run(plottdel, {"plottdel", "0", "0", "0", "1", "2", "0", "1", "2", f("x"), "1"}); }),
            "cannot run plottdel with potflag=0");
}

// HFFmaps2d on a model referenced to Dls/Ds = 1: the zsrc map equals the map of the same
// fiducial redshift, the magnification follows the distance ratio, the rest is unscaled.
TEST_F(MapsTest, FrontierFieldsMapsScaleTheMagnificationWithTheSourceRedshift) {
  load(kSphere);
  SetVar("zlens", 0, 0.5);
  SetVar("zsrc", 0, 2);
  SetVar("zref", 0, 1000);
  run(HFFmaps2d, {"HFFmaps2d", f("h"), "1", "2", "2", "0", "0", "1"});
  const double D = PMdist(0.5, 2) / PMdist(0, 2);
  EXPECT_NEAR(D, 0.635391, 1e-6);
  int nx, ny;
  const Mat z2 = read("h_z02-magnif.fits", 3, nx, ny), zs = read("h_zsrc-magnif.fits", 3, nx, ny);
  const Mat z1 = read("h_z01-magnif.fits", 3, nx, ny), kap = read("h_kappa.fits", 3, nx, ny);
  const Mat g1 = read("h_gamma1.fits", 3, nx, ny), gam = read("h_gamma.fits", 3, nx, ny);
  ASSERT_EQ(nx, 2);
  EXPECT_EQ(z2[2][1], zs[2][1]);
  EXPECT_NEAR(zs[2][1], 1.465610, 2e-6);  // at (2, 0): 1/(1 - D/2)
  EXPECT_NEAR(zs[1][1], 1.0 / (1.0 - D), 5e-4);
  EXPECT_LT(z1[2][1], z2[2][1]);
  EXPECT_NEAR(kap[2][1], 0.25, 1e-6);
  EXPECT_NEAR(g1[2][1], -0.25, 5e-5);
  EXPECT_EQ(gam[2][1], -g1[2][1]);

  SetVar("zref", 0, 5);
  EXPECT_EQ(fatal_message([&] { run(HFFmaps2d, {"HFFmaps2d", f("h"), "1", "2", "2", "0", "0", "1"}); }),
            "HFFmaps2d needs models referenced to Dls/Ds = 1");
  SetVar("zref", 0, 1000);
  SetVar("zlens", 0, -1);
  EXPECT_EQ(fatal_message([&] { run(HFFmaps2d, {"HFFmaps2d", f("h"), "1", "2", "2", "0", "0", "1"}); }),
            "HFFmaps2d needs positive zlens and zsrc");
  SetVar("zlens", 0, 0.5);
  LOS.on = 1;
  EXPECT_EQ(fatal_message([&] { run(HFFmaps2d, {"HFFmaps2d", f("h"), "1", "2", "2", "0", "0", "1"}); }),
            "HFFmaps2d cannot be used with multiple lens planes");
  LOS.on = 0;
  EXPECT_EQ(fatal_message([&] { run(HFFmaps3d, {"HFFmaps3d", f("h"), "1", "2", "2", "0", "0", "1"}); }),
            "HFFmaps3d should not be used with a 2d model");
}

// The text tables: the isothermal sphere deflects by b = 1 radially everywhere.
TEST_F(MapsTest, DeflectionTablesOfAnIsothermalSphere) {
  load("alpha 1 0.3 -0.2 0 0 0 0 0 0 1");
  // plotdef0 about the component, one angle (0 only) and eight (0 and 360 both sampled).
  for (const char* nt : {"1", "8"}) {
    run(plotdef0, {"plotdef0", f("d0"), "0.5", "4", "-4", nt});
    const auto rows = table_rows("d0");
    ASSERT_EQ(rows.size(), 4u);
    for (int k = 0; k < 4; ++k) {
      double r, a;
      ASSERT_EQ(std::sscanf(rows[static_cast<size_t>(k)].c_str(), "%lf %lf", &r, &a), 2);
      EXPECT_NEAR(r, 0.5 * std::pow(2.0, k), 1e-6);
      EXPECT_NEAR(a, 1.0, 1e-3);
    }
  }
  // With an external shear the angles matter: one angle samples theta = 0 alone.
  load("alpha 1 0.3 -0.2 0 0 0.2 30 0 0 1");
  run(plotdef0, {"plotdef0", f("d0"), "1.5", "1.5", "1", "1"});
  double r, a;
  ASSERT_EQ(std::sscanf(table_rows("d0")[0].c_str(), "%lf %lf", &r, &a), 2);
  EXPECT_NEAR(a, lens_at(1.8, -0.2).ax, 1e-6);
  EXPECT_GT(std::fabs(a - 1.0), 0.05);

  load("alpha 1 0.3 -0.2 0 0 0 0 0 0 1");
  // plotdef2: the point (x0 - r sin th, y0 + r cos th) is deflected along (-sin th, cos th).
  run(plotdef2, {"plotdef2", f("d2"), "0", "90", "3", "1", "2", "2"});
  const auto rows = table_rows("d2");
  ASSERT_EQ(rows.size(), 5u + 6u);
  EXPECT_EQ(rows[0], "0.000000e+00 9.000000e+01 1.000000e+00 2.000000e+00  # theta lo hi, r lo hi");
  EXPECT_EQ(rows[1], "3 2  # theta steps, r steps");
  EXPECT_EQ(rows[3], "# Columns:  th r pot defx defy xx yy xy yx");
  for (size_t k = 5; k < rows.size(); ++k) {
    double v[9];
    std::istringstream in(rows[k]);
    for (double& x : v) in >> x;
    const double th = (k - 5) / 2 * kPi / 4;
    EXPECT_NEAR(v[0], th, 1e-6);
    EXPECT_NEAR(v[1], 1.0 + (k - 5) % 2, 1e-6);
    EXPECT_NEAR(v[3], -std::sin(th), 1e-3);
    EXPECT_NEAR(v[4], std::cos(th), 1e-3);
  }
}

// plotdef1 writes its header and, for a model referenced to Dls/Ds = 1 with both redshifts
// set, every lensing value scaled by Dls/Ds, mu from the scaled derivatives.
TEST_F(MapsTest, CartesianTableScalesToTheSourceRedshift) {
  load(kSphere);
  run(plotdef1, {"plotdef1", f("a"), "1", "2", "2", "0.5", "0.5", "1"});
  SetVar("zlens", 0, 0.5);
  SetVar("zsrc", 0, 2);
  SetVar("zref", 0, 1000);
  const std::string out = run(plotdef1, {"plotdef1", f("b"), "1", "2", "2", "0.5", "0.5", "1"});
  EXPECT_NE(out.find("NOTE: Scaling results: zsrc,Dfac= 2.000000e+00 6.353908e-01\n"), std::string::npos) << out;
  const double D = PMdist(0.5, 2) / PMdist(0, 2);
  const auto a = table_rows("a"), b = table_rows("b");
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a[0], "1.000000e+00 2.000000e+00 5.000000e-01 5.000000e-01  # x lo hi, y lo hi");
  EXPECT_EQ(a[1], "2 1  # x steps, y steps");
  EXPECT_EQ(a[3], "# Columns:  x y pot defx defy xx yy xy yx mu");
  for (size_t k = 5; k < 7; ++k) {
    double va[10], vb[10];
    std::istringstream ia(a[k]), ib(b[k]);
    for (int c = 0; c < 10; ++c) ia >> va[c], ib >> vb[c];
    EXPECT_EQ(va[0], vb[0]);
    for (int c = 2; c < 9; ++c) EXPECT_NEAR(vb[c], D * va[c], 1e-7 * (1 + std::fabs(va[c])));
    EXPECT_NEAR(vb[9], 1.0 / ((1 - vb[5]) * (1 - vb[6]) - vb[7] * vb[8]), 1e-7 * std::fabs(vb[9]));
    EXPECT_NEAR(va[9], 1.0 / (1.0 - 1.0 / radius(va[0], va[1])), 1e-3 * std::fabs(va[9]));
  }
}

// Bad grids end the command with warnings and nothing written: a geometric axis over a
// range that reaches 0 or below (also for the tables, which the old checks missed), a
// negative count where geometric steps are not allowed, a zero count.
TEST_F(MapsTest, BadGridsWriteNothing) {
  load(kSphere);
  const std::string log = "WARNING: cannot use logarithmic spacing with a\n         negative parameter range.\n";
  struct Case {
    CommandHandler fn;
    std::vector<std::string> words;
    const char* file;
    std::string warning;
  };
  const std::string o = f("o");
  const Case cases[] = {
      {plotkappa, {"plotkappa", o, "1", "0", "1", "-3", "1", "2", "3"}, "o", log},
      {plotshear, {"plotshear", o, "1", "1", "2", "3", "-1", "2", "-3"}, "o-kap.dat", log},
      {plotmu, {"plotmu", o, "1", "1", "2", "0", "1", "2", "3"}, "o", "WARNING: x steps cannot be 0.\n"},
      {plotdef0, {"plotdef0", o, "0", "1", "-3", "4"}, "o", log},
      {plotdef0, {"plotdef0", o, "0.1", "1", "3", "-4"}, "o",
       "WARNING: theta steps cannot be negative\n         (logarithmic steps not allowed here).\n"},
      {plotdef1, {"plotdef1", o, "-1", "1", "-3", "1", "2", "3"}, "o", log},
      {plotdef2, {"plotdef2", o, "0", "90", "3", "0", "1", "-3"}, "o", log},
      {plotmaps, {"plotmaps", o, "1", "2", "-3", "1", "2", "3"}, "o-pot.fits",
       "WARNING: x steps cannot be negative\n         (logarithmic steps not allowed here).\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words[0] + " " + c.words[3] + " " + c.words[5]);
    EXPECT_EQ(run(c.fn, c.words), c.warning);
    EXPECT_FALSE(dir.exists(c.file));
  }
}

// A range end, position or reference word that is not a finite number is refused before
// anything is written: it would give maps of NaN, or a FITS header that cannot be written.
TEST_F(MapsTest, WordsThatAreNotFiniteAreRefused) {
  load(kSphere);
  struct Case {
    CommandHandler fn;
    std::vector<std::string> words;
    const char* file;
    const char* bad;
  };
  const std::string o = f("o");
  const Case cases[] = {
      {plotkappa, {"plotkappa", o, "1", "nan", "1", "3", "0", "1", "3"}, "o", "nan"},
      {plotshear, {"plotshear", o, "1", "0", "1", "3", "0", "inf", "3"}, "o-kap.dat", "inf"},
      {plotmaps, {"plotmaps", o, "0", "1", "3", "0", "1", "3", "0.5", "nan"}, "o-pot.fits", "nan"},
      {plottdel, {"plottdel", "nan", "0", "0", "1", "3", "0", "1", "3", o, "1"}, "o", "nan"},
      {plotdef0, {"plotdef0", o, "0", "-inf", "3", "4"}, "o", "-inf"},
      {plotdef2, {"plotdef2", o, "0", "90", "3", "nan", "1", "3"}, "o", "nan"},
      {magtensor, {"magtensor", "nan", "0"}, "", "nan"},
      {magtensImg, {"magtensImg", o, "0.5", "inf"}, "o-tens.dat", "inf"},
      {magtensSrc, {"magtensSrc", o, "nan", "0.1", "0"}, "o-tens.dat", "nan"},
      {magweightsrc, {"magweightsrc", o, "1", "0", "1", "3", "nan", "1", "3"}, "o-wgt.dat", "nan"},
      {WCSset, {"WCSset", "0", "0", "150", "nan"}, "", "nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words[0]);
    EXPECT_EQ(fatal_message([&] { run(c.fn, c.words); }), c.words[0] + ": " + c.bad + " is not a finite number");
    if (*c.file) {
      EXPECT_FALSE(dir.exists(c.file));
    }
  }
  EXPECT_FALSE(WCSinfo.is_on());  // the refused WCSset changed nothing

  // A list file with a position that is not a number ends the same way.
  dir.write("list", "2\n0.5 0.2\n0.5 nan\n");
  EXPECT_EQ(fatal_message([&] { run(magtensImg, {"magtensImg", o, f("list")}); }),
            "magtensImg: nan is not a finite number");
}

// Every map command needs a model; plotpot and plotmag say so before looking at their words.
TEST_F(MapsTest, CommandsWithoutAModelEndWithAnError) {
  const std::vector<std::string> grid = {"0", "1", "2", "0", "1", "2"};
  struct Case {
    CommandHandler fn;
    std::vector<std::string> words;
  };
  auto with_grid = [&](std::vector<std::string> w, std::vector<std::string> tail = {}) {
    w.insert(w.end(), grid.begin(), grid.end());
    w.insert(w.end(), tail.begin(), tail.end());
    return w;
  };
  const Case cases[] = {
      {plotkappa, with_grid({"plotkappa", "k", "1"})},
      {plotshear, with_grid({"plotshear", "k", "1"})},
      {plotmu, with_grid({"plotmu", "k", "1"})},
      {plotpot, {"plotpot"}},
      {plottdel, with_grid({"plottdel", "0", "0"}, {"t", "1"})},
      {plotmaps, with_grid({"plotmaps", "k"})},
      {HFFmaps2d, with_grid({"HFFmaps2d", "k"})},
      {HFFmaps3d, with_grid({"HFFmaps3d", "k"})},
      {plotdef0, {"plotdef0", "k", "0", "1", "2", "2"}},
      {plotdef1, with_grid({"plotdef1", "k"})},
      {plotdef2, with_grid({"plotdef2", "k"})},
      {magtensor, {"magtensor", "1", "1"}},
      {magtensImg, {"magtensImg", "k", "1", "1"}},
      {magtensSrc, {"magtensSrc", "k", "0.1", "1", "1"}},
      {magweightimg, with_grid({"magweightimg", "k", "1"})},
      {magweightsrc, with_grid({"magweightsrc", "k", "1"})},
      {plotmag, {"plotmag", "0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words[0]);
    EXPECT_EQ(fatal_message([&] { run(c.fn, c.words); }), "no lens model has been specified");
  }
  // With too few words the others print their help and end.
  quietflag = 0;
  const std::string help = run(plotkappa, {"plotkappa", "k"});
  EXPECT_EQ(help.rfind("plotkappa <outname> <filetype> <x lo> <hi> <# steps> <y lo> <hi> <# steps>", 0), 0u)
      << help;
}

// WCSset sets the reference (matrix 1, 0, 0, 1), "off" clears it, too few words give help.
TEST_F(MapsTest, WcssetSetsAndClearsTheReference) {
  quietflag = 0;
  SetVar("verbose", 0, 1);
  SetGlob();
  EXPECT_EQ(run(WCSset, {"WCSset", "-1", "-1", "150.5", "-2.25"}), "WCS: -1 -1 150.500000 -2.250000\n");
  EXPECT_TRUE(WCSinfo.is_on());
  EXPECT_EQ(WCSinfo.refx, -1.0);
  EXPECT_EQ(WCSinfo.dec, -2.25);
  EXPECT_EQ(WCSinfo.m11, 1.0);
  EXPECT_EQ(WCSinfo.m22, 1.0);
  EXPECT_EQ(WCSinfo.m12, 0.0);
  EXPECT_EQ(run(WCSset, {"WCSset", "off"}), "Turning off WCS info.\n");
  EXPECT_FALSE(WCSinfo.is_on());
  EXPECT_EQ(run(WCSset, {"WCSset", "5", "7"}).rfind("WCSset <ix> <iy> <RA> <Dec>", 0), 0u);
  EXPECT_FALSE(WCSinfo.is_on());
  run(WCSset, {"WCSset", "5", "7", "10"});  // a missing Dec reads as 0
  EXPECT_TRUE(WCSinfo.is_on());
  EXPECT_EQ(WCSinfo.dec, 0.0);
  SetVar("verbose", 0, 2);
  SetGlob();
  EXPECT_EQ(run(WCSset, {"WCSset", "off"}), "");
}
