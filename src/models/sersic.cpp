// The Sersic family: de Vaucouleurs ("devauc", "devaucT", "devaucA"), Sersic ("sersic",
// "sersicT"), exponential disk ("expdisk", "expdiskT", "expdiskA") and Gaussian ("gaus",
// "gausT").
//
// The numerical classes are profiles of the numerical elliptical pattern
// (models/elliptical_pattern.h), the T classes of the tabulated pattern, and the two "A"
// classes sums of closed-form components ("pjaffe", "kuzdisk").
//
// Convergence of a component: (N/q) kappa~(xi), xi the elliptical radius, with
//   devauc   kappa~ = exp(-k (xi/s)^(1/4)), k = 7.66925001,   N = 0.5 q b/(0.001684485835 s)
//   sersic   kappa~ = exp(-b_n (xi/s)^(1/n)),                 N = q b
//   expdisk  kappa~ = exp(-xi/s),                             N = b
//   gaus     kappa~ = exp(-xi^2/(2 s^2)),                     N = b
// so that b is, for devauc, the value for which the circular deflection tends to b s/r
// (0.001684485835 = 8!/(2 k^8)), for sersic the central convergence, and for expdisk and
// gaus the central convergence of the circular profile.
//
// Accuracy of the elliptical integrals. The integrator's error control is absolute for
// integrals below 1, and these profiles' integrals are small wherever the convergence is
// (a de Vaucouleurs profile has kappa~ = 5e-4 at its scale radius), which left deflections
// wrong by per cents at the default tolerance. Each integral is therefore scaled by the
// inverse of a lower bound of its size (from the mean convergence inside the point's
// elliptical radius), which makes the control effectively relative; and the integrals run
// in t with u = t^(2n) (n the Sersic index: 4 for devauc, 1 for expdisk), in which
// exp(-b (xi/s)^(1/n)) is smooth down to the centre, so "sersic" also integrates from
// u = 0 instead of cutting the centre off at u = inttol. The circular potentials, integrals
// of the deflection, are taken the same way.
//
// Sources: the r^(1/4) law of de Vaucouleurs 1948, Ann. Astrophys. 11, 247; the r^(1/n) law
// of Sersic 1968, Atlas de Galaxias Australes (Cordoba), with b_n as in Ciotti & Bertin 1999,
// A&A 352, 447; the exponential disk of Freeman 1970, ApJ 160, 811.
#include <cmath>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/tabulated_pattern.h"
#include "numeric/integrate.h"
#include "numeric/specfunc.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

constexpr double kDevK = 7.66925001;           // b_n of the de Vaucouleurs profile
constexpr double kDevMass = 0.001684485835;   // 8!/(2 k^8)
constexpr double kDevDefl = 0.0033689716698184;  // 8!/k^8

// ---- radial deflection functions: the circular deflection over N at radius r ----

// de Vaucouleurs: D = (8!/k^8)(s^2/r) P(8, d), d = k (r/s)^(1/4), with P(8, d) = 1 - e^-d
// (1 + d + ... + d^7/7!). Below d = 3 the difference cancels (P(8, d) ~ d^8/8! at small d;
// P(8, 3) = 0.012) and P(8, d) is summed as e^-d sum_(j>=8) d^j/j!, all terms positive;
// the series of the mean convergence below r/s = 1e-4.
double devauc0phir(double r, double s) {
  const double a = r / s;
  const double d = kDevK * std::pow(a, 0.25);
  if (a >= 1e-4) {
    double P;
    if (d < 3.0) {
      double term = 1.0, sum = 0.0;  // term = d^j/j! * 8!/d^8, from j = 8
      for (int j = 9; j < 120; ++j) {
        sum += term;
        term *= d / j;
        if (term < 1e-17 * sum) break;
      }
      const double d2 = d * d, d4 = d2 * d2;
      P = std::exp(-d) * sum * (d4 * d4 / 40320.0);
    } else {
      const double sum =
          1 + d * (1 + d / 2 * (1 + d / 3 * (1 + d / 4 * (1 + d / 5 * (1 + d / 6 * (1 + d / 7))))));
      P = 1.0 - std::exp(-d) * sum;
    }
    return kDevDefl * (s * s / r) * P;
  }
  return r * (1 - d * (8.0 / 9 - d * (2.0 / 5 - d * (4.0 / 33 - d * (1.0 / 36 - d * (1.0 / 195 - d * (1.0 / 1260 - d / 9450)))))));
}

