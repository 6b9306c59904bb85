// Quadrature support: polynomial extrapolation (polint) and the failure reports of the
// integrators.
#include "numeric/integrate.h"

#include <string>
#include <vector>

namespace integrate_detail {

void too_many_steps() { fatal("too many steps in numerical integration"); }

void romberg_failure(const char* routine) {
  nrerror(std::string("Too many steps in routine ") + routine);
}

}  // namespace integrate_detail

void polint(const double* xa, const double* ya, int n, double x, double& y, double& dy) {
  dy = 0.0;
  if (n <= 0) {
    y = 0.0;
    return;
  }
  // Neville's tableau: c and d are the corrections towards the higher- and the
  // lower-index points of the current column.
  constexpr int kStack = 32;
  double cbuf[kStack], dbuf[kStack];
  std::vector<double> heap;
  double* c = cbuf;
  double* d = dbuf;
  if (n > kStack) {
    heap.resize(2 * static_cast<size_t>(n));
    c = heap.data();
    d = heap.data() + n;
  }
  int ns = 0;
  double dif = std::fabs(x - xa[0]);
  for (int i = 0; i < n; ++i) {
    const double dift = std::fabs(x - xa[i]);
    if (dift < dif) {
      ns = i;
      dif = dift;
    }
    c[i] = ya[i];
    d[i] = ya[i];
  }
  // Start from the nearest tabulated value and walk the tableau keeping to its middle.
  y = ya[ns--];
  for (int m = 1; m < n; ++m) {
    for (int i = 0; i < n - m; ++i) {
      const double ho = xa[i] - x, hp = xa[i + m] - x;
      const double w = c[i + 1] - d[i];
      double den = ho - hp;
      if (den == 0.0) nrerror("Error in routine polint");
      den = w / den;
      d[i] = hp * den;
      c[i] = ho * den;
    }
    dy = 2 * (ns + 1) < n - m ? c[ns + 1] : d[ns--];
    y += dy;
  }
}
