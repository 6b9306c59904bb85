// Fast Fourier transforms (four1, fourn, realft, rlft3) against a direct discrete sum, on
// arrays of either alignment; round trips, Parseval's identity, and refused lengths.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "numeric/fft.h"
#include "numeric/random.h"
#include "support/direct_dft.h"
#include "support/test_support.h"

namespace {

std::vector<double> random_reals(long n, long& seed) {
  std::vector<double> v;
  for (long i = 0; i < n; i++) v.push_back(ran1(seed) - 0.5);
  return v;
}

std::vector<cplx> random_complex(long n, long& seed) {
  std::vector<cplx> v;
  for (long i = 0; i < n; i++) v.emplace_back(ran1(seed) - 0.5, ran1(seed) - 0.5);
  return v;
}

std::vector<double> interleave(const std::vector<cplx>& v) {
  std::vector<double> d;
  for (const cplx& c : v) {
    d.push_back(c.real());
    d.push_back(c.imag());
  }
  return d;
}

// A buffer whose array starts `offset` doubles in, so that the transforms meet arrays of
// either alignment (a plan kept for one alignment must not run on the other).
struct Shifted {
  std::vector<double> store;
  size_t offset;
  Shifted(const std::vector<double>& v, size_t off) : store(off, 0.0), offset(off) {
    store.insert(store.end(), v.begin(), v.end());
  }
  double* data() { return store.data() + offset; }
  std::vector<double> values() const { return std::vector<double>(store.begin() + static_cast<long>(offset), store.end()); }
};

std::string label(const char* routine, const std::vector<long>& dims, int isign, size_t offset) {
  std::string s = routine;
  for (long d : dims) s += " " + std::to_string(d);
  return s + " isign " + std::to_string(isign) + " offset " + std::to_string(offset);
}

}  // namespace

