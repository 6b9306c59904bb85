// Critical curves, their plot files and fitcrit.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "imageplane/lens_fixture.h"
#include "io/wcs.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/words.h"
#include "support/test_support.h"

using namespace lensfix;

namespace {

// Isothermal sphere b = 1 with core s and external shear gamma at angle 0, whose shear
// potential is (gamma/2)(x^2 - y^2).
void sis_shear(double s, double gamma) {
  fresh_model(1);
  set_component(1, "alpha", {1, 0, 0, 0, 0, gamma, 0, s, 0, 1});
}

// Lines of a file that do not start with the comment marker.
std::vector<std::string> data_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l))
    if (!l.empty() && l[0] != '#') out.push_back(l);
  return out;
}

Mat circle_points(int n, double r, double x0, int first_angle_index = 0) {
  Mat p(1, n, 1, 4);
  for (int k = 1; k <= n; ++k) {
    const double t = 2 * kPi * (k - 1 + first_angle_index) / n;
    p[k][1] = x0 + r * std::cos(t);
    p[k][2] = r * std::sin(t);
    p[k][3] = 0.1 * p[k][1];
    p[k][4] = 0.1 * p[k][2];
  }
  return p;
}

}  // namespace

// Tangential critical curve of the sheared isothermal sphere:
//   det A = (1 - gamma^2) - (b/r)(1 - gamma cos 2 theta) = 0,
// so r = b (1 - gamma cos 2 theta)/(1 - gamma^2); its caustic has cusps at 2 gamma/(1 + gamma)
// on the u axis and 2 gamma/(1 - gamma) on the v axis.
TEST(FindCrit, ShearedIsothermalSphereClosedForm) {
  const double g = 0.1;
  sis_shear(1e-7, g);
  build_mesh(even_radii(2.0, 40), 72);
  ASSERT_GT(TWcrit.ncrit, 50);
  int tangential = 0;
  double umax = 0, vmax = 0;
  for (int k = 1; k <= TWcrit.ncrit; ++k) {
    const double x = TWcrit.crit[k][1], y = TWcrit.crit[k][2];
    const double r = std::hypot(x, y), th = std::atan2(y, x);
    if (r < 0.5) continue;  // the tiny radial curve of the core
    ++tangential;
    EXPECT_NEAR(r, (1 - g * std::cos(2 * th)) / (1 - g * g), 1e-6) << "at theta " << th;
    // caustic point is the source position of the critical point
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    EXPECT_NEAR(TWcrit.crit[k][3], x - ax, 1e-12);
    EXPECT_NEAR(TWcrit.crit[k][4], y - ay, 1e-12);
    umax = std::max(umax, std::fabs(TWcrit.crit[k][3]));
    vmax = std::max(vmax, std::fabs(TWcrit.crit[k][4]));
  }
  EXPECT_GT(tangential, 50);
  EXPECT_NEAR(umax, 2 * g / (1 + g), 1e-5);
  EXPECT_NEAR(vmax, 2 * g / (1 - g), 1e-5);

  // get_crit gives an independent copy.
  int n = 0;
  Mat c;
  get_crit(n, c);
  ASSERT_EQ(n, TWcrit.ncrit);
  c[1][1] = 99;
  EXPECT_NE(TWcrit.crit[1][1], 99);
}

// critmode 0: the point is the linear zero of det A = 1/mu along the edge.
TEST(FindCrit, CritmodeZeroInterpolatesLinearly) {
  sis_shear(1e-7, 0.1);
  settings.critmode = 0;
  build_mesh(even_radii(2.0, 20), 36);
  const triangulateio& m = TWtri.out;
  ASSERT_GT(TWcrit.ncrit, 0);
  for (int k = 1; k <= TWcrit.ncrit; ++k) {
    const int a = TWcrit.edge[2 * k - 2], b = TWcrit.edge[2 * k - 1];
    const double g = 1 / m.pointattributelist[6 * a + 2], h = 1 / m.pointattributelist[6 * b + 2];
    const double t = -g / (h - g);
    EXPECT_NEAR(TWcrit.crit[k][1], m.pointlist[2 * a] + t * (m.pointlist[2 * b] - m.pointlist[2 * a]), 1e-12);
  }
}

// An edge whose end values are not numbers is skipped, the others are refined.
TEST(FindCrit, EdgesWithNonFiniteEndsAreSkipped) {
  sis_shear(1e-7, 0.0);
  build_mesh(even_radii(2.0, 20), 36);
  const int before = TWcrit.ncrit;
  ASSERT_GT(before, 0);
  // Spoil one vertex that ends a crossing edge.
  const int a = TWcrit.edge[0];
  TWtri.out.pointattributelist[6 * a + 2] = NAN;
  EXPECT_NO_THROW(find_crit());
  EXPECT_GT(TWcrit.ncrit, 0);
  EXPECT_LT(TWcrit.ncrit, before);
  for (size_t k = 0; k < TWcrit.edge.size(); ++k) EXPECT_NE(TWcrit.edge[k], a);
}

