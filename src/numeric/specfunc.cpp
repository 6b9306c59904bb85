#include "numeric/specfunc.h"

#include <cmath>

#include "shell/fatal.h"

namespace {

// Lanczos coefficients shared by gammln and digamm: c0, then c1..c6 for the terms
// c_j / (x + j); with the square root of 2 pi and the shift 5.5.
constexpr double kLanczos0 = 1.000000000190015;
constexpr double kLanczos[6] = {76.18009172947146,     -86.50532032941678,    24.01409824083091,
                                -1.231739572450155,    0.001208650973866179, -5.395239384953e-06};
constexpr double kSqrt2Pi = 2.5066282746310007;
constexpr double kPi = 3.14159265358979323846;

// sin(pi x) and cos(pi x) with the argument reduced exactly to [-1/2, 1/2] first, so that
// they vanish exactly at the integers (respectively half-integers) and keep their
// accuracy at large |x|.
double sinpi(double x) {
  const double n = std::nearbyint(x);
  const double s = std::sin(kPi * (x - n));
  return std::fmod(n, 2.0) == 0.0 ? s : -s;
}
double cospi(double x) {
  const double n = std::nearbyint(x);
  const double c = std::cos(kPi * (x - n));
  return std::fmod(n, 2.0) == 0.0 ? c : -c;
}

constexpr int kIncGammaItmax = 100;
constexpr double kIncGammaEps = 3.0e-7;
constexpr double kFpmin = 1.0e-30;

}  // namespace

// ---------------------------------------------------------------- Gamma family

double gammln(double x) {
  double s = kLanczos0;
  for (int j = 0; j < 6; ++j) s += kLanczos[j] / (x + (j + 1));
  const double t = x + 5.5;
  return std::log(kSqrt2Pi * s / x) - (t - (x + 0.5) * std::log(t));
}

double gamfunc(double x) {
  if (x > 0.0) return std::exp(gammln(x));
  if (x == 0.0) fatal("cannot evaluate Gamma(0)");
  if (x > -3.0) {
    // Shift up by the recurrence Gamma(x) = Gamma(x + k) / (x (x + 1) ... (x + k - 1))
    // with the smallest k that makes x + k positive; at -1 and -2 the product is zero
    // and the result an infinity.
    double prod = x, xk = x + 1.0;
    while (xk <= 0.0) {
      prod *= xk;
      xk += 1.0;
    }
    return std::exp(gammln(xk)) / prod;
  }
  if (std::isnan(x)) return x;
  if (x == std::floor(x)) fatal("Cannot do gamma functions for arguments <= -3");
  // Reflection: Gamma(x) = pi / (sin(pi x) Gamma(1 - x)), taken through logarithms so
  // that large |x| underflows smoothly to zero instead of dividing by an infinity.
  const double sp = sinpi(x);
  const double lg = std::log(kPi / std::fabs(sp)) - gammln(1.0 - x);
  return sp > 0.0 ? std::exp(lg) : -std::exp(lg);
}

double digamm(double x) {
  if (x <= -1.0) {
    // Reflection: psi(x) = psi(1 - x) - pi cos(pi x) / sin(pi x).
    return digamm(1.0 - x) - kPi * cospi(x) / sinpi(x);
  }
  double s = kLanczos0, ds = 0.0;
  for (int j = 0; j < 6; ++j) {
    const double xj = x + (j + 1);
    s += kLanczos[j] / xj;
    ds += kLanczos[j] / (xj * xj);
  }
  const double t = x + 5.5;
  return std::log(t) - 5.0 / t - 1.0 / x - ds / s;
}

// ---------------------------------------------------------------- incomplete Gamma

double gser(double& gamser, double& gln, double a, double x) {
  gln = gammln(a);
  if (x <= 0.0) {
    if (x < 0.0) nrerror("x less than 0 in routine gser");
    gamser = 0.0;
    return gamser;
  }
  double ap = a, del = 1.0 / a, sum = del;
  for (int n = 1; n <= kIncGammaItmax; ++n) {
    ap += 1.0;
    del *= x / ap;
    sum += del;
    if (std::fabs(del) < std::fabs(sum) * kIncGammaEps) {
      gamser = sum * std::exp(-x + a * std::log(x) - gln);
      return gamser;
    }
  }
  nrerror("a too large, ITMAX too small in routine gser");
}

double gcf(double& gammcf, double& gln, double a, double x) {
  gln = gammln(a);
  // Modified Lentz evaluation of the continued fraction.
  double b = x + 1.0 - a, c = 1.0 / kFpmin, d = 1.0 / b, h = d;
  int i = 1;
  for (; i <= kIncGammaItmax; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < kFpmin) d = kFpmin;
    c = b + an / c;
    if (std::fabs(c) < kFpmin) c = kFpmin;
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) < kIncGammaEps) break;
  }
  if (i > kIncGammaItmax) nrerror("a too large, ITMAX too small in gcf");
  gammcf = std::exp(-x + a * std::log(x) - gln) * h;
  return gammcf;
}

double gammp(double a, double x) {
  if (x < 0.0 || a <= 0.0) nrerror("Invalid arguments in routine gammp");
  double r, gln;
  if (x < a + 1.0) return gser(r, gln, a, x);
  return 1.0 - gcf(r, gln, a, x);
}

double gammq(double a, double x) {
  if (x < 0.0 || a <= 0.0) nrerror("Invalid arguments in routine gammq");
  double r, gln;
  if (x < a + 1.0) return 1.0 - gser(r, gln, a, x);
  return gcf(r, gln, a, x);
}
