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

// Loads a source model: for every source 1..NSRCMAX copies names[i] and parameters
// params[i][1..8] into the tables; with shrcoords 1 turns (4, 5) from Cartesian
// components into the ellipticity and its angle (half the polar angle, degrees); clamps
// an ellipticity above maxellip to maxellip with "WARNING: source ellip = %f out of
// bounds" and a penalty of (|e| + 1) 1e8; then derives parameters 9..12 (source_init).
// Returns the summed penalty, 0 when every source is admissible. names and params must
// hold rows 1..NSRCMAX (params columns 1..8 at least).
double initsrcmod(const BVec<std::string>& names, const Mat& params);

// Derives parameters 9..12 of source i from its given parameters; nothing for i outside
// 1..Nsource. A Sersic source reports its derived values unless quiet or verbose > 1.
// An unknown class name is reported ("ERROR: unknown source type: ...") and its derived
// values are left as they were; the program goes on.
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
