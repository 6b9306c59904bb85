// The model store and chi-squared assembly: varied parameters to a trial model, calc_chi,
// the minimisers' objective tryparms, the galaxy term and the parity check.
#include "fit/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "core/lens_model.h"
#include "core/sources.h"
#include "fit/constraints.h"
#include "fit/curves_rings.h"
#include "fit/fit_data.h"
#include "fit/linparms.h"
#include "fit/pointchi.h"
#include "fit/results.h"
#include "fit/testterms.h"
#include "fit/weak.h"
#include "imageplane/source_models.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/minimize.h"
#include "shell/fatal.h"
#include "shell/settings.h"

ModelStore TSstore;
FitRun TSrun;

namespace {
const char* const kSlotNames[kChiSlots] = {"tot", "pos", "flux", "tdel", "gal", "plim", "crv", "ring", "weak"};
bool vertex_stream_started = false;

bool near(double v, double target) { return std::fabs(v - target) < 1e-4; }
}  // namespace

void start_command_run() {
  ++TSrun.run;
  TSrun.vertices.restart(settings.seed);
  vertex_stream_started = true;
}

bool once_per_run(long& stamp) {
  if (stamp == TSrun.run + 1) return false;
  stamp = TSrun.run + 1;  // +1 so that a zero stamp is never current
  return true;
}

void set_start_model() { TSrun.start_model = true; }

const char* penalty_name(FitPenalty p) {
  switch (p) {
    case FitPenalty::kBounds: return "parameter-bound";
    case FitPenalty::kParity: return "parity";
    case FitPenalty::kMissingImages: return "missing-image";
    case FitPenalty::kExtraImages: return "extra-image";
    default: return "no";
  }
}

void chipkg() {}

// ---- the store ----

void storage_init(const BVec<std::string>& names, const IMat& vary, const Mat& start, int& ndim,
                  int& ngvary, int& nsvary) {
  minstepsize();
  const int ng = TWgal.NGALMAX, ns = TWsrc.NSRCMAX;
  ModelStore& S = TSstore;
  S.ngal = ng;
  S.nsrc = ns;
  S.gname.reset(1, ng);
  S.sname.reset(1, ns);
  S.gvary.reset(1, ng, 1, 10);
  S.svary.reset(1, ns, 1, 8);
  S.gref.reset(1, ng, 1, 10);
  S.gtry.reset(1, ng, 1, 10);
  S.gwork.reset(1, ng, 1, 10);
  S.sref.reset(1, ns, 1, 8);
  S.stry.reset(1, ns, 1, 8);
  ngvary = nsvary = 0;
  for (int i = 1; i <= ng; ++i) {
    S.gname[i] = names[i];
    for (int k = 1; k <= 10; ++k) {
      S.gref[i][k] = start[i][k];
      S.gvary[i][k] = vary[i][k];
      if (vary[i][k] != 0) ++ngvary;
    }
  }
  for (int i = 1; i <= ns; ++i) {
    S.sname[i] = TWsrc.srcID[i];
    for (int k = 1; k <= 8; ++k) {
      S.sref[i][k] = TWsrc.srcparms[i][k];
      S.svary[i][k] = TWsrc.srcvary[i][k];
      if (k >= 4 && S.svary[i][k] != 0) ++nsvary;
    }
  }
  // Parameters tied exactly to a partner leave the vector.
  for (int r = 1; r <= TScons.npmatch; ++r) {
    const PmatchRow& row = TScons.pmatcharr[r];
    if (row.sigma != 0 || row.on == 0) continue;
    const int ig = constraint_index(row.igal), ip = constraint_index(row.iparm);
    const int jg = constraint_index(row.jgal), jp = constraint_index(row.jparm);
    if (ig >= 1 && ig <= ng && jg >= 1 && jg <= ng && ip >= 1 && ip <= 10 && jp >= 1 && jp <= 10) {
      if (S.gvary[ig][ip] > 0) {
        S.gvary[ig][ip] = 0;
        --ngvary;
      }
    } else if (ig < 0 && jg < 0 && -ig <= ns && -jg <= ns && ip >= 4 && ip <= 8 && jp >= 4 && jp <= 8) {
      if (S.svary[-ig][ip] > 0) {
        S.svary[-ig][ip] = 0;
        --nsvary;
      }
    }
  }
  ndim = ngvary + nsvary;
  S.ngvary = ngvary;
  S.nsvary = nsvary;
  S.ndim = ndim;
  S.built = true;
}

