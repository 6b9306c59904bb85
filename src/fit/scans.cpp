// Chi-squared scans: varyone, varyh, varytwo and modelgrid, each point a re-fit of the other
// varied parameters.
#include "fit/scans.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>

#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/optimize.h"
#include "fit/results.h"
#include "fit/store.h"
#include "imageplane/source_models.h"
#include "io/outfile.h"
#include "models/evaluator.h"
#include "numeric/interp.h"
#include "numeric/sort.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

int varytwo_jsteps = 0, varytwo_ksteps = 0;

namespace {
// Anchors closer than this in the scanned quantity give no extrapolation.
constexpr double kMinAnchorGap = 0.01;

bool chatty() { return !quietflag && settings.verbose <= 2; }

void print_run(int r, int niter) {
  if (chatty())
    qprintf("  Optimization %d/%d: %4d func evals, chisq %e\n", r, settings.restart, niter, TSstore.chi[kChiTot]);
}

void warn_log_steps() { refuse("logarithmic steps need lo and hi of the same sign, both nonzero"); }

void check_component(const char* command, const char* name, long value) {
  if (value < 1 || value > TWref.Ngal)
    fatal(strformat("in %s, %s %ld is not a component of the model (1 to %d)", command, name, value, TWref.Ngal));
}
void check_parameter(const char* command, const char* name, long value) {
  if (value < 1 || value > 10) fatal(strformat("in %s, %s %ld is not a parameter index (1 to 10)", command, name, value));
}

// One fitted point of a scan: the model, the source parameters and the chi-squared
// components that its fit left.
struct ScanPoint {
  Mat p;    // [1..NGALMAX][1..10]
  Mat src;  // the source table's parameters
  double chi[kChiSlots] = {};
};

// Result stores of a scan of n points, allocated in full before any fit: a grid beyond
// the int range or the machine's memory ends the command.
BVec<ScanPoint> point_store(long long n, const char* command) {
  const int ng = TWgal.NGALMAX, ns = TWsrc.NSRCMAX;
  const long long per_point = static_cast<long long>(sizeof(ScanPoint)) +
                              8LL * (10LL * ng + static_cast<long long>(TWsrc.srcparms.ncols()) * ns) + 128;
  const long long memory = static_cast<long long>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  const std::string refused = strformat("in %s, cannot store a grid of %lld points", command, n);
  if (n > INT_MAX || (memory > 0 && n * per_point > memory)) fatal(refused);
  BVec<ScanPoint> s;
  try {
    s.reset(1, n);
    for (long i = 1; i <= n; ++i) {
      s[i].p.reset(1, ng, 1, 10);
      s[i].src = TWsrc.srcparms;
    }
  } catch (const FatalError&) {
    fatal(refused);
  }
  return s;
}

// What every scan carries from point to point: the class names of model 1, the vary
// flags of the scan, the source parameters at the start, the two report files and the
// best point so far (the first of equal totals).
struct Scan {
  BVec<std::string> names;
  IMat vary;
  Mat src0;
  OutFile chi, dat;
  long best = 1;
  double bestchi;
  explicit Scan(double start_best) : bestchi(start_best) {}
};

// The optimisation run on nmodels models of the tensor; the result becomes point pt
// (number index).
void fit_point(Scan& s, BVec<Mat>& tensor, int nmodels, ScanPoint& pt, long index) {
  optimization_run(s.names, s.vary, tensor, nmodels, nmodels, false, print_run);
  pt.p = tensor[1];
  pt.src = TWsrc.srcparms;
  for (int c = 0; c < kChiSlots; ++c) pt.chi[c] = TSstore.chi[c];
  if (pt.chi[kChiTot] < s.bestchi) {
    s.bestchi = pt.chi[kChiTot];
    s.best = index;
  }
}

// Scores a stored point again with its own source parameters, inside the caller's model
// store, so that the chi-squared, the source tables and the model images describe it.
void evaluate_point(const BVec<std::string>& names, const ScanPoint& pt) {
  TWsrc.srcparms = pt.src;
  Mat src = pt.src;
  calc_chi(names, pt.p, TWsrc.srcID, src);
}

// The point's report (best-fit report to B.dat; its scanned values and chi-squared line
// to B.chi), flushed.
void write_point(FILE* dat, FILE* chi, const BVec<std::string>& names, const Mat& p, const double* values,
                 int nvalues) {
  writebest(dat, names, p);
  for (int v = 0; v < nvalues; ++v) std::fprintf(chi, v == 0 ? "%e" : " %e", values[v]);
  writechi(chi, TSstore.chi, 0);
}

void report_point(Scan& s, const Mat& p, const double* values, int nvalues) {
  write_point(s.dat, s.chi, s.names, p, values, nvalues);
  s.dat.flush();
  s.chi.flush();
}

Vec step_values(int steps, double lo, double hi) {
  const int n = std::abs(steps);
  Vec v(1, n);
  for (int i = 1; i <= n; ++i) v[i] = setparm(steps, i, lo, hi);
  return v;
}

// Model 1 of the model set (rows beyond Ngal zero).
Mat reference_model() {
  Mat m(1, TWgal.NGALMAX, 1, 10);
  const Mat& r = TWref.ref[1].p;
  for (int i = 1; i <= TWref.Ngal; ++i)
    for (int k = 1; k <= 10; ++k) m[i][k] = r[i][k];
  return m;
}
// The same with parameter (ig, ip) set to x.
Mat reference_with(int ig, int ip, double x) {
  Mat m = reference_model();
  m[ig][ip] = x;
  return m;
}

// How a scan opens its report files: announcing each opening as the file opener does, or
// quietly; with the scan's own failure messages.
struct ReportFiles {
  bool announce;
  const char* chi_failure;
  const char* dat_failure;
  const char* best_failure;
  const char* best_line;
};

void open_reports(Scan& s, const ReportFiles& f, const std::string& outbase, const char* line) {
  const std::string chi = outbase + ".chi", dat = outbase + ".dat";
  s.chi = OutFile(chi, "w", f.chi_failure, f.announce);
  s.dat = OutFile(dat, "w", f.dat_failure, f.announce);
  if (line) qprintf(line, dat.c_str(), chi.c_str());
}

// The end of a profile or map: both report files rewritten in grid order inside a model
// store around the best point (header writes the head of B.chi, prepare readies the
// settings of point i, values gives its scanned values), then B.startN, B.best (also to
// the screen) and B.start.
template <class Header, class Prepare, class Values>
void finish_scan(Scan& s, const ReportFiles& f, const BVec<ScanPoint>& pts, long n, const std::string& outbase,
                 Header header, Prepare prepare, Values values) {
  s.chi.close();
  s.dat.close();
  int ndim = 0, ngv = 0, nsv = 0;
  storage_init(s.names, TWref.refv, pts[s.best].p, ndim, ngv, nsv);
  // The sorted files replace the point-by-point ones only when complete.
  const std::string chipath = outbase + ".chi", datpath = outbase + ".dat";
  WholeFile chi(chipath, f.chi_failure, f.announce), dat(datpath, f.dat_failure, f.announce);
  qprintf("Writing (sorted) data and chisq to: %s %s\n", datpath.c_str(), chipath.c_str());
  header(static_cast<FILE*>(chi));
  double v[2];
  for (long i = 1; i <= n; ++i) {
    prepare(i);
    evaluate_point(s.names, pts[i]);
    write_point(dat, chi, s.names, pts[i].p, v, values(i, v));
  }
  chi.commit();
  dat.commit();

  BVec<Mat> models(1, n);
  Vec tot(1, n);
  for (long i = 1; i <= n; ++i) {
    models[i] = pts[i].p;
    tot[i] = pts[i].chi[kChiTot];
  }
  writestartN(outbase + ".startN", s.names, TWref.refv, models, tot, static_cast<int>(n));

  const std::string path = outbase + ".best";
  WholeFile best(path, f.best_failure, f.announce);
  qprintf(f.best_line, path.c_str());
  prepare(s.best);
  evaluate_point(s.names, pts[s.best]);
  writebest(QVMstdout, s.names, pts[s.best].p);
  writebest(best, s.names, pts[s.best].p);
  best.commit();
  writestart(outbase + ".start", s.names, TWref.refv, pts[s.best].p);
  storage_clear();
}

// A one-dimensional scan: the shared walk of varyone and varyh. Steps run from the start
// step k up to n, then from k-1 down to 1; step(i, A1, A2, anchor values) fits point i
// from the anchors (the latest fit and the one before) and returns nothing; the anchors
// of the downward pass are the fits of steps k and k+1.
template <class Step>
void walk_profile(int n, int k, const BVec<ScanPoint>& pts, Mat& P1, Mat& P2, double& a, double& c,
                  const Vec& values, Step step) {
  for (int i = k; i <= n; ++i) {
    step(i);
    P2 = P1;
    P1 = pts[i].p;
    c = a;
    a = values[i];
  }
  P1 = pts[k].p;
  a = values[k];
  const int k2 = k < n ? k + 1 : k;
  P2 = pts[k2].p;
  c = values[k2];
  for (int i = k - 1; i >= 1; --i) {
    step(i);
    P2 = P1;
    P1 = pts[i].p;
    c = a;
    a = values[i];
  }
}
}  // namespace