// Sersic: b_n of index n.
double sersic_bn(double n) { return 2 * n - 1.0 / 3 + 4.0 / (405 * n) + 46.0 / (25515 * n * n); }

// Sersic mean convergence inside r in units of N: c = 2n gamma(2n, a)/a^(2n), a = b_n (r/s)^(1/n),
// to full precision (the library's incomplete Gamma function stops at 3e-7 relative). Below
// a = 2n + 1 from the series gamma(t, a)/a^t = e^-a sum_(k>=0) a^k/(t (t + 1) ... (t + k)),
// all terms positive (also at a = 0); beyond, c = t (Gamma(t)/a^t - Gamma(t, a)/a^t) with the
// continued fraction of Gamma(t, a) = e^-a a^t h. t = 2n. The deflection over N is r c.
double sersic_c(double r, double s, double n, double bn) {
  const double a = bn * std::pow(r / s, 1.0 / n);
  const double tn = 2 * n;
  if (a < tn + 1.0) {
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 1000; ++k) {
      term *= a / (tn + k);
      sum += term;
      if (term < 1e-17 * sum) break;
    }
    return std::exp(-a) * sum;
  }
  double h;
  gcf_fraction(tn, a, 1e-16, 1000, h);
  return tn * (std::exp(std::lgamma(tn) - tn * std::log(a)) - std::exp(-a) * h);
}

// Exponential disk: D = (2 s/x)(1 - (1 + x) e^-x), x = r/s. Below x = 1 the difference
// cancels (it is x^2/2 + ...; at x = 1e-4 the closed form kept eight digits, and the
// potential's integral of that noise did not converge): it is summed there as
// e^-x (e^x - 1 - x) = e^-x x^2 sum_(k>=0) x^k/(k + 2)!, all terms positive, which also
// holds at x = 0.
double expdisk0phir(double r, double s) {
  const double x = r / s;
  if (x >= 1.0) return (2 * s / x) * (1.0 - (1.0 + x) * std::exp(-x));
  double t = 1.0;  // 1/2 + x/3! + x^2/4! + ... = (1 + x/3 (1 + x/4 (1 + ...)))/2
  for (int j = 22; j >= 3; --j) t = 1.0 + x / j * t;
  return s * x * std::exp(-x) * t;
}

// Gaussian: D = 2 s^2 (1 - e^(-a^2/2))/r, a = r/s; series below a = 1e-4.
double gaus0phir(double r, double s) {
  const double a = r / s;
  if (a >= 1e-4) return -2 * s * s * std::expm1(-0.5 * a * a) / r;
  return r * (1.0 - a * a / 4.0 + a * a * a * a / 24.0);
}

// ---- scaling of the six integrals ----
//
// With cbar = D(xi_e)/xi_e the mean convergence (over N) inside the elliptical radius
// xi_e = sqrt(x^2 + y^2/q^2) of the point, the integrals are at least about
//   I1 ~ cbar r^2,  I2, I3 >= cbar,  I4..I6 ~ cbar/r^2
// (xi(u) <= sqrt(u) xi_e and kappa~ decreases outwards). Each integral is scaled by the
// inverse of its estimate, never below 1, so that the integrator's control on it is
// relative. At the centre (r = 0) nothing is scaled.
template <class Prof>
void mean_convergence_scales(const Prof& p, double x, double y, double q, double c[6]) {
  for (int i = 0; i < 6; ++i) c[i] = 1.0;
  const double r2 = x * x + y * y;
  if (!(r2 > 0.0)) return;
  const double xe = std::sqrt(x * x + y * y / (q * q));
  double D, k;
  p.circular(xe, D, k);
  const double cbar = D / xe;
  if (!(cbar > 0.0) || !std::isfinite(cbar)) return;
  const double est[6] = {cbar * r2, cbar, cbar, cbar / r2, cbar / r2, cbar / r2};
  for (int i = 0; i < 6; ++i) c[i] = std::fmin(std::fmax(1.0 / est[i], 1.0), 1e250);
}

