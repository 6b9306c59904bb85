// Model checks: ranpos, checkmod, checkder, checkPder, checkmag.
#include "core/checks.h"

#include <cmath>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "numeric/random.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/words.h"

namespace {

// The seven lensing values at a point: potential, deflection x, y, phi_xx, yy, xy, yx
// (index 1..7; 0 unused).
struct Values {
  double q[8] = {};
};
Values evaluate(double x, double y) {
  Values v;
  potdefmag(x, y, v.q[1], v.q[2], v.q[3], v.q[4], v.q[5], v.q[6], v.q[7]);
  return v;
}

double abs_err(double f, double g) { return std::fabs(f - g); }
double rel_err(double f, double g) { return 2.0 * std::fabs(f - g) / std::fabs(f + g + 1e-6); }

// Error histograms of checkmod and checkder: [bin 0..7][column 0..7], column 0 all
// quantities together, column k quantity k.
struct Histograms {
  double abs[8][8] = {}, rel[8][8] = {};
  void count(int k, double ea, double er) {
    const int ba = error_bin(ea), br = error_bin(er);
    abs[ba][0] += 1;
    abs[ba][k] += 1;
    rel[br][0] += 1;
    rel[br][k] += 1;
  }
  void normalise(int N, int nquant) {
    for (int b = 0; b < 8; ++b) {
      abs[b][0] /= static_cast<double>(N) * nquant;
      rel[b][0] /= static_cast<double>(N) * nquant;
      for (int k = 1; k < 8; ++k) {
        abs[b][k] /= N;
        rel[b][k] /= N;
      }
    }
  }
};

// The three files of a check: "<base>.dat", "<base>.abs", "<base>.rel", all opened
// before any work so that a bad name costs nothing.
struct CheckFiles {
  std::string dat_name, abs_name, rel_name;
  OutFile dat, abs, rel;
  CheckFiles(const std::string& base, const char* message)
      : dat_name(base + ".dat"), abs_name(base + ".abs"), rel_name(base + ".rel") {
    dat = OutFile(dat_name, "w", message);
    abs = OutFile(abs_name, "w", message);
    rel = OutFile(rel_name, "w", message);
  }
};

// Sample points uniform over the annulus rmin <= r <= rmax about (x0, y0), drawn by
// rejection from the disc.
struct AnnulusSampler {
  double x0, y0, rmin, rmax;
  RandomStream r;
  void next(double& x, double& y) {
    double rad;
    do rad = rmax * std::sqrt(ran2(r));
    while (rad < rmin);
    const double t = kTwoPi * ran2(r);
    x = x0 - rad * std::sin(t);
    y = y0 + rad * std::cos(t);
  }
};

// Words 2..4 of checkmod and checkder: rmin, rmax and the number of points, refused
// where the sampler could not draw or would never stop.
void read_annulus(const WordArray& words, const char* command, double& rmin, double& rmax, int& N) {
  rmin = words.finite(2, command);
  rmax = words.finite(3, command);
  const long n = words.finite_integer(4, command);
  if (n < 1 || n > 1000000000L) fatal(strformat("%s: Nsamp must be at least 1 (%s)", command, words.c_str(4)));
  if (!(rmax > 0)) fatal(strformat("%s: rmax must be positive (%s)", command, words.c_str(3)));
  if (!(rmin < rmax)) fatal(strformat("%s: rmin must be below rmax (%s)", command, words.c_str(2)));
  N = static_cast<int>(n);
}

void write_histogram(FILE* fp, const double h[8][8], int N, const std::string& marker, const char* header,
                     bool with_pot) {
  std::fprintf(fp, "%d %s Nsamp\n", N, marker.c_str());
  std::fprintf(fp, "%s\n", marker.c_str());
  std::fprintf(fp, "%s%s\n", marker.c_str(), header);
  std::fprintf(fp, "%s\n", marker.c_str());
  for (int n = 7; n >= 0; --n) {
    const char c = n == 7 ? '<' : (n == 0 ? '>' : ' ');
    std::fprintf(fp, " %c= -%d ", c, n);
    std::fprintf(fp, " %f", h[n][0]);
    for (int k = with_pot ? 1 : 2; k < 8; ++k) std::fprintf(fp, " %f", h[n][k]);
    std::fprintf(fp, "\n");
  }
}

// The fraction-versus-bin chart of column 0 of both tables.
void print_chart(const Histograms& h) {
  qprintf("\n");
  qprintf("Error histograms: fraction versus log(err)\n");
  qprintf("\n");
  qprintf("               absolute                           relative\n");
  for (int row = 10; row >= 0; --row) {
    const double d = row / 10.0;
    const char* sp = row == 0 ? "--" : "  ";
    auto marks = [&](const double t[8][8]) {
      for (int b = 7; b >= 0; --b) {
        const double f = t[b][0];
        qprintf("%s%c", sp, f >= d - 0.05 && f < d + 0.05 ? '*' : ' ');
      }
    };
    qprintf("  %.1f |", d);
    marks(h.abs);
    qprintf("%s", sp);
    qprintf("    %.1f |", d);
    marks(h.rel);
    qprintf("%s\n", sp);
  }
  qprintf("        <=");
  for (int n = 6; n >= 1; --n) qprintf(" -%d", n);
  qprintf("  =>           <=");
  for (int n = 6; n >= 1; --n) qprintf(" -%d", n);
  qprintf("  =>\n");
  qprintf("\n");
}

void finish_histograms(CheckFiles& f, Histograms& h, int N, int nquant, const std::string& marker,
                       const char* quantities, bool with_pot) {
  f.dat.close();
  h.normalise(N, nquant);
  qprintf("Writing histogram of absolute errors to %s\n", f.abs_name.c_str());
  write_histogram(f.abs, h.abs, N, marker, (std::string(" histograms: log(abserr) avg ") + quantities).c_str(),
                  with_pot);
  f.abs.close();
  qprintf("Writing histogram of relative errors to %s\n", f.rel_name.c_str());
  write_histogram(f.rel, h.rel, N, marker, (std::string(" histograms: log(relerr) avg ") + quantities).c_str(),
                  with_pot);
  f.rel.close();
  print_chart(h);
}

void progress(int i) {
  if (i % 100 == 0 && !quietflag) qprintf("Sample point #%d\n", i);
}

}  // namespace

