// Clump substructure as the evaluator sees it: the clump populations, their quadtrees and
// clump profiles, the far-zone multipoles, the list of clump-only components, the clump
// switches and the cached small grids of the clump field around observed images.
//
// A population's explicit clumps live in a quadtree over the square of half size Rmax
// around the parent component. TreeCalc sums the field of a tree at a point: nodes far
// enough away count by their monopole and quadrupole, near ones are opened down to single
// clumps, which are evaluated exactly from their radial profiles (clump_calc). With
// leafsize and leaferr both 0 every node is opened and the sum is exact; that case runs
// as one flat pass over the clumps in tree order. Clumps beyond the explicit zone enter
// through ClumpMpoleCalc, a multipole expansion about the parent's centre with random
// coefficients.
//
// Setting up and drawing populations, and the commands, live in sim/clumps.h.
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "models/derivs.h"
#include "numeric/alloc.h"

// Clump types.
enum ClumpType { CLUMP_NONE = 0, CLUMP_STAR = 1, CLUMP_GAUS = 2, CLUMP_PJAFFE = 3, CLUMP_TSIS = 4,
                 CLUMP_NFW = 5, CLUMP_POW = 6, CLUMP_SOFT = 7 };

// What one clump's radial profile needs, worked out once when the clump is filed.
struct ClumpProfile {
  int type = CLUMP_STAR;
  double m = 0;        // mass
  double mpi = 0;      // m / pi
  double a = 0;        // sigma (gaus), a (pjaffe, tsis), rs (nfw), s (soft)
  double rt = 0;       // truncation radius (nfw, pow)
  double A = 0, c0 = 0, G = 0, p = 0;  // per-type constants
};

// One clump as filed in the tree (position and profile).
struct FlatClump {
  double x = 0, y = 0;
  ClumpProfile prof;
  double parms[5] = {};
};

// Clumps of one tree: every clump filed (in insertion order), and the clumps in tree order
// for the flat exact pass (built by TreePrune).
struct ClumpPool {
  std::vector<FlatClump> clumps;
  std::vector<FlatClump> order;
};

// One node of a population's quadtree.
struct ClumpNode {
  int n = 0;               // clumps below the node; 0 empty, -1 freed
  int ctype = 0;           // type of the node's first clump
  double xc = 0, yc = 0;   // centre of the box
  double hx = 0, hy = 0;   // half widths
  double extent = 0;       // largest (distance from the centre + clump size) of its clumps
  double x = 0, y = 0, mass = 0;  // first clump (kept when the node splits)
  double M = 0, Smx = 0, Smy = 0, Smxx = 0, Smyy = 0, Smxy = 0;
  ClumpNode* first = nullptr;  // first non-empty child (built by TreePrune)
  ClumpNode* next = nullptr;   // next sibling in the parent's child list
  std::unique_ptr<ClumpNode[]> kids;  // [2 i + j], i = 1 for x >= xc, j = 1 for y >= yc
  // Below this half width a node is not split: clumps that fall together there stay in one
  // leaf, the first as above, the others listed in `same` (every walk uses each of them).
  double hmin = 0;
  int idx = -1;                  // first clump in the pool
  std::vector<int> same;         // further clumps of a leaf that is not split
  ClumpPool* pool = nullptr;     // the tree's clumps (owned by the node given to TreeInit)
  std::unique_ptr<ClumpPool> own_pool;

  ClumpNode() = default;
  ClumpNode(const ClumpNode&) = delete;
  ClumpNode& operator=(const ClumpNode&) = delete;
  ClumpNode* kid(int i, int j) const { return &kids[2 * i + j]; }
  const FlatClump& clump() const { return pool->clumps[static_cast<size_t>(idx)]; }
  const double* cparms() const { return clump().parms; }
};

// One component's clump population.
struct ClumpPop {
  int type = 0;      // 0 none, 1 star, 2 gaus, 3 pjaffe, 4 tsis, 5 nfw, 6 pow, 7 soft
  int randomN = 0;   // > 0: Poisson number of clumps; else the integer part of Nexp
  int Nrad = 0;      // rows of the radial table
  int farmode = 0;   // 1: clumps beyond R2 enter as far-zone multipoles
  int mmax = 0, nterms = 0;
  long Nseed = 0, rseed = 0, gseed = 0;  // seeds at the start of the last draw
  long ndrawn = 0;   // clumps drawn in the last realisation (before the clumpRmax cut)
  double m = 0, meff = 0, q = 0, beta = 0;
  double Rmin = 0, Rmax = 0, r0 = 0, Rfac = 0, R1 = 0, R2 = 0;
  double Nexp = 0;
  double xout = 0, yout = 0, kapout = 0;
  double parms[5] = {};
  Vec rtab, Ptab;                 // [1..Nrad] radial table
  Vec choldiag, coef, mean;       // [1..nterms] far zone
  Mat cov, chol;                  // [1..nterms][1..nterms]
  bool farzero = false;           // far zone of zero width: coefficients 0, no statistics
  int Nang = 0;                   // angular steps of the far-zone set-up
  std::shared_ptr<ClumpNode> root;  // clump tree (empty: freed)
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
  // Cache settings kept to rebuild the grids after every draw: the offsets of the grid
  // limits from each image and the numbers of points, and the image positions.
  double subsave_lim[4] = {};  // dx lo, dx hi, dy lo, dy hi
  int subsave_nx = 0, subsave_ny = 0;
  Mat subsave_img;             // [1..subsaveN][1..2]

