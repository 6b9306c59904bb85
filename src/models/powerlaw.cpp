// Power-law variants: the alternate softened power law "softpow", the power-law potential
// "alphapot", the truncated isothermal spheres "tsis", the truncated power law "tpow",
// and the coefficient table of the tabulated singular power law.
//
// Each class's density or potential is written out at its routine; the circular deflection
// is alpha(r) = 2 m(r)/r with m(r) the projected mass inside r in units of pi Sigma_cr
// (Schneider, Ehlers & Falco 1992, Gravitational Lenses).
#include "models/powerlaw.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "io/qvmfile.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"

PowerLawTable TWpowlaw;

namespace {
TabulatedClass g_alphaT{TAB_alphaT, "alphaT", TableRef("alpha"), modelclass::alphaN, TabScaling::Standard, false};
}  // namespace

namespace {

// Circular outputs from the deflection D, its radial derivative dD and the potential P
// (all already multiplied by the mass scale).
void circular_from_radial(DerivVector& out, double x, double y, double r, double D, double dD, double P) {
  const double xh = x / r, yh = y / r, g = D / r;
  out[1] = P;
  out[2] = x * g;
  out[3] = y * g;
  out[4] = yh * yh * g + xh * xh * dD;
  out[5] = xh * xh * g + yh * yh * dD;
  out[6] = (dD - g) * xh * yh;
}

// ---- truncated isothermal spheres ----

// c_n of a_n = c_n a (equal total mass 2 a b for every n).
const double kTsisC[7] = {0.0,
                          2.0 / kPi,
                          4.0 / kPi,
                          16.0 / (3.0 * kPi),
                          32.0 / (5.0 * kPi),
                          256.0 / (35.0 * kPi),
                          512.0 / (63.0 * kPi)};
// Small-radius coefficients (c1, c3) of D = 1 - c1 g + c3 g^3.
const double kTsisSeries[7][2] = {{0, 0},
                                  {1.0 / 2, 1.0 / 8},
                                  {3.0 / 4, 5.0 / 16},
                                  {15.0 / 16, 35.0 / 64},
                                  {35.0 / 32, 105.0 / 128},
                                  {315.0 / 256, 1155.0 / 1024},
                                  {693.0 / 512, 3003.0 / 2048}};

struct Radial {
  double D, K, G, P;  // deflection, convergence, shear, potential (units of b)
};

// n = 0: the singular isothermal sphere cut sharply at R = a in three dimensions.
Radial tsis_sharp(double r, double a) {
  Radial o;
  const double P0 = -(2.0 * a / kPi) * (2.0 - std::log(2.0 * a));
  if (r < 0.01 * a) {
    const double t = r / a, t2 = t * t, t4 = t2 * t2;
    o.D = 1.0 - (r / (kPi * a)) * (1.0 + t2 / 12.0 + t4 / 40.0);
    o.K = (1.0 / (2.0 * r)) * (1.0 - (2.0 * r / (kPi * a)) * (1.0 + t2 / 6.0 + 3.0 * t4 / 40.0));
    o.G = (1.0 / (2.0 * r)) * (1.0 + (t2 * t / (6.0 * kPi)) * (1.0 + 0.6 * t2));
    o.P = r * (1.0 - (r / (2.0 * kPi * a)) * (1.0 + t2 / 24.0 + t4 / 120.0)) + P0;
  } else if (r < a) {
    const double X = std::sqrt(a * a / (r * r) - 1.0), Th = std::atan(X);
    o.D = (2.0 / (kPi * r)) * (a - r * X + r * Th);
    o.K = Th / (kPi * r);
    o.G = (2.0 * a - 2.0 * r * X + r * Th) / (kPi * r * r);
    o.P = (2.0 / kPi) * (a * std::log((r * X + a) / (2.0 * a)) + 2.0 * a - 2.0 * r * X + r * Th) + P0;
  } else {
    o.D = 2.0 * a / (kPi * r);
    o.K = 0.0;
    o.G = 2.0 * a / (kPi * r * r);
    o.P = (2.0 * a / kPi) * (std::log(r / (2.0 * a)) + 2.0) + P0;
  }
  return o;
}

// n = 1..6: projection of rho = (b/2 pi) R^-2 (1 + R^2/a_n^2)^-n. With g = r/a_n,
// w = sqrt(1 + g^2) and gamma_j = Gamma(j - 1/2)/(sqrt(pi) Gamma(j)), partial fractions
// give the convergence a_n K = 1/(2g) - (1/2) sum_j gamma_j w^(1-2j); integrating,
//   D = 1 - (1/g) [gamma_1 (w - 1) + sum_(j>=2) gamma_j (1 - w^(3-2j))/(2j - 3)],
//   P/a_n = g - gamma_1 (w - 1 - L) - sum_(j>=2) gamma_j J_(2j-3)/(2j - 3),
// with L = ln((w + 1)/2), J_m = L + sum_(k=3,5..m) (1 - w^(2-k))/(k - 2); P(0) = 0.
Radial tsis_smooth(int n, double r, double a) {
  const double an = kTsisC[n] * a, g = r / an;
  Radial o;
  if (g <= 0.001) {
    const double c1 = kTsisSeries[n][0], c3 = kTsisSeries[n][1], g2 = g * g;
    o.D = 1.0 - c1 * g + c3 * g2 * g;
    o.K = (1.0 / (2.0 * g) - c1 + 2.0 * c3 * g2) / an;
    o.G = (1.0 / (2.0 * g) - c3 * g2) / an;
    o.P = an * (g - c1 * g2 / 2.0 + c3 * g2 * g2 / 4.0);
    return o;
  }
  const double wm1 = g * g / (std::sqrt(1.0 + g * g) + 1.0);  // w - 1 without cancellation
  const double w = 1.0 + wm1, lw = std::log1p(wm1), L = std::log1p(wm1 / 2.0);
  // The j = 1 terms apart: 1/(2g) - 1/(2w) = 1/(2 g w (g + w)); and beyond g = 1, where
  // g - (w - 1) cancels, g - (w - 1) = 1 - 1/(g + w).
  double gam = 1.0;  // gamma_1
  double ksum = 0.0, dsum = 0.0, psum = 0.0;
  double J = L;      // J_1
  for (int j = 2; j <= n; ++j) {
    gam *= (2.0 * j - 3.0) / (2.0 * j - 2.0);
    const int m = 2 * j - 3;
    if (m >= 3) J += -std::expm1((2.0 - m) * lw) / (m - 2.0);
    ksum += gam * std::exp((1.0 - 2.0 * j) * lw);
    dsum += gam * -std::expm1((3.0 - 2.0 * j) * lw) / m;
    psum += gam * J / m;
  }
  const double k = 1.0 / (2.0 * g * w * (g + w)) - 0.5 * ksum;
  if (g < 1.0) {
    o.D = 1.0 - (wm1 + dsum) / g;
    o.P = an * (g - (wm1 - L) - psum);
  } else {
    const double gw = 1.0 - 1.0 / (g + w);  // g - (w - 1)
    o.D = (gw - dsum) / g;
    o.P = an * (gw + L - psum);
  }
  o.K = k / an;
  o.G = (o.D / g - k) / an;
  return o;
}

}  // namespace

