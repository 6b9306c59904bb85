// Curve and ring constraints: observed arcs traced as curves of points, and Einstein
// rings traced as rays, with their chi-squared terms (slots 6 and 7 of TSstore.chi), the
// commands that load them and the ring-source tables that the fit keeps beside the model
// of each "ring" pseudo-component.
//
// Curves. Curve c has reference segments (polylines of points with uncertainties, the arc
// as observed) and test points (points on the same arc). Every test point is mapped to
// the source plane through the trial lens and all images of that source point are found;
// each image that is not a maximum of the arrival time is charged its smallest
// normalised squared distance to the reference polylines: to a piece between two
// consecutive points |P - foot|^2 / (s_l s_(l+1)) where the foot lies on the piece, to a
// point |P - point|^2 / s^2. Layout of the six tensors [1..CRVNMAX][0..CRVSMAX][0..CRVPMAX]:
// X[c][0][0] the number of segments of that kind (-1: never loaded), X[c][s][0] the number
// of points of segment s, X/Y/S[c][s][p] point p. Counts are read back by truncating
// value x 1.000001.
//
// Rings. Ray j of ring i starts at (x0, y0) and runs along the position angle phi (degrees
// east of north): P(lambda) = (x0 + xshift - lambda sin phi, y0 + yshift + lambda cos phi).
// The ring is the image of one elliptical source (u0, v0, e, PA): on each ray the model
// crest is the root of ring_func, where the elliptical radius of the source-plane image
// P - alpha(P) about the source centre is smallest. For each trial lens an inner simplex
// fits the ring's source (by default its centre) and the best value is the ring's
// chi-squared: radial offsets of the normal rays (flag 0) in units of d(lambda), flux peaks
// (flag 1) against the images of the source centre, flux minima (flag 2) against the
// points where the rays at their observed lambda cross the critical curve.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "shell/words.h"

// ---- curves ----

struct CurveTables {
  Tensor3 crvrefX, crvrefY, crvrefS;  // reference points
  Tensor3 crvtryX, crvtryY, crvtryS;  // test points (the test sigma is stored, never used)
  // Retained images of the curve being scored (x, y pairs); kept between evaluations so
  // that the term allocates nothing once it has grown.
  std::vector<double> img;
};
extern CurveTables TScrv;

// Number of segments of one kind of curve c (reference when ref), -1 when never loaded.
int curve_segments(int c, bool ref);
// True when some curve has both reference and test data.
bool curves_loaded();

// The curve term (chi slot 6): the sum of onecurve over the curves.
double chicurve();
// The chi-squared of curve c for the loaded lens (registration shift of the curves in
// xs, ys); trace is the per-image file or null.
double onecurve(int c, double xs, double ys, FILE* trace);

// Commands.
void crvmax(const WordArray& words);
void crvmaxhelp(int level);
void crvpts(const WordArray& words);
void crvptshelp(int level);
void crvstatus(const WordArray& words);
void crvstatushelp(int level);

// ---- rings ----

struct RingTables {
  int Nring = 0;
  int nalloc = 0;     // rings the tables were allocated for (NRINGMAX at the last ringdat)
  int mrays = 0;      // rays per ring (MRINGMAX at the last ringdat)
  Tensor3 Ringdat;    // [1..nalloc][0..mrays][1..6]: [i][0][1] rays; [i][j] x0 y0 phi lambda dlambda dphi
  IMat Ringflag;      // [1..nalloc][0..mrays]: 0 normal, 1 flux peak, 2 flux minimum
  Mat Ringparms;      // [1..nalloc][1..4]: source x, y, e, PA of each ring's source
  IMat Ringvary;      // [1..nalloc][1..4]: which of them the inner fit varies
  bool has_peak = false;  // some loaded ring has a flux-peak ray
};
extern RingTables TSring;

// Working state of the ring term: the ring and ray that the ray functions evaluate, the
// registration shift in force, the final-evaluation flag and the diagnostic stream.
struct RingWork {
  int glob_iring = 1, glob_jring = 1;
  int finalflag = 0;
  bool strict = false;   // the evaluation scores the user's start lens and start source
  double xshift = 0, yshift = 0;
  FILE* diag = nullptr;  // diagnostic lines; null: standard output
  long nfunc = 0;        // ring_func calls so far
  // Per-ray scratch of one source evaluation, sized by ringdat.
  Vec lam;               // model lambda of each ray
  IVec ok;               // crest found
  Vec dist;              // elliptical radius at the crest (normal rays)
  Vec guess;             // lambda borrowed from the nearest solved ray
  Mat cross;             // [1..100][1..2] critical-line crossings
};
extern RingWork TSringwork;

// Cost of one unsolved ray in place of its position term (a trial lens or source that is
// not the user's start).
constexpr double kRingUnsolved = 1e10;

// The ring term (chi slot 7): the sum of onering over the loaded rings.
double chiring();
// The chi-squared of ring glob_iring after fitting its source.
double onering();
// The inner objective over the varied source parameters of ring glob_iring.
double vary_ringsource(Vec& p);
// Half the derivative of the squared elliptical radius along ray glob_jring; its root is
// the model crest on that ray.
double ring_func(double lambda);
// The elliptical radius at distance |lambda| along ray glob_jring.
double ring_dist(double lambda);
// Start values of the source centre of ring glob_iring: the weighted mean of the source
// images of its observed ring points; du, dv their weighted scatter.
void init_ringsource(double& du, double& dv);
// "Ring %d: ..." lines of the fitted ring sources.
void writeringp(FILE* stream);
// Canonical form of a ring source: e in [0, 1], PA in [-90, 90].
void canonical_ring_source(double& e, double& PA);

// Commands.
void ringmax(const WordArray& words);
void ringmaxhelp(int level);
void ringdat(const WordArray& words);
void ringdathelp(int level);

// True when the trial lens must have its own grid even where the point-image term needs
// none: a curve with both kinds of data, or a loaded ring with a flux-peak ray.
bool crvring_need_grid();

// Hooks of the optimiser on the "ring" pseudo-components. Every "ring" component names a
// ring of the tables that the last ringdat allocated; another index ends the program.
// Before an evaluation of a trial model (e and PA into the ring's source);
void ring_trial_hook(const BVec<std::string>& names, const Mat& params, bool check_index);
// at the start of an optimisation (ring sources reset, positions in the start model 0);
void ring_reset_hook(const BVec<std::string>& names, Mat& gref);
// at its end (fitted ring-source positions into the returned model).
void ring_result_hook(const BVec<std::string>& names, const Mat& gtry, Mat& model);

// Shared by the curve and ring loaders: the next data line of a file (its end ends the
// program, naming how many of its total lines, count line included, were read), and help
// lines padded to a common width followed by the comment-marker line.
void crvring_next_line(FILE* fp, WordArray& w, const std::string& path, int done, int total);
// Ends the program when a capacity leaves the int range or the tables it sizes (doubles
// values in all) would not fit in the machine's memory: such tables would otherwise be
// touched page by page until the system kills the program.
void crvring_check_capacities(const char* command, std::initializer_list<long> caps, long double doubles);
