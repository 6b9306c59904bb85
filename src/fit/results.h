// Result writers of the fitter.
#pragma once

#include <cstdio>

// One chi-squared line: the nine components (labelled: "CHISQ:" first and the legend
// after); with chimode 2 a second line with the rms of the correlated-position term.
void writechi(FILE* stream, const double* chi, int labelled);
