// Nested sampling of the varied parameters: the run that gives the evidence and a weighted
// posterior sample, and the commands nestsampSet, nestsampRun and nestsampDraw.
#include "fit/nestsamp.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "core/lens_model.h"
#include "fit/store.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/sort.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

NestSampControl NSctl;
NestSampResult NSresult;

const char* const kNSkeywords[15] = {"",       "mode",   "hull", "live",      "minsteps", "maxsteps", "update", "rescale",
                                     "expand", "tol",    "draw", "writelive", "writebad", "cdf",      "chicut"};

namespace {
constexpr double kNegInf = -std::numeric_limits<double>::infinity();
const char* const kNSoutput = "could not open nestsamp NSoutput file";
const char* const kNSoutput2 = "could not open nestsamp output file";

// The store nestsampSet built, reinstated by every run.
ModelStore NSstore;

// exp(x), or 0 below the smallest normal double.
double exp_or_zero(double x) {
  const double v = std::exp(x);
  return v < DBL_MIN ? 0.0 : v;
}

struct TraceStream {
  explicit TraceStream(FILE* f) { NS.NSouttmp = f; }
  ~TraceStream() { NS.NSouttmp = nullptr; }
};

// The worst live point (largest chi-squared, the first on ties; none at or below -1e12)
// in a heap, and the best (smallest, the first on ties; none at or above 1e12), kept
// current as the worst point is replaced by one with a chi-squared not above its own.
class LiveOrder {
 public:
  LiveOrder(const Vec& chi, int live) : chi_(chi), heap_(live) {
    for (int i = 0; i < live; ++i) heap_[i] = i + 1;
    for (int p = live / 2 - 1; p >= 0; --p) sift_down(p);
    rescan_best();
  }
  int worst() const { return chi_[heap_[0]] > -1e12 ? heap_[0] : 1; }
  int best() const { return chi_[best_] < 1e12 ? best_ : 0; }
  // The worst point was replaced.
  void replaced(int i) {
    sift_down(0);
    if (chi_[i] < chi_[best_] || (chi_[i] == chi_[best_] && i < best_))
      best_ = i;
    else if (i == best_)
      rescan_best();
  }

 private:
  bool worse(int a, int b) const { return chi_[a] > chi_[b] || (chi_[a] == chi_[b] && a < b); }
  void sift_down(size_t p) {
    const size_t n = heap_.size();
    for (;;) {
      size_t c = 2 * p + 1;
      if (c >= n) return;
      if (c + 1 < n && worse(heap_[c + 1], heap_[c])) ++c;
      if (!worse(heap_[c], heap_[p])) return;
      std::swap(heap_[c], heap_[p]);
      p = c;
    }
  }
  void rescan_best() {
    best_ = 1;
    for (int i = 2; i <= static_cast<int>(heap_.size()); ++i)
      if (chi_[i] < chi_[best_]) best_ = i;
  }
  const Vec& chi_;
  std::vector<int> heap_;
  int best_ = 1;
};

void write_live(const std::string& path, double step, bool rotated) {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  WholeFile f(path, kNSoutput2, true);
  std::fprintf(f, "# step %.0f\n", step);
  Vec p(1, std::max(n, 1));
  for (int i = 1; i <= S.NSlive; ++i) {
    for (int k = 1; k <= n; ++k) p[k] = S.NSparr[i][k];
    if (rotated) {
      for (int k = 1; k <= n; ++k) {
        double s = 0;
        for (int l = 1; l <= n; ++l) s += S.NSevec[k][l] * (S.NSparr[i][l] - S.NSmu[l]);
        p[k] = s;
      }
    }
    nestsamp_write1(f, rotated ? p : nestsamp_shown(p), 1, S.NSchi[i]);
  }
  f.commit();
}
}  // namespace

// ---- run state ----

void nestsamp_clear() {
  const SamplerObjective keep = NS.objective;
  NS = NestSampState();
  NS.objective = keep;
  NSbnd1 = NSbound();
  NSbnd2 = NSbound();
  NSstore = ModelStore();
}

