// Markov chain Monte Carlo over the varied parameters (MCMCset, MCMCrun): Metropolis chains,
// adaptive proposals, step-scale tuning and the Gelman-Rubin test.
#include "fit/mcmc.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "core/lens_model.h"
#include "core/sources.h"
#include "fit/fit_data.h"
#include "fit/store.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "numeric/linalg.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

MCMCControl MCctl;
MCMCRun MCrun;

const char* const kMCkeywords[15] = {"",         "Nchain",  "spread",   "stopcrit", "stepfac",
                                     "Ncheck",   "Nwrite",  "tempfiles", "minsteps", "maxsteps",
                                     "dumbfrac", "Ndyn",    "subsamp",  "hinchain", "chiweight"};

namespace {
// A control value read as an integer (factor 1.000001), held within the range of long.
long trunc_parm(double v) {
  const double t = v * 1.000001;
  if (t >= 9e18) return 9000000000000000000L;
  if (t <= -9e18) return -9000000000000000000L;
  return static_cast<long>(t);
}

// Where each coordinate comes from: component (gal > 0) or source (gal < 0, -index) and
// parameter; h has gal 0.
struct CoordRef {
  int gal = 0, parm = 0;
};
std::vector<CoordRef> coords;  // [0..n-1] for coordinates 1..n

double objective_value(Vec& x) {
  return MCrun.objective ? MCrun.objective(x) : tryparms(x);
}

void build_coords() {
  const ModelStore& S = TSstore;
  coords.clear();
  for (int i = 1; i <= S.ngal; ++i)
    for (int k = 1; k <= 10; ++k)
      if (S.gvary[i][k] != 0) coords.push_back({i, k});
  for (int s = 1; s <= S.nsrc; ++s)
    for (int k = 4; k <= 8; ++k)
      if (S.svary[s][k] != 0) coords.push_back({-s, k});
  if (MCrun.MChinchain == 1) coords.push_back({0, 0});
}

// Loads coordinates into the trial model of the store (fixed values from the reference).
void load_trial(const double* pt) {
  ModelStore& S = TSstore;
  for (int i = 1; i <= S.ngal; ++i)
    for (int k = 1; k <= 10; ++k) S.gtry[i][k] = S.gref[i][k];
  for (int s = 1; s <= S.nsrc; ++s)
    for (int k = 1; k <= 8; ++k) S.stry[s][k] = S.sref[s][k];
  for (size_t j = 0; j < coords.size(); ++j) {
    const CoordRef& c = coords[j];
    if (c.gal > 0)
      S.gtry[c.gal][c.parm] = pt[j];
    else if (c.gal < 0)
      S.stry[-c.gal][c.parm] = pt[j];
  }
}

void write_row_text(FILE* f, const double* pt, int n, double h, double chi, int flag) {
  for (int k = 0; k < n; ++k) std::fprintf(f, " %e", pt[k]);
  std::fprintf(f, " %e %e %d\n", h, chi, flag);
}

void print_matrix(const char* title, const Mat& m, int n) {
  if (quietflag || settings.verbose > 1) return;
  qprintf("%s", title);
  for (int k = 1; k <= n; ++k) {
    for (int l = 1; l <= n; ++l) qprintf(" %13.6e", m[k][l]);
    qprintf("\n");
  }
}

// Running sums of every point of every chain.
struct ChainSums {
  int nchain = 0, n = 0;
  std::vector<double> S, Q;  // [k * nchain + c] for coordinate k (0-based), chain c (0-based)
  Vec T;                     // [1..n]
  Mat P;                     // [1..n][1..n]
  double N = 0;
  void reset(int nc, int nn) {
    nchain = nc;
    n = nn;
    S.assign(static_cast<size_t>(nn) * nc, 0.0);
    Q.assign(static_cast<size_t>(nn) * nc, 0.0);
    T.reset(1, std::max(nn, 1));
    P.reset(1, std::max(nn, 1), 1, std::max(nn, 1));
    N = 0;
  }
  void add(int c, const Vec& x) {
    for (int k = 1; k <= n; ++k) {
      const double v = x[k];
      S[(k - 1) * nchain + (c - 1)] += v;
      Q[(k - 1) * nchain + (c - 1)] += v * v;
      T[k] += v;
      double* Pk = P[k].data();
      for (int l = 1; l <= n; ++l) Pk[l - 1] += v * x[l];
    }
    N += 1;
  }
};

// Proposal covariance of mode 2 from the sums, factored; the diagonal of standard
// deviations when the factorisation fails.
void proposal_factor(const ChainSums& cs, const char* title) {
  const int n = cs.n;
  Mat& L = MCrun.MCchol;
  const double N = cs.N;
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) L[k][l] = cs.P[k][l] / N - cs.T[k] * cs.T[l] / (N * N);
  print_matrix(title, L, n);
  if (!cov2chol(n, L)) {
    for (int k = 1; k <= n; ++k)
      for (int l = 1; l <= n; ++l) L[k][l] = 0;
    for (int k = 1; k <= n; ++k) {
      const double v = cs.P[k][k] / N - cs.T[k] * cs.T[k] / (N * N);
      L[k][k] = std::sqrt(std::max(v, 0.0));
    }
  }
}