// Circular potential over N: the integral of D from r0 to r, in t with r' = r0 + (r - r0) t^p
// (p = n makes the r'^(1/n) of a Sersic profile smooth at the centre) and scaled by a
// lower bound of its size, (r - r0) D(r)/2 (D(r') >= r' D(r)/r inwards), so that the
// integrator's control is relative, as for the elliptical integrals.
template <class Prof>
double radial_potential(const Prof& prof, double r0, double r, double p) {
  double D, k;
  prof.circular(r, D, k);
  const double span = r - r0;
  const double est = 0.5 * span * D;
  const double scale = est > 0.0 && std::isfinite(est) ? std::fmin(std::fmax(1.0 / est, 1.0), 1e250) : 1.0;
  const double I = integrate1(
      [&prof, r0, span, p, scale](double t) {
        if (t <= 0.0) return 0.0;
        const double tp = std::pow(t, p);
        double Dt, kt;
        prof.circular(r0 + span * tp, Dt, kt);
        return scale * Dt * span * p * tp / t;
      },
      0.0, 1.0);
  return I / scale;
}

// ---- profiles of the numerical elliptical pattern ----

struct DevaucProfile : EllipticalProfile<DevaucProfile> {
  static constexpr const char* kZeroScaleError = nullptr;  // s = 0 becomes 1e-4
  static constexpr bool kZeroAtCentre = false;
  static constexpr bool kPotentialAlways = true;  // circular potential whatever potflag says
  static constexpr bool kScaledIntegrals = true;
  double s, q;

  explicit DevaucProfile(const CurrentComponent& c) : s(c.ss), q(1.0 - c.ep) {}
  double norm(double b, double qq) const { return 0.5 * qq * b / (kDevMass * s); }
  double u_power() const { return 8.0; }
  bool centre(double& k0) const {
    k0 = 1.0;
    return true;
  }
  // kappa~ = e^f, f = -k (xi^2/s^2)^(1/8); kappa~' = kappa~ f/(8 xi^2), whose u-weighted
  // integrand is finite at the centre (f -> 0).
  void radial(double xi, double xi2, bool want_D, double& D, double& k, double& kp) const {
    if (want_D) D = devauc0phir(xi, s);
    if (xi2 == 0.0) {
      k = 1.0;
      kp = 0.0;
      return;
    }
    const double f = -kDevK * std::pow(xi2 / (s * s), 0.125);
    k = std::exp(f);
    kp = k * f / (8.0 * xi2);
  }
  void circular(double r, double& D, double& k) const {
    D = devauc0phir(r, s);
    k = std::exp(-kDevK * std::pow(r / s, 0.25));
  }
  bool circular_potential(double r, double& phi) const {
    phi = radial_potential(*this, 0.0, r, 4.0);
    return true;
  }
  void integral_scales(double x, double y, double c[6]) const { mean_convergence_scales(*this, x, y, q, c); }
};

struct SersicProfile : EllipticalProfile<SersicProfile> {
  static constexpr const char* kZeroScaleError = "Sersic scale radius cannot be zero";
  static constexpr bool kZeroAtCentre = true;
  static constexpr bool kScaledIntegrals = true;
  double s, n, bn = 0.0, q;

