// Point-image chi-squared terms: positions, fluxes and delays of the observed images of
// every source against a trial model. calc_chi calls one form per evaluation; each returns
// the position, flux and delay parts (slots 1 to 3 of TSstore.chi), solves the source flux
// and position of every observed source (writing them into the trial source matrix and the
// source tables) and leaves the model image set of the best source in srcmod.
//
// Source-plane form (chimode 0, or -1 without magnification weighting): the observed
// images are mapped back to the source plane and the source that minimises their
// scatter, weighted by the image-plane errors carried through the magnification tensor,
// is solved in closed form.
// Image-plane form (chimode 1): for a trial source (u, v) the model images are found
// (gridflag 1: the tiled grid; gridflag 0: one Newton solve from each observed image,
// duplicates merged), matched one to one with the observed ones and compared within their
// error ellipses; a downhill simplex over (u, v) finds each source.
// Missing or extra model images give the penalties (1 + d2) 1e11 and (1 + d2) 1e10, d2
// the squared distance of the trial source from the nearest caustic point (1e12 when
// there is none), so that the searches move towards the caustics.
#pragma once

#include "fit/fit_data.h"
#include "fit/gauscorr.h"
#include "numeric/alloc.h"

// Penalty scales of the image-plane form.
constexpr double kExtraImagePenalty = 1e10;
constexpr double kMissingImagePenalty = 1e11;
// The simplex over the source position stops after this many evaluations.
constexpr int kTryuvMaxEvals = 500;
// Newton steps of the grid-free image search from one start.
constexpr int kNogridNewtonSteps = 1000;

// The image penalty that a source's best trial took (missing outranks extra).
enum class PointPenalty { kNone, kExtraImages, kMissingImages };

// Unweighted parts of the point-image chi-squared, summed over the sources, and the worst
// image penalty among them.
struct PointChi {
  double pos = 0, flux = 0, tdel = 0;
  PointPenalty penalty = PointPenalty::kNone;
};

// Source-plane form (chimode 0 or -1).
PointChi chiapprox(const Mat& params, Mat& srcparams);
// Image-plane form (chimode 1).
PointChi chiexact(const Mat& params, Mat& srcparams);

// The objective of the simplex of chiexact over the position uv[1..2] of the current
// source: its weighted chi-squared, with the parts in PointWork's pos, flux and tdel and
// the model image set in its model record. Valid only inside chiexact.
double tryuv(const Vec& uv);

// Chi-squared of the offset (dx, dy) in the error ellipse of axes siga (along the
// direction pa degrees from +y towards -x) and sigb.
double calc_chip(double dx, double dy, double siga, double sigb, double pa);

// Grid-free image search: one Newton solve of the lens equation for the source (u, v)
// started from each image of obs (used or not). A solve that does not converge (its next
// step longer than xtol) finds no image, and solutions closer than xtol are one image.
// n receives the number of distinct images; list rows [1..n] hold x, y, mu, phi, phi_xx,
// phi_yy, phi_xy, phi_yx, 1 (the list has room for obs.nimg rows; it is reallocated only
// when it is too small).
void find_img_nogrid(int& n, Mat& list, const SrcData& obs, double u, double v);

// Working state of the image-plane form (valid during one chiexact call): the current
// source, its shifted observed record and the model record of the last trial source,
// the parts of the last chi-squared and the scratch of the image search, kept between
// calls so that an evaluation allocates nothing.
struct PointWork {
  int isrc = 0;                 // the current source
  Mat* sparms = nullptr;        // the trial source matrix of the current call
  double pos = 0, flux = 0, tdel = 0, chisq = 0;
  double nogrid_u = 0, nogrid_v = 0;  // the source seen by usrfun
  int nextra_found = 0;         // extra model images of the last trial (dropped ones too)
  PointPenalty penalty = PointPenalty::kNone;  // the image penalty of the last trial
  long ntryuv = 0;              // trial sources scored so far (for the benchmarks)
};
extern PointWork TSpoint;
