// Relative-position chi-squared term (chimode 2): image positions relative to the first
// image, with the correlated errors of the differencing.
#include "fit/gauscorr.h"

#include <cmath>

#include "fit/fit_data.h"
#include "models/evaluator.h"
#include "numeric/linalg.h"
#include "shell/fatal.h"

GausCorrData GausCorr;

namespace {
const char* const kLayoutChanged =
    "the observed images no longer match the GausCorr set-up; load the data again with data or data2";
}

void proc_GausCorr() {
  GausCorrData& G = GausCorr;
  G = GausCorrData();
  int nfull = 0, nrel = 0;
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const int n = TSobs.srcobs[i].nimg;
    nfull += 2 * n;
    if (n >= 2) nrel += 2 * n - 2;
  }
  G.nfull = nfull;
  G.nrel = nrel;
  if (nrel <= 0) return;
  G.resid.reset(1, nrel);
  G.relobs.reset(1, nrel);
  G.dmat.reset(1, nrel, 1, nfull);
  G.ddt.reset(1, nrel, 1, nrel);
  G.ddtinv.reset(1, nrel, 1, nrel);
  // Rows: per source, x_j - x_1 then y_j - y_1 for j = 2..n; columns: per source x_1, y_1,
  // x_2, y_2, ...
  int row = 0, col0 = 0;
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& s = TSobs.srcobs[i];
    for (int j = 2; j <= s.nimg; ++j) {
      for (int c = 0; c <= 1; ++c) {
        ++row;
        G.dmat[row][col0 + 1 + c] = -1;
        G.dmat[row][col0 + 2 * j - 1 + c] = 1;
        G.relobs[row] = c == 0 ? (s.x[j] - s.x[1]) / s.pscale : (s.y[j] - s.y[1]) / s.pscale;
      }
    }
    col0 += 2 * s.nimg;
  }
  for (int a = 1; a <= nrel; ++a)
    for (int b = 1; b <= nrel; ++b) {
      double sum = 0;
      for (int c = 1; c <= nfull; ++c) sum += G.dmat[a][c] * G.dmat[b][c];
      G.ddt[a][b] = G.ddtinv[a][b] = sum;
    }
  matinv(G.ddtinv, nrel);
}

double chiGausCorr(const Mat&, Mat&) {
  GausCorrData& G = GausCorr;
  if (G.nrel <= 0 || G.nfull <= 0) fatal("GausCorr seems not to be initialized");
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  // The relative positions are taken from the observed images in force, so a batch entry
  // or a noise realisation copied in since the set-up is the one scored; their layout must
  // be the one the set-up was made for.
  int row = 0;
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& s = TSobs.srcobs[i];
    copysource(s, TSobs.srcmod[i]);
    if (s.nimg < 2) continue;
    if (row + 2 * s.nimg - 2 > G.nrel) fatal(kLayoutChanged);
    potdefmag(s.x[1], s.y[1], pot, ax, ay, pxx, pyy, pxy, pyx);
    const double ax1 = ax, ay1 = ay;
    for (int j = 2; j <= s.nimg; ++j) {
      potdefmag(s.x[j], s.y[j], pot, ax, ay, pxx, pyy, pxy, pyx);
      ++row;
      G.relobs[row] = (s.x[j] - s.x[1]) / s.pscale;
      G.resid[row] = G.relobs[row] - (ax - ax1);
      ++row;
      G.relobs[row] = (s.y[j] - s.y[1]) / s.pscale;
      G.resid[row] = G.relobs[row] - (ay - ay1);
    }
  }
  if (row != G.nrel) fatal(kLayoutChanged);
  double c2 = 0;
  for (int a = 1; a <= G.nrel; ++a) {
    double sum = 0;
    for (int b = 1; b <= G.nrel; ++b) sum += G.ddtinv[a][b] * G.resid[b];
    c2 += G.resid[a] * sum;
  }
  G.rms = std::sqrt(c2 / G.nrel);
  return c2;
}
