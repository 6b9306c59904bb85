// The cusped NFW profile: "nfwcusp", "nfwcuspT", nfwcusp_rho, nfwcusp_M.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/registry.h"
#include "models/tab.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

using Fn = void (*)(DerivVector&, double, double);

void set_cur(double b, double e, double s, double al) {
  settings = Settings();
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.verbose = 1;
  cur = CurrentComponent();
  cur.b = b;
  cur.ep = e;
  cur.ss = s;
  cur.al = al;
}

DerivVector eval(Fn f, double x, double y) {
  DerivVector o;
  f(o, x, y);
  return o;
}

// Composite Gauss-Legendre quadrature of f over [0, 1] (20 points per panel).
long double gl_integral(const std::function<long double(long double)>& f, int panels) {
  static long double x[20], w[20];
  static bool ready = false;
  if (!ready) {
    for (int i = 0; i < 20; ++i) {
      long double z = std::cos(kPi * (i + 0.75L) / 20.5L), pp = 0;
      for (int it = 0; it < 100; ++it) {
        long double p1 = 1, p2 = 0;
        for (int j = 1; j <= 20; ++j) {
          const long double p3 = p2;
          p2 = p1;
          p1 = ((2 * j - 1) * z * p2 - (j - 1) * p3) / j;
        }
        pp = 20 * (z * p1 - p2) / (z * z - 1);
        const long double dz = p1 / pp;
        z -= dz;
        if (std::fabs(static_cast<double>(dz)) < 1e-19) break;
      }
      x[i] = (1 - z) / 2;
      w[i] = 1 / ((1 - z * z) * pp * pp);
    }
    ready = true;
  }
  long double sum = 0;
  for (int k = 0; k < panels; ++k)
    for (int i = 0; i < 20; ++i) sum += f((k + x[i]) / panels) * w[i] / panels;
  return sum;
}

// The 3-d density b s^2 r^-al (r + s)^(al-3).
long double rho(long double r, double b, double s, double al) {
  return b * s * s * std::pow(r, -al) * std::pow(r + s, al - 3);
}

// Independent projections of the 3-d density (critical density 1):
//   Sigma(R) = 2 int_0^inf rho(sqrt(R^2 + z^2)) dz, with z = R tan(pi t/2);
//   M2d(R) = int 4 pi r^2 rho(r) g(r) dr, g = 1 inside R and 1 - sqrt(1 - R^2/r^2) outside
//   (inside with r = R t^m, m = 2/(3 - al); outside with r = R/sin(pi t/2)).
double ref_sigma(double R, double b, double s, double al) {
  return static_cast<double>(gl_integral(
      [=](long double t) {
        const long double th = kPi * t / 2, c = std::cos(th);
        if (c <= 0) return 0.0L;
        const long double z = R * std::tan(th);
        return 2 * rho(std::sqrt(R * R + z * z), b, s, al) * R * (kPi / 2) / (c * c);
      },
      120));
}
double ref_alpha(double R, double b, double s, double al) {
  const double m = 2 / (3 - al);
  const long double in = gl_integral(
      [=](long double t) {
        if (t <= 0) return 0.0L;
        const long double r = R * std::pow(t, m);
        return 4 * kPi * r * r * rho(r, b, s, al) * R * m * std::pow(t, m - 1);
      },
      120);
  const long double out = gl_integral(
      [=](long double t) {
        const long double th = kPi * t / 2, v = std::sin(th);
        if (v <= 0) return 0.0L;
        const long double r = R / v;
        const long double c = std::cos(th);
        return 4 * kPi * r * r * rho(r, b, s, al) * (1 - c) * R * c / (v * v) * (kPi / 2);
      },
      120);
  return static_cast<double>((in + out) / (kPi * R));
}

// Central differences: potential -> deflection and deflection -> second derivatives.
void expect_fd(Fn f, double x, double y, double h, double tol) {
  const DerivVector o = eval(f, x, y);
  const DerivVector xp = eval(f, x + h, y), xm = eval(f, x - h, y);
  const DerivVector yp = eval(f, x, y + h), ym = eval(f, x, y - h);
  const double sc = std::fabs(o[2]) + std::fabs(o[3]) + std::fabs(o[4]) + std::fabs(o[5]);
  EXPECT_NEAR(o[2], (xp[1] - xm[1]) / (2 * h), tol * sc) << "phi_x at " << x << "," << y;
  EXPECT_NEAR(o[3], (yp[1] - ym[1]) / (2 * h), tol * sc) << "phi_y at " << x << "," << y;
  EXPECT_NEAR(o[4], (xp[2] - xm[2]) / (2 * h), tol * sc) << "phi_xx at " << x << "," << y;
  EXPECT_NEAR(o[5], (yp[3] - ym[3]) / (2 * h), tol * sc) << "phi_yy at " << x << "," << y;
  EXPECT_NEAR(o[6], (yp[2] - ym[2]) / (2 * h), tol * sc) << "phi_xy at " << x << "," << y;
  EXPECT_NEAR(o[6], (xp[3] - xm[3]) / (2 * h), tol * sc) << "phi_yx at " << x << "," << y;
}

}  // namespace

