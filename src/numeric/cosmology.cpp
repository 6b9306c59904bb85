// Cosmological distances and ages for matter plus a cosmological constant (PMdist, dPMdist,
// univ_age).
//
// Source: the distance integrals of Hogg 1999, astro-ph/9905116 (comoving, transverse
// comoving and angular-diameter distances for a universe with curvature).
#include "numeric/cosmology.h"

#include <cmath>

#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

[[noreturn]] void no_expansion(double z) {
  fatal(strformat("the expansion rate is not defined at redshift %g for omega=%g, lambda=%g "
                  "(E(z)^2 <= 0)",
                  z, settings.omega, settings.lambda));
}

// Comoving distance: the integral of 1/E from z1 to z2.
double comoving(double z1, double z2) { return qromo(distint, z1, z2, midpnt3); }

}  // namespace

double distint(double z) {
  const double zp = 1.0 + z;
  const double e2 = zp * zp * (1.0 + settings.omega * z) - z * (2.0 + z) * settings.lambda;
  if (!(e2 > 0.0)) no_expansion(z);
  return 1.0 / std::sqrt(e2);
}

double PMdist(double z1, double z2) {
  if (z1 >= z2) return 0.0;
  const double om = settings.omega, ol = settings.lambda;
  if (ol == 0.0) {
    // Matter and curvature only: closed form.
    const double p1 = 1.0 + om * z1, p2 = 1.0 + om * z2;
    if (!(p1 > 0.0)) no_expansion(z1);
    if (!(p2 > 0.0)) no_expansion(z2);
    const double c = std::sqrt(p1), d = std::sqrt(p2);
    if (om >= 1.0) return 2.0 * (1.0 - om - c * d) * (c - d) / (om * om * (1.0 + z1) * (1.0 + z2));
    // The same with both factors of the numerator divided by omega analytically: free of
    // cancellation at small omega and equal, at omega = 0, to the empty-universe limit
    // (z2 - z1)(2 + z1 + z2) / (2 (1 + z1)(1 + z2)).
    const double f1 = (z1 - z2) / (c + d);
    const double f2 = (-2.0 - z1 - z2 + om * (1.0 - z1 * z2)) / (1.0 - om + c * d);
    return 2.0 * f1 * f2 / ((1.0 + z1) * (1.0 + z2));
  }
  const double chi = comoving(z1, z2);
  const double ok = 1.0 - om - ol;
  const double s = std::sqrt(std::fabs(ok));
  if (ok < 0.0) return std::sin(s * chi) / s;
  if (ok > 0.0) return std::sinh(s * chi) / s;
  return chi;
}

double angdist(double z1, double z2) { return PMdist(z1, z2) / (1.0 + z2); }

double dPMdist(int mode, double z1, double z2) {
  double factor;
  if (mode == 1) {
    factor = -distint(z1);
  } else if (mode == 2) {
    factor = distint(z2);
  } else {
    fatal("unknown mode in dPMdist");
  }
  const double ok = 1.0 - settings.omega - settings.lambda;
  if (ok == 0.0) return factor;
  const double chi = comoving(z1, z2);
  const double s = std::sqrt(std::fabs(ok));
  return ok < 0.0 ? factor * std::cos(s * chi) : factor * std::cosh(s * chi);
}

double ageint(double a) {
  const double om = settings.omega, ol = settings.lambda;
  // a^3 E^2 in terms of the scale factor.
  const double den = (1.0 - a) * om + a - (1.0 - a * a) * a * ol;
  if (a == 0.0) {
    // 1/(a E) at a -> 0: zero with matter; 1/sqrt(1 - lambda) without.
    if (om > 0.0) return 0.0;
    if (om == 0.0 && ol < 1.0) return 1.0 / std::sqrt(1.0 - ol);
    no_expansion(HUGE_VAL);
  }
  if (!(den > 0.0)) no_expansion(1.0 / a - 1.0);
  return std::sqrt(a / den);
}

double univ_age(double z) {
  const double om = settings.omega, ol = settings.lambda;
  const double b = 1.0 + z;
  double age;
  if (std::fabs(ol) >= 1.0e-4) {
    if (std::fabs(ol + om - 1.0) < 1.0e-4 && ol > 0.0 && om >= 0.0) {
      // Flat: closed form (infinite for an empty de Sitter universe).
      age = (6.52 / std::sqrt(ol)) * arcsinh(std::pow(b, -1.5) * std::sqrt(ol / om));
    } else {
      // The integral of ageint over a in [0, 1/b], taken in s = sqrt(a): ageint grows like
      // sqrt(a) from a = 0, whose unbounded slope would cost the integrator accuracy.
      age = 9.78 * integrate1([](double s) { return 2.0 * s * ageint(s * s); }, 0.0, std::sqrt(1.0 / b));
    }
  } else if (om == 1.0) {
    age = 6.52 * std::pow(b, -1.5);
  } else if (om == 0.0) {
    // Empty universe: the limit of the open form below.
    age = 9.78 / b;
  } else if (om > 0.0 && om < 1.0) {
    age = (2.0 * std::sqrt((1.0 + om * z) * (1.0 - om)) / (b * om) - arccosh((om * z - om + 2.0) / (b * om))) *
          4.89 * om * std::pow(1.0 - om, -1.5);
  } else if (om > 1.0) {
    fatal("age not implemented for omega>1");
  } else {
    no_expansion(HUGE_VAL);  // negative omega: no expansion history back to the big bang
  }
  if (std::isnan(age)) no_expansion(z);
  return age;
}

double lookback(double z1, double z2) { return univ_age(z1) - univ_age(z2); }

// ln(x + sqrt(x^2 - 1)) and ln(x + sqrt(x^2 + 1)), through the library forms that keep
// their accuracy for large and for negative arguments.
double arccosh(double x) { return std::acosh(x); }
double arcsinh(double x) { return std::asinh(x); }
