// Sorting: an in-place ascending sort and an index sort of doubles (quicksort with
// median-of-three partitioning).
#include "numeric/sort.h"

#include <utility>

namespace {

constexpr long kInsertionLimit = 7;  // pieces with r - l < 7 go to straight insertion
constexpr int kStackSize = 50;

// Quicksort on arr[0..n-1]. Positions are counted from 0 here; the midpoint (l + r) / 2
// picks the same element as it does when counting from 1.
void quicksort(long n, double* arr) {
  if (n < 2) return;
  long stack[kStackSize + 1];
  int jstack = 0;
  long l = 0, ir = n - 1;
  for (;;) {
    if (ir - l < kInsertionLimit) {
      for (long j = l + 1; j <= ir; j++) {
        const double a = arr[j];
        long i = j - 1;
        for (; i >= l; i--) {
          if (arr[i] <= a) break;
          arr[i + 1] = arr[i];
        }
        arr[i + 1] = a;
      }
      if (jstack == 0) break;
      ir = stack[jstack--];
      l = stack[jstack--];
    } else {
      const long k = (l + ir) >> 1;
      std::swap(arr[k], arr[l + 1]);
      if (arr[l] > arr[ir]) std::swap(arr[l], arr[ir]);
      if (arr[l + 1] > arr[ir]) std::swap(arr[l + 1], arr[ir]);
      if (arr[l] > arr[l + 1]) std::swap(arr[l], arr[l + 1]);
      long i = l + 1, j = ir;
      const double a = arr[l + 1];
      for (;;) {
        do i++; while (arr[i] < a);
        do j--; while (arr[j] > a);
        if (j < i) break;
        std::swap(arr[i], arr[j]);
      }
      arr[l + 1] = arr[j];
      arr[j] = a;
      jstack += 2;
      if (jstack > kStackSize) nrerror("NSTACK too small in sort.");
      if (ir - i + 1 >= j - l) {
        stack[jstack] = ir;
        stack[jstack - 1] = i;
        ir = j - 1;
      } else {
        stack[jstack] = j - 1;
        stack[jstack - 1] = l;
        l = i;
      }
    }
  }
}

// Index quicksort: indx[0..n-1] holds indices of arr, which is addressed as arr[idx - base].
void index_quicksort(long n, const double* arr, long base, long* indx) {
  auto key = [&](long pos) { return arr[indx[pos] - base]; };
  for (long j = 0; j < n; j++) indx[j] = j + base;
  if (n < 2) return;
  long stack[kStackSize + 1];
  int jstack = 0;
  long l = 0, ir = n - 1;
  for (;;) {
    if (ir - l < kInsertionLimit) {
      for (long j = l + 1; j <= ir; j++) {
        const long indxt = indx[j];
        const double a = arr[indxt - base];
        long i = j - 1;
        for (; i >= l; i--) {
          if (key(i) <= a) break;
          indx[i + 1] = indx[i];
        }
        indx[i + 1] = indxt;
      }
      if (jstack == 0) break;
      ir = stack[jstack--];
      l = stack[jstack--];
    } else {
      const long k = (l + ir) >> 1;
      std::swap(indx[k], indx[l + 1]);
      if (key(l) > key(ir)) std::swap(indx[l], indx[ir]);
      if (key(l + 1) > key(ir)) std::swap(indx[l + 1], indx[ir]);
      if (key(l) > key(l + 1)) std::swap(indx[l], indx[l + 1]);
      long i = l + 1, j = ir;
      const long indxt = indx[l + 1];
      const double a = arr[indxt - base];
      for (;;) {
        do i++; while (key(i) < a);
        do j--; while (key(j) > a);
        if (j < i) break;
        std::swap(indx[i], indx[j]);
      }
      indx[l + 1] = indx[j];
      indx[j] = indxt;
      jstack += 2;
      if (jstack > kStackSize) nrerror("NSTACK too small in indexx.");
      if (ir - i + 1 >= j - l) {
        stack[jstack] = ir;
        stack[jstack - 1] = i;
        ir = j - 1;
      } else {
        stack[jstack] = j - 1;
        stack[jstack - 1] = l;
        l = i;
      }
    }
  }
}

}  // namespace

void sort(long n, double* a) { quicksort(n, a); }

void sort(long n, Vec& a) {
  if (n <= 0) return;
  if (n > a.size()) nrerror("sort: more values requested than the vector holds");
  quicksort(n, a.data());
}

void indexx(long n, const Vec& a, LVec& indx) {
  if (n <= 0) return;
  if (n > a.size() || n > indx.size()) nrerror("indexx: more values requested than the vectors hold");
  index_quicksort(n, a.data(), a.lo(), indx.data());
}
