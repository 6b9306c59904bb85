// Root-finder support: the failure reports of mnewt and zbrent.
#include "numeric/roots.h"

#include <cstdio>

namespace roots_detail {

bool has_zero_row(const Mat& fjac, int n) {
  for (int i = 1; i <= n; i++) {
    bool zero = true;
    for (int j = 1; j <= n && zero; j++) zero = fjac[i][j] == 0.0;
    if (zero) return true;
  }
  return false;
}

void zbrent_unbracketed(double x1, double f1, double x2, double f2) {
  // Written to standard output itself, not to the message stream.
  std::printf("zbrent: a=%e f(a)=%e : b=%e f(b)=%e\n", x1, f1, x2, f2);
  std::fflush(stdout);
  nrerror("Root must be bracketed in zbrent");
}

}  // namespace roots_detail
