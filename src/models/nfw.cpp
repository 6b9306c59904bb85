// The NFW family: "nfw" (numerical elliptical pattern with circular closed forms), "nfwT"
// (tabulated), "nfwpot" (elliptical potential), "tnfw2" (projected NFW cut at a radius) and
// "tnfw3" (NFW with a smooth three-dimensional truncation).
//
// Units: b is the convergence scale kappa_s (3-d density b s^2/(r (r + s)^2) with the
// critical surface density 1), s the scale radius, X = r/s.
//
// Sources: the density of Navarro, Frenk & White 1996, ApJ 462, 563; its lensing
// convergence, deflection and potential of Bartelmann 1996, A&A 313, 697 and Wright & Brainerd
// 2000, ApJ 534, 34; the smoothly truncated profile of Baltz, Marshall & Oguri 2009, JCAP 01, 015.
#include <cmath>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

inline double one_minus_F_over_g(double g, double F) { return nfw_one_minus_F_over_g(g, F); }

// ---- "nfw" as a profile of the numerical elliptical pattern ----
struct NfwProfile : EllipticalProfile<NfwProfile> {
  static constexpr const char* kZeroScaleError = "NFW scale radius cannot be zero";
  double s, is2;

  explicit NfwProfile(const CurrentComponent& c) : s(c.ss), is2(1.0 / (c.ss * c.ss)) {}
  double lower_limit() const { return 1e-8; }

  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    const double X = xi / s;
    const double F = nfwFfunc(X);
    if (want_D) D = s * nfw0phir_F(X, F);
    const double X2 = X * X, g = X2 - 1.0;
    if (std::fabs(g) >= 1e-4) {
      k = 2.0 * one_minus_F_over_g(g, F);
      kp = (3.0 * X2 * F - 2.0 * X2 - 1.0) * is2 / (X2 * g * g);
    } else {
      k = 2.0 / 3.0 - 0.4 * g + (2.0 / 7.0) * g * g - (2.0 / 9.0) * g * g * g;
      kp = (-0.4 + (4.0 / 7.0) * g - (2.0 / 3.0) * g * g + (8.0 / 11.0) * g * g * g) * is2;
    }
  }

  // Circular forms: the near-X = 1 branch is a series in v = X - 1.
  void circular(double r, double& D, double& k) const {
    const double X = r / s;
    const double F = nfwFfunc(X);
    D = s * nfw0phir_F(X, F);
    const double v = X - 1.0;
    if (std::fabs(v) >= 1e-4)
      k = 2.0 * one_minus_F_over_g(v * (X + 1.0), F);
    else
      k = 2.0 * (1.0 / 3.0 - 0.4 * v + (13.0 / 35.0) * v * v - (20.0 / 63.0) * v * v * v);
  }
  bool circular_potential(double r, double& phi) const {
    phi = 2.0 * s * s * nfw_hfunc(r / s);
    return true;
  }
};

TabulatedClass g_nfwT{TAB_nfwT, "nfwT", TableRef("nfw"), modelclass::nfw, TabScaling::Standard, false};

}  // namespace

// ---------------------------------------------------------------------------------------
// Shared NFW functions

// The quotient where 1 - F keeps its digits, its series sum_n (-g)^n/(2n + 3) below
// |g| = 0.05 (terms to g^13, below 1e-18 there).
double nfw_one_minus_F_over_g(double g, double F) {
  if (std::fabs(g) >= 0.05) return (1.0 - F) / g;
  double sum = 0.0;
  for (int n = 13; n >= 0; --n) sum = 1.0 / (2 * n + 3) - g * sum;
  return sum;
}

// F(X) = atanh(sqrt(1 - X^2))/sqrt(1 - X^2) below X = 1, atan(sqrt(X^2 - 1))/sqrt(X^2 - 1)
// above. Below X = 0.5 as ln((1 + q)/X)/q, q = sqrt(1 - X^2): the inverse hyperbolic
// tangent of a q that rounds near 1 would lose digits at small X. Near X = 1 its series in
// d = X^2 - 1 (terms to d^8, below 1e-18 for |d| < 0.01).
double nfwFfunc(double x) {
  if (std::fabs(x) < 0.5) {
    const double ax = std::fabs(x), q = std::sqrt((1.0 - ax) * (1.0 + ax));
    return std::log((1.0 + q) / ax) / q;
  }
  const double d = (x - 1.0) * (x + 1.0);
  if (std::fabs(d) < 0.01) {
    double sum = 0.0;
    for (int n = 8; n >= 0; --n) sum = 1.0 / (2 * n + 1) - d * sum;
    return sum;
  }
  if (x >= 1.0) {
    const double q = std::sqrt(d);
    return std::atan(q) / q;
  }
  const double q = std::sqrt(-d);
  return std::atanh(q) / q;
}

