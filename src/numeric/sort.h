// Sorting: an in-place ascending sort and an index sort of double values.
//
// Both are quicksorts with median-of-three partitioning, straight insertion for pieces
// of fewer than eight elements, and an explicit stack of 50 entries. The order in which
// equal keys end is part of the interface (later steps index into the result), so the
// partitioning is exactly the classic one and must not be replaced by std::sort.
#pragma once

#include "numeric/alloc.h"

// Sorts the n values a[lo..lo+n-1] ascending in place (lo = a.lo(), usually 1).
void sort(long n, Vec& a);
// The same on the n values a[0..n-1].
void sort(long n, double* a);

// Index sort: fills indx[k] for k = indx.lo() .. indx.lo()+n-1 with indices of a
// (a.lo() .. a.lo()+n-1) so that a[indx[k]] is ascending in k; a is not changed.
// With both vectors from 1: a[indx[1]] <= a[indx[2]] <= ... <= a[indx[n]].
void indexx(long n, const Vec& a, LVec& indx);
