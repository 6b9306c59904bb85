// Closed-form special potentials: third-order cluster terms, a plane-wave density mode,
// monopole and multipole terms, the idealised fold, the germs of Arnold's catastrophes,
// uniform and Kuzmin disks, a boxy power-law potential, the non-parametric placeholder,
// and the Gaussian random field with its set-up commands.
//
// Each potential is written out at its routine as a closed form in x and y; the
// catastrophe germs are the standard normal forms of the fold, cusp and higher
// catastrophes, and the disks are the uniform disk and the Kuzmin disk.
//
// Sources: the catastrophe germs as lens maps, Petters, Levine & Wambsganss 2001,
// Singularity Theory and Gravitational Lensing (Birkhauser); the fold and the cusp,
// Schneider, Ehlers & Falco 1992, Gravitational Lenses (Springer); the Kuzmin disk,
// Kuzmin 1956, Astron. Zh. 33, 27.
#include "models/special.h"

#include <cmath>
#include <complex>

#include "io/qvmfile.h"
#include "models/classes.h"
#include "models/component.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

SpecialPotentialState TWspecial;

const char* const kFoldCausNames[11] = {"", "K", "e", "f", "g", "h", "k", "m", "n", "p", "r"};

namespace {

// Field of a uniform elliptical disk of semi-major axis R (major axis along x, axis
// ratio q, convergence b/q inside, enclosed mass pi b R^2), added to out[2..6] with the
// given sign. The potential is not provided.
void unidisk_field(DerivVector& out, double R, double b, double q, double x, double y, double sign) {
  const double X = x / R, Y = y / R, H = X * X + Y * Y, o = 1.0 - q * q;
  const double w = std::sqrt(H * H - 2.0 * o * (X * X - Y * Y) + o * o);
  const double lambda = (H - 1.0 - q * q + w) / 2.0;
  double ax, ay, axx, ayy, axy;
  if (lambda < 0.0) {
    ax = 2.0 * b * x / (1.0 + q);
    ay = 2.0 * b * y / (q * (1.0 + q));
    axx = 2.0 * b / (1.0 + q);
    ayy = 2.0 * b / (q * (1.0 + q));
    axy = 0.0;
  } else {
    if (settings.potflag != 0) fatal("unidisk potential is not currently implemented");
    // With L1 = lambda + 1, L2 = lambda + q^2 and Q = sqrt(L1/L2), the factors 1 - 1/Q and
    // Q - 1 over o = L1 - L2 are written as 1/(s1 (s1 + s2)) and 1/(s2 (s1 + s2)), s1 =
    // sqrt(L1), s2 = sqrt(L2): exact at every o (also o -> 0, the nearly circular disk) and
    // without the cancellation of 1 - 1/Q far from the disk.
    const double L1 = lambda + 1.0, L2 = lambda + q * q, s1 = std::sqrt(L1), s2 = std::sqrt(L2);
    const double u1 = 2.0 * b / (s1 * (s1 + s2)), u2 = 2.0 * b / (s2 * (s1 + s2));
    ax = x * u1;
    ay = y * u2;
    axx = u1 - 2.0 * b * X * X * s2 / (w * L1 * s1);
    ayy = u2 - 2.0 * b * Y * Y * s1 / (w * L2 * s2);
    axy = -2.0 * b * x * y / (R * R * w * s1 * s2);
  }
  out[2] += sign * ax;
  out[3] += sign * ay;
  out[4] += sign * axx;
  out[5] += sign * ayy;
  out[6] += sign * axy;
}

// (a^2 - s^2) / (a^p - s^p) for a, s >= 0, with its limit 2 s^(2-p) / p where a = s.
double shell_ratio(double a, double s, double p) {
  if (a > 0.0 && s > 0.0) {
    const double L = std::log(a / s);
    if (L == 0.0) return 2.0 * std::pow(s, 2.0 - p) / p;
    return std::pow(s, 2.0 - p) * std::expm1(2.0 * L) / std::expm1(p * L);
  }
  return (a * a - s * s) / (std::pow(a, p) - std::pow(s, p));
}

}  // namespace

