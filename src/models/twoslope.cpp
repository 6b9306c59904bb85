// Two-slope profiles on the numerical elliptical pattern: "nuker" and "cusp", and the
// tabulated "cuspT".
//
// The closed forms are written so that they stay finite and accurate for every valid
// parameter set, including those where the textbook forms meet poles of the Gamma
// function (integer combinations of the slopes):
//  - the "nuker" deflection is an incomplete Beta function B_v(a, k), summed by series
//    in v or in 1 - v, which need no Gamma function at all;
//  - the "cusp" hypergeometric functions go through the connection formula with 1/Gamma
//    continued to 0 at its poles, or through the logarithmic limit form near them; where
//    the small-radius deflection form has cancelling poles (inner index an odd integer
//    <= 1) the deflection is the integral of the convergence instead.
//
// Sources: the Nuker law of Lauer et al. 1995, AJ 110, 2622; "cusp" is the two-slope
// density written at its profile below, whose projection and deflection are hypergeometric
// functions of the radius.
#include "models/twoslope.h"

#include <cmath>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "numeric/integrate.h"
#include "numeric/specfunc.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

constexpr double kSqrtPi = 1.7724538509055160273;

// 1/Gamma(z), continued to 0 at the poles.
inline double rgam(double z) {
  if (z <= 0.0 && z == std::floor(z)) return 0.0;
  return 1.0 / std::tgamma(z);
}

// 2F1(a, b; c; z) by its power series, summed to full precision (|z| <= 0.5 here).
double hyp_series(double a, double b, double c, double z) {
  double sum = 1.0, term = 1.0;
  for (int n = 1; n <= 3000; ++n) {
    term *= (a + n - 1) * (b + n - 1) / ((c + n - 1) * n) * z;
    sum += term;
    if (term == 0.0) break;
    const double ratio = std::fabs((a + n) * (b + n) / ((c + n) * (n + 1)) * z);
    if (std::fabs(term) <= 1e-17 * std::fabs(sum) && ratio < 1.0) break;
  }
  return sum;
}

// 2F1(a, b; c; z) for z < 1, with y = 1 - z given exactly by the caller (close to z = 1
// the difference 1 - z would lose the digits that matter): the series for |z| <= 0.5,
// Pfaff's transformation below -0.5, and above 0.5 the connection formula in y with
// 1/Gamma continued at its poles. Where c - a - b lies within 1e-3 of an integer m, the
// logarithmic limit form of hypgeo; for y below 1e-12 (where hypgeo's own 1 - z would
// round to 0) the leading terms of the connection formula, whose next terms are of
// order y ln y.
double hyp(double a, double b, double c, double z, double y) {
  if (z < -0.5) {
    // z/(z - 1) = -z y', y' = 1/(1 - z) = 1/y.
    return std::pow(y, -a) * hyp(a, c - b, c, -z / y, 1.0 / y);
  }
  if (z <= 0.5) return hyp_series(a, b, c, z);
  const double d = c - a - b, m = std::nearbyint(d), e = d - m, gc = std::tgamma(c);
  if (std::fabs(e) < 1e-3) {
    if (y >= 1e-12) return hypgeo(a, b, c, 1.0 - y);
    if (m >= 1.0) return gc * std::tgamma(d) * rgam(c - a) * rgam(c - b);
    if (m <= -1.0) return std::pow(y, d) * gc * std::tgamma(-d) * rgam(a) * rgam(b);
    if (e == 0.0) return gc * rgam(a) * rgam(b) * (2.0 * digamm(1.0) - digamm(a) - digamm(b) - std::log(y));
    return gc * (std::tgamma(d) * rgam(c - a) * rgam(c - b) + std::pow(y, d) * std::tgamma(-d) * rgam(a) * rgam(b));
  }
  double f = 0.0;
  const double r1 = rgam(c - a) * rgam(c - b);
  if (r1 != 0.0) f += gc * std::tgamma(d) * r1 * hyp_series(a, b, 1.0 - d, y);
  const double r2 = rgam(a) * rgam(b);
  if (r2 != 0.0) f += std::pow(y, d) * gc * std::tgamma(-d) * r2 * hyp_series(c - a, c - b, d + 1.0, y);
  return f;
}
inline double hyp(double a, double b, double c, double z) { return hyp(a, b, c, z, 1.0 - z); }

