// Burkert, Jaffe and Hernquist profiles: radial functions shared by their numerical and
// tabulated classes, and the routines of the family that are not in the class table.
//
// The class routines "burkert", "jaffe", "jaffeT", "hern", "hernT" and the density/mass
// pairs of Jaffe and Hernquist are declared in models/classes.h.
#pragma once

#include "models/derivs.h"

// Radial deflection functions of the circular profiles in units of b s (q = 1), at the
// dimensionless radius X = r/s; 0 at X = 0.
double burkert0phir(double X);
double jaffe0phir(double X);
double hern0phir(double X);

// Dimensionless convergences kappa~(X) (the convergence is b kappa~ for q = 1) and their
// derivatives with respect to X^2, with the branches the elliptical integrands use.
void burkert_kappa(double X, double& k, double& dk_dX2);
void jaffe_kappa(double X, double& k, double& dk_dX2);
void hern_kappa(double X, double& k, double& dk_dX2);

// The tabulated Burkert model: built on the tabulated pattern with "burkert" as its
// fallback, but not registered as a class.
void burkertT(DerivVector& out, double x, double y);
// Density and mass of the Burkert profile: not registered; each ends the program.
[[noreturn]] double burk_rho(double r);
[[noreturn]] double burk_M(double r);
