// Einstein radius, mass rescaling and multipole moments about component 1.
//
// Source: the Einstein radius as the radius within which the mean convergence is 1, and
// the Einstein radius of a point mass, theta_E^2 = (4GM/c^2) D_ls/(D_ol D_os) (Schneider,
// Ehlers & Falco 1992, Gravitational Lenses, Springer). The moments are the coefficients of
// the multipole expansion of the two-dimensional potential, from the mass inside and
// outside r0.
#include "core/einstein.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "io/outfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/interp.h"
#include "numeric/roots.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

ReinState TWrein;

namespace {

// x deflection of the whole model at (x, y).
void deflection(double x, double y, double& ax, double& ay) {
  double pot, xx, yy, xy, yx;
  potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
}

// With one angle the model must be round about the centre: the deflections along x at
// (xc + R, yc) and along y at (xc, yc + R) agree within xtol. Returns the first.
double round_deflection(double R, const char* message) {
  double ax, ay, bx, by;
  deflection(TWrein.xc + R, TWrein.yc, ax, ay);
  deflection(TWrein.xc, TWrein.yc + R, bx, by);
  if (std::fabs(ax - by) > settings.xtol) fatal(message);
  return ax;
}

// Radial range of the search: the main grid about component 1 and the galaxy grids.
void rein_range(double xc, double yc, double& rlo, double& rhi) {
  const Settings& s = settings;
  const double k = s.rscale;
  if (s.gridcoords == 1) {
    rlo = 0.0;
    rhi = std::max({k * s.gridhi1 - xc, xc - k * s.gridlo1, k * s.gridhi2 - yc, yc - k * s.gridlo2});
  } else {
    rlo = k * s.gridlo1;
    rhi = k * s.gridhi1;
  }
  if (TWgrid.ngalgrid > 0) {
    const double glo = k * TWsecgrid.galgridp[2], ghi = k * TWsecgrid.galgridp[3];
    rlo = s.gridcoords == 1 ? glo : std::min(rlo, glo);
    rhi = std::max(rhi, ghi);
  }
}

// Mean convergence and mean enclosed convergence of the component loaded by initgal on
// the circle of radius R about the centre, over nt angles (one angle: at (xc + R, yc)).
void component_kappas(int nt, double R, double& kappa, double& kbar) {
  DerivVector& d = TWmod.R1;
  if (nt == 1) {
    ellipse(d, TWrein.xc + R, TWrein.yc);
    kappa = 0.5 * (d[4] + d[5]);
    kbar = d[2] / R;
    return;
  }
  double ks = 0.0, rs = 0.0;
  for (int j = 1; j <= nt; ++j) {
    const double t = kTwoPi * j / nt, c = std::cos(t), s = std::sin(t);
    ellipse(d, TWrein.xc + R * c, TWrein.yc + R * s);
    ks += 0.5 * (d[4] + d[5]);
    rs += c * d[2] + s * d[3];
  }
  kappa = ks / nt;
  kbar = rs / (nt * R);
}

// Number of angles of an azimuthal average: at least 1.
int angle_count(const WordArray& words, int i, const char* command) {
  return static_cast<int>(usable_integer(command, words[i], "number of theta steps", 1, kCountLimit));
}

}  // namespace

double calcRein_func(double R) {
  const int nt = TWrein.calcRein_nt;
  if (nt == 1) return R - round_deflection(R, "in calcRein, model is not spherical");
  double sum = 0.0;
  for (int i = 1; i <= nt; ++i) {
    const double t = kTwoPi * i / nt, c = std::cos(t), s = std::sin(t);
    double ax, ay;
    deflection(TWrein.xc + R * c, TWrein.yc + R * s, ax, ay);
    sum += c * ax + s * ay;
  }
  return R - sum / nt;
}