// The acceptance rule shared by the step forms: q has been proposed.
void accept_or_stay(Vec& x, double& h, double& chi, int& flag) {
  MCMCRun& R = MCrun;
  const int n = R.MCnvary;
  double hnew = 0;
  const double chinew = mcmc_chider(R.MCq, hnew);
  bool take;
  if (chi >= chinew) {
    take = true;
    flag = 1;
  } else {
    const double u = ran2(R.MCrseed);
    const double a = std::exp(-(chinew - chi) / 2);
    take = u < a;
    flag = take ? 2 : 0;
  }
  if (take) {
    for (int k = 1; k <= n; ++k) x[k] = R.MCq[k];
    h = hnew;
    chi = chinew;
  }
}

struct ChiFileCloser {
  ~ChiFileCloser() { drop_chi_trace(); }
};

}  // namespace

long mcmc_stored_rows(int c) {
  const int width = MCrun.MCnvary + 3;
  if (c < 1 || c >= static_cast<int>(MCrun.MCallpts.size())) return 0;
  return static_cast<long>(MCrun.MCallpts[c].size() / width);
}

// ---- run state ----

void mcmc_init() {
  MCMCRun& R = MCrun;
  const SamplerObjective keep = R.objective;
  R = MCMCRun();
  R.objective = keep;
  R.MChinchain = trunc_parm(MCctl.MCparms[13]) == 1 ? 1 : 0;
  R.MCnvaryg = TSstore.ngvary;
  R.MCnvarys = TSstore.nsvary;
  R.MCnvary = TSstore.ndim;
  R.saved_hval = settings.hval;
  R.saved_hvale = settings.hvale;
  if (R.MChinchain == 1) {
    R.MCnvary += 1;
    R.MChprior[0] = settings.hval;
    R.MChprior[1] = settings.hval * settings.hval * settings.hvale;
    if (std::fabs(settings.hvale) < 1e-8) fatal("MCMC cannot use hinchain feature with hvale=0");
  }
  const int n = std::max(R.MCnvary, 1);
  R.MCdumb.reset(1, n);
  R.MCchol.reset(1, n, 1, n);
  R.MCq.reset(1, n);
  R.MCwork.reset(1, n);
  R.MCstep = 1.0;
  R.MCfileflag = trunc_parm(MCctl.MCparms[7]) != 0 ? 1 : 0;
  // The in-memory store starts empty; mcmc_run gives it its chains once Nchain is checked.
  build_coords();
  R.active = true;
}

void mcmc_clear() {
  MCMCRun& R = MCrun;
  if (!R.active) return;
  settings.hval = R.saved_hval;
  settings.hvale = R.saved_hvale;
  const SamplerObjective keep = R.objective;
  R = MCMCRun();
  R.objective = keep;
  coords.clear();
}

// ---- one point, one row ----

double mcmc_chider(Vec& q, double& h) {
  MCMCRun& R = MCrun;
  if (R.MChinchain == 1) {
    settings.hval = q[R.MCnvary];
    settings.hvale = 0;
  }
  double chi = objective_value(q) * MCctl.MCparms[14];
  h = (TSobs.Nsrcobs >= 1 && TSobs.srcmod.hi() >= 1) ? TSobs.srcmod[1].h : settings.hval;
  if (R.MChinchain == 1) {
    const double d = (settings.hval - R.MChprior[0]) / R.MChprior[1];
    chi += d * d;
  }
  return chi;
}

void mcmc_write1(FILE* stream, const Vec& point, const char* text) {
  for (int k = 1; k <= MCrun.MCnvary; ++k) std::fprintf(stream, " %e", point[k]);
  if (text) std::fprintf(stream, " %s", text);
  std::fprintf(stream, "\n");
  std::fflush(stream);
}

