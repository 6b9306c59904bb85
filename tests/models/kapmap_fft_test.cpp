// The half-plane transforms of the convergence-map solver and the convolutions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "models/kapmap.h"
#include "numeric/random.h"
#include "support/direct_dft.h"

namespace {

// The half-plane spectrum of a field by the direct sum with exp(+2 pi i ...), in doFT's
// layout: rows k1 = -N1/2+1 .. N1/2, columns k2 = 0 .. N2/2, (real, imaginary).
std::vector<double> half_plane(const std::vector<double>& field, int N1, int N2) {
  const std::vector<cplx> F = direct_dft(as_complex(field), {N1, N2}, 1);
  std::vector<double> spec;
  for (int k1 = -N1 / 2 + 1; k1 <= N1 / 2; ++k1)
    for (int k2 = 0; k2 <= N2 / 2; ++k2) {
      const cplx v = F[static_cast<size_t>((k1 + N1) % N1) * N2 + k2];
      spec.push_back(v.real());
      spec.push_back(v.imag());
    }
  return spec;
}

}  // namespace

// Square and oblong grids, the smallest included: doFT against the direct sum, and doIFT
// of the direct sum's spectrum back to the field.
TEST(KapMapTransforms, HalfPlaneSpectrumAgainstTheDirectSum) {
  long seed = -31;
  const std::pair<int, int> grids[] = {{2, 2}, {8, 4}, {4, 16}, {16, 16}, {2, 8}};
  for (const auto& [N1, N2] : grids) {
    const std::string what = std::to_string(N1) + " x " + std::to_string(N2);
    std::vector<double> field;
    for (int i = 0; i < N1 * N2; ++i) field.push_back(ran1(seed) - 0.3);
    const std::vector<double> want = half_plane(field, N1, N2);

    std::vector<double> data = field, spec;
    doFT(N1, N2, data, spec);
    expect_close(spec, want, "doFT " + what);

    std::vector<double> back;
    doIFT(N1, N2, back, want);
    expect_close(back, field, "doIFT " + what);
  }
}