void nestsamp_init() {
  nestsamp_clear();
  if (TWref.Nref < 1) fatal("no mass model has been defined");
  NestSampState& S = NS;
  int ndim = 0, ng = 0, ns = 0;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, ndim, ng, ns);
  NSstore = TSstore;
  S.NSnvary = ndim;
  S.NSnvaryg = ng;
  S.NSnvarys = ns;
  const double* P = NSctl.NSparms;
  auto plain = [](double v) {  // plain truncation, held within the range of long
    return v >= 9e18 ? 9000000000000000000L : v <= -9e18 ? -9000000000000000000L : static_cast<long>(v);
  };
  if (plain(P[6]) < 1) fatal("nestsamp needs update of at least 1");
  if (plain(P[7]) < 1) fatal("nestsamp needs rescale of at least 1");
  if (!(P[8] > 0)) fatal("nestsamp needs a positive expand");
  if (plain(P[3]) <= ndim)
    fatal(strformat("nestsamp needs more live points than the %d varied parameters (live)", ndim));
  if (plain(P[3]) > kNSMaxLive) fatal(strformat("nestsamp needs live of at most %ld", kNSMaxLive));
  // Flags and counts held in an int, kept within its range.
  auto plain_int = [&](double v) {
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, plain(v))));
  };
  S.NSmode = plain_int(P[1]);
  S.NShull = plain_int(P[2]);
  S.NSlive = plain_int(P[3]);
  S.NSminsteps = P[4] > 0 ? static_cast<unsigned long>(plain(P[4])) : 0;
  S.NSmaxsteps = P[5] > 0 ? static_cast<unsigned long>(plain(P[5])) : 0;
  S.NSupdate = static_cast<unsigned long>(plain(P[6]));
  S.NSrescale = static_cast<unsigned long>(plain(P[7]));
  S.NSexpand = P[8];
  S.NStol = P[9];
  S.NSdraw = P[10];
  S.NSwritelive = plain_int(P[11]);
  S.NSwritebad = plain_int(P[12]);
  S.NScdf = plain_int(P[13]);
  S.NSchicut = P[14];
  if (S.NSexpand < 1) {
    warning("nestsamp: expansion factor should be >=1");
    S.NSexpand = 1 / S.NSexpand;
  }
  if (S.NSdraw > static_cast<double>(S.NSminsteps) + S.NSlive) {
    warning("in nestsamp, draw should not exceed minsteps+live");
    S.NSdraw = static_cast<double>(S.NSminsteps) + S.NSlive;
  }
  nestsamp_alloc(ndim);
  S.NSflag = 1;
}

// ---- the run ----

namespace {

// The files a run writes as it goes: the trace (-tmp.dat), the retired points (-nest.dat,
// its bytes tallied so that the draw reads back exactly what was written) and the
// evidence per step (-evid.dat). The trace receives the sampler's notes while it lives.
struct RunFiles {
  OutFile ftmp;
  ByteTally nest_written;
  OutFile fnest;
  OutFile fevid;
  TraceStream trace;
  explicit RunFiles(const std::string& outbase)
      : ftmp(outbase + "-tmp.dat", "w", kNSoutput, true),
        fnest(outbase + "-nest.dat", nest_written, kNSoutput),
        trace(ftmp) {
    qprintf("Opened output file: %s\n", fnest.path().c_str());
    fevid = OutFile(outbase + "-evid.dat", "w", kNSoutput, true);
    std::fprintf(fnest, "#  x  chi^2  w  [list of parameter values]\n");
    std::fprintf(fevid, "#  step  x  Ztot  Znest  Zlive\n");
    fnest.flush();
    fevid.flush();
  }
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;
};

// The sampler's running state between steps: the prior volume and evidence (as
// logarithms), the posterior sums (relative to exp(lnwmax)), the best point, and every
// retired row's weight (and, for the marginals, its parameters as proposed).
struct NestWalk {
  int n, live;
  double lnt1, lnt2, lnlive, ln2l1, lntol;
  Vec msum, pbest, pw;
  Mat Msum;
  double wsum = 0;
  double lnX = 0, lnX2 = 0, lnZ = kNegInf, lnZ2 = kNegInf, lnY = kNegInf, HZ = 0, lnwmax = kNegInf;
  double lnZlive = kNegInf, lnZtot = kNegInf, bestchi = 0;
  bool have_best = false;
  std::vector<double> lnw_rows;
  // Each row's parameters as the sampler proposed them (angles continuous across the
  // fold): the marginal distributions are ordered by these, the rows written are folded.
  std::vector<double> proposed;
  unsigned long steps = 0;
  NestWalk(int nvary, int nlive)
      : n(nvary),
        live(nlive),
        lnt1(std::log(nlive / (nlive + 1.0))),
        lnt2(std::log((nlive + 1.0) / (nlive + 2.0))),
        lnlive(std::log(static_cast<double>(nlive))),
        ln2l1(std::log(2.0 / (nlive + 1.0))),
        lntol(NS.NStol > 0 ? std::log(NS.NStol) : kNegInf),
        msum(1, std::max(nvary, 1)),
        pbest(1, std::max(nvary, 1)),
        pw(1, std::max(nvary, 1)),
        Msum(1, std::max(nvary, 1), 1, std::max(nvary, 1)) {}