void mcmc_write2(int chain, FILE* stream, const Vec& point, int flag, double h, double chi) {
  MCMCRun& R = MCrun;
  const int n = R.MCnvary;
  if (chain == 0 || R.MCfileflag != 0) {
    write_row_text(stream, point.data(), n, h, chi, flag);
    std::fflush(stream);
    return;
  }
  if (chain >= static_cast<int>(R.MCallpts.size())) R.MCallpts.resize(chain + 1);
  std::vector<double>& rows = R.MCallpts[chain];
  for (int k = 1; k <= n; ++k) rows.push_back(point[k]);
  rows.push_back(h);
  rows.push_back(chi);
  rows.push_back(flag);
}

// ---- steps ----

void mcmc_step(Vec& x, double& h, double& chi, int& flag) {
  switch (MCctl.MCmode) {
    case 1:
      mcmc_step_dumb(x, h, chi, flag);
      return;
    case 2:
      mcmc_step_adapt(x, h, chi, flag);
      return;
    case 3:
      mcmc_step_hybrid(x, h, chi, flag);
      return;
    default:
      fatal("unknown MCMC mode");
  }
}

void mcmc_step_dumb(Vec& x, double& h, double& chi, int& flag) {
  MCMCRun& R = MCrun;
  for (int k = 1; k <= R.MCnvary; ++k) R.MCq[k] = x[k] + gasdev(R.MCgseed) * R.MCdumb[k] * R.MCstep;
  accept_or_stay(x, h, chi, flag);
}

void mcmc_step_adapt(Vec& x, double& h, double& chi, int& flag) {
  MCMCRun& R = MCrun;
  const int n = R.MCnvary;
  const double u = ran2(R.MCrseed);
  if (u >= R.dumbfrac) {
    gasvec(R.MCgseed, n, R.MCchol, R.MCwork, R.MCq);
    for (int k = 1; k <= n; ++k) R.MCq[k] = x[k] + R.MCstep * R.MCq[k];
  } else {
    for (int k = 1; k <= n; ++k) R.MCq[k] = x[k] + gasdev(R.MCgseed) * R.MCdumb[k];
  }
  accept_or_stay(x, h, chi, flag);
}

void mcmc_step_hybrid(Vec&, double&, double&, int&) { fatal("MCMC hybrid steps are not currently implemented"); }

// ---- tests on sums ----

GelmanRubin gelman_rubin(int nchain, long s, const double* S, const double* Q) {
  GelmanRubin g;
  if (s < 2 || nchain < 2) {
    g.W = g.B = g.V = g.Rhat = std::numeric_limits<double>::quiet_NaN();
    return g;
  }
  const double np = static_cast<double>(s + 1), sd = static_cast<double>(s);
  double w = 0, mm = 0, m2 = 0;
  for (int c = 0; c < nchain; ++c) {
    const double mean = S[c] / np, msq = Q[c] / np;
    w += (msq - mean * mean) * sd / (sd - 1);
    mm += mean;
    m2 += mean * mean;
  }
  g.W = w / nchain;
  mm /= nchain;
  m2 /= nchain;
  g.B = nchain * sd / (nchain - 1) * (m2 - mm * mm);
  g.V = g.W * (sd - 1) / sd + g.B / sd;
  g.Rhat = std::sqrt(g.V / g.W);
  return g;
}

bool mcmc_tune_scale(double rate, double stepfac, double& scale, int& inrange) {
  if (rate < 0.25) {
    scale /= stepfac;
  } else if (rate > 0.75) {
    scale *= stepfac;
  } else if (++inrange >= 10) {
    scale *= stepfac;
    inrange = 0;
    return true;
  }
  return false;
}

// ---- the run ----