// Circular deflection and convergence of every branch against the projections of the 3-d
// density: the closed forms to their precision, the general slopes to that of their inner
// integrals (Romberg and the hypergeometric series stop at 1e-6), the fitted convergence
// of slope 1.5 within its 1%.
TEST(Nfwcusp, CircularFieldsAreTheProjectedDensity) {
  const double b = 0.6, s = 1.4;
  for (double al : {0.0, 0.3, 1.0, 1.0002, 1.5, 2.0, 2.4, 2.9}) {
    const bool closed = al == 0.0 || al == 1.0 || al == 2.0;
    set_cur(b, 0, s, al);
    for (double x : {0.003, 0.05, 0.5, 0.995, 1.0, 1.004, 3.0, 30.0}) {
      const double R = x * s;
      const DerivVector o = eval(modelclass::nfwcusp, 0.6 * R, -0.8 * R);
      const double alpha = std::hypot(o[2], o[3]), kappa = 0.5 * (o[4] + o[5]);
      const double ra = ref_alpha(R, b, s, al), rk = ref_sigma(R, b, s, al);
      EXPECT_NEAR(alpha, ra, (closed ? 1e-7 : 2e-5) * ra) << "al " << al << " x " << x;
      EXPECT_NEAR(kappa, rk, (al == 1.5 ? 1e-2 : closed ? 1e-7 : 2e-5) * rk) << "al " << al << " x " << x;
    }
  }
}

// With slope 1 the class is the NFW profile: circular deflections as "nfw", elliptical
// fields within the integration tolerance, the same 3-d mass.
TEST(Nfwcusp, ReducesToNfwAtSlopeOne) {
  for (double e : {0.0, 0.3}) {
    for (auto [x, y] : {std::pair{0.05, 0.02}, {0.7, -0.4}, {3.0, 2.0}}) {
      set_cur(0.8, e, 1.2, 1.0);
      const DerivVector c = eval(modelclass::nfwcusp, x, y), n = eval(modelclass::nfw, x, y);
      const double sc = std::fabs(n[2]) + std::fabs(n[3]) + std::fabs(n[4]) + std::fabs(n[5]);
      for (int k = 2; k <= 6; ++k) EXPECT_NEAR(c[k], n[k], (e == 0 ? 1e-12 : 2e-5) * sc) << k;
      EXPECT_NEAR(c[1], n[1], 2e-5 * std::fabs(n[1]));
    }
  }
  set_cur(0.8, 0, 1.2, 1.0);
  for (double r : {0.01, 1.0, 50.0}) EXPECT_NEAR(modelclass::nfwcusp_M(r), modelclass::nfw_M(r), 1e-12 * modelclass::nfw_M(r));
  // 1.00005 takes the closed forms (exactly slope 1), 1.0002 the integrals (near it).
  const DerivVector one = eval(modelclass::nfwcusp, 0.7, 0.3);
  cur.al = 1.00005;
  const DerivVector near = eval(modelclass::nfwcusp, 0.7, 0.3);
  cur.al = 1.0002;
  const DerivVector gen = eval(modelclass::nfwcusp, 0.7, 0.3);
  for (int k = 2; k <= 6; ++k) {
    EXPECT_EQ(near[k], one[k]);
    EXPECT_NE(gen[k], one[k]);
    EXPECT_NEAR(gen[k], one[k], 1e-3 * std::fabs(one[k]));
  }
}