// ---- start models ----

void extrap(const Mat& P1, const Mat& P2, int igal, int iparm, Mat& out, double x) {
  const double a = P1[igal][iparm], c = P2[igal][iparm];
  const double d = std::fabs(a - c) >= kMinAnchorGap ? (x - a) / (c - a) : 0.0;
  for (int i = 1; i <= TWref.Ngal; ++i)
    for (int k = 1; k <= 10; ++k) out[i][k] = (1 - d) * P1[i][k] + d * P2[i][k];
  out[igal][iparm] = x;
  for (long i = TWref.Ngal + 1; i <= out.rhi(); ++i)
    for (int k = 1; k <= 10; ++k) out[i][k] = 0;
}

void extraph(const Mat& P1, const Mat& P2, Mat& out, double a, double c, double x) {
  const double e = std::fabs(a - c) >= kMinAnchorGap ? (x - a) / (c - a) : 0.0;
  const Mat& r = TWref.ref[1].p;
  for (int i = 1; i <= TWref.Ngal; ++i)
    for (int k = 1; k <= 10; ++k)
      out[i][k] = TWref.refv[i][k] != 0 ? (1 - e) * P1[i][k] + e * P2[i][k] : r[i][k];
}

void sorth(BVec<Mat>& out) {
  ModelSet& M = TWref;
  const int n = M.Nref;
  int ndim = 0, ngv = 0, nsv = 0;
  storage_init(M.ref[1].names, M.refv, M.ref[1].p, ndim, ngv, nsv);
  const Mat saved = TWsrc.srcparms;
  Vec chi(1, n);
  for (int m = 1; m <= n; ++m) {
    Mat src = saved;
    chi[m] = calc_chi(M.ref[m].names, M.ref[m].p, TWsrc.srcID, src);
    TWsrc.srcparms = saved;
  }
  storage_clear();
  LVec order(1, n);
  indexx(n, chi, order);
  for (int j = 1; j <= n; ++j) {
    const Mat& p = M.ref[order[j]].p;
    for (int i = 1; i <= M.Ngal; ++i)
      for (int k = 1; k <= 10; ++k) out[j][i][k] = p[i][k];
  }
}