namespace modelclass {

// Third-order cluster terms: phi = (s/4) r^3 [sin 3(theta - t) + sin(theta - t)].
void clus3(DerivVector& out, double x, double y) {
  const double s = cur.ss, t = cur.aa * kPi / 180.0, d3 = -1.5 * s;
  const double c1 = std::cos(t), s1 = std::sin(t), c3 = std::cos(3.0 * t), s3 = std::sin(3.0 * t);
  const double x2 = x * x, y2 = y * y;
  out[1] = (d3 / 6.0) * ((y2 - 3.0 * x2) * y * c3 - (3.0 * y2 - x2) * x * s3) +
           (s / 4.0) * (x2 + y2) * (y * c1 - x * s1);
  out[2] = (d3 / 2.0) * (-2.0 * x * y * c3 - (y2 - x2) * s3) + (s / 4.0) * (2.0 * x * y * c1 - (3.0 * x2 + y2) * s1);
  out[3] = (d3 / 2.0) * ((y2 - x2) * c3 - 2.0 * x * y * s3) + (s / 4.0) * ((x2 + 3.0 * y2) * c1 - 2.0 * x * y * s1);
  out[4] = -d3 * (y * c3 - x * s3) + (s / 2.0) * (y * c1 - 3.0 * x * s1);
  out[5] = d3 * (y * c3 - x * s3) + (s / 2.0) * (3.0 * y * c1 - x * s1);
  out[6] = -d3 * (x * c3 + y * s3) + (s / 2.0) * (x * c1 - y * s1);
}

// Plane-wave density mode along x: convergence b cos(k x + phi0).
void fourmode(DerivVector& out, double x, double y) {
  const double b = cur.b, k = cur.ep, phi0 = cur.al;
  if (b == 0.0) return;
  if (k == 0.0) fatal("fourmode wavenumber (parameter 4) cannot be zero");
  const double A = 2.0 * b / (k * k), w = k * x + phi0, cw = std::cos(w);
  out[1] = -A * cw;
  out[2] = A * k * std::sin(w);
  out[3] = 0.0;
  out[4] = A * k * k * cw;
  out[5] = 0.0;
  out[6] = 0.0;
}

// The non-parametric placeholder contributes nothing.
void nonpar(DerivVector&, double, double) {}

// Circular monopole term: convergence (3 - alpha)/2 K u^(1 - alpha), u = r/r0, with zero
// deflection at r0 = (s + a)/2.
void monopole(DerivVector& out, double x, double y) {
  const double b = cur.b, s = cur.ss, a = cur.aa, al = cur.al;
  if (b == 0.0) return;
  const double r0 = (s + a) / 2.0;
  if (r0 == 0.0) fatal("scale radii cannot both be zero in monopole model");
  const double r2 = x * x + y * y;
  if (r2 == 0.0) return;
  if (std::fabs(cur.ep) >= 1e-6) fatal("monopole model must be circular");
  const double p = 3.0 - al;
  if (p == 0.0) fatal("monopole model cannot have alpha (parameter 10) = 3");
  const double r = std::sqrt(r2), u = r / r0, F = std::pow(u, p);
  const double K = b * std::pow(r0, 1.0 - al) * shell_ratio(a, s, p);
  const double T = K * (F - 1.0) / (u * u), G = K * ((2.0 - al) * F + 1.0) / (u * u);
  const double cx = x / r, cy = y / r;
  out[1] = r0 * r0 * K * (F / p - std::log(u));
  out[2] = x * T;
  out[3] = y * T;
  out[4] = cy * cy * T + cx * cx * G;
  out[5] = cx * cx * T + cy * cy * G;
  out[6] = (G - T) * cx * cy;
}

// General multipole phi = -(epsilon/m) r^alpha cos(m theta), with its exact derivatives
// to third order. Written as Re(z^p zbar^q), p = (alpha + m)/2, q = (alpha - m)/2, whose
// Wirtinger derivatives are D_jk = [p]_j [q]_k r^(alpha-j-k) e^(i(m-j+k) theta).
void mpole(DerivVector& out, double x, double y) {
  const double eps = cur.ep, m = cur.aa, al = cur.al;
  if (m == 0.0) fatal("cannot evaluate mpole with m=0");
  const double r2 = x * x + y * y;
  if (r2 == 0.0) return;
  const double r = std::sqrt(r2), th = std::atan2(y, x);
  const double p = (al + m) / 2.0, q = (al - m) / 2.0;
  const double fp[4] = {1.0, p, p * (p - 1.0), p * (p - 1.0) * (p - 2.0)};
  const double fq[4] = {1.0, q, q * (q - 1.0), q * (q - 1.0) * (q - 2.0)};
  using C = std::complex<double>;
  C D[4][4];
  for (int j = 0; j <= 3; ++j)
    for (int k = 0; j + k <= 3; ++k)
      D[j][k] = fp[j] * fq[k] * std::pow(r, al - j - k) * std::polar(1.0, (m - j + k) * th);
  const C I(0.0, 1.0);
  const double f = -eps / m;
  out[1] = f * D[0][0].real();
  out[2] = f * (D[1][0] + D[0][1]).real();
  out[3] = f * (I * (D[1][0] - D[0][1])).real();
  out[4] = f * (D[2][0] + 2.0 * D[1][1] + D[0][2]).real();
  out[5] = -f * (D[2][0] - 2.0 * D[1][1] + D[0][2]).real();
  out[6] = f * (I * (D[2][0] - D[0][2])).real();
  out[7] = f * (D[3][0] + 3.0 * D[2][1] + 3.0 * D[1][2] + D[0][3]).real();
  out[8] = f * (I * (D[3][0] + D[2][1] - D[1][2] - D[0][3])).real();
  out[9] = -f * (D[3][0] - D[2][1] - D[1][2] + D[0][3]).real();
  out[10] = -f * (I * (D[3][0] - 3.0 * D[2][1] + 3.0 * D[1][2] - D[0][3])).real();
}

// Idealised fold: a quartic potential with the process-wide coefficients.
void foldcaus(DerivVector& out, double x, double y) {
  const double* c = TWspecial.foldcaus_dat;
  const double K = c[1], e = c[2], f = c[3], g = c[4], h = c[5], k = c[6], m = c[7], n = c[8],
               p = c[9], rr = c[10];
  const double x2 = x * x, y2 = y * y, x3 = x2 * x, y3 = y2 * y;
  out[1] = (1.0 - K) * x2 / 2.0 + y2 / 2.0 + e * x3 + f * x2 * y + g * x * y2 + h * y3 + k * x2 * x2 +
           m * x3 * y + n * x2 * y2 + p * x * y3 + rr * y2 * y2;
  out[2] = (1.0 - K) * x + 3.0 * e * x2 + 2.0 * f * x * y + g * y2 + 4.0 * k * x3 + 3.0 * m * x2 * y +
           2.0 * n * x * y2 + p * y3;
  out[3] = y + f * x2 + 2.0 * g * x * y + 3.0 * h * y2 + m * x3 + 2.0 * n * x2 * y + 3.0 * p * x * y2 +
           4.0 * rr * y3;
  out[4] = (1.0 - K) + 6.0 * e * x + 2.0 * f * y + 12.0 * k * x2 + 6.0 * m * x * y + 2.0 * n * y2;
  out[5] = 1.0 + 2.0 * g * x + 6.0 * h * y + 2.0 * n * x2 + 6.0 * p * x * y + 12.0 * rr * y2;
  out[6] = 2.0 * f * x + 2.0 * g * y + 3.0 * m * x2 + 4.0 * n * x * y + 3.0 * p * y2;
}

// Germs of Arnold's catastrophes (lens mappings only: no potential).
void ArnoldADE(DerivVector& out, double x, double y) {
  if (settings.potflag != 0) fatal("potential not defined for ArnoldADE model");
  int mode = 0;
  for (int k = 1; k <= 11; ++k)
    if (std::fabs(cur.b - k) <= 1e-4) mode = k;
  const double s = cur.ss, a = cur.aa, al = cur.al;
  switch (mode) {
    case 1: fatal("ArdnoldADE fold has not been implemented");
    case 2: fatal("ArdnoldADE cusp has not been implemented");
    case 5: fatal("ArdnoldADE swallowtail has not been implemented");
    case 6: fatal("ArdnoldADE butterfly has not been implemented");
    case 8: fatal("ArdnoldADE wigwam has not been implemented");
    case 3:
      if (s == 0.0 && x == 0.0 && y == 0.0) return;
      out[2] = x + 2.0 * s * x + 3.0 * x * x - 3.0 * y * y;
      out[3] = y + 2.0 * s * y - 6.0 * x * y;
      out[4] = 1.0 + 2.0 * s + 6.0 * x;
      out[5] = 1.0 + 2.0 * s - 6.0 * x;
      out[6] = -6.0 * y;
      return;
    case 4:
      out[2] = x + 3.0 * x * x + s * y;
      out[3] = y + 3.0 * y * y + s * x;
      out[4] = 1.0 + 6.0 * x;
      out[5] = 1.0 + 6.0 * y;
      out[6] = s;
      return;
    case 7:
      out[2] = x - 2.0 * s * x - 2.0 * x * y;
      out[3] = y - x * x - 2.0 * a * y - 4.0 * y * y * y;
      out[4] = 1.0 - 2.0 * s - 2.0 * y;
      out[5] = 1.0 - 2.0 * a - 12.0 * y * y;
      out[6] = -2.0 * x;
      return;
    case 9:
      out[2] = x + 3.0 * x * x + a * y + s * y * y;
      out[3] = y + a * x + 2.0 * al * y + 2.0 * s * x * y + 4.0 * y * y * y;
      out[4] = 1.0 + 6.0 * x;
      out[5] = 1.0 + 2.0 * al + 2.0 * s * x + 12.0 * y * y;
      out[6] = a + 2.0 * s * y;
      return;
    case 10:
    case 11: {
      const double sg = mode == 10 ? -1.0 : 1.0, y2 = y * y;
      out[2] = x + 2.0 * x * y;
      out[3] = y + x * x + 2.0 * al * y + 3.0 * a * y2 + 4.0 * s * y2 * y + sg * 5.0 * y2 * y2;
      out[4] = 1.0 + 2.0 * y;
      out[5] = 1.0 + 2.0 * al + 6.0 * a * y + 12.0 * s * y2 + sg * 20.0 * y2 * y;
      out[6] = 2.0 * x;
      return;
    }
    default: fatal("ArnoldADE: unknown mode");
  }
}

// Boxy power-law potential phi = b r^alpha (1 - e cos 2 theta)^(a alpha), derivatives
// through the polar forms.
void boxypot(DerivVector& out, double x, double y) {
  const double b = cur.b, e = cur.ep, a = cur.aa, al = cur.al;
  const double r2 = x * x + y * y;
  if (b == 0.0 || r2 == 0.0) return;
  if (e >= 1.0) fatal("boxypot ellipticity (parameter 4) must be below 1");
  const double r = std::sqrt(r2), c = x / r, d = y / r;
  const double c2t = c * c - d * d, s2t = 2.0 * c * d;
  const double g = a * al, B = 1.0 - e * c2t;
  const double Bg1 = std::pow(B, g - 1.0), Bg = Bg1 * B;
  const double ra = std::pow(r, al);
  // f = b r^al B^g; B' = 2 e sin 2t, B'' = 4 e cos 2t.
  const double Bp = 2.0 * e * s2t, Bpp = 4.0 * e * c2t;
  const double f = b * ra * Bg;
  const double fr_r = al * f / r2;                                   // f_r / r
  const double frr = al * (al - 1.0) * f / r2;                       // f_rr
  const double fth = b * ra * g * Bg1 * Bp;                          // f_theta
  const double Bg2 = (B != 0.0) ? Bg1 / B : 0.0;
  const double fthth = b * ra * g * ((g - 1.0) * Bg2 * Bp * Bp + Bg1 * Bpp);  // f_theta theta
  const double frth_r = al * fth / r2;                               // f_r theta / r
  const double U = fr_r + fthth / r2, V = frth_r - fth / r2;
  out[1] = f;
  out[2] = c * al * f / r - d * fth / r;
  out[3] = d * al * f / r + c * fth / r;
  out[4] = c * c * frr + d * d * U - 2.0 * c * d * V;
  out[5] = d * d * frr + c * c * U + 2.0 * c * d * V;
  out[6] = c * d * (frr - U) + (c * c - d * d) * V;
}

// Uniform elliptical disk of semi-major axis a, minus the disk of semi-major axis s when
// s > 0 (same b and e). No potential.
void unidisk(DerivVector& out, double x, double y) {
  const double b = cur.b, q = 1.0 - cur.ep, s = cur.ss, a = cur.aa;
  if (b == 0.0) return;
  if (a == 0.0) fatal("unidisk outer radius (parameter 9) cannot be zero");
  unidisk_field(out, a, b, q, x, y, 1.0);
  if (s > 0.0) unidisk_field(out, s, b, q, x, y, -1.0);
}

// Elliptical Kuzmin disk; for q = 1 the convergence is b s^3 / (r^2 + s^2)^(3/2).
void kuzdisk(DerivVector& out, double x, double y) {
  const double b = cur.b, q = 1.0 - cur.ep;
  if (b == 0.0) return;
  if (cur.ss == 0.0) cur.ss = 1e-4;
  const double s = cur.ss, q2 = q * q;
  const double E = 2.0 * b * s * s, W = std::sqrt(q2 * (s * s + x * x) + y * y), G = s + W;
  const double H = (1.0 - q2) * x * x + G * G, J = q2 * s + W;
  const double W2 = W * W, W3 = W2 * W;
  out[1] = settings.potflag != 0 ? E / 2.0 * std::log(H) - E * std::log((1.0 + q2) * s) : 0.0;
  out[2] = E * x * J / (H * W);
  out[3] = E * y * G / (H * W);
  out[4] = -2.0 * E * x * x * (J / H) * (J / H) / W2 + E * (J * W2 - q2 * q2 * x * x * s) / (W3 * H);
  out[5] = -2.0 * E * y * y * (G / H) * (G / H) / W2 + E * (G * W2 - y * y * s) / (W3 * H);
  out[6] = -E * x * y * (2.0 * G * J / (H * H * W2) + q2 * s / (W3 * H));
}

}  // namespace modelclass

