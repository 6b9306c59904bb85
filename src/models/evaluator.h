// The whole-model evaluator: potential, deflection and second derivatives of the lens.
//
// potdefmag is the program's hot path (grid building, image finding, ray shooting, every
// fit). It performs no allocation, no string work and no look-up by name. Like the rest
// of the evaluation chain (models/component.h) it is NOT re-entrant: it uses the shared
// current component `cur`, the scratch of TWmod and the running shear totals, and it
// leaves component 1 loaded when it returns.
#pragma once

#include <string>
#include <vector>

#include "models/component.h"
#include "models/derivs.h"
#include "numeric/alloc.h"
#include "shell/words.h"

// Multi-plane state: the lens planes of model 1 and their coupling matrices (filled by
// initLOS and calcLOSmatrices, core/lens_model.h; reduced by initLOSshear), and the
// line-of-sight shear settings of the command shearLOS. While `on` is 0 the evaluator is
// single-plane and no matrix exists.
//
// Index conventions: 0 is the observer, 1..N the planes in redshift order, N+1 the
// source. Every 2x2 matrix is four doubles in the order 11, 12, 21, 22.
struct LOSPlanes {
  int nplane = 0;     // N: components of model 1 with a positive redshift (after a shearLOS
                      // reduction, the number of main planes)
  int on = 0;         // consecutive plane pairs whose redshifts differ by more than 1e-6;
                      // multi-plane lensing is in force exactly when it is nonzero
  int shearmode = 1;  // 0 never set, 1 shearLOS off, 2 shearLOS reduction requested
  int cutmode = 0;    // 0 radius only, 1 "zbox", 2 "zbridge", 3 "HOTlos", 4 "HOTcut"
  std::vector<int> exact;  // component numbers always treated exactly (nexact of them)
  LVec order;         // [1..NGALMAX] component numbers by ascending redshift; plane i is order[i]
  Mat Bmat;           // [1..N+1][1..4] undeflected position in plane i = B_i theta
  Tensor3 Cmat;       // [1..N+1][1..N+1][1..4] C_jk: deflection of plane j into plane k
  Mat Fmat;           // [1..N+1][1..4] time-delay term (row N+1 read)
  Tensor3 Gmat;       // [1..N+1][1..N+1][1..4] time-delay matrices (column N+1 read)
  double refgal = 0;  // reference component of the reduction (0: reference position)
  double xref = 0, yref = 0;  // reference position of the reduction
  double Rcut = 0;    // cut radius of the reduction
  double cutparm = 0; // dz of "zbox"/"zbridge", dxcut of "HOTlos"/"HOTcut"
  double nexact = 0;  // length of the exact list
  double Dl = 0, Ds = 0, Dls = 0;  // PMdist(0, zlens), PMdist(0, zs), PMdist(zlens, zs)
  double Dref = 1, Dlref = 1;      // PMdist(0, zref), PMdist(zlens, zref) (1 unless 0 < zref < 1000)
  Mat dist;           // [0..N+1][0..N+1] PMdist between observer, planes and source
  std::string outbase = "NULL";  // output base name given to shearLOS (nothing reads it)

  // Working state of the evaluator, sized when the planes are built (no allocation per
  // evaluation).
  Vec zplane;         // [1..N+1] plane redshifts (N+1: the source of the last matrices)
  Vec tau;            // [1..N] time-delay factor of each plane's component (model 1)
  int nuse = 0;       // planes in front of the source of the last matrices (z < zs - 1e-6);
                      // the planes behind it take no part in the recursion or the delay
  std::vector<double> work;  // evaluator scratch: positions, deflections, Jacobians, Phi A
  // The reduced matrices for zsrc, kept so that a later call for zsrc restores them.
  bool reduced = false;
  double zreduced = 0;
  Mat Bsave, Fsave;
  Tensor3 Csave, Gsave;
  bool reduce_warned = false;  // "reduction not applied" printed for this reduction
  bool zref_warned = false;    // "plane at zref" printed for these planes
};
extern LOSPlanes LOS;

// Dominance record of the single-plane evaluator, written while track_mode > 0
// (1: every active component, 2: every active component but component 1).
// track_dom[1, 2, 4, 5]: component dominating the potential, deflection, convergence,
// shear (0: none exceeded 0). track_arr[1..6] the dominant values, [8..13] the rest.
struct DominanceTrack {
  int track_mode = 0;
  int track_dom[7] = {};      // [1..6]
  double track_arr[14] = {};  // [1..13]
};
extern DominanceTrack TWtrack;

// The whole model at (x, y), times TWmod.scale; leaves component 1 loaded.
void potdefmag(double x, double y, double& pot, double& phix, double& phiy, double& phixx,
               double& phiyy, double& phixy, double& phiyx);
// The second derivatives of potdefmag at (x, y), the same bits, for callers that need
// nothing else (the magnification's zeros): closed-form components skip their potential
// and deflection where the model allows. Leaves component 1 loaded.
void potdefmag_hessian(double x, double y, double& phixx, double& phiyy, double& phixy, double& phiyx);
// The deflection of potdefmag at (x, y), the same bits, for callers that need nothing else
// (source positions): closed-form components skip their potential and second derivatives
// where the model allows. Leaves component 1 loaded.
void potdefmag_deflection(double x, double y, double& phix, double& phiy);
// Single-plane sum into out (unscaled). want_param_derivs = true (the parameter-derivative
// check) ends the program: "parameter derivatives have been deactivated".
void potdefmagONE(PotDefMagVector& out, double x, double y, bool want_param_derivs = false);
// Multi-plane evaluation (models/multiplane.h).
void potdefmagLOS(PotDefMagVector& out, double x, double y);

// Command try2: fixed line-of-sight and shear matrices in place of the LOSshr and shear
// terms. Help prints "try2 <n>" at both levels (nothing in quiet mode).
void try2(const WordArray& words);
void try2help(int level);
