// Source maps for the image-plane tests: a table of two slots, filled from a function.
#pragma once

#include "imageplane/srcmap.h"

namespace lensfix {

// Slot k (1 or 2) from pixel values f(x, y) on [xlo, xhi] x [ylo, yhi].
template <class F>
void put_map(int k, int nx, int ny, double xlo, double xhi, double ylo, double yhi, F&& f) {
  if (TWsmap.Nsmap == 0) {
    TWsmap.thesmap = smapvec(1, 2);
    TWsmap.Nsmap = 2;
  }
  Mat m(1, nx, 1, ny);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) m[i][j] = f(xlo + (i - 1) * (xhi - xlo) / (nx - 1), ylo + (j - 1) * (yhi - ylo) / (ny - 1));
  store_srcmap(k, std::move(m), nx, ny, xlo, xhi, ylo, yhi, "map.fits");
}

}  // namespace lensfix