// ---------------------------------------------------------------------------------------
// "nuker": kappa~ = xi^-g (1 + xi^aN)^(-c); the deflection over N is
//   D(xi) = (2/xi) int_0^xi t kappa~ dt = (2/aN) B_v(a, k) / xi,
// with v = xi^aN/(1 + xi^aN), a = (2 - g)/aN, c = (beta - g)/aN, k = c - a, and
// B_v(a, k) = int_0^v t^(a-1) (1 - t)^(k-1) dt (substitute s = t^aN, t = s/(1 + s)).

struct NukerProfile : EllipticalProfile<NukerProfile> {
  static constexpr const char* kZeroScaleError = "NFW scale radius cannot be zero";
  double aN, be, ga, a, c, k, Bhalf, p;

  explicit NukerProfile(const CurrentComponent& cc)
      : aN(cc.ss), be(cc.aa), ga(cc.al), a((2.0 - ga) / aN), c((be - ga) / aN), k(c - a) {
    p = ga > 0.0 && ga < 2.0 ? std::fmax(2.0, 2.0 / (2.0 - ga)) : 2.0;
    Bhalf = ga < 2.0 ? beta_low(std::log(0.5), 0.5) : 0.0;
  }

  // B_v(a, k) for v <= 1/2: v^a sum_n (1 - k)_n/n! v^n/(a + n).
  double beta_low(double lnv, double v) const {
    double coef = 1.0, vn = 1.0, sum = 1.0 / a;
    for (int n = 1; n <= 3000; ++n) {
      coef *= (n - k) / n;
      vn *= v;
      const double term = coef * vn / (a + n);
      sum += term;
      if (coef == 0.0) break;
      if (std::fabs(term) <= 1e-17 * std::fabs(sum) && std::fabs((n + 1 - k) / (n + 1) * v) < 1.0) break;
    }
    return std::exp(a * lnv) * sum;
  }

  // B_v(a, k) at v = t/(1 + t), t = xi^aN.
  double beta_v(double xi, double t) const {
    if (t <= 1.0) return beta_low(aN * std::log(xi) - std::log1p(t), t / (1.0 + t));
    // B_(1/2) + int_(1/2)^v: with y = 1 - v = 1/(1 + t), the integral is
    // sum_n (1 - a)_n/n! ((1/2)^(k+n) - y^(k+n))/(k + n), written through expm1 so that
    // k + n near 0 (the logarithmic case) is exact.
    const double lny = -std::log1p(t), L = std::log(0.5) - lny;
    double coef = 1.0, sum = 0.0;
    for (int n = 0; n <= 3000; ++n) {
      if (n > 0) coef *= (n - a) / n;
      const double m = k + n;
      const double term = m == 0.0 ? coef * L : coef * std::exp(m * lny) * std::expm1(m * L) / m;
      sum += term;
      if (coef == 0.0) break;
      if (n > 0 && std::fabs(term) <= 1e-17 * (std::fabs(sum) + std::fabs(Bhalf)) &&
          std::fabs((n + 1 - a) / (n + 1)) * 0.5 < 1.0 && m > 0.0)
        break;
    }
    return Bhalf + sum;
  }

  double deflection(double xi) const {
    if (xi == 0.0) return 0.0;
    return (2.0 / aN) * beta_v(xi, std::pow(xi, aN)) / xi;
  }

  bool accept(double, double, double) const {
    if (!(ga < 2.0)) fatal("nuker inner slope gamma (parameter 10) must be below 2");
    return true;
  }
  double norm(double b, double q) const { return q * b * std::pow(2.0, c); }
  double u_power() const { return p; }
  double potential_power() const { return p; }

  void radial(double xi, double xi2, bool want_D, double& D, double& kk, double& kp) const {
    const double t = std::pow(xi, aN);
    kk = std::pow(xi, -ga) * std::pow(1.0 + t, -c);
    kp = -kk / (1.0 + t) * (be * t + ga) / (2.0 * xi2);
    if (want_D) D = deflection(xi);
  }
  void circular(double r, double& D, double& kk) const {
    double kp;
    radial(r, r * r, true, D, kk, kp);
  }
};

