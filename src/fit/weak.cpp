// Weak lensing: the likelihood of a catalogue of galaxy ellipticities under the model's
// reduced shear, and the commands weakdata, weakproc and weakmock.
//
// Sources: the ellipticity of a galaxy of intrinsic ellipticity s lensed by the reduced
// shear g = gamma/(1 - kappa), e = (s + g)/(1 + g* s) for |g| <= 1 and (1 + g s*)/(s* + g*)
// beyond (Bartelmann & Schneider 2001, Phys. Rep. 340, 291); the distance factor w = D_ls/D_os
// of sources at many redshifts as in Seitz & Schneider 1997, A&A 318, 687.
#include "fit/weak.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/integrate.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

WeakCatalog TWweak;

namespace {

// Smallest likelihood a galaxy is given: a galaxy exactly on |g| = 1 (where the Jacobian
// vanishes) or one whose likelihood underflows costs -2 ln(de1 de2 1e-300), not infinity.
constexpr double kLikelihoodFloor = 1e-300;
// Galaxies whose distance factor is uncertain by less than this are evaluated at w itself.
constexpr double kSmallDw = 1e-4;

// Model convergence and shear at (x, y), divided by the reference ratio.
void kappa_gamma(double x, double y, double r0, double& kap, double& gam1, double& gam2) {
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
  kap = 0.5 * (pxx + pyy) / r0;
  gam1 = 0.5 * (pxx - pyy) / r0;
  gam2 = pxy / r0;
}

// Reads the next data line, or ends with `message` at the end of the file.
void read_catalog_line(FILE* f, WordArray& w, const std::string& message) {
  w = WordArray();
  if (myread(f, w) != 1) fatal(message);
}

}  // namespace

void init_weak() { TWweak = WeakCatalog(); }

void WeakGalaxy::load(const WeakCatalog& cat, int i, double dx, double dy) {
  const auto r = cat.weakdat[i];
  wk_x = r[1] + dx;
  wk_y = r[2] + dy;
  wk_e1 = r[3];
  wk_e2 = r[4];
  wk_de1 = r[5];
  wk_de2 = r[6];
  wk_w = r[7];
  wk_dw = r[8];
  wk_norm = r[9];
  inv1 = 1.0 / (wk_de1 * wk_de1 + cat.sigs2);
  inv2 = 1.0 / (wk_de2 * wk_de2 + cat.sigs2);
}

double wk_prob(const WeakGalaxy& g, double w) {
  const double d = 1.0 - w * g.wk_kap;
  const double g1 = w * g.wk_gam1 / d, g2 = w * g.wk_gam2 / d;
  const double e1 = g.wk_e1, e2 = g.wk_e2;
  const double c = g1 * g1 + g2 * g2, E = e1 * e1 + e2 * e2, f = -2.0 * (g1 * e1 + g2 * e2);
  // |1 - conj(g) e|^2 inside the critical region's complement, |e - g|^2 beyond it.
  const double G = c <= 1.0 ? c * E + 1.0 + f : E + c + f;
  const double a = g1 * g1 - g2 * g2, b = 2.0 * g1 * g2;
  const double s1 = ((1.0 + a) * e1 + b * e2 - (E + 1.0) * g1) / G;
  const double s2 = ((1.0 - a) * e2 + b * e1 - (E + 1.0) * g2) / G;
  const double j = (c - 1.0) / G;
  const double p = g.wk_norm * j * j * std::exp(-s1 * s1 * g.inv1 - s2 * s2 * g.inv2);
  // A singular map (w kappa = 1, or e = g) has no finite density: it counts as 0.
  return std::isfinite(p) ? p : 0.0;
}

double wk_int(const WeakGalaxy& g, double t) {
  constexpr double kInvSqrt2Pi = 0.39894228040143267794;
  return wk_prob(g, g.wk_w + t * g.wk_dw) * std::exp(-0.5 * t * t) * kInvSqrt2Pi;
}

double wk_norm_int(double theta, double de1, double de2, double sigs2) {
  const double c = std::cos(theta), s = std::sin(theta);
  const double a = c * c / (de1 * de1 + sigs2) + s * s / (sigs2 + de2 * de2);
  return -std::expm1(-a) / (2.0 * a);
}

