// Special functions: the Gamma family, incomplete Gamma functions, the hypergeometric
// function 2F1 and Appell's F1.
#include "numeric/specfunc.h"

#include <cmath>
#include <cstdio>

#include "numeric/constants.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// Lanczos coefficients shared by gammln and digamm: c0, then c1..c6 for the terms
// c_j / (x + j); with the square root of 2 pi and the shift 5.5.
constexpr double kLanczos0 = 1.000000000190015;
constexpr double kLanczos[6] = {76.18009172947146,     -86.50532032941678,    24.01409824083091,
                                -1.231739572450155,    0.001208650973866179, -5.395239384953e-06};

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

bool gcf_fraction(double a, double x, double eps, int itmax, double& h) {
  double b = x + 1.0 - a, c = 1.0 / kFpmin, d = 1.0 / b;
  h = d;
  for (int i = 1; i <= itmax; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < kFpmin) d = kFpmin;
    c = b + an / c;
    if (std::fabs(c) < kFpmin) c = kFpmin;
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) < eps) return true;
  }
  return false;
}

double gcf(double& gammcf, double& gln, double a, double x) {
  gln = gammln(a);
  double h;
  if (!gcf_fraction(a, x, kIncGammaEps, kIncGammaItmax, h)) nrerror("a too large, ITMAX too small in gcf");
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

// ---------------------------------------------------------------- upper incomplete Gamma

// The integrand of E1 in t = e^-u; gamQfunc integrates the same function in u.
double gamQint(double t) { return -1.0 / std::log(t); }

double gamQfunc(double a, double x) {
  if (x < 0.0) fatal("cannot evaluate Gamma(a,x) for x<0");
  if (a > 0.0) return gamfunc(a) * gammq(a, x);
  if (a == 0.0) {
    // E1(x) diverges at x = 0.
    if (x == 0.0) return HUGE_VAL;
    // The integral of gamQint over [1e-6 e^-x, e^-x], taken in v with t = e^-(x + v):
    // e^-x times the integral of e^-v / (x + v) over v in [0, ln 1e6]. The integrand is
    // smooth and the integral of order 1/x, whereas in t the integrand is steep at the
    // lower end and the integral tiny at large x, where the integrator's error test
    // (absolute below 1) would let large relative errors pass.
    const double vmax = -std::log(1.0e-6);
    const double integral = integrate1z([x](double v) { return std::exp(-v) / (x + v); }, 0.0, vmax);
    return std::exp(-x) * integral;
  }
  if (a > -1.0) return (gamQfunc(a + 1.0, x) - std::exp(-x) * std::pow(x, a)) / a;
  fatal("should not reach this point in gamQfunc()");
}

// ---------------------------------------------------------------- hypergeometric 2F1

double hyperser(double a, double b, double c, double x) {
  double sum = 1.0, term = 1.0;
  for (int n = 1; n <= 100; ++n) {
    term *= (a + n - 1) * (b + n - 1) / (c + n - 1) * x / n;
    const double previous = sum;
    sum += term;
    if (std::fabs(term / previous) < 1.0e-6) return sum;
  }
  std::printf("QVM hyperser %e %e %e %e\n", a, b, c, x);
  std::fflush(stdout);
  fatal("Hypergeometric series convergence failed");
}

void hyp_intgnd(const HypEquation& p, double t, const double* y, double* dydt) {
  const double z = p.x0 + t * p.dx;
  dydt[0] = p.dx * y[1];
  dydt[1] = p.dx * (p.a * p.b * y[0] - (p.c - (p.a + p.b + 1.0) * z) * y[1]) / (z * (1.0 - z));
}

double hyperint(double a, double b, double c, double x) {
  HypEquation p;
  p.a = a;
  p.b = b;
  p.c = c;
  p.x0 = x > 0.0 ? 0.5 : -0.5;
  p.dx = x - p.x0;
  double y[2];
  y[0] = hyperser(a, b, c, p.x0);
  y[1] = a * b / c * hyperser(a + 1.0, b + 1.0, c + 1.0, p.x0);
  int nok = 0, nbad = 0;
  DIFSUB([&p](double t, const double* v, double* d) { hyp_intgnd(p, t, v, d); }, 2, y, 0.0, 1.0,
         settings.inttol, 0.0, nok, nbad, 50);
  return y[0];
}

double hypergeom(double a, double b, double c, double x) {
  if (std::fabs(x) <= 0.5) return hyperser(a, b, c, x);
  if (!(x < 1.0)) fatal("Cannot evaluate evaluate hypergeometric function for x>=1");
  return hyperint(a, b, c, x);
}

namespace {

bool nonpositive_integer(double z) { return z <= 0.0 && z == std::floor(z); }

// 1/Gamma(z): zero at the poles.
double rgamma(double z) { return nonpositive_integer(z) ? 0.0 : 1.0 / gamfunc(z); }

// log1p(t)/t, continuous at t = 0.
double log1p_ratio(double t) { return t == 0.0 ? 1.0 : std::log1p(t) / t; }

// (ln Gamma(z + e) - ln Gamma(z)) / e for small |e| (the digamma function at e = 0), for
// z >= 10: Taylor series in e with the asymptotic series of the polygamma functions.
double lngamma_slope_large(double z, double e) {
  const double r = 1.0 / z, r2 = r * r;
  const double psi0 = std::log(z) - 0.5 * r -
                      r2 * (1.0 / 12 - r2 * (1.0 / 120 - r2 * (1.0 / 252 - r2 * (1.0 / 240 - r2 / 132))));
  const double psi1 = r + 0.5 * r2 + r * r2 * (1.0 / 6 - r2 * (1.0 / 30 - r2 * (1.0 / 42 - r2 / 30)));
  const double psi2 = -r2 - r * r2 - 0.5 * r2 * r2 + r2 * r2 * r2 / 6;
  const double psi3 = 2 * r * r2 + 3 * r2 * r2 + 2 * r * r2 * r2;
  return psi0 + e * (psi1 / 2 + e * (psi2 / 6 + e * psi3 / 24));
}

// (ln|Gamma(z + e)| - ln|Gamma(z)|) / e, for any z that is not within |e| of a pole:
// shifted up to z >= 10 by the recurrence Gamma(z + 1) = z Gamma(z).
double lngamma_slope(double z, double e) {
  double shift = 0.0;
  while (z < 10.0) {
    shift += log1p_ratio(e / z) / z;
    z += 1.0;
  }
  return lngamma_slope_large(z, e) - shift;
}

// 2F1(a, b; c; x) for 0.5 < x < 1 where d = c - a - b lies within 0.001 of an integer m.
// The connection formula in y = 1 - x has two terms that are each singular as d tends to
// m (poles of Gamma(d - m) and of the series coefficients). Pairing the terms of equal
// power of y and writing their difference through expm1 removes the singularity exactly,
// so the sum below is well conditioned for every small e = d - m, including e = 0, where
// it is the logarithmic limit form. scale receives the size of the largest quantities the
// sum cancels (the magnitudes of its terms, those of the logarithms inside them
// included): scale / |result| is the factor by which rounding errors are magnified.
double hyp_near_integer(double a, double b, double c, double x, double& scale) {
  const double y = 1.0 - x;
  const double d = c - a - b;
  const double m = std::nearbyint(d);
  if (m < 0.0) {
    // Euler's transformation turns c - a - b into its negative.
    const double f = std::pow(y, d);
    const double r = f * hyp_near_integer(c - a, c - b, c, x, scale);
    scale *= f;
    return r;
  }
  const double e = d - m;
  const int mi = static_cast<int>(m);
  const double g = gamfunc(c) * rgamma(a + m + e) * rgamma(b + m + e);

  // Terms y^n, n < m, of the first series: regular.
  double regular = 0.0, regular_abs = 0.0;
  if (mi > 0) {
    double t = 1.0, sum = 1.0, sum_abs = 1.0;
    for (int n = 0; n < mi - 1; ++n) {
      t *= (a + n) * (b + n) * y / ((1.0 - m - e + n) * (n + 1));
      sum += t;
      sum_abs += std::fabs(t);
    }
    const double f = g * gamfunc(m + e);
    regular = f * sum;
    regular_abs = std::fabs(f) * sum_abs;
  }

  // Paired terms y^(m + j), j >= 0.
  // C_j = (a)_(m+j) (b)_(m+j) y^(m+j) / ((m+j)! Gamma(j+1-e)).
  double cj = 1.0 / gamfunc(1.0 - e);
  for (int n = 0; n < mi; ++n) cj *= (a + n) * (b + n) * y / (n + 1);
  // L_j = ln y + D(a+m+j) + D(b+m+j) - D(m+j+1) - D(j+1-e), D the log-Gamma slope.
  double za = a + m, zb = b + m, zm = m + 1.0, zj = 1.0 - e;
  double lj = std::log(y) + lngamma_slope(za, e) + lngamma_slope(zb, e) - lngamma_slope(zm, e) -
              lngamma_slope(zj, e);
  double sum = 0.0, sum_abs = 0.0, coef_abs = 0.0;
  for (int j = 0;; ++j) {
    const double u = e * lj;
    const double phi = u == 0.0 ? 1.0 : std::expm1(u) / u;
    const double term = cj * phi * lj;
    sum += term;
    sum_abs += std::fabs(term);
    coef_abs += std::fabs(cj * phi);
    const double ratio = za * zb * y / (zm * zj);
    if ((std::fabs(term) <= 1e-16 * std::fabs(sum) && std::fabs(ratio) < 1.0) || cj == 0.0) break;
    if (j >= 5000) fatal("Hypergeometric series convergence failed");
    lj += log1p_ratio(e / za) / za + log1p_ratio(e / zb) / zb - log1p_ratio(e / zm) / zm - log1p_ratio(e / zj) / zj;
    cj *= ratio;
    za += 1.0;
    zb += 1.0;
    zm += 1.0;
    zj += 1.0;
  }
  const double kappa = e == 0.0 ? 1.0 : kPi * e / std::sin(kPi * e);
  const double sign = (mi % 2 == 0) ? -1.0 : 1.0;  // -(-1)^m
  // L_j is a sum of logarithms of the size of ln y and ln z (z up to the last parameters
  // reached), which may cancel among themselves.
  const double logs = std::fabs(std::log(y)) + 2.0 * std::log(2.0 + std::fabs(za) + std::fabs(zb)) +
                      2.0 * std::log(1.0 + zm + std::fabs(zj));
  scale = regular_abs + std::fabs(g * kappa) * (sum_abs + logs * coef_abs);
  return regular + sign * g * kappa * sum;
}

// The power series of 2F1 summed to full precision, from a term limit of 100000; false
// when it has not converged by then. sum_abs receives the sum of the terms' magnitudes.
bool hyp_series_full(double a, double b, double c, double x, double& sum, double& sum_abs) {
  double term = 1.0;
  sum = sum_abs = 1.0;
  for (int n = 1; n <= 100000; ++n) {
    term *= (a + n - 1) * (b + n - 1) / (c + n - 1) * x / n;
    sum += term;
    sum_abs += std::fabs(term);
    const double next_ratio = (a + n) * (b + n) / ((c + n) * (n + 1)) * x;
    if (std::fabs(term) <= 1e-17 * std::fabs(sum) && std::fabs(next_ratio) < 1.0) return std::isfinite(sum_abs);
  }
  return false;
}

// The connection formula in 1 - x, for 0.5 < x < 1 and c - a - b away from the integers.
// A Gamma function at a pole in a denominator makes its term vanish.
double hyp_connection(double a, double b, double c, double x) {
  const double y = 1.0 - x, d = c - a - b, gc = gamfunc(c);
  double f = 0.0;
  const double r1 = rgamma(c - a) * rgamma(c - b);
  if (r1 != 0.0) f += gc * gamfunc(d) * r1 * hyperser(a, b, 1.0 - d, y);
  const double r2 = rgamma(a) * rgamma(b);
  if (r2 != 0.0) f += std::pow(y, d) * gc * gamfunc(-d) * r2 * hyperser(c - a, c - b, d + 1.0, y);
  return f;
}

// 2F1 where a or b is a non-positive integer: a polynomial, summed to its end.
double hyp_polynomial(double a, double b, double c, double x) {
  double term = 1.0, sum = 1.0;
  for (int n = 1; term != 0.0 && n <= 100000; ++n) {
    term *= (a + n - 1) * (b + n - 1) / (c + n - 1) * x / n;
    sum += term;
  }
  return sum;
}

}  // namespace

double hypgeo(double a, double b, double c, double x) {
  if (std::fabs(x) <= 0.5) return hyperser(a, b, c, x);
  if (x > 1.0) fatal("hypgeo cannot evaluate evaluate hypergeometric function for x>1");
  if (x > 0.5 && x < 1.0) {
    const double d = c - a - b;
    const double e = d - std::nearbyint(d);
    if (std::fabs(e) >= 0.001) return hyp_connection(a, b, c, x);
    if (nonpositive_integer(a) || nonpositive_integer(b)) return hyp_polynomial(a, b, c, x);
    // The paired sum of the limit form takes logarithms of the Gamma ratios of c - a and
    // c - b (of a and b once Euler's transformation has made c - a - b non-negative),
    // which change sign where such a parameter lies within e of a pole; there e is not
    // zero and the connection formula is well defined. The other two parameters do not
    // enter those ratios and may lie anywhere.
    const double tol = 2.0 * std::fabs(e);
    const bool euler = std::nearbyint(d) < 0.0;
    for (double z : {euler ? a : c - a, euler ? b : c - b})
      if (e != 0.0 && z < 0.5 && std::fabs(z - std::nearbyint(z)) <= tol) return hyp_connection(a, b, c, x);
    double scale;
    const double r = hyp_near_integer(a, b, c, x, scale);
    // With large a and b and x not close to 1 the limit form sums terms many orders of
    // magnitude above its result, and rounding errors grow with them; the power series in x
    // itself is then the better conditioned route (its terms are all of one sign once a, b
    // and c are positive), and it converges fast there.
    if (!(scale <= 1e5 * std::fabs(r))) {
      double s, s_abs;
      if (hyp_series_full(a, b, c, x, s, s_abs) && s_abs * std::fabs(r) < scale * std::fabs(s)) return s;
    }
    return r;
  }
  if (x < -0.5) return std::pow(1.0 - x, -a) * hypgeo(a, c - b, c, x / (x - 1.0));
  qprintf("hypgeo %e %e %e %e\n", a, b, c, x);
  fatal("should not reach this point in hypgeo()");
}

// ---------------------------------------------------------------- Appell F1

double appellF1ser(double a, double b1, double b2, double c, double x, double y) {
  constexpr int kShells = 100;
  // T(m, n) = ac[m + n] * px[m] * py[n] with ac[k] = (a)_k / (c)_k,
  // px[m] = (b1)_m x^m / m!, py[n] = (b2)_n y^n / n!.
  double ac[2 * kShells + 1], px[kShells + 1], py[kShells + 1];
  ac[0] = px[0] = py[0] = 1.0;
  double sum = 1.0;
  for (int i = 1; i <= kShells; ++i) {
    ac[2 * i - 1] = ac[2 * i - 2] * (a + 2 * i - 2) / (c + 2 * i - 2);
    ac[2 * i] = ac[2 * i - 1] * (a + 2 * i - 1) / (c + 2 * i - 1);
    px[i] = px[i - 1] * (b1 + i - 1) * x / i;
    py[i] = py[i - 1] * (b2 + i - 1) * y / i;
    const double previous = sum;
    for (int m = 0; m < i; ++m) sum += ac[m + i] * px[m] * py[i];
    for (int n = 0; n <= i; ++n) sum += ac[i + n] * px[i] * py[n];
    if (std::fabs(sum - previous) / std::fabs(previous) <= settings.inttol) return sum;
  }
  fatal("Appell F1 series convergence failed");
}

double aF1_func1(const AppellF1Params& p, double t) {
  return std::pow(t, p.a - 1.0) * std::pow(1.0 - t, p.c - p.a - 1.0) * std::pow(1.0 - p.x * t, -p.b1) *
         std::pow(1.0 - p.y * t, -p.b2);
}

double aF1_func2(const AppellF1Params& p, double s) {
  const double t = std::pow(s, 1.0 / p.a);
  return std::pow(1.0 - t, p.c - p.a - 1.0) * std::pow(1.0 - p.x * t, -p.b1) * std::pow(1.0 - p.y * t, -p.b2) /
         p.a;
}

double appellF1int(double a, double b1, double b2, double c, double x, double y) {
  const double gc = gamfunc(c), ga = gamfunc(a), gca = gamfunc(c - a);
  const AppellF1Params p{a, b1, b2, c, x, y};
  double integral;
  if (a >= 1.0 && c - a >= 1.0) {
    integral = integrate1([&p](double t) { return aF1_func1(p, t); }, 0.0, 1.0);
  } else if (a > 0.0 && a < 1.0 && c - a >= 1.0) {
    integral = integrate1([&p](double s) { return aF1_func2(p, s); }, 0.0, 1.0);
  } else {
    fatal("don't know how to handle (a,c) values in Appell F1 integral");
  }
  return gc / (ga * gca) * integral;
}