// The chaining walk: two separate closed curves become two chains; within a chain
// consecutive segments share their ends, and each chain returns to its start.
TEST(PlotCrv, TwoClosedCurvesBecomeTwoChains) {
  fresh_model(0);
  const int n = 24;
  Mat a = circle_points(n, 1.0, 0.0), b = circle_points(n, 0.5, 5.0);
  Mat p(1, 2 * n, 1, 4);
  for (int k = 1; k <= n; ++k)
    for (int j = 1; j <= 4; ++j) {
      p[k][j] = a[k][j];
      p[n + k][j] = b[k][j];
    }
  ScratchDir dir;
  {
    FILE* fp = std::fopen(dir.file("c.dat").c_str(), "w");
    plot_crv(fp, 2 * n, p);
    std::fclose(fp);
  }
  const auto lines = data_lines(dir.read("c.dat"));
  ASSERT_EQ(static_cast<int>(lines.size()), 2 * n);
  int chains = 0;
  double sx = 0, sy = 0, px = 0, py = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    double v[8];
    std::istringstream in(lines[i]);
    for (double& x : v) in >> x;
    if (i == 0 || (std::fabs(v[0] - px) > 1e-9 || std::fabs(v[1] - py) > 1e-9)) {
      // a new chain starts where the previous one closed
      if (i > 0) {
        EXPECT_NEAR(px, sx, 1e-9);
        EXPECT_NEAR(py, sy, 1e-9);
      }
      ++chains;
      sx = v[0];
      sy = v[1];
    }
    EXPECT_NEAR(v[2], 0.1 * v[0], 1e-12);  // source-plane ends travel with their points
    px = v[4];
    py = v[5];
  }
  EXPECT_NEAR(px, sx, 1e-9);
  EXPECT_NEAR(py, sy, 1e-9);
  EXPECT_EQ(chains, 2);

  double limg, lsrc;
  crvlen(2 * n, p, limg, lsrc);
  const double perim = n * 2 * std::sin(kPi / n);  // polygon of n sides in a unit circle
  EXPECT_NEAR(limg, perim * 1.5, 1e-12);
  EXPECT_NEAR(lsrc, 0.1 * perim * 1.5, 1e-12);
}

// A lone point has nothing to link to: nothing is written, and crvlen gives 0.
TEST(PlotCrv, SinglePointAndEmptyList) {
  fresh_model(0);
  Mat p = circle_points(1, 1.0, 0.0);
  ScratchDir dir;
  FILE* fp = std::fopen(dir.file("c.dat").c_str(), "w");
  plot_crv(fp, 1, p);
  CaptureOutput cap;
  plot_crv(fp, 0, p);
  std::fclose(fp);
  EXPECT_EQ(cap.text(), "Note: no curve points are given for plot_crv()\n");
  EXPECT_TRUE(data_lines(dir.read("c.dat")).empty());
  double li, ls;
  crvlen(1, p, li, ls);
  EXPECT_EQ(li, 0.0);
  CaptureOutput cap2;
  crvlen(0, p, li, ls);
  EXPECT_EQ(cap2.text(), "WARNING: trying to compute curve length, but not points are given\n");
}

// The four plot modes, plotquiet, WCS conversion and the plotmode check.
TEST(PlotCrv, PlotModesAndWcs) {
  fresh_model(0);
  Mat p = circle_points(4, 1.0, 0.0);
  ScratchDir dir;
  auto write = [&](int mode) {
    settings.plotmode = mode;
    FILE* fp = std::fopen(dir.file("c.dat").c_str(), "w");
    plot_crv(fp, 4, p);
    std::fclose(fp);
    return dir.read("c.dat");
  };
  std::string t = write(1);
  EXPECT_EQ(t.rfind("#\n# Columns: x1 y1 u1 v1 x2 y2 u2 v2\n", 0), 0u);
  EXPECT_EQ(data_lines(t).size(), 4u);
  t = write(2);
  EXPECT_EQ(t.rfind("# Columns: x y u v\n\n", 0), 0u);
  EXPECT_EQ(count_occurrences(t, "\n\n"), 5);
  t = write(3);
  EXPECT_EQ(t.rfind("# ds9 region file; critical curve\n# Region file format: ds9\nglobal color=red\nline(", 0), 0u);
  EXPECT_NE(t.find("line(1.000000,0.000000,0.000000,1.000000)\n"), std::string::npos);
  t = write(4);
  EXPECT_NE(t.find("line(0.100000,0.000000,0.000000,0.100000)\n"), std::string::npos);
  settings.plotquiet = 1;
  t = write(4);
  EXPECT_EQ(t.rfind("line(", 0), 0u);
  settings.plotquiet = 0;

  // WCS: RA = RA0 + x/(-3600 cos Dec0), Dec = Dec0 + y/3600.
  WCSinfo = WcsReference();
  WCSinfo.on = 1;
  WCSinfo.ra = 150;
  WCSinfo.dec = 60;
  t = write(3);
  EXPECT_NE(t.find("fk5\n"), std::string::npos);
  EXPECT_NE(t.find(strformat("line(%f,%f,%f,%f)", 150 + 1 / (-3600 * 0.5), 60.0, 150.0, 60 + 1 / 3600.0)),
            std::string::npos);
  WCSinfo.refx = 1;
  EXPECT_EQ(fatal_message([&] { write(4); }), "to plot crit/caus in WCS, reference point should be origin of coordinates");
  WCSinfo = WcsReference();
  EXPECT_EQ(fatal_message([&] { write(5); }), "unknown value of plotmode");
}

