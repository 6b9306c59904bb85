// Batch mocks: mock lenses for a family of lens models.
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"
#include "shell/words.h"

// Appends one record to the text stream: label, the kind's count, the trial parameters
// [1..NGALMAX][1..10], the noise (siggal, sigx, sigf, sigt), the n image-list rows (column
// 9 the parity) of a source at (u, v), the written galaxy position, the counted number H
// and the row of the leading image.
void batchmock1write(FILE* f, const std::string& label, int kindcount, const Mat& params, const double noise[4], int n,
                     double u, double v, double gx, double gy, int H, const Mat& images, int leading);

void batchmock1(const WordArray& words);
void batchmock1help(int level);
void batchmock2(const WordArray& words);
void batchmock2help(int level);
