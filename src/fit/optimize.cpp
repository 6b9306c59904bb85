// Optimisation commands (optimize, minimize, reopt, randomize) and the optimisation run
// they share with the batch, scan and convergence commands.
#include "fit/optimize.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/lens_model.h"
#include "fit/commands.h"
#include "fit/fit_data.h"
#include "fit/linparms.h"
#include "fit/results.h"
#include "fit/store.h"
#include "imageplane/source_models.h"
#include "io/outfile.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {
// A fit whose result scores a penalty says so, once per command and kind (a command of
// many fits closes each with its count).
void warn_penalty_end() {
  const FitPenalty p = TSstore.penalty;
  if (p == FitPenalty::kNone) return;
  static RepeatedMessage ends[static_cast<int>(FitPenalty::kExtraImages) + 1];  // one per kind
  RepeatedMessage& m = ends[static_cast<int>(p)];
  if (!m.first()) return;
  const char* what = "";
  switch (p) {
    case FitPenalty::kBounds:
      what = "the fit failed (no model it tried passes the parameter checks) and the start is kept";
      break;
    case FitPenalty::kParity:
      what = "an image's parity disagrees with the sign of its observed flux";
      break;
    case FitPenalty::kMissingImages:
      what = "the model does not produce every observed image";
      break;
    default:
      what = "the model produces images that are not observed";
      break;
  }
  m.warn(strformat("the fit ended on the %s penalty: %s (chisq %e). Try another start, or the two-stage "
                   "recipe: a source-plane fit ('set chimode 0') first, then the image-plane fit from its .start "
                   "file",
                   penalty_name(p), what, TSstore.chi[kChiTot]));
}
}  // namespace

void optimization_run(const BVec<std::string>& names, const IMat& vary, BVec<Mat>& models, int nfirst, int nlater,
                      bool start_model, const OptProgress& progress) {
  for (int r = 1; r <= settings.restart; ++r) {
    int ndim = 0, niter = 0;
    if (start_model && r == 1) set_start_model();
    domin(names, vary, models, r == 1 ? nfirst : nlater, ndim, niter);
    if (ndim == 0) settings.restart = 1;
    if (progress) progress(r, niter);
  }
  warn_penalty_end();
}

namespace {
bool chatty() { return !quietflag && settings.verbose <= 2; }

void print_progress(int r, int niter) {
  qprintf("  Optimization %d/%d: %4d func evals, chisq %e\n", r, settings.restart, niter, TSstore.chi[kChiTot]);
}

// The models of the model set as a working tensor.
BVec<Mat> model_tensor() {
  BVec<Mat> t(1, TWref.Nref);
  for (int i = 1; i <= TWref.Nref; ++i) t[i] = TWref.ref[i].p;
  return t;
}

// The model sources and images (zeros when the last evaluation stopped at a hard check:
// the model tables then hold no model's images).
void write_img(FILE* fp) {
  const bool stopped = evaluation_stopped(TSstore.chi);
  for (int s = 1; s <= TSobs.Nsrcobs; ++s) {
    const SrcData& m = TSobs.srcmod[s];
    std::fprintf(fp, "%13.6e %13.6e  # source\n", stopped ? 0.0 : m.u, stopped ? 0.0 : m.v);
    std::fprintf(fp, "# %d images:  x  y  flux  tdel\n", m.nimg);
    for (int k = 1; k <= m.nimg && k <= m.maximg; ++k) {
      if (stopped) {
        std::fprintf(fp, "%13.6e %13.6e %13.6e %13.6e\n", 0.0, 0.0, 0.0, 0.0);
        continue;
      }
      std::fprintf(fp, "%13.6e %13.6e %13.6e %13.6e\n", m.x[k], m.y[k], m.multiflux >= 1 ? m.flux[k][1] : 0.0,
                   m.tdel[k]);
    }
    std::fprintf(fp, "\n");
  }
}

// The fitted images as an observed-lens data file (zeros for the images, as in write_img,
// when the last evaluation stopped at a hard check).
void write_imgfit(FILE* fp) {
  const bool stopped = evaluation_stopped(TSstore.chi);
  std::fprintf(fp, "%d\n", TSobs.Ngalobs);
  for (int i = 1; i <= TSobs.Ngalobs; ++i) {
    const GalData& g = TSobs.galobs[i];
    std::fprintf(fp, "%13.6e %13.6e %e\n", g.x, g.y, g.sig_a);
    std::fprintf(fp, "%e %e\n", g.R_e, g.sig_R_e);
    std::fprintf(fp, "%e %e\n", g.PA, g.sig_PA);
    std::fprintf(fp, "%e %e\n", g.e, g.sig_e);
  }
  std::fprintf(fp, "%d\n\n", TSobs.Nsrcobs);
  for (int s = 1; s <= TSobs.Nsrcobs; ++s) {
    const SrcData& m = TSobs.srcmod[s];
    const SrcData& o = TSobs.srcobs[s];
    const int n = std::min(m.nimg, m.maximg);
    std::fprintf(fp, "%d %f %f %f %f\n", m.nimg, m.wpos, m.wflux, m.wtdel, m.zsrc);
    bool all_negative = n > 0;
    auto flux = [&](int k) { return !stopped && m.multiflux >= 1 ? m.flux[k][1] : 0.0; };
    auto sig_flux = [&](int k) { return k <= o.maximg && o.multiflux >= 1 ? o.sig_flux[k][1] : 0.0; };
    for (int k = 1; k <= n; ++k) {
      const double sa = k <= o.maximg ? o.sig_a[k] : 0.0, st = k <= o.maximg ? o.sig_tdel[k] : 0.0;
      std::fprintf(fp, "%13.6e %13.6e %13.6e  %e %e  %13.6e %e\n", stopped ? 0.0 : m.x[k], stopped ? 0.0 : m.y[k],
                   flux(k), sa, sig_flux(k), stopped ? 0.0 : m.tdel[k], st);
      if (!(flux(k) < 0)) all_negative = false;
    }
    // The reader takes a source whose fluxes are all negative to carry a band section:
    // write the one band it holds.
    if (all_negative) {
      std::fprintf(fp, "1\n%13.6e", m.multiflux >= 1 ? m.srcsize[1] : 1.0);
      for (int k = 1; k <= n; ++k) std::fprintf(fp, " %13.6e %e", flux(k), sig_flux(k));
      std::fprintf(fp, "\n");
    }
    std::fprintf(fp, "\n");
  }
}
}  // namespace

