// Curve constraints: the curve tables, their commands and the curve term.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <string>

#include "fit/curves_rings.h"
#include "fit/fit_state.h"
#include "fit/store.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

CurveTables TScrv;

namespace {
int count_of(double v) { return static_cast<int>(v * 1.000001); }

// Charge of an image with no reference segment at all.
constexpr double kNoReference = 1e12;
}  // namespace

void crvring_next_line(FILE* fp, WordArray& w, const std::string& path, int done, int total) {
  if (myread(fp, w) == 0) fatal(strformat("file %s ended after %d of %d lines", path.c_str(), done, total));
}

void crvring_check_capacities(const char* command, std::initializer_list<long> caps, long double doubles) {
  const long double memory = static_cast<long double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  bool refused = memory > 0 && 8.0L * doubles > memory;
  for (long c : caps) refused = refused || c > INT_MAX;
  if (refused) fatal(strformat("%s: the capacities asked for need more memory than this machine has", command));
}

int curve_segments(int c, bool ref) {
  if (c < 1 || c > TScrv.crvrefX.rhi()) return -1;
  return count_of(ref ? TScrv.crvrefX[c][0][0] : TScrv.crvtryX[c][0][0]);
}

bool curves_loaded() {
  for (int c = 1; c <= TScrv.crvrefX.rhi(); ++c)
    if (curve_segments(c, true) > 0 && curve_segments(c, false) > 0) return true;
  return false;
}

// ---- the term ----

double chicurve() {
  double chi = 0;
  if (!curves_loaded()) return chi;
  OutFile out;
  if (settings.tempfiles == 1) out = open_trace("crvpts.tmp", false);
  if (out) std::fprintf(out, "#\n#  icrv  iseg  ipt  x(orig)  y(orig)  x(img)  y(img)\n#\n");
  // All curves share the registration shift of the curves.
  double xs = 0, ys = 0;
  GetRegister(2, 0, xs, ys);
  for (int c = 1; c <= TScrv.crvrefX.rhi(); ++c) chi += onecurve(c, xs, ys, out);
  out.close();
  if (TSrun.chifile) std::fprintf(TSrun.chifile, "CHICRV %e\n", chi);
  return chi;
}

double onecurve(int c, double xs, double ys, FILE* trace) {
  CurveTables& T = TScrv;
  const int nref = curve_segments(c, true), ntry = curve_segments(c, false);
  if (nref <= 0 || ntry <= 0) return 0;

  std::vector<double>& img = T.img;
  img.clear();
  int ntried = 0;
  int n = 0;
  Mat list;
  double pot, px, py, pxx, pyy, pxy, pyx;
  for (int s = 1; s <= ntry; ++s) {
    const int np = count_of(T.crvtryX[c][s][0]);
    for (int p = 1; p <= np; ++p) {
      ++ntried;
      const double x = T.crvtryX[c][s][p] + xs, y = T.crvtryY[c][s][p] + ys;
      potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
      // The point solver: the current source and the source tables stay as they are.
      find_img_ptsrc(n, list, x - px, y - py);
      for (int k = 1; k <= n; ++k) {
        const double axx = list[k][5], ayy = list[k][6], axy = list[k][7], ayx = list[k][8];
        const double tr = 2 - axx - ayy, det = (1 - axx) * (1 - ayy) - axy * ayx;
        const double root = std::sqrt(tr * tr - 4 * det);  // not a number: rejected below
        const double lp = (tr + root) / 2, lm = (tr - root) / 2;
        if (!(lp > 0 || lm > 0)) continue;  // a maximum of the arrival time
        img.push_back(list[k][1]);
        img.push_back(list[k][2]);
        if (trace)
          std::fprintf(trace, "%d %d %d %13.6e %13.6e %13.6e %13.6e\n", c, s, p, x, y, list[k][1], list[k][2]);
      }
    }
  }

  const int nimg = static_cast<int>(img.size() / 2);
  double chi = 0;
  for (int k = 0; k < nimg; ++k) {
    const double h = img[2 * k], m = img[2 * k + 1];
    double d = kNoReference;
    for (int r = 1; r <= nref; ++r) {
      const int npt = count_of(T.crvrefX[c][r][0]);
      auto X = T.crvrefX[c][r], Y = T.crvrefY[c][r], S = T.crvrefS[c][r];
      for (int l = 1; l < npt; ++l) {
        const double ax = X[l] + xs, ay = Y[l] + ys, bx = X[l + 1] + xs, by = Y[l + 1] + ys;
        const double ex = bx - ax, ey = by - ay;
        const double t = ((h - ax) * ex + (m - ay) * ey) / (ex * ex + ey * ey);
        if (t >= 0 && t <= 1) {
          const double fx = h - (ax + t * ex), fy = m - (ay + t * ey);
          const double q = (fx * fx + fy * fy) / (S[l] * S[l + 1]);
          if (q < d) d = q;
        }
      }
      for (int l = 1; l <= npt; ++l) {
        const double fx = h - (X[l] + xs), fy = m - (Y[l] + ys);
        const double q = (fx * fx + fy * fy) / (S[l] * S[l]);
        if (q < d) d = q;
      }
    }
    chi += d;
  }

  const double frac = ntried > 0 ? static_cast<double>(nimg) / ntried : 0.0;
  const double cp = settings.chiperpoint;
  if (std::fabs(cp) > 0.001) {
    // With no image retained the curve costs the penalty alone.
    if (nimg > 0) chi /= nimg;
    if (frac < cp) chi += 10000 * (frac - cp) * (frac - cp);
  }
  if (TSrun.chifile) {
    std::fprintf(TSrun.chifile, "crv %d: ntry %d nimg %d chi %e", c, ntried, nimg, chi);
    if (cp > frac) std::fprintf(TSrun.chifile, " * penalty for too few images");
    std::fprintf(TSrun.chifile, "\n");
  }
  return chi;
}

