// Dense linear algebra on index-bounded arrays addressed from 1: LU decomposition and
// solution, inversion, Cholesky decomposition and the inverse of a Cholesky factor,
// singular value decomposition and Gram-Schmidt orthonormalisation.
//
// Matrices are a[1..n][1..n] (svdcmp: a[1..m][1..n]), vectors [1..n], pivot records
// IVec [1..n]. Every routine works in place on the caller's arrays and keeps its scratch
// to itself; nothing is shared between calls.
#pragma once

#include "numeric/alloc.h"

// LU decomposition (Crout, partial pivoting with implicit scaling) of a[1..n][1..n] in
// place: L (unit diagonal, not stored) below the diagonal, U on and above it, for the row
// permutation recorded in indx (indx[i] is the row exchanged with row i at step i); d is
// +1 or -1, the parity of the exchanges. A row of zeros ends the program through nrerror
// ("Singular matrix in routine ludcmp"); an exactly zero pivot is replaced by 1e-20.
void ludcmp(Mat& a, int n, IVec& indx, double& d);
// Solves A x = b with the LU form of ludcmp; b[1..n] is replaced by x.
void lubksb(const Mat& a, int n, const IVec& indx, Vec& b);
// Replaces a[1..n][1..n] by its inverse (through ludcmp, so a zero row is fatal).
void matinv(Mat& a, int n);

// Cholesky decomposition A = L L^T of a symmetric positive-definite a[1..n][1..n]: reads
// the upper triangle and diagonal, writes L's sub-diagonal part below the diagonal and
// L's diagonal into p[1..n]. Returns 1, or 0 (matrix partly overwritten) when a pivot is
// not strictly positive.
int choldc(Mat& a, int n, Vec& p);
// Replaces the covariance matrix a[1..n][1..n] by its lower Cholesky factor (diagonal in
// place, zeros above). p receives the diagonal when given. Returns 1, or 0 after the
// warning "cannot find Cholesky decomposition of covariance matrix".
int cov2chol(int n, Mat& a, Vec* p = nullptr);
// Writes the inverse of the lower-triangular factor L[1..n][1..n] into the lower triangle
// of inv[1..n][1..n]; the upper triangle of inv is a copy of L's. L is unchanged.
void cholinv(int n, const Mat& L, Mat& inv);

// Singular value decomposition A = U W V^T of a[1..m][1..n] (Golub-Reinsch): a is
// replaced by U, w[1..n] receives the singular values (non-negative, not sorted) and
// v[1..n][1..n] receives V. More than 30 QR iterations for one value end the program
// through nrerror ("no convergence in 30 svdcmp iterations").
void svdcmp(Mat& a, int m, int n, Vec& w, Mat& v);
// sqrt(a^2 + b^2) without overflow or destructive underflow.
double pythag(double a, double b);

// out[1..n] = (u.v / u.u) u, the projection of v on u.
void GramSchmidtProj(int n, const Vec& u, const Vec& v, Vec& out);
// Classical Gram-Schmidt: replaces the columns of a[1..n][1..n] by orthonormal vectors
// spanning the same nested subspaces.
void GramSchmidt(int n, Mat& a);
