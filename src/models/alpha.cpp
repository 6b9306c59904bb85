// The softened power-law family: "alpha" (softened power law, elliptical), "pjaffe"
// (pseudo-Jaffe) and "king" (approximate King profile), with the density and mass of
// "alpha".
//
// Convergence of the family, xi^2 = x^2 + y^2/q^2, q = 1 - e:
//   kappa = (A/2) b^(2 - alpha) (s^2 + xi^2)^(alpha/2 - 1),
// A = |alpha| for |alpha| > 0.01 (so the singular circular model has the deflection
// b^(2-alpha) r^(alpha-1), r at r = b, and the convergence stays positive for negative
// alpha, continuous with the alpha = -1 form), A = 1 otherwise and in the closed forms of
// alpha = 1 (isothermal) and alpha = -1.
//
// Sources: the cored isothermal ellipsoid of Kassiola & Kovner 1993, ApJ 417, 450 and
// Kormann, Schneider & Bartelmann 1994, A&A 284, 285; the King profile of King 1962, AJ 67, 471;
// the pseudo-Jaffe profile as the difference of two cored isothermal profiles; the general
// power law by the elliptical integrals of models/elliptical_pattern.h.
#include <cmath>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/isothermal_closed.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "numeric/specfunc.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

constexpr double kEuler6 = 0.577216;  // Euler's constant to six places, as in the closed form

// Saves the current component's b, s, a, alpha and restores them on the way out (also when
// the evaluation ends the program).
struct ParamGuard {
  double b = cur.b, ss = cur.ss, aa = cur.aa, al = cur.al;
  ~ParamGuard() {
    cur.b = b;
    cur.ss = ss;
    cur.aa = aa;
    cur.al = al;
  }
};

// Factor A of the general routine.
inline double amplitude(double al) { return std::fabs(al) > 0.01 ? std::fabs(al) : 1.0; }

// Circular deflection function d(r) of the general routine (deflection = F d, F the
// normalisation below): 2 ((s^2 + r^2)^(alpha/2) - s^alpha)/(alpha r), summed through
// expm1/log1p so that it keeps its digits at small r/s and small alpha.
inline double alpha0phir_s(double r, double s, double al) {
  const double t = r / s;
  if (t < 1e-8) return std::pow(s, al - 2.0) * r;
  const double l = std::log1p(t * t);
  if (al == 0.0) return l / r;
  return 2.0 * std::pow(s, al) * std::expm1(0.5 * al * l) / (al * r);
}

// The general softened power law as a profile of the numerical elliptical pattern.
struct AlphaProfile : EllipticalProfile<AlphaProfile> {
  static constexpr const char* kZeroScaleError = nullptr;  // s = 0 becomes 1e-4
  static constexpr bool kZeroAtCentre = false;
  double s, s2, al, h, k0;

  explicit AlphaProfile(const CurrentComponent& c)
      : s(c.ss), s2(c.ss * c.ss), al(c.al), h(0.5 * c.al - 1.0), k0(std::pow(c.ss, c.al - 2.0)) {}

  // F = (q/2) b^(2 - alpha) A.
  double norm(double b, double q) const { return 0.5 * q * std::pow(b, 2.0 - al) * amplitude(al); }

  void radial(double xi, double xi2, bool want_D, double& D, double& k, double& kp) const {
    const double w = s2 + xi2;
    k = std::pow(w, h);
    kp = h * k / w;
    if (want_D) D = alpha0phir_s(xi, s, al);
  }
  bool centre(double& c0) const {
    c0 = k0;
    return true;
  }
  // Closed form of the circular potential over F for 2r >= s (alpha not 0 and 1 - alpha/2
  // not a pole of 2F1): 2 [ (r^alpha/alpha^2) 2F1(-alpha/2, -alpha/2; 1 - alpha/2; -s^2/r^2)
  //   - (s^alpha/alpha) ((psi(-alpha/2) + 0.577216)/2 + ln(r/s)) ].
  bool circular_potential(double r, double& phi) const {
    if (!(2.0 * r >= s) || al == 0.0) return false;
    const double c = 1.0 - 0.5 * al;
    if (c <= 0.0 && c == std::floor(c)) return false;
    const double ha = -0.5 * al;
    const double F21 = hypgeo(ha, ha, c, -s2 / (r * r));
    phi = 2.0 * (std::pow(r, al) / (al * al) * F21 -
                 std::pow(s, al) / al * (0.5 * (digamm(ha) + kEuler6) + std::log(r / s)));
    return true;
  }
};

// ---------------------------------------------------------------------------------------
// Closed forms of the family with their parameters given (b, s already normalised; q the
// axis ratio, v = sqrt(|1 - q^2|), qov = q/v). They neither read nor change the current component.

// Isothermal (alpha = 1): the closed form of models/isothermal_closed.h; third derivatives
// when third is true.
void iso_closed(DerivVector& out, double x, double y, double b, double s, double q, double v, double qov,
                bool third) {
  iso_detail::IsoConsts k;
  iso_detail::iso_prepare(k, b, s, q, v, qov);
  if (k.zero) return;
  iso_detail::iso_eval(k, x, y, settings.potflag != 0, third, out.v);
}

