#include "numeric/fft.h"

#include <cmath>
#include <string>
#include <utility>

namespace {

constexpr double kTwoPi = 6.28318530717959;
constexpr double kPi = 3.141592653589793;

inline bool power_of_two(long n) { return n >= 1 && (n & (n - 1)) == 0; }

void check_length(const char* routine, long n) {
  if (!power_of_two(n))
    nrerror(std::string(routine) + ": length " + std::to_string(n) + " is not a power of 2");
}

void check_sign(const char* routine, int isign) {
  if (isign != 1 && isign != -1) nrerror(std::string(routine) + ": isign must be 1 or -1");
}

// The transforms below count positions from 1 as the published algorithms do; at(k)
// addresses position k of a block that starts at data[0].
struct From1 {
  double* d;
  double& operator()(long k) const { return d[k - 1]; }
};

void four1_kernel(double* data, long nn, int isign) {
  const From1 at{data};
  const long n = nn << 1;
  long j = 1;
  for (long i = 1; i < n; i += 2) {  // bit-reversal reordering
    if (j > i) {
      std::swap(at(j), at(i));
      std::swap(at(j + 1), at(i + 1));
    }
    long m = nn;
    while (m >= 2 && j > m) {
      j -= m;
      m >>= 1;
    }
    j += m;
  }
  long mmax = 2;
  while (n > mmax) {  // Danielson-Lanczos butterflies, spans 2, 4, ...
    const long istep = mmax << 1;
    const double theta = isign * (kTwoPi / mmax);
    double wtemp = std::sin(0.5 * theta);
    const double wpr = -2.0 * wtemp * wtemp;
    const double wpi = std::sin(theta);
    double wr = 1.0, wi = 0.0;
    for (long m = 1; m < mmax; m += 2) {
      for (long i = m; i <= n; i += istep) {
        const long jj = i + mmax;
        const double tempr = wr * at(jj) - wi * at(jj + 1);
        const double tempi = wr * at(jj + 1) + wi * at(jj);
        at(jj) = at(i) - tempr;
        at(jj + 1) = at(i + 1) - tempi;
        at(i) += tempr;
        at(i + 1) += tempi;
      }
      wr = (wtemp = wr) * wpr - wi * wpi + wr;  // trigonometric recurrence
      wi = wi * wpr + wtemp * wpi + wi;
    }
    mmax = istep;
  }
}

void fourn_kernel(double* data, const long* nn, int ndim, int isign) {
  const From1 at{data};
  long ntot = 1;
  for (int idim = 1; idim <= ndim; idim++) ntot *= nn[idim];
  long nprev = 1;
  for (int idim = ndim; idim >= 1; idim--) {
    const long n = nn[idim];
    const long nrem = ntot / (n * nprev);
    const long ip1 = nprev << 1;
    const long ip2 = ip1 * n;
    const long ip3 = ip2 * nrem;
    long i2rev = 1;
    for (long i2 = 1; i2 <= ip2; i2 += ip1) {  // bit reversal along this dimension
      if (i2 < i2rev) {
        for (long i1 = i2; i1 <= i2 + ip1 - 2; i1 += 2) {
          for (long i3 = i1; i3 <= ip3; i3 += ip2) {
            const long i3rev = i2rev + i3 - i2;
            std::swap(at(i3), at(i3rev));
            std::swap(at(i3 + 1), at(i3rev + 1));
          }
        }
      }
      long ibit = ip2 >> 1;
      while (ibit >= ip1 && i2rev > ibit) {
        i2rev -= ibit;
        ibit >>= 1;
      }
      i2rev += ibit;
    }
    long ifp1 = ip1;
    while (ifp1 < ip2) {
      const long ifp2 = ifp1 << 1;
      const double theta = isign * kTwoPi / (ifp2 / ip1);
      double wtemp = std::sin(0.5 * theta);
      const double wpr = -2.0 * wtemp * wtemp;
      const double wpi = std::sin(theta);
      double wr = 1.0, wi = 0.0;
      for (long i3 = 1; i3 <= ifp1; i3 += ip1) {
        for (long i1 = i3; i1 <= i3 + ip1 - 2; i1 += 2) {
          for (long i2 = i1; i2 <= ip3; i2 += ifp2) {
            const long k1 = i2, k2 = k1 + ifp1;
            const double tempr = wr * at(k2) - wi * at(k2 + 1);
            const double tempi = wr * at(k2 + 1) + wi * at(k2);
            at(k2) = at(k1) - tempr;
            at(k2 + 1) = at(k1 + 1) - tempi;
            at(k1) += tempr;
            at(k1 + 1) += tempi;
          }
        }
        wr = (wtemp = wr) * wpr - wi * wpi + wr;
        wi = wi * wpr + wtemp * wpi + wi;
      }
      ifp1 = ifp2;
    }
    nprev *= n;
  }
}

}  // namespace

