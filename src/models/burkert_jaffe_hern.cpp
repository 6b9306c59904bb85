// Burkert, Jaffe and Hernquist profiles on the numerical elliptical pattern, with their
// tabulated twins.
//
// Units: b is the convergence scale, s the scale radius, X = r/s (or xi/s); the
// convergence of a component is b kappa~(X) and the circular deflection b s D(X). F(X) is
// the NFW auxiliary function.
//
// Sources: the densities of Burkert 1995, ApJ 447, L25, Jaffe 1983, MNRAS 202, 995 and
// Hernquist 1990, ApJ 356, 359, projected along the line of sight; the convergence and
// deflection of each are written out at its profile.
#include "models/burkert_jaffe_hern.h"

#include <cmath>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// Coefficient f_k = (-1)^k/(2k + 1) of F as a power series in g = X^2 - 1:
// F = sum_k f_k g^k for |g| < 1 (arctan(sqrt g)/sqrt g continued below g = 0).
inline double fcoef(int k) { return (k % 2 ? -1.0 : 1.0) / (2.0 * k + 1.0); }

// F(X) where a difference with its logarithmic part matters: below X = 1 (away from the
// series near 1) artanh(sqrt(1 - X^2)) is written as ln((1 + sqrt(1 - X^2))/X), which
// keeps the digits that artanh of an argument close to 1 loses.
inline double F_exact(double X) {
  const double d = X * X - 1.0;
  if (X >= 0.01 && d <= -0.01) {
    const double c = std::sqrt(-d);
    return std::log((1.0 + c) / X) / c;
  }
  return nfwFfunc(X);
}

// ---- Burkert ----

// artanh(1/f) with f = sqrt(X^2 + 1), written as ln((f + 1)/X): exact where 1/f is close
// to 1 (small X), where artanh(1/f) itself would lose half its digits.
inline double burk_artanh(double X, double f) { return std::log((f + 1.0) / X); }

double burkert0phir_F(double X, double F) {
  if (X == 0.0) return 0.0;
  const double a = std::sqrt(X * X + 1.0), am1 = X * X / (a + 1.0);
  if (X < 0.5) {
    // The closed form's bracket is O(X^2) while its terms are O(ln X). With q = sqrt(1 -
    // X^2), F = ln((1 + q)/X)/q and artanh(1/a) = ln((1 + a)/X), it is
    //   S = (2 - a - q) ln(X/2) + a ln((1 + a)/2) + q ln((1 + q)/2) + (a - 1) pi/2,
    // with 2 - a - q = 2 X^4/((a + q)(1 + q)(1 + a)), a = 1 + A and q = 1 - B (A, B
    // ~ X^2/2): every term keeps its digits, and the leading (pi/2) A is exact.
    const double q = std::sqrt((1.0 - X) * (1.0 + X)), B = X * X / (1.0 + q);
    const double c = 2.0 * X * X * X * X / ((a + q) * (1.0 + q) * (1.0 + a));
    const double S = c * std::log(X / 2.0) + (1.0 + am1) * std::log1p(0.5 * am1) + (1.0 - B) * std::log1p(-0.5 * B) +
                     kHalfPi * am1;
    return 2.0 * S / X;
  }
  return (2.0 / X) * (a * burk_artanh(X, a) + 2.0 * std::log(X / 2.0) + am1 * kHalfPi - (X * X - 1.0) * F);
}

// Closed-form kappa~ of the Burkert profile (every X > 0). Beyond X = 2, where the
// closed form cancels (kappa~ ~ 2/X^2 against terms ~ pi/(2X)), with q = sqrt(X^2 - 1) and
// F = (pi/2 - atan(1/q))/q: kappa~ = artanh(1/f)/f + atan(1/q)/q - pi/(f q (f + q)).
inline double burk_kappa_closed(double X, double F) {
  const double f = std::sqrt(X * X + 1.0);
  if (X > 2.0) {
    const double q = std::sqrt((X - 1.0) * (X + 1.0));
    return std::atanh(1.0 / f) / f + std::atan(1.0 / q) / q - kPi / (f * q * (f + q));
  }
  return (burk_artanh(X, f) + kHalfPi) / f - F;
}