// alpha = -1: kappa = (b^3/2)(s^2 + xi^2)^(-3/2), closed form.
void plummer_closed(DerivVector& out, double x, double y, double b, double s, double q) {
  if (b == 0.0) return;
  if (s == 0.0) s = 1e-4;
  const double q2 = q * q;
  const double psi = std::sqrt(q2 * (s * s + x * x) + y * y);
  const double D = (1.0 - q2) * x * x + (s + psi) * (s + psi);
  const double k = b * b * b * q / s, V = q2 * s + psi, W = s + psi;
  const double psi2 = psi * psi, psi3 = psi2 * psi, D2 = D * D;
  if (settings.potflag) out[1] = k * (0.5 * std::log(D) - std::log((1.0 + q) * s));
  out[2] = k * x * V / (psi * D);
  out[3] = k * y * W / (psi * D);
  out[4] = -2.0 * k * x * x * V * V / (psi2 * D2) + k * (V * psi2 - q2 * q2 * x * x * s) / (psi3 * D);
  out[5] = -2.0 * k * y * y * W * W / (psi2 * D2) + k * (W * psi2 - y * y * s) / (psi3 * D);
  out[6] = -k * x * y * (2.0 * W * V / (psi2 * D2) + q2 * s / (psi3 * D));
}

// One profile of the family (b, s normalised) by its branch: the closed forms at alpha = 1
// and -1, the numerical pattern otherwise (which reads the current component, so b, s and
// alpha are lent to it for the call).
void family_branch(DerivVector& out, double x, double y, double b, double s, double al, const CurrentComponent& c) {
  if (std::fabs(al - 1.0) < 1e-6) {
    iso_closed(out, x, y, b, s, c.q, c.vq, c.qov, TWmod.third);
  } else if (std::fabs(al + 1.0) < 1e-6) {
    plummer_closed(out, x, y, b, s, c.q);
  } else {
    ParamGuard saved;
    cur.b = b;
    cur.ss = s;
    cur.al = al;
    modelclass::alphaN(out, x, y);
  }
}

// The family with the current component's ep, given b, s, a and alpha (before the alphanorm
// factor); a > 0 subtracts the same profile with core a.
void family(DerivVector& out, double x, double y, double b, double s, double a, double al) {
  check_axis_values(cur);
  const CurrentComponent& c = cur;
  const double f = settings.alphanorm == 1 ? c.anf : 1.0;
  if (a > 0.0 && std::fabs(al - 1.0) < 1e-6) {
    iso_detail::IsoConsts k0, k1;
    iso_detail::iso_prepare(k0, b * f, s * f, c.q, c.vq, c.qov);
    iso_detail::iso_prepare(k1, b * f, a * f, c.q, c.vq, c.qov);
    if (!k0.zero) iso_detail::iso_truncated(k0, k1, x, y, settings.potflag != 0, TWmod.third, out.v);
    return;
  }
  family_branch(out, x, y, b * f, s * f, al, c);
  if (a > 0.0) {
    // Truncation: the same profile with core a subtracted.
    DerivVector cut;
    family_branch(cut, x, y, b * f, a * f, al, c);
    for (int k = 1; k <= 10; ++k) out[k] -= cut[k];
  }
}

}  // namespace