void storage_clear() {
  ModelStore& S = TSstore;
  S.gname.clear();
  S.sname.clear();
  S.gvary.clear();
  S.svary.clear();
  S.gref.clear();
  S.gtry.clear();
  S.gwork.clear();
  S.sref.clear();
  S.stry.clear();
  S.built = false;
  S.ngal = S.nsrc = S.ngvary = S.nsvary = S.ndim = 0;
}

// ---- one evaluation ----

namespace {
// Loads the trial model of x into gtry / stry and processes it there (angle folding,
// PArange wrapping, exact ties, linear parameters); x itself is left as proposed.
void load_processed(const Vec& x) {
  ModelStore& S = TSstore;
  int j = 0;
  for (int i = 1; i <= S.ngal; ++i)
    for (int k = 1; k <= 10; ++k) S.gtry[i][k] = S.gvary[i][k] != 0 ? x[++j] : S.gref[i][k];
  for (int i = 1; i <= S.nsrc; ++i)
    for (int k = 1; k <= 8; ++k) S.stry[i][k] = (k >= 4 && S.svary[i][k] != 0) ? x[++j] : S.sref[i][k];
  proc_parms(S.gtry, &S.stry);
  auto_parms(S.gtry);
}
}  // namespace

void process_point(Vec& x) {
  ModelStore& S = TSstore;
  if (!S.built) return;
  load_processed(x);
  int j = 0;
  for (int i = 1; i <= S.ngal; ++i)
    for (int k = 1; k <= 10; ++k)
      if (S.gvary[i][k] != 0) x[++j] = S.gtry[i][k];
  for (int i = 1; i <= S.nsrc; ++i)
    for (int k = 4; k <= 8; ++k)
      if (S.svary[i][k] != 0) x[++j] = S.stry[i][k];
}

namespace {
// The best accepted evaluation of the running optimisation (the first on ties), as
// proposed; domin switches the tracking on.
struct AcceptedBest {
  bool on = false, found = false;
  double chi = 0;
  Vec x;
};
AcceptedBest accepted;
}  // namespace

double tryparms(Vec& x) {
  ModelStore& S = TSstore;
  load_processed(x);

  ring_trial_hook(S.gname, S.gtry, true);

  FILE* tr = TSrun.chifile;
  if (tr) {
    std::fprintf(tr, "LENS PARMS:\n");
    writep(tr, S.gname, S.gtry);
    std::fflush(tr);
  }
  calc_chi(S.gname, S.gtry, S.sname, S.stry);
  if (tr) {
    std::fprintf(tr, "SOURCE PARMS:\n");
    writesrc(tr, S.sname, S.stry);
    for (int s = 1; s <= TSobs.Nsrcobs; ++s) {
      const SrcData& m = TSobs.srcmod[s];
      std::fprintf(tr, "SOURCE %d: %e %e %e %e  # u v fsrc h\n", s, m.u, m.v,
                   m.multiflux >= 1 ? m.fsrc[1] : 0.0, m.h);
    }
    writechi(tr, S.chi, 1);
    check_chi_trace();
  }
  if (accepted.on && S.penalty != FitPenalty::kBounds && (!accepted.found || S.chi[kChiTot] < accepted.chi)) {
    accepted.found = true;
    accepted.chi = S.chi[kChiTot];
    for (int j = 1; j <= S.ndim; ++j) accepted.x[j] = x[j];
  }
  return S.chi[kChiTot];
}