// ---- optimize ----

void optimize(const WordArray& words) {
  require_model();
  start_command_run();
  const std::string outbase = words.own_count() > 1 ? words[1] : std::string("best");
  ModelSet& M = TWref;
  BVec<Mat> models = model_tensor();
  const BVec<std::string> names = M.ref[1].names;
  optimization_run(names, M.refv, models, M.Nref, M.Nref, true, [](int r, int niter) {
    if (!quietflag) print_progress(r, niter);
  });
  M.ref[1].p = models[1];
  if (quietflag) {
    qprintf("%e\n", TSstore.chi[kChiTot]);
    return;
  }
  if (std::fabs(settings.chimode) > 1e-4) doplot();

  WholeFile fp(outbase + ".dat", "in optimize, could not open output file");
  writebest(QVMstdout, names, M.ref[1].p);
  writebest(fp, names, M.ref[1].p);
  fp.commit();

  writestart(outbase + ".start", names, M.refv, M.ref[1].p);

  WholeFile fchi(outbase + "-chi.dat", "could not open optimize output file", true);
  writechi(fchi, TSstore.chi, 0);
  fchi.commit();

  WholeFile fimg(outbase + "-img.dat", "in optimize, could not open output file");
  write_img(fimg);
  fimg.commit();

  WholeFile ffit(outbase + "-imgfit.dat", "in optimize, could not open output file");
  write_imgfit(ffit);
  ffit.commit();
}

// minimize is optimize under another name.
void minimize(const WordArray& words) { run_command(table_row(fit_commands(), "optimize"), words); }

// ---- reopt ----

void reopt(const WordArray& words) {
  require_model();
  start_command_run();
  ModelSet& M = TWref;
  const std::string outbase = words[1];
  const int istart = words.own_count() > 2 ? words.int_value(2) : 1;
  if (istart <= 0) fatal("in reopt, starting index must be >= 1");
  int iend = words.own_count() > 3 ? words.int_value(3) : M.Nref;
  if (iend <= 0) iend = M.Nref;
  if (iend > M.Nref)
    fatal(strformat("in reopt, ending index %d exceeds the number of models (%d)", iend, M.Nref));

  const BVec<std::string> names = M.ref[1].names;
  Vec chi(1, M.Nref);
  // Models outside the range are scored once as they stand, so that the ranking of the
  // multi-model file holds real values for every model.
  if (istart > 1 || iend < M.Nref) {
    const Mat saved_src = TWsrc.srcparms;
    for (int i = 1; i <= M.Nref; ++i) {
      if (i >= istart && i <= iend) continue;
      int ndim = 0, ngv = 0, nsv = 0;
      storage_init(names, M.refv, M.ref[i].p, ndim, ngv, nsv);
      Mat src = TWsrc.srcparms;
      set_start_model();
      chi[i] = calc_chi(names, M.ref[i].p, TWsrc.srcID, src);
      storage_clear();
      TWsrc.srcparms = saved_src;
    }
  }

  const std::string path = outbase + ".dat";
  OutFile fp(path, istart == 1 ? "w" : "a", "could not open reopt output file");
  qprintf(istart == 1 ? "Writing reopt results to file %s\n" : "Appending reopt results to file %s\n", path.c_str());
  for (int i = istart; i <= iend; ++i) {
    if (chatty()) qprintf("Re-optimizing model %d/%d\n", i, M.Nref);
    BVec<Mat> one(1, 1);
    one[1] = M.ref[i].p;
    optimization_run(names, M.refv, one, 1, 1, true, [](int r, int niter) {
      if (chatty()) print_progress(r, niter);
    });
    chi[i] = TSstore.chi[kChiTot];
    M.ref[i].p = one[1];
    writebest(fp, names, M.ref[i].p);
    fp.flush();
  }
  fp.close();
  writestartN(outbase + ".startN", names, M.refv, model_tensor(), chi, M.Nref);
}

