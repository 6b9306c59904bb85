// Tabulated-model files (maketab, loadtab) and the jackknife and bootstrap errors of the
// mean and standard deviation of a data column.
#include "core/tables.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/tab.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "numeric/random.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// Restores the shrcoords mirror when maketab ends, however it ends.
struct ShrcoordsGuard {
  int saved = settings.shrcoords;
  ~ShrcoordsGuard() { settings.shrcoords = saved; }
};

// A signed count of steps, or an ERROR naming the word.
int count_word(const WordArray& w, int i, const char* command) {
  return static_cast<int>(usable_integer(command, w[i], "number of steps", -kCountLimit, kCountLimit));
}

// The values of one data column: the column (1 = first word) of each of n lines, n given
// (ndata > 0) or counted from the file's data lines.
std::vector<double> read_column(const WordArray& words, const char* command, long column, long ndata) {
  if (column < 1) fatal(strformat("%s: the column must be at least 1 (%s)", command, words.c_str(2)));
  const std::string name = words[1];
  long n = ndata;
  WordArray w;
  if (n <= 0) {
    FileHandle count(QVMfopen(name, "r", "could not open input file"));
    n = 0;
    while (myread(count, w)) ++n;
  }
  FileHandle in(QVMfopen(name, "r", "could not open input file"));
  std::vector<double> x;
  x.reserve(static_cast<size_t>(std::min(n, 10000000L)));
  for (long i = 1; i <= n; ++i) {
    if (!myread(in, w)) fatal(strformat("file ended after %ld of %ld values", i - 1, n));
    if (w.own_count() < column) fatal("too few columns in data file");
    x.push_back(w.finite(static_cast<int>(column - 1), command));
  }
  return x;
}

// Mean of v and the square root of its variance about that mean.
void mean_and_spread(const std::vector<double>& v, double& mean, double& spread) {
  double s = 0.0;
  for (double a : v) s += a;
  mean = s / static_cast<double>(v.size());
  double q = 0.0;
  for (double a : v) q += (a - mean) * (a - mean);
  spread = std::sqrt(q / static_cast<double>(v.size()));
}

// The output line on the terminal or in the file named by word k.
void write_result(const WordArray& words, int k, double a, double b, double c, double d) {
  WholeFile file;
  if (words.own_count() > k) file = WholeFile(words[k], "could not open output file", true);
  std::fprintf(file ? file.get() : QVMstdout, "%e %e %e %e\n", a, b, c, d);
  file.commit();
}

}  // namespace

// ---- maketab ----

