// The uniform convergence sheet and the point mass.
//
// Sources: the point-mass lens of Einstein 1936, Science 84, 506; the uniform sheet is the
// mass sheet of Falco, Gorenstein & Shapiro 1985, ApJ 289, L1. Both are in Schneider, Ehlers
// & Falco 1992, Gravitational Lenses (Springer).
#include <cmath>

#include "models/classes.h"
#include "models/component.h"

namespace modelclass {

// Uniform sheet of convergence kappa = b: phi = kappa r^2 / 2.
void convrg(DerivVector& out, double x, double y) {
  const double k = cur.b;
  out[1] = k * (x * x + y * y) / 2.0;
  out[2] = k * x;
  out[3] = k * y;
  out[4] = k;
  out[5] = k;
  out[6] = 0.0;
}

// Point mass of Einstein radius b: phi = b^2 ln r; zero at the centre and for b = 0.
void ptmass(DerivVector& out, double x, double y) {
  const double r2 = x * x + y * y;
  if (cur.b == 0.0 || r2 == 0.0) return;
  const double b2 = cur.b * cur.b, r4 = r2 * r2;
  out[1] = 0.5 * b2 * std::log(r2);
  out[2] = b2 * x / r2;
  out[3] = b2 * y / r2;
  out[4] = -b2 * (x * x - y * y) / r4;
  out[5] = b2 * (x * x - y * y) / r4;
  out[6] = -2.0 * b2 * x * y / r4;
}

}  // namespace modelclass