// kappa~ and d kappa~/d(X^2) with the three branches of the elliptical integrand.
void burk_kappa_F(double X, double F, double& k, double& kp) {
  const double X2 = X * X, g = X2 - 1.0;
  if (std::fabs(g) < 1e-4) {
    k = 0.733946 - 0.350153 * g + 0.181307 * g * g - 0.0993543 * g * g * g;
    // The derivative of the series above (d kappa~/dg = -0.350153 at X = 1).
    kp = -0.350153 + 0.362615 * g - 0.298063 * g * g;
  } else if (X2 >= 1e-5) {
    const double f = std::sqrt(X2 + 1.0), f2 = f * f, f3 = f2 * f, at = burk_artanh(X, f);
    k = burk_kappa_closed(X, F);
    kp = -(kPi / 4.0) / f3 - 1.0 / (2.0 * X2 * f2) - at / (2.0 * f3) - (1.0 - X2 * F) / (2.0 * X2 * g);
  } else {
    const double L = std::log(X2);
    k = kHalfPi + (L / 2.0 - 0.978545) * X2 + 0.589049 * X2 * X2;
    kp = L / 2.0 - 0.478545 + 1.1781 * X2;
  }
}

struct BurkertProfile : EllipticalProfile<BurkertProfile> {
  static constexpr const char* kZeroScaleError = "Burkert scale radius cannot be zero";
  double s, is2;
  explicit BurkertProfile(const CurrentComponent& c) : s(c.ss), is2(1.0 / (c.ss * c.ss)) {}
  double lower_limit() const { return 1e-8; }
  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    const double X = xi / s, F = F_exact(X);
    if (want_D) D = s * burkert0phir_F(X, F);
    burk_kappa_F(X, F, k, kp);
    kp *= is2;
  }
  // Circular forms: the closed-form convergence at every X. The potential is the pattern's
  // integral of the deflection from the centre (zero there, like the elliptical one).
  void circular(double r, double& D, double& k) const {
    const double X = r / s, F = F_exact(X);
    D = s * burkert0phir_F(X, F);
    k = burk_kappa_closed(X, F);
  }
};

// ---- Jaffe ----

// Above X = 2, where 2 pi - 4 X F and the closed convergence cancel (by about X and X^2),
// they are written with q = sqrt(X^2 - 1), t = atan(1/q): 4 X F = 2 pi X/q - 4 X t/q, so
// D = 4 X t/q - 2 pi/(q (q + X)); and kappa~ = 2 F/q^2 + 2 (t - 1/q)/q - pi/(X q (X + q)),
// with t - 1/q summed as its series in 1/q.
constexpr double kJaffeFar = 2.0;
inline double jaffe_far_D(double X) {
  const double q = std::sqrt((X - 1.0) * (X + 1.0));
  return 4.0 * X * std::atan(1.0 / q) / q - 2.0 * kPi / (q * (q + X));
}
inline double jaffe_far_kappa(double X, double F) {
  const double q = std::sqrt((X - 1.0) * (X + 1.0)), z = 1.0 / q, z2 = z * z;
  double d = 0.0;  // atan(z) - z = sum_(n>=1) (-1)^n z^(2n+1)/(2n + 1), z <= 0.58
  for (int n = 40; n >= 1; --n) d = (n % 2 ? -1.0 : 1.0) / (2 * n + 1) + z2 * d;
  d *= z2 * z;
  return 2.0 * F * z2 + 2.0 * d * z - kPi / (X * q * (X + q));
}
inline double jaffe0phir_F(double X, double F) {
  if (X == 0.0) return 0.0;
  if (X > kJaffeFar) return jaffe_far_D(X);
  return 2.0 * kPi - 4.0 * X * F;
}

