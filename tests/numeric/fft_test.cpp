#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "numeric/fft.h"
#include "numeric/random.h"
#include "support/test_support.h"

namespace {

using cd = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

// Direct transform F_k = sum_j f_j exp(isign 2 pi i j k / N) over a multi-dimensional array
// stored with the last index fastest.
std::vector<cd> direct_dft(const std::vector<cd>& f, const std::vector<long>& dims, int isign) {
  const long total = static_cast<long>(f.size());
  std::vector<cd> F(f.size());
  const size_t nd = dims.size();
  std::vector<long> kidx(nd), jidx(nd);
  for (long k = 0; k < total; k++) {
    long r = k;
    for (size_t d = nd; d-- > 0;) { kidx[d] = r % dims[d]; r /= dims[d]; }
    cd sum = 0;
    for (long j = 0; j < total; j++) {
      long q = j;
      double phase = 0;
      for (size_t d = nd; d-- > 0;) {
        jidx[d] = q % dims[d];
        q /= dims[d];
        phase += static_cast<double>(jidx[d] * kidx[d]) / dims[d];
      }
      sum += f[j] * std::polar(1.0, isign * 2 * kPi * phase);
    }
    F[k] = sum;
  }
  return F;
}

std::vector<cd> random_complex(long n, long& seed) {
  std::vector<cd> v;
  for (long i = 0; i < n; i++) v.emplace_back(ran1(seed) - 0.5, ran1(seed) - 0.5);
  return v;
}

std::vector<double> interleave(const std::vector<cd>& v) {
  std::vector<double> d;
  for (const cd& c : v) { d.push_back(c.real()); d.push_back(c.imag()); }
  return d;
}

}  // namespace

TEST(Fft, Four1AgreesWithTheDirectTransform) {
  long seed = -21;
  for (long nn : {1L, 2L, 8L, 64L}) {
    for (int isign : {1, -1}) {
      const std::vector<cd> f = random_complex(nn, seed);
      const std::vector<cd> F = direct_dft(f, {nn}, isign);
      Vec data(1, 2 * nn);
      const std::vector<double> d = interleave(f);
      for (long i = 0; i < 2 * nn; i++) data[i + 1] = d[i];
      four1(data, nn, isign);
      for (long k = 0; k < nn; k++) {
        EXPECT_NEAR(data[2 * k + 1], F[k].real(), 1e-12 * nn) << nn << " " << k;
        EXPECT_NEAR(data[2 * k + 2], F[k].imag(), 1e-12 * nn) << nn << " " << k;
      }
    }
  }
}

TEST(Fft, Four1RoundTripAndParseval) {
  long seed = -22;
  const long nn = 256;
  const std::vector<double> d = interleave(random_complex(nn, seed));
  std::vector<double> data = d;
  four1(data.data(), nn, 1);
  // Parseval: sum |F|^2 = N sum |f|^2.
  double ef = 0, eF = 0;
  for (long i = 0; i < 2 * nn; i++) { ef += d[i] * d[i]; eF += data[i] * data[i]; }
  EXPECT_NEAR(eF, nn * ef, 1e-10 * nn * ef);
  four1(data.data(), nn, -1);  // back: nn times the input
  for (long i = 0; i < 2 * nn; i++) EXPECT_NEAR(data[i], nn * d[i], 1e-11 * nn);
}

TEST(Fft, FournAgreesWithTheDirectTransform) {
  long seed = -23;
  const std::vector<long> dims = {4, 2, 8};
  const std::vector<cd> f = random_complex(4 * 2 * 8, seed);
  for (int isign : {1, -1}) {
    const std::vector<cd> F = direct_dft(f, dims, isign);
    std::vector<double> data = interleave(f);
    LVec nn(1, 3);
    nn[1] = 4; nn[2] = 2; nn[3] = 8;
    fourn(data.data(), nn, 3, isign);
    for (size_t k = 0; k < F.size(); k++) {
      EXPECT_NEAR(data[2 * k], F[k].real(), 1e-12 * 64);
      EXPECT_NEAR(data[2 * k + 1], F[k].imag(), 1e-12 * 64);
    }
  }
}