void maketab(const WordArray& words) {
  require_model();
  if (TWref.Nref > 1 || TWref.Ngal > 1) fatal("The mass model should contain only one galaxy.");
  const LensModel& m1 = TWref.ref[1];
  // With shrcoords 1 the shear is given by two components, either of which shears.
  if (std::fabs(m1.p[1][6]) > 1e-6 || (settings.shrcoords == 1 && std::fabs(m1.p[1][7]) > 1e-6))
    fatal("The mass model should not contain any shear.");

  LensModel copy = m1;
  for (int k : {2, 3, 4, 6, 7}) copy.p[1][k] = 0.0;
  copy.p[1][5] = -90.0;
  ShrcoordsGuard guard;
  settings.shrcoords = 2;
  if (words.own_count() < 9) {
    refuse_line(words);
    return;
  }

  if (!checksteps(words[7], "r steps", 1, 1)) return;
  if (!checksteps(words[8], "theta steps", 1, 0)) return;
  const std::string file = words[1];
  const double elo = words.finite(2, "maketab"), ehi = words.finite(3, "maketab");
  const int ne = count_word(words, 4, "maketab");
  const double rlo = words.finite(5, "maketab"), rhi = words.finite(6, "maketab");
  const int nr = words.signed_count(7, "number of steps");
  const int nt = words.signed_count(8, "number of steps");
  if (std::fabs(ehi - elo) < 1e-4 || std::fabs(rhi - rlo) < 1e-4) fatal("range for ellip/r/theta must be nonzero.");
  if (std::abs(ne) < 2 || std::abs(nr) < 2 || nt < 2) fatal("you must have at least 2 steps in ellip/r/theta.");
  // The table reader refuses these axes; refuse them before any work.
  if (ehi < elo || rhi < rlo) fatal("maketab: the upper end of the ellip or r range is below the lower end");
  if (log_range_refused(ne, elo, ehi) || log_range_refused(nr, rlo, rhi)) {
    warn_log_range();
    return;
  }

  // The table is made of the loaded component: its b, s, a and alpha head the file.
  auto load = [&](double e) {
    copy.p[1][4] = e;
    if (initmodel(copy, 0) > 0) fatal("in initmodel called from maketab");
  };
  load(setparm(ne, 1, elo, ehi));
  LensTable t;
  t.name = TWgal.name(1);
  t.b = TWgal.p[1][1];
  t.s = TWgal.p[1][8];
  t.a = TWgal.p[1][9];
  t.alpha = TWgal.p[1][10];
  if (t.b == 0.0 || t.s == 0.0)
    fatal(strformat("maketab: a table of %s with b = %g and s = %g could not be rescaled", t.name.c_str(), t.b, t.s));
  const double lo[3] = {elo, rlo, 0.0}, hi[3] = {ehi, rhi, 90.0};
  const int cnt[3] = {ne, nr, nt};
  t.set_axes(lo, hi, cnt);

  WholeFile fp(file, "could not open maketab output file");
  qprintf("Writing tabulated models to %s\n", file.c_str());
  qprintf("Tabulated model: %8s %e %e %e %e\n", t.name.c_str(), t.b, t.s, t.a, t.alpha);

  const int NE = std::abs(ne), NR = std::abs(nr);
  for (int i = 1; i <= NE; ++i) {
    if (!quietflag) qprintf("Processing ellipticity %3d of %3d\n", i, NE);
    load(setparm(ne, i, elo, ehi));
    for (int j = 1; j <= NR; ++j) {
      if (!quietflag) qprintf("Processing radius %3d of %3d\n", j, NR);
      const double r = setparm(nr, j, rlo, rhi);
      for (int l = 1; l <= nt; ++l) {
        const double th = setparm(nt, l, 0.0, 90.0) * kPi / 180.0;
        double v[7];
        potdefmag(r * std::cos(th), r * std::sin(th), v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
        for (int k = 0; k < 6; ++k) t.at(k, i, j, l) = v[k];
      }
    }
  }
  if (!write_lens_table(fp, t)) write_failure(file, errno);
  fp.commit();

  // Later commands work on model 1 again (its grid was never rebuilt).
  settings.shrcoords = guard.saved;
  if (initmodel(TWref.ref[1], 0) > 0) fatal("in initmodel called from maketab");
}

// ---- loadtab ----

void loadtab(const WordArray& words) {
  const std::string path = words[1];
  FileHandle fp(QVMfopen(path, "rb", "could not open maketab input file"));
  qprintf("Reading tabulated models from %s\n", path.c_str());
  const LensTable& t = read_lens_table(fp, path);
  qprintf("Tabulated model: %8s %e %e %e %e\n", t.name.c_str(), t.b, t.s, t.a, t.alpha);
  if (!quietflag)
    for (int i = 1; i <= t.count[TAB_E]; ++i) qprintf("Loading ellipticity %3d of %3d\n", i, t.count[TAB_E]);
}

// ---- jackknife and bootstrap ----

void jackknife(const WordArray& words) {
  const int nw = words.own_count();
  const long column = words.finite_integer(2, "jackknife");
  const long ndata = nw > 3 ? words.finite_integer(3, "jackknife") : 0;
  const std::vector<double> x = read_column(words, "jackknife", column, ndata);
  const size_t n = x.size();
  if (n < 2) fatal(strformat("jackknife needs at least 2 values (the file gives %zu)", n));

  // Sums of the values measured from the first one, so that equal values give exact zeros;
  // the variances are taken about the mean and never fall below 0.
  const double x0 = x[0];
  double S1 = 0.0, S2 = 0.0;
  for (double a : x) {
    S1 += a - x0;
    S2 += (a - x0) * (a - x0);
  }
  const double k = static_cast<double>(n - 1);
  std::vector<double> means(n), sds(n);
  for (size_t i = 0; i < n; ++i) {
    const double d = x[i] - x0;
    const double mi = (S1 - d) / k;
    const double var = (S2 - d * d) / k - mi * mi;
    means[i] = mi;
    sds[i] = std::sqrt(var > 0.0 ? var : 0.0);
  }
  double mm, ms, sm, ss;
  mean_and_spread(means, mm, ms);
  mean_and_spread(sds, sm, ss);
  write_result(words, 4, x0 + mm, ms * std::sqrt(k), sm, ss * std::sqrt(k));
}

void bootstrap(const WordArray& words) {
  const int nw = words.own_count();
  const long column = words.finite_integer(2, "bootstrap");
  const long nboot = words.finite_integer(3, "bootstrap");
  if (nboot < 1 || nboot > 1000000000L)
    fatal(strformat("bootstrap: the number of resamplings must be at least 1 (%s)", words.c_str(3)));
  const long ndata = nw > 4 ? words.finite_integer(4, "bootstrap") : 0;
  const std::vector<double> x = read_column(words, "bootstrap", column, ndata);
  const size_t n = x.size();
  if (n == 0) fatal("bootstrap: the data file holds no values");

  // Draws repeat for the same seed whatever else has drawn before.
  RandomStream r(settings.seed);
  const double x0 = x[0];
  std::vector<double> means(static_cast<size_t>(nboot)), sds(static_cast<size_t>(nboot));
  for (long b = 0; b < nboot; ++b) {
    double s1 = 0.0, s2 = 0.0;
    for (size_t i = 0; i < n; ++i) {
      size_t k = static_cast<size_t>(ran2(r) * static_cast<double>(n));
      if (k >= n) k = n - 1;
      const double d = x[k] - x0;
      s1 += d;
      s2 += d * d;
    }
    const double mb = s1 / static_cast<double>(n), var = s2 / static_cast<double>(n) - mb * mb;
    means[static_cast<size_t>(b)] = mb;
    sds[static_cast<size_t>(b)] = std::sqrt(var > 0.0 ? var : 0.0);
  }
  double mm, ms, sm, ss;
  mean_and_spread(means, mm, ms);
  mean_and_spread(sds, sm, ss);
  write_result(words, 5, x0 + mm, ms, sm, ss);
}