double do_calcRein(int nt, double& xc, double& yc) {
  TWrein.calcRein_nt = nt < 1 ? 1 : nt;
  xc = TWrein.xc = TWgal.p[1][2];
  yc = TWrein.yc = TWgal.p[1][3];
  double rlo, rhi;
  rein_range(xc, yc, rlo, rhi);
  if (!quietflag && settings.verbose <= 1) qprintf("Computing Einstein radius.\n");

  Vec xb1(1, 2), xb2(1, 2);
  int nb = 2;
  zbrak(calcRein_func, rlo, rhi, std::abs(settings.ngrid1), xb1, xb2, nb);
  if (nb < 1) {
    warning("could not bracket Rein");
    return kNoRein;
  }
  double a = xb1[nb], b = xb2[nb];
  // R minus the mean deflection vanishes at R = 0 for every lens (to rounding), so a
  // bracket starting there says nothing: look for the sign change just above 0 instead.
  if (a <= 0.0) {
    a = 1e-6 * (b - a);
    if (!(b > a)) {
      warning("could not bracket Rein");
      return kNoRein;
    }
    const double fa = calcRein_func(a), fb = calcRein_func(b);
    if ((fa > 0.0 && fb > 0.0) || (fa < 0.0 && fb < 0.0) || std::isnan(fa) || std::isnan(fb)) {
      warning("could not bracket Rein");
      return kNoRein;
    }
  }
  return zbrent(calcRein_func, a, b, settings.xtol);
}

void calcRein(const WordArray& words) {
  require_model();
  const int nw = words.own_count();
  const int nt = nw > 1 ? angle_count(words, 1, "calcRein") : 1;
  WholeFile file;
  if (nw > 2) file = WholeFile(words[2], "could not open calcRein output file", true);
  FILE* out = file ? file.get() : QVMstdout;

  double xc, yc;
  const double R = do_calcRein(nt, xc, yc);
  std::fprintf(out, "%e  # Einstein radius\n", R);
  std::fprintf(out, "#\n");
  std::fprintf(out, "#  index  kappa  <kappa>  --  evaluated at Rein\n");
  std::fprintf(out, "#\n");
  for (int i = 1; i <= TWgal.NGALMAX; ++i) {
    initgal(i);
    double kappa, kbar;
    component_kappas(nt, R, kappa, kbar);
    std::fprintf(out, "%2d %e %e\n", i, kappa, kbar);
  }
  initgal(1);
  file.commit();
}

void setMrat(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const int n = TWref.Ngal;
  if (nw < n + 3) {
    refuse_line(words);
    return;
  }
  const double R = words.finite(1, "setMrat");
  if (R == 0.0) fatal(strformat("setMrat: the radius must not be 0 (%s)", words.c_str(1)));
  const int nt = angle_count(words, 2, "setMrat");
  Vec f(1, n);
  for (int i = 1; i <= n; ++i) f[i] = words.finite(2 + i, "setMrat");

  TWrein.calcRein_nt = nt;
  TWrein.xc = TWgal.p[1][2];
  TWrein.yc = TWgal.p[1][3];
  if (nt == 1) round_deflection(R, "in setMrat, model is not spherical");

  LensModel& m = TWref.ref[1];
  qprintf("setMrat: old/new values of <kappa>\n");
  for (int i = 1; i <= n; ++i) {
    initgal(i);
    double kappa, kbar;
    component_kappas(nt, R, kappa, kbar);
    qprintf("%2d %13.6e %13.6e\n", i, kbar, f[i]);
    // A component with no mass inside R cannot be scaled to any mass.
    if (kbar == 0.0 || !std::isfinite(kbar)) {
      warning(strformat("setMrat: component %d has <kappa> = %g inside R; it is left unchanged", i, kbar));
      continue;
    }
    m.p[i][1] *= f[i] / kbar;
  }
  initgal(1);
  qprintf("setMrat: initializing rescaled model\n");
  writep(QVMstdout, m.names, m.p);
  if (initmodel(m, settings.gridflag) > 0) fatal("in initmodel called from setMrat");
}

void thetaEin(const WordArray& words) {
  const double M = words.finite(1, "thetaEin");
  const Settings& s = settings;
  if (s.zlens <= 0 || s.zsrc <= 0) {
    warning("you must set redshifts before running thetaEin");
    return;
  }
  const double Dl = angdist(0.0, s.zlens), Ds = angdist(0.0, s.zsrc), Dls = angdist(s.zlens, s.zsrc);
  const double b = 1.64711e-6 * std::sqrt(M * Dls / (Dl * Ds));
  qprintf("For mass = %e:\n", M);
  qprintf("  b      = %e arcsec\n", b);
  qprintf("  pi*b^2 = %e arcsec^2\n", kPi * b * b);
}

