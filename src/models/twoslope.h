// Two-slope profiles: "nuker" (a broken power law in projection) and "cusp" (a
// three-dimensional density with inner index alpha and outer index n), with the tabulated
// "cuspT". The class routines and cusp_rho / cusp_M are declared in models/classes.h;
// these are the radial functions of the current component, for tests and tools.
#pragma once

#include "models/derivs.h"

// "nuker" (current component: b, alpha_N = ss, beta = aa, gamma = al).
// Circular deflection over N = q b 2^((beta - gamma)/alpha_N) at radius x.
double nuker0phir(double x);
// 2F1(a, c; a + 1; -x^alpha_N), a = (2 - gamma)/alpha_N, c = (beta - gamma)/alpha_N.
double nuker_hyp(double x);
// kappa~ = x^-gamma (1 + x^alpha_N)^(-(beta - gamma)/alpha_N) and d kappa~/d(x^2).
void nuker_kappa(double x, double& k, double& dk);

// "cusp" (current component: b, s = ss, n = aa, alpha = al).
// Deflection over F = q b/(2 pi s) of the circular model at radius xi (length units).
double cusp0phir(double xi);
// K(xi/s) and dK/d(xi^2).
void cusp_kappa(double& K, double& dK, double xi);

// Not implemented: ends the program with "nukerT has not been implemented".
[[noreturn]] void nukerT(DerivVector& out, double x, double y);