namespace {

// The run's controls as read from the MCMCset values, checked.
struct ChainControls {
  long Nchain_l = 0;
  int Nchain = 0;
  double spread = 0, stopcrit = 0, stepfac = 0, maxsteps = 0;
  long Ncheck = 0, Nwrite = 0, minsteps = 0, subsamp = 0;
};

ChainControls read_controls(int n) {
  const MCMCRun& R = MCrun;
  const double* P = MCctl.MCparms;
  ChainControls k;
  k.Nchain_l = trunc_parm(P[1]);
  k.spread = P[2];
  k.stopcrit = P[3];
  k.stepfac = P[4];
  k.Ncheck = trunc_parm(P[5]);
  k.Nwrite = trunc_parm(P[6]);
  k.minsteps = trunc_parm(P[8]);
  k.maxsteps = P[9];
  k.subsamp = trunc_parm(P[12]);
  if (k.Nchain_l <= 1) fatal("MCMC requires multiple chains");
  if (k.Nchain_l <= n) fatal("MCMC requires more chains than variables");
  if (k.Nchain_l > kMCMaxChains) fatal(strformat("MCMC requires Nchain of at most %ld", kMCMaxChains));
  if (k.subsamp >= 1 && R.MCfileflag != 0) fatal("MCMC: subsampling currentl requires tempfiles=0");
  if (k.Ncheck < 1) fatal("MCMC requires Ncheck of at least 1");
  if (k.Nwrite < 1) fatal("MCMC requires Nwrite of at least 1");
  if (!(k.stepfac > 0)) fatal("MCMC requires a positive stepfac");
  k.Nchain = static_cast<int>(k.Nchain_l);
  return k;
}

// Everything the chains carry from step to step: the points, their h and chi-squared, the
// running sums, the chain files (or the in-memory store) and the acceptance counts.
struct ChainState {
  int n = 0, Nchain = 0;
  BVec<Vec> x;
  Vec hc, chic;
  ChainSums sums;
  // Each chain file's bytes are tallied as they are written, so that the processing
  // reads back exactly what this run wrote (the tallies outlive the files).
  std::vector<ByteTally> written;
  std::vector<OutFile> chainfile;
  long tries = 0, accepted = 0, S = 0;
  int inrange = 0;
  ChainState(int nvary, int nchain)
      : n(nvary), Nchain(nchain), x(1, nchain), hc(1, nchain), chic(1, nchain), written(nchain + 1),
        chainfile(nchain + 1) {}
  ChainState(const ChainState&) = delete;
  ChainState& operator=(const ChainState&) = delete;
};

void open_chain_store(ChainState& st, const std::string& outbase) {
  MCMCRun& R = MCrun;
  if (R.MCfileflag != 0) {
    for (int c = 1; c <= st.Nchain; ++c)
      st.chainfile[c] = OutFile(strformat("%s-%d.tmp", outbase.c_str(), c), st.written[c],
                                "could not open mcmc temp file for writing");
  } else if (static_cast<int>(R.MCallpts.size()) < st.Nchain + 1) {
    R.MCallpts.resize(st.Nchain + 1);
  }
}

// Step sizes of the simple proposal: the parameters' step sizes, a tenth of the prior
// width for h.
void set_step_sizes(int n) {
  MCMCRun& R = MCrun;
  for (int j = 1; j <= n; ++j) {
    const CoordRef& c = coords[j - 1];
    if (c.gal > 0)
      R.MCdumb[j] = TWstep.pstep[c.gal][c.parm];
    else if (c.gal < 0)
      R.MCdumb[j] = TWstep.pstep[TWstep.ngal - c.gal][c.parm];
    else
      R.MCdumb[j] = 0.1 * R.MChprior[1];
  }
}

// Starting points: the given models first, then scattered about model 1 by spread.
void start_chains(ChainState& st, const BVec<Mat>& models, int m, double spread) {
  MCMCRun& R = MCrun;
  const int n = st.n;
  if (TSrun.chifile) std::fprintf(TSrun.chifile, "MCMC: starting models\n");
  for (int c = 1; c <= st.Nchain; ++c) {
    st.x[c].reset(1, std::max(n, 1));
    Vec& xc = st.x[c];
    for (int j = 1; j <= n; ++j) {
      const CoordRef& cr = coords[j - 1];
      if (cr.gal > 0) {
        xc[j] = c <= m ? models[c][cr.gal][cr.parm]
                       : models[1][cr.gal][cr.parm] + spread * R.MCdumb[j] * gasdev(R.MCgseed);
      } else if (cr.gal < 0) {
        xc[j] = TSstore.sref[-cr.gal][cr.parm] + spread * R.MCdumb[j] * gasdev(R.MCgseed);
      } else {
        xc[j] = R.MChprior[0];
        if (c > 1) xc[j] += spread * R.MCdumb[j] * gasdev(R.MCgseed);
      }
    }
    for (int j = 1; j <= n; ++j) R.MCq[j] = xc[j];
    st.chic[c] = mcmc_chider(R.MCq, st.hc[c]);
    for (int j = 1; j <= n; ++j) xc[j] = R.MCq[j];
    mcmc_write2(c, st.chainfile[c], xc, -1, st.hc[c], st.chic[c]);
    st.chainfile[c].flush();
    if (TSrun.chifile) mcmc_write1(TSrun.chifile, xc, nullptr);
    st.sums.add(c, xc);
  }
}

// The check every Ncheck steps: convergence (from minsteps on), the acceptance rate and
// the scale of the steps; true when the chains have converged with a fair acceptance rate.
bool check_chains(ChainState& st, const ChainControls& k, long s, double stepfac) {
  MCMCRun& R = MCrun;
  const bool talk1 = !quietflag && settings.verbose <= 1;
  const bool talk2 = !quietflag && settings.verbose <= 2;
  bool conv = false;
  if (s >= k.minsteps) {
    conv = true;
    if (TSrun.chifile) std::fprintf(TSrun.chifile, "MCMC: convergence check [within,between,posterior,Rhat]\n");
    for (int q = 1; q <= st.n; ++q) {
      const size_t off = static_cast<size_t>(q - 1) * st.Nchain;
      const GelmanRubin g = gelman_rubin(st.Nchain, s, &st.sums.S[off], &st.sums.Q[off]);
      if (!(k.stopcrit > g.Rhat)) conv = false;
      if (TSrun.chifile) std::fprintf(TSrun.chifile, "  %e %e %e %e\n", g.W, g.B, g.V, g.Rhat);
      if (talk2) qprintf("MCMC convergencec check: %d %f %f %f %f (%d)\n", q, g.W, g.B, g.V, g.Rhat, conv ? 1 : 0);
    }
  }
  const double rate = static_cast<double>(st.accepted) / static_cast<double>(st.tries);
  const bool stop = conv && rate > 0.25;
  if (mcmc_tune_scale(rate, stepfac, R.MCstep, st.inrange) && talk1) qprintf("MCMC: trying increased scale\n");
  if (talk1) qprintf("MCMC: acceptance rate %f, scale %f\n", rate, R.MCstep);
  st.tries = st.accepted = 0;
  if (MCctl.MCmode == 2) proposal_factor(st.sums, "MCMC: updated covariance matrix\n");
  return stop;
}

// Step s of every chain; true when the run stops after it.
bool chain_step(ChainState& st, const ChainControls& k, long s, double stepfac) {
  const bool talk2 = !quietflag && settings.verbose <= 2;
  if (talk2 && s % k.Ncheck == 0) qprintf("MCMC: step %ld\n", s);
  for (int c = 1; c <= st.Nchain; ++c) {
    int flag = 0;
    mcmc_step(st.x[c], st.hc[c], st.chic[c], flag);
    if (s % k.Nwrite == 0) {
      mcmc_write2(c, st.chainfile[c], st.x[c], flag, st.hc[c], st.chic[c]);
      st.chainfile[c].flush();
    }
    if (flag > 0) ++st.accepted;
    st.sums.add(c, st.x[c]);
  }
  st.tries += st.Nchain;
  st.S = s;
  const bool stop = s % k.Ncheck == 0 && check_chains(st, k, s, stepfac);
  return stop && (k.Nchain_l * s) / 2 > k.minsteps;
}

// The result files of a run: the processed points (-p.dat), the models with their
// chi-squared (.dat) and the models as start files (.startN).
struct ChainResults {
  WholeFile pfile, dfile, sfile;
  int n;
  Vec shown;
  explicit ChainResults(const std::string& outbase, int nvary)
      : pfile(outbase + "-p.dat", "could not open mcmc output file", true),
        dfile(outbase + ".dat", "could not open mcmc output file", true),
        sfile(outbase + ".startN", "could not open mcmc output file", true),
        n(nvary),
        shown(1, std::max(nvary, 1)) {}