// ---------------------------------------------------------------------------------------
// Gaussian random field

void initgausran1() {
  for (int i = 1; i <= TWspecial.gausran1n; ++i)
    TWspecial.gausran1arr[i] = 2.0 * kPi * ran1(settings.seed);
}

void gausran0(double x, double& phi, double& phix, double& phiy, double& phixx, double& phiyy,
              double& phixy) {
  phi = phix = phiy = phixx = phiyy = phixy = 0.0;
  const double b = cur.b;
  if (b == 0.0) return;
  if (cur.ss == 0.0) fatal("gausran0 wavelength (parameter 8) cannot be zero");
  const double kw = 2.0 * kPi / cur.ss, A = -2.0 * std::sqrt(2.0) * b / (kw * kw), c = std::cos(kw * x);
  phi = A * c;
  phix = -A * kw * std::sin(kw * x);
  phixx = -A * kw * kw * c;
}

void gausran1(double x, double y, double& phi, double& phix, double& phiy, double& phixx,
              double& phiyy, double& phixy) {
  phi = phix = phiy = phixx = phiyy = phixy = 0.0;
  const int n = TWspecial.gausran1n;
  const double b = cur.b;
  if (n == 0 || b == 0.0) return;
  if (n == 1) fatal("must have more than one mode in gausran1 model");
  if (cur.ss == 0.0) fatal("gausran1 wavelength (parameter 8) cannot be zero");
  const double kmag = 2.0 * kPi / cur.ss;
  for (int i = 1; i <= n; ++i) {
    const double ang = (i - 1) * kPi / (n - 1);
    const double kx = kmag * std::cos(ang), ky = kmag * std::sin(ang);
    const double w = kx * x + ky * y + TWspecial.gausran1arr[i];
    const double A = -2.0 * b * std::sqrt(2.0 / n) / (kx * kx + ky * ky);
    const double cw = std::cos(w), sw = std::sin(w);
    phi += A * cw;
    phix += -A * kx * sw;
    phiy += -A * ky * sw;
    phixx += -A * kx * kx * cw;
    phiyy += -A * ky * ky * cw;
    phixy += -A * kx * ky * cw;
  }
}

