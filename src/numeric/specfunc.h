// Special functions of real arguments used by the analytic mass profiles: the Gamma
// family (log-Gamma, Gamma at negative arguments, digamma), the regularised and the
// unregularised incomplete Gamma functions, the Gauss hypergeometric function 2F1 and
// Appell's function F1.
//
// Two failure styles: domain and convergence failures of gamfunc, gamQfunc, hyperser,
// hypergeom, hypgeo and the Appell routines end through fatal() ("ERROR: ..."); those of
// gammp, gammq, gser and gcf through nrerror(). No routine returns an error value.
//
// Every routine is re-entrant: parameters travel with the call, nothing is kept in
// process-wide variables.
#pragma once

// ---- Gamma family ----

// ln Gamma(x) for x > 0 (Lanczos approximation, relative accuracy about 2e-10).
double gammln(double x);
// Gamma(x) for every x that is not a pole. x = 0 ends with "cannot evaluate Gamma(0)";
// x = -1 and x = -2 give an infinity; the poles at or below -3 end with
// "Cannot do gamma functions for arguments <= -3".
double gamfunc(double x);
// The digamma function psi(x) = d ln Gamma / dx (derivative of the same Lanczos form);
// arguments at or below -1 use the reflection formula.
double digamm(double x);

// ---- incomplete Gamma functions ----

// Regularised lower incomplete Gamma P(a, x), a > 0, x >= 0 (series below x = a + 1,
// continued fraction above; relative accuracy about 3e-7).
double gammp(double a, double x);
// Regularised upper incomplete Gamma Q(a, x) = 1 - P(a, x).
double gammq(double a, double x);
// P(a, x) by its series; the result is also written to gamser, ln Gamma(a) to gln.
double gser(double& gamser, double& gln, double a, double x);
// Q(a, x) by its continued fraction; the result is also written to gammcf, ln Gamma(a)
// to gln.
double gcf(double& gammcf, double& gln, double a, double x);