TEST(Fft, Four1AndFournAgreeWithTheDirectSum) {
  long seed = -21;
  const std::vector<std::vector<long>> shapes = {{1}, {2}, {8}, {64}, {16, 1}, {4, 8}, {4, 2, 8}, {1, 4, 2}};
  for (const auto& dims : shapes) {
    long total = 1;
    for (long d : dims) total *= d;
    for (int isign : {1, -1})
      for (size_t offset : {0, 1}) {
        const std::vector<cplx> f = random_complex(total, seed);
        const std::vector<double> want = interleave(direct_dft(f, dims, isign));
        Shifted data(interleave(f), offset);
        if (dims.size() == 1) {
          four1(data.data(), dims[0], isign);
        } else {
          LVec nn(1, static_cast<long>(dims.size()));
          for (size_t d = 0; d < dims.size(); d++) nn[static_cast<long>(d) + 1] = dims[d];
          fourn(data.data(), nn, static_cast<int>(dims.size()), isign);
        }
        expect_close(data.values(), want, label(dims.size() == 1 ? "four1" : "fourn", dims, isign, offset));
      }
  }
  // The form on a vector from 1.
  const std::vector<cplx> f = random_complex(8, seed);
  Vec v(1, 16);
  const std::vector<double> d = interleave(f);
  for (long i = 0; i < 16; i++) v[i + 1] = d[static_cast<size_t>(i)];
  four1(v, 8, -1);
  expect_close(std::vector<double>(v.data(), v.data() + 16), interleave(direct_dft(f, {8}, -1)), "four1 Vec");
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

TEST(Fft, RealftPackingAgainstTheDirectSum) {
  // Four values (1, 0, 0, 0): every F_k is 1, packed as F_0, F_2, Re F_1, Im F_1.
  Vec small(1, 4);
  small[1] = 1;
  realft(small, 4, 1);
  EXPECT_EQ(std::vector<double>(small.data(), small.data() + 4), (std::vector<double>{1, 1, 1, 0}));

  long seed = -24;
  for (long n : {2L, 4L, 16L, 128L})
    for (size_t offset : {0, 1}) {
      // Forward: F_0, F_(n/2), then Re and Im of F_k, k = 1..n/2-1, with exp(+2 pi i jk/n).
      const std::vector<double> x = random_reals(n, seed);
      const std::vector<cplx> F = direct_dft(as_complex(x), {n}, 1);
      std::vector<double> packed = {F[0].real(), F[static_cast<size_t>(n / 2)].real()};
      for (long k = 1; k < n / 2; k++) {
        packed.push_back(F[static_cast<size_t>(k)].real());
        packed.push_back(F[static_cast<size_t>(k)].imag());
      }
      Shifted data(x, offset);
      realft(data.data(), n, 1);
      expect_close(data.values(), packed, label("realft", {n}, 1, offset));

      // Inverse of an arbitrary packing (every packing is the spectrum of a real sequence):
      // (1/2) sum_k F_k exp(-2 pi i jk/n) over the Hermitian spectrum it stands for. Any
      // isign other than 1 means the inverse.
      for (int isign : {-1, 0}) {
        const std::vector<double> p = random_reals(n, seed);
        std::vector<cplx> G(static_cast<size_t>(n));
        G[0] = p[0];
        G[static_cast<size_t>(n / 2)] = p[1];
        for (long k = 1; k < n / 2; k++) {
          G[static_cast<size_t>(k)] = cplx(p[2 * k], p[2 * k + 1]);
          G[static_cast<size_t>(n - k)] = std::conj(G[static_cast<size_t>(k)]);
        }
        std::vector<double> want;
        for (const cplx& g : direct_dft(G, {n}, -1)) want.push_back(0.5 * g.real());
        Shifted back(p, offset);
        realft(back.data(), n, isign);
        expect_close(back.values(), want, label("realft", {n}, isign, offset));
      }
    }
}

TEST(Fft, RealftRoundTrip) {
  long seed = -26;
  const long n = 64;
  const std::vector<double> x = random_reals(n, seed);
  Vec data(1, n);
  for (long i = 0; i < n; i++) data[i + 1] = x[static_cast<size_t>(i)];
  realft(data, n, 1);
  realft(data, n, -1);  // back: n/2 times the input
  for (long i = 0; i < n; i++) EXPECT_NEAR(data[i + 1], 0.5 * n * x[static_cast<size_t>(i)], 1e-12 * n);
}

// rlft3 in two and three dimensions: the packed layout (data pairs for k3 < nn3/2, speq for
// the Nyquist plane) against the direct sum, and the inverse of a spectrum made by the
// direct sum.
TEST(Fft, Rlft3AgainstTheDirectSum) {
  long seed = -25;
  const std::vector<std::vector<long>> shapes = {{2, 4, 8}, {1, 8, 4}, {4, 1, 2}, {1, 2, 16}};
  for (const auto& dims : shapes) {
    const long n1 = dims[0], n2 = dims[1], n3 = dims[2], total = n1 * n2 * n3;
    const std::vector<double> x = random_reals(total, seed);
    const std::vector<cplx> F = direct_dft(as_complex(x), dims, 1);
    std::vector<double> packed, nyquist;
    for (long r = 0; r < n1 * n2; r++) {
      for (long k = 0; k < n3 / 2; k++) {
        packed.push_back(F[static_cast<size_t>(r * n3 + k)].real());
        packed.push_back(F[static_cast<size_t>(r * n3 + k)].imag());
      }
      nyquist.push_back(F[static_cast<size_t>(r * n3 + n3 / 2)].real());
      nyquist.push_back(F[static_cast<size_t>(r * n3 + n3 / 2)].imag());
    }

    Tensor3 data(1, n1, 1, n2, 1, n3);
    Mat speq(1, n1, 1, 2 * n2);
    std::copy(x.begin(), x.end(), data.data());
    rlft3(data, speq, n1, n2, n3, 1);
    const std::string fwd = label("rlft3", dims, 1, 0);
    expect_close(std::vector<double>(data.data(), data.data() + total), packed, fwd);
    // Nyquist values at the tolerance of the whole spectrum they belong to.
    for (size_t i = 0; i < nyquist.size(); i++)
      EXPECT_NEAR(speq.data()[i], nyquist[i], 1e-12 * std::max(largest_abs(packed), largest_abs(nyquist))) << fwd;

    // Back from the direct sum's spectrum: nn1 nn2 nn3 / 2 times the field.
    for (size_t offset : {0, 1}) {
      Shifted in(packed, offset);
      std::vector<double> sp = nyquist;
      rlft3(in.data(), sp.data(), n1, n2, n3, -1);
      std::vector<double> want;
      for (double v : x) want.push_back(0.5 * static_cast<double>(total) * v);
      expect_close(in.values(), want, label("rlft3", dims, -1, offset));
    }
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
  const long odd[2] = {4, 6};
  EXPECT_EQ(fatal_of([&] { real_forward(2, odd, d.data(), sp.data()); }).kind, FatalKind::Numerical);

  // A data block that does not match the dimensions.
  Tensor3 t(1, 1, 1, 4, 1, 8);
  Mat speq(1, 1, 1, 8);
  const FatalError e = fatal_of([&] { rlft3(t, speq, 1, 4, 4, 1); });
  EXPECT_EQ(e.kind, FatalKind::Numerical);
  EXPECT_EQ(e.message, "rlft3: problem with dimensions or contiguity of data array\n");
}
