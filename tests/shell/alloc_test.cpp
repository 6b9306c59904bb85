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
  try {
    Vec huge(1, 1L << 62);
    FAIL() << "allocation should have been refused";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind, FatalKind::Numerical);
    EXPECT_EQ(e.message, "allocation failure in vector()");
    EXPECT_EQ(e.status, 1);
  }
}