double weak_norm(double de1, double de2, double sigs2) {
  if (std::fabs(de1 - de2) >= 0.001) {
    return 1.0 / qromb([&](double t) { return wk_norm_int(t, de1, de2, sigs2); }, 0.0, 2.0 * kPi);
  }
  // Exact for equal errors; for nearly equal ones A is taken from the mean of the two
  // squared errors, which the angular integral differs from only at second order in their
  // difference (A from de1 alone would jump by up to several percent at the switch).
  const double A = 0.5 * (de1 * de1 + de2 * de2) + sigs2;
  return 1.0 / (kPi * A * -std::expm1(-1.0 / A));
}

double weak_calc_w(double z) {
  const double zl = settings.zlens;
  if (z <= zl) return 0.0;  // at or in front of the lens (z = 0 included)
  return PMdist(zl, z) / PMdist(0.0, z);
}

double weak_reference_ratio() {
  // Without a lens redshift no distance factor is used, and the model stands as given.
  if (settings.zlens < 0) return 1.0;
  const double r0 = reference_ratio(false);
  // A reference source at or in front of the lens would make every scale factor infinite.
  if (!(r0 > 0)) fatal(strformat("zref=%g is not behind the lens at zlens=%g", GetVar("zref"), settings.zlens));
  return r0;
}

double weak_chi() {
  const WeakCatalog& cat = TWweak;
  if (cat.Nweak <= 0) return 0.0;
  double dx, dy;
  GetRegister(4, 1, dx, dy);
  OutFile wk_tmp;
  if (settings.tempfiles == 1) wk_tmp = open_trace("weakpts.tmp", true);
  if (wk_tmp) std::fprintf(wk_tmp, "#  x  y  e1  e2  prob\n");
  double chi = 0.0;
  WeakGalaxy g;
  for (int i = 1; i <= cat.Nweak; ++i) {
    g.load(cat, i, dx, dy);
    kappa_gamma(g.wk_x, g.wk_y, cat.R0, g.wk_kap, g.wk_gam1, g.wk_gam2);
    double p = g.wk_dw < kSmallDw ? wk_prob(g, g.wk_w) : qromb([&g](double t) { return wk_int(g, t); }, -5.0, 5.0);
    if (!(p >= kLikelihoodFloor)) p = kLikelihoodFloor;
    const double l = g.wk_de1 * g.wk_de2 * p;
    chi -= 2.0 * std::log(l);
    if (wk_tmp)
      std::fprintf(wk_tmp, "%13.6e %13.6e %13.6e %13.6e %13.6e\n", g.wk_x, g.wk_y, g.wk_e1, g.wk_e2, l);
  }
  wk_tmp.close();
  return chi;
}

double chiweak() { return weak_chi(); }

// ---- commands ----

void weakdata(const WordArray& words) {
  FileHandle f(QVMfopen(words[1], "r", "could not open weakdata input file"));
  WordArray w;
  if (myread(f, w) != 1 || w.own_count() < 2) fatal("too few entries on first line of weakdata file");
  // The new catalogue is built aside and replaces the old one when it is complete.
  WeakCatalog cat;
  const long n = w.finite_integer(0, "weakdata");
  cat.Nweak = n > 0 ? static_cast<int>(std::min<long>(n, 2147483647L)) : 0;
  cat.weakerms = w.finite(1, "weakdata");
  cat.sigs2 = cat.weakerms * cat.weakerms;
  cat.R0 = weak_reference_ratio();
  if (cat.Nweak > 0) {
    // Rows are kept as they are read, so a count larger than the file holds ends with the
    // short-file error rather than a table of that size.
    std::vector<std::array<double, 10>> rows;
    for (int i = 1; i <= cat.Nweak; ++i) {
      read_catalog_line(f, w, strformat("weakdata file ends before galaxy #%d", i));
      if (w.own_count() < 8) fatal(strformat("Too few entries for galaxy #%d in weakdata", i));
      rows.emplace_back();
      std::array<double, 10>& r = rows.back();
      for (int k = 1; k <= 8; ++k) r[k] = w.finite(k - 1, "weakdata");
      if (r[7] > 1) fatal("w>1 in weakdata file; did you mistakenly load a redshift file?");
      // A zero error bar would make the galaxy's likelihood a delta function.
      if (!(r[5] > 0 && r[6] > 0)) fatal(strformat("de1 and de2 must be positive for galaxy #%d in weakdata", i));
      r[9] = weak_norm(r[5], r[6], cat.sigs2);
    }
    cat.weakdat.reset(1, cat.Nweak, 1, 9);
    for (int i = 1; i <= cat.Nweak; ++i)
      for (int k = 1; k <= 9; ++k) cat.weakdat[i][k] = rows[static_cast<size_t>(i - 1)][static_cast<size_t>(k)];
  }
  TWweak = std::move(cat);
}