int nearest_step(const Vec& values, int n, double current) {
  int k = 1;
  double dmin = 1e12;
  for (int i = 1; i <= n; ++i) {
    const double d = std::fabs(values[i] - current);
    if (d < dmin) {
      dmin = d;
      k = i;
    }
  }
  return k;
}

// ---- varyone ----

void varyone(const WordArray& words) {
  require_model();
  const long igal = words.integer(1), iparm = words.integer(2);
  const double lo = words.finite(3, "varyone"), hi = words.finite(4, "varyone");
  const std::string outbase = words[6];
  const int extrapflag = words.own_count() > 7 ? words.int_value(7) : 1;
  check_component("varyone", "igal", igal);
  check_parameter("varyone", "iparm", iparm);
  if (!checksteps(words[5], "steps", 1, 1)) return;
  const int steps = words.signed_count(5, "number of steps");
  if (scan_log_range_refused(steps, lo, hi)) {
    warn_log_steps();
    return;
  }
  start_command_run();
  ModelSet& M = TWref;
  const int ig = static_cast<int>(igal), ip = static_cast<int>(iparm);
  const int n = std::abs(steps);
  const int nmodels = extrapflag == 2 ? 2 : 1;

  Scan s(1e16);
  s.names = M.ref[1].names;
  s.vary = M.refv;
  s.vary[ig][ip] = 0;
  const Vec x = step_values(steps, lo, hi);
  BVec<ScanPoint> pts = point_store(n, "varyone");
  for (int i = 1; i <= n; ++i) pts[i].p[ig][ip] = x[i];
  const int k = nearest_step(x, n, M.ref[1].p[ig][ip]);
  s.src0 = TWsrc.srcparms;

  const ReportFiles files{true, "in varyone, could not open output chisq file",
                          "in varyone, could not open output data file", "in varyone, could not open output best file",
                          "Writing varyone best model to file %s\n"};
  open_reports(s, files, outbase, "Writing data and chisq to: %s %s\n");
  std::fprintf(s.chi, "# columns: p[igal][iparm] chi^2(total) pos flux tdel gal plim crv ring\n");

  Mat P1 = reference_model(), P2 = P1;
  if (M.Nref > 1) {
    Mat m2 = P1;
    for (int i = 1; i <= M.Ngal; ++i)
      for (int j = 1; j <= 10; ++j) m2[i][j] = M.ref[2].p[i][j];
    if (P1[ig][ip] > m2[ig][ip])
      P2 = m2;
    else {
      P2 = P1;
      P1 = m2;
    }
  }

  BVec<Mat> tensor(1, nmodels);
  for (int m = 1; m <= nmodels; ++m) tensor[m].reset(1, TWgal.NGALMAX, 1, 10);
  auto step = [&](int i) {
    if (chatty()) qprintf("Running %d %e\n", i, x[i]);
    int nm = 1;
    if (extrapflag != 0 && std::fabs(P1[ig][ip] - P2[ig][ip]) >= kMinAnchorGap) {
      if (extrapflag == 1) {
        extrap(P1, P2, ig, ip, tensor[1], x[i]);
      } else if (extrapflag == 2) {
        tensor[1] = P1;
        tensor[1][ig][ip] = x[i];
        extrap(P1, P2, ig, ip, tensor[2], x[i]);
        nm = 2;
      } else {
        fatal("unknown value of extrapflag");
      }
    } else {
      if (chatty()) note("starting from previous model.");
      tensor[1] = P1;
      tensor[1][ig][ip] = x[i];
    }
    TWsrc.srcparms = s.src0;
    fit_point(s, tensor, nm, pts[i], i);
    report_point(s, pts[i].p, &x[i], 1);
  };
  double a = 0, c = 0;
  walk_profile(n, k, pts, P1, P2, a, c, x, step);

  finish_scan(
      s, files, pts, n, outbase,
      [](FILE* fp) { std::fprintf(fp, "# columns: p[igal][iparm] chi^2(total) pos flux tdel gal plim crv ring\n"); },
      [](long) {},
      [&](long i, double* v) {
        v[0] = x[i];
        return 1;
      });
}