  void emit(const double* r) {
    for (int k = 0; k < n; ++k) shown[k + 1] = r[k];
    if (MCrun.objective)
      load_trial(r);
    else
      process_point(shown);  // the chains hold continuous values; what is written is processed
    write_row_text(pfile, shown.data(), n, r[n], r[n + 1], static_cast<int>(std::lround(r[n + 2])));
    std::fprintf(dfile, "LENS PARMS:\n");
    writep(dfile, TSstore.gname, TSstore.gtry);
    std::fprintf(dfile, "SOURCE PARMS:\n");
    writesrc(dfile, TSstore.sname, TSstore.stry);
    std::fprintf(dfile, "CHISQ: %e\n\n", r[n + 1]);
    writep(sfile, TSstore.gname, TSstore.gtry);
    if (TWref.Ngal > 1) std::fprintf(sfile, "#\n");
  }
};

// Row l (1-based) of chain c from the in-memory store.
const double* stored_row(int c, long l, int width) {
  const std::vector<double>& rows = MCrun.MCallpts[c];
  const size_t at = static_cast<size_t>(l - 1) * width;
  if (at + width > rows.size()) fatal(strformat("MCMC chain %d holds fewer than %ld rows", c, l));
  return &rows[at];
}

// The second half of every chain, read back from the chain files or the store.
void emit_second_halves(ChainState& st, ChainResults& out, const std::string& outbase, long Rr, long H) {
  const MCMCRun& R = MCrun;
  const int width = st.n + 3;
  std::vector<double> row(width);
  const long K = (Rr - H) * st.Nchain;
  std::fprintf(out.pfile, "%ld\n", K);
  std::fprintf(out.sfile, "%d %ld\n", TWref.Ngal, K);
  for (int c = 1; c <= st.Nchain; ++c) {
    FileHandle in;
    if (R.MCfileflag != 0) {
      const std::string path = strformat("%s-%d.tmp", outbase.c_str(), c);
      in = FileHandle(std::fopen(path.c_str(), "r"));
      if (!in) fatal(strformat("could not open mcmc temp file for reading: %s: %s", path.c_str(), std::strerror(errno)));
      if (!(tally_of(in) == st.written[c])) fatal(strformat("mcmc temp file %s was changed during the run", path.c_str()));
    }
    for (long l = 1; l <= Rr; ++l) {
      if (R.MCfileflag != 0) {
        for (int k = 0; k < width; ++k)
          if (std::fscanf(in, "%lf", &row[k]) != 1)
            fatal(strformat("mcmc temp file of chain %d ends before its row %ld", c, l));
      } else {
        const double* r = stored_row(c, l, width);
        for (int k = 0; k < width; ++k) row[k] = r[k];
      }
      if (l > H) out.emit(row.data());
    }
  }
}

// subsamp points drawn per chain from the second halves of the stored chains.
void emit_subsample(const ChainState& st, ChainResults& out, long subsamp, long Rr, long H) {
  MCMCRun& R = MCrun;
  const int width = st.n + 3;
  const long K = Rr >= 1 ? subsamp * st.Nchain : 0;
  std::fprintf(out.pfile, "%ld\n", K);
  std::fprintf(out.sfile, "%d %ld\n", TWref.Ngal, K);
  const long lo = std::max(H, 1L);
  for (long r = 0; r < K; ++r) {
    int c;
    do {
      c = static_cast<int>(st.Nchain * ran2(R.MCsseed)) + 1;
    } while (c < 1 || c > st.Nchain);
    long l;
    if (Rr >= 2) {
      do {
        l = Rr / 2 + static_cast<long>(ran2(R.MCsseed) * Rr * 0.5);
      } while (l < lo || l > Rr);
    } else {
      l = 1;
    }
    out.emit(stored_row(c, l, width));
  }
}

// The result files of runs that append to the earlier ones: they start as copies of the
// earlier files, take the block of each run and replace the earlier files at commit, once
// for a whole batch of lenses.
struct AppendedResults : ChainResults {
  AppendedResults(const std::string& outbase, int nvary) : ChainResults(outbase, nvary) {
    pfile.copy_target();
    dfile.copy_target();
    sfile.copy_target();
  }
  void commit() {
    pfile.commit();
    dfile.commit();
    sfile.commit();
  }
};

// Writes the run's results: into new files of outbase, or as one more block of appended.
void write_results(ChainState& st, const ChainControls& k, const std::string& outbase, AppendedResults* appended) {
  for (int c = 1; c <= st.Nchain; ++c) st.chainfile[c].close();
  qprintf("Processing chains.\n");
  const long Rr = st.S / k.Nwrite, H = Rr / 2;
  std::unique_ptr<ChainResults> own;
  if (!appended) own = std::make_unique<ChainResults>(outbase, st.n);
  ChainResults& out = appended ? *appended : *own;
  if (appended) {
    std::fprintf(out.pfile, "# new lens\n");
    std::fprintf(out.dfile, "# new lens\n\n");
    std::fprintf(out.sfile, "# new lens\n");
  }
  if (k.subsamp < 1)
    emit_second_halves(st, out, outbase, Rr, H);
  else
    emit_subsample(st, out, k.subsamp, Rr, H);
  for (int i = 1; i <= TSstore.ngal; ++i) {
    for (int q = 1; q <= 10; ++q) std::fprintf(out.sfile, " %d", TSstore.gvary[i][q]);
    std::fprintf(out.sfile, "\n");
  }
  if (!appended) {
    out.pfile.commit();
    out.dfile.commit();
    out.sfile.commit();
  }
}

// Runs the chains and writes their results (see mcmc_run); appended null: new files.
void run_chains(const BVec<Mat>& models, int m, const std::string& outbase, AppendedResults* appended) {
  MCMCRun& R = MCrun;
  const int n = R.MCnvary;
  const ChainControls k = read_controls(n);

  qprintf("MCMC: running chains\n");
  R.MCrseed.restart(settings.seed);
  R.MCgseed.restart(settings.seed);
  R.MCsseed.restart(settings.seed);
  R.dumbfrac = MCctl.MCparms[10];
  R.MCndyn = static_cast<int>(std::max(-1000000000L, std::min(1000000000L, trunc_parm(MCctl.MCparms[11]))));
  const double stepfac = k.stepfac < 1 ? 1 / k.stepfac : k.stepfac;

  ChainState st(n, k.Nchain);
  open_chain_store(st, outbase);
  st.sums.reset(k.Nchain, n);
  set_step_sizes(n);
  start_chains(st, models, m, k.spread);
  if (MCctl.MCmode == 2) proposal_factor(st.sums, "MCMC: initial covariance matrix\n");

  for (long s = 1; s < k.maxsteps; ++s)
    if (chain_step(st, k, s, stepfac)) break;

  write_results(st, k, outbase, appended);
}

}  // namespace

