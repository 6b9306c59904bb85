// Placeholder routines of the class registry.
#include "models/classes.h"
#include "models/component.h"
#include "shell/fatal.h"

namespace modelclass {

void not_built(DerivVector&, double, double) {
  fatal("model class " + std::string(cur.ID) + " is not available in this build");
}

void dummy(DerivVector& out, double, double) { out.zero(); }

void rgstfunc(DerivVector& out, double, double) {
  out.zero();
  warning("YOU SHOULD NOT HAVE ENTERED rgstfunc!");
}

void LOSshrfunc(DerivVector& out, double, double) {
  out.zero();
  warning("YOU SHOULD NOT HAVE ENTERED LOSshrfunc!");
}

double dumrho(double) { fatal("3-d density not defined for this model"); }
double dummass(double) { fatal("3-d density not defined for this model"); }

}  // namespace modelclass