// Near X = 1 (|h| < 0.05, h = X^2 - 1) kappa~ and its derivative are summed from the
// series of F: kappa~ = pi (1 + h)^(-1/2) - 2 sum_(k>=1) (f_(k-1) - f_k) h^(k-1). The
// closed forms divide by h^2 and would lose up to ten digits of the derivative there; the
// series agrees with the short series 0.474926 - 0.50413 h + ... to its printed digits.
void jaffe_kappa_F(double X, double F, double& k, double& kp) {
  const double X2 = X * X, h = X2 - 1.0;
  if (std::fabs(h) >= 0.05) {
    k = X > kJaffeFar ? jaffe_far_kappa(X, F) : kPi / X + 2.0 * (1.0 - (2.0 - X2) * F) / (1.0 - X2);
    kp = (2.0 * X * (X2 + 2.0 + X2 * F * (X2 - 4.0)) - kPi * h * h) / (2.0 * X * X2 * h * h);
    return;
  }
  const double r = 1.0 / std::sqrt(1.0 + h);
  double sk = 0.0, skp = 0.0, hp = 1.0, hq = 0.0;  // hp = h^(j-1), hq = h^(j-2)
  for (int j = 1; j <= 60; ++j) {
    const double c = fcoef(j - 1) - fcoef(j);
    sk += c * hp;
    skp += (j - 1) * c * hq;
    hq = hp;
    hp *= h;
    if (std::fabs(hq) < 1e-18) break;
  }
  k = kPi * r - 2.0 * sk;
  kp = -0.5 * kPi * r * r * r - 2.0 * skp;
}

// The convergence diverges like pi/X at the centre (inner slope 1): the integrals are taken
// in t with u = t^2, in which the integrands are finite and the end point u = 0 is never
// evaluated.
struct JaffeProfile : EllipticalProfile<JaffeProfile> {
  static constexpr const char* kZeroScaleError = "Jaffe scale radius cannot be zero";
  double s, is2;
  explicit JaffeProfile(const CurrentComponent& c) : s(c.ss), is2(1.0 / (c.ss * c.ss)) {}
  double u_power() const { return 2.0; }
  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    const double X = xi / s, F = nfwFfunc(X);
    if (want_D) D = s * jaffe0phir_F(X, F);
    jaffe_kappa_F(X, F, k, kp);
    kp *= is2;
  }
  // Circular forms: the second radial derivative B = 4N (F - 1)/(X^2 - 1) (series near
  // X = 1) stands for 2 N kappa~ - A, so kappa~ = (B/N + D/X)/2.
  void circular(double r, double& D, double& k) const {
    if (r == 0.0) {  // the potential integrand at the centre: the limit of D
      D = 2.0 * kPi * s;
      k = HUGE_VAL;
      return;
    }
    const double X = r / s, F = nfwFfunc(X), v = X * X - 1.0;
    const double d = jaffe0phir_F(X, F);
    D = s * d;
    if (X > kJaffeFar) {
      k = jaffe_far_kappa(X, F);
      return;
    }
    const double BN = -4.0 * nfw_one_minus_F_over_g(v, F);
    k = 0.5 * (BN + d / X);
  }
};

// ---- Hernquist ----

inline double hern0phir_F(double X, double F) {
  if (X == 0.0) return 0.0;
  return 2.0 * X * nfw_one_minus_F_over_g(X * X - 1.0, F);
}

// Near X = 1 (|g| < 0.3) kappa~ = sum_(k>=2) (f_(k-1) + 3 f_k) g^(k-2) and its derivative
// are summed from the series of F: the closed derivative divides by g^3 and would keep
// only three digits at |g| = 1e-4. The series is the continuation of 4/15 - (8/35) g + ...
void hern_series(double g, double& k, double& kp) {
  k = 0.0;
  kp = 0.0;
  double gp = 1.0, gq = 0.0;  // g^(j-2), g^(j-3)
  for (int j = 2; j <= 60; ++j) {
    const double c = fcoef(j - 1) + 3.0 * fcoef(j);
    k += c * gp;
    kp += (j - 2) * c * gq;
    gq = gp;
    gp *= g;
    if (std::fabs(gq) < 1e-18) break;
  }
}

void hern_kappa_F(double X, double F, double& k, double& kp) {
  const double X2 = X * X, g = X2 - 1.0;
  if (std::fabs(g) >= 0.3) {  // the series below: (X^2 + 2) F - 3 cancels to g^2 / 4
    k = ((X2 + 2.0) * F - 3.0) / (g * g);
    kp = (13.0 * X2 + 2.0 - 3.0 * X2 * (X2 + 4.0) * F) / (2.0 * X2 * g * g * g);
  } else {
    hern_series(g, k, kp);
  }
}