// 4 (ln(X/2) + F)/X. Below X = 0.5 the two terms cancel (F ~ ln(2/X)); with q = sqrt(1 - X^2)
// and l = ln(2/X), F - l = l X^2/(q (1 + q)) + ln(1 - X^2/(2 (1 + q)))/q, two terms that keep
// their digits (F is then not read).
double nfw0phir_F(double X, double F) {
  if (X == 0.0) return 0.0;
  if (X >= 0.5) return 4.0 * (std::log(X / 2.0) + F) / X;
  const double q = std::sqrt((1.0 - X) * (1.0 + X)), X2 = X * X, w = X2 / (1.0 + q);
  const double diff = (std::log(2.0 / X) * w + std::log1p(-0.5 * w)) / q;
  return 4.0 * diff / X;
}

double nfw0phir(double X) {
  if (X == 0.0) return 0.0;
  return nfw0phir_F(X, nfwFfunc(X));
}

// h(X) = ln^2(X/2) - atanh^2(q) below X = 1, q = sqrt(1 - X^2), written as the product
// (ln(X/2) + atanh q)(ln(X/2) - atanh q) = ln(1 - X^2/(2(1 + q))) ln(X^2/(2(1 + q))), whose
// first factor the difference of squares would lose at small X.
double nfw_hfunc(double X) {
  const double L = std::log(X / 2.0);
  if (X < 1.0) {
    const double q = std::sqrt((1.0 - X) * (1.0 + X)), w = X * X / (2.0 * (1.0 + q));
    return std::log1p(-w) * std::log(w);
  }
  if (X > 1.0) {
    const double a = std::atan(std::sqrt(X * X - 1.0));
    return L * L + a * a;
  }
  const double a = std::atanh(std::sqrt(1.0 - X * X));
  return L * L - a * a;
}

// The closed branches of h(X) at every X > 0 (no small-X series).
static double nfw_hfunc_closed(double X) {
  const double L = std::log(X / 2.0);
  if (X > 1.0) {
    const double a = std::atan(std::sqrt(X * X - 1.0));
    return L * L + a * a;
  }
  const double a = std::atanh(std::sqrt(1.0 - X * X));
  return L * L - a * a;
}

