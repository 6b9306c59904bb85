// The spine of the fitter: the model store that maps a vector of varied parameters onto a
// trial model (TSstore), the chi-squared assembly of a trial model (calc_chi), the
// objective function of the minimisers (tryparms) and the optimiser driver (domin), with
// the galaxy term and the parity check.
//
// The parameter vector x[1..ndim]: first the varied component parameters (components in
// order, parameters 1..10 in order), then the varied source parameters (sources in
// order, parameters 4..8 only; source flux and position are solved by the point-image
// terms). Every fixed value comes from gref / sref.
//
// chi slots: 0 total, 1 pos, 2 flux, 3 tdel, 4 gal, 5 plim, 6 crv, 7 ring, 8 weak.
// The total is pos + fluxweight flux + tdel timeweight + gal + plim + crv + ring +
// weakweight weak, or the first positive penalty of the hard checks (initmodel,
// initsrcmod, check_parms, parity 1e9); a total that is not finite becomes 1e30.
//
// Numerical failures of a trial model never end a fit: terms give a penalty instead. The
// start-model flag tells the terms that the model being scored is the user's model as
// loaded; then they keep their ERROR (the user's input is at fault).
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"
#include "numeric/random.h"

enum ChiSlot { kChiTot = 0, kChiPos, kChiFlux, kChiTdel, kChiGal, kChiPlim, kChiCrv, kChiRing, kChiWeak };
constexpr int kChiSlots = 9;
// Total given to a trial whose chi-squared is not finite (above every penalty).
constexpr double kChiNonFinite = 1e30;
// Score of a failed parity check.
constexpr double kParityPenalty = 1e9;

// The penalty that gave the total of an evaluation: none, a refused model (initmodel,
// initsrcmod or check_parms object), the parity check, or missing or extra model images.
// A refused model is one the program does not accept; the others are accepted models
// that fit badly.
enum class FitPenalty { kNone, kBounds, kParity, kMissingImages, kExtraImages };
// Its name in messages ("parameter-bound", "parity", "missing-image", "extra-image").
const char* penalty_name(FitPenalty p);

struct ModelStore {
  bool built = false;
  int ngal = 0, nsrc = 0;             // rows: NGALMAX and NSRCMAX at set-up
  int ngvary = 0, nsvary = 0, ndim = 0;
  BVec<std::string> gname, sname;     // [1..ngal], [1..nsrc]
  IMat gvary;                         // [1..ngal][1..10]
  IMat svary;                         // [1..nsrc][1..8]
  Mat gref, gtry, gwork;              // [1..ngal][1..10]
  Mat sref, stry;                     // [1..nsrc][1..8]
  double chi[kChiSlots] = {};         // kept between fits
  FitPenalty penalty = FitPenalty::kNone;  // what gave chi[kChiTot] its value
};
extern ModelStore TSstore;

// State of the current command run of the fitter.
struct FitRun {
  FILE* chifile = nullptr;    // trace stream (chitmp.dat), open only inside a fit
  bool start_model = false;   // the next evaluation scores the user's model as loaded
  long run = 0;               // number of the command run (once-per-run warnings)
  RandomStream vertices;      // random simplex vertices (vertmode 2)
};
extern FitRun TSrun;

// Starts a new command run: every fitting, scanning and sampling command calls it first.
// Resets the once-per-run warnings and restarts the vertex stream from the "seed".
void start_command_run();
// The trace stream chitmp.dat of a fit, in the working folder while "tempfiles" is 1 (a
// folder that refuses it costs the trace, not the fit). close_chi_trace checks what was
// written; drop_chi_trace lets it go unchecked on the way out of an error.
void open_chi_trace();
void close_chi_trace();
void drop_chi_trace();
// The size at which chitmp.dat stops growing (100 MB). check_chi_trace, called after each
// evaluation's record (tryparms), flushes the trace; once it holds more than the bound it
// is cut back to the last whole record within the bound and written no further, with one
// NOTE per command; the run goes on.
constexpr long long kChiTraceBound = 100000000;
void check_chi_trace();
// For tests: another bound (kChiTraceBound restores the default).
void set_chi_trace_bound(long long bytes);
// True the first time it is called with this stamp in the current command run.
bool once_per_run(long& stamp);
// Marks the next evaluation as that of the user's model as loaded; calc_chi clears it.
void set_start_model();
inline bool start_model_flag() { return TSrun.start_model; }

// Builds TSstore from class names [1..NGALMAX], vary flags [1..NGALMAX][1..10] and
// start parameters [1..NGALMAX][1..10], with the sources of the source-model tables.
// Exact parameter ties take their parameters out of the vector.
void storage_init(const BVec<std::string>& names, const IMat& vary, const Mat& start, int& ndim,
                  int& ngvary, int& nsvary);
void storage_clear();

// The objective of the minimisers: evaluates the trial model of x[1..ndim] and returns
// chi slot 0. The model evaluated (gtry / stry) is x as processed (angles folded,
// PArange wrapping, exact ties, linear parameters); x keeps the values proposed, so
// simplexes, direction sets and chains move through continuous parameters.
double tryparms(Vec& x);
// Rewrites x[1..ndim] as processed, as every model reported or written is (no-op when
// the store is not built). Overwrites gtry / stry.
void process_point(Vec& x);

// Scores one complete model and fills TSstore.chi, the only writer of its slots (each term
// returns its value); returns the total. srcparams [1..NSRCMAX][1..8] receive the solved
// source fluxes and positions.
double calc_chi(const BVec<std::string>& names, const Mat& params, const BVec<std::string>& srcnames,
                Mat& srcparams);

// One optimisation from the models [1..nmodels] of models (each [1..NGALMAX][1..10]);
// model 1 receives the best accepted model evaluated (the first on ties), processed: a
// model the checks refuse (FitPenalty::kBounds) is never returned. When no evaluated model
// was accepted, the best given model is kept. ndim and niter report the number of varied
// parameters and the minimiser's count; TSstore.chi and TSstore.penalty describe model 1.
void domin(const BVec<std::string>& names, const IMat& vary, BVec<Mat>& models, int nmodels,
           int& ndim, int& niter);

// The galaxy term (chi slot 4): observed galaxy positions against components 1..Ngalobs
// of the loaded model; fills galmod.
double galchi();
// 1e9 when an image's parity disagrees with the model, else -1 (setting checkparity).
double check_parity();
// Package hooks (empty).
void chipkg();