  // Writes pw as a retired row of weight lnw and keeps its weight.
  void retire(RunFiles& files, double chi, double lnw) {
    nestsamp_write2(files.fnest, pw, chi, std::exp(lnX), std::exp(lnw));
    files.fnest.flush();
    lnw_rows.push_back(lnw);
    if (NS.NScdf != 0) proposed.insert(proposed.end(), pw.data(), pw.data() + n);
  }
};

// Step i: retires the worst live point, replaces it, and updates the evidence and the
// posterior sums; true when the run stops after it.
bool nest_step(NestWalk& w, RunFiles& files, LiveOrder& order, unsigned long i, const std::string& outbase) {
  NestSampState& S = NS;
  const int n = w.n;
  const int iw = order.worst(), ib = order.best();
  w.have_best = ib != 0;
  if (w.have_best) {
    for (int k = 1; k <= n; ++k) w.pbest[k] = S.NSparr[ib][k];
    w.bestchi = S.NSchi[ib];
  }
  const double lnLbest = w.have_best ? -w.bestchi / 2 : kNegInf;

  w.lnX += w.lnt1;
  w.lnX2 += w.lnt2;
  const double lnL = S.NSlnlike[iw];
  const double lnw = w.lnX + lnL - w.lnlive;
  if (lnw > w.lnwmax) {
    if (w.lnwmax != kNegInf) {
      const double f = std::exp(w.lnwmax - lnw);
      w.wsum *= f;
      for (int j = 1; j <= n; ++j) {
        w.msum[j] *= f;
        for (int k = j; k <= n; ++k) w.Msum[j][k] *= f;
      }
    }
    w.lnwmax = lnw;
  }
  const double lnZold = w.lnZ;
  w.lnZ = log_add(w.lnZ, lnw);
  w.lnY = log_add(w.lnY, w.lnX2 + lnL);
  w.lnZ2 = log_add(w.lnZ2, w.ln2l1 + lnw + w.lnY);
  w.HZ = (lnZold == kNegInf ? 0.0 : w.HZ * std::exp(lnZold - w.lnZ)) + std::exp(lnw - w.lnZ) * lnL;

  for (int k = 1; k <= n; ++k) w.pw[k] = S.NSparr[iw][k];
  w.retire(files, S.NSchi[iw], lnw);
  const double f = std::exp(lnw - w.lnwmax);
  w.wsum += f;
  for (int j = 1; j <= n; ++j) {
    w.msum[j] += f * w.pw[j];
    for (int k = j; k <= n; ++k) w.Msum[j][k] += f * w.pw[j] * w.pw[k];
  }

  nestsamp_new(iw);
  order.replaced(iw);

  w.lnZlive = w.lnX + std::log(S.NSsumL) + S.NSlnLref - w.lnlive;
  w.lnZtot = log_add(w.lnZ, w.lnZlive);
  const bool stop = i > S.NSminsteps && w.lnZtot + w.lntol > lnLbest + w.lnX;
  const double di = static_cast<double>(i);
  std::fprintf(files.fevid, "%.0f %e %e %e %e\n", di, std::exp(w.lnX), std::exp(w.lnZtot), std::exp(w.lnZ),
               std::exp(w.lnZlive));
  files.fevid.flush();
  if (i % 100 == 0)
    qprintf("step %.0f x %e evidence %e %e %e chicnt %.0f\n", di, std::exp(w.lnX), std::exp(w.lnZtot),
            std::exp(w.lnZ), std::exp(w.lnZlive), S.NSchicnt);
  if (S.NSwritelive > 0 && i % static_cast<unsigned long>(S.NSwritelive) == 0) {
    std::fprintf(files.ftmp, "# step %.0f writing live points\n", di);
    write_live(outbase + "-live.dat", di, false);
    write_live(outbase + "-pca.dat", di, true);
  }
  if (i % S.NSupdate == 0)
    nestsamp_cov();
  else if (i % S.NSrescale == 0)
    nestsamp_max();
  w.steps = i;
  return stop;
}

// The end of the walk: the remaining live points are retired at the final prior volume.
void retire_live_points(NestWalk& w, RunFiles& files) {
  NestSampState& S = NS;
  if (w.steps == 0) {
    nestsamp_resum();
    w.lnZlive = std::log(S.NSsumL) + S.NSlnLref - w.lnlive;
    w.lnZtot = w.lnZlive;
  }
  std::fprintf(files.ftmp, "# chicnt= %.0f\n", S.NSchicnt);
  for (int i = 1; i <= w.live; ++i) {
    for (int k = 1; k <= w.n; ++k) w.pw[k] = S.NSparr[i][k];
    w.retire(files, S.NSchi[i], w.lnX + S.NSlnlike[i] - w.lnlive);
  }
  files.ftmp.close();
  files.fnest.close();
  files.fevid.close();
}

void write_best(const NestWalk& w, const std::string& outbase) {
  if (!w.have_best) return;
  WholeFile f(outbase + "-best.dat", kNSoutput2, true);
  std::fprintf(f, "#  [list of parameters]  chi^2\n");
  const Vec& shown = nestsamp_shown(w.pbest);
  for (int k = 1; k <= w.n; ++k) std::fprintf(f, " %13.6e", shown[k]);
  std::fprintf(f, "  %e\n", w.bestchi);
  f.commit();
}

// Evidence and its scatter, into the run's result and the done file.
void write_evidence(const NestWalk& w, FILE* fdone) {
  const double lnZ = w.lnZ, lnZtot = w.lnZtot;
  const double lnsigZ =
      lnZ == kNegInf ? kNegInf : lnZ + 0.5 * std::log(std::max(std::expm1(w.lnZ2 - 2 * lnZ), 0.0));
  const double HoverZtot = lnZ == kNegInf ? 0.0 : w.HZ * std::exp(lnZ - lnZtot);
  const double info = std::max(HoverZtot - lnZtot, 0.0);
  const double lnsigH = lnZtot + 0.5 * std::log(info / w.live);
  const double V1 = NSbnd1.volume, V2 = NSbnd2.volume;
  const double lnq = std::log(V2 / V1), lnV2 = std::log(V2);
  NSresult = {w.steps, lnZ, lnZtot, w.lnwmax, lnsigZ, lnsigH, info};
  std::fprintf(fdone, "#  Cols 1-3:  proper evidence Z, and estimated scatter\n");
  std::fprintf(fdone, "#  Cols 4-6:  Z*Vprior, and estimated scatter\n");
  std::fprintf(fdone, "%e %e %e  %e %e %e\n", exp_or_zero(lnZtot + lnq), exp_or_zero(lnsigZ + lnq),
               exp_or_zero(lnsigH + lnq), exp_or_zero(lnZtot + lnV2), exp_or_zero(lnsigZ + lnV2),
               exp_or_zero(lnsigH + lnV2));
  if (exp_or_zero(lnZtot + lnq) == 0)
    warning(strformat("evidence below the double range: ln Z = %e", lnZtot + lnq));
}

// Posterior moments of the retired points.
void write_moments(NestWalk& w, const std::string& outbase) {
  const int n = w.n;
  Vec& msum = w.msum;
  Mat& Msum = w.Msum;
  WholeFile fm(outbase + "-mean.dat", kNSoutput2, true);
  std::fprintf(fm, "#  parameter-index  mean  scatter  (over posterior)\n");
  WholeFile fc(outbase + "-cov.dat", kNSoutput2, true);
  std::fprintf(fc, "# entries in parameter covariance matrix (over posterior)\n");
  std::fprintf(fc, "#  i  j  cov(p[i],p[j])\n");
  if (w.steps > 0 && w.wsum > 0) {
    for (int j = 1; j <= n; ++j) {
      msum[j] /= w.wsum;
      for (int k = j; k <= n; ++k) Msum[j][k] /= w.wsum;
    }
    // Moments of the continuous values; the mean is then folded like a written model.
    const Vec& mean = nestsamp_shown(msum);
    for (int j = 1; j <= n; ++j) {
      const double v = Msum[j][j] - msum[j] * msum[j];
      if (v > 0) {
        std::fprintf(fm, "%2d %13.6e %e\n", j, mean[j], std::sqrt(v));
      } else {
        std::fprintf(fm, "%2d %13.6e %e\n", j, mean[j], -99.99999);
        std::fprintf(fm, "# %e %e %e\n", msum[j], Msum[j][j], v);
      }
    }
    for (int j = 1; j <= n; ++j)
      for (int k = j; k <= n; ++k) std::fprintf(fc, "%2d %d %13.6e\n", j, k, Msum[j][k] - msum[j] * msum[k]);
  }
  fm.commit();
  fc.commit();
}

// Points drawn from the posterior (-draw.dat), read back from the -nest file; returns the
// rows' parameters as written when the marginals are asked for.
std::vector<double> draw_posterior(const NestWalk& w, const RunFiles& files, const std::string& outbase) {
  NestSampState& S = NS;
  const int n = w.n;
  double draw = S.NSdraw;
  const bool sampled = w.steps > 0;
  if (sampled) {
    const double ratio = std::exp(w.lnwmax - w.lnZtot);
    if (ratio * draw > 1) {
      draw = 1 / ratio;
      qprintf("nestsamp: trying to draw too many points; updating draw = %.0f\n", draw);
    }
    if (draw <= 1) {
      draw = 1 / ratio;
      qprintf("nestsamp: automatically setting number of points to draw = %.0f\n", draw);
    }
  }
  const size_t nrows = w.lnw_rows.size();
  std::vector<double> params;
  FileHandle in(QVMfopen(outbase + "-nest.dat", "r", kNSoutput));
  if (!(tally_of(in) == files.nest_written))
    fatal(strformat("nestsamp file %s-nest.dat was changed during the run", outbase.c_str()));
  WholeFile out(outbase + "-draw.dat", kNSoutput, true);
  std::fprintf(out, "# points drawn uniformly from posterior\n");
  std::fprintf(out, "#  [list of parameters]  chi^2\n");
  if (sampled) {
    std::string text, line;
    read_line(in, line);  // the header
    {
      char buf[1 << 16];
      for (size_t got; (got = std::fread(buf, 1, sizeof buf, in)) > 0;) text.append(buf, got);
    }
    const char* at = text.c_str();
    auto next = [&](double& v) {
      char* end = nullptr;
      v = std::strtod(at, &end);
      if (end == at) fatal("nestsamp -nest file ends early");
      at = end;
    };
    const bool keep = S.NScdf != 0;
    if (keep) params.resize(nrows * n);
    std::vector<double> row(n);
    for (size_t r = 0; r < nrows; ++r) {
      double X = 0, chi = 0, wt = 0;
      next(X);
      next(chi);
      next(wt);
      for (int k = 0; k < n; ++k) next(row[k]);
      const double u = ran2(S.NSrseed);
      if (u < std::exp(w.lnw_rows[r] - w.lnZtot) * draw) {
        for (int k = 0; k < n; ++k) std::fprintf(out, " %13.6e", row[k]);
        std::fprintf(out, "  %e\n", chi);
      }
      if (keep)
        for (int k = 0; k < n; ++k) params[r * n + k] = row[k];
    }
  }
  out.commit();
  return params;
}

// The marginal distributions (-cdf.dat): each parameter's values in order with their
// cumulative posterior weight.
void write_marginals(const NestWalk& w, const std::vector<double>& params, const std::string& outbase) {
  const int n = w.n;
  const size_t nrows = w.lnw_rows.size();
  WholeFile f(outbase + "-cdf.dat", kNSoutput2, true);
  std::fprintf(f, "#  pairs of columns are (param,cdf)\n");
  if (w.steps > 0 && nrows > 0) {
    std::vector<double> sorted(nrows * n), cum(nrows * n);
    Vec a(1, static_cast<long>(nrows));
    LVec idx(1, static_cast<long>(nrows));
    // Ranked by the proposed values, so that a posterior across the fold of an angle
    // stays in one piece; each rank prints its row's value as written.
    for (int k = 0; k < n; ++k) {
      for (size_t r = 0; r < nrows; ++r) a[r + 1] = w.proposed[r * n + k];
      indexx(static_cast<long>(nrows), a, idx);
      double c = 0;
      for (size_t r = 0; r < nrows; ++r) {
        const size_t src = static_cast<size_t>(idx[r + 1] - 1);
        c += std::exp(w.lnw_rows[src] - w.lnZtot);
        sorted[r * n + k] = params[src * n + k];
        cum[r * n + k] = c;
      }
    }
    for (size_t r = 0; r < nrows; ++r) {
      for (int k = 0; k < n; ++k) std::fprintf(f, " %13.6e %e", sorted[r * n + k], cum[r * n + k]);
      std::fprintf(f, "\n");
    }
  }
  f.commit();
}

}  // namespace