// ---------------------------------------------------------------------------------------

// (2/r)(ln(1 + r/s) - r/(r + s)). The bracket cancels at small r (it is u^2/2 + ...
// with u = r/(r + s)): below u = 0.1 it is summed as -ln(1 - u) - u = u^2 sum_(k>=2)
// u^(k-2)/k, which also holds at r = 0 and replaces the two-term series of the closed
// form's small-radius branch (1e-8 off at r/s = 1e-4).
double softpow0phir(double r) {
  const double s = cur.ss, u = r / (r + s);
  if (u >= 0.1) return (2.0 / r) * (std::log1p(r / s) - u);
  double sum = 0.0;
  for (int k = 20; k >= 2; --k) sum = 1.0 / k + u * sum;
  return 2.0 * r * sum / ((r + s) * (r + s));
}

namespace modelclass {

// Circular softened power law with alpha = 0: convergence (b^2/2)(s + r)^-2.
void softpow(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  if (cur.ss == 0.0) cur.ss = 1e-4;
  if (std::fabs(cur.al) > 1e-6) fatal("softpow only implemented for alpha=0");
  if (std::fabs(cur.ep) > 1e-6) fatal("softpow only implemented for circular case");
  const double s = cur.ss, H = cur.b * cur.b / 2.0, r = std::sqrt(x * x + y * y);
  const double D = H * softpow0phir(r);
  const double m = r != 0.0 ? D / r : H / (s * s);
  const double k2 = 2.0 * H / ((r + s) * (r + s)) - m;
  const double xh = r != 0.0 ? x / r : 1.0, yh = r != 0.0 ? y / r : 0.0;
  out[2] = m * x;
  out[3] = m * y;
  out[4] = yh * yh * m + xh * xh * k2;
  out[5] = xh * xh * m + yh * yh * k2;
  out[6] = (k2 - m) * xh * yh;
  out[1] = (settings.potflag != 0 && r != 0.0) ? H * integrate1(softpow0phir, 0.0, r) : 0.0;
}

// Elliptical power-law potential b (s^2 + x^2 + y^2/q^2)^(alpha/2), with third derivatives.
void alphapot(DerivVector& out, double x, double y) {
  const double b = cur.b;
  if (b == 0.0) return;
  if (cur.ss == 0.0) cur.ss = 1e-4;
  const double s = cur.ss, q = 1.0 - cur.ep, q2 = q * q, al = cur.al;
  const double Q = s * s + x * x + y * y / q2, h = al / 2.0;
  const double Qh1 = std::pow(Q, h - 1.0), Qh2 = Qh1 / Q, Qh3 = Qh2 / Q;
  out[1] = b * Qh1 * Q;
  out[2] = al * b * x * Qh1;
  out[3] = al * b * y * Qh1 / q2;
  out[4] = al * b * Qh2 * (s * s - (1.0 - al) * x * x + y * y / q2);
  out[5] = al * b * Qh2 * (s * s + x * x - (1.0 - al) * y * y / q2) / q2;
  out[6] = -al * (2.0 - al) * b * x * y * Qh2 / q2;
  const double T = al * (al - 2.0) * b * Qh3;
  out[7] = T * x * (3.0 * Q + (al - 4.0) * x * x);
  out[8] = T * y * (Q + (al - 4.0) * x * x) / q2;
  out[9] = T * x * (q2 * Q + (al - 4.0) * y * y) / (q2 * q2);
  out[10] = T * y * (3.0 * q2 * Q + (al - 4.0) * y * y) / (q2 * q2 * q2);
}

// Circular power law (convergence (alpha^2/2) b r^(alpha-2)) whose projected mass stops
// growing at r = a.
void tpow(DerivVector& out, double x, double y) {
  const double b = cur.b, a = cur.aa, al = cur.al;
  if (b == 0.0) return;
  if (a == 0.0) fatal("tpow truncation radius cannot be zero");
  const double r = std::sqrt(x * x + y * y);
  if (r == 0.0) return;
  if (std::fabs(cur.ep) >= 1e-6) fatal("for now, tpow model must be circular");
  const double ba = al * b * std::pow(a, al);
  double D, dD, P;
  if (r <= a) {
    D = al * b * std::pow(r, al - 1.0);
    dD = (al - 1.0) * al * b * std::pow(r, al - 2.0);
    double bracket;
    if (std::fabs(al) <= 0.01) {
      const double t = std::log(r / a);
      bracket = t + al * t * t / 2.0 + al * al * t * t * t / 6.0;
    } else {
      bracket = (std::pow(r / a, al) - 1.0) / al;
    }
    P = ba * (std::log(a) + bracket);
  } else {
    D = ba / r;
    dD = -D / r;
    P = ba * std::log(r);
  }
  circular_from_radial(out, x, y, r, D, dD, settings.potflag != 0 ? P : 0.0);
}

// Truncated singular isothermal sphere with truncation power n = 0..6 (total mass 2 a b).
void tsis(DerivVector& out, double x, double y) {
  const double b = cur.b;
  if (b == 0.0) return;
  if (std::fabs(cur.ep) > 1e-4) fatal("tsis model must be circular");
  if (std::fabs(cur.ss) > 1e-4) fatal("tsis model must be singular");
  const double r = std::sqrt(x * x + y * y);
  if (r == 0.0) return;
  int n = -1;
  for (int k = 0; k <= 6; ++k)
    if (std::fabs(cur.al - k) < 0.01) n = k;
  if (n < 0) fatal("unknown value of the truncation power in tsis model");
  const double a = cur.aa;
  if (a == 0.0) fatal("tsis truncation radius (parameter 9) cannot be zero");
  const Radial o = n == 0 ? tsis_sharp(r, a) : tsis_smooth(n, r, a);
  const double xh = x / r, yh = y / r, c2 = xh * xh - yh * yh;
  out[1] = settings.potflag != 0 ? b * o.P : 0.0;
  out[2] = b * o.D * xh;
  out[3] = b * o.D * yh;
  out[4] = b * (o.K - o.G * c2);
  out[5] = b * (o.K + o.G * c2);
  out[6] = -2.0 * b * o.G * xh * yh;
}

// The softened power law of "alpha" from tables: the power-law coefficient table for the
// singular model, the tabulated "alpha" models otherwise, and the numerical alphaN where
// neither answers.
void alphaT(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  if (cur.ss == 0.0) {
    if (TWpowlaw.powlawTflag == 1) {
      if (powlawT(out, x, y) == 1) return;
      // Outside the coefficient table: the numerical model with the core 1e-4, as without
      // the table (the warning shares its counter with the ellipticity warning).
      int& c = TWtabwarn.n[TAB_alphaT][TABW_E];
      if (c <= 10 && ++c <= 10) {
        warning("alphaT model is out of tabulation range");
        qprintf("         Using numerical solution instead.\n");
        if (c == 10) qprintf("(Further warnings will be suppressed.)\n");
      }
    }
    cur.ss = 1e-4;
  }
  if (x * x + y * y == 0.0) return;
  TabLookup L;
  if (tabulated_lookup(g_alphaT, x, y, L)) {
    const double b = cur.b, s = cur.ss;
    const double H = std::pow(b * L.s / (L.b * s), 2.0 - L.alpha), Ls = s / L.s;
    out[1] = L.v[0] * Ls * Ls * H;
    out[2] = L.v[1] * Ls * H;
    out[3] = L.v[2] * Ls * H;
    out[4] = L.v[3] * H;
    out[5] = L.v[4] * H;
    out[6] = L.v[5] * H;
    return;
  }
  const double b0 = cur.b, s0 = cur.ss;
  if (settings.alphanorm == 1) {
    const double q = 1.0 - cur.ep, f = std::sqrt((1.0 + q * q) / 2.0) / q;
    cur.b *= f;
    cur.ss *= f;
  }
  modelclass::alphaN(out, x, y);
  cur.b = b0;
  cur.ss = s0;
}

}  // namespace modelclass

