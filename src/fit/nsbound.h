// Nested sampling: the live points, the prior regions and the drawing region that follows
// the live points (a covariance ellipsoid, a minimum-volume ellipsoid or a box in the
// principal-component frame, each enlarged by "expand"), the drawing of new points and
// the choice of the initial live points.
//
// Likelihoods are kept as logarithms (ln L = -chi^2/2): a chi-squared of thousands leaves
// every sum finite. The live likelihood sum is held relative to a reference, the largest
// live ln L it has seen: NSsumL x exp(NSlnLref) is the sum of the live likelihoods.
#pragma once

#include <cstdio>

#include "fit/mcmc.h"
#include "numeric/alloc.h"
#include "numeric/random.h"

struct NSbound {
  int flag = 0;        // secondary region defined
  double volume = 0;
  Vec origin, lo, hi, axes;  // [1..n]
  Mat rotation;              // [1..n][1..n], eigenvectors in rows
  void allocate(int n);
};
extern NSbound NSbnd1, NSbnd2;

// Run values copied from the control values, live points and drawing region.
struct NestSampState {
  int NSflag = 0;
  int NSmode = 1, NShull = 0, NSlive = 100;
  unsigned long NSminsteps = 1000, NSmaxsteps = 1000000, NSupdate = 10, NSrescale = 1;
  double NSexpand = 1.1, NStol = 1e-3, NSdraw = 0;
  int NSwritelive = 100, NSwritebad = 0, NScdf = 1;
  double NSchicut = 1e8;
  int NSnvary = 0, NSnvaryg = 0, NSnvarys = 0;

  Mat NSparr;       // [1..live][1..n]
  Vec NSchi;        // [1..live]
  Vec NSlnlike;     // [1..live] ln L = -chi/2
  double NSchicnt = 0;
  RandomStream NSrseed, NSgseed;
  FILE* NSouttmp = nullptr;  // trace stream of the run (null: no trace)

  // Live sums and the drawing region.
  double NSsumL = 0, NSlnLref = 0;  // sum of exp(ln L_i - NSlnLref)
  Vec NSsumx;                       // [1..n]
  Mat NSsumxy;                      // [1..n][1..n]
  Vec NSmu;                         // [1..n]
  Mat NScov, NSevec, NSvmat, NSCinv, NSchol;  // [1..n][1..n]
  Vec NSeval;                       // [1..n]
  double NSscale = 1;
  Mat NSprng;                       // [1..2][1..n]
  Mat NSprot;                       // [1..live][1..n] live points in the principal frame
  Vec NSq, NSwork, NSw, NScand;     // [1..n]
  // Each live point's squared distance (p - mu)^T Cinv (p - mu) (modes 1 and 2) for the
  // region now in force; kept current point by point between updates.
  Vec NSdist;                       // [1..live]
  double dmax = 0;                  // the largest NSdist and its point
  int imax = 1;
  Vec boxlo, boxhi;                 // [1..n] mode 3: extremes of NSprot over the live points
  IVec iboxlo, iboxhi;              // [1..n] and their points
  bool cache_valid = false;

  SamplerObjective objective = nullptr;  // null: tryparms
};
extern NestSampState NS;

// Allocates the live points and the region state for n parameters and NS.NSlive points.
void nestsamp_alloc(int n);
// Live sums, region statistics and the identity region, at the start of a run.
void nestsamp_reset_region();
// Chi-squared of a point through the sampler's objective (q keeps the values proposed:
// live points and their statistics are continuous; rows written are processed).
double nestsamp_eval(Vec& q);

void nestsamp_sums(int i, int s);
// The live likelihood sum recomputed exactly from the live points.
void nestsamp_resum();
void nestsamp_cov();
void nestsamp_eigen();
void nestsamp_max();
// Live point i was replaced: its cached distance (or frame position) and the extremes.
void nestsamp_recache(int i);
double nestsamp_Vell(Vec& v);
int NSinbounds(const Vec& p, int level);
void nestsamp_ran(Vec& p, int level, long& count);
void nestsamp_new(int i);
void nestsamp_setup1();
void nestsamp_setup2();
void nestsamp_write1(FILE* stream, const Vec& p, int newline, double chi);
void nestsamp_write2(FILE* stream, const Vec& p, double chi, double X, double w);
// The point as written: processed (angles folded) as every written model is, unless a
// stand-in objective is set. The result lives until the next call.
const Vec& nestsamp_shown(const Vec& p);

// Volume of the unit n-ball.
double unit_ball_volume(int n);
// ln(exp(a) + exp(b)) without overflow; -infinity is the log of 0.
double log_add(double a, double b);

// Most consecutive failed draws for one point, and most optimisations for one initial
// point, before the run is refused.
constexpr long kNSMaxDrawFailures = 1000000;
constexpr int kNSMaxOptimisations = 1000;
// Most live points a run may ask for.
constexpr long kNSMaxLive = 1000000000;
