// Fits over a family of inputs: batchfit over the lenses of a batch data set and clumpmarg
// over realisations of the clump populations.
#include "fit/batchfit.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include <climits>

#include "core/einstein.h"
#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/optimize.h"
#include "fit/results.h"
#include "fit/store.h"
#include "imageplane/source_models.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "io/scratch_records.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/roots.h"
#include "numeric/specfunc.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"

namespace {

void print_progress(int r, int niter) {
  qprintf("  Optimization %d/%d: %4d func evals, chisq %e\n", r, settings.restart, niter, TSstore.chi[kChiTot]);
}

bool is_none(const std::string& name) { return name == "none"; }

}  // namespace

// ---- batchfit ----

void batchfit_write(FILE* fp, int index, const BVec<std::string>& names, const IMat& vary, const Mat& params,
                    double Rein) {
  std::fprintf(fp, "# index Nimg\n");
  std::fprintf(fp, "%d %d\n", index, TSobs.srcobs[1].nimg);
  std::fprintf(fp, "# fit\n");
  writebest(fp, names, params);
  std::fprintf(fp, "# chisq\n");
  writechi(fp, TSstore.chi, 0);
  std::fprintf(fp, "# parameters\n");
  std::fprintf(fp, "%e %e %e", TSstore.chi[kChiTot], TSobs.srcmod[1].h, Rein);
  for (long i = names.lo(); i <= names.hi(); ++i)
    for (int k = 1; k <= 10; ++k)
      if (vary[i][k] != 0) std::fprintf(fp, " %13.6e", params[i][k]);
  std::fprintf(fp, "\n\n");
  std::fflush(fp);
}

namespace {

// Reads the temporary file one line at a time into a reused buffer, keeping the line's
// end so that copied lines are written as they were.
class LineSource {
 public:
  explicit LineSource(FILE* fp) : fp_(fp) {}
  ~LineSource() { std::free(buf_); }
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;
  bool next(std::string& line) {
    const ssize_t n = ::getline(&buf_, &cap_, fp_);
    if (n <= 0) return false;
    line.assign(buf_, static_cast<size_t>(n));
    if (line.back() != '\n') line += '\n';
    return true;
  }

 private:
  FILE* fp_;
  char* buf_ = nullptr;
  size_t cap_ = 0;
};

// True when line is the marker followed by its line end.
bool is_marker(const std::string& line, const char* marker) {
  const size_t n = std::strlen(marker);
  return line.size() == n + 1 && line.compare(0, n, marker) == 0;
}

}  // namespace

