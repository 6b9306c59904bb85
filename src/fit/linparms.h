// Linear parameters: solved directly at every evaluation (setting linparms).
#pragma once

#include "numeric/alloc.h"

// Sets the linear parameters of gparams [1..NGALMAX][1..10] in place.
void auto_parms(Mat& gparams);