void mcmc_run(const BVec<Mat>& models, int m, const std::string& outbase, const char* mode) {
  if (mode[0] != 'a') return run_chains(models, m, outbase, nullptr);
  AppendedResults appended(outbase, MCrun.MCnvary);
  run_chains(models, m, outbase, &appended);
  appended.commit();
}

// ---- commands ----

void MCMCset(const WordArray& words) {
  const int nw = words.own_count();
  MCctl.MCmode = static_cast<int>(std::max(-1000L, std::min(1000L, words.finite_integer(1, "MCMCset"))));
  for (int i = 2; i + 1 < nw; i += 2) {
    int hit = 0;
    for (int k = 1; k <= 14; ++k)
      if (words[i] == kMCkeywords[k]) {
        MCctl.MCparms[k] = words.finite(i + 1, "MCMCset");
        hit = k;
        break;
      }
    if (!hit) refuse(strformat("unknown keyword '%s'", words.c_str(i)), "Warning in MCMCset");
  }
  const double* P = MCctl.MCparms;
  qprintf("MCMC parameters:\n");
  qprintf("Nchain:    %.0f\n", P[1]);
  qprintf("spread:    %f\n", P[2]);
  qprintf("stopcrit:  %f\n", P[3]);
  qprintf("stepfac:   %f\n", P[4]);
  qprintf("Ncheck:    %.0f\n", P[5]);
  qprintf("Nwrite:    %.0f\n", P[6]);
  qprintf("tempfiles: %.0f\n", P[7]);
  qprintf("minsteps:  %.0f\n", P[8]);
  qprintf("maxsteps:  %.0f\n", P[9]);
  if (MCctl.MCmode == 2) qprintf("dumbfrac: %f\n", P[10]);
  if (MCctl.MCmode == 3) qprintf("Ndyn:     %.0f\n", P[11]);
  qprintf("subsamp:   %.0f\n", P[12]);
  qprintf("hinchain:  %.0f\n", P[13]);
  qprintf("chiweight: %f\n", P[14]);
}