void nestsamp_run(const std::string& outbase) {
  NestSampState& S = NS;
  // A finished run leaves <outbase>-done.dat last: an earlier one goes before anything of
  // this run is written, so that a run that is cut short is never taken as finished.
  const std::string done = outbase + "-done.dat";
  if (std::remove(done.c_str()) != 0 && errno != ENOENT)
    fatal(strformat("could not remove %s: %s", done.c_str(), std::strerror(errno)));
  RunFiles files(outbase);

  S.NSrseed.restart(settings.seed);
  S.NSgseed.restart(settings.seed);
  S.NSchicnt = 0;
  nestsamp_reset_region();
  if (S.NSchicut < 1e6)
    nestsamp_setup2();
  else
    nestsamp_setup1();

  NestWalk w(S.NSnvary, S.NSlive);
  qprintf("nestsamp: starting nested sampling\n");
  LiveOrder order(S.NSchi, w.live);
  for (unsigned long i = 1; i <= S.NSmaxsteps; ++i)
    if (nest_step(w, files, order, i, outbase)) break;
  retire_live_points(w, files);

  write_best(w, outbase);
  // Committed after every other final file, as the mark of a finished run.
  WholeFile fdone(done, kNSoutput2, true);
  write_evidence(w, fdone);
  write_moments(w, outbase);
  const std::vector<double> params = draw_posterior(w, files, outbase);
  if (S.NScdf != 0) write_marginals(w, params, outbase);
  fdone.commit();
}