void batchfit_split(const std::string& outbase, const BVec<std::string>& names, const IMat& vary, int nlens,
                    FILE* tmp) {
  const char* msg = "could not open batchfit output file";
  WholeFile dat(outbase + ".dat", msg, true);
  WholeFile chi(outbase + "-chi.dat", msg, true);
  WholeFile par(outbase + "-p.dat", msg, true);
  WholeFile start(outbase + ".startN", msg, true);

  // The model file counts the components that writep writes ("none" slots are left out),
  // so that every block of component lines has the length its first line announces.
  int ncomp = 0;
  for (long i = names.lo(); i <= names.hi(); ++i)
    if (!is_none(names[i])) ++ncomp;
  if (LOS.on != 0)
    std::fprintf(start, "%d %d %d\n", ncomp, nlens, LOS.on);
  else
    std::fprintf(start, "%d %d\n", ncomp, nlens);

  // Each record is cut at its own markers: the report lies between "# fit" and "# chisq",
  // the model lines between "LENS PARMS:" and "SOURCE PARMS:", the chi-squared line is the
  // first after "# chisq" (a following rms line is dropped) and the parameter line the
  // first after "# parameters".
  enum class Block { seek, index, report, chisq, chisq_rest, params };
  Block at = Block::seek;
  bool in_lens = false;
  int index = 0;
  LineSource in(tmp);
  std::string line;
  while (in.next(line)) {
    switch (at) {
      case Block::seek:
        if (is_marker(line, "# index Nimg")) at = Block::index;
        break;
      case Block::index:
        index = std::atoi(line.c_str());
        std::fprintf(dat, "# index %d\n", index);
        std::fprintf(start, "# index %d\n", index);
        at = Block::report;
        in_lens = false;
        if (!in.next(line) || !is_marker(line, "# fit")) at = Block::seek;
        break;
      case Block::report:
        if (is_marker(line, "# chisq")) {
          at = Block::chisq;
          break;
        }
        std::fputs(line.c_str(), dat);
        if (is_marker(line, "LENS PARMS:")) {
          in_lens = true;
        } else if (is_marker(line, "SOURCE PARMS:")) {
          in_lens = false;
        } else if (in_lens) {
          std::fputs(line.c_str(), start);
        }
        break;
      case Block::chisq:
        std::fprintf(chi, "%d %s", index, line.c_str());
        at = Block::chisq_rest;
        break;
      case Block::chisq_rest:
        if (is_marker(line, "# parameters")) at = Block::params;
        break;
      case Block::params:
        std::fprintf(par, "%d %s", index, line.c_str());
        at = Block::seek;
        break;
    }
  }

  for (long i = names.lo(); i <= names.hi(); ++i) {
    if (is_none(names[i])) continue;
    for (int k = 1; k <= 10; ++k) std::fprintf(start, " %d", vary[i][k]);
    std::fprintf(start, "\n");
  }
  dat.commit();
  chi.commit();
  par.commit();
  start.commit();
}

namespace {

// True when model a and model b differ in some parameter by 1e-4 or more, or in a
// redshift (the lens planes are built from the redshifts).
bool models_differ(const LensModel& a, const LensModel& b) {
  for (long i = a.p.rlo(); i <= a.p.rhi(); ++i) {
    for (int k = 1; k <= 10; ++k)
      if (std::fabs(a.p[i][k] - b.p[i][k]) >= 1e-4) return true;
    if (a.z[i] != b.z[i]) return true;
  }
  return false;
}

// Mode 2 and 3: the components switched on and the lens planes of model m, with the
// line-of-sight shear reduction when it is requested.
void rebuild_planes(const LensModel& m) {
  for (int j = 1; j <= TWgal.NGALMAX; ++j) TWgal.refon[j] = 1;
  Vec z = m.z;
  initLOS(z);
  if (LOS.shearmode == 2) {
    if (initmodel(m.names, m.p, m.z, 0) > 0) fatal("in initmodel called from batchfit");
    initLOSshear();
  }
}

}  // namespace