// ---------------------------------------------------------------------------------------
// "cusp": rho = (b s^(n-2)/2pi) R^-alpha (s^2 + R^2)^((alpha-n)/2); the convergence is
// (b/(2 pi s)) K(xi/s) with K(x) = Bfac1 X1^((1-n)/2) 2F1((n-1)/2, alpha/2; n/2; 1/X1),
// X1 = 1 + x^2.

// True when alpha lies within 0.01 of an odd integer <= 1, where the small-radius forms of
// the deflection have cancelling poles.
bool near_odd_pole(double al) {
  const double m = std::nearbyint((al - 1.0) / 2.0);
  return m <= 0.0 && std::fabs(al - (2.0 * m + 1.0)) < 0.01;
}

struct CuspProfile : EllipticalProfile<CuspProfile> {
  static constexpr const char* kZeroScaleError = "Cusp scale radius cannot be zero";
  double s, n, al, B1, B2, B3, B4, p, pp;
  bool n3, degenerate, exact_n3_a1;

  explicit CuspProfile(const CurrentComponent& cc) : s(cc.ss), n(cc.aa), al(cc.al) {
    // The n = 3 forms are the limit of the general ones, which cancel like 1/(n - 3): with
    // hypergeometric functions summed to full precision the general forms keep about
    // 1e-16/|n - 3| relative, so the limit forms take over only within 1e-8 of n = 3
    // (nearer, they differ from the model by less than 1e-8).
    n3 = std::fabs(n - 3.0) < 1e-8;
    degenerate = near_odd_pole(al);
    exact_n3_a1 = n3 && std::fabs(al - 1.0) <= 1e-12;
    B1 = kSqrtPi * std::tgamma((n - 1.0) / 2.0) * rgam(n / 2.0);
    B2 = n3 ? 0.0 : kSqrtPi * std::tgamma((n - 3.0) / 2.0) * rgam(n / 2.0);
    B3 = n3 ? 0.0 : std::tgamma((n - 3.0) / 2.0) * std::tgamma((3.0 - al) / 2.0) * rgam((n - al) / 2.0);
    B4 = degenerate ? 0.0 : kSqrtPi * std::tgamma((al - 3.0) / 2.0) * rgam(al / 2.0);
    p = std::fmax(2.0, 2.0 / (3.0 - al));
    pp = std::fmax(1.0, 2.0 / (3.0 - al));
  }

  bool accept(double, double, double) const {
    if (!(n > 1.0)) fatal("cusp outer index n (parameter 9) must be greater than 1");
    if (!(al < 3.0)) fatal("cusp inner index alpha (parameter 10) must be below 3");
    return true;
  }
  double norm(double b, double q) const { return q * b / (2.0 * kPi * s); }
  double u_power() const { return p; }

  // K(xi/s) and dK/d(xi^2).
  void kappa(double xi, double& K, double& dK) const {
    const double x = xi / s, X1 = 1.0 + x * x, z = 1.0 / X1, y = x * x / X1;
    const double H1 = hyp((n - 1.0) / 2.0, al / 2.0, n / 2.0, z, y);
    const double H2 = hyp((n + 1.0) / 2.0, al / 2.0 + 1.0, n / 2.0 + 1.0, z, y);
    K = B1 * std::pow(X1, (1.0 - n) / 2.0) * H1;
    dK = (1.0 - n) * (B1 / 2.0) / (s * s) * std::pow(X1, -(n + 3.0) / 2.0) * (X1 * H1 + (al / n) * H2);
  }
  double K_only(double xi) const {
    const double x = xi / s, X1 = 1.0 + x * x;
    return B1 * std::pow(X1, (1.0 - n) / 2.0) * hyp((n - 1.0) / 2.0, al / 2.0, n / 2.0, 1.0 / X1, x * x / X1);
  }

