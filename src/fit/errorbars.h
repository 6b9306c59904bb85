// Monte Carlo error bars of the model parameters: the observed data are perturbed with
// Gaussian noise of their quoted errors, the model is re-fitted to each noisy data set,
// and the mean and dispersion of every parameter over the realisations are reported.
//
// Files: B.dat (the best-fit report of each realisation, flushed one by one) and B.err
// ("PARMS:", "MEANS:" and "ERRORBARS:", each followed by component lines).
#pragma once

#include "fit/fit_data.h"
#include "numeric/random.h"
#include "shell/words.h"

// Noise of one datum of error sigma: sigma times a standard normal deviate, or 0 for an
// error of 1000 or more (a datum that is not to be perturbed).
double addnoise(double sigma, RandomStream& r);
// One realisation of a flux of error sig: a positive error is absolute; an error in
// (-1000, 0) is |sig| magnitudes, so the flux is scaled by 10^(-0.4 |sig| G) and keeps its
// sign; an error of 0 or of magnitude 1000 or more leaves the flux as it is.
double noisy_flux(double flux, double sig, RandomStream& r);
// One realisation of a delay: perturbed exactly when its error is positive and below 1000
// (the delays the delay term uses).
double noisy_delay(double tdel, double sig, RandomStream& r);
// Perturbs a galaxy and a source of observed data in place (positions along the axes of
// their error ellipses), drawing in the command's order.
void perturb_galaxy(GalData& g, RandomStream& r);
void perturb_source(SrcData& s, RandomStream& r);

void errorbars(const WordArray& words);
void errorbarshelp(int level);
