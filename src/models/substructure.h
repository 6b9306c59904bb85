// What the single-plane evaluator reads of the substructure subsystem: the clump
// populations, the list of clump-only components, the clump switches and the cached small
// grids of the clump field around observed images.
//
// These records are defined here so that the evaluator can read them before the
// substructure code exists; the substructure code fills (and may extend) them. With no
// population set, no cached grid and no clump list, every clump path of the evaluator is
// idle.
#pragma once

#include <memory>

#include "models/derivs.h"
#include "numeric/alloc.h"

// Root of a population's clump tree (defined by the substructure code).
struct ClumpTreeNode;

// One component's clump population.
struct ClumpPop {
  int type = 0;                         // > 0 when a population is set
  std::shared_ptr<ClumpTreeNode> root;  // clump tree handed to TreeCalc (may be empty)
};

// One cached small grid of the clump field around an observed image.
struct SubsaveGrid {
  int on = 0;                 // cleared when a clump overlaps the image
  int nx = 0, ny = 0;
  double xlo = 0, xhi = 0, xstep = 0;
  double ylo = 0, yhi = 0, ystep = 0;
  Tensor3 tab;                // [1..6][1..nx][1..ny]: phi, phi_x, phi_y, phi_xx, phi_yy,
                              // phi_xy at (xlo + (i-1) xstep, ylo + (j-1) ystep)
};

struct ClumpState {
  BVec<ClumpPop> clumpdat;    // [1..NGALMAX], one population per component
  IVec clump_list;            // [1..clump_list_n] components that exist only with clumps
  int clump_list_n = 0;
  int useclumps = 1;          // under clumpmode 2 clumps are used only while this is 1
  double clumpwgt = 1.0;      // weight of the clump field; ignored when |w| <= 1e-6
  int subsaveN = 0;           // number of cached grids (0: none)
  BVec<SubsaveGrid> subsavedat;  // [1..subsaveN]
  int subsaveWarn = 0;        // off-grid warnings printed so far (at most 20)
};
extern ClumpState TWclump;

// Adds the field of a population's clump tree at (x, y) to out[1..6]; nothing when the
// tree holds no clumps. (Staged: adds nothing until the clump tree code lands.)
void TreeCalc(const ClumpTreeNode* root, DerivVector& out, double x, double y);
// Adds the far-zone multipole field of component j's population at (x, y) to out[1..6].
// (Staged: adds nothing until the multipole code lands.)
void ClumpMpoleCalc(int j, DerivVector& out, double x, double y);