void batchfit(const WordArray& words) {
  const int nw = words.own_count();
  if (TSobs.Nbatdat == 0) {
    if (!quietflag) note("Must load data using batchdata before running batchfit");
    return;
  }
  require_model();
  ModelSet& M = TWref;
  const std::string outbase = words[1];
  const int mode = nw > 2 ? words.int_value(2) : 1;
  const int nrein = nw > 3 ? words.int_value(3) : 0;
  int istart = nw > 4 ? words.int_value(4) : 1;
  int iend = nw > 5 ? words.int_value(5) : TSobs.Nbatdat;
  if (istart <= 0) istart = 1;
  if (iend <= 0 || iend > TSobs.Nbatdat) iend = TSobs.Nbatdat;
  if ((mode == 2 || mode == 3) && M.Nref < TSobs.Nbatdat) {
    warning("in batchfit with mode=2 or mode=3, too few input models");
    return;
  }
  start_command_run();

  ScratchRecords tmp(outbase + ".tmp", "could not open batchfit output file", true);
  {
    const int nmodels = mode == 1 ? M.Nref : 1;
    BVec<Mat> models(1, nmodels);
    // Every lens starts from the same source tables, so a lens's fit does not depend on
    // the lenses fitted before it.
    const Mat kept_src = TWsrc.srcparms;
    for (int i = istart; i <= iend; ++i) {
      if (!quietflag) qprintf("Batch lens %d\n", i);
      use_batch_entry(i);
      TWsrc.srcparms = kept_src;
      const LensModel* start = &M.ref[1];
      if (mode == 1) {
        for (int m = 1; m <= M.Nref; ++m) models[m] = M.ref[m].p;
      } else if (mode == 2 || mode == 3) {
        start = &M.ref[i];
        models[1] = start->p;
        // The first lens fitted always builds its planes: the state before the command
        // belongs to another model.
        if (mode == 2 || i == istart || models_differ(M.ref[i], M.ref[i - 1])) rebuild_planes(*start);
      } else {
        fatal("unknown mode in batchfit");
      }
      // Modes 2 and 3 fit model i with its own class names.
      const BVec<std::string>& names = start->names;
      optimization_run(names, M.refv, models, nmodels, nmodels, true, [](int r, int niter) {
        if (!quietflag) print_progress(r, niter);
      });
      double Rein = -1;
      if (nrein > 0) {
        double xc = 0, yc = 0;
        Rein = do_calcRein(nrein, xc, yc);
      }
      batchfit_write(tmp.out(), i, names, M.refv, models[1], Rein);
      tmp.out().flush();
    }
    TWsrc.srcparms = kept_src;
  }

  FileHandle written = tmp.read_back("batchfit");
  batchfit_split(outbase, M.ref[1].names, M.refv, iend - istart + 1, written);
  use_batch_entry(1);
}

// ---- clumpmarg ----

double clumpmarg_rhs = 0;

double clumpmarg_func(double x) { return digamm(x) - std::log(x) - clumpmarg_rhs; }

ClumpMargStats clumpmarg_proc(int b, int n, const Vec& chi, const Vec& L) {
  double sumL = 0, sumchi = 0, sumln = 0;
  for (int i = 1; i <= n; ++i) {
    if (i == b) continue;
    sumL += L[i];
    sumchi += chi[i];
    sumln += std::log(chi[i]);
  }
  const double div = (b >= 1 && b <= n) ? n - 1 : n;
  ClumpMargStats s;
  s.mean_L = sumL / div;
  const double m = sumchi / div;
  clumpmarg_rhs = sumln / div - std::log(m);
  // A chi-squared of 0 makes the mean of ln chi^2 minus infinity: no gamma fit.
  if (!std::isfinite(clumpmarg_rhs)) return s;
  const double f1 = clumpmarg_func(0.1), f2 = clumpmarg_func(10.0);
  if ((f1 > 0 && f2 > 0) || (f1 <= 0 && f2 <= 0)) return s;
  s.shape = zbrent(clumpmarg_func, 0.1, 10.0, 0.001);
  s.scale = m / s.shape;
  s.gamma_L = std::pow(2.0 / (s.scale + 2.0), s.shape);
  return s;
}

namespace {

// Mean and jackknife error of leave-one-out values x[1..N]: sqrt(N-1) times their rms
// spread, taken from the deviations about the mean so that it is never negative.
void jackknife_stats(const std::vector<double>& x, double& mean, double& err) {
  const double N = static_cast<double>(x.size());
  double s = 0;
  for (double v : x) s += v;
  mean = s / N;
  double ss = 0;
  for (double v : x) ss += (v - mean) * (v - mean);
  err = std::sqrt(N - 1) * std::sqrt(std::max(ss / N, 0.0));
}

}  // namespace

