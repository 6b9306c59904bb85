// The contract of every registered model class, from one table.
//
// Each row is a class with a representative parameter set (and the set-up it needs: a
// table file for the "...T" classes and "tab", a convergence map for "kapmap", the fold
// coefficients for "foldcaus", a companion for "LOSshr"). Every row goes through the same
// checks, through the whole-model evaluator, at a few off-centre points of a component that
// is moved, rotated (position angle not 0) and externally sheared:
//  - finite differences: the potential against the deflection, the deflection against the
//    four second derivatives (phi_xy = d phi_x/dy, phi_yx = d phi_y/dx), with sixth-order
//    central differences;
//  - Poisson's relation: (phi_xx + phi_yy)/2 against the class's own convergence, computed
//    here independently of the class (closed forms, or the projection of the 3-d density);
//  - the circular limit: ellipticity 1e-7 (below the 1e-6 switch to the circular forms) and
//    2e-6 (above it) against exactly 0;
//  - rotation: the component at angle theta with shear angle theta_g + theta, centred at c,
//    gives at c + R(theta) p the field of the component at angle 0, shear angle theta_g,
//    centred at the origin, at p, turned by R(theta) (R counter-clockwise: the position
//    angle is counted from +y towards -x).
// Adding a class adds a row. A check that cannot apply to a class says why in its row.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/kapmap.h"
#include "models/prof2_checks.h"
#include "models/registry.h"
#include "models/special.h"
#include "models/substructure.h"
#include "models/tab.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

// Parameters 1, 4, 8, 9 and 10 of a component as given (the loader takes |p8| and |p9|,
// except for "ArnoldADE").
struct Par {
  double b, e, s, a, al;
};

// ---------------------------------------------------------------------------------------
// Tolerances. h is the step of the differences relative to the point's radius (sixth-order
// central differences, steps -3h .. 3h). fd, poisson, circ and rot are relative: to the
// size of the deflection for the first derivatives, to the size of the matrix of second
// derivatives for the second derivatives and the convergence (or to |kappa| when larger),
// to the row's potential scale (the largest |phi| + r |alpha| over its points) for the
// potential. The circular check allows 10 e on top of circ for the change that the
// ellipticity e itself makes. Measured errors are given for comparison.
struct Tol {
  double h, fd, poisson, circ, rot;
};
// Closed forms: differences of step 0.01 r truncate at ~1e-12; what remains is rounding,
// enlarged near the centre where closed-form potentials cancel (up to 2e-9 measured).
constexpr Tol kClosed{0.01, 1e-8, 1e-11, 1e-10, 1e-12};
// Numerical integrals at inttol 1e-8 (below the default 1e-6, so that the checks stay
// sharp): errors of order inttol, which differences of step 0.03 r enlarge to ~1e-6; where
// kappa is small against the mean convergence inside (r >> s), the unscaled integrals of
// some profiles give kappa to a few 1e-6 (2.4e-6 measured); a rotated point reaches the
// integrator with other roundings, which may change its step choices.
constexpr Tol kNumerical{0.03, 1e-5, 1e-5, 2e-6, 1e-8};
// Trilinear tables (steps 0.012 dex in radius, 2.5 degrees in angle): interpolation errors
// of ~1e-4 of the values, which differences of step 0.06 r turn into a few 1e-3 of the
// derivatives (4e-3 measured; halving the table steps divides them by 4 to 8); the table's
// second derivatives give kappa to ~3e-4.
constexpr Tol kTabulated{0.06, 1e-2, 1.5e-3, 1e-9, 1e-9};
constexpr double kTabDlog = 0.012, kTabDdeg = 2.5;
// Bilinear convergence map (pixels 1/15 of the Gaussian's width): the same with the pixel
// (3e-3 measured). Poisson's relation holds to rounding: the Fourier solution satisfies it
// at every pixel, and the interpolation is linear.
constexpr Tol kMap{0.08, 1e-2, 1e-10, 1e-12, 1e-9};

// Where the component is put: centre, position angle and shear angle (degrees); the
// external shear is kGamma.
struct Placement {
  double cx, cy, te, tg;
};
constexpr double kGamma = 0.05, kTheta = 37.0, kShearAngle = 20.0;
constexpr Placement kMoved{0.43, -0.29, kTheta, kShearAngle + kTheta};
constexpr Placement kOrigin{0.0, 0.0, 0.0, kShearAngle};

using Pt = std::array<double, 2>;
// Component-frame points in three quadrants, at radii about the scale of the profiles (the
// points of tables and maps) and well inside and outside it.
const std::vector<Pt> kMidPoints = {{0.55, 0.35}, {-0.6, 1.05}, {1.7, -0.8}};
const std::vector<Pt> kDefaultPoints = {{0.55, 0.35}, {-0.6, 1.05}, {1.7, -0.8}, {0.04, 0.03}, {4.0, -2.5}};

// What a set-up routine knows: the row's parameters, the component-frame points it will be
// evaluated at, and how far the differences move them, as a fraction of their radius.
struct SetupCtx {
  Par p;
  std::vector<Pt> points;
  double reach;
  const ScratchDir* dir;
};

// A second component that travels with the row's component (offset from its centre in the
// unrotated placement, position angle relative to it).
struct Companion {
  const char* cls;
  Par p;
  double dx, dy, te;
};

using KappaFn = std::function<double(const Par&, double x, double y)>;

struct Row {
  std::string label, cls;
  Par p{};
  KappaFn kappa;            // the class's own convergence at a component-frame point
  std::string no_poisson;   // why Poisson's relation does not apply (kappa empty)
  Tol tol = kClosed;
  double inttol = 1e-8;
  std::vector<Pt> points = kDefaultPoints;
  bool potential = true;    // potflag 1 and the potential checked
  std::string no_potential;
  enum Circ { kBoth, kBelowOnly, kNone } circ = kBoth;
  std::string circ_note;    // why the check above the switch, or the whole check, does not apply
  std::function<void(const SetupCtx&)> setup;
  std::vector<Companion> companions;
  bool tabulated = false;   // every evaluation must come from the table, none from the fallback

  Row(const char* l, const char* c, Par pp, KappaFn k) : label(l), cls(c), p(pp), kappa(std::move(k)) {}
  Row& tolerances(const Tol& t) { tol = t; return *this; }
  Row& step(double h) { tol.h = h; return *this; }
  Row& integrals(double t) { inttol = t; return *this; }
  Row& at(std::vector<Pt> pts) { points = std::move(pts); return *this; }
  Row& without_potential(const char* why) { potential = false; no_potential = why; return *this; }
  Row& without_poisson(const char* why) { kappa = nullptr; no_poisson = why; return *this; }
  Row& circular_only(const char* why) { circ = kBelowOnly; circ_note = why; return *this; }
  Row& without_circular(const char* why) { circ = kNone; circ_note = why; return *this; }
  Row& with_setup(std::function<void(const SetupCtx&)> f) { setup = std::move(f); return *this; }
  Row& with(const Companion& c) { companions.push_back(c); return *this; }
  Row& from_table() {
    tabulated = true;
    tol = kTabulated;
    points = kMidPoints;
    return *this;
  }
};

