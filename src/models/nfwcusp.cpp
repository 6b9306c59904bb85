// The cusped NFW profile: 3-d density b s^2 r^-al (r + s)^(al - 3), 0 <= al < 3, which is the
// NFW density for al = 1. Classes "nfwcusp" (numerical elliptical pattern, lower limit 0,
// N = q b) and "nfwcuspT" (tabulated pattern, table "nfwcusp").
//
// With x = r/s, the deflection over N is D(r) and the dimensionless convergence kappa~(x):
// closed forms for the slopes 0, 1 and 2 (a fitted convergence for 1.5); for any other
// slope both are one-dimensional integrals:
//   D = 4 s x^(2-al) [W(x) + H(x)],  W = int_0^1 ((1 - sqrt(1 - t^2))/t) (t + x)^(al-3) dt,
//   H = x^(al-3) int_0^x t^(2-al) (1 + t)^(al-3) dt  (= 2F1(3-al, 3-al; 4-al; -x)/(3-al)),
//   kappa~ = 2 x^(1-al) [(1 + x)^(al-3) + (3 - al) K1],
//   kappa~' = x^(-1-al) [(1 - al - 2x)(1 + x)^(al-4) + (3 - al) K2]/s^2,
//   K1 = int_0^1 (1 - sqrt(1 - t^2)) (t + x)^(al-4) dt,
//   K2 = int_0^1 ((1 - al) t - 3x) (t + x)^(al-5) (1 - sqrt(1 - t^2)) dt.
// The t-integrals are taken in theta with t = sin theta, where 1 - sqrt(1 - t^2) =
// 2 sin^2(theta/2) has neither the cancellation near 0 nor the square-root end point at
// t = 1 that keeps Romberg integration from converging quickly, and in the logarithmic
// variable v with theta = x (e^v - 1), since the integrands change on the scale theta ~ x;
// Romberg (qromb) for x > 0.001, the adaptive integrator nearer the centre. H for x >= 0.5 is integrated in v with t = x v^m, m = 2/(3 - al), which keeps
// the integrand finite (t^(2-al) is infinite at 0 for al > 2).
//
// End points: the convergence diverges at the centre for al >= 1 (like xi^(1-al)), and the
// deflection for al > 2 (like r^(2-al)). The elliptical integrals run in t with u = t^p,
// p = 4/(3 - al) for al > 1 (2 otherwise), in which every integrand is finite and vanishes
// at t = 0 like t; the circular potential likewise in r' = r t^p, p = max(2, 2/(3 - al)).
//
// Source: the density is the (alpha, beta, gamma) = (1, 3, al) member of the family of
// Zhao 1996, MNRAS 278, 488; the projections above follow from it by the standard
// Abel integral of the projected mass.
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

// Which closed forms a slope takes (within 1e-4 of the special values, tested in this order).
enum Slope { SLOPE_1, SLOPE_2, SLOPE_0, SLOPE_15, SLOPE_GENERAL };
Slope deflection_slope(double al) {
  if (std::fabs(al - 1.0) < 1e-4) return SLOPE_1;
  if (std::fabs(al - 2.0) < 1e-4) return SLOPE_2;
  if (std::fabs(al) < 1e-4) return SLOPE_0;
  return SLOPE_GENERAL;
}
Slope convergence_slope(double al) {
  const Slope s = deflection_slope(al);
  if (s == SLOPE_GENERAL && std::fabs(al - 1.5) < 1e-4) return SLOPE_15;
  return s;
}

// An inner integral over t in [0, 1] of g(t) = f(t) (1 - sqrt(1 - t^2)), taken in theta with
// t = sin theta (f(sin th) 2 sin^2(th/2) cos th over [0, pi/2]) and then in v with
// theta = x (e^v - 1): the integrands vary on the scale theta ~ x, which the logarithmic
// variable resolves whatever x is.
template <class F>
double inner_integral(double x, F&& f) {
  auto g = [&f, x](double v) {
    const double ev = std::exp(v), th = x * (ev - 1.0);
    const double h = std::sin(0.5 * th);
    return f(std::sin(th)) * 2.0 * h * h * std::cos(th) * x * ev;
  };
  const double vmax = std::log1p(kHalfPi / x);
  if (x > 0.001) return qromb(g, 0.0, vmax);
  return integrate1b(g, 0.0, vmax);
}

