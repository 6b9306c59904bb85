// Einstein radius, mass rescaling and multipole moments of the current model about its
// first component:
//
//   calcRein [number of theta steps] [outname]
//   setMrat <Rein> <ntheta> [list of mass fractions]
//   thetaEin <M (h^-1 Msun)>
//   moments <r0> <mmax> <nr> <ntheta> [outname]
//
// The Einstein radius is where the mean convergence inside a circle about component 1,
// averaged over ntheta angles, reaches 1: the root of R minus the mean radial deflection
// on the circle of radius R.
#pragma once

#include "shell/words.h"

// State of the Einstein-radius search: the number of angles of the azimuthal average and
// the centre (component 1 of the loaded model), set by do_calcRein.
struct ReinState {
  int calcRein_nt = 1;
  double xc = 0, yc = 0;
};
extern ReinState TWrein;

// The value do_calcRein returns when no radius is bracketed.
constexpr double kNoRein = -1e9;

// R minus the mean radial deflection on the circle of radius R about (TWrein.xc, yc),
// averaged over TWrein.calcRein_nt angles. With one angle the deflections at (xc + R, yc)
// and (xc, yc + R) must agree within xtol, else "in calcRein, model is not spherical".
double calcRein_func(double R);
// The Einstein radius of the loaded model with nt angles (nt >= 1); stores the centre in
// xc, yc. Warns "could not bracket Rein" and returns kNoRein when the radial range holds
// no radius.
double do_calcRein(int nt, double& xc, double& yc);

void calcRein(const WordArray& words);
void calcReinhelp(int level);
void setMrat(const WordArray& words);
void setMrathelp(int level);
void thetaEin(const WordArray& words);
void thetaEinhelp(int level);
void moments(const WordArray& words);
void momentshelp(int level);