// ---- varyh ----

void varyh(const WordArray& words) {
  require_model();
  const double hlo = words.finite(1, "varyh"), hhi = words.finite(2, "varyh");
  const std::string outbase = words[4];
  if (!checksteps(words[3], "steps", 1, 1)) return;
  const int steps = words.signed_count(3, "number of steps");
  if (scan_log_range_refused(steps, hlo, hhi)) {
    warn_log_steps();
    return;
  }
  // h is read from the fitted delays of the first observed source.
  if (TSobs.Nsrcobs < 1) fatal("varyh needs observed lens data (h comes from the fit of the time delays)");
  start_command_run();
  ModelSet& M = TWref;
  const double hval0 = settings.hval, hvale0 = settings.hvale;
  struct RestoreH {
    double hval, hvale;
    ~RestoreH() {
      settings.hval = hval;
      settings.hvale = hvale;
    }
  } restore_h{hval0, hvale0};

  Scan s(1e16);
  s.names = M.ref[1].names;
  s.vary = M.refv;
  // The fit with h free replaces model 1 of the set.
  settings.hvale = 1e4;
  {
    BVec<Mat> set(1, M.Nref);
    for (int m = 1; m <= M.Nref; ++m) set[m] = M.ref[m].p;
    optimization_run(s.names, M.refv, set, M.Nref, M.Nref, true, print_run);
    M.ref[1].p = set[1];
  }
  const double h0 = TSobs.srcmod[1].h;

  const int n = std::abs(steps);
  const Vec hv = step_values(steps, hlo, hhi);
  BVec<ScanPoint> pts = point_store(n, "varyh");
  const int k = nearest_step(hv, n, h0);

  const ReportFiles files{true, "in varyh, could not open output chisq file",
                          "in varyh, could not open output data file", "in varyh, could not open output best file",
                          "Writing best model on grid to file %s\n"};
  open_reports(s, files, outbase, nullptr);
  std::fprintf(s.chi, "# columns: h chi^2(total) pos flux tdel gal plim crv ring\n");

  Mat P1 = reference_model(), P2 = P1;
  double a = h0, c = h0;
  BVec<Mat> tensor(1, M.Nref);
  for (int m = 1; m <= M.Nref; ++m) tensor[m].reset(1, TWgal.NGALMAX, 1, 10);
  auto hold_h = [&](double h) {
    settings.hval = h;
    settings.hvale = 0;
  };
  auto step = [&](int i) {
    if (chatty()) qprintf("Running %d %e\n", i, hv[i]);
    hold_h(hv[i]);
    if (M.Nref == 1)
      extraph(P1, P2, tensor[1], a, c, hv[i]);
    else
      sorth(tensor);
    fit_point(s, tensor, M.Nref, pts[i], i);
    report_point(s, pts[i].p, &hv[i], 1);
  };
  walk_profile(n, k, pts, P1, P2, a, c, hv, step);

  finish_scan(
      s, files, pts, n, outbase,
      [](FILE* fp) { std::fprintf(fp, "# columns: h chi^2(total) pos flux tdel gal plim crv ring\n"); },
      [&](long i) { hold_h(hv[i]); },
      [&](long i, double* v) {
        v[0] = hv[i];
        return 1;
      });
}

