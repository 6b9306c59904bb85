// Point images: the solver of the lens equation for a point source on the tiled image
// plane, time delays, the re-solve under clump substructure, and the current-source
// switch that image finding goes through.
//
// An image list (ImageList) is a matrix [1..n][1..9], one row per image:
//   1, 2  image position x, y
//   3     signed magnification mu = 1/det A (an extended source: the image's flux)
//   4     lens potential phi at the image (a time delay after pot2tdel)
//   5..8  phi_xx, phi_yy, phi_xy, phi_yx
//   9     +1 (callers may use it as their own mark)
// The list belongs to the caller; it is empty when n is 0.
//
// Solving (find_img for a point source): the tiles (mesh triangles) listed in the source's
// catalogue cell whose source-plane triangle holds the source are solved by a Newton
// iteration started inside the tile, with random restarts. Near critical curves the
// triangle of a tile's vertex images is a poor guide to where its images are: tiles that
// straddle a critical curve and whose folded image may hold the source are searched on
// finer and finer subtriangles, and the tiles next to them are also tried when the
// source lies just outside their triangle, so that image pairs close to a fold or a cusp
// are not lost between the grid nodes; subtriangles next to the curve whose linear image
// just misses the source are split further. Beyond the outer ring of a polar main grid the
// caps of the catalogue (catalog.h) are searched like tiles, so that the whole disc
// r <= gridhi1 is covered. Solutions that coincide within xtol are one image; those closer
// than seeing are merged into one. A converged solution takes one more Newton step when
// that lowers its residual.
#pragma once

#include <cmath>

#include "numeric/alloc.h"

// State of the current source as image finding sees it.
struct CurrentSourceState {
  int usefinsrc = 0;  // 0: the current source is a point source; 1: an extended source
  // Scale factor of every extended source's size at fixed flux (1 but while the fitter
  // evaluates a band with a size factor of its own).
  double srcsize = 1.0;
};
extern CurrentSourceState TWcursrc;

// Makes source i current (isource = i); with move nonzero puts it at (u, v) (its position
// parameters keep the move); sets usefinsrc from its class. An index outside
// 1..Nsource ends the program with an ERROR.
void setfinsrc(int i, int move, double u, double v);

// Images of the current source (isource) placed at (u, v), which stays there afterwards:
// the point path below, or for an extended source find_img_finsrc (finite_source.h).
void find_img(int& n, Mat& list, double u, double v);
// The point-source solver (find_img after setfinsrc for a point source).
void find_img_ptsrc(int& n, Mat& list, double u, double v);

// Column 4 from potential to time delay, (|x - u|^2/2 - phi) g with g = tscale/hval when
// |tscale - 1| > 0.001, else 1; with shift nonzero the earliest delay becomes 0; the rows
// are then ordered by ascending delay. Nothing for n = 0.
void pot2tdel(int n, Mat& list, int shift, double u, double v);
// The inverse conversion of column 4 only (no un-shifting, no reordering).
void tdel2pot(int n, Mat& list, double u, double v);

// Re-solves each image under clump substructure (only with clumpmode 2): each image is
// searched again in the square of half-width d about it (d < 0: the finest subgrid
// spacing of the main grid); failed images are dropped, and an earlier image is dropped
// when a later one of the same parity sign lies within 2 min(0.001, xtol).
void pert_img(int& n, Mat& list, double u, double v, double d);

// ---- pieces of the solver, exposed for tests ----

// Position code of the point (qu, qv) against the triangle P1 P2 P3: 1, 2, 3 when within
// xtol of that vertex; 9 strictly inside; -3, -1, -2 on edge P1-P2, P2-P3, P3-P1; 0
// outside (or a degenerate triangle).
int intriangle(double u1, double v1, double u2, double v2, double u3, double v3, double qu, double qv);
// True when omitcore > 0 and a corner of mesh triangle t (0-based) is a maximum of the
// time-delay surface (a galaxy's core).
bool ingalcore(int t);
// Parity of a point from its second derivatives: 1 both eigenvalues of A positive
// (minimum of the time-delay surface), -2 both negative (maximum), -1 otherwise (a NaN
// included). Inline: the grid build classifies every node with it.
inline int lens_parity(double phixx, double phiyy, double phixy, double phiyx) {
  const double t = 2.0 - phixx - phiyy;
  const double det = (1.0 - phixx) * (1.0 - phiyy) - phixy * phiyx;
  // det < 0: the eigenvalues have opposite signs, a saddle. In floating point too: disc is
  // then at least the rounded t * t, whose rounded root is |t| exactly while t * t is a
  // normal number, so the smaller eigenvalue is at most 0 and the larger at least 0 (an
  // overflow to infinity keeps that). No root needed for these points.
  if (det < 0.0 && std::fabs(t) > 1e-150) return -1;
  const double disc = t * t - 4.0 * det;
  if (!(disc >= 0.0)) return -1;
  const double sq = std::sqrt(disc);
  const double l1 = 0.5 * (t + sq), l2 = 0.5 * (t - sq);
  if (l1 > 0.0 && l2 > 0.0) return 1;
  if (l1 < 0.0 && l2 < 0.0) return -2;
  return -1;
}