namespace {
// Releases what a chain command holds, also when it ends with an error.
struct ChainCommandFrame {
  ChiFileCloser closer;
  ~ChainCommandFrame() {
    storage_clear();
    mcmc_clear();
  }
};

BVec<Mat> model_set_models(int first, int count) {
  BVec<Mat> t(1, count);
  for (int i = 1; i <= count; ++i) {
    const Mat& p = TWref.ref[first + i - 1].p;
    t[i].reset(1, TWgal.NGALMAX, 1, 10);
    for (int g = 1; g <= TWgal.NGALMAX; ++g)
      for (int k = 1; k <= 10; ++k) t[i][g][k] = p[g][k];
  }
  return t;
}
}  // namespace

void MCMCrun(const WordArray& words) {
  require_model();
  start_command_run();
  ChainCommandFrame frame;
  open_chi_trace();
  int ndim = 0, ng = 0, ns = 0;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, ndim, ng, ns);
  if (MCctl.MCmode == 3) fatal("hybrid mode with parameter derivatives is currently disabled");
  mcmc_init();
  const BVec<Mat> models = model_set_models(1, TWref.Nref);
  mcmc_run(models, TWref.Nref, words[1], "w");
  close_chi_trace();
}

void MCMCbatch(const WordArray& words) {
  const int nw = words.own_count();
  const int runmode = nw > 2 ? static_cast<int>(std::max(-1L, std::min(99L, words.finite_integer(2, "MCMCbatch")))) : 1;
  const std::string outmode = nw > 3 ? words[3] : "new";
  long istart = nw > 4 ? words.finite_integer(4, "MCMCbatch") : 0;
  long iend = nw > 5 ? words.finite_integer(5, "MCMCbatch") : 0;
  if (istart < 1) istart = 1;
  const char* mode;
  if (outmode == "new") {
    mode = "w";
  } else if (outmode == "append") {
    mode = "a";
  } else {
    refuse("unknown value of 'outmode' in MCMCbatch");
    return;
  }
  if (iend <= 0 || iend > TSobs.Nbatdat) iend = TSobs.Nbatdat;
  if (istart > iend) istart = iend + 1;  // no lens to run
  if (TSobs.Nbatdat < 1) {
    if (!quietflag) note("Must load data using batchdata before running MCMCbatch");
    return;
  }
  require_model();
  if ((runmode == 2 || runmode == 3) && TWref.Nref < TSobs.Nbatdat) {
    warning("in MCMCbatch with mode=2 or mode=3, too few input models");
    return;
  }
  start_command_run();
  struct RestoreEntry {
    ~RestoreEntry() {
      if (TSobs.Nbatdat >= 1) use_batch_entry(1);
    }
  } restore_entry;
  ChainCommandFrame frame;
  BVec<Mat> work = model_set_models(1, runmode == 1 ? TWref.Nref : 1);
  int ndim = 0, ng = 0, ns = 0;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, ndim, ng, ns);
  if (MCctl.MCmode == 3) fatal("hybrid mode with parameter derivatives is currently disabled");
  mcmc_init();
  // Appending, every lens adds its block to one copy of each earlier file, which replaces
  // it when the batch is done: the earlier files stay whole until then.
  std::unique_ptr<AppendedResults> appended;
  if (mode[0] == 'a') appended = std::make_unique<AppendedResults>(words[1], MCrun.MCnvary);
  const int ngal = TWgal.NGALMAX;
  for (int i = static_cast<int>(istart); i <= iend; ++i) {
    qprintf("MCMCbatch lens %d\n", i);
    use_batch_entry(i);
    bool los_step = false;
    if (runmode == 1) {
      work = model_set_models(1, TWref.Nref);
    } else if (runmode == 2 || runmode == 3) {
      bool same = false;
      if (runmode == 3 && i > 1) {
        same = true;
        for (int g = 1; g <= ngal && same; ++g)
          for (int k = 1; k <= 10; ++k)
            if (std::fabs(TWref.ref[i].p[g][k] - TWref.ref[i - 1].p[g][k]) > 1e-4) {
              same = false;
              break;
            }
      }
      work = model_set_models(i, 1);
      if (!same) {
        for (int g = 1; g <= ngal; ++g) TWgal.refon[g] = 1;
        los_step = true;
      }
    } else {
      fatal("unknown mode in MCMCbatch");
    }
    if (los_step) {
      initLOS(TWref.ref[i].z);
      if (LOS.shearmode == 2) {
        if (initmodel(TWref.ref[i].names, work[1], TWref.ref[i].z, 0) > 0)
          fatal("in initmodel called from MCMCbatch");
        initLOSshear();
      }
    }
    ChiFileCloser closer;
    open_chi_trace();
    const std::string base = mode[0] == 'w' ? strformat("%s%d", words.c_str(1), i) : words[1];
    if (MCrun.MCfileflag == 0)
      for (auto& rows : MCrun.MCallpts) rows.clear();
    run_chains(work, runmode == 1 ? TWref.Nref : 1, base, appended.get());
    close_chi_trace();
  }
  if (appended) appended->commit();
}

// ---- help ----

