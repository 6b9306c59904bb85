// The discrete Fourier transform by its defining sum, the reference of the transform tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "numeric/constants.h"

using cplx = std::complex<double>;

// F_k = sum_j f_j exp(isign 2 pi i j.k / N) over a multi-dimensional array stored with the
// last index fastest (dims[0] slowest).
inline std::vector<cplx> direct_dft(const std::vector<cplx>& f, const std::vector<long>& dims, int isign) {
  const long total = static_cast<long>(f.size());
  const size_t nd = dims.size();
  std::vector<cplx> F(f.size());
  std::vector<long> kidx(nd);
  for (long k = 0; k < total; k++) {
    long r = k;
    for (size_t d = nd; d-- > 0;) {
      kidx[d] = r % dims[d];
      r /= dims[d];
    }
    cplx sum = 0;
    for (long j = 0; j < total; j++) {
      long q = j;
      double phase = 0;  // in turns; the integer part is dropped before the sine and cosine
      for (size_t d = nd; d-- > 0;) {
        phase += static_cast<double>((q % dims[d]) * kidx[d] % dims[d]) / static_cast<double>(dims[d]);
        q /= dims[d];
      }
      phase -= std::floor(phase);
      sum += f[static_cast<size_t>(j)] * std::polar(1.0, isign * 2.0 * kPi * phase);
    }
    F[static_cast<size_t>(k)] = sum;
  }
  return F;
}

// The real values as complex ones.
inline std::vector<cplx> as_complex(const std::vector<double>& x) { return std::vector<cplx>(x.begin(), x.end()); }

// The largest |value| of an array: transforms are compared at a fraction of it.
inline double largest_abs(const std::vector<double>& x) {
  double m = 0;
  for (double v : x) m = std::max(m, std::fabs(v));
  return m;
}

// Every value of got within 1e-12 of the largest |value| of want.
inline void expect_close(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const double tol = 1e-12 * largest_abs(want);
  for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], tol) << what << " at " << i;
}