// ---- varytwo ----

void varytwo(const WordArray& words) {
  require_model();
  const long igal = words.integer(1), iparm = words.integer(2);
  const double ilo = words.finite(3, "varytwo"), ihi = words.finite(4, "varytwo");
  const long jgal = words.integer(6), jparm = words.integer(7);
  const double jlo = words.finite(8, "varytwo"), jhi = words.finite(9, "varytwo");
  const std::string outbase = words[11];
  const int extrapflag = words.own_count() > 12 ? words.int_value(12) : 1;
  check_component("varytwo", "igal", igal);
  check_parameter("varytwo", "iparm", iparm);
  check_component("varytwo", "jgal", jgal);
  check_parameter("varytwo", "jparm", jparm);
  if (!checksteps(words[5], "steps", 1, 1) || !checksteps(words[10], "steps", 1, 1)) return;
  const int isteps = words.signed_count(5, "number of steps"), jsteps = words.signed_count(10, "number of steps");
  if (scan_log_range_refused(isteps, ilo, ihi) || scan_log_range_refused(jsteps, jlo, jhi)) {
    warn_log_steps();
    return;
  }
  start_command_run();
  varytwo_jsteps = std::abs(isteps);
  varytwo_ksteps = std::abs(jsteps);
  do_varytwo(static_cast<int>(igal), static_cast<int>(iparm), isteps, static_cast<int>(jgal),
             static_cast<int>(jparm), jsteps, ilo, ihi, jlo, jhi, outbase, extrapflag);
}

