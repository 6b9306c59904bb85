// Monte Carlo error bars (errorbars): the data perturbed by their quoted errors, the model
// re-fitted to each realisation, and the mean and dispersion of every parameter.
#include "fit/errorbars.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "core/lens_model.h"
#include "fit/constraints.h"
#include "fit/optimize.h"
#include "fit/results.h"
#include "fit/store.h"
#include "io/outfile.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {
// Errors of this size or more mark a datum that is not perturbed.
constexpr double kUnperturbed = 1000;

// Moves a position along the axes of its error ellipse (axes sig_a, sig_b; angle in
// degrees).
void perturb_position(double& x, double& y, double sig_a, double sig_b, double err_pa, RandomStream& r) {
  const double t = err_pa * kPi / 180.0;
  const double da = addnoise(sig_a, r), db = addnoise(sig_b, r);
  x += -std::sin(t) * da - std::cos(t) * db;
  y += std::cos(t) * da - std::sin(t) * db;
}

// True for a parameter that written models hold folded with a period of 180 degrees, into
// [-90, 90] or a PArange range (a position angle of a component, in polar coordinates with
// PAwrap on).
bool folded_angle(const BVec<std::string>& names, int i, int k) {
  if (settings.shrcoords != 2 || !settings.PAwrap || (k != 5 && k != 7)) return false;
  return i >= names.lo() && i <= names.hi() && names[i] != "none" && names[i] != "register";
}

// Observed data as they were before the command: restored on every way out.
struct SavedObservations {
  BVec<GalData> gal = TSobs.galobs;
  BVec<SrcData> src = TSobs.srcobs;
  ~SavedObservations() {
    TSobs.galobs = gal;
    TSobs.srcobs = src;
  }
};
}  // namespace

double addnoise(double sigma, RandomStream& r) { return sigma >= kUnperturbed ? 0.0 : sigma * gasdev(r); }

double noisy_flux(double flux, double sig, RandomStream& r) {
  if (sig >= 0) return flux + addnoise(sig, r);
  if (sig > -kUnperturbed) return flux * std::pow(10.0, -0.4 * std::fabs(sig) * gasdev(r));
  return flux;
}

double noisy_delay(double tdel, double sig, RandomStream& r) {
  return sig > 0 && sig < kUnperturbed ? tdel + sig * gasdev(r) : tdel;
}

void perturb_galaxy(GalData& g, RandomStream& r) {
  perturb_position(g.x, g.y, g.sig_a, g.sig_b, g.err_pa, r);
  g.R_e += addnoise(g.sig_R_e, r);
  g.PA += addnoise(g.sig_PA, r);
  g.e += addnoise(g.sig_e, r);
}

void perturb_source(SrcData& s, RandomStream& r) {
  const int n = std::min(s.nimg, s.maximg), nb = std::min(s.nflux, s.multiflux);
  for (int k = 1; k <= n; ++k) {
    perturb_position(s.x[k], s.y[k], s.sig_a[k], s.sig_b[k], s.err_pa[k], r);
    for (int l = 1; l <= nb; ++l) s.flux[k][l] = noisy_flux(s.flux[k][l], s.sig_flux[k][l], r);
    s.tdel[k] = noisy_delay(s.tdel[k], s.sig_tdel[k], r);
  }
}

void errorbars(const WordArray& words) {
  require_model();
  const std::string outbase = words[1];
  const long N = words.integer(2);
  if (N < 1) fatal("errorbars needs N >= 1");
  start_command_run();
  ModelSet& M = TWref;
  const BVec<std::string> names = M.ref[1].names;
  const int ng = TWgal.NGALMAX;

  // The current model, scored once as it stands; the realisations still run "restart"
  // times.
  {
    IMat fixed = M.refv;
    fixed.fill(0);
    BVec<Mat> set(1, 1);
    set[1] = M.ref[1].p;
    const int restart = settings.restart;
    optimization_run(names, fixed, set, 1, 1, true, {});
    settings.restart = restart;
    M.ref[1].p = set[1];
  }

  SavedObservations saved;
  // Sums of each parameter's deviation from its value in the first realisation, so that
  // a parameter that does not move gives exactly its value and an error bar of 0.
  Mat shift(1, ng, 1, 10), sum(1, ng, 1, 10), sumsq(1, ng, 1, 10);
  OutFile dat(outbase + ".dat", "w", "could not open errorbars .dat file", true);
  RandomStream noise(settings.seed);
  BVec<Mat> tensor(1, 1);
  for (long run = 1; run <= N; ++run) {
    qprintf("errorbars: run #%ld/%ld\n", run, N);
    for (int i = 1; i <= TSobs.Ngalobs; ++i) {
      copygalaxy(TSobs.galobs[i], saved.gal[i]);
      perturb_galaxy(TSobs.galobs[i], noise);
    }
    for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
      copysource(saved.src[i], TSobs.srcobs[i]);
      perturb_source(TSobs.srcobs[i], noise);
    }
    tensor[1] = M.ref[1].p;
    optimization_run(names, M.refv, tensor, 1, 1, false, [](int r, int niter) {
      qprintf("Optimization %d/%d: %d func evals, chisq %e\n", r, settings.restart, niter, TSstore.chi[kChiTot]);
    });
    const Mat& p = tensor[1];
    writebest(dat, names, p);
    dat.flush();
    for (int i = 1; i <= ng; ++i)
      for (int k = 1; k <= 10; ++k) {
        if (run == 1) shift[i][k] = p[i][k];
        double d = p[i][k] - shift[i][k];
        // Angles are summed as continuous values (89 and -89 are 2 degrees apart).
        if (folded_angle(names, i, k)) d = wrap_symmetric(d, 90);
        sum[i][k] += d;
        sumsq[i][k] += d * d;
      }
  }
  dat.close();

  Mat mean(1, ng, 1, 10), err(1, ng, 1, 10);
  for (int i = 1; i <= ng; ++i)
    for (int k = 1; k <= 10; ++k) {
      const double m = sum[i][k] / N;
      const double var = sumsq[i][k] / N - m * m;
      mean[i][k] = shift[i][k] + m;
      if (var >= 0) {
        err[i][k] = std::sqrt(var);
      } else if (var > -1e-10) {
        err[i][k] = 0;
      } else {
        warning(strformat("gal #%d parm #%d has negative variance", i, k));
        err[i][k] = var;
      }
    }
  // The mean, averaged on continuous angles, is then folded as the written models are
  // (PAwrap, PArange, exact ties); linear parameters are not solved again for it.
  proc_parms(mean, nullptr);
  WholeFile out(outbase + ".err", "could not open errorbars .err file", true);
  std::fprintf(out, "PARMS:\n");
  writep(out, names, M.ref[1].p);
  std::fprintf(out, "MEANS:\n");
  writep(out, names, mean);
  std::fprintf(out, "ERRORBARS:\n");
  writep(out, names, err);
  out.commit();
}

