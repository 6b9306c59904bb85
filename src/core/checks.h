// Model checks: the lensing quantities at random points, two models against each other,
// the derivatives of one model against finite differences, the parameter-derivative
// check, and the solver's total magnification near a cusp against closed forms.
//
//   ranpos <outname> <rmin> <rmax> <N> [differential pot/def?]
//   checkmod <outbase> <rmin> <rmax> <Nsamp>
//   checkder <outbase> <rmin> <rmax> <Nsamp> [h]
//   checkPder <x> <y> <dp>
//   checkmag <outname> <du lo> <hi> <# steps>
//
// They leave the model set and the loaded model as they found them.
#pragma once

#include "shell/words.h"

// Histogram bin (0..7) of an error: bin n holds errors near 10^-n, bin 7 also everything
// below 1e-7, bin 0 everything from about 0.3 up and any error that is not finite.
int error_bin(double err);

void ranpos(const WordArray& words);
void ranposhelp(int level);
void checkmod(const WordArray& words);
void checkmodhelp(int level);
void checkder(const WordArray& words);
void checkderhelp(int level);
void checkPder(const WordArray& words);
void checkPderhelp(int level);
void checkmag(const WordArray& words);
void checkmaghelp(int level);
