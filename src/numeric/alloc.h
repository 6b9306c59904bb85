// Index-bounded arrays.
//
// Every numeric array is made with explicit lower and upper index bounds and addressed
// with them: BVec<T>(1, n) runs from 1 to n, BMat<T>(1, n, 1, m) from [1..n][1..m].
// Storage is owned (RAII) and contiguous: a matrix is one block stored row after row,
// element [i][j] at (i - rlo) * ncol + (j - clo); a tensor likewise with the last index
// fastest. An allocation that the system refuses ends the program through nrerror with
// the allocator's message ("allocation failure in vector()", "allocation failure 2 in
// matrix()" and the like). BMatView addresses storage owned elsewhere (convert_matrix,
// submatrix).
//
// With TW_BOUNDS_CHECK defined (Debug and sanitizer builds) every index is checked and
// an index outside the bounds ends the program through nrerror.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "shell/fatal.h"

namespace alloc_detail {
// What follows "allocation failure " in the report of a refused allocation, per element
// type and shape. A matrix or tensor keeps its elements in one data block; a refusal of
// that block carries the number the data block has among the allocator's steps (2 for a
// matrix, 3 for a tensor). Integer matrices report as double matrices do.
template <class T> struct Names;
template <> struct Names<double> { static constexpr const char* vec = "in vector()"; static constexpr const char* mat = "2 in matrix()"; static constexpr const char* ten = "3 in f3tensor()"; };
template <> struct Names<float> { static constexpr const char* vec = "in vector()"; static constexpr const char* mat = "2 in matrix()"; static constexpr const char* ten = "3 in f3tensor()"; };
template <> struct Names<int> { static constexpr const char* vec = "in ivector()"; static constexpr const char* mat = "2 in matrix()"; static constexpr const char* ten = "3 in i3tensor()"; };
template <> struct Names<long> { static constexpr const char* vec = "in lvector()"; static constexpr const char* mat = "2 in lmatrix()"; static constexpr const char* ten = "3 in l3tensor()"; };
template <> struct Names<char> { static constexpr const char* vec = "in cvector()"; static constexpr const char* mat = "2 in cmatrix()"; static constexpr const char* ten = "3 in c3tensor()"; };
template <class T> struct Names { static constexpr const char* vec = "in pvector()"; static constexpr const char* mat = "2 in matrix()"; static constexpr const char* ten = "3 in f3tensor()"; };

[[noreturn]] void index_fault(long i, long lo, long hi);

// Number of elements over [lo..hi] (0 when hi < lo).
inline long extent(long lo, long hi) { return hi >= lo ? hi - lo + 1 : 0; }
// a * b, or a refused allocation when the product overflows.
inline long product(long a, long b, const char* what) {
  long r;
  if (__builtin_mul_overflow(a, b, &r)) nrerror(std::string("allocation failure ") + what);
  return r;
}

template <class T>
void allocate(std::vector<T>& v, long n, const char* what) {
  if (n < 0) n = 0;
  try {
    v.assign(static_cast<size_t>(n), T());
  } catch (const std::bad_alloc&) {
    nrerror(std::string("allocation failure ") + what);
  } catch (const std::length_error&) {
    nrerror(std::string("allocation failure ") + what);
  }
}
}  // namespace alloc_detail

#ifdef TW_BOUNDS_CHECK
#define TW_CHECK_INDEX(i, lo, hi) \
  do { if ((i) < (lo) || (i) > (hi)) alloc_detail::index_fault((i), (lo), (hi)); } while (0)
#else
#define TW_CHECK_INDEX(i, lo, hi) do { } while (0)
#endif

// A row of a matrix (or a vector view): index-bounded access into existing storage.
template <class T>
class BRow {
 public:
  BRow(T* base, long lo, long hi) : base_(base), lo_(lo), hi_(hi) {}
  T& operator[](long j) const { TW_CHECK_INDEX(j, lo_, hi_); return base_[j - lo_]; }
  T* data() const { return base_; }
  long lo() const { return lo_; }
  long hi() const { return hi_; }
 private:
  T* base_;
  long lo_, hi_;
};