  explicit SersicProfile(const CurrentComponent& c) : s(c.ss), n(c.al), q(1.0 - c.ep) {
    if (n > 0.0) bn = sersic_bn(n);
  }
  bool accept(double, double, double) const {
    if (n > 0.0) return true;
    warning("Sersic index should be positive");
    return false;
  }
  // In t with u = t^(2n) the convergence exp(-b_n (u r^2 A/s^2)^(1/(2n))) is smooth at t = 0.
  double u_power() const { return std::fmax(1.0, 2.0 * n); }
  bool centre(double& k0) const {
    k0 = 1.0;
    return true;
  }
  void radial(double xi, double xi2, bool want_D, double& D, double& k, double& kp) const {
    if (want_D) D = xi * sersic_c(xi, s, n, bn);
    if (xi2 == 0.0) {
      k = 1.0;
      kp = 0.0;
      return;
    }
    const double h = std::pow(xi / s, 1.0 / n);
    k = std::exp(-bn * h);
    kp = -k * bn * h / (2.0 * n * xi2);
  }
  void circular(double r, double& D, double& k) const {
    D = r * sersic_c(r, s, n, bn);
    k = std::exp(-bn * std::pow(r / s, 1.0 / n));
  }
  bool circular_potential(double r, double& phi) const {
    phi = radial_potential(*this, settings.inttol, r, std::fmax(1.0, n));
    return true;
  }
  void integral_scales(double x, double y, double c[6]) const { mean_convergence_scales(*this, x, y, q, c); }
};

struct ExpdiskProfile : EllipticalProfile<ExpdiskProfile> {
  static constexpr const char* kZeroScaleError = nullptr;
  static constexpr bool kZeroAtCentre = false;
  static constexpr bool kPotentialAlways = true;
  static constexpr bool kScaledIntegrals = true;
  double s, q;

  explicit ExpdiskProfile(const CurrentComponent& c) : s(c.ss), q(1.0 - c.ep) {}
  double norm(double b, double) const { return b; }
  double lower_limit() const { return 1e-10; }
  double u_power() const { return 2.0; }
  bool centre(double& k0) const {
    k0 = 1.0;
    return true;
  }
  // kappa~' = -kappa~/(2 xi s) has no value at xi = 0. It enters the second derivatives
  // only as 2 x^2 I4, 2 y^2 I5, 2 x y I6, which vanish at the centre (u kappa~' grows like
  // 1/r there, x^2 like r^2): at r = 0 the limit of the elliptical second derivatives is
  // N I2, N I3 and 0, given by taking kappa~' = 0 there.
  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    if (want_D) D = expdisk0phir(xi, s);
    k = std::exp(-xi / s);
    kp = xi > 0.0 ? -k / (2.0 * xi * s) : 0.0;
  }
  void circular(double r, double& D, double& k) const {
    D = expdisk0phir(r, s);
    k = std::exp(-r / s);
  }
  bool circular_potential(double r, double& phi) const {
    phi = radial_potential(*this, 0.0, r, 1.0);
    return true;
  }
  void integral_scales(double x, double y, double c[6]) const { mean_convergence_scales(*this, x, y, q, c); }
};

struct GausProfile : EllipticalProfile<GausProfile> {
  static constexpr const char* kZeroScaleError = nullptr;
  static constexpr bool kZeroAtCentre = false;
  static constexpr bool kScaledIntegrals = true;
  double s, q;

  explicit GausProfile(const CurrentComponent& c) : s(c.ss), q(1.0 - c.ep) {}
  double norm(double b, double) const { return b; }
  bool centre(double& k0) const {
    k0 = 1.0;
    return true;
  }
  void radial(double xi, double xi2, bool want_D, double& D, double& k, double& kp) const {
    if (want_D) D = gaus0phir(xi, s);
    k = std::exp(-xi2 / (2.0 * s * s));
    kp = -k / (2.0 * s * s);
  }
  void circular(double r, double& D, double& k) const {
    D = gaus0phir(r, s);
    k = std::exp(-r * r / (2.0 * s * s));
  }
  bool circular_potential(double r, double& phi) const {
    phi = radial_potential(*this, 0.0, r, 1.0);
    return true;
  }
  void integral_scales(double x, double y, double c[6]) const { mean_convergence_scales(*this, x, y, q, c); }
};

// ---- tabulated twins ----
TabulatedClass g_devaucT{TAB_devaucT, "devaucT", TableRef("devauc"), modelclass::devauc,
                         TabScaling::MassOverLength, false};
TabulatedClass g_sersicT{TAB_sersicT, "sersicT", TableRef("sersic"), modelclass::sersic, TabScaling::Standard,
                         true};