// Each set of closed forms joins its small-x and near-1 forms at x = 0.01 and
// |x^2 - 1| = 0.01: deflection over r, phi_xx (2 kappa - A) and phi_yy (A) on the x axis.
TEST(Nfwcusp, ClosedFormsJoinAtTheirSwitches) {
  for (double al : {0.0, 1.0, 2.0}) {
    set_cur(1.0, 0, 1.0, al);
    for (double xs : {0.01, std::sqrt(0.99), std::sqrt(1.01)}) {
      const DerivVector lo = eval(modelclass::nfwcusp, xs * (1 - 1e-12), 0);
      const DerivVector hi = eval(modelclass::nfwcusp, xs * (1 + 1e-12), 0);
      for (int k : {2, 4, 5}) EXPECT_NEAR(lo[k], hi[k], 1e-7 * std::fabs(hi[k])) << "al " << al << " x " << xs << " k " << k;
    }
  }
}

// Poisson's relation and central differences, elliptical and circular, for closed and
// general slopes (the fitted slope 1.5 within its 1%).
TEST(Nfwcusp, PoissonAndFiniteDifferences) {
  for (double al : {0.0, 0.4, 1.0, 1.5, 2.0, 2.6}) {
    for (double e : {0.0, 0.3}) {
      const double b = 0.9, s = 1.1, q = 1 - e;
      for (auto [x, y] : {std::pair{0.2, 0.1}, {1.3, -0.8}}) {
        set_cur(b, e, s, al);
        const DerivVector o = eval(modelclass::nfwcusp, x, y);
        // kappa of the circular component at the elliptical radius
        set_cur(b, 0, s, al);
        const double xi = std::sqrt(x * x + y * y / (q * q));
        const DerivVector c = eval(modelclass::nfwcusp, xi, 0);
        const double kappa = 0.5 * (c[4] + c[5]);
        EXPECT_NEAR(0.5 * (o[4] + o[5]), kappa, (al == 1.5 && e > 0 ? 1e-2 : 2e-5) * kappa) << al << " " << e;
        set_cur(b, e, s, al);
        settings.inttol = 1e-9;
        SCOPED_TRACE(::testing::Message() << "al " << al << " e " << e);
        expect_fd(modelclass::nfwcusp, x, y, 1e-3, al == 1.5 ? 1e-2 : 2e-5);
      }
    }
  }
}

// The integrals start at the centre, where the convergence and (al > 2) the deflection
// are infinite: the integrands stay finite, and a steep cusp still gives its projection
// (the potential through its differences); an extreme one (2.95) still gives finite
// fields.
TEST(Nfwcusp, SteepCuspsIntegrateFromTheCentre) {
  for (double al : {2.5, 2.95}) {
    set_cur(0.5, 0, 1.0, al);
    const DerivVector o = eval(modelclass::nfwcusp, 0.3, 0.4);
    for (int k = 1; k <= 6; ++k) EXPECT_TRUE(std::isfinite(o[k]));
    cur.ep = 0.4;
    const DerivVector el = eval(modelclass::nfwcusp, 0.3, 0.4);
    for (int k = 1; k <= 6; ++k) EXPECT_TRUE(std::isfinite(el[k])) << k;
  }
  // phi(r) - phi(r/2) = int alpha dr
  set_cur(0.5, 0, 1.0, 2.5);
  const double r = 0.5;
  const DerivVector o = eval(modelclass::nfwcusp, 0.3, 0.4), half = eval(modelclass::nfwcusp, 0.15, 0.2);
  const double ref = static_cast<double>(
      gl_integral([&](long double t) { return ref_alpha(r / 2 + t * r / 2, 0.5, 1.0, 2.5) * r / 2; }, 2));
  EXPECT_NEAR(o[1] - half[1], ref, 1e-5 * ref);
}

TEST(Nfwcusp, ErrorsAndCentre) {
  set_cur(1, 0.2, 0, 1.5);
  EXPECT_EQ(fatal_message([] { eval(modelclass::nfwcusp, 1, 1); }), "Cusp scale radius cannot be zero");
  for (double al : {3.0, -0.1, std::nan("")}) {
    set_cur(1, 0.2, 1, al);
    EXPECT_EQ(fatal_message([] { eval(modelclass::nfwcusp, 1, 1); }), "nfwcusp slope is out of acceptable range [0,3)")
        << al;
    const DerivVector z = eval(modelclass::nfwcusp, 0, 0);  // r = 0: zeros before the check
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(z[k], 0.0);
  }
  set_cur(0, 0.2, 0, 5);
  for (Fn f : {modelclass::nfwcusp, modelclass::nfwcuspT}) {
    const DerivVector z = eval(f, 1, 1);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(z[k], 0.0);
  }
  // nfwcuspT never stops on s = 0: it runs with 1e-4 (no table: the numerical route).
  tablist.clear();
  TWtabwarn.reset();
  set_cur(1, 0.2, 0, 1.5);
  CaptureOutput cap;
  const DerivVector t = eval(modelclass::nfwcuspT, 2e-4, 1e-4);
  EXPECT_EQ(cur.ss, 1e-4);
  EXPECT_TRUE(std::isfinite(t[2]) && t[2] > 0);
}