// Vector over [lo..hi]; empty when hi < lo.
template <class T>
class BVec {
 public:
  BVec() = default;
  BVec(long lo, long hi) { reset(lo, hi); }
  // Reallocates over [lo..hi]; contents are value-initialised (zero).
  void reset(long lo, long hi) {
    lo_ = lo; hi_ = hi;
    alloc_detail::allocate(v_, hi - lo + 1, alloc_detail::Names<T>::vec);
  }
  void clear() { v_.clear(); v_.shrink_to_fit(); lo_ = 1; hi_ = 0; }
  T& operator[](long i) { TW_CHECK_INDEX(i, lo_, hi_); return v_[static_cast<size_t>(i - lo_)]; }
  const T& operator[](long i) const { TW_CHECK_INDEX(i, lo_, hi_); return v_[static_cast<size_t>(i - lo_)]; }
  long lo() const { return lo_; }
  long hi() const { return hi_; }
  long size() const { return hi_ >= lo_ ? hi_ - lo_ + 1 : 0; }
  bool empty() const { return v_.empty(); }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  void fill(const T& x) { for (auto& e : v_) e = x; }
 private:
  std::vector<T> v_;
  long lo_ = 1, hi_ = 0;
};

// Matrix over [rlo..rhi][clo..chi], one contiguous block, last index fastest.
template <class T>
class BMat {
 public:
  BMat() = default;
  BMat(long rlo, long rhi, long clo, long chi) { reset(rlo, rhi, clo, chi); }
  void reset(long rlo, long rhi, long clo, long chi) {
    rlo_ = rlo; rhi_ = rhi; clo_ = clo; chi_ = chi;
    const char* what = alloc_detail::Names<T>::mat;
    const long nr = alloc_detail::extent(rlo, rhi), nc = alloc_detail::extent(clo, chi);
    alloc_detail::allocate(v_, alloc_detail::product(nr, nc, what), what);
  }
  void clear() { v_.clear(); v_.shrink_to_fit(); rlo_ = clo_ = 1; rhi_ = chi_ = 0; }
  BRow<T> operator[](long i) {
    TW_CHECK_INDEX(i, rlo_, rhi_);
    return BRow<T>(v_.data() + (i - rlo_) * ncols(), clo_, chi_);
  }
  BRow<const T> operator[](long i) const {
    TW_CHECK_INDEX(i, rlo_, rhi_);
    return BRow<const T>(v_.data() + (i - rlo_) * ncols(), clo_, chi_);
  }
  long rlo() const { return rlo_; }
  long rhi() const { return rhi_; }
  long clo() const { return clo_; }
  long chi() const { return chi_; }
  long nrows() const { return rhi_ >= rlo_ ? rhi_ - rlo_ + 1 : 0; }
  long ncols() const { return chi_ >= clo_ ? chi_ - clo_ + 1 : 0; }
  bool empty() const { return v_.empty(); }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  void fill(const T& x) { for (auto& e : v_) e = x; }
 private:
  std::vector<T> v_;
  long rlo_ = 1, rhi_ = 0, clo_ = 1, chi_ = 0;
};

