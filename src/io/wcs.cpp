// The world-coordinate reference of written maps (WCSprocess, WCSreset).
#include "io/wcs.h"

#include <cmath>
#include <cstdlib>

#include "shell/fatal.h"

WcsReference WCSinfo;
WcsReference WCSold;

namespace {

// Signed pixel size of an axis of n steps over [lo, hi]; 0 when the axis has none (one
// step, or no extent).
double pixel_size(int n, double lo, double hi) {
  if (std::abs(n) < 2) return 0.0;
  const double d = (hi - lo) / (n - 1);
  return std::isfinite(d) ? d : 0.0;
}

}  // namespace

void WCSprocess(int nx, int ny, double xlo, double xhi, double ylo, double yhi) {
  if (!WCSinfo.is_on()) return;
  WCSold = WCSinfo;
  if (nx < 0 || ny < 0) {
    warning("logarithmic map axis: no world coordinates written");
    WCSinfo.on = 0;
    return;
  }
  double dx = pixel_size(nx, xlo, xhi), dy = pixel_size(ny, ylo, yhi);
  if (dx == 0.0 || dy == 0.0) {
    double size = std::fabs(dx != 0.0 ? dx : dy);
    if (size == 0.0) size = 1.0;
    if (dx == 0.0) dx = size;
    if (dy == 0.0) dy = size;
    warning(strformat("map axis of a single step: its pixel size is taken as %g arcsec", size));
  }
  WcsReference& w = WCSinfo;
  if (std::fabs(w.refx) < 0.5 && std::fabs(w.refy) < 0.5) {
    w.refx = 1.0 - xlo / dx;
    w.refy = 1.0 - ylo / dy;
  } else {
    if (w.refx < 0) w.refx = (nx + 1) / 2.0;
    if (w.refy < 0) w.refy = (ny + 1) / 2.0;
  }
  w.m11 = dx;
  w.m12 = 0.0;
  w.m21 = 0.0;
  w.m22 = dy;
  // A grid far from the origin in units of its pixels can overflow the reference pixel; a
  // header must never hold an infinity or NaN.
  for (double v : {w.refx, w.refy, w.ra, w.dec, w.m11, w.m22}) {
    if (!std::isfinite(v)) {
      warning("map grid gives no finite world coordinates: none written");
      w.on = 0;
      return;
    }
  }
}

void WCSreset() {
  if (!WCSold.is_on()) return;
  WCSinfo = WCSold;
  WCSold.on = 0;
}