// H(x) = x^(al-3) int_0^x t^(2-al) (1 + t)^(al-3) dt.
double Hfunc(double x, double al) {
  const double a3 = 3.0 - al;
  if (x < 0.5) return hypergeom(a3, a3, 4.0 - al, -x) / a3;
  // With t = x v^m, m = 2/(3 - al): H = m int_0^1 v (1 + x v^m)^(al-3) dv. The integrand is
  // at least v (1 + x)^(al-3): the integral is scaled by the inverse of that bound, m (1 +
  // x)^(al-3)/2, so that the integrator's control is relative.
  const double m = 2.0 / a3;
  const double scale = 2.0 / (m * std::pow(1.0 + x, -a3));
  const double I = integrate1b(
      [x, m, a3, scale](double v) { return scale * m * v * std::pow(1.0 + x * std::pow(v, m), -a3); }, 0.0, 1.0);
  return I / scale;
}

// The radial deflection function D(r) over N, for x = r/s (F = F(x) of the NFW profile
// where the closed forms need it).
double nfwcusp_D(double x, double s, double al, Slope sl) {
  if (!(x > 0.0)) return 0.0;
  switch (sl) {
    case SLOPE_1:  // the NFW deflection, in its form without cancellation at small x
      return s * nfw0phir_F(x, nfwFfunc(x));
    case SLOPE_2: {
      if (x >= 0.01) return 4.0 * s * ((1 - x * x) * nfwFfunc(x) / x + kHalfPi + std::log(x / 2.0) / x);
      const double L = std::log(x / 2.0), x2 = x * x;
      return 4.0 * s *
             (kHalfPi + x * ((L / 2 - 0.25) + x2 * ((L / 8 + 1.0 / 32) + x2 * (0.625 * L + 0.026041666666666668))));
    }
    case SLOPE_0: {
      const double d = x * x - 1.0;
      if (x < 0.5) {
        // (2s/x) [2 ln(x/2) - ((2 - 3x^2) F + x^2)/d] cancels below x = 0.5 (the bracket is
        // O(x^2) while its terms are O(ln x)). With l = ln(2/x), q = sqrt(1 - x^2),
        // w = x^2/(1 + q) and F = l + delta, delta = (l w + ln(1 - w/2))/q, the bracket is
        // (x^2 + 2 (delta - l x^2/2) - 3 x^2 delta)/q^2, where
        // delta - l x^2/2 = l x^4 (2 + q)/(2 q (1 + q)^2) + ln(1 - w/2)/q keeps its digits.
        const double l = std::log(2.0 / x), x2 = x * x, q2 = (1.0 - x) * (1.0 + x), q = std::sqrt(q2);
        const double w = x2 / (1.0 + q), lw = std::log1p(-0.5 * w), delta = (l * w + lw) / q;
        const double dl = l * x2 * x2 * (2.0 + q) / (2.0 * q * (1.0 + q) * (1.0 + q)) + lw / q;
        return (2.0 * s / x) * (x2 + 2.0 * dl - 3.0 * x2 * delta) / q2;
      }
      if (std::fabs(d) >= 0.01) {
        const double F = nfwFfunc(x);
        return (2.0 * s / x) * (2.0 * std::log(x / 2.0) - ((2.0 - 3.0 * x * x) * F + x * x) / d);
      }
      return s * (0.5607446110935521 +
                  d * (0.11962769445322395 +
                       d * (-0.07543505655420368 +
                            d * (0.049370483636439574 + d * (-0.034838783571495016 + d * 0.02603709802153832)))));
    }
    default: {
      const double W = inner_integral(x, [x, al](double t) { return std::pow(t + x, al - 3.0) / (t > 0 ? t : 1.0); });
      return 4.0 * s * std::pow(x, 2.0 - al) * (W + Hfunc(x, al));
    }
  }
}