void moments(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const double r0 = words.finite(1, "moments");
  const long mmax = words.finite_integer(2, "moments");
  const long nrl = words.finite_integer(3, "moments");
  const long ntl = words.finite_integer(4, "moments");
  if (!(r0 > 0)) fatal(strformat("moments: r0 must be positive (%s)", words.c_str(1)));
  if (nrl < 2 || nrl > 100000000L)
    fatal(strformat("moments: the number of radial steps must be at least 2 (%s)", words.c_str(3)));
  if (ntl < 1 || ntl > 100000000L)
    fatal(strformat("moments: the number of angular steps must be at least 1 (%s)", words.c_str(4)));
  const int nr = static_cast<int>(nrl), nt = static_cast<int>(ntl);
  WholeFile file;
  if (nw > 5) file = WholeFile(words[5], "could not open moments output file", true);

  const Settings& s = settings;
  const double rlo = s.rscale * s.gridlo1, rhi = s.rscale * s.gridhi1;
  const double xc = TWgal.p[1][2], yc = TWgal.p[1][3];
  Vec rin(1, nr), rout(1, nr), ct(1, nt), st(1, nt);
  for (int j = 1; j <= nr; ++j) {
    rin[j] = setparm(nr, j, rlo, r0);
    rout[j] = setparm(nr, j, r0, rhi);
  }
  for (int k = 1; k <= nt; ++k) {
    ct[k] = std::cos(kTwoPi * k / nt);
    st[k] = std::sin(kTwoPi * k / nt);
  }
  const double dr_in = (r0 - rlo) / (nr - 1), dr_out = (rhi - r0) / (nr - 1), dt = kTwoPi / nt;

  qprintf("Computing kappa on a polar grid.\n");
  Mat kin(1, nr, 1, nt), kout(1, nr, 1, nt);
  for (int j = 1; j <= nr; ++j)
    for (int k = 1; k <= nt; ++k) {
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(xc + rin[j] * ct[k], yc + rin[j] * st[k], pot, ax, ay, xx, yy, xy, yx);
      kin[j][k] = 0.5 * (xx + yy);
      potdefmag(xc + rout[j] * ct[k], yc + rout[j] * st[k], pot, ax, ay, xx, yy, xy, yx);
      kout[j][k] = 0.5 * (xx + yy);
    }

  const char* header = " m        Ic            Is             Jc            Js             Kc            Ks";
  qprintf("Multipole moments.\n");
  qprintf("%s\n", header);
  qprintf("%s\n", std::string(std::char_traits<char>::length(header), '-').c_str());
  if (file) {
    std::fprintf(file, "# Multipole moments.\n");
    std::fprintf(file, "# m       Ic            Is             Jc            Js             Kc            Ks\n");
  }
  for (long m = 0; m <= mmax; ++m) {
    double Ic = 0, Is = 0, Jc = 0, Js = 0, Kc = 0, Ks = 0;
    const double pin = static_cast<double>(m + 1), pout = static_cast<double>(1 - m);
    for (int k = 1; k <= nt; ++k) {
      const double t = kTwoPi * k / nt, c = std::cos(m * t), sn = std::sin(m * t);
      double si = 0.0, so = 0.0;
      for (int j = 1; j < nr; ++j) {
        si += 0.5 * (std::pow(rin[j], pin) * kin[j][k] + std::pow(rin[j + 1], pin) * kin[j + 1][k]);
        so += 0.5 * (std::pow(rout[j], pout) * kout[j][k] + std::pow(rout[j + 1], pout) * kout[j + 1][k]);
      }
      Ic += c * si;
      Is += sn * si;
      Jc += c * so;
      Js += sn * so;
      Kc += c * kin[nr][k];
      Ks += sn * kin[nr][k];
    }
    const double fi = dr_in * dt * std::pow(r0, -static_cast<double>(m)) / kTwoPi;
    const double fo = dr_out * dt * std::pow(r0, static_cast<double>(m)) / kTwoPi;
    const double fk = dt * r0 * r0 / kTwoPi;
    Ic *= fi;
    Is *= fi;
    Jc *= fo;
    Js *= fo;
    Kc *= fk;
    Ks *= fk;
    qprintf("%2ld   %13.6e %13.6e  %13.6e %13.6e  %13.6e %13.6e\n", m, Ic, Is, Jc, Js, Kc, Ks);
    if (file) std::fprintf(file, "%3ld  %13.6e %13.6e  %13.6e %13.6e  %13.6e %13.6e\n", m, Ic, Is, Jc, Js, Kc, Ks);
  }
  file.commit();
}