int error_bin(double err) {
  if (!std::isfinite(err)) return 0;
  if (err < 1e-7) err = 1e-7;
  const double b = (0.5 - std::log10(err)) * 1.000001;
  if (b < 0) return 0;
  return b >= 7 ? 7 : static_cast<int>(b);
}

// ---- ranpos ----

void ranpos(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const double rmin = words.finite(2, "ranpos"), rmax = words.finite(3, "ranpos");
  const long N = words.finite_integer(4, "ranpos");
  const double x0 = getp(1, 2), y0 = getp(1, 3);
  double pot0 = 0, defx0 = 0, defy0 = 0;
  if (nw > 5 && words.real(5) == 1.0) {
    const Values c = evaluate(x0, y0);
    pot0 = c.q[1];
    defx0 = c.q[2];
    defy0 = c.q[3];
  }
  WholeFile fp(words[1], "could not open ranpos output file", true);
  std::fprintf(fp, "# x y pot defx defy xx yy xy yx\n");
  RandomStream r(settings.seed);
  for (long i = 1; i <= N; ++i) {
    const double r1 = ran2(r), r2 = ran2(r);
    const double rad = std::sqrt(rmin * rmin + r1 * (rmax * rmax - rmin * rmin)), t = kTwoPi * r2;
    const double x = x0 + rad * std::cos(t), y = y0 + rad * std::sin(t);
    const Values v = evaluate(x, y);
    std::fprintf(fp, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", x, y, v.q[1] - pot0,
                 v.q[2] - defx0, v.q[3] - defy0, v.q[4], v.q[5], v.q[6], v.q[7]);
  }
  fp.commit();
}

// ---- checkmod ----