TabulatedClass g_expdiskT{TAB_expdiskT, "expdiskT", TableRef("expdisk"), modelclass::expdisk,
                          TabScaling::Standard, false};
TabulatedClass g_gausT{TAB_gausT, "gausT", TableRef("gaus"), modelclass::gaus, TabScaling::Standard, false};

// ---- the eleven Kuzmin disks of "expdiskA": scale factors f_i and weights w_i ----
constexpr double kExpF[11] = {0.110297293254709, 0.156971513592819, 0.239749389405312, 0.383170683501492,
                              0.647549167752286, 1.03062909531541,  1.59972754090034,  2.55322843401287,
                              3.83360362420816,  6.30510669947247,  9.81699831091507};
constexpr double kExpW[11] = {0.008078806163965708, -0.02849637529981501, 0.04573244304397006,
                              -0.02786940978668463, 0.287620453447922,    -0.628800999050947,
                              2.04817989410512,     0.563387333036317,    -1.41557352934107,
                              0.0422441761088319,   0.105497207572399};

}  // namespace

// Density and mass of the Sersic profile: not defined in this program (the class registers
// the placeholders); kept as zero.
double sersic_rho(double) { return 0.0; }
double sersic_M(double) { return 0.0; }

namespace modelclass {

void devauc(DerivVector& out, double x, double y) { radial_profile_class<DevaucProfile>(out, x, y); }
void devaucT(DerivVector& out, double x, double y) { tabulated_class(g_devaucT, out, x, y); }

// One pseudo-Jaffe component with s = 0.00904677498 R, a = 1.23957719 R and mass scale
// 0.00271677921 R b (R the scale radius): its b is not that of "devauc" (the deflections
// differ by the factor 0.0034 R). These are fixed numbers of the approximation, so the
// pseudo-Jaffe is evaluated as given: the alphanorm rescaling, which reinterprets the b of
// the user's own alpha-family components, would change an elliptical devaucA's mass by the
// factor (1 + q^2)/(2 q^2) (50% at q = 0.7).
void devaucA(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  const double R = cur.ss == 0.0 ? 1e-4 : cur.ss;
  const double b0 = cur.b, a0 = cur.aa;
  const int alphanorm = settings.alphanorm;
  cur.ss = 0.00904677498 * R;
  cur.aa = 1.23957719 * R;
  cur.b = 0.00271677921 * R * b0;
  settings.alphanorm = 0;
  pjaffe(out, x, y);
  settings.alphanorm = alphanorm;
  cur.b = b0;
  cur.aa = a0;
  cur.ss = R;
}

void sersic(DerivVector& out, double x, double y) { radial_profile_class<SersicProfile>(out, x, y); }
void sersicT(DerivVector& out, double x, double y) { tabulated_class(g_sersicT, out, x, y); }

void expdisk(DerivVector& out, double x, double y) { radial_profile_class<ExpdiskProfile>(out, x, y); }
void expdiskT(DerivVector& out, double x, double y) { tabulated_class(g_expdiskT, out, x, y); }

// Eleven Kuzmin disks of scale f_i R and weight w_i/f_i^2 (the weights add up to 1, so
// the total mass is that of the exponential disk).
void expdiskA(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  const double R = cur.ss == 0.0 ? 1e-4 : cur.ss;
  double sum[7] = {};
  DerivVector one;
  for (int i = 0; i < 11; ++i) {
    cur.ss = kExpF[i] * R;
    one.zero();
    kuzdisk(one, x, y);
    const double w = kExpW[i] / (kExpF[i] * kExpF[i]);
    for (int k = 1; k <= 6; ++k) sum[k] += w * one[k];
  }
  cur.ss = R;
  for (int k = 1; k <= 6; ++k) out[k] = sum[k];
}

void gaus(DerivVector& out, double x, double y) { radial_profile_class<GausProfile>(out, x, y); }
void gausT(DerivVector& out, double x, double y) { tabulated_class(g_gausT, out, x, y); }

}  // namespace modelclass