double calc_chi(const BVec<std::string>& names, const Mat& params, const BVec<std::string>& srcnames,
                Mat& srcparams) {
  double* chi = TSstore.chi;
  ring_trial_hook(names, params, false);
  for (int i = 0; i < kChiSlots; ++i) chi[i] = 0;

  // The source-plane forms need no image finding; curves and flux-peak rays of rings
  // search the images of the trial lens, which then gets its own grid.
  const int regrid = settings.gridflag != 0 ? 1
                     : (near(settings.chimode, 0) || near(settings.chimode, -1)) ? (crvring_need_grid() ? 1 : 0)
                                                                                  : 1;

  struct ClearStart {
    ~ClearStart() { TSrun.start_model = false; }
  } clear_start;

  static Vec no_redshifts;
  const Vec& z = TWref.Nref >= 1 ? TWref.ref[1].z : no_redshifts;
  // Hard checks: the first that objects gives the total.
  FitPenalty& penalty = TSstore.penalty;
  penalty = FitPenalty::kBounds;
  if ((chi[kChiTot] = initmodel(names, params, z, regrid)) > 0) return chi[kChiTot];
  if ((chi[kChiTot] = initsrcmod(srcnames, srcparams)) > 0) return chi[kChiTot];
  if ((chi[kChiTot] = check_parms(names, params)) > 0) return chi[kChiTot];
  penalty = FitPenalty::kParity;
  if ((chi[kChiTot] = check_parity()) > 0) return chi[kChiTot];
  penalty = FitPenalty::kNone;

  if (settings.nopointchi == 0) {
    const double cm = settings.chimode;
    PointChi point;
    if (near(cm, 0) || near(cm, -1))
      point = chiapprox(params, srcparams);
    else if (near(cm, 1))
      point = chiexact(params, srcparams);
    else if (near(cm, 2))
      point.pos = chiGausCorr(params, srcparams);
    else
      fatal("unknown value of chimode");
    chi[kChiPos] = point.pos;
    if (point.penalty == PointPenalty::kMissingImages) penalty = FitPenalty::kMissingImages;
    if (point.penalty == PointPenalty::kExtraImages) penalty = FitPenalty::kExtraImages;
    chi[kChiFlux] = point.flux;
    chi[kChiTdel] = point.tdel;
  }
  chi[kChiGal] = galchi();
  chi[kChiPlim] = plimchi(params, srcparams);
  chi[kChiCrv] = chicurve();
  chi[kChiRing] = chiring();
  chi[kChiWeak] = chiweak();
  chipkg();
  // The test term joins the parameter limits, and the pixelated-source term, which sees
  // that sum, joins the rings.
  chi[kChiPlim] += chitest_func(params);
  chi[kChiRing] += chipixsrc(chi[kChiPlim]);

  chi[kChiTot] = (chi[kChiFlux] * settings.fluxweight + chi[kChiPos] + chi[kChiTdel] * settings.timeweight +
                  chi[kChiGal]) +
                 (chi[kChiPlim] + chi[kChiCrv] + chi[kChiRing] + chi[kChiWeak] * settings.weakweight);
  if (!std::isfinite(chi[kChiTot])) {
    if (TSrun.chifile) {
      for (int i = 1; i < kChiSlots; ++i)
        if (!std::isfinite(chi[i])) std::fprintf(TSrun.chifile, "non-finite chi^2 in slot %s\n", kSlotNames[i]);
    }
    chi[kChiTot] = kChiNonFinite;
  }
  return chi[kChiTot];
}

// ---- galaxy term and parity ----

double galchi() {
  double chi = 0;
  const int n = TSobs.Ngalobs;
  if (n <= 0) return chi;
  if (n > TWgal.NGALMAX)
    fatal(strformat("there are %d observed galaxies but the model has only %d components", n, TWgal.NGALMAX));
  for (int i = 1; i <= n; ++i) {
    const GalData& o = TSobs.galobs[i];
    GalData& m = TSobs.galmod[i];
    copygalaxy(m, o);
    m.R_e = 1;
    m.sig_R_e = 1e6;
    m.x = getp(i, 2);
    m.y = getp(i, 3);
    m.e = getp(i, 4);
    m.PA = getp(i, 5);
    const double a = o.sig_a, b = o.sig_b;
    if (a == 0 || b == 0) continue;  // position not measured
    const double th = o.err_pa * kPi / 180.0, c = std::cos(th), s = std::sin(th);
    const double dx = m.x - o.x, dy = m.y - o.y, a2 = a * a, b2 = b * b;
    chi += dx * dx * (s * s / a2 + c * c / b2) + dy * dy * (c * c / a2 + s * s / b2) +
           2 * dx * dy * s * c * (a2 - b2) / (a2 * b2);
  }
  return chi;
}

