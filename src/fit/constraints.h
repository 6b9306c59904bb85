// Parameter constraints of the fitter: limits, bounds, angle ranges and ties, the
// commands that load them and the routines that apply them to every trial model.
//
// Each constraint names a parameter by a component index (1..NGALMAX) and a parameter
// index (1..10) of the model set; a negative index names source -index of the source
// tables (parameters 1..8). Indices and modes are stored as reals and read as
// trunc(value x 1.000001). Coordinate modes: 0 as the setting shrcoords, 1 Cartesian
// ellipticity and shear components, 2 magnitude and angle in degrees.
#pragma once

#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "shell/words.h"

// A Gaussian limit: (p - value)^2 / sigma^2 (never used when sigma <= 0).
struct PlimRow {
  double on = 0, igal = 0, iparm = 0, value = 0, sigma = 0, mode = 0;
};

// A hard bound on a linear combination: columns 0..3M+3 (M = mpbnd): the term count n
// (negative: source bound; 0: off), then (index, iparm, coefficient) per term, lo, hi
// and the coordinate mode.
struct PbndRow {
  std::vector<double> c;
};

// A wrapping range [lo, hi) of an angle.
struct PArangeRow {
  double on = 0, igal = 0, iparm = 0, lo = 0, hi = 0;
};

// One parameter tie: p[igal][iparm] = ratio x p[jgal][jparm] + zeropt. Exact when sigma
// is 0, a Gaussian term when sigma > 0, a lognormal term when sigma < 0.
struct PmatchRow {
  double on = 0, igal = 0, iparm = 0, jgal = 0, jparm = 0, ratio = 0, sigma = 0, zeropt = 0;
};

struct ConstraintTables {
  int nplim = 0;
  BVec<PlimRow> plimarr;      // [1..nplim]
  int npbnd = 0, mpbnd = 0;
  BVec<PbndRow> pbndarr;      // [1..npbnd]
  int nPA = 0;
  BVec<PArangeRow> PAarr;     // [1..nPA]
  int npmatch = 0;
  BVec<PmatchRow> pmatcharr;  // [1..npmatch]
};
extern ConstraintTables TScons;

// Index of a table column read as an integer: trunc(value x 1.000001), held within
// +-kIntWordLimit (nan reads as 0) so that no value is converted out of range and every
// index can be negated.
inline int constraint_index(double v) {
  const double t = v * 1.000001;
  if (!(t == t)) return 0;
  const double limit = static_cast<double>(kIntWordLimit);
  if (t >= limit) return static_cast<int>(kIntWordLimit);
  if (t <= -limit) return static_cast<int>(-kIntWordLimit);
  return static_cast<int>(t);
}

// Penalty scale of the hard conditions.
constexpr double kHardPenalty = 1e8;

// Commands: "<command> <file>|reset [indices of constraints to ignore]".
void plimits(const WordArray& words);
void plimitshelp(int level);
void pbounds(const WordArray& words);
void pboundshelp(int level);
void PArange(const WordArray& words);
void PArangehelp(int level);
void pmatch(const WordArray& words);
void pmatchhelp(int level);

// Folds amplitudes and angles into their ranges, wraps angles into their PArange ranges
// and applies exact ties, in place; sparams may be null (no source steps). Reads the
// vary flags of the built model store.
void proc_parms(Mat& gparams, Mat* sparams);
// Summed penalty of the hard conditions (0 when the model is admissible).
double check_parms(const BVec<std::string>& names, const Mat& gparams);
// The parameter-limit term (chi slot 5): plimfunc + pbndfunc + pmatchfunc.
double plimchi(const Mat& gparams, const Mat& sparams);
double plimfunc(const Mat* gparams, const Mat* sparams);
double pbndfunc(const Mat* gparams, const Mat* sparams);
// Soft ties. A lognormal tie whose ratio falls below 1e-8 ends the program for the
// user's starting model and costs (1 + d^2) 1e8 for any proposed model.
double pmatchfunc(const Mat* gparams, const Mat* sparams);

// Angle folding, each in constant time.
// d brought into (-half, half] by steps of 2 half; unchanged unless 0 < half < inf.
double wrap_symmetric(double d, double half);
// v brought into [lo, hi) by steps of hi - lo (hi > lo).
double wrap_range(double v, double lo, double hi);
// v brought into [-90, 90] by steps of 180 (values already inside are kept).
double wrap_pa(double v);
