// Grid commands: gridmode, autogrid (the radial range fitted to the multiply-imaged region)
// and plotgrid, and the rebuild of the main grid.
#include "core/grid_control.h"

#include <cmath>

#include "core/lens_model.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {

void print_grid_settings() {
  const Settings& s = settings;
  qprintf("gridlo1 = %e\n", s.gridlo1);
  qprintf("gridhi1 = %e\n", s.gridhi1);
  qprintf("ngrid1  = %d\n", s.ngrid1);
  qprintf("gridlo2 = %e\n", s.gridlo2);
  qprintf("gridhi2 = %e\n", s.gridhi2);
  qprintf("ngrid2  = %d\n", s.ngrid2);
}

// True when every point of the circle of radius r about (x1, y1) is singly imaged
// locally: both eigenvalues of the magnification matrix positive.
bool circle_is_minimum(double x1, double y1, double r, int nth) {
  for (int j = 1; j <= nth; ++j) {
    const double t = setparm(nth, j, 0.0, 360.0) * kPi / 180.0;
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(x1 - r * std::sin(t), y1 + r * std::cos(t), phi, ax, ay, xx, yy, xy, yx);
    const double T = 2.0 - xx - yy, D = T * T - 4.0 * ((1.0 - xx) * (1.0 - yy) - xy * yx);
    if (D < 0) return false;
    const double q = std::sqrt(D);
    if (!(0.5 * (T + q) > 0 && 0.5 * (T - q) > 0)) return false;
  }
  return true;
}

// True when every point of the circle maps at least R from (uc, vc) and, with mumax > 0,
// has a signed magnification no larger than mumax.
bool circle_passes(double x1, double y1, double r, int nth, double uc, double vc, double R, double mumax) {
  for (int j = 1; j <= nth; ++j) {
    const double t = setparm(nth, j, 0.0, 360.0) * kPi / 180.0;
    const double x = x1 - r * std::sin(t), y = y1 + r * std::cos(t);
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, phi, ax, ay, xx, yy, xy, yx);
    if (std::hypot(x - ax - uc, y - ay - vc) < R) return false;
    if (mumax > 0 && 1.0 / ((1.0 - xx) * (1.0 - yy) - xy * yx) > mumax) return false;
  }
  return true;
}

}  // namespace

void gridmode(const WordArray& words) {
  setgridmode(words.int_value(1));
}

void regrid(const WordArray&) {
  require_model();
  qprintf("Recomputing the tiling of the image and source planes.\n");
  if (initmodel(TWref.ref[1], settings.gridflag) > 0) fatal("in initmodel from regrid");
}

void autogrid(const WordArray& words) {
  require_model();
  Settings& s = settings;
  const int mode = words.own_count() > 1 ? words.int_value(1) : 1;
  const double mumax = words.own_count() > 2 ? words.real(2) : -1.0;
  if (s.ngrid1 <= 0) fatal("ngrid1 should be positive for autogrid");
  if (s.ngrid2 <= 0) fatal("ngrid2 must be positive for autogrid");
  if (mode < 1 || mode > 3) fatal("unknown grid mode in autogrid");
  const double rmax = s.gridhi1, rmin = s.gridlo1;
  const int N = s.ngrid1;
  if (mode != 1 && rmin <= 0) fatal("logarithmic radial steps in autogrid need gridlo1 > 0");
  const int steps = mode == 1 ? N : -N;
  if (mode == 3) s.ngrid1 = -N;

  const double x1 = TWgal.p[1][2], y1 = TWgal.p[1][3];
  double phi, ax, ay, xx, yy, xy, yx;
  potdefmag(x1, y1, phi, ax, ay, xx, yy, xy, yx);
  const double uc = x1 - ax, vc = y1 - ay;

  // Critical radius: the first circle on which every point is a minimum. The search starts
  // above gridlo1: an upper radius equal to the lower one would leave a grid of no extent.
  for (int k = 2; k <= N; ++k) {
    const double r = setparm(steps, k, rmin, rmax);
    if (circle_is_minimum(x1, y1, r, s.ngrid2)) {
      s.gridhi1 = r;
      break;
    }
  }
  qprintf("autogrid: running initial grid...\n");
  print_grid_settings();
  dogrid();

  const bool multiply_imaged = TWcrit.ncrit > 0;
  double R = -1.05;
  if (multiply_imaged) {
    double far = 0;
    for (int i = 1; i <= TWcrit.ncrit; ++i)
      far = std::max(far, std::hypot(TWcrit.crit[i][3] - uc, TWcrit.crit[i][4] - vc));
    R = 1.05 * far;
  }

  if (!multiply_imaged && mumax <= 0) {
    // Without a multiply-imaged region only a magnification bound could choose a radius.
    if (!quietflag) note("no multiply-imaged region was found; the grid keeps its upper radius");
    s.gridhi1 = rmax;
  } else {
    bool found = false;
    for (int k = 2; k <= N; ++k) {
      const double r = setparm(steps, k, rmin, rmax);
      qprintf("autogrid: trying r = %e\n", r);
      if (circle_passes(x1, y1, r, s.ngrid2, uc, vc, R, mumax)) {
        s.gridhi1 = r;
        found = true;
        break;
      }
    }
    if (!found) {
      warning("autogrid could not find a grid satisfying your criteria");
      s.gridhi1 = rmax;
    }
  }
  qprintf("autogrid: running new grid...\n");
  print_grid_settings();
  SetVar("gridlo1", 1, s.gridlo1);
  SetVar("gridhi1", 1, s.gridhi1);
  SetVar("ngrid1", 1, s.ngrid1);
  SetVar("gridlo2", 1, s.gridlo2);
  SetVar("gridhi2", 1, s.gridhi2);
  SetVar("ngrid2", 1, s.ngrid2);
  dogrid();
}

void plotgrid(const WordArray& words) {
  plot_grid(words[1]);
  if (words.own_count() > 2) plot_grid_OLD(words[2]);
}