void do_varytwo(int igal, int iparm, int isteps, int jgal, int jparm, int jsteps, double ilo, double ihi,
                double jlo, double jhi, const std::string& outbase, int extrapflag) {
  std::printf("QVM extrapflag %d\n", extrapflag);
  std::fflush(stdout);
  ModelSet& M = TWref;
  const int nmodels = extrapflag == 2 ? 2 : 1;
  const int ni = std::abs(isteps), nj = std::abs(jsteps);
  Scan s(1e16);
  s.names = M.ref[1].names;
  s.src0 = TWsrc.srcparms;
  s.vary = M.refv;
  s.vary[igal][iparm] = 0;
  s.vary[jgal][jparm] = 0;

  const Vec u = step_values(isteps, ilo, ihi), w = step_values(jsteps, jlo, jhi);
  // Point (i, j) is number (i - 1) nj + j: the first parameter outer.
  BVec<ScanPoint> pts = point_store(static_cast<long long>(ni) * nj, "varytwo");
  auto at = [nj](int i, int j) { return static_cast<long>(i - 1) * nj + j; };
  auto reference_point = [&](int i, int j) {
    Mat m = reference_with(igal, iparm, u[i]);
    m[jgal][jparm] = w[j];
    return m;
  };
  for (int i = 1; i <= ni; ++i)
    for (int j = 1; j <= nj; ++j) pts[at(i, j)].p = reference_point(i, j);
  int i0 = 1, j0 = 1;
  double dmin = 1e12;
  const double cu = M.ref[1].p[igal][iparm], cw = M.ref[1].p[jgal][jparm];
  for (int i = 1; i <= ni; ++i)
    for (int j = 1; j <= nj; ++j) {
      const double d = std::sqrt((u[i] - cu) * (u[i] - cu) + (w[j] - cw) * (w[j] - cw));
      if (d < dmin) {
        dmin = d;
        i0 = i;
        j0 = j;
      }
    }

  const ReportFiles files{false, "in varytwo, could not open output chisq file",
                          "in varytwo, could not open output data file", "in varytwo, could not open output best file",
                          "Writing best model on grid to file %s\n"};
  auto header = [&](FILE* fp) {
    std::fprintf(fp, "%e %e %e %e  # ilo ihi jlo jhi\n", ilo, ihi, jlo, jhi);
    std::fprintf(fp, "%d %d  # isteps jsteps\n", isteps, jsteps);
    std::fprintf(fp, "# columns: p[igal][iparm] p[jgal][jparm] chi^2(total) pos flux tdel gal plim crv ring\n");
  };
  open_reports(s, files, outbase, "Writing data and chisq to: %s %s\n");
  header(s.chi);
  s.chi.flush();

  BVec<Mat> tensor(1, nmodels);
  for (int m = 1; m <= nmodels; ++m) tensor[m].reset(1, TWgal.NGALMAX, 1, 10);
  Mat A1, A2;
  // One point, extrapolated along the first parameter (row pass) or the second.
  auto step = [&](int i, int j, bool along_first) {
    if (chatty()) qprintf("Running %d %e %d %e\n", i, u[i], j, w[j]);
    const int pg = along_first ? igal : jgal, pp = along_first ? iparm : jparm;
    const double pv = along_first ? u[i] : w[j];
    int nm = 1;
    if (extrapflag == 0) {
      if (chatty()) note("starting from reference model.");
      tensor[1] = reference_point(i, j);
    } else if (extrapflag == 1) {
      extrap(A1, A2, pg, pp, tensor[1], pv);
    } else if (extrapflag == 2) {
      tensor[1] = reference_point(i, j);
      extrap(A1, A2, pg, pp, tensor[2], pv);
      nm = 2;
    } else {
      fatal("unknown value of extrapflag");
    }
    TWsrc.srcparms = s.src0;
    ScanPoint& pt = pts[at(i, j)];
    fit_point(s, tensor, nm, pt, at(i, j));
    const double v[2] = {u[i], w[j]};
    report_point(s, pt.p, v, 2);
    A2 = A1;
    A1 = pt.p;
  };

  if (!quietflag) {
    qprintf("********************************\n");
    qprintf("* Running first horizontal row *\n");
    qprintf("********************************\n");
  }
  A1 = A2 = pts[at(i0, j0)].p;
  for (int i = i0; i <= ni; ++i) step(i, j0, true);
  A1 = pts[at(i0, j0)].p;
  A2 = pts[at(i0 < ni ? i0 + 1 : i0, j0)].p;
  for (int i = i0 - 1; i >= 1; --i) step(i, j0, true);

  if (!quietflag) {
    qprintf("****************************\n");
    qprintf("* Running vertical columns *\n");
    qprintf("****************************\n");
  }
  for (int i = 1; i <= ni; ++i) {
    A1 = A2 = pts[at(i, j0)].p;
    for (int j = j0 + 1; j <= nj; ++j) step(i, j, false);
    A1 = pts[at(i, j0)].p;
    A2 = pts[at(i, j0 < nj ? j0 + 1 : j0)].p;
    for (int j = j0 - 1; j >= 1; --j) step(i, j, false);
  }
  if (!quietflag) {
    qprintf("********************************************************\n");
    qprintf("* Done running models; now sorting and writing results *\n");
    qprintf("********************************************************\n");
  }

  finish_scan(s, files, pts, static_cast<long>(ni) * nj, outbase, header, [](long) {},
              [&](long n, double* v) {
                v[0] = u[static_cast<int>((n - 1) / nj) + 1];
                v[1] = w[static_cast<int>((n - 1) % nj) + 1];
                return 2;
              });
}

// ---- modelgrid ----

namespace {
constexpr int kGridSlots = 9;
struct GridSlot {
  int kgal = -1, kparm = -1;
  double lo = 0, hi = 0;
  int steps = 1, n = 1;
};
}  // namespace

