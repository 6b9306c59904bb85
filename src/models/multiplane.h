// Multi-plane lensing: the ray recursion through the lens planes of LOS (models/evaluator.h)
// and the void-correction tables that replace the homogeneous coupling factors.
//
// The planes and their matrices are built by initLOS and calcLOSmatrices (core/lens_model.h);
// this file evaluates them. The recursion for an image position theta, planes i = 1..N+1
// (N+1 the source) in redshift order:
//   x_i = B_i theta - sum_{j<i} C_ji alpha_j,   A_i = B_i - sum_{j<i} C_ji Phi_j A_j,
// with alpha_j, Phi_j the deflection and tidal matrix of plane j's component at x_j. The
// source position is beta = x_{N+1}, the Jacobian A = A_{N+1}.
//
// The potential returned in out[1] is built so that 1/2 |theta - beta|^2 - out[1] is the
// Fermat potential along the traced ray: a time delay at an image. It is NOT a lensing
// potential: its gradient is not (phi_x, phi_y), and nothing may differentiate it.
#pragma once

#include "models/derivs.h"
#include "numeric/alloc.h"

// Fills the multi-plane matrices for the model's redshifts z and a source at redshift zs:
// the core's calcLOSmatrices, installed by its start-up, for the image-plane code that
// rescales a model to another source redshift.
extern void (*rebuild_los_matrices)(const Vec& z, double zs);

// Ends the program with "cannot currently handle clumps with multiple lens planes" while
// clumps with a nonzero weight are in use and some component has a clump population.
void los_check_clumps();

// Position part of the recursion: the position in plane p (1..N) of the ray through the
// image position (x, y). Leaves component 1 loaded.
void los_plane_position(int p, double x, double y, double& xp, double& yp);

// Loads component k and evaluates it with its external shear at (x, y) in its own plane:
// f = potential, phi_x, phi_y, phi_xx, phi_yy, phi_xy (zeros when it is off or cut).
void los_plane_field(int k, double x, double y, double f[6]);

// (Re)sizes the evaluator's scratch for LOS.nplane planes.
void los_size_scratch();

// ---- void corrections ----

// Tables of the mass-completeness corrections (command masscomplete). Nmasscomp 0: off.
struct MassComplete {
  int Nmasscomp = 0;
  Mat masscomp;  // [1..3][1..Nmasscomp]: redshift, completeness, PMdist(0, z) of each node
  Mat betahat;   // [1..Nmasscomp][1..Nmasscomp] coupling factor (deflecting, receiving node)
  Mat deriv;     // the working derivative table of the focusing equation
  Mat tauhat;    // time-delay factor
  // The settings the tables were built for.
  double zlens = 0, zsrc = 0, omega = 0, lambda = 0;
};
extern MassComplete TWvoid;

// Builds the tables from completeness points z[1..n], c[1..n] (z increasing, checked by the
// caller) with node spacing dz > 0, for the present zlens, zsrc, omega and lambda.
void build_masscomplete(const Vec& z, const Vec& c, int n, double dz);

// Interpolated (betahat, tauhat) for a deflecting plane at redshift zi, distance Di and a
// receiving plane at zj, Dj. Ends the program when zref >= 1000, when zi is at or beyond
// the last node, and when the tables were built for other redshifts or another cosmology.
void voidcorrect(double zi, double Di, double zj, double Dj, double& b, double& f);