// ---------------------------------------------------------------------------------------
// Coefficient table of the tabulated singular power law

void powlaw_set_axes(PowerLawTable& t) {
  t.powlawTlim.reset(1, 3, 0, 5);
  const double axes[4][5] = {{0, 0, 0, 0, 0},
                             {PowerLawTable::kN1, 0.4, 1.6, 0.5, 1.5},
                             {PowerLawTable::kN2, 0.02, 1.1, 0.2, 1.0},
                             {PowerLawTable::kN3, -kPi / 2.0, kPi / 2.0, 0.0, kPi / 2.0}};
  for (int i = 1; i <= 3; ++i) {
    t.powlawTlim[i][0] = axes[i][0];
    t.powlawTlim[i][1] = axes[i][1];
    t.powlawTlim[i][2] = axes[i][2];
    t.powlawTlim[i][3] = (axes[i][2] - axes[i][1]) / (axes[i][0] - 1.0);
    t.powlawTlim[i][4] = axes[i][3];
    t.powlawTlim[i][5] = axes[i][4];
  }
}

namespace {

// Cell index and the four B-spline weights of one axis.
struct AxisWeights {
  long i;
  double w[4];
};

AxisWeights axis_weights(double p, double first, double step, int n) {
  const double u = (p - first) / step;
  long i = static_cast<long>(std::floor(u));
  if (i > n - 2) i = n - 2;  // the last node: last cell, fraction 1
  if (i < 0) i = 0;
  const double t = u - static_cast<double>(i), t2 = t * t, t3 = t2 * t;
  AxisWeights a;
  a.i = i;
  a.w[0] = (-t3 + 3.0 * t2 - 3.0 * t + 1.0) / 6.0;
  a.w[1] = (3.0 * t3 - 6.0 * t2 + 4.0) / 6.0;
  a.w[2] = (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) / 6.0;
  a.w[3] = t3 / 6.0;
  return a;
}

double spline_sum(const double* c, const AxisWeights& a1, const AxisWeights& a2, const AxisWeights& a3,
                  long s1, long s2) {
  double v = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double* ci = c + (a1.i + i) * s1;
    double vi = 0.0;
    for (int j = 0; j < 4; ++j) {
      const double* cj = ci + (a2.i + j) * s2 + a3.i;
      vi += a2.w[j] * (a3.w[0] * cj[0] + a3.w[1] * cj[1] + a3.w[2] * cj[2] + a3.w[3] * cj[3]);
    }
    v += a1.w[i] * vi;
  }
  return v;
}

}  // namespace

