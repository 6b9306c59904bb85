// Flux and time-delay chi-squared terms of one observed source against its model images.
//
// Sources: an image's flux is the source flux times its magnification mu = 1/det A
// (Schneider, Ehlers & Falco 1992, Gravitational Lenses, Springer); delays are the Fermat
// potential in units of tscale/h, so that measured delays fix the Hubble constant (Refsdal
// 1964, MNRAS 128, 307; Blandford & Narayan 1986, ApJ 310, 568).
#include "fit/fluxtdel.h"

#include <algorithm>
#include <cmath>

#include "fit/constraints.h"
#include "fit/store.h"
#include "imageplane/source_models.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {
// Residual of a flux under a magnitude error that cannot be scored (ratio of model and
// observed flux not positive and finite).
constexpr double kFluxSignResidual = 1e4;

int used_images(const SrcData& obs, const SrcData& mod) {
  return std::min({obs.nimg, mod.nimg, obs.maximg, mod.maximg});
}

bool flux_varied(int isource) {
  if (TSstore.built && isource >= 1 && isource <= TSstore.nsrc) return TSstore.svary[isource][1] != 0;
  if (isource >= 1 && isource <= TWsrc.NSRCMAX) return TWsrc.srcvary[isource][1] != 0;
  return true;
}
}  // namespace

double procflux(const SrcData& obs, SrcData& mod, Mat& sparms, int isource) {
  FILE* tr = TSrun.chifile;
  const int nb = std::min({obs.nflux, obs.multiflux, mod.multiflux});
  const int n = used_images(obs, mod);
  const double kmag = 0.4 * std::log(10.0);
  double chi = 0;
  for (int b = 1; b <= nb; ++b) {
    if (tr) std::fprintf(tr, "processing flux dataset #%d\n", b);
    // Normal sums of the least-squares source flux over the measured fluxes.
    double F = 0, G = 0;
    for (int j = 1; j <= n; ++j) {
      if (mod.core[j] != 0) continue;
      const double sigma = obs.sig_flux[j][b];
      if (sigma == 0) continue;
      const double mu = mod.flux[j][b];
      const double c = sigma > 0 ? sigma : kmag * mu * sigma;
      if (c == 0 || !std::isfinite(c)) continue;
      const double f = obs.flux[j][b];
      const double w = 1.0 / (c * c);
      F += (settings.checkparity ? f * mu : std::fabs(f) * std::fabs(mu)) * w;
      G += mu * mu * w;
    }
    // Exact ties to the flux of an earlier source.
    bool tied = false;
    for (int r = 1; r <= TScons.npmatch; ++r) {
      const PmatchRow& row = TScons.pmatcharr[r];
      if (row.on == 0 || row.sigma != 0) continue;
      if (constraint_index(row.iparm) != 1 || constraint_index(row.jparm) != 1) continue;
      if (constraint_index(row.igal) != -isource) continue;
      const int j = -constraint_index(row.jgal);
      if (j <= 0 || j >= isource) continue;
      sparms[isource][1] = row.ratio * sparms[j][1] + row.zeropt;
      tied = true;
    }
    if (!tied && flux_varied(isource) && G > 0) {
      sparms[isource][1] = F / G;
      if (settings.srcsign == 1 && isource <= TWsrc.NSRCMAX &&
          sparms[isource][1] * TWsrc.srcparms[isource][1] < 0)
        sparms[isource][1] = -sparms[isource][1];
    }
    const double fs = sparms[isource][1];
    if (isource >= 1 && isource <= TWsrc.NSRCMAX) TWsrc.srcparms[isource][1] = fs;
    mod.fsrc[b] = fs;
    if (tr) std::fprintf(tr, "source flux %e\n", fs);

    for (int j = 1; j <= n; ++j) {
      if (mod.core[j] != 0) continue;
      const double f = obs.flux[j][b];
      double model = mod.flux[j][b] * fs;
      if (tr) std::fprintf(tr, "img %d obs %13.6e mod %13.6e\n", j, f, model);
      if (!settings.checkparity) model = f >= 0 ? std::fabs(model) : -std::fabs(model);
      mod.flux[j][b] = model;
      const double sigma = obs.sig_flux[j][b];
      if (sigma == 0) continue;  // not measured
      double e;
      if (sigma > 0) {
        e = (model - f) / sigma;
      } else {
        const double ratio = model / f;
        e = (ratio > 0 && std::isfinite(ratio)) ? -2.5 * std::log10(ratio) / sigma : kFluxSignResidual;
      }
      chi += obs.wflux * e * e;
    }
    if (tr) std::fprintf(tr, "cumulative flux chi^2 = %e\n", chi);
  }
  if (tr) std::fflush(tr);
  return chi;
}

double proctdel(const SrcData& obs, SrcData& mod) {
  const int n = std::min(mod.nimg, mod.maximg);
  const int nu = used_images(obs, mod);
  for (int k = 1; k <= n; ++k) mod.tdel[k] *= settings.tscale;

  double Stt = 0, Sw = 0, St = 0, Std = 0, Sd = 0;
  bool any = false;
  for (int k = 1; k <= nu; ++k) {
    if (mod.core[k] != 0 || !(obs.sig_tdel[k] > 0)) continue;
    if (!any && settings.potflag == 0) fatal("you must set potflag=1 when using time delays");
    any = true;
    const double s = obs.sig_tdel[k], w = 1.0 / (s * s), t = mod.tdel[k], d = obs.tdel[k];
    Stt += w * t * t;
    Sw += w;
    St += w * t;
    Std += w * t * d;
    Sd += w * d;
  }
  const double a0 = 1.0 / settings.hval;
  const double hvale = settings.hvale;
  double a = a0, c = 0, prior = 0;
  if (std::fabs(Stt * Sw - St * St) >= 1e-4) {
    if (hvale > 1e-4) {
      const double Stt2 = Stt + 1.0 / (hvale * hvale), Std2 = Std + a0 / (hvale * hvale);
      const double g = Stt2 * Sw - St * St;
      a = (Std2 * Sw - Sd * St) / g;
      c = (Stt2 * Sd - St * Std2) / g;
      prior = (a - a0) / hvale;
      prior *= prior;
    } else {
      c = (Sd - a * St) / Sw;
    }
  } else {
    // No leverage on the scale: the earliest used image is put at 0.
    bool first = true;
    double m = 0;
    for (int k = 1; k <= nu; ++k) {
      if (mod.core[k] != 0) continue;
      if (first || mod.tdel[k] < m) m = mod.tdel[k];
      first = false;
    }
    c = -a * m;
  }
  mod.h = 1.0 / a;
  double chi = 0;
  for (int k = 1; k <= nu; ++k) {
    if (mod.core[k] != 0) continue;
    mod.tdel[k] = a * mod.tdel[k] + c;
    const double s = obs.sig_tdel[k];
    if (s > 0) {
      const double r = mod.tdel[k] - obs.tdel[k];
      chi += r * r * obs.wtdel / (s * s);
    }
  }
  return prior + chi;
}