  Mat clumppos;               // [1..maxclumps][1..4] clump positions of the current model
  int nclumppos = 0;
  double clumpRmax = 0;       // > 0: clumps at a major-axis radius >= clumpRmax are dropped
  // Size relations of nfw and pow clumps: [0] on, [1] m0, [2] R0, [3..5] rs value, alpha,
  // beta, [6..8] rt value, alpha, beta.
  double NFWclumparr[11] = {};
  // Far-zone settings: mode (0 explicit, 1 Gaussian far zone, 2 test), r0, Rfac, mmax,
  // Nrad, Nang.
  double SCfarp[6] = {0, 0, 0, 0, 1000, 1000};
  long treecount = 0;         // nodes evaluated (reset by its reader)
  // Model-file output of exactly evaluated clumps: while OMEGAout is open, OMEGAarr[0] is
  // the cut radius plus 1, [1..3] the clump's x, y, mass, [4] the number of lines written.
  double OMEGAarr[5] = {};
  FILE* OMEGAout = nullptr;
};
extern ClumpState TWclump;

// Frees the tree of every population, then the table.
void free_clumpvec(BVec<ClumpPop>& table);

// ---- clump profiles ----
// Size of a clump for the tree's extent; fatal for an unknown type or a negative radius.
double clump_size(int ctype, const double* cparms, double mass);
// The profile record of one clump (checks its radii).
ClumpProfile clump_profile(int ctype, const double* cparms, double mass);
// Potential, radial deflection, convergence and shear magnitude at distance r.
void clump_profile_eval(const ClumpProfile& p, double r, double& phi, double& alpha, double& kappa,
                        double& gamma);
void clump_calc(int ctype, const double* cparms, double& phi, double& alpha, double& kappa, double& gamma,
                double mass, double r);
// E1(x) for the potential of a gaus clump: series below 1, continued fraction above, 0
// beyond 40.
double clump_E1(double x);

// ---- the tree ----
void TreeInit(ClumpNode& node, double xlo, double xhi, double ylo, double yhi);
void TreeInsert(const double* cparms, int ctype, ClumpNode& node, double x, double y, double mass);
// Files many clumps of one type at once: {x, y, mass} triples, inserted in the order of the
// tree's quadrants (the tree is the same as for one-by-one insertion, built faster).
struct ClumpXYM {
  double x, y, mass;
};
void TreeInsertAll(const double* cparms, int ctype, ClumpNode& node, std::vector<ClumpXYM>& clumps);
void TreePrune(ClumpNode& node);
void TreeFree(ClumpNode& node);
// Adds the field of a population's clump tree at (x, y) to out[1..6]; nothing when the
// tree is empty or freed.
void TreeCalc(const ClumpNode* root, DerivVector& out, double x, double y);
// The same with parameter derivatives asked for: warns, zeroes out[7..10] and dp.
void TreeCalc(const ClumpNode* root, DerivVector& out, Mat& dp, double x, double y);
// Appends the clumps inside the box to table[count+1..][3..4] up to capacity rows.
void TreeClumpPos(const ClumpNode& node, int capacity, int& count, Mat& table, double xlo, double xhi,
                  double ylo, double yhi);
// Shrinks the box away from the clumps' zones: 1 shrunk, 0 untouched, -1 midpoint covered.
int TreeCheckBox(double& xlo, double& xhi, double& ylo, double& yhi, const ClumpNode& node);
void TreeWritePt(FILE* f, const ClumpNode& node);
void TreeWriteBox(FILE* f, const ClumpNode& node);

// Adds the far-zone multipole field of component j's population at (x, y) to out[1..6].
void ClumpMpoleCalc(int j, DerivVector& out, double x, double y);
// The basis of the far-zone field at offset (dx, dy) from the parent's centre: b[s][t] for
// slots s = 1..6 and terms t = 1..nterms (stored at b[(s - 1) * nterms + t - 1]).
void clump_mpole_basis(int mmax, double r0, double dx, double dy, double* b);