double einspline_eval(const Vec& coeffs, int n1, int n2, int n3, double p1, double p2, double p3,
                      double f1, double f2, double f3, double d1, double d2, double d3) {
  const AxisWeights a1 = axis_weights(p1, f1, d1, n1), a2 = axis_weights(p2, f2, d2, n2),
                    a3 = axis_weights(p3, f3, d3, n3);
  const long s2 = n3 + 2, s1 = static_cast<long>(n2 + 2) * s2;
  const long need = (a1.i + 3) * s1 + (a2.i + 3) * s2 + a3.i + 3;
  if (coeffs.lo() != 0 || coeffs.hi() < need) nrerror("einspline_eval: coefficient array too small");
  return spline_sum(&static_cast<const Vec&>(coeffs)[0], a1, a2, a3, s1, s2);
}

double powlawT_interp(int k, double alpha, double q, double theta) {
  const PowerLawTable& t = TWpowlaw;
  const Mat& L = t.powlawTlim;
  return einspline_eval(t.powlawTcoeffs[k], read_int(L[1][0]), read_int(L[2][0]), read_int(L[3][0]), alpha, q,
                        theta, L[1][1], L[2][1], L[3][1], L[1][3], L[2][3], L[3][3]);
}

int powlawT(DerivVector& out, double x, double y) {
  const PowerLawTable& t = TWpowlaw;
  if (t.powlawTflag == 0) return 0;
  out.zero();
  const double b = cur.b;
  if (b == 0.0 || x * x + y * y == 0.0) return 1;
  const double r = std::sqrt(x * x + y * y), th = std::acos(std::fmin(1.0, std::fabs(x) / r));
  const double q = 1.0 - cur.ep, al = cur.al;
  const Mat& L = t.powlawTlim;
  const double v[4] = {0.0, al, q, th};
  // Bounds included, with a margin for the rounding of q = 1 - e (e = 0.8 gives q a hair
  // below 0.2).
  for (int i = 1; i <= 3; ++i)
    if (!(v[i] >= L[i][4] - 1e-12 && v[i] <= L[i][5] + 1e-12)) return 0;
  const AxisWeights a1 = axis_weights(al, L[1][1], L[1][3], PowerLawTable::kN1),
                    a2 = axis_weights(q, L[2][1], L[2][3], PowerLawTable::kN2),
                    a3 = axis_weights(th, L[3][1], L[3][3], PowerLawTable::kN3);
  double T[7];
  for (int k = 1; k <= 6; ++k)
    T[k] = spline_sum(&t.powlawTcoeffs[k][0], a1, a2, a3, PowerLawTable::kStride1, PowerLawTable::kStride2);
  const double bp = settings.alphanorm == 1 ? b * std::sqrt((1.0 + q * q) / 2.0) / q : b;
  const double w = std::pow(bp / r, 2.0 - al), sq = std::sqrt(q), r2 = r * r;
  out[1] = w * r2 * T[1] / (al * sq);
  out[2] = x * w * T[2];
  out[3] = y * w * T[3] / q;
  out[4] = (al - 2.0) * sq * x * x * w * T[4] / r2 + w * T[2];
  out[5] = (al - 2.0) * y * y * w * T[6] / (q * sq * r2) + w * T[3] / q;
  out[6] = (al - 2.0) * x * y * w * T[5] / (sq * r2);
  return 1;
}