void four1(double* data, long nn, int isign) {
  check_length("four1", nn);
  check_sign("four1", isign);
  four1_kernel(data, nn, isign);
}

void four1(Vec& data, long nn, int isign) {
  check_length("four1", nn);
  if (data.size() < 2 * nn) nrerror("four1: data vector shorter than 2 nn");
  four1(data.data(), nn, isign);
}

void fourn(double* data, const LVec& nn, int ndim, int isign) {
  if (ndim < 1 || nn.lo() > 1 || nn.hi() < ndim) nrerror("fourn: dimensions not given for every axis");
  check_sign("fourn", isign);
  long lens[64];
  if (ndim > 62) nrerror("fourn: too many dimensions");
  for (int d = 1; d <= ndim; d++) {
    check_length("fourn", nn[d]);
    lens[d] = nn[d];
  }
  fourn_kernel(data, lens, ndim, isign);
}

void realft(double* data, long n, int isign) {
  if (n < 2) nrerror("realft: length " + std::to_string(n) + " is below 2");
  check_length("realft", n);
  const From1 at{data};
  const double c1 = 0.5;
  double c2, theta = kPi / static_cast<double>(n >> 1);
  if (isign == 1) {
    c2 = -0.5;
    four1_kernel(data, n >> 1, 1);
  } else {
    c2 = 0.5;
    theta = -theta;
  }
  double wtemp = std::sin(0.5 * theta);
  const double wpr = -2.0 * wtemp * wtemp;
  const double wpi = std::sin(theta);
  double wr = 1.0 + wpr, wi = wpi;
  const long np3 = n + 3;
  for (long i = 2; i <= (n >> 2); i++) {  // separate the two interleaved transforms
    const long i1 = i + i - 1, i2 = 1 + i1, i3 = np3 - i2, i4 = 1 + i3;
    const double h1r = c1 * (at(i1) + at(i3));
    const double h1i = c1 * (at(i2) - at(i4));
    const double h2r = -c2 * (at(i2) + at(i4));
    const double h2i = c2 * (at(i1) - at(i3));
    at(i1) = h1r + wr * h2r - wi * h2i;
    at(i2) = h1i + wr * h2i + wi * h2r;
    at(i3) = h1r - wr * h2r + wi * h2i;
    at(i4) = -h1i + wr * h2i + wi * h2r;
    wr = (wtemp = wr) * wpr - wi * wpi + wr;
    wi = wi * wpr + wtemp * wpi + wi;
  }
  if (isign == 1) {
    const double h1r = at(1);
    at(1) = h1r + at(2);  // F_0 and F_(n/2) packed into the first pair
    at(2) = h1r - at(2);
  } else {
    const double h1r = at(1);
    at(1) = c1 * (h1r + at(2));
    at(2) = c1 * (h1r - at(2));
    four1_kernel(data, n >> 1, -1);
  }
}

void realft(Vec& data, long n, int isign) {
  if (data.size() < n) nrerror("realft: data vector shorter than n");
  realft(data.data(), n, isign);
}