void checkmod(const WordArray& words) {
  if (TWref.Nref < 2 || TWref.Ngal < 1) fatal("You must give two mass models.");
  if (words.own_count() < 5) {
    refuse_line(words);
    return;
  }
  double rmin, rmax;
  int N;
  read_annulus(words, "checkmod", rmin, rmax, N);
  CheckFiles f(words[1], "could not open checkmod output file");
  const std::string marker = GetString("_COMMENT");
  const bool pot = settings.potflag != 0;
  qprintf("Running %d points and writing to %s\n", N, f.dat_name.c_str());
  std::fprintf(f.dat, "%s\n", marker.c_str());
  std::fprintf(f.dat, "%s  x y  (abserr, relerr) for: %sdefx defy xx yy xy yx\n", marker.c_str(), pot ? "pot " : "");
  std::fprintf(f.dat, "%s\n", marker.c_str());

  const LensModel& m1 = TWref.ref[1];
  const LensModel& m2 = TWref.ref[2];
  if (initmodel(m1, 0) > 0) fatal("in initmodel called from checkmod");
  AnnulusSampler s{getp(1, 2), getp(1, 3), rmin, rmax, RandomStream(settings.seed)};
  Histograms h;
  for (int i = 1; i <= N; ++i) {
    progress(i);
    double x, y;
    s.next(x, y);
    std::fprintf(f.dat, " %9.2e %9.2e ", x, y);
    if (initmodel(m1, 0) > 0) fatal("in initmodel called from checkmod");
    const Values a = evaluate(x, y);
    if (initmodel(m2.names, m2.p, m1.z, 0) > 0) fatal("in initmodel called from checkmod");
    const Values b = evaluate(x, y);
    for (int k = pot ? 1 : 2; k <= 7; ++k) {
      const double ea = abs_err(a.q[k], b.q[k]), er = rel_err(a.q[k], b.q[k]);
      std::fprintf(f.dat, " %.2e %.2e", ea, er);
      h.count(k, ea, er);
    }
    std::fprintf(f.dat, "\n");
    f.dat.flush();
  }
  // Later commands work on model 1 again (the grid was never rebuilt).
  if (initmodel(m1, 0) > 0) fatal("in initmodel called from checkmod");
  finish_histograms(f, h, N, 7, marker, "pot defx defy xx yy xy yx", true);
}

// ---- checkder ----

void checkder(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  double rmin, rmax;
  int N;
  read_annulus(words, "checkder", rmin, rmax, N);
  const double h = nw > 5 ? words.finite(5, "checkder") : 0.001;
  if (h == 0.0) fatal(strformat("checkder: the step h must not be 0 (%s)", words.c_str(5)));
  CheckFiles f(words[1], "could not open checkder output file");
  const std::string marker = GetString("_COMMENT");
  // The potential of a multi-plane model is a delay only at an image: its gradient is not
  // the deflection, so the deflections are not checked against its differences there.
  const bool multiplane = LOS.on != 0;
  if (multiplane && settings.potflag != 0)
    warning("checkder: the potential of a multi-plane model is not differentiated; only the second derivatives "
            "are checked");
  const bool pot = settings.potflag != 0 && !multiplane;
  qprintf("Running %d points and writing to %s\n", N, f.dat_name.c_str());
  std::fprintf(f.dat, "%s\n", marker.c_str());
  std::fprintf(f.dat, "%s  x y  (abserr, relerr) for: %sxx yy xy yx\n", marker.c_str(), pot ? "defx defy " : "");
  std::fprintf(f.dat, "%s\n", marker.c_str());

  AnnulusSampler s{getp(1, 2), getp(1, 3), rmin, rmax, RandomStream(settings.seed)};
  Histograms hist;
  const double e = 0.5 * h;
  for (int i = 1; i <= N; ++i) {
    progress(i);
    double x, y;
    s.next(x, y);
    const Values a = evaluate(x, y);
    const Values xp = evaluate(x + e, y), xm = evaluate(x - e, y);
    const Values yp = evaluate(x, y + e), ym = evaluate(x, y - e);
    Values d;
    d.q[2] = (xp.q[1] - xm.q[1]) / h;
    d.q[4] = (xp.q[2] - xm.q[2]) / h;
    d.q[7] = (xp.q[3] - xm.q[3]) / h;
    d.q[3] = (yp.q[1] - ym.q[1]) / h;
    d.q[5] = (yp.q[3] - ym.q[3]) / h;
    d.q[6] = (yp.q[2] - ym.q[2]) / h;
    std::fprintf(f.dat, " %f %f ", x, y);
    for (int k = pot ? 2 : 4; k <= 7; ++k) {
      const double ea = abs_err(a.q[k], d.q[k]), er = rel_err(a.q[k], d.q[k]);
      std::fprintf(f.dat, " %.2e %.2e", ea, er);
      hist.count(k, ea, er);
      if (error_bin(ea) == 0) qprintf("QVMabs %d  dat %13.6e %13.6e  err %13.6e\n", k, a.q[k], d.q[k], ea);
      if (error_bin(er) == 0) qprintf("QVMrel %d  dat %13.6e %13.6e  err %13.6e\n", k, a.q[k], d.q[k], er);
    }
    std::fprintf(f.dat, "\n");
    f.dat.flush();
  }
  finish_histograms(f, hist, N, 6, marker, "defx defy xx yy xy yx", false);
}