namespace {
// The parity failure is printed once per optimisation (domin closes it with the count of
// penalised evaluations) and once per command elsewhere.
RepeatedMessage parity_failure;

void report_parity_failure(int src, int img, bool reference, double f, double pxx, double pyy, double pxy,
                           double pyx) {
  const double tr = 2 - pxx - pyy, det = (1 - pxx) * (1 - pyy) - pxy * pyx;
  const double root = std::sqrt(std::max(tr * tr - 4 * det, 0.0));
  const double lp = (tr + root) / 2, lm = (tr - root) / 2;
  const std::string head = strformat("failed parity check -- source #%d, image #%d%s", src, img,
                                     reference ? " (the reference, brightest image)" : "");
  print_error(head);
  qprintf("       Observed parity           = %2d\n", f > 0 ? 1 : -1);
  qprintf("       Model partial parities    = %2d %2d\n", lp > 0 ? 1 : -1, lm > 0 ? 1 : -1);
  qprintf("       (Setting chisq=1.0e9.)\n");
  qprintf("       Start from a model whose critical curve puts this image on its observed side,"
          " or use 'set checkparity 0' for a first source-plane stage.\n");
  parity_failure.remember(labelled("ERROR", head));
}
}  // namespace

double check_parity() {
  if (!settings.checkparity) return -1;
  struct ResetScale {
    ~ResetScale() { TWmod.scale = 1.0; }
  } reset;
  double pot, px, py, pxx, pyy, pxy, pyx;
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& s = TSobs.srcobs[i];
    const int n = std::min(s.nimg, s.maximg);
    if (n < 1 || s.multiflux < 1) continue;
    TWmod.scale = s.pscale;
    double xs = 0, ys = 0;
    GetRegister(1, i, xs, ys);
    int iref = 1;
    double fmax = std::fabs(s.flux[1][1]);
    for (int k = 2; k <= n; ++k)
      if (std::fabs(s.flux[k][1]) > fmax) {
        fmax = std::fabs(s.flux[k][1]);
        iref = k;
      }
    potdefmag(s.x[iref] + xs, s.y[iref] + ys, pot, px, py, pxx, pyy, pxy, pyx);
    const double ref_xx = pxx, ref_yy = pyy, ref_xy = pxy, ref_yx = pyx;
    // Source sign as the reference image gives it.
    const double S = ((1 - pxx) * (1 - pyy) - pxy * pyx) * s.flux[iref][1];
    for (int k = 1; k <= n; ++k) {
      potdefmag(s.x[k] + xs, s.y[k] + ys, pot, px, py, pxx, pyy, pxy, pyx);
      const double f = s.flux[k][1];
      if (std::fabs(f) < 0.05 * fmax) continue;
      const double det = (1 - pxx) * (1 - pyy) - pxy * pyx;
      if ((det * f > 0) == (S > 0)) continue;
      // The images disagree. With the source sign positive, the image at fault is the one
      // whose flux sign differs from the sign of det A there: image k, or the reference.
      if (parity_failure.first()) {
        if (S > 0)
          report_parity_failure(i, k, k == iref, f, pxx, pyy, pxy, pyx);
        else
          report_parity_failure(i, iref, true, s.flux[iref][1], ref_xx, ref_yy, ref_xy, ref_yx);
      }
      if (TSrun.chifile) std::fprintf(TSrun.chifile, "Wrong parity -- src #%d, img #%d\n", i, S > 0 ? k : iref);
      return kParityPenalty;
    }
  }
  return -1;
}

