// The lens model set: the reference models that the user specifies, one list of class
// names, parameters and redshifts per model (set up and changed by the core's commands).
#pragma once

#include <string>

#include "numeric/alloc.h"

// One lens model: class names, parameters and redshifts of components 1..Ngal, with the
// per-component factors that the redshifts give.
struct LensModel {
  BVec<std::string> names;  // [1..Ngal] class names; "none" marks an empty slot
  Mat p;                    // [1..Ngal][1..10] parameters as given
  Vec z;                    // [1..Ngal] redshifts (-1 without the redshift flag)
  Vec tau;                  // [1..Ngal] time-delay distance factor of the component's plane (-1)
  Vec bridge;               // [1..Ngal] bridge scale (1 at the lens redshift; -1 without redshifts)
  // Makes every row "none" with parameters 0 and z, tau, bridge -1.
  void allocate(int ngal);
};

struct ModelSet {
  int Ngal = 0;          // components per model
  int Nref = 0;          // number of models
  BVec<LensModel> ref;   // [1..Nref]; model 1 is the one the commands load
  IMat refv;             // [1..NGALMAX][1..10] vary flags, one set for all models (0 fixed)
};
extern ModelSet TWref;

// Ends the program with "no lens model has been specified" while no model set exists.
void require_model();
