// checktree: accuracy and speed of the clump trees against the exact sum.
#include <cmath>
#include <string>

#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "sim/clumps.h"

namespace {

int error_bin(double err) {
  if (!(err >= 1e-7)) err = 1e-7;
  int b = static_cast<int>((0.5 - std::log10(err)) * 1.000001);
  if (b < 0) b = 0;
  if (b > 7) b = 7;
  return b;
}

void write_hist(const std::string& path, const char* kind, const double h[8][7], int N, const std::string& mk) {
  WholeFile f(path, "could not open checktree output file", true);
  qprintf("Writing histogram of %s errors to %s\n", kind, path.c_str());
  std::fprintf(f, "%d %s Nsamp\n", N, mk.c_str());
  std::fprintf(f, "%s\n", mk.c_str());
  std::fprintf(f, "%s histograms: log(%s) avg defx defy xx yy xy yx\n", mk.c_str(),
               std::string(kind) == "absolute" ? "abserr" : "relerr");
  std::fprintf(f, "%s\n", mk.c_str());
  for (int b = 7; b >= 0; --b) {
    std::fprintf(f, " %c= -%d ", b == 7 ? '<' : (b == 0 ? '>' : ' '), b);
    for (int c = 0; c <= 6; ++c) std::fprintf(f, " %f", h[b][c]);
    std::fprintf(f, "\n");
  }
  f.commit();
}
}  // namespace

void checktree(const WordArray& words) {
  const std::string base = words[1];
  const double rmin = words.finite(2, words[0]), rmax = words.finite(3, words[0]);
  const long N = words.signed_count(4, "number of sample points");
  if (!(rmin < rmax)) fatal("checktree needs rmin < rmax");
  if (N < 1) fatal("checktree needs at least one sample point");
  if (TWgal.NGALMAX < 1) fatal("a model must be set before running checktree");
  OutFile out(base + ".dat", "w", "could not open checktree output file", true);
  qprintf("Running %ld points and writing to %s\n", N, (base + ".dat").c_str());
  const std::string mk = GetString("_COMMENT");
  Settings& s = settings;
  const bool pot = s.potflag != 0;
  std::fprintf(out, "%s\n", mk.c_str());
  if (pot)
    std::fprintf(out, "%s  x y  (abserr, relerr) for: defx defy xx yy xy yx\n", mk.c_str());
  else
    std::fprintf(out, "%s  x y  (abserr, relerr) for: xx yy xy yx\n", mk.c_str());
  std::fprintf(out, "%s\n", mk.c_str());
  const double leafsize = s.leafsize, leaferr = s.leaferr;
  const int clumpmode = s.clumpmode;
  s.clumpmode = 1;
  const double x1 = TWgal.p[1][2], y1 = TWgal.p[1][3];
  RandomStream rs(s.seed);
  double habs[8][7] = {}, hrel[8][7] = {};
  const int q0 = pot ? 1 : 3, nq = 7 - q0;
  double sum_exact = 0, sum_tree = 0, sum_tree2 = 0;
  ClumpState& cs = TWclump;
  for (long i = 1; i <= N; ++i) {
    if (i % 100 == 0 && !quietflag) qprintf("Sample point #%ld\n", i);
    double R;
    do {
      R = rmax * std::sqrt(ran2(rs));
    } while (R < rmin);
    const double om = 2.0 * kPi * ran2(rs);
    const double x = x1 - R * std::sin(om), y = y1 + R * std::cos(om);
    double t[7], e[7];
    s.leafsize = leafsize;
    s.leaferr = leaferr;
    cs.treecount = 0;
    potdefmag(x, y, t[0], t[1], t[2], t[3], t[4], t[5], t[6]);
    const double ntree = static_cast<double>(cs.treecount);
    s.leafsize = s.leaferr = 0;
    cs.treecount = 0;
    potdefmag(x, y, e[0], e[1], e[2], e[3], e[4], e[5], e[6]);
    const double nexact = static_cast<double>(cs.treecount);
    s.leafsize = leafsize;
    s.leaferr = leaferr;
    sum_exact += nexact;
    sum_tree += ntree;
    sum_tree2 += ntree * ntree;
    for (int k = 0; k < 7; ++k) std::fprintf(out, "%13.6e %13.6e\n", t[k], e[k]);
    std::fprintf(out, " %f %f ", x, y);
    for (int q = q0; q <= 6; ++q) {
      const double ae = std::fabs(t[q] - e[q]);
      const double re = 2.0 * ae / std::fabs(t[q] + e[q] + 1e-6);
      std::fprintf(out, " %.2e %.2e", ae, re);
      const int ba = error_bin(ae), br = error_bin(re);
      habs[ba][0] += 1;
      habs[ba][q] += 1;
      hrel[br][0] += 1;
      hrel[br][q] += 1;
      if (ba == 0) std::printf("QVMabs %d  dat %13.6e %13.6e  err %13.6e\n", q, t[q], e[q], ae);
      if (br == 0) std::printf("QVMrel %d  dat %13.6e %13.6e  err %13.6e\n", q, t[q], e[q], re);
    }
    std::fprintf(out, "\n");
    out.flush();
  }
  out.close();
  std::fflush(stdout);
  for (int b = 0; b < 8; ++b) {
    habs[b][0] /= static_cast<double>(N) * nq;
    hrel[b][0] /= static_cast<double>(N) * nq;
    for (int c = 1; c <= 6; ++c) {
      habs[b][c] /= static_cast<double>(N);
      hrel[b][c] /= static_cast<double>(N);
    }
  }
  write_hist(base + ".abs", "absolute", habs, static_cast<int>(N), mk);
  write_hist(base + ".rel", "relative", hrel, static_cast<int>(N), mk);
  qprintf("\nError histograms: fraction versus log(err)\n\n");
  qprintf("               absolute                           relative\n");
  for (int l = 10; l >= 0; --l) {
    const char* sep = l == 0 ? "--" : "  ";
    const double lo = 0.1 * l - 0.05, hi = 0.1 * l + 0.05;
    qprintf("  %.1f |", 0.1 * l);
    for (int b = 7; b >= 0; --b) qprintf("%s%c", sep, habs[b][0] >= lo && habs[b][0] < hi ? '*' : ' ');
    qprintf("%s", sep);
    qprintf("    %.1f |", 0.1 * l);
    for (int b = 7; b >= 0; --b) qprintf("%s%c", sep, hrel[b][0] >= lo && hrel[b][0] < hi ? '*' : ' ');
    qprintf("%s\n", sep);
  }
  qprintf("        <=");
  for (int b = 6; b >= 1; --b) qprintf(" -%d", b);
  qprintf("  =>           <=");
  for (int b = 6; b >= 1; --b) qprintf(" -%d", b);
  qprintf("  =>\n\n");
  qprintf("\n");
  const double mt = sum_tree / N, me = sum_exact / N;
  const double sd = std::sqrt(std::fabs(sum_tree2 / N - mt * mt));
  qprintf("Average number of function evaluations:\n");
  qprintf("  exact    %.0f\n", me);
  qprintf("  tree     %.2f +/- %.2f\n", mt, sd);
  qprintf("  speedup  %.2f\n", me / mt);
  s.leafsize = leafsize;
  s.leaferr = leaferr;
  s.clumpmode = clumpmode;
  SetVar("seed", 0, static_cast<double>(rs.seed));
}

