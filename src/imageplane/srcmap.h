// Source maps: pixel images of a source's surface brightness, lensed by the source class
// "srcmap" like an analytic source.
//
// A map is nx x ny pixels, the first index along x; pixel (i, j) lies at
//   x_i = xlo + (i - 1)(xhi - xlo)/(nx - 1),  y_j = ylo + (j - 1)(yhi - ylo)/(ny - 1)
// relative to the centre of the source that uses it. Outside [xlo, xhi] x [ylo, yhi] a map
// is dark. Its 90% and 99.9% isophotes are measured over the positive pixels (noise makes
// some negative); each radius is that of the circle about the map origin holding every
// pixel at or above the level, and at least half the pixel diagonal.
//
// Range file (written by makesrcmap, read by loadsrcmap): "xlo xhi" then "ylo yhi", each
// written as "%e %e\n"; blank and comment lines are skipped on reading.
#pragma once

#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "shell/words.h"

struct SrcMap {
  int loaded = 0;          // 1 once a map is in the slot
  int planes = 0;          // wavelength planes (a load sets 1)
  int nx = 0, ny = 0;      // pixels per axis
  double xlo = 0, xhi = 0, ylo = 0, yhi = 0;  // first and last pixel centres
  std::vector<Mat> map;    // [plane - 1], each [1..nx][1..ny]
  Vec level90, radius90, level999, radius999;  // [1..planes]
};

// A table of slots that cannot be had fails as "allocation failure in smapvec()".
template <>
struct alloc_detail::Names<SrcMap> {
  static constexpr const char* vec = "in smapvec()";
  static constexpr const char* mat = "2 in matrix()";
  static constexpr const char* ten = "3 in f3tensor()";
};

// The table of maps: slots 1..Nsmap. Nsmap is 0 until the first loadsrcmap fixes it.
struct SrcMapTable {
  int Nsmap = 0;
  BVec<SrcMap> thesmap;
};
extern SrcMapTable TWsmap;

// A table of empty slots lo..hi; free_smapvec releases a table with its maps.
BVec<SrcMap> smapvec(long lo, long hi);
void free_smapvec(BVec<SrcMap>& table, long lo, long hi);
// Forgets every map (program start-up).
void reset_srcmaps();

// Puts a one-plane map pixels[1..nx][1..ny] over the given range into slot k (1..Nsmap,
// its previous map released) and measures it (proc_srcmap; file names it in errors). Maps
// of fewer than 2 pixels on an axis, or a range that does not increase, end the program.
void store_srcmap(int k, Mat pixels, int nx, int ny, double xlo, double xhi, double ylo, double yhi,
                  const std::string& file);

// Interpolated value of map k at map coordinates (x, y): bilinear over plane 1, 0 outside
// the map. No map loaded, or k outside 1..Nsmap, ends the program; an empty slot warns and
// gives 0; a map of several planes ends the program.
double srcmap_flux(int k, double x, double y);
// Measures the isophote levels and radii of slot k (every plane), and reports them unless
// quiet or verbose > 1. A map with no positive pixel ends the program naming file.
void proc_srcmap(int k, const std::string& file = "");

// loadsrcmap <infile> <infile type> <range file> [index/1] [total number of source maps/1]
void loadsrcmap(const WordArray& words);
void loadsrcmaphelp(int level);
// makesrcmap <output source file> <outfile type> <range file> <x lo> <hi> <# steps>
//            <y lo> <hi> <# steps> [noise] [Nover]
void makesrcmap(const WordArray& words);
void makesrcmaphelp(int level);