void read_powlawtab(const std::string& path, PowerLawTable& t) {
  std::string text;
  {
    FileHandle fp(QVMfopen(path, "r", "could not open loadpowlawtab input file"));
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
  }
  // Fill fresh arrays, so that a faulty file leaves the loaded table as it was.
  Vec c[7];
  for (int k = 1; k <= 6; ++k) c[k].reset(0, PowerLawTable::kCount - 1);
  const long total = 6 * PowerLawTable::kCount;
  const char* p = text.c_str();
  for (long nread = 0; nread < total; ++nread) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0')
      fatal(strformat("loadpowlawtab input file %s holds %ld values; the table needs %ld", path.c_str(), nread,
                      total));
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end))) || !std::isfinite(v)) {
      const char* e = p;
      while (*e != '\0' && !std::isspace(static_cast<unsigned char>(*e))) ++e;
      fatal(strformat("loadpowlawtab input file %s: value %ld (\"%s\") is not a number", path.c_str(), nread + 1,
                      std::string(p, e).c_str()));
    }
    c[nread % 6 + 1][nread / 6] = v;
    p = end;
  }
  if (t.powlawTflag == 0) powlaw_set_axes(t);
  for (int k = 1; k <= 6; ++k) t.powlawTcoeffs[k] = std::move(c[k]);
}

void loadpowlawtab(const WordArray& words) {
  read_powlawtab(words[1], TWpowlaw);
  if (!quietflag && !(settings.verbose > 2)) qprintf("Read powlawtab.\n");
  TWpowlaw.powlawTflag = 1;
}