// ---- the optimiser driver ----

namespace {
// Evaluates row v of the simplex; the row keeps the values it holds (the minimisers
// move through continuous parameters; only the evaluated copy is processed).
double eval_row(const Mat& p, int v, int ndim, Vec& scratch) {
  for (int j = 1; j <= ndim; ++j) scratch[j] = p[v][j];
  return tryparms(scratch);
}
}  // namespace

namespace {
OutFile chi_trace;
// A second descriptor on chitmp.dat, for its size and its truncation at the bound.
int chi_trace_fd = -1;
long long chi_trace_bound = kChiTraceBound;
long long chi_trace_kept = 0;  // the size at the last check within the bound
long chi_trace_note = 0;       // once-per-run stamp of the NOTE

void close_chi_trace_fd() {
  if (chi_trace_fd >= 0) ::close(chi_trace_fd);
  chi_trace_fd = -1;
}
}  // namespace

void set_chi_trace_bound(long long bytes) { chi_trace_bound = bytes; }

void open_chi_trace() {
  close_chi_trace_fd();
  chi_trace = settings.tempfiles == 1 ? open_trace("chitmp.dat", true) : OutFile();
  TSrun.chifile = chi_trace.get();
  chi_trace_kept = 0;
  if (TSrun.chifile) {
    chi_trace_fd = ::open("chitmp.dat", O_WRONLY | O_CLOEXEC);
    // Without a way to measure it the trace is not written at all.
    if (chi_trace_fd < 0) TSrun.chifile = nullptr;
  }
}

void check_chi_trace() {
  FILE* tr = TSrun.chifile;
  if (!tr) return;
  flush_record(tr);
  struct stat st;
  if (::fstat(chi_trace_fd, &st) != 0) return;
  if (st.st_size <= chi_trace_bound) {
    chi_trace_kept = st.st_size;
    return;
  }
  // Cut back to the last whole record within the bound; nothing more is written.
  if (::ftruncate(chi_trace_fd, chi_trace_kept) != 0) write_failure("chitmp.dat", errno);
  TSrun.chifile = nullptr;
  if (once_per_run(chi_trace_note))
    print_labelled(QVMstdout, "NOTE",
                   strformat("the trace chitmp.dat reached its bound of %lld bytes and is not written further; "
                             "the run goes on ('set tempfiles 0' turns the trace off)",
                             chi_trace_bound));
}

void close_chi_trace() {
  TSrun.chifile = nullptr;
  chi_trace.close();
  close_chi_trace_fd();
}

void drop_chi_trace() {
  TSrun.chifile = nullptr;
  chi_trace = OutFile();
  close_chi_trace_fd();
}

