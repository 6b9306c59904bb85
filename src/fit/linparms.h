// Linear parameters (setting linparms): parameters that enter the lens equation linearly
// (normalisations, which scale a component's deflection, and the components of an
// external shear) are solved directly for every trial model, so that the optimiser only
// searches the others.
//
// Schemes, by the value of linparms (components in model order; the observed images of
// source 1, and of source 2 where source 1 has fewer than four images, plus the
// registration shift of source 1):
//   1   shear (gamma1, gamma2) of component 1, from pair 1 (images 1, 2 of source 1)
//   2   b of component 1 and the shear magnitude of component 1 at its angle, pair 1
//   3   b of components 1 and 2, pair 1
//   4   b of components 1 to 4, pairs 1 and 2
//   5   b of components 1 to 4 and the source, least squares over source 1
//   6   b of components 1 and 2, the shear of component 1 and the source, least squares
//   31  b of component 1, its shear and the source, least squares
//   44  b of components 1 and 2 and the shear of component 1, pairs 1 and 2
//   99  b of components 1 and 2, the shear magnitude of component 1 and parameter 8 of
//       component 3, pairs 1 and 2
//   90  a common factor of the deflection (b of component 1 of class alpha, alphapot or
//       boxypot), the shear of component 1 about its centre and the source, least
//       squares with the full error ellipses of source 1's images
// Pair 2 is images 1 and 3 of source 1 when it has four or more images, else images 1
// and 2 of source 2. The source position a scheme solves is not kept.
//
// Each coefficient multiplies the deflection of its component alone (without shear);
// everything not solved (the other components, every other shear) is the rest of the
// model, whose deflection is subtracted. A singular system or a solution that is not
// finite keeps the trial's values, with a warning once per command run.
#pragma once

#include "numeric/alloc.h"

// Sets the linear parameters of gparams [1..NGALMAX][1..10] in place and leaves gparams
// loaded (scheme 90: with the grid flag of calc_chi).
void auto_parms(Mat& gparams);
// Scheme 90.
void linp90(Mat& gparams);
// a^T M b for a[1..2], b[1..2] and M[1..2][1..2].
double linp90dot(const Vec& a, const Mat& M, const Vec& b);
