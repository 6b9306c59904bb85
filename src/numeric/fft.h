// Fast Fourier transforms of complex and real data in one, two and three dimensions.
//
// In place (as seen by the caller), in double precision, computed by FFTW3 with plans made
// once per problem and kept for the process. Conventions shared by every routine (callers
// depend on them):
//   isign = +1:  F_k = sum_j f_j exp(+2 pi i j k / N)
//   isign = -1:  F_k = sum_j f_j exp(-2 pi i j k / N)
// No transform divides by N: a forward and an inverse transform in a row return N times
// the input (realft: N/2 times, rlft3: nn1 nn2 nn3 / 2 times).
// Every length must be a power of 2; any other length ends the program through nrerror.
#pragma once

#include "numeric/alloc.h"

// nn complex values, value m (0-based) stored as data[2m] (real) and data[2m+1]
// (imaginary), replaced by their transform in the same layout.
void four1(double* data, long nn, int isign);
// The same on data[1..2nn] of a vector from 1: data[2m-1], data[2m] hold value m-1.
void four1(Vec& data, long nn, int isign);

// The ndim-dimensional transform of complex data stored with the last dimension varying
// fastest (each element two doubles, real then imaginary) at data[0..]; nn[d] is the
// length of dimension d = 1..ndim.
void fourn(double* data, const LVec& nn, int ndim, int isign);

// Transform of n real values (n >= 2). isign = 1: the result is packed as data[1] = F_0,
// data[2] = F_(n/2) (both real), data[2k+1], data[2k+2] = real and imaginary part of F_k
// for k = 1..n/2-1 (positions counted from 1; the double* form counts from 0, so there
// F_0 is data[0]). Any other isign takes that packing back and returns n/2 times the
// original values.
void realft(double* data, long n, int isign);
void realft(Vec& data, long n, int isign);

// Two- or three-dimensional transform of real data[1..nn1][1..nn2][1..nn3] (nn1 = 1 for a
// two-dimensional array). isign = 1: data[i][j][2k-1], data[i][j][2k] receive the real
// and imaginary parts at frequencies (i-1, j-1, k-1), k = 1..nn3/2, the first two in
// wrap-around order, and speq[i][2j-1], speq[i][2j] those at the last dimension's Nyquist
// frequency nn3/2. isign = -1 takes that layout back and returns nn1 nn2 nn3 / 2 times
// the data. data must be [1..nn1 or more][1..nn2][1..nn3] and speq [1..nn1 or more]
// [1..2 nn2] (one contiguous block each), otherwise the program ends through nrerror.
void rlft3(Tensor3& data, Mat& speq, long nn1, long nn2, long nn3, int isign);
// The same on one contiguous block data[0 .. nn1 nn2 nn3 - 1] (last index fastest) and
// speq[0 .. 2 nn1 nn2 - 1] (row i-1 of 2 nn2 values for each i).
void rlft3(double* data, double* speq, long nn1, long nn2, long nn3, int isign);

// FFTW's own real transforms, for callers that unpack the spectrum themselves: rank 1 to 3,
// lengths dims[0..rank-1] (last index fastest, the last length even). The half spectrum
// holds, for every index of the leading axes (wrap-around order), the values at last-axis
// frequencies 0..n/2 as (real, imaginary) pairs: dims[0] .. dims[rank-2] (n/2 + 1) complex
// values. real_forward: spec = sum_j f_j exp(-2 pi i j.k / N) (the sign of isign = -1);
// data is overwritten. real_backward: data = sum_k F_k exp(+2 pi i j.k / N) over the whole
// Hermitian spectrum, that is N1 N2 .. times the field whose real_forward is spec; spec is
// overwritten. With data == spec a transform runs in place, and each row of the real array
// is then padded to n + 2 doubles.
void real_forward(int rank, const long* dims, double* data, double* spec);
void real_backward(int rank, const long* dims, double* spec, double* data);
