// Images made from the lens and source models: lensed surface-brightness maps, the lensed
// velocity field of a rotating disk, convolution with a point-spread function, and image
// statistics.
//
// Lensed maps are made by backward ray tracing: every image-plane sample point is mapped
// to the source plane with the deflection of the whole model, and the source brightness
// there is taken (surface brightness is conserved: no magnification factor). A map of
// nx x ny pixels over [x lo, x hi] x [y lo, y hi] has pixel centres x_i = setparm(nx, i, x lo,
// x hi), y_j likewise, pixel sizes dx = (x hi - x lo)/(nx - 1), dy = (y hi - y lo)/(ny - 1);
// with Nover > 1 a pixel is the mean over the Nover x Nover points
// x_i + ((k - 0.5)/Nover - 0.5) dx, y_j + ((l - 0.5)/Nover - 0.5) dy.
//
// Convolutions run on a grid padded to powers of two at least twice the image size
// along each axis; an image of n pixels sits at offset (N - n)/2 in a grid of length N.
#pragma once

#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "numeric/interp.h"
#include "shell/words.h"

// Pixel grid of a lensed map, with its oversampling.
struct SampleGrid {
  double xlo = 0, xhi = 0, ylo = 0, yhi = 0;
  int nx = 0, ny = 0, nover = 1;
  double dx() const { return (xhi - xlo) / (nx - 1); }
  double dy() const { return (yhi - ylo) / (ny - 1); }
};

// The map of g(u, v) over the grid: each pixel the mean of g at the source positions of
// its Nover x Nover sample points. g is called once per sample point.
template <class G>
Mat lensed_map(const SampleGrid& grid, G&& g);
// Source position of the image-plane point (x, y).
void lens_to_source(double x, double y, double& u, double& v);

// Bilinear interpolation in a source map M[1..nu][1..nv] whose pixel (p, q) lies at
// (ulo + (p - 1) du, vlo + (q - 1) dv): 0 outside [ulo, uhi] x [vlo, vhi].
struct SourceMapSampler {
  const Mat* map = nullptr;
  int nu = 0, nv = 0;
  double ulo = 0, uhi = 0, vlo = 0, vhi = 0, du = 0, dv = 0;
  double operator()(double u, double v) const;
};

// Length of the convolution grid along an axis whose largest image has n pixels: the
// smallest power of two that is at least 2n (at least 2). Beyond 32768 the program ends
// with "kappa array too large in x direction" (or y).
int convolve_length(int n, char axis);
// The grid cells (row-major, the second index fastest) of an nx x ny image placed at its
// offset in a zeroed N1 x N2 grid.
std::vector<double> place_image(const Mat& a, int nx, int ny, int N1, int N2);
// Convolves the placed image with the point-spread function psf (zero shift at cell
// (1, 1), negative lags wrapped to the end) and returns the nx x ny region of the result.
Mat convolve_grids(std::vector<double>& image, std::vector<double>& psf, int nx, int ny, int N1, int N2);

// ---- commands ----
void SBmap1(const WordArray& words);
void SBmap1help(int level);
void SBmap2(const WordArray& words);
void SBmap2help(int level);
void convolve1(const WordArray& words);
void convolve1help(int level);
void convolve2(const WordArray& words);
void convolve2help(int level);
void imgstats(const WordArray& words);
void imgstatshelp(int level);
void spider(const WordArray& words);
void spiderhelp(int level);

// ---- implementation of the template ----
template <class G>
Mat lensed_map(const SampleGrid& grid, G&& g) {
  const int n = grid.nover;
  const double dx = grid.dx(), dy = grid.dy();
  const double norm = 1.0 / (static_cast<double>(n) * n);
  Mat out(1, grid.nx, 1, grid.ny);
  for (int i = 1; i <= grid.nx; ++i) {
    const double x = setparm(grid.nx, i, grid.xlo, grid.xhi);
    for (int j = 1; j <= grid.ny; ++j) {
      const double y = setparm(grid.ny, j, grid.ylo, grid.yhi);
      double sum = 0.0;
      for (int k = 1; k <= n; ++k) {
        const double xs = n == 1 ? x : x + ((k - 0.5) / n - 0.5) * dx;
        for (int l = 1; l <= n; ++l) {
          const double ys = n == 1 ? y : y + ((l - 0.5) / n - 0.5) * dy;
          double u, v;
          lens_to_source(xs, ys, u, v);
          sum += g(u, v);
        }
      }
      out[i][j] = sum * norm;
    }
  }
  return out;
}