void rlft3(double* data, double* speq, long nn1, long nn2, long nn3, int isign) {
  check_length("rlft3", nn1);
  check_length("rlft3", nn2);
  check_length("rlft3", nn3);
  if (nn3 < 2) nrerror("rlft3: last dimension must be at least 2");
  check_sign("rlft3", isign);
  // data[i1][i2][i3] and speq[i1][j], all counted from 1.
  auto D = [=](long i1, long i2, long i3) -> double& { return data[((i1 - 1) * nn2 + (i2 - 1)) * nn3 + (i3 - 1)]; };
  auto S = [=](long i1, long j) -> double& { return speq[(i1 - 1) * 2 * nn2 + (j - 1)]; };
  const double c1 = 0.5, c2 = -0.5 * isign;
  const double theta = isign * (kTwoPi / nn3);
  double wtemp = std::sin(0.5 * theta);
  const double wpr = -2.0 * wtemp * wtemp;
  const double wpi = std::sin(theta);
  const long nn[4] = {0, nn1, nn2, nn3 >> 1};
  if (isign == 1) {
    fourn_kernel(data, nn, 3, isign);
    for (long i1 = 1; i1 <= nn1; i1++) {
      long j2 = 0;
      for (long i2 = 1; i2 <= nn2; i2++) {
        S(i1, ++j2) = D(i1, i2, 1);
        S(i1, ++j2) = D(i1, i2, 2);
      }
    }
  }
  for (long i1 = 1; i1 <= nn1; i1++) {
    const long j1 = (i1 != 1 ? nn1 - i1 + 2 : 1);
    double wr = 1.0, wi = 0.0;
    long ii3 = 1;
    for (long i3 = 1; i3 <= (nn3 >> 2) + 1; i3++, ii3 += 2) {
      for (long i2 = 1; i2 <= nn2; i2++) {
        if (i3 == 1) {  // zero and Nyquist frequencies of the last dimension
          const long j2 = (i2 != 1 ? ((nn2 - i2) << 1) + 3 : 1);
          const double h1r = c1 * (D(i1, i2, 1) + S(j1, j2));
          const double h1i = c1 * (D(i1, i2, 2) - S(j1, j2 + 1));
          const double h2i = c2 * (D(i1, i2, 1) - S(j1, j2));
          const double h2r = -c2 * (D(i1, i2, 2) + S(j1, j2 + 1));
          D(i1, i2, 1) = h1r + h2r;
          D(i1, i2, 2) = h1i + h2i;
          S(j1, j2) = h1r - h2r;
          S(j1, j2 + 1) = h2i - h1i;
        } else {
          const long j2 = (i2 != 1 ? nn2 - i2 + 2 : 1);
          const long j3 = nn3 + 3 - (i3 << 1);
          const double h1r = c1 * (D(i1, i2, ii3) + D(j1, j2, j3));
          const double h1i = c1 * (D(i1, i2, ii3 + 1) - D(j1, j2, j3 + 1));
          const double h2i = c2 * (D(i1, i2, ii3) - D(j1, j2, j3));
          const double h2r = -c2 * (D(i1, i2, ii3 + 1) + D(j1, j2, j3 + 1));
          D(i1, i2, ii3) = h1r + wr * h2r - wi * h2i;
          D(i1, i2, ii3 + 1) = h1i + wr * h2i + wi * h2r;
          D(j1, j2, j3) = h1r - wr * h2r + wi * h2i;
          D(j1, j2, j3 + 1) = -h1i + wr * h2i + wi * h2r;
        }
      }
      wr = (wtemp = wr) * wpr - wi * wpi + wr;
      wi = wi * wpr + wtemp * wpi + wi;
    }
  }
  if (isign == -1) fourn_kernel(data, nn, 3, isign);
}

void rlft3(Tensor3& data, Mat& speq, long nn1, long nn2, long nn3, int isign) {
  // The block must run from data[1][1][1] to data[nn1][nn2][nn3] without gaps.
  const bool data_ok = nn1 >= 1 && nn2 >= 1 && nn3 >= 1 && data.rlo() == 1 && data.rhi() >= nn1 &&
                       data.clo() == 1 && data.chi() == nn2 && data.dlo() == 1 && data.dhi() == nn3;
  if (!data_ok) nrerror("rlft3: problem with dimensions or contiguity of data array\n");
  const bool speq_ok = speq.rlo() == 1 && speq.rhi() >= nn1 && speq.clo() == 1 && speq.chi() == 2 * nn2;
  if (!speq_ok) nrerror("rlft3: problem with dimensions of the Nyquist array");
  rlft3(data.data(), speq.data(), nn1, nn2, nn3, isign);
}