void weakproc(const WordArray& words) {
  if (settings.zlens < 0) fatal("zlens must be set in weakproc");
  FileHandle in(QVMfopen(words[1], "r", "could not open weakproc input file"));
  WholeFile out(words[2], "could not open weakproc output file", true);
  WordArray w;
  if (myread(in, w) != 1 || w.own_count() < 2) fatal("too few entries on first line of weakproc file");
  const long n = w.finite_integer(0, "weakproc");
  const double erms = w.finite(1, "weakproc");
  std::fprintf(out, "%ld %e  # number of gals, rms source ellipticity\n", n, erms);
  std::fprintf(out, "#  x  y  e1  e2  de1  de2  w  dw\n");
  for (long i = 1; i <= n; ++i) {
    read_catalog_line(in, w, strformat("weakproc file ends before galaxy #%ld", i));
    if (w.own_count() < 8) fatal(strformat("Too few entries for galaxy #%ld in weakproc", i));
    double v[8];
    for (int k = 0; k < 8; ++k) v[k] = w.finite(k, "weakproc");
    const double z = v[6], dz = v[7];
    const double wz = weak_calc_w(z);
    const double dw = dz > 0.001 ? dz * deriv([](double zz) { return weak_calc_w(zz); }, z, 0.01) : 0.0;
    std::fprintf(out, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", v[0], v[1], v[2], v[3], v[4],
                 v[5], wz, dw);
  }
  // A catalogue cut short would be loaded as a different one.
  out.commit();
}

void weakmock(const WordArray& words) {
  const long n = words.finite_integer(2, "weakmock");
  const double Rlo = words.finite(3, "weakmock"), Rhi = words.finite(4, "weakmock");
  const double zlo = words.finite(5, "weakmock"), zhi = words.finite(6, "weakmock"), dz = words.finite(7, "weakmock");
  const double erms = words.finite(8, "weakmock"), sige = words.finite(9, "weakmock");
  // The radius is redrawn while it falls inside Rlo: the annulus must not be empty.
  if (!(Rhi > 0 && Rlo < Rhi)) fatal("weakmock needs Rhi > 0 and Rlo < Rhi");
  require_model();
  const double xc = getp(1, 2), yc = getp(1, 3);
  // Lensed at the drawn redshift, referenced as the weak term and the point images are.
  const bool redshifts = settings.zlens >= 0;
  const double r0 = weak_reference_ratio();
  WholeFile f(words[1], "could not open weakmock output file", true);
  std::fprintf(f, "%ld %e\n", n, erms);
  std::fprintf(f, "#  x  y  e1  e2  de1  de2  z  dz  #  es1  es2\n");
  // Each intrinsic component has dispersion e_rms/sqrt(2), so that <|s|^2> = e_rms^2, the
  // width the likelihood assumes.
  const double sd = erms / std::sqrt(2.0);
  long seed = settings.seed;
  for (long i = 1; i <= n; ++i) {
    double r;
    do r = Rhi * std::sqrt(ran2(seed));
    while (r < Rlo);
    const double a = 2.0 * kPi * ran2(seed);
    const double x = xc - r * std::sin(a), y = yc + r * std::cos(a);
    double kap, gam1, gam2;
    kappa_gamma(x, y, 1.0, kap, gam1, gam2);
    const double s1 = sd * gasdev(seed);
    const double s2 = sd * gasdev(seed);
    const double z = zlo + (zhi - zlo) * ran2(seed);
    const double fw = redshifts ? weak_calc_w(z) / r0 : 1.0;
    const double d = 1.0 - fw * kap;
    const double g1 = fw * gam1 / d, g2 = fw * gam2 / d;
    const double c = g1 * g1 + g2 * g2, o = s1 * s1 + s2 * s2, m = g1 * s1 + g2 * s2;
    const double G = c <= 1.0 ? c * o + 1.0 + 2.0 * m : c + o + 2.0 * m;
    const double e1 = ((1.0 + g1 * g1 - g2 * g2) * s1 + 2.0 * g1 * g2 * s2 + (1.0 + o) * g1) / G;
    const double e2 = ((1.0 - g1 * g1 + g2 * g2) * s2 + 2.0 * g1 * g2 * s1 + (1.0 + o) * g2) / G;
    std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e  # %13.6e %13.6e\n", x, y, e1, e2,
                 sige, sige, z, dz, s1, s2);
  }
  f.commit();
  // The command advances the process-wide seed.
  SetVar("seed", 0, static_cast<double>(seed));
}