// Rows print as their label in test reports.
void PrintTo(const Row& r, std::ostream* os) { *os << r.label; }

// ---------------------------------------------------------------------------------------
// Convergences, written from the physics of each class (not from its code).

double elliptical_radius(double e, double x, double y) {
  const double q = 1.0 - e;
  return std::sqrt(x * x + y * y / (q * q));
}

// Softened power law with truncation, b, s, a rescaled by alphanorm = 1:
// (A/2) b^(2-al) [(s^2 + xi^2)^(al/2-1) - (a^2 + xi^2)^(al/2-1)], A = |al| (1 within 0.01 of 0).
double alpha_kappa(double b, double e, double s, double a, double al, double x, double y) {
  const double q = 1.0 - e, f = std::sqrt((1.0 + q * q) / 2.0) / q;
  b *= f;
  s *= f;
  a *= f;
  const double x2 = std::pow(elliptical_radius(e, x, y), 2);
  const double A = std::fabs(al) > 0.01 ? std::fabs(al) : 1.0;
  double k = std::pow(s * s + x2, al / 2.0 - 1.0);
  if (a > 0.0) k -= std::pow(a * a + x2, al / 2.0 - 1.0);
  return 0.5 * A * std::pow(b, 2.0 - al) * k;
}

// Pseudo-Jaffe without the alphanorm rescaling.
double pjaffe_kappa_plain(double b, double e, double s, double a, double x, double y) {
  const double x2 = std::pow(elliptical_radius(e, x, y), 2);
  return 0.5 * b * (1.0 / std::sqrt(s * s + x2) - 1.0 / std::sqrt(a * a + x2));
}

// Elliptical Kuzmin disk: (b s^3/q) (s^2 + xi^2)^(-3/2) (b s^3/(r^2 + s^2)^(3/2) when round).
double kuzmin_kappa(double b, double e, double s, double x, double y) {
  const double x2 = std::pow(elliptical_radius(e, x, y), 2);
  return b * s * s * s / (1.0 - e) / std::pow(s * s + x2, 1.5);
}

// Surface density at R of a spherical density (outer logarithmic slope n_out, scale radius
// of order 1): 2 int_0^inf rho(sqrt(R^2 + z^2)) dz by the independent adaptive Simpson rule
// of the profile tests, in z = R sinh u (smooth, and logarithmic in z beyond R), up to the
// z where the tail has fallen below 1e-17.
double projected(const std::function<double(double)>& rho, double R, double n_out) {
  const double zmax = 10.0 * std::fmax(1.0, R) * std::pow(10.0, 17.0 / (n_out - 1.0));
  return prof2::simpson(
      [&](double u) {
        const double c = std::cosh(u);
        return 2.0 * rho(R * c) * R * c;
      },
      0.0, std::asinh(zmax / R), 1e-13);
}

// A radial profile b kappa~(xi) given by its 3-d density, read at the elliptical radius.
KappaFn projected_profile(std::function<double(const Par&, double)> rho,
                          std::function<double(const Par&)> n_out) {
  return [rho, n_out](const Par& p, double x, double y) {
    return projected([&](double r) { return rho(p, r); }, elliptical_radius(p.e, x, y), n_out(p));
  };
}

double nfw_rho(const Par& p, double r) { return p.b * p.s * p.s / (r * (r + p.s) * (r + p.s)); }

// Laplacian / 2 of a polynomial potential sum c x^i y^j.
struct Mono {
  double c;
  int i, j;
};
double poly_kappa(const std::vector<Mono>& m, double x, double y) {
  double lap = 0.0;
  for (const Mono& t : m) {
    if (t.i >= 2) lap += t.c * t.i * (t.i - 1) * std::pow(x, t.i - 2) * std::pow(y, t.j);
    if (t.j >= 2) lap += t.c * t.j * (t.j - 1) * std::pow(x, t.i) * std::pow(y, t.j - 2);
  }
  return lap / 2.0;
}

// The fold's potential (1 - K) x^2/2 + y^2/2 + e x^3 + ... + r y^4 with these coefficients
// K e f g h k m n p r.
const double kFold[11] = {0, 0.3, 0.05, -0.04, 0.03, 0.02, 0.01, -0.015, 0.012, 0.008, -0.006};
std::vector<Mono> fold_potential() {
  const double* c = kFold;
  return {{(1 - c[1]) / 2, 2, 0}, {0.5, 0, 2}, {c[2], 3, 0}, {c[3], 2, 1}, {c[4], 1, 2}, {c[5], 0, 3},
          {c[6], 4, 0},           {c[7], 3, 1}, {c[8], 2, 2}, {c[9], 1, 3}, {c[10], 0, 4}};
}

// NFW auxiliary function F(X), for the radial derivatives of the circular NFW potential
// 2 b s^2 h(r/s): h' = 2 (ln(X/2) + F)/X (the deflection over 2 b s) and, from Poisson's
// equation, h'' + h'/X = kappa~ = 2 (1 - F)/(X^2 - 1).
double nfw_F(double X) {
  if (X < 1.0) return std::atanh(std::sqrt(1.0 - X * X)) / std::sqrt(1.0 - X * X);
  return std::atan(std::sqrt(X * X - 1.0)) / std::sqrt(X * X - 1.0);
}

// ---------------------------------------------------------------------------------------
// Set-ups.