// 3-d density and mass: the mass is the integral of the density, its closed forms agree
// with the general hypergeometric form at nearby slopes; both are registered for both
// classes.
TEST(Nfwcusp, DensityAndMass) {
  for (double al : {0.0, 0.5, 0.8, 1.0, 1.5, 2.0, 2.5, 2.7}) {
    set_cur(0.7, 0, 1.3, al);
    for (double r : {0.05, 1.3, 40.0}) {
      const double m = 2 / (3 - al);
      const double ref = static_cast<double>(gl_integral(
          [&](long double t) {
            if (t <= 0) return 0.0L;
            const long double rr = r * std::pow(t, m);
            return 4 * kPi * rr * rr * rho(rr, 0.7, 1.3, al) * r * m * std::pow(t, m - 1);
          },
          400));
      const bool closed = al == 0.0 || al == 0.5 || al == 1.0 || al == 1.5 || al == 2.0 || al == 2.5;
      EXPECT_NEAR(modelclass::nfwcusp_M(r), ref, (closed ? 1e-7 : 3e-6) * ref) << al << " " << r;
      EXPECT_NEAR(modelclass::nfwcusp_rho(r), static_cast<double>(rho(r, 0.7, 1.3, al)), 1e-14 * modelclass::nfwcusp_rho(r));
    }
  }
  for (double al : {0.5, 1.5, 2.5}) {
    set_cur(0.7, 0, 1.3, al);
    const double closed = modelclass::nfwcusp_M(2.0);
    cur.al = al - 0.0011;
    const double below = modelclass::nfwcusp_M(2.0);
    cur.al = al + 0.0011;
    const double above = modelclass::nfwcusp_M(2.0);
    EXPECT_NEAR(closed, 0.5 * (below + above), 1e-5 * closed) << al;
  }
  InitModels();
  for (const char* name : {"nfwcusp", "nfwcuspT"}) {
    const ModelClass* m = FindModelClass(name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->density, modelclass::nfwcusp_rho);
    EXPECT_EQ(m->mass, modelclass::nfwcusp_M);
  }
}

// nfwcuspT against its numerical twin on a table's nodes; a table made for another slope
// is refused.
TEST(Nfwcusp, TabulatedTwin) {
  tablist.clear();
  TWtabwarn.reset();
  LensTable& t = AddTab();
  t.name = "nfwcusp";
  t.b = 1.0;
  t.s = 1.0;
  t.alpha = 1.6;
  const double lo[3] = {0.1, 0.2, 0.0}, hi[3] = {0.4, 2.2, 90.0};
  const int cnt[3] = {4, 5, 4};
  t.set_axes(lo, hi, cnt);
  set_cur(1.0, 0, 1.0, 1.6);
  for (int i = 1; i <= 4; ++i) {
    cur.ep = t.node(TAB_E, i);
    for (int j = 1; j <= 5; ++j)
      for (int l = 1; l <= 4; ++l) {
        const double r = t.node(TAB_R, j), th = t.node(TAB_T, l) * kPi / 180;
        const DerivVector o = eval(modelclass::nfwcusp, r * std::cos(th), r * std::sin(th));
        for (int k = 0; k < 6; ++k) t.at(k, i, j, l) = o[k + 1];
      }
  }
  set_cur(2.0, 0.2, 0.5, 1.6);
  const double r = 0.5 * 1.7, th = 60 * kPi / 180;
  const DerivVector tt = eval(modelclass::nfwcuspT, r * std::cos(th), r * std::sin(th));
  const DerivVector nn = eval(modelclass::nfwcusp, r * std::cos(th), r * std::sin(th));
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(tt[k], nn[k], 5e-5 * (std::fabs(nn[k]) + std::fabs(nn[2]))) << k;
  cur.al = 1.2;
  CaptureOutput cap;
  const DerivVector t12 = eval(modelclass::nfwcuspT, 0.5, 0.2);
  EXPECT_EQ(cap.text(), "WARNING: nfwcuspT table was made for another shape parameter\n"
                        "         Using numerical solution instead.\n");
  const DerivVector n12 = eval(modelclass::nfwcusp, 0.5, 0.2);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(t12[k], n12[k]);
  tablist.clear();
}
