// Flux and time-delay terms of one observed source against its model image set.
//
// mod starts as a copy of obs holding, per image, the model magnification in the flux
// slots and the raw model delay (|x - u|^2/2 - phi) in the delay slot; the terms turn
// them into model fluxes and delays in days. An image with core != 0 is skipped.
// A flux error > 0 is a flux error, < 0 an error in magnitudes, exactly 0 "not
// measured"; a delay error <= 0 means no measured delay.
#pragma once

#include "fit/fit_data.h"

// Flux chi-squared summed over the bands of obs; solves the source flux per band by
// least squares (or takes it from an exact tie, or keeps the given one when it is not
// varied or no flux of the band is measured) and writes it into sparms[isource][1],
// the source tables and mod.fsrc.
double procflux(const SrcData& obs, SrcData& mod, Mat& sparms, int isource);
// Delay chi-squared including the prior on 1/h; solves the scale 1/h and the zero point
// by least squares and writes mod's delays and h.
double proctdel(const SrcData& obs, SrcData& mod);