// The table a maketab run makes of class `name` from a component of parameters tp: the
// ellipticities 0 and e, radii (logarithmic) and angles covering the row's points, each
// value the routine `twin` evaluated in the component's own frame; written to a file and
// loaded as the program loads it.
void table_setup(const SetupCtx& c, const char* name, prof2::ClassFn twin, Par tp, double s_component) {
  double rlo = 1e300, rhi = 0, tlo = 90, thi = 0;
  for (const Pt& pt : c.points) {
    const double R = std::hypot(pt[0], pt[1]);
    const double t = std::atan2(std::fabs(pt[1]), std::fabs(pt[0])) * 180.0 / kPi;
    const double dt = std::asin(std::fmin(1.0, c.reach)) * 180.0 / kPi;
    rlo = std::fmin(rlo, R * (1 - c.reach));
    rhi = std::fmax(rhi, R * (1 + c.reach));
    tlo = std::fmin(tlo, t - dt);
    thi = std::fmax(thi, t + dt);
  }
  // In the table's units (the lookup scales the radius by s_t/s), with a margin.
  const double f = tp.s / s_component;
  rlo *= 0.97 * f;
  rhi *= 1.03 * f;
  tlo = std::fmax(0.0, tlo - 1.0);
  thi = std::fmin(90.0, thi + 1.0);
  const int nr = static_cast<int>(std::ceil(std::log10(rhi / rlo) / kTabDlog)) + 1;
  const int nt = static_cast<int>(std::ceil((thi - tlo) / kTabDdeg)) + 1;
  LensTable t;
  t.name = name;
  t.b = tp.b;
  t.s = tp.s;
  t.a = tp.a;
  t.alpha = tp.al;
  const double lo[3] = {0.0, rlo, tlo}, hi[3] = {c.p.e, rhi, thi};
  const int n[3] = {2, -nr, nt};
  t.set_axes(lo, hi, n);
  // The table's own accuracy need not exceed its interpolation error (~1e-4).
  const double inttol = settings.inttol;
  settings.inttol = 1e-6;
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= nr; ++j)
      for (int l = 1; l <= nt; ++l) {
        const double r = t.node(1, j), th = t.node(2, l) * kPi / 180.0;
        prof2::load(name, tp.b, t.node(0, i), tp.s, tp.a, tp.al);
        const DerivVector d = prof2::eval(twin, r * std::cos(th), r * std::sin(th));
        for (int k = 0; k < 6; ++k) t.at(k, i, j, l) = d[k + 1];
      }
  settings.inttol = inttol;
  const std::string path = c.dir->file(std::string(name) + ".tab");
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  const bool ok = write_lens_table(fp, t);
  std::fclose(fp);
  ASSERT_TRUE(ok);
  tablist.clear();
  load_lens_table(path);
}

// An elliptical Gaussian convergence (sigma 0.45 along x, 0.3 along y) on a non-square map
// of 128 x 120 pixels (padded to 256 x 256), solved by the Fourier routine of kap2lens and
// loaded into slot 1. The checks here are properties of the Fourier solution whatever the
// padding, so the map need not hold all of the mass.
constexpr int kMapNx = 128, kMapNy = 120;
constexpr double kMapX = 1.6, kMapY = 1.5;
void kapmap_setup(const SetupCtx& c) {
  Mat kappa(1, kMapNx, 1, kMapNy);
  for (int i = 1; i <= kMapNx; ++i)
    for (int j = 1; j <= kMapNy; ++j) {
      const double u = -kMapX + (i - 1) * 2 * kMapX / (kMapNx - 1);
      const double v = -kMapY + (j - 1) * 2 * kMapY / (kMapNy - 1);
      kappa[i][j] = std::exp(-0.5 * (u * u / (0.45 * 0.45) + v * v / (0.3 * 0.3)));
    }
  const std::string path = c.dir->file("gauss.kmap");
  do_kap2lens(kMapNx, kMapNy, kappa, path, -kMapX, kMapX, -kMapY, kMapY);
  reset_kapmaps();
  thekmap.Nkmap = 1;
  thekmap.slot.assign(2, KapMap());
  read_kapmap_file(path, thekmap.slot[1]);
}

// The map's own convergence (its map 0), interpolated bilinearly between the pixel
// centres, times b. The class takes its position angle less 90 degrees (a map at angle 0
// lies as it was made), so the map coordinates of the frame point (x, y) used here are
// (-y, x)/a.
double kapmap_kappa(const Par& p, double x, double y) {
  const KapMap& m = thekmap.slot[1];
  const double a = std::fabs(p.a), u = -y / a, v = x / a;
  const double dx = (m.xhi - m.xlo) / (m.nx - 1), dy = (m.yhi - m.ylo) / (m.ny - 1);
  const double fi = (u - m.xlo) / dx, fj = (v - m.ylo) / dy;
  const int i = static_cast<int>(std::floor(fi)) + 1, j = static_cast<int>(std::floor(fj)) + 1;
  const double fu = fi - (i - 1), fv = fj - (j - 1);
  // Map 0 of the table [0..6][1..nx][1..ny], last index fastest.
  const double* k0 = m.maps.data();
  auto K = [&](int ii, int jj) { return k0[static_cast<size_t>(ii - 1) * m.ny + (jj - 1)]; };
  return p.b * ((1 - fu) * (1 - fv) * K(i, j) + fu * (1 - fv) * K(i + 1, j) + (1 - fu) * fv * K(i, j + 1) +
                fu * fv * K(i + 1, j + 1));
}

// ---------------------------------------------------------------------------------------
// The table. One row per class (more where a class has several branches that matter).

// A tabulated class whose table is made of its base class `table` by the routine `twin`,
// with mass scale b_t and scale radius s_t and the component's other parameters.
Row tabulated_row(const char* cls, Par p, KappaFn k, const char* table, prof2::ClassFn twin, double bt,
                  double st) {
  return Row(cls, cls, p, std::move(k)).from_table().with_setup([=](const SetupCtx& c) {
    table_setup(c, table, twin, {bt, c.p.e, st, c.p.a, c.p.al}, c.p.s);
  });
}

