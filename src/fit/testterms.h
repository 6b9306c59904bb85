// The hooks of the test term (fit/chitest.h) and the pixelated-source term (fit/pixsrc.h)
// in the chi-squared assembly.
#pragma once

#include "numeric/alloc.h"

// The test term, which calc_chi adds to slot 5 (parameter limits); a start model with a
// lognormal factor beyond its support keeps the error.
double chitest_func(const Mat& params);
// The pixelated-source term, which calc_chi adds to slot 7 (rings); 0 when slot 5, the
// test term included, already exceeds 1e8 (plim) or the test term rejected the model.
double chipixsrc(double plim);
