// Result writers of the fitter: start files of one or several models, the chi-squared
// line, the best-fit report and the plot files of the tiling and critical curves.
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"

// One chi-squared line: the nine components (labelled: "CHISQ:" first and the legend
// after); with chimode 2 a second line with the rms of the correlated-position term.
void writechi(FILE* stream, const double* chi, int labelled);

// A model file of one model (names [1..NGALMAX], vary [1..NGALMAX][1..10], params
// [1..NGALMAX][1..10]); "none" components are left out. An open failure is reported and
// the caller goes on.
void writestart(const std::string& path, const BVec<std::string>& names, const IMat& vary, const Mat& params);
// A model file of count models [1..count] in ascending order of chi [1..count], each
// after a "# chi=" comment line.
void writestartN(const std::string& path, const BVec<std::string>& names, const IMat& vary,
                 const BVec<Mat>& models, const Vec& chi, int count);
// True when the evaluation that left chi stopped at a hard check (parameter checks,
// parity): a penalty as its total and no term computed. Its model sources and images do
// not exist, and the reports show zeros for them.
bool evaluation_stopped(const double* chi);
// The best-fit report of the model given, the current source tables and model images.
void writebest(FILE* stream, const BVec<std::string>& names, const Mat& params);
// grid.dat, crit.dat and the macro file best.sm for the current model.
void doplot();
