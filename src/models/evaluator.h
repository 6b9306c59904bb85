// The whole-model evaluator: potential, deflection and second derivatives of the lens.
//
// potdefmag is the program's hot path (grid building, image finding, ray shooting, every
// fit). It performs no allocation, no string work and no look-up by name. Like the rest
// of the evaluation chain (models/component.h) it is NOT re-entrant: it uses the shared
// current component `cur`, the scratch of TWmod and the running shear totals, and it
// leaves component 1 loaded when it returns.
#pragma once

#include "models/component.h"
#include "models/derivs.h"
#include "shell/words.h"

// Multi-plane state (the multi-plane code fills and extends it). While `on` is 0 the
// evaluator is single-plane.
struct LOSPlanes {
  int nplane = 0;     // number of distinct plane steps (0: single plane)
  int on = 0;         // nonzero: multi-plane lensing in force
  int shearmode = 1;  // line-of-sight shear mode (2 on, 1 off)
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
// Single-plane sum into out (unscaled). want_param_derivs = true (the parameter-derivative
// check) ends the program: "parameter derivatives have been deactivated".
void potdefmagONE(PotDefMagVector& out, double x, double y, bool want_param_derivs = false);
// Multi-plane evaluation (staged until the multi-plane code lands).
void potdefmagLOS(PotDefMagVector& out, double x, double y);

// Command try2: fixed line-of-sight and shear matrices in place of the LOSshr and shear
// terms. Help prints "try2 <n>" at both levels (nothing in quiet mode).
void try2(const WordArray& words);
void try2help(int level);