// Three-dimensional tensor over [rlo..rhi][clo..chi][dlo..dhi], last index fastest.
template <class T>
class BTensor3 {
 public:
  BTensor3() = default;
  BTensor3(long rlo, long rhi, long clo, long chi, long dlo, long dhi) { reset(rlo, rhi, clo, chi, dlo, dhi); }
  void reset(long rlo, long rhi, long clo, long chi, long dlo, long dhi) {
    rlo_ = rlo; rhi_ = rhi; clo_ = clo; chi_ = chi; dlo_ = dlo; dhi_ = dhi;
    const char* what = alloc_detail::Names<T>::ten;
    const long plane = alloc_detail::product(n(rlo, rhi), n(clo, chi), what);
    alloc_detail::allocate(v_, alloc_detail::product(plane, n(dlo, dhi), what), what);
  }
  void clear() { v_.clear(); v_.shrink_to_fit(); rlo_ = clo_ = dlo_ = 1; rhi_ = chi_ = dhi_ = 0; }
  class Plane {
   public:
    Plane(T* base, long clo, long chi, long dlo, long dhi) : base_(base), clo_(clo), chi_(chi), dlo_(dlo), dhi_(dhi) {}
    BRow<T> operator[](long j) const {
      TW_CHECK_INDEX(j, clo_, chi_);
      return BRow<T>(base_ + (j - clo_) * (dhi_ - dlo_ + 1), dlo_, dhi_);
    }
   private:
    T* base_;
    long clo_, chi_, dlo_, dhi_;
  };
  Plane operator[](long i) {
    TW_CHECK_INDEX(i, rlo_, rhi_);
    return Plane(v_.data() + (i - rlo_) * n(clo_, chi_) * n(dlo_, dhi_), clo_, chi_, dlo_, dhi_);
  }
  long rlo() const { return rlo_; }
  long rhi() const { return rhi_; }
  long clo() const { return clo_; }
  long chi() const { return chi_; }
  long dlo() const { return dlo_; }
  long dhi() const { return dhi_; }
  bool empty() const { return v_.empty(); }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  void fill(const T& x) { for (auto& e : v_) e = x; }
 private:
  static long n(long lo, long hi) { return hi >= lo ? hi - lo + 1 : 0; }
  std::vector<T> v_;
  long rlo_ = 1, rhi_ = 0, clo_ = 1, chi_ = 0, dlo_ = 1, dhi_ = 0;
};

// A matrix view over storage owned elsewhere: [rlo..rhi][clo..chi], row i beginning
// stride elements after row i - 1. It owns nothing and must not outlive the storage.
template <class T>
class BMatView {
 public:
  BMatView(T* base, long rlo, long rhi, long clo, long chi, long stride)
      : base_(base), rlo_(rlo), rhi_(rhi), clo_(clo), chi_(chi), stride_(stride) {}
  BRow<T> operator[](long i) const {
    TW_CHECK_INDEX(i, rlo_, rhi_);
    return BRow<T>(base_ + (i - rlo_) * stride_, clo_, chi_);
  }
  long rlo() const { return rlo_; }
  long rhi() const { return rhi_; }
  long clo() const { return clo_; }
  long chi() const { return chi_; }
 private:
  T* base_;
  long rlo_, rhi_, clo_, chi_, stride_;
};

// A contiguous block of nrow x ncol values stored row after row, addressed as
// [rlo..rhi][clo..chi]: element [i][j] is a[(i - rlo) * ncol + (j - clo)].
template <class T>
BMatView<T> convert_matrix(T* a, long rlo, long rhi, long clo, long chi) {
  return BMatView<T>(a, rlo, rhi, clo, chi, alloc_detail::extent(clo, chi));
}

// The part [oldrl..oldrh][oldcl..oldch] of matrix a, addressed from the lower bounds
// newrl, newcl: new row newrl + k is old row oldrl + k, new column newcl + c old column
// oldcl + c.
template <class T>
BMatView<T> submatrix(BMat<T>& a, long oldrl, long oldrh, long oldcl, long oldch, long newrl, long newcl) {
  TW_CHECK_INDEX(oldrh, a.rlo(), a.rhi());
  TW_CHECK_INDEX(oldch, a.clo(), a.chi());
  return BMatView<T>(&a[oldrl][oldcl], newrl, newrl + oldrh - oldrl, newcl, newcl + oldch - oldcl, a.ncols());
}

using Vec = BVec<double>;
using IVec = BVec<int>;
using LVec = BVec<long>;
using Mat = BMat<double>;
using IMat = BMat<int>;
using Tensor3 = BTensor3<double>;