void clumpmarg(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const std::string outbase = words[1];
  const long nran = words.integer(2);
  const int jack = nw > 3 ? words.int_value(3) : 1;
  if (nran < 1) fatal("in clumpmarg, the number of realizations must be >= 1");
  // Two values are kept per realisation; a count beyond the int range or the memory would
  // otherwise be cut to another count or end the program part way.
  const long double memory = static_cast<long double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  if (nran > INT_MAX || (memory > 0 && 16.0L * nran > memory))
    fatal(strformat("in clumpmarg, cannot keep %ld realizations", nran));
  const int Nran = static_cast<int>(nran);
  start_command_run();
  const ModelSet& M = TWref;
  const bool chatty = !quietflag && settings.verbose <= 2;

  // The three clump streams, each from its own copy of the seed.
  RandomStream Ns(settings.seed), rs(settings.seed), gs(settings.seed);
  Vec chi(1, Nran), L(1, Nran);
  BVec<Mat> models(1, 1);
  const BVec<std::string>& names = M.ref[1].names;
  const Mat kept_src = TWsrc.srcparms;
  const char* msg = "could not open output file";
  {
    OutFile fall;
    if (chatty) fall = OutFile(outbase + "-all.dat", "w", msg, true);
    OutFile fchi(outbase + "-chi.dat", "w", msg, true);
    double sumL = 0;
    for (int n = 1; n <= Nran; ++n) {
      if (chatty && n % 100 == 0)
        qprintf("clumpmarg: Clump realization %d/%d, <L>= %e\n", n, Nran, sumL / (n - 1));
      // The seeds each stream holds as this realisation is drawn.
      const long s1 = Ns.seed, s2 = rs.seed, s3 = gs.seed;
      do_drawclumps(Ns, rs, gs);
      models[1] = M.ref[1].p;
      TWsrc.srcparms = kept_src;
      optimization_run(names, M.refv, models, 1, 1, n == 1, [](int r, int niter) {
        if (!quietflag && settings.verbose <= 1) print_progress(r, niter);
      });
      if (fall) {
        std::fprintf(fall, "CLUMPSEED: %li %li %li\n", s1, s2, s3);
        writebest(fall, names, models[1]);
        fall.flush();
      }
      for (int c = 0; c < kChiSlots; ++c) std::fprintf(fchi, " %e", TSstore.chi[c]);
      std::fprintf(fchi, "  %li %li %li\n", s1, s2, s3);
      fchi.flush();
      chi[n] = TSstore.chi[kChiTot];
      L[n] = std::exp(-0.5 * chi[n]);
      sumL += L[n];
    }
    fall.close();
    fchi.close();
  }
  TWsrc.srcparms = kept_src;

  const ClumpMargStats full = clumpmarg_proc(0, Nran, chi, L);
  {
    WholeFile favg(outbase + "-avg.dat", msg, true);
    std::fprintf(favg, "%e %e 0  %e %e 0\n", full.mean_L, full.mean_L, full.gamma_L, full.gamma_L);
    favg.commit();
    WholeFile fgam(outbase + "-gam.dat", msg, true);
    // Without a gamma fit there is no shape or scale to report.
    if (full.gamma_L > 0)
      std::fprintf(fgam, "%e %e\n", full.shape, full.scale);
    else
      std::fprintf(fgam, "-1 -1\n");
    fgam.commit();
  }

  if (jack != 1 || Nran <= 1) return;
  std::vector<double> jL, jG;
  jL.reserve(static_cast<size_t>(Nran));
  bool gamma_ok = true;
  for (int b = 1; b <= Nran; ++b) {
    if (chatty && b % 100 == 0) {
      double s = 0;
      for (double v : jL) s += v;
      qprintf("clumpmarg: Clump realization %d/%d, <L>= %e\n", b, Nran, s / (b - 1));
    }
    const ClumpMargStats s = clumpmarg_proc(b, Nran, chi, L);
    jL.push_back(s.mean_L);
    if (gamma_ok && s.gamma_L > 0)
      jG.push_back(s.gamma_L);
    else
      gamma_ok = false;
  }
  double Lmean, Lerr, Gmean = -1, Gerr = -1;
  jackknife_stats(jL, Lmean, Lerr);
  if (gamma_ok) jackknife_stats(jG, Gmean, Gerr);
  WholeFile favg(outbase + "-avg.dat", msg, true);
  std::fprintf(favg, "%e %e %e  %e %e %e\n", full.mean_L, Lmean, Lerr, full.gamma_L, Gmean, Gerr);
  favg.commit();
}