  // (2/xi) int_0^xi t K(t/s) dt by integration, in w with t = xi w^pp.
  double deflection_integral(double xi) const {
    const double I = integrate1([this, xi](double w) {
      if (w <= 0.0) return 0.0;
      const double wp = std::pow(w, pp);
      return wp * wp / w * K_only(xi * wp);  // w^(2 pp - 1) K
    }, 0.0, 1.0);
    return 2.0 * xi * pp * I;
  }

  // Sum of a series sum_(k>=1) t_k with t_k = t_(k-1) ratio(k); stops at the first term
  // k >= 2 below 1e-16 of the sum.
  template <class Ratio>
  static double series(double first, Ratio ratio) {
    double t = first, sum = first;
    for (int k = 2; k <= 300; ++k) {
      t *= ratio(k);
      sum += t;
      if (std::fabs(t) <= 1e-16 * std::fabs(sum)) return sum;
    }
    fatal("in cusp model, series did not converge");
  }

  // Deflection over F inside x = 1 (y = x^2/X1 <= 1/2), in a form without the 1/(n - 3)
  // cancellation of the general one: d = (s/x) [2 B3a R(y) - (1 - y)^a y^((3-alpha)/2) B4
  // 2F1(3/2, (n - alpha)/2; (5 - alpha)/2; y)], a = (n - 3)/2, b = alpha/2, with
  // B3a = (n - 3) B3 / 2 = Gamma((n-1)/2) Gamma((3-alpha)/2) / Gamma((n-alpha)/2) and
  // R(y) = [1 - (1 - y)^a 2F1(a, b; b - 1/2; y)]/a summed term by term (its limit at
  // n = 3 is ln X1 minus the series of the n = 3 form). Not for alpha near an odd
  // integer <= 1, where b - 1/2 meets a pole.
  double deflection_inner(double x) const {
    const double x2 = x * x, X1 = 1.0 + x2, y = x2 / X1, a = (n - 3.0) / 2.0, b = al / 2.0;
    const double L = -std::log(X1);  // ln(1 - y)
    const double aL = a * L, ya = std::exp(aL);
    const double first = aL == 0.0 ? -L : -L * std::expm1(aL) / aL;  // (1 - (1 - y)^a)/a
    double term = 1.0, sum = 0.0;  // term_k = (a + 1)_(k-1) (b)_k / ((b - 1/2)_k k!) y^k
    for (int k = 1; k <= 300; ++k) {
      term *= (k == 1 ? 1.0 : (a + k - 1.0)) * (b + k - 1.0) / ((b - 0.5 + k - 1.0) * k) * y;
      sum += term;
      if (std::fabs(term) <= 1e-17 * (std::fabs(sum) + std::fabs(first))) break;
    }
    const double B3a = std::tgamma((n - 1.0) / 2.0) * std::tgamma((3.0 - al) / 2.0) * rgam((n - al) / 2.0);
    const double R = first - ya * sum;
    const double sing = ya * std::pow(y, (3.0 - al) / 2.0) * B4 * hyp(1.5, (n - al) / 2.0, (5.0 - al) / 2.0, y);
    return (s / x) * (2.0 * B3a * R - sing);
  }

  double deflection(double xi) const {
    if (xi == 0.0) return 0.0;
    const double x = xi / s, x2 = x * x, X1 = 1.0 + x2;
    if (exact_n3_a1) {
      // alpha = 1, n = 3: int_0^x t K dt = 2 [w ln((w + 1)/x) + ln(x/2)], w = sqrt(X1),
      // written without cancellation through w - 1 = x^2/(w + 1).
      const double w = std::sqrt(X1), w1 = x2 / (w + 1.0);
      return (4.0 * s / x) * (w1 * std::log(2.0 / x) + w * std::log1p(w1 / 2.0));
    }
    if (x <= 1.0) {
      if (!degenerate) return deflection_inner(x);
      // Inner index at a pole: the integral of the convergence near the centre, and the
      // general form further out where its cancellation is mild.
      if (x <= 0.1 || std::fabs(n - 3.0) < 0.01) return deflection_integral(xi);
    }
    if (!n3)
      return (s * s / xi) * (2.0 * B3 - std::pow(X1, (3.0 - n) / 2.0) * B2 *
                                            hyp((n - 3.0) / 2.0, al / 2.0, n / 2.0, 1.0 / X1, x2 / X1));
    const double Sp = series(al / 3.0 / X1, [&](int k) {
      return (al / 2.0 + k - 1) / (1.5 + k - 1) / X1 * (k - 1.0) / k;
    });
    return (2.0 * s * s / xi) * (0.03648997397857652 - digamm((3.0 - al) / 2.0) + std::log(X1) - Sp);
  }