// ---- commands ----

namespace {
void print_ns_parms() {
  const double* P = NSctl.NSparms;
  qprintf("nestsamp parameters:\n");
  qprintf("mode:      %.0f\n", P[1]);
  qprintf("hull:      %.0f\n", P[2]);
  qprintf("live:      %.0f\n", P[3]);
  qprintf("minsteps:  %.0f\n", P[4]);
  qprintf("maxsteps:  %.0f\n", P[5]);
  qprintf("update:    %.0f\n", P[6]);
  qprintf("rescale:   %.0f\n", P[7]);
  qprintf("expand:    %f\n", P[8]);
  qprintf("tol:       %e\n", P[9]);
  qprintf("draw:      %.0f\n", P[10]);
  qprintf("writelive: %.0f\n", P[11]);
  qprintf("writebad:  %.0f\n", P[12]);
  qprintf("cdf:       %.0f\n", P[13]);
  qprintf("chicut:    %e\n", P[14]);
}

void read_box_lines(int first, int count) {
  WordArray w;
  for (int j = first; j < first + count; ++j) {
    if (!myread(QVMstdin, w) || w.own_count() < 2) fatal("too few inputs");
    const double lo = w.finite(0, "nestsampSet"), hi = w.finite(1, "nestsampSet");
    if (!(hi > lo)) fatal(strformat("nestsamp box line %d needs hi above lo", j));
    NSbnd1.lo[j] = lo;
    NSbnd1.hi[j] = hi;
    NSbnd1.volume *= hi - lo;
  }
}
}  // namespace