// kappa~(x) and, when kp is not null, kappa~' = d kappa~/d(r^2).
void nfwcusp_kappa(double x, double s, double al, Slope sl, double& k, double* kp) {
  const double is2 = 1.0 / (s * s);
  const double x2 = x * x, d = x2 - 1.0;
  switch (sl) {
    case SLOPE_1: {
      // The NFW convergence 2 (1 - F)/d at every x (its own series near d = 0; the short
      // small-x series would be 1e-12 off below x = 0.01).
      const double F = nfwFfunc(x);
      k = 2.0 * nfw_one_minus_F_over_g(d, F);
      if (!kp) return;
      if (x >= 0.01 && std::fabs(d) >= 0.01) {
        *kp = (x2 * (3.0 * F - 2.0) - 1.0) / (x2 * d * d) * is2;
      } else if (x >= 0.01) {
        *kp = (-0.4 + d * (4.0 / 7 + d * (-2.0 / 3 + d * (8.0 / 11 + d * (-10.0 / 13 + d * 0.8))))) * is2;
      } else {
        const double l = std::log(2.0 / x);
        *kp = (3.0 * l - 4.0 - 1.0 / x2 + (7.5 * l - 7.75) * x2 + (13.125 * l - 12.15625) * x2 * x2) * is2;
      }
      return;
    }
    case SLOPE_2: {
      if (x >= 0.01) {
        const double F = nfwFfunc(x);
        if (x > 2.0) {
          // pi/x - 2F cancels (kappa~ ~ 2/x^2): with q = sqrt(x^2 - 1) and F = (pi/2 -
          // atan(1/q))/q it is 2 atan(1/q)/q - pi/(x q (x + q)).
          const double q = std::sqrt(d);
          k = 2.0 * std::atan(1.0 / q) / q - kPi / (x * q * (x + q));
        } else {
          k = kPi / x - 2.0 * F;
        }
        if (!kp) return;
        if (std::fabs(d) >= 0.01)
          *kp = (1.0 / x2 - kPi / (2.0 * x2 * x) + (F - 1.0) / d) * is2;
        else
          *kp = (-0.9041296601282299 +
                 d * (1.556194490192345 +
                      d * (-2.088100255597574 + d * (2.5472280759749473 + d * (-2.956540676380907 + d * 3.3291178209420744))))) *
                is2;
      } else {
        const double L = std::log(x / 2.0);
        k = kPi / x + 2.0 * L + (L + 0.5) * x2 + (0.75 * L + 0.4375) * x2 * x2;
        if (kp)
          *kp = (1.0 / x2 - kPi / (2.0 * x2 * x) + L + 1.0 + (1.5 * L + 1.25) * x2 + (1.875 * L + 1.46875) * x2 * x2) * is2;
      }
      return;
    }
    case SLOPE_0: {
      if (x >= 0.01 && std::fabs(d) >= 0.01) {
        const double F = nfwFfunc(x);
        k = ((2.0 - 3.0 * F) * x2 + 1.0) / (d * d);
        if (kp) *kp = (9.0 * F * x2 + 6.0 * F - 4.0 * x2 - 11.0) / (2.0 * d * d * d) * is2;
      } else if (x >= 0.01) {
        k = 0.4 + d * (-6.0 / 35 + d * (2.0 / 21 + d * (-2.0 / 33 + d * (6.0 / 143 - d * 2.0 / 65))));
        if (kp)
          *kp = (-6.0 / 35 + d * (4.0 / 21 + d * (-2.0 / 11 + d * (24.0 / 143 + d * (-2.0 / 13 + d * 12.0 / 85))))) * is2;
      } else {
        const double L = std::log(x / 2.0);
        k = 1.0 + (3.0 * L + 4.0) * x2 + (7.5 * L + 7.75) * x2 * x2;
        if (kp) *kp = (3.0 * L + 5.5 + (15.0 * L + 19.25) * x2 + (39.375 * L + 43.03125) * x2 * x2) * is2;
      }
      return;
    }
    case SLOPE_15: {
      // A fitted form.
      const double Q = 1.0 + 2.378 * std::pow(x, 0.5833) + 2.617 * std::pow(x, 1.5);
      k = 5.228 / (std::sqrt(x) * Q);
      if (kp)
        *kp = -(k / (2.0 * x)) * (0.5 / x + (1.3870874 * std::pow(x, -0.4167) + 3.9255 * std::sqrt(x)) / Q) * is2;
      return;
    }
    default: {
      const double a3 = 3.0 - al;
      const double K1 = inner_integral(x, [x, al](double t) { return std::pow(t + x, al - 4.0); });
      k = 2.0 * std::pow(x, 1.0 - al) * (std::pow(1.0 + x, -a3) + a3 * K1);
      if (!kp) return;
      const double K2 =
          inner_integral(x, [x, al](double t) { return ((1.0 - al) * t - 3.0 * x) * std::pow(t + x, al - 5.0); });
      *kp = std::pow(x, -1.0 - al) * ((1.0 - al - 2.0 * x) * std::pow(1.0 + x, al - 4.0) + a3 * K2) * is2;
    }
  }
}

struct NfwcuspProfile : EllipticalProfile<NfwcuspProfile> {
  static constexpr const char* kZeroScaleError = "Cusp scale radius cannot be zero";
  static constexpr bool kZeroAtCentre = true;
  static constexpr bool kScaledIntegrals = true;
  double s, al, q;
  Slope dsl, ksl;