struct HernProfile : EllipticalProfile<HernProfile> {
  static constexpr const char* kZeroScaleError = "Hernquist scale radius cannot be zero";
  double s, is2;
  explicit HernProfile(const CurrentComponent& c) : s(c.ss), is2(1.0 / (c.ss * c.ss)) {}
  double lower_limit() const { return settings.inttol; }
  double potential_lower_limit() const { return settings.inttol * s; }
  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    const double X = xi / s, F = nfwFfunc(X);
    if (want_D) D = s * hern0phir_F(X, F);
    hern_kappa_F(X, F, k, kp);
    kp *= is2;
  }
  // Circular forms: kappa~ as in the integrand (closed, or the series near X = 1, which
  // continues 4/15 - (16/35) v + ... in v = X - 1).
  void circular(double r, double& D, double& k) const {
    const double X = r / s, F = nfwFfunc(X);
    D = s * hern0phir_F(X, F);
    double kp;
    hern_kappa_F(X, F, k, kp);
  }
};

TabulatedClass g_burkertT{TAB_burkertT, "burkertT", TableRef("burkert"), modelclass::burkert,
                          TabScaling::Standard, false};
TabulatedClass g_jaffeT{TAB_jaffeT, "jaffeT", TableRef("jaffe"), modelclass::jaffe, TabScaling::Standard, false};
TabulatedClass g_hernT{TAB_hernT, "hernT", TableRef("hern"), modelclass::hern, TabScaling::Standard, false};

}  // namespace

// ---------------------------------------------------------------------------------------

double burkert0phir(double X) { return X == 0.0 ? 0.0 : burkert0phir_F(X, F_exact(X)); }
double jaffe0phir(double X) { return X == 0.0 ? 0.0 : jaffe0phir_F(X, nfwFfunc(X)); }
double hern0phir(double X) { return X == 0.0 ? 0.0 : hern0phir_F(X, nfwFfunc(X)); }

void burkert_kappa(double X, double& k, double& dk) { burk_kappa_F(X, F_exact(X), k, dk); }
void jaffe_kappa(double X, double& k, double& dk) { jaffe_kappa_F(X, nfwFfunc(X), k, dk); }
void hern_kappa(double X, double& k, double& dk) { hern_kappa_F(X, nfwFfunc(X), k, dk); }

void burkertT(DerivVector& out, double x, double y) { tabulated_class(g_burkertT, out, x, y); }

double burk_rho(double) { fatal("I don't think we should be here."); }
double burk_M(double) { fatal("I don't think we should be here."); }

namespace modelclass {

void burkert(DerivVector& out, double x, double y) { radial_profile_class<BurkertProfile>(out, x, y); }
void jaffe(DerivVector& out, double x, double y) { radial_profile_class<JaffeProfile>(out, x, y); }
void jaffeT(DerivVector& out, double x, double y) { tabulated_class(g_jaffeT, out, x, y); }
void hern(DerivVector& out, double x, double y) { radial_profile_class<HernProfile>(out, x, y); }
void hernT(DerivVector& out, double x, double y) { tabulated_class(g_hernT, out, x, y); }

double jaffe_rho(double r) {
  const double b = cur.b, s = cur.ss;
  return b * s * s * s / (r * r * (r + s) * (r + s));
}

double jaffe_M(double r) {
  const double b = cur.b, s = cur.ss;
  if (r / s <= 10000.0) return 4.0 * kPi * b * s * s * r / (r + s);
  const double y = s / r;
  return 4.0 * kPi * b * s * s * (1.0 - y + y * y - y * y * y);
}

double hern_rho(double r) {
  const double b = cur.b, s = cur.ss;
  return b * s * s * s / (r * (r + s) * (r + s) * (r + s));
}

double hern_M(double r) {
  const double b = cur.b, s = cur.ss;
  return 2.0 * kPi * b * s * s * r * r / ((r + s) * (r + s));
}

}  // namespace modelclass