namespace modelclass {

// ---------------------------------------------------------------------------------------
// "nfw", "nfwT"

void nfw(DerivVector& out, double x, double y) { radial_profile_class<NfwProfile>(out, x, y); }

void nfwT(DerivVector& out, double x, double y) { tabulated_class(g_nfwT, out, x, y); }

double nfw_rho(double r) {
  const double s = cur.ss;
  return cur.b * s * s / (r * (r + s) * (r + s));
}

double nfw_M(double r) {
  const double s = cur.ss;
  return 4.0 * kPi * cur.b * s * s * (std::log((r + s) / s) - r / (r + s));
}

// ---------------------------------------------------------------------------------------
// "nfwpot": the elliptical potential b s^2 o(xi/s), o = 2 h, xi^2 = x^2 + y^2/q^2.

void nfwpot(DerivVector& out, double x, double y) {
  const double b = cur.b, s = cur.ss;
  if (b == 0.0) return;
  if (s == 0.0) fatal("NFW scale radius cannot be zero");
  const double q = 1.0 - cur.ep, q2 = q * q;
  const double xi = std::sqrt(x * x + y * y / q2);
  if (xi == 0.0) return;
  // o = 2 h(X), l = o' = 4 (ln(X/2) + F)/X and m = o'' = 2 kappa~ - l/X (the radial
  // Laplacian is twice the convergence), each in the form that keeps its digits: the small-X
  // series and the 0/0 of m's closed form at X = 1 lose up to twelve.
  const double X = xi / s, F = nfwFfunc(X);
  const double o = 2.0 * nfw_hfunc(X), l = nfw0phir_F(X, F);
  const double m = 4.0 * nfw_one_minus_F_over_g((X - 1.0) * (X + 1.0), F) - l / X;
  const double p1 = b * s * l, p2 = b * m;
  const double xi2 = xi * xi, xi3 = xi2 * xi;
  out[1] = b * s * s * o;
  out[2] = p1 * x / xi;
  out[3] = p1 * y / (q2 * xi);
  out[4] = p1 * y * y / (q2 * xi3) + p2 * x * x / xi2;
  out[5] = p1 * x * x / (q2 * xi3) + p2 * y * y / (q2 * q2 * xi2);
  out[6] = -p1 * x * y / (q2 * xi3) + p2 * x * y / (q2 * xi2);
}

// ---------------------------------------------------------------------------------------
// "tnfw2": projected NFW cut sharply at the radius a; circular only.

void tnfw2(DerivVector& out, double x, double y) {
  const double b = cur.b, s = cur.ss, a = cur.aa;
  if (b == 0.0) return;
  if (s == 0.0) fatal("NFW scale radius cannot be zero");
  if (a == 0.0) fatal("NFW truncation radius cannot be zero");
  const double r = std::sqrt(x * x + y * y);
  if (r == 0.0) return;
  if (std::fabs(cur.ep) >= 1e-6) fatal("for now, tnfw2 model must be circular");
  const double c = x / r, d = y / r;
  const double tau = a / s, Da = nfw0phir(tau);
  double A, B, phi;
  if (r > a) {
    A = b * s * a * Da / (r * r);
    B = -A;
    phi = b * s * a * Da * std::log(r);
  } else {
    const double X = r / s, F = nfwFfunc(X);
    A = b * nfw0phir_F(X, F) / X;
    const double v = X - 1.0;
    // 2 (1 - F)/(X^2 - 1), summed as its series near X = 1 where the quotient cancels.
    const double kc = 2.0 * nfw_one_minus_F_over_g(v * (X + 1.0), F);
    B = 2.0 * b * kc - A;
    phi = 2.0 * b * s * s * nfw_hfunc(X) + b * s * a * Da * std::log(a) - 2.0 * b * s * s * nfw_hfunc_closed(tau);
  }
  if (settings.potflag == 1) out[1] = phi;
  circular_out(out, A, B, x, y, c, d);
}

// ---------------------------------------------------------------------------------------
// "tnfw3": NFW density times (t^2/(t^2 + (r/s)^2))^n, n = 1 or 2, t = a (a ratio).

void tnfw3(DerivVector& out, double xx, double yy) {
  const double b = cur.b, s = cur.ss, t = cur.aa;
  if (b == 0.0) return;
  if (std::fabs(cur.ep) > 1e-4) fatal("tnfw3 model must be circular");
  if (s == 0.0) fatal("tnfw3 scale radius cannot be zero");
  if (t == 0.0) fatal("tnfw3 truncation ratio cannot be zero");
  const double r = std::sqrt(xx * xx + yy * yy);
  if (r == 0.0) return;
  const double c = xx / r, d = yy / r;
  const double x = r / s;
  int n;
  if (std::fabs(cur.al - 1.0) <= 0.01)
    n = 1;
  else if (std::fabs(cur.al - 2.0) <= 0.01)
    n = 2;
  else
    fatal("unknown value of the truncation power in tnfw3 model");

  const bool want_pot = settings.potflag == 1;
  const double t2 = t * t, t4 = t2 * t2, P = 1.0 + t2, lnt = std::log(t), lnx = std::log(x);
  double m, kappa, psi = 0.0;
  if (x > 1e-4) {
    const double F = nfwFfunc(x), S = std::sqrt(t2 + x * x), L = std::log(x / (t + S));
    const double v = x * x - 1.0, S2 = S * S;
    const double omF_v = one_minus_F_over_g(v, F);  // (1 - F)/v
    if (n == 1) {
      const double P2 = P * P;
      m = (t2 / P2) * ((2.0 * v + P) * F + kPi * t + (t2 - 1.0) * lnt + S * ((t2 - 1.0) * L / t - kPi));
      kappa = (2.0 * b * t2 / P2) * ((t2 - 1.0) * L / (t * S) + P * omF_v + 2.0 * F - kPi / S);
      if (want_pot)
        psi = (1.0 / P2) *
              (2.0 * kPi * t2 * (t - S + t * std::log(t + S)) + 2.0 * (t2 - 1.0) * t * S * L +
               t2 * (t2 - 1.0) * L * L + 4.0 * t2 * v * F + t2 * (t2 - 1.0) * v * F * F +
               ((t2 - 1.0) * lnt - t2 - 1.0) * t2 * 2.0 * lnx -
               t2 * ((t2 - 1.0) * lnt * std::log(4.0 * t) + 2.0 * std::log(t / 2.0) -
                     2.0 * t * (t - kPi) * std::log(2.0 * t)));
    } else {
      const double P3 = P * P * P, t3 = t2 * t, S3 = S2 * S, l2t = std::log(2.0 * t), ln2 = std::log(2.0);
      m = (t4 / (2.0 * P3)) *
          (2.0 * (4.0 * v + P) * F + ((3.0 * t2 - 1.0) * kPi + 2.0 * t * (t2 - 3.0) * lnt) / t +
           (-kPi * t3 * (4.0 * S2 - t2 - 1.0) + (S2 * (3.0 * t4 - 6.0 * t2 - 1.0) - t2 * (t4 - 1.0)) * L) /
               (t3 * S));
      kappa = (b * t4 / P3) *
              (2.0 * P * omF_v + 8.0 * F + (t4 - 1.0) / (t2 * S2) - kPi * (4.0 * S2 + t2 + 1.0) / S3 +
               (t2 * (t4 - 1.0) + S2 * (3.0 * t4 - 6.0 * t2 - 1.0)) * L / (t3 * S3));
      if (want_pot)
        psi = (1.0 / (2.0 * P3)) *
              (2.0 * kPi * t3 * ((3.0 * t2 - 1.0) * std::log(t + S) - 4.0 * t * S) +
               2.0 * (3.0 * t4 - 6.0 * t2 - 1.0) * t * S * L + 2.0 * t4 * (t2 - 3.0) * L * L +
               16.0 * t4 * v * F + 2.0 * t4 * (t2 - 3.0) * v * F * F +
               (2.0 * t2 * (t2 - 3.0) * lnt - 3.0 * t4 - 2.0 * t2 + 1.0) * t2 * 2.0 * lnx +
               2.0 * t2 *
                   ((4.0 * kPi * t + (t2 - 3.0) * ln2 * ln2 + 8.0 * ln2) * t2 -
                    (t2 * (t2 - 3.0) * l2t - 3.0 * t4 + 6.0 * t2 + 1.0) * l2t - kPi * t * (3.0 * t2 - 1.0) * l2t));
    }
  } else {
    const double x2 = x * x;
    if (n == 1) {
      const double P2 = P * P;
      m = (x2 / (4.0 * P2)) * (-2.0 * kPi * t + 2.386294361119891 + 2.772588722239781 * t2 +
                               0.3862943611198906 * t4 - 2.0 * (t2 - 1.0) * lnt - 2.0 * P2 * lnx);
      kappa = -(2.0 * b / P2) *
              ((t2 - 1.0) * lnt + std::log(x / 2.0) +
               t * (kPi - 0.3862943611198906 * t + 0.3068528194400547 * t2 * t + (t2 + 2.0) * t * lnx));
      if (want_pot)
        psi = (x2 / (2.0 * P2)) * (-kPi * t + 1.6931471805599454 + 2.386294361119891 * t2 +
                                   0.6931471805599453 * t4 - (t2 - 1.0) * lnt - P2 * lnx);
    } else {
      const double P3 = P * P * P, l2t = std::log(2.0 * t), t6 = t4 * t2;
      m = (x2 / (4.0 * P3)) * (-kPi * t * (5.0 * t2 + 1.0) +
                               t2 * (8.931471805599454 * t2 + 3.0 + 0.3862943611198906 * t4) +
                               (6.0 * t2 + 2.0 - 4.0 * t4) * l2t - 2.0 * P3 * lnx);
      kappa = -(b / P3) * (kPi * t + 1.0 + 15.707963267948966 * t2 * t - 5.931471805599453 * t4 +
                           0.6137056388801094 * t6 + (4.0 * t4 - 6.0 * t2 - 2.0) * l2t + 2.0 * P3 * lnx);
      if (want_pot)
        psi = (x2 / (4.0 * P3)) * (1.0 - kPi * t + 6.0 * t2 - 15.707963267948966 * t2 * t +
                                   11.931471805599454 * t4 + 1.3862943611198906 * t6 +
                                   (6.0 * t2 + 2.0 - 4.0 * t4) * l2t - 2.0 * P3 * lnx);
    }
  }
  const double alpha = 4.0 * b * s * m / x;
  const double G = 4.0 * b * m / (x * x) - kappa;
  const double cd2 = c * c - d * d;
  if (want_pot) out[1] = 2.0 * b * s * s * psi;
  out[2] = alpha * c;
  out[3] = alpha * d;
  out[4] = kappa - cd2 * G;
  out[5] = kappa + cd2 * G;
  out[6] = -2.0 * G * c * d;
}

}  // namespace modelclass
