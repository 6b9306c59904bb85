// The kapgam command: convergence and shear of the model at points, at points from a file,
// at the observed images, or at the images of each re-fitted model.
//
// Source: kappa = (psi_xx + psi_yy)/2 and the shear ((psi_xx - psi_yy)/2, psi_xy), given as
// its amplitude gamma and position angle (Schneider, Ehlers & Falco 1992, Gravitational
// Lenses, Springer).
#include "fit/kapgam.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/optimize.h"
#include "fit/store.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {
// Loads model i of the model set (grid flag regrid).
void load_model(int i, int regrid) {
  if (initmodel(TWref.ref[i], regrid) > 0) fatal("in initmodel called from kapgam");
}

// Runs body once per model of the model set; with several models each is loaded first
// (without a grid) behind an empty line, and model 1 is loaded again afterwards.
template <class Body>
void each_model(FILE* out, Body&& body) {
  const int n = TWref.Nref;
  for (int i = 1; i <= n; ++i) {
    if (n > 1) {
      load_model(i, 0);
      std::fprintf(out, "\n");
    }
    body(i);
  }
  if (n > 1) load_model(1, settings.gridflag);
}

void point_line(FILE* out, int k, double x, double y, bool alpha) {
  double kap, gam, th, ax, ay;
  kapgam_at(x, y, kap, gam, th, ax, ay);
  std::fprintf(out, "%2d %13.6e %13.6e %13.6e %13.6e %13.6e", k, x, y, kap, gam, th);
  if (alpha) std::fprintf(out, " %13.6e %13.6e", ax, ay);
  std::fprintf(out, "\n");
}

// The table of modes 3 and 4: the images of every observed source (observed or model
// images), each source at its own distance ratio (dmode 1) or at the reference one.
void image_block(FILE* out, bool alpha, int dmode, const BVec<SrcData>& images) {
  std::fprintf(out, "kapgam output:  index  x  y  kappa  gamma  theta%s\n", alpha ? "  alphax  alphay" : "");
  struct ResetScale {
    ~ResetScale() { TWmod.scale = 1.0; }
  } reset;
  for (int s = 1; s <= TSobs.Nsrcobs; ++s) {
    TWmod.scale = dmode == 1 ? TSobs.srcobs[s].pscale : 1.0;
    std::fprintf(out, "source #%d\n", s);
    const SrcData& src = images[s];
    for (int k = 1; k <= src.nimg; ++k) point_line(out, k, src.x[k], src.y[k], alpha);
  }
}
}  // namespace

void kapgam_at(double x, double y, double& kappa, double& gamma, double& theta, double& ax, double& ay) {
  double pot, xx, yy, xy, yx;
  potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
  kappa = (xx + yy) / 2;
  const double g1 = (xx - yy) / 2;
  gamma = std::sqrt(g1 * g1 + xy * xy);
  theta = std::atan2(xy, g1) / 2 * (180.0 / kPi);
}

void kapgam(const WordArray& words) {
  const int nw = words.own_count();
  const long mode = words.integer(1);
  if (mode < 1 || mode > 4) fatal("unknown mode in kapgam");
  if ((mode == 1 && nw < 4) || (mode == 2 && nw < 3)) {
    refuse_line(words);
    return;
  }
  require_model();

  // Output to the named file, else to the screen.
  const int outword = mode == 1 ? 4 : (mode == 2 ? 3 : 2);
  WholeFile file;
  if (nw > outword) file = WholeFile(words[outword], "could not open kapgam output file", true);
  FILE* out = file ? file.get() : QVMstdout;

  if (mode == 1) {
    const double x = words.finite(2, "kapgam"), y = words.finite(3, "kapgam");
    each_model(out, [&](int) {
      double kap, gam, th, ax, ay;
      kapgam_at(x, y, kap, gam, th, ax, ay);
      std::fprintf(out, "kappa,gamma,theta= %e %e %e\n", kap, gam, th);
    });
    file.commit();
    return;
  }

  if (mode == 2) {
    // Every model is evaluated at the same positions, read once.
    FileHandle in(QVMfopen(words[2], "r", "could not open kapgam input file"));
    WordArray w;
    if (myread(in, w) == 0) fatal("too few entries in kapgam input file");
    const long n = w.finite_integer(0, "kapgam");
    std::vector<double> px, py;
    for (long k = 1; k <= n; ++k) {
      if (myread(in, w) == 0 || w.own_count() < 2) fatal("too few entries in kapgam input file");
      px.push_back(w.finite(0, "kapgam"));
      py.push_back(w.finite(1, "kapgam"));
    }
    std::fprintf(out, "kapgam output:  index  x  y  kappa  gamma  theta\n");
    each_model(out, [&](int) {
      for (size_t k = 0; k < px.size(); ++k) point_line(out, static_cast<int>(k + 1), px[k], py[k], false);
    });
    file.commit();
    return;
  }

  const bool alpha = nw > 3 && words.integer(3) != 0;
  const long dmode = nw > 4 ? words.integer(4) : 1;
  if (dmode != 1 && dmode != 2) fatal("in kapgam, unknown value of Dmode");

  if (mode == 3) {
    each_model(out, [&](int) { image_block(out, alpha, static_cast<int>(dmode), TSobs.srcobs); });
    file.commit();
    return;
  }

  // Mode 4: each model re-fitted alone, then the images it predicts. The model set keeps
  // its parameters.
  start_command_run();
  const int nref = TWref.Nref;
  BVec<Mat> tensor(1, 1);
  for (int i = 1; i <= nref; ++i) {
    if (!quietflag && settings.verbose <= 2) qprintf("Re-running model %d/%d\n", i, nref);
    tensor[1] = TWref.ref[i].p;
    optimization_run(TWref.ref[1].names, TWref.refv, tensor, 1, 1, true, [](int r, int niter) {
      if (!quietflag && settings.verbose <= 2)
        qprintf("  Optimization %d/%d: %4d func evals, chisq %e\n", r, settings.restart, niter, TSstore.chi[kChiTot]);
    });
    image_block(out, alpha, static_cast<int>(dmode), TSobs.srcmod);
  }
  if (nref > 1) load_model(1, settings.gridflag);
  file.commit();
}

