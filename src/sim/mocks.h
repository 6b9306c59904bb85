// Mock lenses drawn from the current model: the source-plane region of multiple imaging,
// the luminosity function of mock sources, mock observed-lens data files (mocklens,
// mock3), and the Monte Carlo cross sections and image separations (mock1, mock2,
// mockcsec, csec2sep).
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"
#include "numeric/random.h"
#include "shell/words.h"

// Luminosity function of mock sources (set by mockLF).
struct MockLFState {
  Mat mock_LF;          // [1..3][1..mock_LFn]: -ln L ascending, Phi(L), fraction brighter than L
  int mock_LFn = 0;     // 0: no function set
  double mock_Llim = 0;  // limiting luminosity
  double mock_Plim = 1;  // fraction of sources brighter than mock_Llim
  RandomStream mock_seed;  // luminosity stream, restarted by mockLF
};
extern MockLFState TWmock;

// Draws that may go on without end stop after this many in a row with nothing kept
// (a variable so that tests can reach the limit quickly).
extern long mock_draw_limit;

// Source point (ug, vg) that the centre of component 1 maps to, and the largest
// source-plane distance from it of a counted caustic point (-1 when none counts).
void get_umax(double& ug, double& vg, double& umax);
// The number of sources a density gives over an area: the integer part of density x area,
// refused when it lies outside lo..kCountLimit ("in <command>, <word> is not a usable
// source density ...", word being the density as typed).
long density_sources(const std::string& command, const std::string& word, double density, double area, long lo);
// One source luminosity from the mockLF function (1 without one; no draw then).
double mockflux();
// Fraction of sources brighter than exp(-x), from the mockLF table.
double mock_LF_frac(double x);

// Image class from the second derivatives of an image-list row: 0 maximum, -1 saddle,
// +1 minimum.
int mock_parity(double phixx, double phiyy, double phixy, double phiyx);
// Image rows 1..n of a source at (u, v): flux (column 3) times L, column 4 from potential
// to delay, column 9 the class; returns the counted images (maxima only when omitcore <= 0).
int mock_classify(int n, Mat& list, double u, double v, double L);
// Time delay of an image at (x, y) with potential phi, of a source at (u, v); scaled by
// tscale/hval when |tscale - 1| > tol.
double mock_delay(double x, double y, double phi, double u, double v, double tol);
// A point uniform in the disc of radius R about (xc, yc), from two ran2 deviates.
void mock_disc_point(RandomStream& r, double xc, double yc, double R, double& x, double& y);
// Source-plane position of the image-plane point (x, y).
void mock_map(double x, double y, double& u, double& v, double* mu = nullptr);
// One source of the mock commands: mode 1 uniform in the source disc of radius umax about
// (ug, vg); mode 2 uniform in the image disc of radius rimg about (xg, yg), mapped to the
// source plane and redrawn until it lies inside the source disc. since counts the draws in
// a row without a kept lens; at mock_draw_limit the command ends with an ERROR naming
// itself and the counts drawn and kept.
void mock_draw_source(RandomStream& r, int mode, double xg, double yg, double rimg, double ug, double vg, double umax,
                      const char* cmd, long drawn, long kept, long& since, double& u, double& v);
// Radius of the image-plane disc that maps onto the multiply imaged region, searched on
// the rings of the galaxy grids; warns with the given text when the grid may not cover it.
double mock_image_radius(const std::string& warntext, double xg, double yg, double ug, double vg, double umax);

// Brightness values of one lens (image list rows 1..n, at most 12 used): B1 the summed
// |mag|, B2 the second brightest, B3 the brightest after the first that lies more than
// half the maximum separation from it; sep the maximum separation (-1 below two images).
void mock_brightness(int n, const Mat& list, double& B1, double& B2, double& B3, double& sep);

// The mock lens list and cross-section tables of mock1 and mock2; nsrc < 0 draws |nsrc|
// magnification-weighted sources.
void do_mock(const std::string& outname, int nsrc, int minimg, int nslope, const Vec& slopes, double ug,
             double vg, double umax);

// ---- commands ----
void mockLF(const WordArray& words);
void mockLFhelp(int level);
void mocklens(const WordArray& words);
void mocklenshelp(int level);
void mock3(const WordArray& words);
void mock3help(int level);
void mock1(const WordArray& words);
void mock1help(int level);
void mock2(const WordArray& words);
void mock2help(int level);
void mockcsec(const WordArray& words);
void mockcsechelp(int level);
void csec2sep(const WordArray& words);
void csec2sephelp(int level);