// plot_crit writes the current list; without critical points a note and no file.
TEST(PlotCrit, WritesOrNotes) {
  fresh_model(1);
  set_component(1, "ptmass", {0, 0, 0});  // no lensing: no critical curve
  build_mesh(even_radii(2.0, 10, 0.1), 24);
  ASSERT_EQ(TWcrit.ncrit, 0);
  ScratchDir dir;
  {
    CaptureOutput cap;
    plot_crit(dir.file("crit.dat"));
    EXPECT_EQ(cap.text(), "Note: no critical curves have been found\n");
  }
  EXPECT_FALSE(dir.exists("crit.dat"));
  sis_shear(1e-7, 0.1);
  build_mesh(even_radii(2.0, 20), 36);
  CaptureOutput cap;
  plot_crit(dir.file("crit.dat"));
  EXPECT_NE(cap.text().find("Writing critical curves and caustics to " + dir.file("crit.dat")), std::string::npos);
  // Every point is written at least once as the start of a segment.
  EXPECT_GE(static_cast<int>(data_lines(dir.read("crit.dat")).size()), TWcrit.ncrit - 1);
}

namespace {
std::string run_fitcrit(const std::string& args, std::string* file_text, const ScratchDir& dir) {
  std::vector<std::string> w = {"fitcrit"};
  std::istringstream in(args);
  std::string x;
  while (in >> x) w.push_back(x);
  CaptureOutput cap;
  run_handler(fitcrit, WordArray(w));
  if (file_text && dir.exists("fit.dat")) *file_text = dir.read("fit.dat");
  return cap.text();
}
}  // namespace

// fitcrit on a circular Einstein ring: a = b, e = 0 and no multipoles.
TEST(Fitcrit, CircularRing) {
  sis_shear(1e-7, 0.0);
  build_mesh(even_radii(2.0, 40), 72);
  ScratchDir dir;
  std::string file;
  const std::string out = run_fitcrit("3 " + dir.file("fit.dat"), &file, dir);
  double a = 0, e = 1;
  ASSERT_EQ(std::sscanf(out.substr(out.find("  a  =")).c_str(), "  a  = %lf\n  e  = %lf", &a, &e), 2) << out;
  EXPECT_NEAR(a, 1.0, 1e-5);
  EXPECT_NEAR(e, 0.0, 1e-4);
  const size_t mp = out.find("Multipole fit to residuals (m,am,bm):\n");
  ASSERT_NE(mp, std::string::npos);
  std::istringstream ms(out.substr(mp + 38));
  for (int m = 1; m <= 3; ++m) {
    int k;
    double am, bm;
    ms >> k >> am >> bm;
    EXPECT_EQ(k, m);
    EXPECT_LT(std::fabs(am) + std::fabs(bm), 2e-6);
  }
  EXPECT_EQ(file.rfind("# Best-fit ellipse:\n#   a  =", 0), 0u);
  EXPECT_NE(file.find("#  (x,y)_true  (x,y)_model\n"), std::string::npos);
  // the model points lie on the unit circle like the true ones
  const auto lines = data_lines(file);
  ASSERT_GT(lines.size(), 50u);
  for (const auto& l : lines) {
    double x1, y1, x2, y2;
    ASSERT_EQ(std::sscanf(l.c_str(), "%lf %lf %lf %lf", &x1, &y1, &x2, &y2), 4);
    EXPECT_NEAR(std::hypot(x2, y2), 1.0, 1e-5);
  }
}

// Points whose probes do not bracket the curve are skipped with a warning; with none left
// a note and no file. The help comes with too few words.
TEST(Fitcrit, UnbracketedPointsAreSkipped) {
  sis_shear(1e-7, 0.0);
  build_mesh(even_radii(2.0, 20), 36);
  ScratchDir dir;
  std::string file;
  // eps = 5 puts both probes outside the ring: no point is tangential.
  const std::string out = run_fitcrit("2 " + dir.file("fit.dat") + " 5", &file, dir);
  EXPECT_EQ(count_occurrences(out, "WARNING: fitcrit skipped a critical point whose probes do not bracket the curve\n"),
            TWcrit.ncrit);
  EXPECT_NE(out.find("Note: fitcrit found no tangential critical points"), std::string::npos);
  EXPECT_FALSE(dir.exists("fit.dat"));
  EXPECT_NE(run_fitcrit("2", nullptr, dir).find("fitcrit <mmax> <outname> [eps]"), std::string::npos);
  // No critical curves at all.
  fresh_model(1);
  set_component(1, "ptmass", {0, 0, 0});
  build_mesh(even_radii(2.0, 10, 0.1), 24);
  EXPECT_EQ(run_fitcrit("2 " + dir.file("fit.dat"), nullptr, dir), "No critical curves have been found.\n");
}
