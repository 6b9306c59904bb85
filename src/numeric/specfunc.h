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
// The continued fraction of the upper incomplete Gamma function, Gamma(a, x) = e^-x x^a h,
// by the modified Lentz method: h, once a step changes it by less than eps relative; false
// when itmax steps did not get there (h then holds the last value).
bool gcf_fraction(double a, double x, double eps, int itmax, double& h);

// The (unregularised) upper incomplete Gamma function Gamma(a, x) for a > -1, x >= 0:
// Gamma(a) Q(a, x) for a > 0; the exponential integral E1(x) for a = 0 (the integral of
// gamQint from 1e-6 e^-x to e^-x); the downward recurrence for -1 < a < 0. At x = 0 with
// a <= 0 the function diverges and the result is +infinity. Ends with "cannot evaluate
// Gamma(a,x) for x<0" for x < 0 and "should not reach this point in gamQfunc()" for
// a <= -1.
double gamQfunc(double a, double x);
// -1/ln t: the integrand of gamQfunc for a = 0 (E1 under the substitution t = e^-u).
double gamQint(double t);

// ---- Gauss hypergeometric function 2F1(a, b; c; x) ----

// Power series, returned when a term falls below 1e-6 of the sum; after 100 terms prints
// "QVM hyperser a b c x" on standard output and ends with "Hypergeometric series
// convergence failed".
double hyperser(double a, double b, double c, double x);
// The hypergeometric equation as a first-order system in t in [0, 1], z = x0 + t dx:
// y[0] = F, y[1] = dF/dz.
struct HypEquation {
  double a, b, c, x0, dx;
};
void hyp_intgnd(const HypEquation& p, double t, const double* y, double* dydt);
// 2F1 by integrating its differential equation from x0 = 0.5 (x > 0) or -0.5 (x <= 0)
// to x with tolerance settings.inttol and at most 50 trial steps.
double hyperint(double a, double b, double c, double x);
// 2F1 for x < 1: series for |x| <= 0.5, differential equation elsewhere; x >= 1 (or not a
// number) ends with "Cannot evaluate evaluate hypergeometric function for x>=1".
double hypergeom(double a, double b, double c, double x);
// 2F1 for x < 1: series for |x| <= 0.5; for 0.5 < x < 1 the connection formula in 1 - x,
// or, where c - a - b lies within 0.001 of an integer, its limit form (logarithmic at the
// integer itself; the power series in x, summed to full precision, where large a and b
// make the limit form cancel too much); Pfaff's transformation for x < -0.5. Ends with "hypgeo cannot evaluate
// evaluate hypergeometric function for x>1" for x > 1, and after printing "hypgeo a b c x"
// with "should not reach this point in hypgeo()" for x = 1 or a NaN.
double hypgeo(double a, double b, double c, double x);

// ---- Appell's F1(a; b1, b2; c; x, y) ----

// Double series summed over square shells max(m, n) = i until a shell changes the sum
// by at most settings.inttol relative; after shell 100 ends with "Appell F1 series
// convergence failed".
double appellF1ser(double a, double b1, double b2, double c, double x, double y);
// Parameters of Picard's integral.
struct AppellF1Params {
  double a, b1, b2, c, x, y;
};
// t^(a-1) (1-t)^(c-a-1) (1-xt)^(-b1) (1-yt)^(-b2), and the same after t = s^(1/a).
double aF1_func1(const AppellF1Params& p, double t);
double aF1_func2(const AppellF1Params& p, double s);
// F1 by Picard's integral (integrate1): a >= 1 and c - a >= 1 directly, 0 < a < 1 and
// c - a >= 1 after the substitution; otherwise ends with "don't know how to handle (a,c)
// values in Appell F1 integral".
double appellF1int(double a, double b1, double b2, double c, double x, double y);