// ---- checkPder ----

void checkPder(const WordArray& words) {
  const double x = words.finite(1, "checkPder"), y = words.finite(2, "checkPder");
  words.finite(3, "checkPder");
  qprintf("Checking parameter derivatives\n");
  PotDefMagVector out;
  potdefmagONE(out, x, y, true);
}

// ---- checkmag ----

namespace {

// Image count and total magnification of a point source at (u, v).
void total_mag(double u, double v, int& n, double& mu) {
  Mat list;
  n = 0;
  find_img(n, list, u, v);
  mu = 0.0;
  for (int i = 1; i <= n; ++i) mu += std::fabs(list[i][3]);
}

// True when model 1 is the set-up the closed forms describe: one round component at the
// origin with a positive shear along the x axis and b given directly ("alpha" also with
// alpha = 1 and no core).
bool checkmag_setup_matches(bool is_alpha) {
  if (TWgal.count != 1 || TWgal.NGALMAX != 1) return false;
  const auto raw = TWref.ref[1].p[1];
  const double e = getp(1, 4), x = getp(1, 2), y = getp(1, 3), g = getp(1, 6), tg = getp(1, 7);
  if (e != 0.0 || x != 0.0 || y != 0.0) return false;
  if (!(g > 0.0) || std::fmod(tg, 180.0) != 0.0) return false;
  if (!(raw[1] > 0.0) || settings.logRein != 0) return false;
  if (is_alpha && (raw[10] != 1.0 || raw[8] != 0.0)) return false;
  return true;
}

}  // namespace

void checkmag(const WordArray& words) {
  require_model();
  if (!checksteps(words[4], "d steps", 1, 1)) return;
  const double dlo = words.finite(2, "checkmag"), dhi = words.finite(3, "checkmag");
  const int n = words.signed_count(4, "number of steps");
  if (log_range_refused(n, dlo, dhi)) {
    warn_log_range();
    return;
  }
  const std::string cls = TWgal.name(1);
  const bool is_alpha = cls == "alpha";
  if (!is_alpha && cls != "ptmass") fatal(strformat("checkmag not implemented for model '%s'.", cls.c_str()));
  WholeFile fp(words.c_str(1), "could not open checkmag output file");
  qprintf("Writing checkmag data to file %s\n", words.c_str(1));
  if (!checkmag_setup_matches(is_alpha))
    warning("checkmag assumes one round component at the origin with shear along the x axis; the analytic values "
            "do not apply");

  const double b = getp(1, 1), g = getp(1, 6), P = 1.0 + g, Q = 1.0 - g;
  const double uc = is_alpha ? 2.0 * g * b / P : 2.0 * g * b / std::sqrt(P);
  std::fprintf(fp, "%13.6e # ucaus\n", uc);
  std::fprintf(fp, "#\n");
  std::fprintf(fp, "# du  Nimg analmag abserr relerr  Nimg analmag abserr relerr\n");
  std::fprintf(fp, "#           (inside cusp)              (outside cusp)       \n");
  std::fprintf(fp, "#\n");
  for (int i = 1; i <= std::abs(n); ++i) {
    const double du = setparm(n, i, dlo, dhi);
    const double ui = uc - du, uo = uc + du;
    int ni, no;
    double mi, mo;
    total_mag(ui, 0.0, ni, mi);
    total_mag(uo, 0.0, no, mo);
    double ai, ao;
    if (is_alpha) {
      ai = (2.0 / P) * (1.0 / Q + 4.0 * g * b * b / (4.0 * g * g * b * b - P * P * ui * ui));
      ao = 2.0 * b * uo / (P * P * uo * uo - 4.0 * g * g * b * b);
    } else {
      ai = (P * ui * ui - 4.0 * g * b * b) / (P * Q * (P * ui * ui - 4.0 * g * g * b * b));
      ao = uo * (uo * uo + 2.0 * (1.0 - 2.0 * g) * b * b) /
           (Q * (P * uo * uo - 4.0 * g * g * b * b) * std::sqrt(uo * uo + 4.0 * Q * b * b));
    }
    std::fprintf(fp, "%13.6e  %d %13.6e %13.6e %13.6e  %d %13.6e %13.6e %13.6e\n", du, ni, ai, mi - ai,
                 mi / ai - 1.0, no, ao, mo - ao, mo / ao - 1.0);
  }
  fp.commit();
}

