// Extended sources: brightness laws and membership tests, the ray-integrating image finder
// (fluxes against closed forms and against the point solver, the size and scale-factor
// geometry, the per-triangle streams), and the edge count of a grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "imageplane/finite_source.h"
#include "imageplane/lens_fixture.h"
#include "imageplane/srcmap.h"
#include "imageplane/srcmap_fixture.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "support/test_support.h"

using namespace lensfix;

namespace {

// One source of the given class and parameters 1..8, with a ray target.
void load_source(const std::string& cls, const std::vector<double>& p, double rays) {
  InitSrcArr(1, rays);
  BVec<std::string> names(1, 1);
  Mat params(1, 1, 1, 8);
  names[1] = cls;
  for (size_t k = 0; k < p.size() && k < 8; ++k) params[1][static_cast<long>(k) + 1] = p[k];
  ASSERT_EQ(initsrcmod(names, params), 0.0);
}

struct Img {
  int n = 0;
  Mat list;
  double flux() const {
    double s = 0;
    for (int i = 1; i <= n; ++i) s += list[i][3];
    return s;
  }
};

Img images(double u, double v) {
  Img r;
  find_img(r.n, r.list, u, v);
  return r;
}

// A fresh program with a model of one component and quiet reports.
void fresh_lens(std::initializer_list<double> alpha) {
  fresh_model(1);
  quietflag = 1;
  set_component(1, "alpha", alpha);
}

// The identity lens (b = 0) on a polar lattice of radius 2.
void identity_lens(int rings = 40, int rays = 72) {
  fresh_lens({0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  build_mesh(even_radii(2.0, rings), rays);
}

// A round Gaussian map of unit total flux and sigma 0.05 about the origin.
double gauss(double x, double y) { return std::exp(-(x * x + y * y) / (2 * 0.0025)) / (2 * kPi * 0.0025); }

// The two images of a uniform disc of radius R at distance d > R behind a singular
// isothermal sphere (b = 1): a source point u has images at u (1 +- 1/|u|) with |mu| =
// 1/|u| +- 1. Their fluxes (per unit source flux) and centroids are means over the disc,
// by midpoint quadrature in polar coordinates about its centre on n x n points.
struct DiscImages {
  double flux[2], x[2], y[2];
};
DiscImages isothermal_disc(double d, double R, int n) {
  double w[2] = {0, 0}, wx[2] = {0, 0}, wy[2] = {0, 0}, area = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const double rho = R * (i + 0.5) / n, th = 2 * kPi * (j + 0.5) / n;
      const double u = d + rho * std::cos(th), v = rho * std::sin(th), r = std::hypot(u, v);
      for (int s = 0; s < 2; ++s) {
        const double sg = s == 0 ? 1 : -1, mu = 1 / r + sg;
        w[s] += mu * rho;
        wx[s] += mu * u * (1 + sg / r) * rho;
        wy[s] += mu * v * (1 + sg / r) * rho;
      }
      area += rho;
    }
  DiscImages out;
  for (int s = 0; s < 2; ++s) {
    out.flux[s] = w[s] / area;
    out.x[s] = wx[s] / w[s];
    out.y[s] = wy[s] / w[s];
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Brightness and membership

// Closed forms of the brightness along the axes of a turned ellipse, and the membership
// codes of points and segments.
TEST(FiniteSource, BrightnessAndMembershipFollowTheEllipse) {
  fresh_model(1);
  quietflag = 1;
  const double u0 = 0.2, v0 = -0.1, e = 0.5, pa = 30 * kPi / 180;
  const double ma[2] = {-std::sin(pa), std::cos(pa)}, mi[2] = {-std::cos(pa), -std::sin(pa)};
  auto at = [&](double along, double across, double& u, double& v) {
    u = u0 + along * ma[0] + across * mi[0];
    v = v0 + along * ma[1] + across * mi[1];
  };
  double u, v;
  int code;

  load_source("uniform", {1, u0, v0, e, 30, 0.1, 0, 0}, 0);
  settings.isource = 1;
  const double I0 = 1 / (kPi * 0.01 * 0.5);
  struct Pt {
    double along, across, flux;
    int in1;
  };
  for (const Pt& p : {Pt{0.099, 0, I0, -1}, Pt{0.101, 0, 0, 0}, Pt{0, 0.049, I0, -1}, Pt{0, 0.051, 0, 0}}) {
    at(p.along, p.across, u, v);
    EXPECT_NEAR(finsrc_flux(u, v), p.flux, 1e-9) << p.along << " " << p.across;
    EXPECT_EQ(finsrc_in1(code, u, v), p.in1 != 0);
    EXPECT_EQ(code, p.in1);
  }
  // srcsize stretches the source at fixed flux.
  TWcursrc.srcsize = 2;
  at(0.15, 0, u, v);
  EXPECT_NEAR(finsrc_flux(u, v), I0 / 4, 1e-9);
  at(0.21, 0, u, v);
  EXPECT_EQ(finsrc_flux(u, v), 0.0);
  TWcursrc.srcsize = 1;

  load_source("sersic", {1, u0, v0, e, 30, 0.1, 0, 1}, 0);
  const double* p = &TWsrc.srcparms[1][1] - 1;
  const double I0s = p[9], s = p[10], R90 = p[11], R999 = p[12];
  for (double r : {0.0, 0.05, 0.3}) {
    at(r, 0, u, v);
    EXPECT_NEAR(finsrc_flux(u, v), I0s * std::exp(-r / s), 1e-9 * I0s);
    at(0, r * (1 - e), u, v);
    EXPECT_NEAR(finsrc_flux(u, v), I0s * std::exp(-r / s), 1e-9 * I0s);
  }
  struct Code {
    double along;
    int in1;
  };
  for (const Code& c : {Code{0.99 * R90, 2}, Code{1.01 * R90, 3}, Code{0.99 * R999, 3}, Code{1.01 * R999, 0}}) {
    at(c.along, 0, u, v);
    finsrc_in1(code, u, v);
    EXPECT_EQ(code, c.in1) << c.along;
  }
  // Segments: across the centre with both ends far outside; one whose nearest point to the
  // centre lies beyond an end, although that end lies inside; one passing outside.
  double a1, b1, a2, b2;
  at(-3 * R999, 0.01, a1, b1);
  at(3 * R999, 0.01, a2, b2);
  EXPECT_EQ(finsrc_in2(code, a1, b1, a2, b2), 1);
  EXPECT_EQ(code, 1);
  at(0.5 * R90, 0, a1, b1);
  at(3 * R999, 0, a2, b2);
  EXPECT_EQ(finsrc_in2(code, a1, b1, a2, b2), 0);
  at(-3 * R999, 1.2 * R999, a1, b1);
  at(3 * R999, 1.2 * R999, a2, b2);
  EXPECT_EQ(finsrc_in2(code, a1, b1, a2, b2), 0);

  // A point source has no brightness law; an unknown class ends the program too; a
  // source that is off is dark.
  load_source("ptsrc", {1, 0, 0, 0, 0, 0, 0, 0}, 0);
  EXPECT_EQ(fatal_message([] { finsrc_flux(0, 0); }), "a point source is somehow being treated as finite!");
  TWsrc.srcon[1] = 0;
  EXPECT_EQ(finsrc_flux(0, 0), 0.0);
  TWsrc.srcon[1] = 1;
  TWsrc.srcID[1] = "disc";
  EXPECT_EQ(fatal_message([] { finsrc_flux(0, 0); }), "unknown source type: disc");
}

// The edge count of a 4 x 3 grid whose nodes map to themselves: a source covering the
// middle column's nodes only, and one covering every node.
TEST(FiniteSource, EdgeCountWalksTheGridBoundary) {
  fresh_model(1);
  quietflag = 1;
  std::vector<gnode> g(12);
  auto node = [&](int i, int j) { return &g[static_cast<size_t>(i * 3 + j)]; };
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) {
      gnode* p = node(i, j);
      p->x = p->u = i;
      p->y = p->v = j;
      if (i < 3) p->right = node(i + 1, j);
      if (i > 0) p->left = node(i - 1, j);
      if (j < 2) p->up = node(i, j + 1);
      if (j > 0) p->down = node(i, j - 1);
    }
  load_source("uniform", {1, 0, 0, 0, 0, 100, 0, 0}, 0);
  EXPECT_EQ(finsrc_checkedge(node(0, 0), 1), 10);  // the whole boundary
  EXPECT_EQ(finsrc_checkedge(node(0, 0), 2), 2);   // right column without its top node
  load_source("uniform", {1, 3, 1, 0, 0, 0.5, 0, 0}, 0);  // the node (3, 1) only
  EXPECT_EQ(finsrc_checkedge(node(0, 0), 1), 1);
  EXPECT_EQ(finsrc_checkedge(node(0, 2), 2), 0);  // starts at the top: nothing to walk
  EXPECT_EQ(fatal_message([&] { finsrc_checkedge(node(0, 0), 3); }), "in finsrc_checkedge");
}

// ---------------------------------------------------------------------------------------
// Image finding

// Under the identity lens every class gives one image on the source with the source's
// flux (seeing 2 gathers the triangles); the uniform source's interior is integrated
// exactly, so its error is the boundary's ray noise only. The tolerances are about four
// times the ray noise of 1e6 rays. The map is a Gaussian of unit
// flux (its pixels sum to 1 within 1e-6 on this grid).
TEST(FiniteSource, IdentityLensReturnsTheSourceFlux) {
  struct Case {
    const char* cls;
    std::vector<double> p;
    double flux, tol;
  };
  const std::vector<Case> cases = {
      {"uniform", {1, 0.3, 0.2, 0, 0, 0.1, 0, 0}, 1.0, 3e-3},
      {"uniform", {2, 0.3, 0.2, 0.4, 70, 0.1, 0, 0}, 2.0, 6e-3},
      {"sersic", {1, 0.3, 0.2, 0, 0, 0.1, 0, 1}, 0.9995, 5e-3},
      {"sersic", {1, 0.3, 0.2, 0.3, -20, 0.1, 0, 0.5}, 0.9995, 5e-3},
      {"srcmap", {1, 0.3, 0.2, 0, 0, 0, 0, 1}, 1.0, 5e-3},
  };
  for (const Case& c : cases) {
    identity_lens();
    settings.seeing = 2;
    put_map(1, 81, 81, -0.4, 0.4, -0.4, 0.4, gauss);
    load_source(c.cls, c.p, 1e6);
    const Img im = images(0.3, 0.2);
    ASSERT_EQ(im.n, 1) << c.cls;
    EXPECT_NEAR(im.list[1][3], c.flux, c.tol) << c.cls;
    EXPECT_NEAR(im.list[1][1], 0.3, 2e-3) << c.cls;
    EXPECT_NEAR(im.list[1][2], 0.2, 2e-3) << c.cls;
    EXPECT_EQ(im.list[1][9], 1.0);
  }
}

// A small source's images agree with the point solver's: positions, |mu| as fluxes,
// delays (the flux-weighted mean delay of each image) and second derivatives. The faint
// central image is left out: the lattice does not resolve the core it sits in. The fluxes
// carry the lattice's linear-interpolation error: over a ring spacing of 0.025 the
// magnification near the critical curve changes by several per cent.
TEST(FiniteSource, SmallSourceApproachesThePointImages) {
  fresh_lens({1, 0, 0, 0.2, 30, 0, 0, 0.05, 0, 1});
  build_mesh(even_radii(2.5, 100), 180);
  settings.seeing = 0.2;
  const double u = 0.3, v = 0.1;
  Img pt = images(u, v);
  pot2tdel(pt.n, pt.list, 0, u, v);
  load_source("uniform", {1, 0, 0, 0, 0, 0.004, 0, 0}, 1e5);
  Img ex = images(u, v);
  pot2tdel(ex.n, ex.list, 0, u, v);
  ASSERT_EQ(pt.n, 3);
  ASSERT_EQ(ex.n, pt.n);
  int checked = 0;
  for (int i = 1; i <= pt.n; ++i) {
    if (std::fabs(pt.list[i][3]) < 0.5) continue;
    ++checked;
    int j = 1;
    for (int k = 2; k <= ex.n; ++k)
      if (std::hypot(ex.list[k][1] - pt.list[i][1], ex.list[k][2] - pt.list[i][2]) <
          std::hypot(ex.list[j][1] - pt.list[i][1], ex.list[j][2] - pt.list[i][2]))
        j = k;
    EXPECT_NEAR(ex.list[j][1], pt.list[i][1], 2e-3) << i;
    EXPECT_NEAR(ex.list[j][2], pt.list[i][2], 2e-3) << i;
    EXPECT_NEAR(ex.list[j][3], std::fabs(pt.list[i][3]), 0.06 * std::fabs(pt.list[i][3])) << i;
    EXPECT_NEAR(ex.list[j][4], pt.list[i][4], 1e-3) << i;
    for (int k = 5; k <= 8; ++k) EXPECT_NEAR(ex.list[j][k], pt.list[i][k], 0.02) << i << " " << k;
  }
  EXPECT_EQ(checked, 2);
}

// A uniform disc of radius R at distance d behind a singular isothermal sphere (b = 1):
// the fluxes and centroids of the two arcs are the means over the disc (isothermal_disc;
// for the fluxes also 1/d (1 + R^2/(8 d^2)) +- 1 to order R^4).
TEST(FiniteSource, IsothermalDiscMatchesItsQuadrature) {
  fresh_lens({1, 0, 0, 0, 0, 0, 0, 1e-4, 0, 1});
  build_mesh(even_radii(2.0, 200), 400);
  settings.seeing = 0.5;
  settings.omitcore = 0.05;
  struct Case {
    double d, R;
  };
  for (const Case& c : {Case{0.3, 0.05}, Case{0.5, 0.1}}) {
    const DiscImages q = isothermal_disc(c.d, c.R, 400);
    const double m = 1 / c.d * (1 + c.R * c.R / (8 * c.d * c.d));
    EXPECT_NEAR(q.flux[0], m + 1, 5e-4);
    EXPECT_NEAR(q.flux[1], m - 1, 5e-4);

    load_source("uniform", {1, 0, 0, 0, 0, c.R, 0, 0}, 1e6);
    const Img im = images(c.d, 0);
    ASSERT_EQ(im.n, 2);
    for (int s = 0; s < 2; ++s) {
      const int k = (im.list[1][1] > 0) == (s == 0) ? 1 : 2;
      EXPECT_NEAR(im.list[k][3], q.flux[s], 2e-3 * (m + 1)) << c.d << " " << s;
      EXPECT_NEAR(im.list[k][1], q.x[s], 1e-3) << c.d << " " << s;
      EXPECT_NEAR(im.list[k][2], q.y[s], 1e-3) << c.d << " " << s;
    }
  }
}

// srcsize stretches the sampled ellipse with the brightness: at 2 the flux stays (with
// the unscaled ellipse three quarters of a uniform source were lost). Coarse triangles
// take the rays-in-the-source path, fine ones the rays-in-the-triangle path.
TEST(FiniteSource, SourceSizeKeepsTheFlux) {
  struct Case {
    int rings, rays;
    const char* cls;
    std::vector<double> p;
  };
  const std::vector<Case> cases = {
      {4, 8, "uniform", {1, 0.3, 0.2, 0.3, 40, 0.05, 0, 0}},
      {4, 8, "sersic", {1, 0.3, 0.2, 0.3, 40, 0.02, 0, 1}},
      {4, 8, "srcmap", {1, 0.3, 0.2, 0, 0, 0, 0, 1}},
      {40, 72, "uniform", {1, 0.3, 0.2, 0.3, 40, 0.05, 0, 0}},
      {40, 72, "sersic", {1, 0.3, 0.2, 0.3, 40, 0.02, 0, 1}},
  };
  for (const Case& c : cases)
    for (double size : {1.0, 2.0}) {
      identity_lens(c.rings, c.rays);
      settings.seeing = 2;
      put_map(1, 81, 81, -0.4, 0.4, -0.4, 0.4, gauss);
      load_source(c.cls, c.p, 1e5);
      TWcursrc.srcsize = size;
      const Img im = images(0.3, 0.2);
      TWcursrc.srcsize = 1;
      // About 1e5 rays fall in the 90% ellipse: a few per mille of noise.
      EXPECT_NEAR(im.flux(), std::string(c.cls) == "sersic" ? 0.9995 : 1.0, 0.015)
          << c.cls << " rings " << c.rings << " srcsize " << size;
    }
}

// Under a model-wide scale factor f the finder uses the scaled lens throughout: an
// isothermal lens of b = 2 at f = 0.5 is the lens of b = 1 (same triangles, same rays),
// in fluxes, centroids, delays and second derivatives.
TEST(FiniteSource, ScaleFactorActsAsTheScaledLens) {
  auto run = [](const char* cls, double b, double f) {
    fresh_lens({b, 0, 0, 0.1, 20, 0, 0, 0.1, 0, 1});
    build_mesh(even_radii(3.0, 90), 120);
    settings.seeing = 1.0;
    load_source(cls, {1, 0, 0, 0.2, 10, 0.04, 0, 1}, 2e4);
    TWmod.scale = f;
    Img im = images(0.3, 0.1);
    TWmod.scale = 1;
    // The triangles are visited in another order under a scale factor: images by x.
    std::vector<int> order(static_cast<size_t>(im.n));
    for (int i = 0; i < im.n; ++i) order[static_cast<size_t>(i)] = i + 1;
    std::sort(order.begin(), order.end(), [&](int a, int b) { return im.list[a][1] < im.list[b][1]; });
    Img sorted;
    sorted.n = im.n;
    if (im.n > 0) sorted.list.reset(1, im.n, 1, 9);
    for (int i = 1; i <= im.n; ++i)
      for (int k = 1; k <= 9; ++k) sorted.list[i][k] = im.list[order[static_cast<size_t>(i - 1)]][k];
    return sorted;
  };
  for (const char* cls : {"uniform", "sersic"}) {
    const Img scaled = run(cls, 2.0, 0.5), plain = run(cls, 1.0, 1.0);
    ASSERT_GE(plain.n, 2) << cls;
    ASSERT_EQ(scaled.n, plain.n) << cls;
    for (int i = 1; i <= plain.n; ++i)
      for (int k = 1; k <= 8; ++k)
        EXPECT_NEAR(scaled.list[i][k], plain.list[i][k], 1e-6 * (1 + std::fabs(plain.list[i][k])))
            << cls << " " << i << " " << k;
  }
}

// A source map's brightness ignores e, so its geometry is round: with e = 0.5 the whole
// map is still found (an elliptical vertex test and sampling missed its light).
TEST(FiniteSource, SourceMapGeometryIgnoresEllipticity) {
  double flux[2];
  for (int k = 0; k < 2; ++k) {
    identity_lens(4, 8);
    settings.seeing = 2;
    put_map(1, 81, 81, -0.4, 0.4, -0.4, 0.4, gauss);
    load_source("srcmap", {1, 0.3, 0.2, k == 0 ? 0.0 : 0.5, 60, 0, 0, 1}, 1e5);
    flux[k] = images(0.3, 0.2).flux();
  }
  EXPECT_NEAR(flux[0], 1.0, 0.015);
  EXPECT_EQ(flux[1], flux[0]);
}

// No rays, or a source that is off: no images.
TEST(FiniteSource, NoRaysOrSwitchedOffGiveNoImages) {
  identity_lens(10, 24);
  for (int k = 0; k < 2; ++k) {
    load_source("uniform", {1, 0.3, 0.2, 0, 0, 0.1, 0, 0}, k == 0 ? 0 : 1e4);
    if (k == 1) TWsrc.srcon[1] = 0;
    const Img im = images(0.3, 0.2);
    EXPECT_EQ(im.n, 0) << k;
    EXPECT_TRUE(im.list.empty());
  }
  // A source of no flux (or negative flux) has no light to take rays by: no images, and
  // the search ends normally (a Sersic source of flux 0 drew a NaN ray count).
  for (const char* cls : {"uniform", "sersic"})
    for (const double flux : {0.0, -1.0}) {
      load_source(cls, {flux, 0.3, 0.2, 0, 0, 0.1, 0, 1}, 1e4);
      EXPECT_EQ(images(0.3, 0.2).n, 0) << cls << " " << flux;
    }
}

// Streams: with a negative seed a search repeats exactly; with a positive seed successive
// searches differ (within their noise) and a new run repeats the old one. Each triangle's
// ray count comes from its own stream: two searches at seed 1 share equal counts no more
// often than independent Poisson draws do.
TEST(FiniteSource, RayStreamsRepeatAndDoNotRepeat) {
  auto setup = [](long seed) {
    identity_lens(20, 36);
    settings.seed = settings.shoot_pseed = settings.shoot_rseed = seed;
    settings.seeing = 2;
    load_source("sersic", {1, 0.3, 0.2, 0, 0, 0.1, 0, 1}, 2e4);
  };
  setup(-15);
  const Img a = images(0.3, 0.2), b = images(0.3, 0.2);
  ASSERT_EQ(a.n, 1);
  ASSERT_EQ(b.n, 1);
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(a.list[1][k], b.list[1][k]);

  setup(1);
  const Img c = images(0.3, 0.2), d = images(0.3, 0.2);
  EXPECT_NE(c.list[1][3], d.list[1][3]);
  EXPECT_NEAR(c.list[1][3], d.list[1][3], 0.03);
  setup(1);
  const Img c2 = images(0.3, 0.2);
  EXPECT_EQ(c2.list[1][3], c.list[1][3]);

  // Per-triangle counts of repetitions 1 and 2 (the context of the last search).
  FiniteSourceState& F = TWfinsrc;
  const double srcarea = 1e30;  // every triangle takes the rays-in-the-triangle path
  int equal = 0, ntri = 0;
  double chance = 0;
  for (int t = 0; t < TWtri.out.numberoftriangles; ++t) {
    double area = 0, r1 = 0, r2 = 0;
    F.rep = 1;
    finsrc_tri(t, 1, area, r1, srcarea);
    F.rep = 2;
    finsrc_tri(t, 1, area, r2, srcarea);
    // Mean count of the triangle: its source-plane area (= image-plane area here) times
    // the density; P(equal) = sum_k p_k^2 for two independent draws.
    const double mean = area / 2 * F.finsrc_ray_dens;
    double p2 = 0;
    if (mean > 50) {
      p2 = 1 / (2 * std::sqrt(kPi * mean));  // normal limit
    } else {
      double pk = std::exp(-mean);
      for (int k = 0; k < 400; ++k) {
        p2 += pk * pk;
        pk *= mean / (k + 1);
      }
    }
    chance += p2;
    equal += r1 == r2;
    ++ntri;
  }
  ASSERT_GT(ntri, 100);
  EXPECT_LT(equal, chance + 4 * std::sqrt(chance) + 1) << "equal " << equal << " of " << ntri;
}

// ---------------------------------------------------------------------------------------
// Images at the default grid

namespace {

// A model of one alpha component on the default grid, omitcore 0.05, seeing 0.
void default_grid_lens(std::initializer_list<double> alpha, int alphanorm) {
  fresh_model(1);
  quietflag = 1;
  SetVar("alphanorm", 0, alphanorm);
  SetVar("omitcore", 0, 0.05);
  SetGlob();
  set_component(1, "alpha", alpha);
  dogrid();
}

// Images of the current source by inverse ray shooting with the exact lens: square pixels
// of side p whose source position lies within the 99.9% ellipse carry its brightness, and
// pixels that share an edge or a corner form one image. Pixels of the lens's core (both
// eigenvalues negative) are left out, as omitcore leaves them out of the finder.
struct Patch {
  double x = 0, y = 0, flux = 0;
};
std::vector<Patch> ray_shooting_truth(double p) {
  const FinsrcShape s = finsrc_shape(settings.isource);
  const double h = 0.01, L = 2.0;
  const int nc = static_cast<int>(std::lround(2 * L / h)), k = static_cast<int>(std::lround(h / p));
  std::vector<double> cu(static_cast<size_t>((nc + 1) * (nc + 1))), cv(cu.size());
  for (int i = 0; i <= nc; ++i)
    for (int j = 0; j <= nc; ++j) {
      const double x = -L + i * h, y = -L + j * h;
      double ax, ay;
      potdefmag_deflection(x, y, ax, ay);
      cu[static_cast<size_t>(i * (nc + 1) + j)] = x - ax;
      cv[static_cast<size_t>(i * (nc + 1) + j)] = y - ay;
    }
  // A coarse cell is shot finely when the box of its corners' source positions, widened by
  // its own size, meets the box of the source.
  const double Rb = s.R999 * s.size * s.inv_q;
  struct Px {
    long long key;
    double x, y, f;
  };
  std::vector<Px> lit;
  const long long M = static_cast<long long>(nc) * k + 2;
  for (int i = 0; i < nc; ++i)
    for (int j = 0; j < nc; ++j) {
      double u0 = 1e9, u1 = -1e9, v0 = 1e9, v1 = -1e9;
      for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b) {
          const size_t q = static_cast<size_t>((i + a) * (nc + 1) + j + b);
          u0 = std::min(u0, cu[q]);
          u1 = std::max(u1, cu[q]);
          v0 = std::min(v0, cv[q]);
          v1 = std::max(v1, cv[q]);
        }
      const double g = std::max(u1 - u0, v1 - v0);
      if (u0 - g > s.u0 + Rb || u1 + g < s.u0 - Rb || v0 - g > s.v0 + Rb || v1 + g < s.v0 - Rb) continue;
      for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) {
          const double x = -L + i * h + (a + 0.5) * p, y = -L + j * h + (b + 0.5) * p;
          double ax, ay, xx, yy, xy, yx;
          potdefmag_deflection(x, y, ax, ay);
          if (s.radius(x - ax, y - ay) > s.R999) continue;
          potdefmag_hessian(x, y, xx, yy, xy, yx);
          if (lens_parity(xx, yy, xy, yx) == -2) continue;
          lit.push_back({static_cast<long long>(i * k + a) * M + (j * k + b), x, y, s.flux(x - ax, y - ay) * p * p});
        }
    }
  std::sort(lit.begin(), lit.end(), [](const Px& a, const Px& b) { return a.key < b.key; });
  std::vector<size_t> up(lit.size());
  for (size_t q = 0; q < up.size(); ++q) up[q] = q;
  auto root = [&](size_t q) {
    while (up[q] != q) q = up[q] = up[up[q]];
    return q;
  };
  for (size_t q = 0; q < lit.size(); ++q)
    for (long long d : {M - 1, M, M + 1, 1LL}) {  // the neighbours above in key order
      const auto it = std::lower_bound(lit.begin(), lit.end(), lit[q].key + d,
                                       [](const Px& a, long long key) { return a.key < key; });
      if (it == lit.end() || it->key != lit[q].key + d) continue;
      const size_t a = root(q), b = root(static_cast<size_t>(it - lit.begin()));
      up[std::max(a, b)] = std::min(a, b);
    }
  std::vector<Patch> sum(lit.size());
  for (size_t q = 0; q < lit.size(); ++q) {
    Patch& P = sum[root(q)];
    P.flux += lit[q].f;
    P.x += lit[q].f * lit[q].x;
    P.y += lit[q].f * lit[q].y;
  }
  std::vector<Patch> out;
  for (size_t q = 0; q < lit.size(); ++q)
    if (root(q) == q) out.push_back({sum[q].x / sum[q].flux, sum[q].y / sum[q].flux, sum[q].flux});
  return out;
}

}  // namespace

// A uniform disc of radius R behind a singular isothermal sphere (b = 1) at the default
// grid: centred, one ring of flux 4/R; at distance d > R, two images whose fluxes and
// centroids are the means over the disc (isothermal_disc). Every image within 1% and its centroid within 0.002 (with the mesh's linear
// mapping a small disc took its triangle's magnification, 10-40% off, and with seeing 0
// every triangle carrying light opened an image of its own).
TEST(FiniteSource, IsothermalDiscAtTheDefaultGrid) {
  default_grid_lens({1, 0, 0, 0, 0, 0, 0, 1e-4, 0, 1}, 0);
  struct Case {
    double d, R;
  };
  for (const Case& c : {Case{0, 0.1}, Case{0, 0.03}, Case{0.3, 0.005}, Case{0.3, 0.05}, Case{0.5, 0.1}}) {
    load_source("uniform", {1, 0, 0, 0, 0, c.R, 0, 0}, 1e5);
    const Img im = images(c.d, 0);
    if (c.d == 0) {
      ASSERT_EQ(im.n, 1) << c.R;
      EXPECT_NEAR(im.list[1][3], 4 / c.R, 0.01 * 4 / c.R) << c.R;
      EXPECT_NEAR(std::hypot(im.list[1][1], im.list[1][2]), 0, 2e-3) << c.R;
      continue;
    }
    const DiscImages q = isothermal_disc(c.d, c.R, 300);
    ASSERT_EQ(im.n, 2) << c.d << " " << c.R;
    for (int s = 0; s < 2; ++s) {
      const int k = (im.list[1][1] > 0) == (s == 0) ? 1 : 2;
      EXPECT_NEAR(im.list[k][3], q.flux[s], 0.01 * q.flux[s]) << c.d << " " << c.R << " " << s;
      EXPECT_NEAR(im.list[k][1], q.x[s], 2e-3) << c.d << " " << c.R << " " << s;
      EXPECT_NEAR(im.list[k][2], q.y[s], 2e-3) << c.d << " " << c.R << " " << s;
    }
  }
}

// Discs on an isothermal ellipsoid with shear at the default grid against inverse ray
// shooting with the exact lens, 0.02 inside a fold (without a margin for the mesh's
// linear mapping, parts of these images were lost) and inside a cusp: the same images,
// each within 1%, centroids within 0.002.
TEST(FiniteSource, EllipsoidDiscMatchesRayShooting) {
  default_grid_lens({1, 0, 0, 0.3, 20, 0.06, 55, 0, 0, 1}, 1);
  struct Case {
    double u, v, R, pixel;
  };
  for (const Case& c : {Case{0.0373, 0.1221, 0.03, 0.001}, Case{-0.1740, 0.2784, 0.01, 0.0005}}) {
    load_source("uniform", {1, 0, 0, 0, 0, c.R, 0, 0}, 1e5);
    const Img im = images(c.u, c.v);
    const std::vector<Patch> truth = ray_shooting_truth(c.pixel);
    ASSERT_EQ(im.n, static_cast<int>(truth.size())) << c.u << " " << c.v;
    for (const Patch& t : truth) {
      int b = 1;
      for (int i = 2; i <= im.n; ++i)
        if (std::hypot(im.list[i][1] - t.x, im.list[i][2] - t.y) < std::hypot(im.list[b][1] - t.x, im.list[b][2] - t.y))
          b = i;
      EXPECT_NEAR(im.list[b][3], t.flux, 0.01 * t.flux) << c.u << " " << c.v << " at " << t.x << " " << t.y;
      EXPECT_LT(std::hypot(im.list[b][1] - t.x, im.list[b][2] - t.y), 2e-3) << c.u << " " << c.v;
    }
  }
}

// One image per region of light at seeing 0: a disc wholly inside the caustic has four, a
// small one near a fold four (the fold pair does not touch), a large one straddling the fold
// three; an exponential source inside the caustic four, though its faint light joins them
// all (between the images it falls below a tenth of their peaks); with seeing 0.7 the fold
// pair (0.63 apart) merges.
TEST(FiniteSource, ImagesAreConnectedPatches) {
  default_grid_lens({1, 0, 0, 0.3, 20, 0.06, 55, 0, 0, 1}, 1);
  struct Case {
    const char* cls;
    double R, u, v, seeing;
    int n;
  };
  const Case cases[] = {{"uniform", 0.1, 0.03, -0.02, 0, 4}, {"uniform", 0.005, 0.0373, 0.1221, 0, 4},
                        {"uniform", 0.1, 0.0373, 0.1221, 0, 3}, {"sersic", 0.05, 0.03, -0.02, 0, 4},
                        {"uniform", 0.005, 0.0373, 0.1221, 0.7, 3}};
  for (const Case& c : cases) {
    load_source(c.cls, {1, 0, 0, 0, 0, c.R, 0, 1}, 1e4);
    settings.seeing = c.seeing;
    EXPECT_EQ(images(c.u, c.v).n, c.n) << c.cls << " " << c.R << " at " << c.u << " " << c.v << " seeing " << c.seeing;
  }
}

// An exponential source (Sersic n = 1, Reff 0.05) 0.02 inside a cusp, 1e4 rays: its total
// against inverse ray shooting within 2.5% (five times its ray noise). A leaf by the
// critical curve expects at least one ray (with a rare ray carrying a tiny leaf's whole
// weight, the total came out 8% low).
TEST(FiniteSource, ExponentialSourceTotalMatchesRayShooting) {
  default_grid_lens({1, 0, 0, 0.3, 20, 0.06, 55, 0, 0, 1}, 1);
  load_source("sersic", {1, 0, 0, 0, 0, 0.05, 0, 1}, 1e4);
  const Img im = images(-0.1740, 0.2784);
  double truth = 0;
  for (const Patch& t : ray_shooting_truth(0.002)) truth += t.flux;
  EXPECT_NEAR(im.flux(), truth, 0.025 * truth);
}

// A lens that curves strongly across coarse triangles: an isothermal sphere of b = 10 on
// a mesh of six spokes out to radius 1, as a fan about the centre or a ring from radius
// 0.2. A disc of radius 0.1 at distance 9.4 from the centre, midway between two spokes,
// has its inner image about radius 0.6; its flux and centroid are the means over the disc
// (the image of u is (1 - b/|u|) u, |mu| = b/|u| - 1). The rims' chords map 0.9 (ring)
// and 1.6 (fan) short of the disc's centre, beyond the boxes of the triangles' corners
// and in the fan further than its sides are long (1), while each triangle's margin
// (twice a rim midpoint's 1.34) holds it. The image is found whatever the catalogue's
// cell size (0.05 at srccat 400, far below the margin) and under a scale factor (b = 20
// at f = 0.5). The refinement leaves a linear error of up to 2% of the disc's radius in
// the source plane, here along the radius where the image is not demagnified: the
// centroid within 0.003.
TEST(FiniteSource, MarginWiderThanTheTrianglesAndTheCells) {
  const double b = 10, d = 9.4, R = 0.1, u = 0, v = -d;
  double w = 0, wx = 0, wy = 0;
  const int nq = 400;
  for (int i = 0; i < nq; ++i)
    for (int j = 0; j < nq; ++j) {
      const double rho = R * (i + 0.5) / nq, ph = 2 * kPi * (j + 0.5) / nq;
      const double su = u + rho * std::cos(ph), sv = v + rho * std::sin(ph), r = std::hypot(su, sv);
      const double mu = b / r - 1;
      w += mu * rho;
      wx += mu * rho * (1 - b / r) * su;
      wy += mu * rho * (1 - b / r) * sv;
    }
  double area = 0;
  for (int i = 0; i < nq; ++i) area += nq * R * (i + 0.5) / nq;
  struct Case {
    double r0;
    int srccat;
    double b, f;
  };
  const Case cases[] = {{0, 0, 10, 1},   {0, 400, 10, 1},   {0, 400, 20, 0.5},
                        {0.2, 0, 10, 1}, {0.2, 400, 10, 1}, {0.2, 400, 20, 0.5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "r0 " << c.r0 << " srccat " << c.srccat << " f " << c.f);
    fresh_lens({c.b, 0, 0, 0, 0, 0, 0, 1e-4, 0, 1});
    settings.srccat = c.srccat;
    build_mesh(even_radii(1.0, 1, c.r0), 6);
    load_source("uniform", {1, 0, 0, 0, 0, R, 0, 0}, 1e5);
    TWmod.scale = c.f;
    const Img im = images(u, v);
    TWmod.scale = 1;
    // Found by the triangles' margins alone (the image was lost). Beside it the fan may
    // give a speck where its triangles meet the singular centre.
    int k = 0, specks = 0;
    for (int i = 1; i <= im.n; ++i) {
      if (im.list[i][3] > 1e-4 * w / area)
        k = k == 0 ? i : -1;
      else
        specks += std::hypot(im.list[i][1], im.list[i][2]) < 0.01;
    }
    ASSERT_GT(k, 0);
    EXPECT_EQ(specks, im.n - 1);
    EXPECT_NEAR(im.list[k][3], w / area, 0.01 * w / area);
    EXPECT_NEAR(im.list[k][1], wx / w, 3e-3);
    EXPECT_NEAR(im.list[k][2], wy / w, 3e-3);
  }
}

// Leaves larger than a small source share one set of points drawn in the source: the ray
// total counts each point once (it counted the set again for every leaf that used it).
// On the identity lens's coarse mesh a disc centred on a mesh vertex meets several such
// leaves; its 1e4 expected points come out within five standard deviations (of the
// largest of their Poisson counts).
TEST(FiniteSource, SharedSmallSourcePointsCountOnce) {
  identity_lens(4, 8);
  settings.seeing = 2;
  load_source("uniform", {1, 0, 0, 0, 0, 0.05, 0, 0}, 1e4);
  const Img im = images(0.5, 0);
  ASSERT_EQ(im.n, 1);
  EXPECT_NEAR(im.list[1][3], 1.0, 0.05);
  EXPECT_GE(TWfinsrc.leaves, 4);
  EXPECT_NEAR(TWfinsrc.rays, 1e4, 500);
}

// The work follows the light. A Sersic n = 4 source (Reff 0.05) on a cored ellipsoid:
// fewer rays asked give fewer leaves, lens evaluations and rays (a triangle whose light is
// below one ray's share is not refined); an NFW lens's central image takes leaves 8 levels
// deep by the lens centre while the search as a whole stays far from refining every
// triangle that deep.
TEST(FiniteSource, RefinementFollowsTheLight) {
  default_grid_lens({1.1101595795, 0.03, -0.02, 0.3, 20, 0.06, 55, 0.0405499112, 0, 1}, 1);
  settings.omitcore = 0;
  long evals[3], leaves[3];
  double rays[3];
  int k = 0;
  for (const double n : {1e3, 1e4, 1e5}) {
    load_source("sersic", {1, 0, 0, 0, 0, 0.05, 0, 4}, n);
    EXPECT_EQ(images(0.05, 0.03).n, 5) << n;
    evals[k] = TWfinsrc.evals, leaves[k] = TWfinsrc.leaves, rays[k] = TWfinsrc.rays;
    ++k;
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_LT(evals[i], evals[i + 1]) << i;
    EXPECT_LT(leaves[i], leaves[i + 1]) << i;
    EXPECT_LT(rays[i], rays[i + 1]) << i;
  }

  fresh_model(1);
  quietflag = 1;
  SetVar("omitcore", 0, 0);
  SetGlob();
  set_component(1, "nfw", {0.36, 0, 0, 0, 0, 0.12, 35, 3, 0, 0});
  dogrid();
  load_source("uniform", {1, 0.01, -0.01, 0, 0, 0.02, 0, 0}, 1e5);
  EXPECT_EQ(images(0.01, -0.01).n, 5);
  EXPECT_EQ(TWfinsrc.depth, 8);
  EXPECT_LT(TWfinsrc.evals, 20000);
}

// The search's buffers are kept: after a first search, later ones of the same source
// find room in them (capacities and storage unchanged), and the candidates' buffer has
// room for every triangle of the grid from the first search on.
TEST(FiniteSource, BuffersAreKeptAcrossSearches) {
  default_grid_lens({1.1101595795, 0.03, -0.02, 0.3, 20, 0.06, 55, 0.0405499112, 0, 1}, 1);
  load_source("sersic", {1, 0, 0, 0, 0, 0.05, 0, 4}, 1e4);
  const FiniteSourceState& F = TWfinsrc;
  auto room = [&] {
    return std::vector<const void*>{F.lit.data(),    F.segs.data(),  F.pairs.data(),  F.nb.data(),
                                    F.nb_start.data(), F.up.data(),  F.order.data(),  F.owner.data(),
                                    F.at_start.data(), F.at_leaf.data(), F.label.data(), F.fill.data(),
                                    F.peak.data(),   F.core_w.data(), F.patch.data(), F.finsrc_tmp.data(),
                                    F.active.data(), F.small_pts.data(), F.rim_light.data()};
  };
  images(0.05, 0.03);
  EXPECT_GE(F.cand_room, static_cast<size_t>(TWtri.out.numberoftriangles));
  const std::vector<const void*> first = room();
  const size_t cands = F.cand_room, lit = F.lit.capacity(), segs = F.segs.capacity();
  for (int r = 0; r < 3; ++r) {
    images(0.05, 0.03);
    EXPECT_EQ(room(), first) << r;
    EXPECT_EQ(F.cand_room, cands);
    EXPECT_EQ(F.lit.capacity(), lit);
    EXPECT_EQ(F.segs.capacity(), segs);
  }
}

// The flux of a source only scales its images: a faint source (fluxes in physical units
// can be 1e-12 or less) or a bright one gives the images of a source of flux 1, each flux
// scaled and nothing else changed (images below an absolute 1e-8 were dropped, so a faint
// source lost its fainter images or all of them).
TEST(FiniteSource, SourceFluxScalesTheImages) {
  default_grid_lens({1, 0, 0, 0.2, 30, 0.05, -20, 0, 0, 1}, 1);
  settings.omitcore = 0;
  for (const char* cls : {"uniform", "sersic"}) {
    load_source(cls, {1, 0, 0, 0.3, 60, 0.04, 0, 1}, 1e4);
    const Img ref = images(0.12, 0.05);
    ASSERT_GE(ref.n, 2) << cls;
    for (const double flux : {1e-12, 1e12}) {
      load_source(cls, {flux, 0, 0, 0.3, 60, 0.04, 0, 1}, 1e4);
      const Img im = images(0.12, 0.05);
      ASSERT_EQ(im.n, ref.n) << cls << " " << flux;
      for (int i = 1; i <= ref.n; ++i) {
        EXPECT_NEAR(im.list[i][3] / flux, ref.list[i][3], 1e-9 * ref.list[i][3]) << cls << " " << flux << " " << i;
        EXPECT_NEAR(im.list[i][1], ref.list[i][1], 1e-9) << cls << " " << flux << " " << i;
      }
    }
  }
}