  explicit NfwcuspProfile(const CurrentComponent& c)
      : s(c.ss), al(c.al), q(1.0 - c.ep), dsl(deflection_slope(c.al)), ksl(convergence_slope(c.al)) {}
  // The integrator's control is absolute for integrals below 1: each integral is scaled
  // by the inverse of an estimate of its size from the mean convergence cbar = D/xi inside
  // the point's elliptical radius xi_e (I1 ~ cbar r^2, I2, I3 ~ cbar, I4..I6 ~ cbar/r^2),
  // never below 1, which makes the control relative.
  void integral_scales(double x, double y, double c[6]) const {
    for (int i = 0; i < 6; ++i) c[i] = 1.0;
    const double r2 = x * x + y * y, xe = std::sqrt(x * x + y * y / (q * q));
    const double cbar = nfwcusp_D(xe / s, s, al, dsl) / xe;
    if (!(r2 > 0.0) || !(cbar > 0.0) || !std::isfinite(cbar)) return;
    const double est[6] = {cbar * r2, cbar, cbar, cbar / r2, cbar / r2, cbar / r2};
    for (int i = 0; i < 6; ++i) c[i] = std::fmin(std::fmax(1.0 / est[i], 1.0), 1e250);
  }
  bool accept(double, double, double) const {
    if (!(al >= 0.0 && al < 3.0)) fatal("nfwcusp slope is out of acceptable range [0,3)");
    return true;
  }
  // kappa~ ~ xi^(1-al) near the centre: with u = t^p, p = 4/(3 - al), the integrands grow
  // like t there.
  double u_power() const { return al > 1.0 ? 4.0 / (3.0 - al) : 2.0; }
  double potential_power() const { return std::fmax(2.0, 2.0 / (3.0 - al)); }
  // u = 0 is reached only where t^p underflows, and there the Jacobian is 0 too.
  bool centre(double& k0) const {
    k0 = 0.0;
    return true;
  }
  // Radii so small that kappa~' ~ x^(-1-al) would overflow contribute nothing: there the
  // integrands, Jacobian included, are below 1e-6 of their largest values for slopes up
  // to 2.9 (the mass inside x falls like x^(3 - al)); steeper cusps lose accuracy there
  // rather than handing the integrator an infinite value.
  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    const double x = xi / s;
    if (!(x > 0.0) || -(1.0 + al) * std::log(x) > 700.0) {
      D = k = kp = 0.0;
      return;
    }
    if (want_D) D = nfwcusp_D(x, s, al, dsl);
    nfwcusp_kappa(x, s, al, ksl, k, &kp);
  }
  void circular(double r, double& D, double& k) const {
    const double x = r / s;
    D = nfwcusp_D(x, s, al, dsl);
    if (x > 0.0)
      nfwcusp_kappa(x, s, al, ksl, k, nullptr);
    else
      k = 0.0;
  }
};

TabulatedClass g_nfwcuspT{TAB_nfwcuspT, "nfwcuspT", TableRef("nfwcusp"), modelclass::nfwcusp, TabScaling::Standard,
                          true};

}  // namespace

namespace modelclass {

void nfwcusp(DerivVector& out, double x, double y) { radial_profile_class<NfwcuspProfile>(out, x, y); }
void nfwcuspT(DerivVector& out, double x, double y) { tabulated_class(g_nfwcuspT, out, x, y); }

double nfwcusp_rho(double r) {
  const double s = cur.ss, al = cur.al;
  return cur.b * s * s * std::pow(r, -al) * std::pow(r + s, al - 3.0);
}

// M(r) = (4 pi b s^2/(3 - al)) f(x), f = (3 - al) int_0^x t^(2-al) (1 + t)^(al-3) dt, in closed
// form within 0.001 of the slopes 2.5, 2, 1.5, 1, 0.5 and 0.
double nfwcusp_M(double r) {
  const double s = cur.ss, al = cur.al, x = r / s;
  const double ath = std::atanh(std::sqrt(x / (1.0 + x)));
  double f;
  if (std::fabs(al - 2.5) < 0.001)
    f = ath;
  else if (std::fabs(al - 2.0) < 0.001)
    f = std::log1p(x);
  else if (std::fabs(al - 1.5) < 0.001)
    f = 3.0 * (ath - std::sqrt(x * (1.0 + x)) / (1.0 + x));
  else if (std::fabs(al - 1.0) < 0.001)
    f = 2.0 * (std::log1p(x) - x / (1.0 + x));
  else if (std::fabs(al - 0.5) < 0.001)
    f = 5.0 * (ath - std::sqrt(x * (1.0 + x)) * (4.0 * x + 3.0) / (3.0 * (1.0 + x) * (1.0 + x)));
  else if (std::fabs(al) < 0.001)
    f = 3.0 * std::log1p(x) - 1.5 * x * (3.0 * x + 2.0) / ((1.0 + x) * (1.0 + x));
  else
    f = std::pow(x, 3.0 - al) * hypgeo(3.0 - al, 3.0 - al, 4.0 - al, -x);
  return 4.0 * kPi * cur.b * s * s / (3.0 - al) * f;
}

}  // namespace modelclass