void nestsampSet(const WordArray& words) {
  const int nw = words.own_count();
  for (int i = 1; i + 1 < nw; i += 2) {
    bool hit = false;
    for (int k = 1; k <= 14; ++k)
      if (words[i] == kNSkeywords[k]) {
        NSctl.NSparms[k] = words.finite(i + 1, "nestsampSet");
        // No start model can have a chi-squared below a threshold <= 0: refused before any search.
        if (k == 14 && !(NSctl.NSparms[k] > 0)) fatal("in nestsampSet, chicut must be positive");
        hit = true;
        break;
      }
    if (!hit) refuse(strformat("unknown keyword '%s'", words.c_str(i)), "Warning in nestsampSet");
  }
  print_ns_parms();
  if (nw < 2) return;
  nestsamp_init();
  NSbnd1.volume = 1;
  qprintf("Enter lo, hi for the %d galaxy parameters:\n", NS.NSnvaryg);
  read_box_lines(1, NS.NSnvaryg);
  qprintf("Enter lo, hi for the %d source parameters:\n", NS.NSnvarys);
  read_box_lines(NS.NSnvaryg + 1, NS.NSnvarys);
}

void nestsampRun(const WordArray& words) {
  if (NS.NSflag == 0) {
    warning("You need to do nestsampSet before nestsampRun.");
    return;
  }
  start_command_run();
  struct Frame {
    ~Frame() {
      drop_chi_trace();
      storage_clear();
    }
  } frame;
  TSstore = NSstore;
  open_chi_trace();
  nestsamp_run(words[1]);
  close_chi_trace();
}

