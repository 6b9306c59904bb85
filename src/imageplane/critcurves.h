// Critical curves and caustics of the current mesh.
#pragma once

#include "numeric/alloc.h"

// The critical points of the current model: rows [1..ncrit] of x, y (image plane) and
// u, v (source plane).
struct CritPointList {
  int ncrit = 0;
  Mat crit;
};
extern CritPointList TWcrit;

// Rebuilds the critical-point list from the mesh (run at the end of every grid build).
void find_crit();
