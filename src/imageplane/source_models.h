// The source-model tables: which sources exist, their class, parameters, switches and
// vary flags, and the derived values (normalisation and characteristic radii) that the
// brightness laws read.
//
// Classes and their eight given parameters ("0" marks a slot the class ignores):
//   ptsrc    flux u0 v0 0 0  0    0 0
//   uniform  flux u0 v0 e PA R0   0 0
//   sersic   flux u0 v0 e PA Reff 0 n
//   srcmap   fac  u0 v0 e PA 0    0 k   (k: index of a loaded source map)
// Parameters 9..12 are derived by source_init:
//   ptsrc    0, 0, 0, 0
//   uniform  I0, R0, R0, R0
//   sersic   I0, scale radius s, R90, R99.9 (radii enclosing 90% and 99.9% of the light)
//   srcmap   1, map R90, map R90, map R99.9
// (e, PA) are the ellipticity and the position angle in degrees of the major axis,
// which points along (-sin PA, cos PA). With the setting srclog 1, parameter 6 is the
// base-10 logarithm of the size (it keeps the logarithm; the derived radii do not).
#pragma once

#include <string>

#include "numeric/alloc.h"

struct SourceModel {
  int Nsource = 0;          // number of sources (equals NSRCMAX after InitSrcArr)
  int NSRCMAX = 0;          // rows of the tables
  BVec<std::string> srcID;  // [1..NSRCMAX] class names ("none" marks an empty slot)
  Mat srcparms;             // [1..NSRCMAX][1..12]: 1..8 given, 9..12 derived
  IVec srcon;               // [1..NSRCMAX] 1 on, 0 off (an off source has no brightness)
  IMat srcvary;             // [1..NSRCMAX][1..12] vary flags (1..8 used)
  double finsrc_ray_num = 0;  // target number of rays per extended source
};
extern SourceModel TWsrc;

// Recreates the tables for n sources (n < 0 counts as 0): every source "ptsrc", on, flux
// 1 and parameters 2..12 zero, vary flags 1 for flux and position, 0 otherwise. rays
// becomes the target number of rays per extended source. Every earlier source is gone.
void InitSrcArr(int n, double rays);

// What an image search can take. The size of a uniform or Sersic source (parameter 6,
// after the srclog conversion) lies in [kMinSourceSize, kMaxSourceSize] arcseconds: below,
// the source is lost in the rounding of source-plane positions (a few 1e-16 of positions
// of order 1"); above a degree the flat-sky lens equation does not describe it. A Sersic
// index lies in [kMinSersicIndex, kMaxSersicIndex], where the normalisation and the radii
// are computed accurately. An extended source takes a positive ray count, and the search
// keeps every point it draws in the source's 99.9% ellipse: the ray count times the spread
// (R99.9/R90)^2 is at most kMaxSourceRays (about 1 GB of points).
constexpr double kMinSourceSize = 1e-10;
constexpr double kMaxSourceSize = 3600.0;
constexpr double kMinSersicIndex = 0.05;
constexpr double kMaxSersicIndex = 20.0;
constexpr double kMaxSourceRays = 5e7;

// Whether id names a source class (ptsrc, uniform, sersic, srcmap), and an extended one.
bool is_source_class(const std::string& id);
bool is_extended_source(const std::string& id);

// Why a source of class id with size parameter p6 and parameter 8 p8 (the Sersic index)
// cannot be imaged: "<class> size <value> is out of range: ..." or "sersic index <value> is
// out of range: ..."; "" when it can (and for classes without a size). excess is how far
// outside its range the value lies, in the parameter's own terms (0 when it is in range;
// not finite when the value is not). A srclog other than 0 or 1 ends the program.
std::string source_shape_fault(const std::string& id, double p6, double p8, double& excess);

// The spread (R99.9/R90)^2 of a source of class id: 1 for uniform, a function of the index
// p8 for sersic, of map p8's radii for srcmap (1 for a map index that names no map, which
// source_init refuses), 1 for a point source.
double source_ray_spread(const std::string& id, double p8);

// Why an extended source of class id (parameter 8 p8) cannot take the ray count rays:
// "ray count <value> is not a finite number", "... is not positive ..." or "... is too
// large ..."; "" when it can, and for a point source. excess, for a count too large, is the
// factor by which its rays over the 99.9% ellipse exceed kMaxSourceRays, minus 1 (0
// without a fault).
std::string source_rays_fault(const std::string& id, double p8, double rays, double& excess);

// Loads a source model: for every source 1..NSRCMAX copies names[i] and parameters
// params[i][1..8] into the tables; with shrcoords 1 turns (4, 5) from Cartesian
// components into the ellipticity and its angle (half the polar angle, degrees); clamps
// an ellipticity above maxellip to maxellip with "WARNING: source ellip = %f out of
// bounds" and a penalty of (|e| + 1) 1e8; then derives parameters 9..12 (source_init),
// except for a source whose size or Sersic index cannot be imaged: its derived values are
// left as they were. Such a source, and (with a positive ray target) one whose derived
// spread takes more rays than the search holds, gives "WARNING: source <i>: <fault>" and
// a penalty of (excess + 1) 1e8 (at most about 1e29). Returns the summed penalty, 0 when
// every source is admissible. names and params must hold rows 1..NSRCMAX (params columns
// 1..8 at least).
double initsrcmod(const BVec<std::string>& names, const Mat& params);

// Derives parameters 9..12 of source i from its given parameters; nothing for i outside
// 1..Nsource. A Sersic source reports its derived values unless quiet or verbose > 1.
// An unknown class name ends the program ("unknown source type: <id>").
void source_init(int i);

// P(2n, x^(1/n)) - F: the fraction of a Sersic profile's light inside x scale radii,
// minus the target fraction F.
double src_sersic_Rfunc(double x, double n, double F);

// ---- source maps (srcmap.h) ----
// Number of map slots (0 before the first loadsrcmap).
int srcmap_count();
// Number of wavelength planes of map k (1..srcmap_count(); 0 for an empty slot).
int srcmap_planes(int k);
// Radii of map k enclosing 90% and 99.9% of its flux (plane 1; 0 for an empty slot).
double srcmap_r90(int k);
double srcmap_r999(int k);