namespace modelclass {

// General alpha: the numerical elliptical pattern (circular closed forms below e = 1e-6).
void alphaN(DerivVector& out, double x, double y) { radial_profile_class<AlphaProfile>(out, x, y); }

// Singular elliptical power law (no core) through Appell's F1, with the factor A = 1:
// kappa = (1/2) b^(2 - alpha) xi^(alpha - 2) (1/alpha times the general routine's for
// alpha > 0.01). Not in the class table.
void alpha0(DerivVector& out, double x, double y) {
  const double al = cur.al, b = cur.b;
  if (al <= 0.0) fatal("alpha0 model invalid for al<=0.0");
  if (b == 0.0) return;
  const double r2 = x * x + y * y;
  if (r2 == 0.0) {
    if (al > 1.0) return;
    fatal("alpha0 model invalid at origin");
  }
  const double q = 1.0 - cur.ep, h = 0.5 * al, E = std::pow(b, 2.0 - al) * std::pow(r2, h);
  const double X = 1.0 - q * q, Y = X * x * x / r2;
  auto F1 = [X, Y](double a, double b1, double b2, double c) { return appellF1ser(a, b1, b2, c, X, Y); };
  const double fx = q * E * F1(h, h - 0.5, 1.0 - h, 1.0 + h) / (al * r2);  // phi_x / x
  const double fy = q * E * F1(h, h + 0.5, 1.0 - h, 1.0 + h) / (al * r2);  // phi_y / y
  const double G = E * (al - 2.0) / (2.0 * al * r2 * r2);
  const double Fxy = F1(h, h - 0.5, 2.0 - h, 1.0 + h);
  out[1] = q * E * F1(h, h + 0.5, -h, 1.0 + h) / (al * al);
  out[2] = x * fx;
  out[3] = y * fy;
  out[4] = 2.0 * q * x * x * G * (Fxy - (al * X / (al + 2.0)) * F1(1.0 + h, h - 0.5, 2.0 - h, 2.0 + h)) + fx;
  out[5] = 2.0 * q * y * y * G * F1(h, h + 0.5, 2.0 - h, 1.0 + h) + fy;
  out[6] = 2.0 * q * x * y * G * Fxy;
}

// ---------------------------------------------------------------------------------------
// Classes

void alpha(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  family(out, x, y, cur.b, cur.ss, cur.aa, cur.al);
}

// Pseudo-Jaffe: the isothermal of core s truncated at a, kappa = (b/2)[(s^2 + xi^2)^(-1/2)
// - (a^2 + xi^2)^(-1/2)]; with a = 0 there is no truncation (the cored isothermal).
void pjaffe(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  family(out, x, y, cur.b, cur.ss, cur.aa, 1.0);
}

// King profile approximated by two softened isothermal spheres.
void king(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  const double s0 = cur.ss == 0.0 ? 1e-4 : cur.ss;
  DerivVector first, second;
  family(first, x, y, cur.b, 0.866 * s0, cur.aa, 1.0);
  family(second, x, y, cur.b, 1.727 * s0, cur.aa, 1.0);
  for (int k = 1; k <= 6; ++k) out[k] = 4.24 * first[k] - 3.5 * second[k];
}

// ---------------------------------------------------------------------------------------
// Density and mass (b, s, alpha as loaded; their projection is the family's convergence
// with A = 1)

namespace {
double alpha_norm3d(double al) {
  if (std::fabs(al - 1.0) < 1e-4) return 1.0 / kPi;
  if (std::fabs(al) < 1e-4) return 0.5;
  if (std::fabs(al + 1.0) < 1e-4) return 2.0 / kPi;
  return (al - 1.0) * gamfunc((1.0 - al) / 2.0) / (al * std::sqrt(kPi) * gamfunc(-al / 2.0));
}
}  // namespace

double alpha_rho(double r) {
  const double b = cur.b, s = cur.ss, al = cur.al;
  return 0.5 * alpha_norm3d(al) * std::pow(b, 2.0 - al) * std::pow(s * s + r * r, (al - 3.0) / 2.0);
}

double alpha_M(double r) {
  const double b = cur.b, s = cur.ss, al = cur.al;
  if (std::fabs(r) > 0.0 && al > 0.0 && std::fabs(s / r) < 0.1) {
    const double t = s / r;
    const double c = std::fabs(al - 1.0) < 1e-4
                         ? 1.0
                         : (al - 1.0) * std::sqrt(kPi) * gamfunc((1.0 - al) / 2.0) / (al * al * gamfunc(-al / 2.0));
    const double t2 = t * t;
    return 2.0 * c * std::pow(b, 2.0 - al) * std::pow(r, al) *
           (1.0 + (al * std::sqrt(kPi) / 4.0) * (gamfunc(-al / 2.0) / gamfunc((3.0 - al) / 2.0)) * std::pow(t, al) +
            al * (3.0 - al) / (2.0 * (2.0 - al)) * t2 - al * (3.0 - al) * (5.0 - al) / (8.0 * (4.0 - al)) * t2 * t2);
  }
  if (std::fabs(al - 1.0) < 1e-4) return 2.0 * b * (r - s * std::atan(r / s));
  if (std::fabs(al) >= 1e-4)
    return (2.0 * kPi / 3.0) * alpha_norm3d(al) * std::pow(b, 2.0 - al) * std::pow(s, al - 3.0) * r * r * r *
           hypgeo(1.5, (3.0 - al) / 2.0, 2.5, -r * r / (s * s));
  const double rho2 = std::sqrt(r * r + s * s);
  return kPi * b * b * (std::atanh(r / rho2) - r / rho2);
}

}  // namespace modelclass

namespace iso_detail {

bool iso_component(const CurrentComponent& c, int alphanorm, IsoConsts* k, int& terms) {
  const ModelClassEval fn = c.cls ? c.cls->evaluate : nullptr;
  double al;
  if (fn == modelclass::alpha)
    al = c.al;
  else if (fn == modelclass::pjaffe)
    al = 1.0;
  else
    return false;
  if (!(std::fabs(al - 1.0) < 1e-6)) return false;
  terms = 0;
  if (c.b == 0.0) return true;
  // As family() makes them.
  const double f = alphanorm == 1 ? c.anf : 1.0;
  iso_prepare(k[0], c.b * f, c.ss * f, c.q, c.vq, c.qov);
  terms = 1;
  if (c.aa > 0.0) {
    iso_prepare(k[1], c.b * f, c.aa * f, c.q, c.vq, c.qov);
    terms = 2;
  }
  return true;
}

}  // namespace iso_detail
