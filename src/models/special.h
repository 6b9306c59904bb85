// Closed-form special potentials: process-wide coefficient stores, their set-up commands,
// and the plane-wave / Gaussian random-field lenses that are not in the class table.
//
// The class routines themselves (convrg, ptmass, clus3, fourmode, nonpar, monopole,
// mpole, foldcaus, ArnoldADE, boxypot, unidisk, kuzdisk) are declared in models/classes.h.
#pragma once

#include "numeric/alloc.h"
#include "shell/words.h"

struct SpecialPotentialState {
  // Coefficients of the idealised fold, indices 1..10 in the order K e f g h k m n p r.
  double foldcaus_dat[11] = {};
  // Gaussian random field: number of modes and their phases [1..gausran1n] (radians).
  int gausran1n = 0;
  Vec gausran1arr;
};
extern SpecialPotentialState TWspecial;

// Letters naming the ten fold coefficients, in index order 1..10 (entry 0 unused).
extern const char* const kFoldCausNames[11];

// Commands.
void setfoldcaus(const WordArray& words);
void setfoldcaushelp(int level);
void setgausran1(const WordArray& words);
void setgausran1help(int level);
void loadnonpar(const WordArray& words);
void loadnonparhelp(int level);
void MTseries(const WordArray& words);
void MTserieshelp(int level);

// Placeholders of the non-parametric model (the model set-up calls nonpar_init for every
// "nonpar" component): they do nothing.
void nonpar_init();
void nonpar_clear();
void nonpar_load();

// Draws the phases gausran1arr[1..gausran1n] = 2 pi U_i from settings.seed (advanced).
void initgausran1();

// Plane-wave lens along x and the Gaussian random-field lens of the current component
// (amplitude b = cur.b, wavelength s = cur.ss); results through the six outputs.
void gausran0(double x, double& phi, double& phix, double& phiy, double& phixx, double& phiyy,
              double& phixy);
void gausran1(double x, double y, double& phi, double& phix, double& phiy, double& phixx,
              double& phiyy, double& phixy);
