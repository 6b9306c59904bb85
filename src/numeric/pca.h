// Principal component analysis of point sets: mean and covariance, principal axes and
// variances, rotation into and out of the principal frame, the covariance distance (the
// command doPCA that does the analysis for a data file is in io/pca_command.h).
//
// A data set is data[1..npts][1..n], one point per row. The principal frame is a mean
// vector mean[1..n], the variances along the principal axes eval[1..n] (by decreasing
// magnitude) and a rotation rot[1..n][1..n] whose row i is the i-th principal axis in the
// data's coordinates: a point x has principal coordinates rot (x - mean).
#pragma once

#include "numeric/alloc.h"

// mean[j] = average of column j; cov[l][m] = sum over points of (x_l - mean_l)(x_m - mean_m)
// / (npts - 1). icov, when given, receives the inverse covariance (through matinv). Fewer
// than two points, or n < 1, end the program with an ERROR.
void COVcalc(const Mat& data, int npts, int n, Vec& mean, Mat& cov, Mat* icov = nullptr);
// Principal frame of the points; also replaces every row of data by its principal
// coordinates.
void PCAdcmp(Mat& data, int npts, int n, Vec& mean, Vec& eval, Mat& rot);
// Sorts w[1..n] and the rows of v[1..n][1..n] together by |w|: ascending for dir = 1,
// descending for dir = -1 (the order of equal magnitudes is that of the index sort).
void eigensort(int n, Vec& w, Mat& v, int dir);
// x[1..n] becomes rot (x - mean).
void PCArot(const Vec& mean, const Mat& rot, int n, Vec& x);
// x[1..n] becomes rot^T x + mean (the inverse of PCArot).
void PCAderot(const Vec& mean, const Mat& rot, int n, Vec& x);
// sqrt((x - mean)^T icov (x - mean)).
double COVdist(const Vec& mean, const Mat& icov, int n, const Vec& x);

// A covariance needs two points and one dimension; anything less ends with an ERROR.
void check_covariance_input(long npts, long n);
