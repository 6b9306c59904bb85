// The lens model set and its model records.
#include "models/model_set.h"

#include "shell/fatal.h"

ModelSet TWref;

void LensModel::allocate(int ngal) {
  names.reset(1, ngal);
  names.fill("none");
  p.reset(1, ngal, 1, 10);
  z.reset(1, ngal);
  z.fill(-1.0);
  tau.reset(1, ngal);
  tau.fill(-1.0);
  bridge.reset(1, ngal);
  bridge.fill(-1.0);
}

void require_model() {
  if (TWref.Nref < 1 || TWref.Ngal < 1) fatal("no lens model has been specified");
}
