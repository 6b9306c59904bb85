// The test term and the pixelated-source term of the fitter.
#pragma once

#include "numeric/alloc.h"

// Adds the test term to slot 5.
void chitest_func(const Mat& params);
// Adds the pixelated-source term to slot 7.
void chipixsrc();