TEST(Fft, RealftPackingAndRoundTrip) {
  // Four values (1, 0, 0, 0): every F_k is 1, packed as F_0, F_2, Re F_1, Im F_1.
  Vec small(1, 4);
  small[1] = 1;
  realft(small, 4, 1);
  EXPECT_EQ(small[1], 1.0);
  EXPECT_EQ(small[2], 1.0);
  EXPECT_EQ(small[3], 1.0);
  EXPECT_EQ(small[4], 0.0);

  // Real route against the complex route: realft of n real values gives the same F_k as
  // four1 of the values with zero imaginary parts.
  long seed = -24;
  for (long n : {2L, 4L, 16L, 128L}) {
    std::vector<double> x;
    for (long i = 0; i < n; i++) x.push_back(ran1(seed) - 0.5);
    std::vector<cd> f(x.begin(), x.end());
    const std::vector<cd> F = direct_dft(f, {n}, 1);
    std::vector<double> data = x;
    realft(data.data(), n, 1);
    EXPECT_NEAR(data[0], F[0].real(), 1e-12 * n);
    EXPECT_NEAR(data[1], F[n / 2].real(), 1e-12 * n);
    for (long k = 1; k < n / 2; k++) {
      EXPECT_NEAR(data[2 * k], F[k].real(), 1e-12 * n);
      EXPECT_NEAR(data[2 * k + 1], F[k].imag(), 1e-12 * n);
    }
    realft(data.data(), n, -1);  // back: n/2 times the input
    for (long i = 0; i < n; i++) EXPECT_NEAR(data[i], 0.5 * n * x[i], 1e-12 * n);
  }
}

TEST(Fft, Rlft3LayoutAgainstTheComplexTransform) {
  long seed = -25;
  for (const auto& dims : std::vector<std::vector<long>>{{2, 4, 8}, {1, 8, 4}, {4, 1, 2}}) {
    const long n1 = dims[0], n2 = dims[1], n3 = dims[2];
    Tensor3 data(1, n1, 1, n2, 1, n3);
    Mat speq(1, n1, 1, 2 * n2);
    std::vector<cd> f;
    for (long i = 1; i <= n1; i++)
      for (long j = 1; j <= n2; j++)
        for (long k = 1; k <= n3; k++) {
          data[i][j][k] = ran1(seed) - 0.5;
          f.emplace_back(data[i][j][k], 0.0);
        }
    const std::vector<double> original(data.data(), data.data() + n1 * n2 * n3);
    const std::vector<cd> F = direct_dft(f, dims, 1);
    auto at = [&](long a, long b, long c) { return F[static_cast<size_t>((a * n2 + b) * n3 + c)]; };
    rlft3(data, speq, n1, n2, n3, 1);
    const double tol = 1e-12 * n1 * n2 * n3;
    for (long i = 1; i <= n1; i++)
      for (long j = 1; j <= n2; j++) {
        for (long k = 1; k <= n3 / 2; k++) {
          EXPECT_NEAR(data[i][j][2 * k - 1], at(i - 1, j - 1, k - 1).real(), tol);
          EXPECT_NEAR(data[i][j][2 * k], at(i - 1, j - 1, k - 1).imag(), tol);
        }
        EXPECT_NEAR(speq[i][2 * j - 1], at(i - 1, j - 1, n3 / 2).real(), tol);
        EXPECT_NEAR(speq[i][2 * j], at(i - 1, j - 1, n3 / 2).imag(), tol);
      }
    rlft3(data, speq, n1, n2, n3, -1);  // back: n1 n2 n3 / 2 times the input
    const double scale = 0.5 * n1 * n2 * n3;
    for (long i = 0; i < n1 * n2 * n3; i++) EXPECT_NEAR(data.data()[i], scale * original[i], tol);
  }
}

TEST(Fft, LengthsThatAreNotPowersOfTwoAreRefused) {
  std::vector<double> d(64, 0.0);
  EXPECT_EQ(fatal_of([&] { four1(d.data(), 12, 1); }).kind, FatalKind::Numerical);
  EXPECT_EQ(fatal_of([&] { four1(d.data(), 0, 1); }).kind, FatalKind::Numerical);
  EXPECT_EQ(fatal_of([&] { realft(d.data(), 6, 1); }).kind, FatalKind::Numerical);
  EXPECT_EQ(fatal_of([&] { realft(d.data(), 1, 1); }).kind, FatalKind::Numerical);
  LVec nn(1, 2);
  nn[1] = 4; nn[2] = 3;
  EXPECT_EQ(fatal_of([&] { fourn(d.data(), nn, 2, 1); }).kind, FatalKind::Numerical);
  std::vector<double> sp(64, 0.0);
  EXPECT_EQ(fatal_of([&] { rlft3(d.data(), sp.data(), 1, 4, 6, 1); }).kind, FatalKind::Numerical);

  // A data block that does not match the dimensions.
  Tensor3 t(1, 1, 1, 4, 1, 8);
  Mat speq(1, 1, 1, 8);
  const FatalError e = fatal_of([&] { rlft3(t, speq, 1, 4, 4, 1); });
  EXPECT_EQ(e.kind, FatalKind::Numerical);
  EXPECT_EQ(e.message, "rlft3: problem with dimensions or contiguity of data array\n");
}
