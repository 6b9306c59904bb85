// Lens-plane maps of the current model and the world-coordinate reference command.
//
//   plotkappa <outname> <filetype> <x lo> <hi> <# steps> <y lo> <hi> <# steps>
//   plotshear <outbase> <filetype> <grid>              six maps: kap gam gamc gams gamt gamr
//   plotmu    <outname> <filetype> <grid> [absolute value?]
//   plotpot   <outname> <filetype> <grid>              reloads model 1 and its grid first
//   plottdel  <u> <v> <grid> <file> <filetype>         time-delay surface of a source at (u, v)
//   plotmaps  <outbase> <grid> [x0 y0]                 eight FITS maps, optionally about a reference
//   HFFmaps2d <outbase> <grid>                         twelve FITS maps, single plane, Dls/Ds = 1
//   HFFmaps3d <outbase> <grid>                         six FITS maps, several planes, at zsrc
//   plotdef0  <file> <r lo> <hi> <# r steps> <# th steps>         mean radial deflection
//   plotdef1  <file> <grid>                                       table on a Cartesian grid
//   plotdef2  <file> <theta lo> <hi> <# steps> <r lo> <hi> <# steps>   table on a polar grid
//   WCSset    <ix> <iy> <RA> <Dec>  |  WCSset off
//
// <grid> is "x lo, x hi, x steps, y lo, y hi, y steps"; point (i, j) is (x_i, y_j) with
// x_i = setparm(nx, i, x lo, x hi), and map element [i][j] holds it (x fastest in the file,
// so pixel (1, 1) is (x lo, y lo)). A negative count gives geometric steps where a command
// allows them. Every map write is bracketed by WCSprocess / WCSreset (io/wcs.h).
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "models/evaluator.h"
#include "numeric/alloc.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/words.h"

// The grid of a map command.
struct MapGrid {
  double xlo = 0, xhi = 0, ylo = 0, yhi = 0;
  int nx = 0, ny = 0;  // counts as given (negative: geometric steps)
  int cols() const { return nx < 0 ? -nx : nx; }
  int rows() const { return ny < 0 ? -ny : ny; }
  long points() const { return static_cast<long>(cols()) * rows(); }
};

// Everything one evaluation of the lens gives.
struct Lens {
  double pot, ax, ay, xx, yy, xy, yx;
};

inline Lens lens_at(double x, double y) {
  Lens l;
  potdefmag(x, y, l.pot, l.ax, l.ay, l.xx, l.yy, l.xy, l.yx);
  return l;
}

inline double kappa_of(const Lens& l) { return 0.5 * (l.xx + l.yy); }
inline double det_of(const Lens& l) { return (1.0 - l.xx) * (1.0 - l.yy) - l.xy * l.yx; }
inline double mu_of(const Lens& l) { return 1.0 / det_of(l); }

// A map over the grid, [1..|nx|][1..|ny|].
inline Mat new_map(const MapGrid& g) { return Mat(1, g.cols(), 1, g.rows()); }

// Walks the grid x outer, y inner, calling row(i, x) before each x step and point(i, j, x, y)
// at each point; with a progress name, "<name>: step k / N" follows every 10000th point.
template <class Row, class Point>
void walk_grid(const MapGrid& g, const char* progress, Row&& row, Point&& point) {
  std::vector<double> ys(static_cast<size_t>(g.rows()) + 1);
  for (int j = 1; j <= g.rows(); ++j) ys[static_cast<size_t>(j)] = setparm(g.ny, j, g.ylo, g.yhi);
  const long total = g.points();
  long done = 0;
  for (int i = 1; i <= g.cols(); ++i) {
    const double x = setparm(g.nx, i, g.xlo, g.xhi);
    row(i, x);
    for (int j = 1; j <= g.rows(); ++j) {
      point(i, j, x, ys[static_cast<size_t>(j)]);
      if (progress && ++done % 10000 == 0) qprintf("%s: step %ld / %ld\n", progress, done, total);
    }
  }
}

template <class Point>
void walk_grid(const MapGrid& g, const char* progress, Point&& point) {
  walk_grid(
      g, progress, [](int, double) {}, point);
}

// A model is required and the grids of its first entry are built (as plotmag and plotpot
// need); false, with nothing more printed, when they cannot be.
bool first_model_gridded();

// Reads a grid from words first..first+5 (lo, hi, steps for x, then for y). The counts pass
// checksteps under the given names (minimum 1; negative only with allow_log), and a
// geometric axis needs both ends of its range above 0. False, after the warnings, when a
// check fails: the command then ends with nothing written.
bool read_map_grid(const WordArray& words, int first, const char* xname, const char* yname, bool allow_log, MapGrid& g);

// Writes maps of one grid, each named with its values [1..|nx|][1..|ny|], as array files of
// the given type, within one world-coordinate adaptation to the grid.
void write_maps(const MapGrid& g, int type, std::initializer_list<std::pair<std::string, const Mat*>> maps);
// The file-name ending of a map of the given type: "fits" for FITS, "dat" otherwise.
const char* map_extension(int type);

void plotkappa(const WordArray& words);
void plotkappahelp(int level);
void plotshear(const WordArray& words);
void plotshearhelp(int level);
void plotmu(const WordArray& words);
void plotmuhelp(int level);
void plotpot(const WordArray& words);
void plotpothelp(int level);
void plottdel(const WordArray& words);
void plottdelhelp(int level);
void plotmaps(const WordArray& words);
void plotmapshelp(int level);
void HFFmaps2d(const WordArray& words);
void HFFmaps2dhelp(int level);
void HFFmaps3d(const WordArray& words);
void HFFmaps3dhelp(int level);
void plotdef0(const WordArray& words);
void plotdef0help(int level);
void plotdef1(const WordArray& words);
void plotdef1help(int level);
void plotdef2(const WordArray& words);
void plotdef2help(int level);
void WCSset(const WordArray& words);
void WCSsethelp(int level);