std::vector<Row> make_rows() {
  using namespace modelclass;
  std::vector<Row> rows;
  const auto zero = [](const Par&, double, double) { return 0.0; };
  const char* const kCircularOnly = "circular only: an ellipticity of 1e-6 or more is an error";

  // ---- pseudo-classes and closed-form special potentials ----
  // (Classes that do not read parameter 4 go through the circular check all the same: it
  // confirms that the ellipticity slot changes nothing.)
  rows.push_back(Row("ring", "ring", {0.7, 0.2, 0.3, 0.4, 0.5}, zero));
  // Parameters 1-4 are the data type, number (the centre x), shift x (the centre y) and
  // shift y: the centres used here keep the number in 0..maxrgstr.
  rows.push_back(Row("register", "register", {1, 0.02, 0, 0, 0}, zero)
                     .without_circular("parameter 4 is a registration shift, not an ellipticity; the "
                                       "component contributes nothing to the lens (all checks see zeros)"));
  rows.push_back(Row("LOSshr", "LOSshr", {0.08, 0.1, 0, 0, 0}, nullptr)
                     .with({"alpha", {1.0, 0.25, 0.1, 0, 1}, 0.2, -0.1, 15.0})
                     .without_potential("the line-of-sight pass refuses potflag 1")
                     .without_poisson("the line-of-sight matrix multiplies the other components' "
                                      "second derivatives (phi_xy != phi_yx): LOSshr has no convergence "
                                      "of its own"));
  rows.push_back(Row("convrg", "convrg", {0.3, 0.2, 0, 0, 0},  //
                     [](const Par& p, double, double) { return p.b; }));
  // phi = (s/4) r^3 [sin 3(theta - t) + sin(theta - t)]: r^3 sin 3u is harmonic and the
  // Laplacian of r^3 sin u is 8 r sin u, so kappa = s r sin(theta - t) = s (y cos t - x sin t).
  rows.push_back(Row("clus3", "clus3", {0, 0.2, 0.3, 25, 0},
                     [](const Par& p, double x, double y) {
                       const double t = p.a * kPi / 180.0;
                       return p.s * (y * std::cos(t) - x * std::sin(t));
                     }));
  rows.push_back(Row("fourmode", "fourmode", {0.2, 3.0, 0, 0, 0.4},
                     [](const Par& p, double x, double) { return p.b * std::cos(p.e * x + p.al); })
                     .step(0.001)  // the field changes on the scale 1/k, not r
                     .without_circular("parameter 4 is the wavenumber, not an ellipticity (0 is refused)"));
  rows.push_back(Row("nonpar", "nonpar", {0.5, 0.2, 0.3, 0.4, 0.5}, zero));
  // kappa = (3 - al)/2 K (r/r0)^(1 - al), K = b r0^(1-al) (a^2 - s^2)/(a^(3-al) - s^(3-al)).
  rows.push_back(Row("monopole", "monopole", {0.8, 0, 0.5, 1.5, 1.4},
                     [](const Par& p, double x, double y) {
                       const double r0 = (p.s + p.a) / 2, al = p.al;
                       const double K = p.b * std::pow(r0, 1 - al) * (p.a * p.a - p.s * p.s) /
                                        (std::pow(p.a, 3 - al) - std::pow(p.s, 3 - al));
                       return (3 - al) / 2 * K * std::pow(std::hypot(x, y) / r0, 1 - al);
                     })
                     .circular_only(kCircularOnly));
  // phi = -(eps/m) r^al cos(m theta): kappa = -(eps/2m) (al^2 - m^2) r^(al-2) cos(m theta).
  rows.push_back(Row("mpole", "mpole", {0, 0.1, 0, 3, 1.2},
                     [](const Par& p, double x, double y) {
                       const double m = p.a, al = p.al;
                       return -(p.e / (2 * m)) * (al * al - m * m) * std::pow(std::hypot(x, y), al - 2) *
                              std::cos(m * std::atan2(y, x));
                     })
                     .without_circular("parameter 4 is the multipole amplitude, not an ellipticity"));
  // The quadrupole acts through the shear term and is harmonic; the class field is zero.
  rows.push_back(Row("intshr", "intshr", {0.9, 0.2, 0, 0, 0}, zero));
  rows.push_back(Row("foldcaus", "foldcaus", {0, 0.2, 0, 0, 0},
                     [](const Par&, double x, double y) { return poly_kappa(fold_potential(), x, y); })
                     .with_setup([](const SetupCtx&) {
                       for (int i = 1; i <= 10; ++i) TWspecial.foldcaus_dat[i] = kFold[i];
                     }));
  // Mode 9 is the gradient of x^2/2 + x^3 + a x y + s x y^2 + (1/2 + al) y^2 + y^4 (s, a signed).
  rows.push_back(Row("ArnoldADE", "ArnoldADE", {9, 0.2, -0.3, 0.2, 0.1},
                     [](const Par& p, double x, double y) {
                       const std::vector<Mono> phi = {{0.5, 2, 0}, {1, 3, 0},          {p.a, 1, 1},
                                                      {p.s, 1, 2}, {0.5 + p.al, 0, 2}, {1, 0, 4}};
                       return poly_kappa(phi, x, y);
                     })
                     .without_potential("the class defines no potential and refuses potflag 1"));
  rows.push_back(Row("ptmass", "ptmass", {0.8, 0.2, 0, 0, 0}, zero));
  rows.push_back(Row("softpow", "softpow", {0.9, 0, 0.3, 0, 0},
                     [](const Par& p, double x, double y) {
                       const double r = std::hypot(x, y);
                       return p.b * p.b / 2 / ((p.s + r) * (p.s + r));
                     })
                     .circular_only("circular only: an ellipticity above 1e-6 is an error"));
  // Laplacian of b Q^(al/2), Q = s^2 + x^2 + y^2/q^2.
  rows.push_back(Row("alphapot", "alphapot", {0.6, 0.25, 0.2, 0, 1.3}, [](const Par& p, double x, double y) {
    const double q2 = std::pow(1 - p.e, 2), Q = p.s * p.s + x * x + y * y / q2, h = p.al / 2;
    const double f1 = p.b * h * std::pow(Q, h - 1), f2 = p.b * h * (h - 1) * std::pow(Q, h - 2);
    return 0.5 * (f1 * (2 + 2 / q2) + f2 * (4 * x * x + 4 * y * y / (q2 * q2)));
  }));

  // ---- softened power-law family: closed forms at alpha = 1 and -1, integrals otherwise ----
  const auto alpha_k = [](const Par& p, double x, double y) {
    return alpha_kappa(p.b, p.e, p.s, p.a, p.al, x, y);
  };
  const auto isothermal_k = [](const Par& p, double x, double y) {
    return alpha_kappa(p.b, p.e, p.s, p.a, 1, x, y);
  };
  rows.push_back(Row("alpha_isothermal", "alpha", {1.0, 0.3, 0.1, 0, 1}, alpha_k));
  rows.push_back(Row("alpha_isothermal_truncated", "alpha", {1.0, 0.2, 0.05, 2.5, 1}, alpha_k));
  rows.push_back(Row("alpha_minus1", "alpha", {1.0, 0.25, 0.4, 0, -1}, alpha_k));
  rows.push_back(Row("alpha_general_truncated", "alpha", {1.0, 0.3, 0.2, 3.0, 0.5}, alpha_k)
                     .tolerances(kNumerical));
  rows.push_back(Row("alpha_negative", "alpha", {0.8, 0.2, 0.3, 0, -0.5}, alpha_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("alphaT", {0.9, 0.3, 0.25, 0, 0.5}, alpha_k, "alpha", alpha, 1.2, 0.2));
  rows.push_back(Row("pjaffe", "pjaffe", {1.0, 0.3, 0.1, 1.5, 0}, isothermal_k));
  // a = 0: no truncation (the cored isothermal), not minus an isothermal of core 1e-4.
  rows.push_back(Row("pjaffe_untruncated", "pjaffe", {1.0, 0.3, 0.1, 0, 0}, isothermal_k));
  rows.push_back(Row("king", "king", {1.0, 0.2, 0.3, 0, 0}, [](const Par& p, double x, double y) {
    return 4.24 * alpha_kappa(p.b, p.e, 0.866 * p.s, p.a, 1, x, y) -
           3.5 * alpha_kappa(p.b, p.e, 1.727 * p.s, p.a, 1, x, y);
  }));

  // ---- power-law variants ----
  // Projection of (b/2 pi) R^-2 (1 + R^2/a_2^2)^-2, a_2 = (4/pi) a.
  rows.push_back(Row("tsis", "tsis", {0.8, 0, 0, 1.5, 2},
                     projected_profile(
                         [](const Par& p, double r) {
                           const double an = 4 / kPi * p.a;
                           return p.b / (2 * kPi) / (r * r) / std::pow(1 + r * r / (an * an), 2);
                         },
                         [](const Par&) { return 6.0; })));
  rows.push_back(Row("tpow", "tpow", {0.8, 0, 0, 1.0, 0.6},
                     [](const Par& p, double x, double y) {
                       const double r = std::hypot(x, y);
                       return r <= p.a ? p.al * p.al / 2 * p.b * std::pow(r, p.al - 2) : 0.0;
                     })
                     .circular_only(kCircularOnly));
  // phi = b r^al B^g, B = 1 - e cos 2 theta, g = a al: kappa = (b/2) r^(al-2) [al^2 B^g +
  // g (g - 1) B^(g-2) B'^2 + g B^(g-1) B''], B' = 2 e sin 2 theta, B'' = 4 e cos 2 theta.
  rows.push_back(Row("boxypot", "boxypot", {0.7, 0.2, 0, 0.4, 1.2}, [](const Par& p, double x, double y) {
    const double r = std::hypot(x, y), th = std::atan2(y, x), g = p.a * p.al;
    const double B = 1 - p.e * std::cos(2 * th), B1 = 2 * p.e * std::sin(2 * th);
    const double B2 = 4 * p.e * std::cos(2 * th);
    return 0.5 * p.b * std::pow(r, p.al - 2) *
           (p.al * p.al * std::pow(B, g) + g * (g - 1) * std::pow(B, g - 2) * B1 * B1 +
            g * std::pow(B, g - 1) * B2);
  }));

  // ---- Sersic family ----
  const auto devauc_k = [](const Par& p, double x, double y) {
    const double X = elliptical_radius(p.e, x, y) / p.s;
    return 0.5 * p.b / (0.001684485835 * p.s) * std::exp(-7.66925001 * std::pow(X, 0.25));
  };
  const auto sersic_k = [](const Par& p, double x, double y) {
    const double n = p.al, bn = 2 * n - 1.0 / 3 + 4 / (405 * n) + 46 / (25515 * n * n);
    return p.b * std::exp(-bn * std::pow(elliptical_radius(p.e, x, y) / p.s, 1 / n));
  };
  const auto expdisk_k = [](const Par& p, double x, double y) {
    return p.b / (1 - p.e) * std::exp(-elliptical_radius(p.e, x, y) / p.s);
  };
  const auto gaus_k = [](const Par& p, double x, double y) {
    return p.b / (1 - p.e) * std::exp(-std::pow(elliptical_radius(p.e, x, y) / p.s, 2) / 2);
  };
  rows.push_back(Row("devauc", "devauc", {1.0, 0.3, 1.0, 0, 0}, devauc_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("devaucT", {1.0, 0.3, 1.0, 0, 0}, devauc_k, "devauc", devauc, 0.7, 0.8));
  // devaucA is one pseudo-Jaffe with b' = 0.00271677921 R b, s' = 0.00904677498 R,
  // a' = 1.23957719 R, evaluated as given (no alphanorm rescaling).
  rows.push_back(Row("devaucA", "devaucA", {1.0, 0.3, 1.0, 0, 0}, [](const Par& p, double x, double y) {
    return pjaffe_kappa_plain(0.00271677921 * p.s * p.b, p.e, 0.00904677498 * p.s, 1.23957719 * p.s, x, y);
  }));
  rows.push_back(Row("sersic", "sersic", {1.0, 0.3, 1.0, 0, 2.5}, sersic_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("sersicT", {1.0, 0.3, 1.0, 0, 2.5}, sersic_k, "sersic", sersic, 0.7, 0.8));
  rows.push_back(Row("expdisk", "expdisk", {1.0, 0.3, 1.0, 0, 0}, expdisk_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("expdiskT", {1.0, 0.3, 1.0, 0, 0}, expdisk_k, "expdisk", expdisk, 0.7, 0.8));
  rows.push_back(Row("expdiskA", "expdiskA", {1.0, 0.3, 1.0, 0, 0}, [](const Par& p, double x, double y) {
    static const double f[11] = {0.110297293254709, 0.156971513592819, 0.239749389405312, 0.383170683501492,
                                 0.647549167752286, 1.03062909531541,  1.59972754090034,  2.55322843401287,
                                 3.83360362420816,  6.30510669947247,  9.81699831091507};
    static const double w[11] = {0.008078806163965708, -0.02849637529981501, 0.04573244304397006,
                                 -0.02786940978668463, 0.287620453447922,    -0.628800999050947,
                                 2.04817989410512,     0.563387333036317,    -1.41557352934107,
                                 0.0422441761088319,   0.105497207572399};
    double k = 0.0;
    for (int i = 0; i < 11; ++i) k += w[i] / (f[i] * f[i]) * kuzmin_kappa(p.b, p.e, f[i] * p.s, x, y);
    return k;
  }));
  rows.push_back(Row("gaus", "gaus", {1.0, 0.3, 1.0, 0, 0}, gaus_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("gausT", {1.0, 0.3, 1.0, 0, 0}, gaus_k, "gaus", gaus, 0.7, 0.8));

  // ---- Jaffe, Hernquist, Burkert: projections of their densities ----
  const auto jaffe_k = projected_profile(
      [](const Par& p, double r) { return p.b * std::pow(p.s, 3) / (r * r * (r + p.s) * (r + p.s)); },
      [](const Par&) { return 4.0; });
  const auto hern_k = projected_profile(
      [](const Par& p, double r) { return p.b * std::pow(p.s, 3) / (r * std::pow(r + p.s, 3)); },
      [](const Par&) { return 4.0; });
  rows.push_back(Row("jaffe", "jaffe", {1.0, 0.3, 1.0, 0, 0}, jaffe_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("jaffeT", {1.0, 0.3, 1.0, 0, 0}, jaffe_k, "jaffe", jaffe, 0.7, 0.8));
  rows.push_back(Row("hern", "hern", {1.0, 0.3, 1.0, 0, 0}, hern_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("hernT", {1.0, 0.3, 1.0, 0, 0}, hern_k, "hern", hern, 0.7, 0.8));
  // rho = (b/s) / ((1 + r/s)(1 + r^2/s^2)): its projection at the centre is b pi/2, the
  // class's kappa~(0).
  const auto burkert_k = projected_profile(
      [](const Par& p, double r) {
        const double x = r / p.s;
        return p.b / p.s / ((1 + x) * (1 + x * x));
      },
      [](const Par&) { return 3.0; });
  rows.push_back(Row("burkert", "burkert", {1.0, 0.3, 1.0, 0, 0}, burkert_k).tolerances(kNumerical));
  // Circular, with its potential (potflag 1).
  rows.push_back(Row("burkert_circular", "burkert", {1.0, 0, 1.0, 0, 0}, burkert_k).tolerances(kNumerical));

  // ---- NFW family ----
  const auto nfw_k = projected_profile(nfw_rho, [](const Par&) { return 3.0; });
  rows.push_back(Row("nfw", "nfw", {1.0, 0.3, 1.0, 0, 0}, nfw_k).tolerances(kNumerical));
  rows.push_back(tabulated_row("nfwT", {1.0, 0.3, 1.0, 0, 0}, nfw_k, "nfw", nfw, 0.7, 0.8));
  // Circular and cut at r = a: the NFW convergence inside, nothing outside.
  rows.push_back(Row("tnfw2", "tnfw2", {1.0, 0, 0.6, 1.0, 0},
                     [nfw_k](const Par& p, double x, double y) {
                       return std::hypot(x, y) <= p.a ? nfw_k(p, x, y) : 0.0;
                     })
                     .circular_only(kCircularOnly));
  // The NFW density times (t^2/(t^2 + (r/s)^2))^n, t = parameter 9, n = parameter 10.
  const auto tnfw3_k = projected_profile(
      [](const Par& p, double r) {
        const double t2 = p.a * p.a, x = r / p.s;
        return nfw_rho(p, r) * std::pow(t2 / (t2 + x * x), p.al);
      },
      [](const Par& p) { return 3.0 + 2.0 * p.al; });
  rows.push_back(Row("tnfw3_n1", "tnfw3", {1.0, 0, 0.8, 3.0, 1}, tnfw3_k));
  rows.push_back(Row("tnfw3_n2", "tnfw3", {1.0, 0, 0.8, 3.0, 2}, tnfw3_k));
  // Laplacian of the elliptical potential 2 b s^2 h(xi/s).
  rows.push_back(Row("nfwpot", "nfwpot", {1.0, 0.3, 1.0, 0, 0}, [](const Par& p, double x, double y) {
    const double q2 = std::pow(1 - p.e, 2), xi = elliptical_radius(p.e, x, y), X = xi / p.s, F = nfw_F(X);
    const double h1 = 2 * (std::log(X / 2) + F) / X, h2 = 2 * (1 - F) / (X * X - 1) - h1 / X;
    const double f1 = 2 * p.b * p.s * h1, f2 = 2 * p.b * h2;  // d/dxi and d2/dxi2
    const double gx = x / xi, gy = y / (q2 * xi);
    const double lap_xi = 1 / xi - x * x / (xi * xi * xi) + 1 / (q2 * xi) - y * y / (q2 * q2 * xi * xi * xi);
    return 0.5 * (f2 * (gx * gx + gy * gy) + f1 * lap_xi);
  }));
  const auto nfwcusp_k = projected_profile(
      [](const Par& p, double r) {
        return p.b * p.s * p.s * std::pow(r, -p.al) * std::pow(r + p.s, p.al - 3);
      },
      [](const Par&) { return 3.0; });
  // A slope away from the closed forms: the deflection and convergence are integrals too
  // (two points and inttol 1e-7 keep the row fast).
  rows.push_back(Row("nfwcusp", "nfwcusp", {1.0, 0.3, 1.0, 0, 0.7}, nfwcusp_k)
                     .tolerances(kNumerical)
                     .integrals(1e-7)
                     .at({{0.55, 0.35}, {1.7, -0.8}}));
  rows.push_back(tabulated_row("nfwcuspT", {1.0, 0.3, 1.0, 0, 2}, nfwcusp_k, "nfwcusp", nfwcusp, 0.7, 0.8));

  // ---- two-slope profiles ----
  const auto cusp_k = projected_profile(
      [](const Par& p, double r) {
        return p.b * std::pow(p.s, p.a - 2) / (2 * kPi) * std::pow(r, -p.al) *
               std::pow(p.s * p.s + r * r, (p.al - p.a) / 2);
      },
      [](const Par& p) { return p.a; });
  rows.push_back(
      Row("cusp", "cusp", {1.0, 0.3, 1.0, 4.0, 1.5}, cusp_k).tolerances(kNumerical).integrals(1e-7));
  // Inner index 1, where the textbook closed forms meet a pole of the Gamma function (its
  // potential integrand near the centre is itself an integral: two points keep it fast).
  rows.push_back(Row("cusp_inner1", "cusp", {1.0, 0.3, 1.0, 4.0, 1.0}, cusp_k)
                     .tolerances(kNumerical)
                     .integrals(1e-7)
                     .at({{0.55, 0.35}, {1.7, -0.8}}));
  // Two points at nearby angles keep the table of the slowest twin small.
  rows.push_back(tabulated_row("cuspT", {1.0, 0.3, 1.0, 4.0, 1.5}, cusp_k, "cusp", cusp, 0.7, 0.8)
                     .at({{0.55, 0.35}, {1.7, -0.8}}));
  // kappa = b 2^((beta - gamma)/aN) xi^-gamma (1 + xi^aN)^((gamma - beta)/aN): aN = p8,
  // beta = p9, gamma = p10, the break at xi = 1.
  const auto nuker_k = [](const Par& p, double x, double y) {
    const double xi = elliptical_radius(p.e, x, y), aN = p.s, be = p.a, ga = p.al;
    return p.b * std::pow(2.0, (be - ga) / aN) * std::pow(xi, -ga) *
           std::pow(1 + std::pow(xi, aN), (ga - be) / aN);
  };
  rows.push_back(Row("nuker", "nuker", {1.0, 0.3, 2.0, 3.0, 0.5}, nuker_k).tolerances(kNumerical));
  // A soft break, (beta - 2)/aN = 3.3: beyond the domain of the textbook Gamma functions.
  rows.push_back(Row("nuker_soft_break", "nuker", {1.0, 0.3, 0.3, 3.0, 0.5}, nuker_k).tolerances(kNumerical));

  // ---- disks ----
  // Uniform disk of semi-major axis a with a hole of semi-major axis s: b/q between them.
  rows.push_back(Row("unidisk", "unidisk", {1.0, 0.3, 0.35, 1.2, 0},
                     [](const Par& p, double x, double y) {
                       const double xi = elliptical_radius(p.e, x, y);
                       return xi > p.s && xi < p.a ? p.b / (1 - p.e) : 0.0;
                     })
                     .at({{0.15, 0.1}, {0.55, 0.35}, {-0.6, 1.05}, {1.7, -0.8}})
                     .without_potential("no potential outside the disk: potflag 1 is refused there"));
  rows.push_back(Row("kuzdisk", "kuzdisk", {1.0, 0.3, 0.5, 0, 0},
                     [](const Par& p, double x, double y) { return kuzmin_kappa(p.b, p.e, p.s, x, y); }));

  // ---- maps and tables ----
  // Length scale 1.6: the points and their differences stay inside the map.
  rows.push_back(Row("kapmap", "kapmap", {0.9, 0.2, 0, 1.6, 1}, kapmap_kappa)
                     .tolerances(kMap)
                     .at(kMidPoints)
                     .with_setup(kapmap_setup));
  // "tab" serves the first table, here one of the isothermal ellipsoid with b_t = 1.25,
  // s_t = 0.15, rescaled by b/b_t in mass and s/s_t in length: kappa = (b/b_t) kappa_t(x s_t/s).
  rows.push_back(Row("tab", "tab", {0.8, 0.3, 0.2, 0, 0},
                     [](const Par& p, double x, double y) {
                       const double f = 0.15 / p.s;
                       return p.b / 1.25 * alpha_kappa(1.25, p.e, 0.15, 0, 1, x * f, y * f);
                     })
                     .from_table()
                     .with_setup([](const SetupCtx& c) {
                       table_setup(c, "alpha", modelclass::alpha, {1.25, c.p.e, 0.15, 0, 1}, c.p.s);
                     }));
  return rows;
}

const std::vector<Row>& rows() {
  static const std::vector<Row> r = make_rows();
  return r;
}

// ---------------------------------------------------------------------------------------
// Loading and evaluating.

using Out = std::array<double, 8>;  // [1..7] as potdefmag returns them

Out pdm(double x, double y) {
  Out o{};
  potdefmag(x, y, o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
  return o;
}

void set_component(int i, const std::string& cls, const Par& p, double cx, double cy, double te, double gamma,
                   double tg) {
  setID(i, cls);
  const double v[11] = {0, p.b, cx, cy, p.e, te, gamma, tg, p.s, p.a, p.al};
  for (int k = 1; k <= 10; ++k) setp(i, k, v[k]);
}

// The row's model with ellipticity e at placement pl (companions turned and moved with it).
void load_row(const Row& r, double e, const Placement& pl) {
  TWgal.allocate(1 + static_cast<int>(r.companions.size()));
  Par p = r.p;
  p.e = e;
  set_component(1, r.cls, p, pl.cx, pl.cy, pl.te, kGamma, pl.tg);
  const double c = std::cos(pl.te * kPi / 180), s = std::sin(pl.te * kPi / 180);
  for (size_t k = 0; k < r.companions.size(); ++k) {
    const Companion& m = r.companions[k];
    const double cx = pl.cx + c * m.dx - s * m.dy, cy = pl.cy + s * m.dx + c * m.dy;
    set_component(static_cast<int>(k) + 2, m.cls, m.p, cx, cy, m.te + pl.te, 0.0, pl.tg);
  }
}

// Image-plane point of the component-frame point pt (length units) at placement pl: the
// inverse of x' = -sin t dx + cos t dy, y' = -cos t dx - sin t dy.
Pt image_point(const Pt& pt, const Placement& pl) {
  const double c = std::cos(pl.te * kPi / 180), s = std::sin(pl.te * kPi / 180);
  return {pl.cx - s * pt[0] - c * pt[1], pl.cy + c * pt[0] - s * pt[1]};
}

// |got - want| <= tol * scale, with a message naming the check.
void expect_close(double got, double want, double scale, double tol, const std::string& what) {
  EXPECT_LE(std::fabs(got - want), tol * scale)
      << what << ": got " << got << ", want " << want << ", relative error " << std::fabs(got - want) / scale;
}

double deflection_size(const Out& o) { return std::hypot(o[2], o[3]); }
double hessian_size(const Out& o) { return std::sqrt(o[4] * o[4] + o[5] * o[5] + o[6] * o[6] + o[7] * o[7]); }

// The three parts of two evaluations agree: the potential relative to the row's potential
// scale (it has an arbitrary zero, and may vanish at a point), the deflection relative to
// its size, the second derivatives relative to theirs.
void expect_same_field(const Out& got, const Out& want, double pot_scale, double tol,
                       const std::string& what) {
  const double sa = deflection_size(want), sh = hessian_size(want);
  expect_close(got[1], want[1], pot_scale, tol, what + " phi");
  for (int k = 2; k <= 3; ++k) expect_close(got[k], want[k], sa, tol, what + " phi_" + (k == 2 ? "x" : "y"));
  static const char* const kName[8] = {"", "", "", "", "phi_xx", "phi_yy", "phi_xy", "phi_yx"};
  for (int k = 4; k <= 7; ++k) expect_close(got[k], want[k], sh, tol, what + " " + kName[k]);
}

// ---------------------------------------------------------------------------------------

class ClassContract : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    saved_settings_ = settings;
    saved_warnings_ = TWtabwarn;
    saved_quiet_ = quietflag;
    InitModels();
    settings = Settings();
    settings.potflag = 1;
    settings.inttol = 1e-6;
    settings.alphanorm = 1;
    settings.intshrmode = 1;
    settings.maxrgstr = 5;
    settings.clumpmode = 0;
    quietflag = 0;
    TWmod = LensState();
    TWrgstr = RegisterTable();
    TWclump = ClumpState();
    TWtrack = DominanceTrack();
    LOS = LOSPlanes();
    ellipse = ellipse1;
    tablist.clear();
    TWtabwarn.reset();
    reset_kapmaps();
    for (double& c : TWspecial.foldcaus_dat) c = 0.0;
  }
  void TearDown() override {
    tablist.clear();
    reset_kapmaps();
    for (double& c : TWspecial.foldcaus_dat) c = 0.0;
    TWgal.allocate(0);
    settings = saved_settings_;
    TWtabwarn = saved_warnings_;
    quietflag = saved_quiet_;
  }

 private:
  Settings saved_settings_;
  TabWarningCounters saved_warnings_;
  int saved_quiet_ = 0;
};

std::string point_name(size_t n) { return "point " + std::to_string(n + 1); }

// Finite differences and Poisson's relation at the component-frame point pt of the loaded
// (moved and rotated) row; returns the field there.
Out check_derivatives(const Row& r, const Pt& pt, const std::string& where) {
  const Pt P = image_point(pt, kMoved);
  const Out o = pdm(P[0], P[1]);
  // Sixth-order central differences along x and along y, steps -3h .. 3h.
  static const int kStep[6] = {-3, -2, -1, 1, 2, 3};
  static const double kWeight[6] = {-1, 9, -45, 45, -9, 1};  // over 60 h
  const double h = r.tol.h * std::hypot(pt[0], pt[1]);
  Out s[2][6];
  for (int ax = 0; ax < 2; ++ax)
    for (int j = 0; j < 6; ++j) {
      const double step = kStep[j] * h;
      s[ax][j] = pdm(P[0] + (ax == 0 ? step : 0), P[1] + (ax == 1 ? step : 0));
    }
  auto d = [&](int ax, int k) {
    double sum = 0.0;
    for (int j = 0; j < 6; ++j) sum += kWeight[j] * s[ax][j][k];
    return sum / (60 * h);
  };
  const double sa = deflection_size(o), sh = hessian_size(o);
  if (r.potential) {
    expect_close(d(0, 1), o[2], sa, r.tol.fd, where + ": d phi/dx against phi_x");
    expect_close(d(1, 1), o[3], sa, r.tol.fd, where + ": d phi/dy against phi_y");
  }
  expect_close(d(0, 2), o[4], sh, r.tol.fd, where + ": d phi_x/dx against phi_xx");
  expect_close(d(1, 3), o[5], sh, r.tol.fd, where + ": d phi_y/dy against phi_yy");
  expect_close(d(1, 2), o[6], sh, r.tol.fd, where + ": d phi_x/dy against phi_xy");
  expect_close(d(0, 3), o[7], sh, r.tol.fd, where + ": d phi_y/dx against phi_yx");
  if (r.kappa) {
    const double k = r.kappa(r.p, pt[0], pt[1]);
    expect_close((o[4] + o[5]) / 2, k, std::fmax(std::fabs(k), sh / 2), r.tol.poisson, where + ": Poisson");
  }
  return o;
}

// The unrotated row at the origin, turned by R(kTheta), against the moved and rotated one.
void check_rotation(const Row& r, const std::vector<Out>& moved, double pot_scale) {
  load_row(r, r.p.e, kOrigin);
  const double c = std::cos(kTheta * kPi / 180), s = std::sin(kTheta * kPi / 180);
  const double R[2][2] = {{c, -s}, {s, c}};
  for (size_t n = 0; n < r.points.size(); ++n) {
    const Pt P0 = image_point(r.points[n], kOrigin);
    const Out o = pdm(P0[0], P0[1]);
    Out turned{};
    turned[1] = o[1];
    turned[2] = c * o[2] - s * o[3];
    turned[3] = s * o[2] + c * o[3];
    // J' = R J R^T with J = [[phi_xx, phi_xy], [phi_yx, phi_yy]] (J_ij = d alpha_i/d x_j).
    const double J[2][2] = {{o[4], o[6]}, {o[7], o[5]}};
    double T[2][2] = {};
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 2; ++k)
          for (int l = 0; l < 2; ++l) T[i][j] += R[i][k] * J[k][l] * R[j][l];
    turned[4] = T[0][0];
    turned[5] = T[1][1];
    turned[6] = T[0][1];
    turned[7] = T[1][0];
    expect_same_field(moved[n], turned, pot_scale, r.tol.rot, point_name(n) + ": rotated and moved");
  }
}

// Ellipticities 1e-7 and (unless the class is circular only) 2e-6 against exactly 0.
void check_circular_limit(const Row& r, double pot_scale) {
  std::vector<Out> round;
  load_row(r, 0.0, kMoved);
  for (const Pt& pt : r.points) {
    const Pt P = image_point(pt, kMoved);
    round.push_back(pdm(P[0], P[1]));
  }
  std::vector<double> es = {1e-7};
  if (r.circ == Row::kBoth) es.push_back(2e-6);
  for (double e : es) {
    load_row(r, e, kMoved);
    for (size_t n = 0; n < r.points.size(); ++n) {
      const Pt P = image_point(r.points[n], kMoved);
      char what[64];
      std::snprintf(what, sizeof what, ": e = %g against 0", e);
      expect_same_field(pdm(P[0], P[1]), round[n], pot_scale, r.tol.circ + 10 * e, point_name(n) + what);
    }
  }
}

TEST_P(ClassContract, DerivativesPoissonCircularLimitAndRotation) {
  const Row& r = GetParam();
  ScratchDir dir;
  CaptureOutput capture;
  settings.potflag = r.potential ? 1 : 0;
  settings.inttol = r.inttol;
  try {
    if (r.setup) r.setup(SetupCtx{r.p, r.points, 3 * r.tol.h, &dir});
    if (HasFatalFailure()) return;
    load_row(r, r.p.e, kMoved);
    std::vector<Out> moved;
    // Differences and Poisson, and the row's potential scale: the largest |phi| + r |alpha|
    // over its points.
    double pot_scale = 0.0;
    for (size_t n = 0; n < r.points.size(); ++n) {
      const Pt& pt = r.points[n];
      moved.push_back(check_derivatives(r, pt, point_name(n)));
      const double size = std::fabs(moved[n][1]) + std::hypot(pt[0], pt[1]) * deflection_size(moved[n]);
      pot_scale = std::fmax(pot_scale, size);
    }
    check_rotation(r, moved, pot_scale);
    if (r.circ != Row::kNone) check_circular_limit(r, pot_scale);
  } catch (const FatalError& e) {
    ADD_FAILURE() << "ERROR: " << e.message;
  }
  // No class warns at its representative parameters, and a tabulated class never falls
  // back on its numerical twin here.
  const std::string out = capture.text();
  EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  if (r.tabulated) {
    for (const auto& per_class : TWtabwarn.n)
      for (int n : per_class) EXPECT_EQ(n, 0) << "a lookup fell back on the numerical class";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryClass, ClassContract, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.label; });

// Adding a class adds a row: every registered class has one, every row names a registered
// class, and every check a row leaves out is given a reason.
TEST(ClassContractTable, CoversEveryRegisteredClass) {
  InitModels();
  std::set<std::string> in_rows;
  for (const Row& r : rows()) in_rows.insert(r.cls);
  std::set<std::string> registered;
  for (const ModelClass& m : modlist()) registered.insert(m.name);
  for (const std::string& name : registered) EXPECT_TRUE(in_rows.count(name)) << "no row for class " << name;
  for (const std::string& name : in_rows) EXPECT_TRUE(registered.count(name)) << "no class " << name;
  EXPECT_EQ(registered.size(), 51u);
  // A check that does not apply says why.
  for (const Row& r : rows()) {
    EXPECT_TRUE(r.kappa || !r.no_poisson.empty()) << r.label;
    EXPECT_TRUE(r.potential || !r.no_potential.empty()) << r.label;
    EXPECT_TRUE(r.circ == Row::kBoth || !r.circ_note.empty()) << r.label;
  }
}

}  // namespace
