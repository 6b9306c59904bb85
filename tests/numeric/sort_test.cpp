// Sorting: sort and the index sort against the library sort on random and coarse keys, the
// tie order of the index sort traced by hand, and vectors from other lower bounds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "numeric/random.h"
#include "numeric/sort.h"

namespace {

Vec vec_of(const std::vector<double>& v) {
  Vec a(1, static_cast<long>(v.size()));
  for (size_t i = 0; i < v.size(); i++) a[static_cast<long>(i) + 1] = v[i];
  return a;
}

std::vector<long> indexx_of(const std::vector<double>& v) {
  const long n = static_cast<long>(v.size());
  Vec a = vec_of(v);
  LVec indx(1, n);
  indexx(n, a, indx);
  return std::vector<long>(indx.data(), indx.data() + n);
}

}  // namespace

TEST(Sort, SortsLikeTheLibrary) {
  long seed = -7;
  for (long n : {0L, 1L, 2L, 6L, 7L, 8L, 9L, 50L, 1000L, 20000L}) {
    for (int coarse : {0, 1}) {  // coarse values give many equal keys
      std::vector<double> v;
      for (long i = 0; i < n; i++) v.push_back(coarse ? std::floor(5 * ran1(seed)) : ran1(seed) - 0.5);
      Vec a = vec_of(v);
      sort(n, a);
      std::vector<double> ref = v;
      std::sort(ref.begin(), ref.end());
      for (long i = 1; i <= n; i++) ASSERT_EQ(a[i], ref[i - 1]) << "n = " << n;

      // The index sort orders the same values and leaves them in place.
      const std::vector<long> idx = indexx_of(v);
      std::vector<long> perm = idx;
      std::sort(perm.begin(), perm.end());
      for (long i = 0; i < n; i++) ASSERT_EQ(perm[i], i + 1);
      for (long i = 0; i < n; i++) ASSERT_EQ(v[idx[i] - 1], ref[i]);
    }
  }
}

TEST(Sort, IndexSortOfThreeValues) {
  EXPECT_EQ(indexx_of({3, 1, 2}), (std::vector<long>{2, 3, 1}));
}

TEST(Sort, TieOrderOfTheIndexSort) {
  // Pieces of up to seven elements go to straight insertion, which keeps equal keys in
  // their order: seven equal values are not partitioned.
  EXPECT_EQ(indexx_of(std::vector<double>(7, 1.0)), (std::vector<long>{1, 2, 3, 4, 5, 6, 7}));
  // Eight equal values are partitioned once (median of three on positions 1, 4 after the
  // swap with 2, and 8; the scans swap 3<->7 and 4<->6, stop at i = 6, j = 4), then both
  // pieces go to insertion. Traced by hand from the algorithm.
  EXPECT_EQ(indexx_of(std::vector<double>(8, 1.0)), (std::vector<long>{1, 6, 7, 4, 5, 2, 3, 8}));
  // Insertion with equal keys among others: the two 2s keep their order.
  EXPECT_EQ(indexx_of({2, 1, 2, 0}), (std::vector<long>{4, 2, 1, 3}));
}

TEST(Sort, VectorsFromOtherLowerBounds) {
  Vec a(0, 4);
  const double vals[] = {5, 3, 4, 1, 2};
  for (long i = 0; i <= 4; i++) a[i] = vals[i];
  LVec indx(1, 5);
  indexx(5, a, indx);
  EXPECT_EQ(indx[1], 3);  // a[3] = 1 is the smallest; indices are those of a
  EXPECT_EQ(indx[5], 0);
  sort(5, a);
  for (long i = 0; i <= 4; i++) EXPECT_EQ(a[i], i + 1.0);
}
