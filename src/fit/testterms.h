// The hooks of the test term (fit/chitest.h) and the pixelated-source term (fit/pixsrc.h)
// in the chi-squared assembly.
#pragma once

#include "numeric/alloc.h"

// Adds the test term to slot 5 (parameter limits); a start model with a lognormal factor
// beyond its support keeps the error.
void chitest_func(const Mat& params);
// Adds the pixelated-source term to slot 7 (rings), unless slot 5 already exceeds 1e8.
void chipixsrc();
