// Index-bounded arrays: the row-major storage layout from the lower bounds, views of existing
// storage, and refused allocations ending through the numerical report.

#include <gtest/gtest.h>

#include "numeric/alloc.h"

// The storage layout is an interface: array files and transforms hand whole blocks on.
TEST(Alloc, MatrixAndTensorLayoutIsRowMajorFromTheLowerBounds) {
  Mat m(1, 3, 1, 4);
  m[2][1] = 7;
  m[3][4] = 9;
  EXPECT_EQ(m.data()[4], 7);
  EXPECT_EQ(m.data()[11], 9);

  Tensor3 t(1, 2, 0, 3, 0, 5);
  t[2][0][0] = 5;
  EXPECT_EQ(t.data()[24], 5);

  Vec v0(0, 4), v1(1, 4), empty(1, 0);
  EXPECT_EQ(v0.size(), 5);
  EXPECT_EQ(v1.size(), 4);
  EXPECT_EQ(empty.size(), 0);
  v0[0] = 3;
  EXPECT_EQ(v0.data()[0], 3);
}

TEST(Alloc, RefusedAllocationEndsThroughTheNumericalReport) {
  // Each request exceeds what the system can give (more than 2^60 elements, or a count
  // that overflows); the report names the allocator and, for a matrix or tensor, its
  // data-block step. Integer matrices report as double matrices do.
  struct Case {
    const char* label;
    void (*make)();
    const char* message;
  };
  const std::vector<Case> cases = {
      {"vector", [] { Vec v(1, 1L << 62); }, "allocation failure in vector()"},
      {"ivector", [] { IVec v(1, 1L << 62); }, "allocation failure in ivector()"},
      {"lvector", [] { LVec v(1, 1L << 62); }, "allocation failure in lvector()"},
      {"matrix", [] { Mat m(1, 1L << 31, 1, 1L << 31); }, "allocation failure 2 in matrix()"},
      {"imatrix", [] { IMat m(1, 1L << 31, 1, 1L << 31); }, "allocation failure 2 in matrix()"},
      {"cmatrix", [] { BMat<char> m(1, 1L << 32, 0, 1L << 31); }, "allocation failure 2 in cmatrix()"},
      {"f3tensor", [] { Tensor3 t(1, 1L << 20, 1, 1L << 20, 1, 1L << 22); }, "allocation failure 3 in f3tensor()"},
      {"c3tensor", [] { BTensor3<char> t(1, 1L << 21, 1, 1L << 21, 0, 1L << 21); },
       "allocation failure 3 in c3tensor()"},
      {"overflowing matrix", [] { Mat m(1, 1L << 40, 1, 1L << 40); }, "allocation failure 2 in matrix()"},
  };
  for (const auto& c : cases) {
    try {
      c.make();
      ADD_FAILURE() << c.label << ": allocation should have been refused";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.kind, FatalKind::Numerical) << c.label;
      EXPECT_EQ(e.message, c.message) << c.label;
      EXPECT_EQ(e.status, 1) << c.label;
    }
  }
}

TEST(Alloc, ViewsAddressExistingStorage) {
  // A block of 12 doubles seen as [1..3][1..4] addresses it as the matrix layout does.
  double block[12];
  for (int k = 0; k < 12; ++k) block[k] = k;
  const BMatView<double> v = convert_matrix(block, 1, 3, 1, 4);
  EXPECT_EQ(v[2][1], 4);
  EXPECT_EQ(v[3][4], 11);
  v[1][2] = -1;
  EXPECT_EQ(block[1], -1);

  // The part [2..3][2..4] of a 3 x 4 matrix, addressed from [0][0].
  Mat m(1, 3, 1, 4);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 4; ++j) m[i][j] = 10 * i + j;
  const BMatView<double> s = submatrix(m, 2, 3, 2, 4, 0, 0);
  EXPECT_EQ(s.rhi(), 1);
  EXPECT_EQ(s.chi(), 2);
  EXPECT_EQ(s[0][0], 22);
  EXPECT_EQ(s[1][2], 34);
  s[1][0] = 0;
  EXPECT_EQ(m[3][2], 0);
}