// ---- commands ----

void crvmax(const WordArray& words) {
  FitCapacities& f = fitcap;
  if (words.own_count() < 4) {
    qprintf("Current crv dimensions:\n");
    qprintf("  max no. curves   = %d\n", f.CRVNMAX);
    qprintf("  max no. segments = %d\n", f.CRVSMAX);
    qprintf("  max no. points   = %d\n", f.CRVPMAX);
    return;
  }
  const long n = words.finite_integer(1, "crvmax"), s = words.finite_integer(2, "crvmax"),
             p = words.finite_integer(3, "crvmax");
  if (n < 0 || s < 0 || p < 0) fatal("capacities must be >= 0");
  // Six tables of n x (s + 1) x (p + 1) values.
  crvring_check_capacities("crvmax", {n, s, p}, 6.0L * n * (s + 1.0L) * (p + 1.0L));
  f.CRVNMAX = static_cast<int>(n);
  f.CRVSMAX = static_cast<int>(s);
  f.CRVPMAX = static_cast<int>(p);
  qprintf("Setting maximum crv dimensions to: %d %d %d\n", f.CRVNMAX, f.CRVSMAX, f.CRVPMAX);
  InitCrvs();
}

void crvpts(const WordArray& words) {
  const int nw = words.own_count();
  const long c = words.finite_integer(1, "crvpts"), mode = words.finite_integer(2, "crvpts");
  if (c < 1 || c > fitcap.CRVNMAX || c > TScrv.crvrefX.rhi()) fatal("too many curves; use crvmax to allow more");
  CurveTables& T = TScrv;
  Tensor3 *X, *Y, *S;
  if (mode == 1) {
    X = &T.crvrefX;
    Y = &T.crvrefY;
    S = &T.crvrefS;
  } else if (mode == 2) {
    X = &T.crvtryX;
    Y = &T.crvtryY;
    S = &T.crvtryS;
  } else {
    fatal("Unknown mode in crvpts");
  }
  if ((*X)[c][0][0] > 0 || (*Y)[c][0][0] > 0)
    warning(strformat(mode == 1 ? "overwriting existing data in reference crv #%ld"
                                : "overwriting existing data in test crv #%ld",
                      c));
  const int nseg = nw - 3;
  if (nseg > fitcap.CRVSMAX || nseg > X->chi()) fatal("too many curve segments; use crvmax to allow more");
  (*X)[c][0][0] = nseg;
  WordArray w;
  for (int s = 1; s <= nseg; ++s) {
    const std::string path = words[s + 2];
    FileHandle fp(open_input_file(path, "r", "could not open crvpts file"));
    if (!fp) fatal("could not open crvpts file");
    crvring_next_line(fp, w, path, 0, 1);
    const long N = w.finite_integer(0, "crvpts");
    if (N < 0) fatal(strformat("negative point count in crvpts file %s", path.c_str()));
    if (N > fitcap.CRVPMAX || N > X->dhi()) fatal("too many points on curve segment; use crvmax to allow more");
    (*X)[c][s][0] = static_cast<double>(N);
    qprintf("Reading %ld points from crvpts file %s\n", N, path.c_str());
    for (int p = 1; p <= N; ++p) {
      crvring_next_line(fp, w, path, p, static_cast<int>(N) + 1);
      if (w.own_count() < 3) fatal(strformat("Too few entries for point #%d in crvpts", p));
      // A nan or infinite coordinate or sigma would make every chi-squared nan.
      const double px = w.finite(0, "crvpts"), py = w.finite(1, "crvpts"), sig = w.finite(2, "crvpts");
      // The reference sigmas divide the distances (a negative one would make chi negative).
      if (mode == 1 && !(sig > 0)) fatal(strformat("sigma <= 0 for point #%d in crvpts file %s", p, path.c_str()));
      (*X)[c][s][p] = px;
      (*Y)[c][s][p] = py;
      (*S)[c][s][p] = sig;
    }
  }
}

void crvstatus(const WordArray&) {
  int loaded = 0;
  for (int c = 1; c <= TScrv.crvrefX.rhi(); ++c) {
    const int nr = curve_segments(c, true), nt = curve_segments(c, false);
    if (nr <= 0 && nt <= 0) continue;
    ++loaded;
    qprintf("Curve #%d loaded:\n", c);
    qprintf("  %2d ref  segments:", nr);
    for (int s = 1; s <= nr; ++s) qprintf(" %d", count_of(TScrv.crvrefX[c][s][0]));
    qprintf("\n");
    qprintf("  %2d test segments:", nt);
    for (int s = 1; s <= nt; ++s) qprintf(" %d", count_of(TScrv.crvtryX[c][s][0]));
    qprintf("\n");
  }
  if (loaded == 0 && !quietflag) qprintf("No curves are loaded.\n");
}