// ---------------------------------------------------------------------------------------
// Commands

void setfoldcaus(const WordArray& words) {
  double* c = TWspecial.foldcaus_dat;
  if (words.own_count() >= 2) {
    for (int i = 1; i <= 10; ++i) c[i] = 0.0;
    const std::string& arg = words[1];
    if (arg == "random" || arg == "ran") {
      qprintf("Setting random values for foldcaus parameters.\n");
      long seed = settings.seed;
      for (int i = 1; i <= 10; ++i) c[i] = ran1(seed);
    } else {
      // Read into a scratch copy so that a faulty file leaves no half-set coefficients.
      double v[11] = {};
      {
        FileHandle fp(QVMfopen(arg, "r", "could not open setfoldcaus input file"));
        WordArray w;
        while (myread(fp, w)) {
          const std::string& key = w[0];
          for (int i = 1; i <= 10; ++i) {
            if (key != kFoldCausNames[i]) continue;
            if (w.own_count() < 2 || !w.is_number(1))
              fatal(strformat("setfoldcaus input file %s: coefficient %s has no numeric value",
                              arg.c_str(), kFoldCausNames[i]));
            v[i] = w.real(1);
          }
        }
      }
      for (int i = 1; i <= 10; ++i) c[i] = v[i];
    }
  }
  qprintf("foldcaus parameters:\n");
  for (int i = 1; i <= 10; ++i) qprintf("  %s = %e\n", kFoldCausNames[i], c[i]);
}

void setgausran1(const WordArray& words) {
  const double v = words.real(1);
  if (!fits_int(v)) fatal("setgausran1: the number of modes is out of range");
  const int n = read_int(v);
  if (n < 0) fatal("setgausran1: the number of modes cannot be negative");
  SpecialPotentialState& g = TWspecial;
  if (!(g.gausran1n > 0 && n == g.gausran1n)) {
    g.gausran1arr.clear();
    g.gausran1n = 0;
    if (n != 0) {
      g.gausran1n = n;
      g.gausran1arr.reset(1, n);
      qprintf("Setting number of modes in gaussian random field: %d\n", n);
    }
  }
  initgausran1();
}

void loadnonpar(const WordArray&) {}
void MTseries(const WordArray&) {}
void nonpar_init() {}
void nonpar_clear() {}
void nonpar_load() {}
