// Weak lensing: a catalogue of background-galaxy ellipticities constrains the fit through
// the reduced shear that the trial model produces at each galaxy.
//
// Likelihood of one galaxy. The intrinsic ellipticity s is Gaussian,
// p(s) ~ exp(-s1^2/(de1^2 + e_rms^2) - s2^2/(de2^2 + e_rms^2)), normalised over the unit
// disk; the observed ellipticity e follows from s by the lensing map with reduced shear
// g = w gamma/(1 - w kappa) (complex ellipticities, |g| <= 1: e = (s + g)/(1 + conj(g) s);
// |g| > 1: e = (1 + g conj(s))/(conj(s) + conj(g))), so the density of e is p(s(e)) times
// the Jacobian ((|g|^2 - 1)/G)^2 of the inverse map. Both maps take the unit disk onto
// itself, so the density integrates to 1 over the disk of e.
//
// Distance scaling. A galaxy at distance factor w = D_ls/D_os sees the model's convergence
// and shear times w/R0, where R0 is the distance ratio to which the model is referenced
// (the reference redshift "zref"; 1 when it is unset or at infinity), as for point images.
#pragma once

#include "numeric/alloc.h"
#include "shell/words.h"

// The loaded catalogue.
struct WeakCatalog {
  int Nweak = 0;         // galaxies loaded
  double weakerms = 0;   // intrinsic ellipticity dispersion e_rms of the catalogue
  double sigs2 = 0;      // e_rms^2
  double R0 = 1;         // reference distance ratio of the model, taken at load
  Mat weakdat;           // [1..Nweak][1..9]: x y e1 e2 de1 de2 w dw, norm
};
extern WeakCatalog TWweak;

// Working values of one galaxy: its catalogue row and the model at its (shifted) position.
// wk_kap, wk_gam1, wk_gam2 are already referenced (divided by R0), so a distance factor w
// multiplies them directly.
struct WeakGalaxy {
  double wk_x = 0, wk_y = 0, wk_e1 = 0, wk_e2 = 0, wk_de1 = 0, wk_de2 = 0;
  double wk_w = 0, wk_dw = 0, wk_norm = 0;
  double wk_kap = 0, wk_gam1 = 0, wk_gam2 = 0;
  double inv1 = 0, inv2 = 0;  // 1/(de1^2 + sigs2), 1/(de2^2 + sigs2)
  // Loads row i of the catalogue (position shifted by dx, dy) and the inverse widths.
  void load(const WeakCatalog& cat, int i, double dx, double dy);
};

// Likelihood of the galaxy's observed ellipticity at distance factor w.
double wk_prob(const WeakGalaxy& g, double w);
// wk_prob(w + t dw) times the unit normal density of t.
double wk_int(const WeakGalaxy& g, double t);
// (1 - exp(-a))/(2a), a = cos^2 theta/(de1^2 + sigs2) + sin^2 theta/(sigs2 + de2^2): the
// radial integral of the ellipticity Gaussian over the unit disk along theta.
double wk_norm_int(double theta, double de1, double de2, double sigs2);
// 1 / (the integral of the ellipticity Gaussian over the unit disk): Romberg over theta
// when |de1 - de2| >= 0.001, else the closed form for equal errors.
double weak_norm(double de1, double de2, double sigs2);
// D_ls/D_os for a galaxy at redshift z behind the lens at "zlens"; 0 at or in front of it.
double weak_calc_w(double z);
// The reference distance ratio R0 of the model: 1 when "zref" (as the user set it) is
// negative or at least 1000, or when "zlens" is negative; else D(zlens, zref)/D(0, zref).
double weak_reference_ratio();

// Minus twice the log-likelihood of the catalogue under the loaded model (0 without a
// catalogue). Writes "weakpts.tmp" while "tempfiles" is 1.
double weak_chi();
// The weak-lensing term of the fitter (chi slot 8): weak_chi.
double chiweak();

// Start-up: no catalogue.
void init_weak();

// Commands.
void weakdata(const WordArray& words);
void weakdatahelp(int level);
void weakproc(const WordArray& words);
void weakprochelp(int level);
void weakmock(const WordArray& words);
void weakmockhelp(int level);