void domin(const BVec<std::string>& names, const IMat& vary, BVec<Mat>& models, int nmodels, int& ndim,
           int& niter) {
  if (nmodels < 1) fatal("no parameters passed to minimization routine domin()\n");
  struct CloseTrace {
    ~CloseTrace() { drop_chi_trace(); }
  } close_trace;
  open_chi_trace();
  if (!vertex_stream_started) start_command_run();

  struct CloseParity {
    CloseParity() { parity_failure.close(); }
    ~CloseParity() { parity_failure.close(); }
  } close_parity;

  int ngvary = 0, nsvary = 0;
  storage_init(names, vary, models[1], ndim, ngvary, nsvary);
  ModelStore& S = TSstore;
  ring_reset_hook(S.gname, S.gref);

  const int nd = ndim;
  Vec y(1, nd + 1), scratch(1, std::max(nd, 1));
  accepted.on = nd > 0;
  accepted.found = false;
  if (accepted.x.size() < nd) accepted.x.reset(1, nd);
  struct StopTracking {
    ~StopTracking() { accepted.on = false; }
  } stop_tracking;
  Mat p(1, nd + 1, 1, std::max(nd, 1));
  const Mat& pstep = TWstep.pstep;
  const bool random_vertices = settings.vertmode != 1;
  int best = 1;
  for (int v = 1; v <= nd + 1; ++v) {
    int j = 0;
    auto offset = [&](int jj) {
      if (random_vertices) return 2 * ran2(TSrun.vertices) - 1;
      return jj == v - nmodels ? 1.0 : 0.0;
    };
    for (int i = 1; i <= S.ngal; ++i)
      for (int k = 1; k <= 10; ++k) {
        if (S.gvary[i][k] == 0) continue;
        ++j;
        if (v <= nmodels && v <= models.hi())
          p[v][j] = models[v][i][k];
        else
          p[v][j] = models[1][i][k] + offset(j) * pstep[i][k];
      }
    for (int s = 1; s <= S.nsrc; ++s)
      for (int k = 4; k <= 8; ++k) {
        if (S.svary[s][k] == 0) continue;
        ++j;
        p[v][j] = S.sref[s][k] + offset(j) * pstep[TWstep.ngal + s][k];
      }
    y[v] = eval_row(p, v, nd, scratch);
    if (y[v] < y[best]) best = v;
  }
  // The best of the models the user gave (the first on ties): what is kept when no
  // evaluated model is accepted.
  const int ngiven = std::max(1, std::min({nmodels, nd + 1, static_cast<int>(models.hi())}));
  int start = 1;
  for (int v = 2; v <= ngiven; ++v)
    if (y[v] < y[start]) start = v;
  Vec xstart(1, std::max(nd, 1));
  for (int j = 1; j <= nd; ++j) xstart[j] = p[start][j];

  niter = 0;
  if (y[best] > 0 && y[best] < settings.ftol) {
    if (nd > 0) {
      for (int j = 1; j <= nd; ++j) p[1][j] = p[best][j];
      y[1] = eval_row(p, 1, nd, scratch);
    }
  } else if (nd > 0) {
    if (settings.optmode == 1) {
      if (settings.verbose <= 1) {
        qprintf("  Note: before amoeba, p array:\n");
        for (int v = 1; v <= nd + 1; ++v) {
          for (int j = 1; j <= nd; ++j) qprintf(" %9.4f", p[v][j]);
          qprintf("\n");
        }
      }
      amoeba(p, y, nd, settings.ftol, [](Vec& x) { return tryparms(x); }, niter, settings.optNMAX);
    } else if (settings.optmode == 2) {
      Vec x0(1, nd);
      Mat xi(1, nd, 1, nd);
      for (int i = 1; i <= nd; ++i) {
        x0[i] = p[1][i];
        for (int j = 1; j <= nd; ++j) xi[i][j] = p[j + 1][i] - x0[i];
      }
      if (settings.verbose <= 1) {
        qprintf("  Note: before powell, p and xi matrix:\n");
        for (int i = 1; i <= nd; ++i) {
          qprintf(" %9.4f    ", x0[i]);
          for (int j = 1; j <= nd; ++j) qprintf(" %9.4f", xi[i][j]);
          qprintf("\n");
        }
      }
      double fret = 0;
      powell(x0, xi, nd, settings.ftol, niter, fret, [](Vec& x) { return tryparms(x); });
      for (int j = 1; j <= nd; ++j) p[1][j] = x0[j];
    } else {
      fatal("unknown value for optmode");
    }
  }
  // The result is the best accepted model evaluated; the start when none was accepted.
  // Row 1 is evaluated once more, so that chi, the source tables and the model images
  // describe it.
  accepted.on = false;
  if (nd > 0) {
    for (int j = 1; j <= nd; ++j) p[1][j] = accepted.found ? accepted.x[j] : xstart[j];
    y[1] = eval_row(p, 1, nd, scratch);
  }
  Mat& m1 = models[1];
  int j = 0;
  for (int i = 1; i <= S.ngal; ++i)
    for (int k = 1; k <= 10; ++k)
      if (S.gvary[i][k] != 0) m1[i][k] = p[1][++j];
  proc_parms(m1, nullptr);
  auto_parms(m1);
  ring_result_hook(S.gname, S.gtry, m1);
  storage_clear();
  close_chi_trace();
}