void nestsampDraw(const WordArray& words) {
  double Ndraw = words.own_count() > 3 ? words.finite(3, "nestsampDraw") : 0;
  RandomStream stream(settings.seed);
  const std::string path = words[1] + "-nest.dat";
  const char* const msg = "could not open input file from completed run";
  // Only a finished run has posterior weights to draw from: its last file says so.
  const std::string done = words[1] + "-done.dat";
  if (::access(done.c_str(), F_OK) != 0)
    fatal(strformat("%s not found: nestsamp run %s did not finish", done.c_str(), words.c_str(1)));

  // First pass: the rows' X, chi^2 and w.
  std::vector<double> X, chi, w;
  int c = 0;
  {
    FileHandle in(QVMfopen(path, "r", msg));
    std::string line;
    const std::string comment = GetString("_COMMENT");
    while (read_line(in, line)) {
      std::istringstream ss(line);
      std::vector<std::string> ws;
      for (std::string t; ss >> t;) ws.push_back(t);
      const int nw = static_cast<int>(ws.size());
      if (nw == 0 || ws[0] == comment || ws[0][0] == '#') continue;
      if (c == 0) c = nw;
      if (nw < 3) continue;
      X.push_back(std::atof(ws[0].c_str()));
      chi.push_back(std::atof(ws[1].c_str()));
      w.push_back(std::atof(ws[2].c_str()));
    }
  }
  const size_t nrows = w.size();
  // ln w per row: the w column, or ln X - chi^2/2 - ln live where w underflowed, with ln
  // live from the row of largest w (the constant cancels when every row underflowed).
  double lnlive = 0, wbig = 0;
  for (size_t r = 0; r < nrows; ++r)
    if (w[r] >= 1e-300 && w[r] > wbig && X[r] > 0) {
      wbig = w[r];
      lnlive = std::log(X[r]) - chi[r] / 2 - std::log(w[r]);
    }
  std::vector<double> lnw(nrows);
  double lnW = -std::numeric_limits<double>::infinity(), lnwmax = lnW;
  for (size_t r = 0; r < nrows; ++r) {
    lnw[r] = w[r] >= 1e-300 ? std::log(w[r]) : (X[r] > 0 ? std::log(X[r]) - chi[r] / 2 - lnlive : kNegInf);
    lnW = log_add(lnW, lnw[r]);
    lnwmax = std::max(lnwmax, lnw[r]);
  }
  if (nrows > 0) {
    const double ratio = std::exp(lnwmax - lnW);
    if (Ndraw * ratio > 1) {
      Ndraw = 1 / ratio;
      qprintf("nestsampDraw: trying to draw too many points; updating draw = %.0f\n", Ndraw);
    }
    if (Ndraw <= 1) {
      Ndraw = 1 / ratio;
      qprintf("nestsampDraw: automatically setting number of points to draw = %.0f\n", Ndraw);
    }
  }

  FileHandle in(QVMfopen(path, "r", msg));
  WholeFile out(words[2], "could not open output file for nestsampDraw", true);
  std::fprintf(out, "# points drawn uniformly from posterior\n");
  std::fprintf(out, "#  [list of parameters]  chi^2\n");
  std::string header;
  read_line(in, header);
  const int np = std::max(c - 3, 0);
  double v[3];
  for (size_t r = 0; r < nrows; ++r) {
    if (std::fscanf(in, "%lf %lf %lf", &v[0], &v[1], &v[2]) != 3) break;
    const double u = ran2(stream);
    const bool take = u < Ndraw * std::exp(lnw[r] - lnW);
    for (int k = 0; k < np; ++k) {
      double p = 0;
      if (std::fscanf(in, "%lf", &p) != 1) break;
      if (take) std::fprintf(out, " %13.6e", p);
    }
    if (take) std::fprintf(out, "  %e\n", v[1]);
  }
  out.commit();
}

// ---- help ----