// ---- randomize ----

namespace {
constexpr int kMaxRedraws = 1000;
}

void randomize(const WordArray& words) {
  require_model();
  start_command_run();
  ModelSet& M = TWref;
  const int N = words.signed_count(1, "number of runs");
  const std::string outbase = words[2];
  const int lpmode = words.own_count() > 3 ? words.int_value(3) : 0;
  const int optflag = words.own_count() > 4 ? words.int_value(4) : 1;
  const double maxchi = words.own_count() > 5 ? words.real(5) : 1e20;
  if (N < 1) fatal("in randomize, the number of runs must be >= 1");

  // Ranges of the varied parameters, in component-then-parameter order.
  struct Range {
    int i, k;
    double lo, hi;
  };
  std::vector<Range> ranges;
  for (int i = 1; i <= M.Ngal; ++i)
    for (int k = 1; k <= 10; ++k) {
      if (M.refv[i][k] == 0) continue;
      qprintf("Enter lo, hi for p[%d][%d]:\n", i, k);
      WordArray w;
      if (!myread(QVMstdin, w) || w.own_count() < 2) fatal("too few inputs");
      ranges.push_back({i, k, w.real(0), w.real(1)});
    }
  const int nv = static_cast<int>(ranges.size());

  const LensModel kept = M.ref[1];
  const Mat kept_src = TWsrc.srcparms;
  IMat vary = M.refv;
  if (optflag == 0) vary.fill(0);

  M.Nref = optflag != 0 ? nv + 1 : 1;
  M.ref.reset(1, M.Nref);
  for (int m = 1; m <= M.Nref; ++m) M.ref[m] = kept;

  const std::string path = outbase + ".dat";
  OutFile fp(path, "w", "could not open randomize output file");
  qprintf("Writing randomize results to file %s\n", path.c_str());
  BVec<Mat> runs(1, N), runsrc(1, N);
  Mat runchi(1, N, 0, 8);
  Vec tot(1, N);
  int best = 1;
  double bestchi = 1e18;
  RandomStream draws(settings.seed);
  const BVec<std::string>& names = kept.names;
  const int nm = M.Nref;

  for (int j = 1; j <= N; ++j) {
    if (settings.verbose <= 1 || j % 100 == 0) qprintf("Randomization #%d/%d\n", j, N);
    if (chatty()) qprintf("Setting up random simplex\n");
    for (int m = 1; m <= nm; ++m) {
      Mat& p = M.ref[m].p;
      for (int tries = 0;; ++tries) {
        if (tries >= kMaxRedraws)
          fatal(strformat("in randomize, every one of %d drawn models had a negative mass (check the ranges of b)",
                          kMaxRedraws));
        p = kept.p;
        for (const Range& r : ranges) p[r.i][r.k] = r.lo + ran2(draws) * (r.hi - r.lo);
        if (lpmode != 0) {
          const int lp = settings.linparms, gf = settings.gridflag;
          settings.linparms = lpmode;
          settings.gridflag = 0;
          auto_parms(p);
          settings.linparms = lp;
          settings.gridflag = gf;
        }
        bool negative = false;
        if (settings.nobflip)
          for (int i = 1; i <= M.Ngal; ++i)
            if (p[i][1] < 0) negative = true;
        if (!negative) break;
        if (chatty()) qprintf("Oops, model has negative mass.\n");
      }
    }
    TWsrc.srcparms = kept_src;
    if (chatty()) qprintf("Optimizing\n");
    BVec<Mat> models = model_tensor();
    optimization_run(names, vary, models, nm, 1, false, [j, N](int r, int niter) {
      if (chatty())
        qprintf("Ran #%d/%d, opt #%d/%d: %4d func evals, chisq %e\n", j, N, r, settings.restart, niter,
                TSstore.chi[kChiTot]);
    });
    M.ref[1].p = models[1];
    runs[j] = models[1];
    runsrc[j] = TWsrc.srcparms;
    for (int c = 0; c < kChiSlots; ++c) runchi[j][c] = TSstore.chi[c];
    tot[j] = TSstore.chi[kChiTot];
    if (tot[j] < maxchi) {
      writebest(fp, names, runs[j]);
      fp.flush();
    }
    if (tot[j] < bestchi) {
      bestchi = tot[j];
      best = j;
    }
  }
  fp.close();
  writestartN(outbase + ".startN", names, M.refv, runs, tot, N);

  const std::string bpath = outbase + ".best";
  WholeFile bf(bpath, "could not open randomize best file");
  qprintf("Writing best randomize model to file %s\n", bpath.c_str());
  int ndim = 0, ngv = 0, nsv = 0;
  storage_init(names, M.refv, runs[best], ndim, ngv, nsv);
  TWsrc.srcparms = runsrc[best];
  Mat src = runsrc[best];
  calc_chi(names, runs[best], TWsrc.srcID, src);
  storage_clear();
  writebest(bf, names, runs[best]);
  bf.commit();
  writestart(outbase + ".start", names, M.refv, runs[best]);
}