  void radial(double xi, double, bool want_D, double& D, double& K, double& dK) const {
    kappa(xi, K, dK);
    if (want_D) D = deflection(xi);
  }
  void circular(double r, double& D, double& K) const {
    K = K_only(r);
    D = deflection(r);
  }
  // Potential over N: int_0^r D = 2 int_0^r t K(t/s) ln(r/t) dt, one integral of the
  // convergence, taken in w with t = r w^pp.
  bool circular_potential(double r, double& phi) const {
    const double I = integrate1([this, r](double w) {
      if (w <= 0.0) return 0.0;
      const double wp = std::pow(w, pp);
      return wp * wp / w * K_only(r * wp) * (-pp * std::log(w));
    }, 0.0, 1.0);
    phi = 2.0 * r * r * pp * I;
    return true;
  }
};

TabulatedClass g_cuspT{TAB_cuspT, "cuspT", TableRef("cusp"), modelclass::cusp, TabScaling::MassOverLength, false};

}  // namespace

// ---------------------------------------------------------------------------------------

double nuker0phir(double x) { return NukerProfile(cur).deflection(x); }

double nuker_hyp(double x) {
  const NukerProfile p(cur);
  if (x == 0.0) return 1.0;
  const double t = std::pow(x, p.aN);
  // 2F1(a, c; a + 1; -t) = a t^-a B_v(a, k).
  return p.a * std::pow(t, -p.a) * p.beta_v(x, t);
}

void nuker_kappa(double x, double& k, double& dk) {
  double D;
  NukerProfile(cur).radial(x, x * x, false, D, k, dk);
}

double cusp0phir(double xi) { return CuspProfile(cur).deflection(xi); }

void cusp_kappa(double& K, double& dK, double xi) { CuspProfile(cur).kappa(xi, K, dK); }

void nukerT(DerivVector&, double, double) { fatal("nukerT has not been implemented"); }

namespace modelclass {

void nuker(DerivVector& out, double x, double y) { radial_profile_class<NukerProfile>(out, x, y); }
void cusp(DerivVector& out, double x, double y) { radial_profile_class<CuspProfile>(out, x, y); }
void cuspT(DerivVector& out, double x, double y) { tabulated_class(g_cuspT, out, x, y); }

double cusp_rho(double R) {
  const double b = cur.b, s = cur.ss, n = cur.aa, al = cur.al;
  return (b * std::pow(s, n - 2.0) / (2.0 * kPi)) * std::pow(R, -al) * std::pow(s * s + R * R, (al - n) / 2.0);
}

double cusp_M(double R) {
  const double b = cur.b, s = cur.ss, n = cur.aa, al = cur.al, A0 = b / (2.0 * kPi * s);
  if (std::fabs(n - 3.0) < 0.001) fatal("cusp_M cannot handle n=3");
  const double f = 4.0 * kPi * A0 / (3.0 - al);
  if (R / s > 10000.0) {
    return f * (std::pow(s, n - 1.0) * ((3.0 - al) / (3.0 - n)) * std::pow(R, 3.0 - n) *
                    (1.0 - (n - al) * (n - 3.0) * s * s / (2.0 * (n - 1.0) * R * R)) +
                s * s * std::tgamma((5.0 - al) / 2.0) * std::tgamma((n - 3.0) / 2.0) * rgam((n - al) / 2.0));
  }
  return f * std::pow(R, 3.0 - al) * std::pow(s, al - 1.0) *
         hyp((3.0 - al) / 2.0, (n - al) / 2.0, (5.0 - al) / 2.0, -R * R / (s * s), 1.0 + R * R / (s * s));
}

}  // namespace modelclass