void modelgrid(const WordArray& words) {
  require_model();
  const long ndim = words.integer(1);
  const std::string outbase = words[2];
  if (ndim > kGridSlots) fatal("in modelgrid, cannot handle that many dimensions");
  ModelSet& M = TWref;
  GridSlot slot[kGridSlots + 1];
  for (int d = 1; d <= ndim; ++d) {
    qprintf("%d -- enter kgal kparm lo hi steps:\n", d);
    WordArray w;
    if (!myread(QVMstdin, w) || w.own_count() < 5) fatal("too few modelgrid entries");
    GridSlot& g = slot[d];
    const long kgal = w.integer(0), kparm = w.integer(1), steps = w.integer(4);
    g.lo = w.finite(2, "modelgrid");
    g.hi = w.finite(3, "modelgrid");
    if (kgal > 0) {
      check_component("modelgrid", "kgal", kgal);
      check_parameter("modelgrid", "kparm", kparm);
    }
    if (steps == 0) fatal(strformat("modelgrid slot %d has 0 steps", d));
    if (steps > INT_MAX || steps < -INT_MAX) fatal(strformat("modelgrid slot %d has too many steps", d));
    if (kgal > 0 && scan_log_range_refused(steps, g.lo, g.hi))
      fatal("logarithmic steps need lo and hi of the same sign, both nonzero");
    g.kgal = static_cast<int>(kgal);
    g.kparm = static_cast<int>(kparm);
    g.steps = static_cast<int>(steps);
    g.n = std::abs(g.steps);
  }
  // The number of points, formed wide enough for nine slots of any size.
  long double Nwide = 1;
  for (int d = 1; d <= kGridSlots; ++d) Nwide *= slot[d].n;
  if (Nwide > INT_MAX) fatal(strformat("in modelgrid, cannot store a grid of %.0Lf points", Nwide));
  const long long N = static_cast<long long>(Nwide);
  start_command_run();
  Scan s(1e18);
  s.names = M.ref[1].names;
  s.vary = M.refv;
  for (int d = 1; d <= kGridSlots; ++d)
    if (slot[d].kgal > 0) s.vary[slot[d].kgal][slot[d].kparm] = 0;
  BVec<ScanPoint> pts = point_store(N, "modelgrid");
  s.src0 = TWsrc.srcparms;

  const std::string path = outbase + ".dat";
  s.dat = OutFile(path, "w", "could not open modelgrid output file");
  qprintf("Writing modelgrid results to file %s\n", path.c_str());

  BVec<Mat> tensor(1, 1);
  int idx[kGridSlots + 1];
  for (long n = 1; n <= N; ++n) {
    // Indices of point n, the last slot fastest.
    long rest = n - 1;
    for (int d = kGridSlots; d >= 1; --d) {
      idx[d] = static_cast<int>(rest % slot[d].n) + 1;
      rest /= slot[d].n;
    }
    tensor[1] = M.ref[1].p;
    for (int d = 1; d <= kGridSlots; ++d)
      if (slot[d].kgal > 0)
        tensor[1][slot[d].kgal][slot[d].kparm] = setparm(slot[d].steps, idx[d], slot[d].lo, slot[d].hi);
    TWsrc.srcparms = s.src0;
    fit_point(s, tensor, 1, pts[n], n);
    writebest(s.dat, s.names, pts[n].p);
    s.dat.flush();
  }
  s.dat.close();

  BVec<Mat> models(1, N);
  Vec tot(1, N);
  for (long n = 1; n <= N; ++n) {
    models[n] = pts[n].p;
    tot[n] = pts[n].chi[kChiTot];
  }
  writestartN(outbase + ".startN", s.names, M.refv, models, tot, static_cast<int>(N));

  const std::string bpath = outbase + ".best";
  WholeFile best(bpath, "could not open modelgrid best file");
  qprintf("Writing best modelgrid model to file %s\n", bpath.c_str());
  int ndim_store = 0, ngv = 0, nsv = 0;
  storage_init(s.names, M.refv, pts[s.best].p, ndim_store, ngv, nsv);
  evaluate_point(s.names, pts[s.best]);
  storage_clear();
  writebest(best, s.names, pts[s.best].p);
  best.commit();
  writestart(outbase + ".start", s.names, M.refv, pts[s.best].p);
}

