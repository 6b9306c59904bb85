#include "fit/results.h"

#include <cmath>

#include "fit/pointchi.h"
#include "shell/settings.h"

void writechi(FILE* stream, const double* chi, int labelled) {
  if (labelled) std::fprintf(stream, "CHISQ:");
  for (int i = 0; i < 9; ++i) std::fprintf(stream, " %e", chi[i]);
  if (labelled) std::fprintf(stream, " # tot pos flux tdel gal plim crv ring weak");
  std::fprintf(stream, "\n");
  if (std::fabs(settings.chimode - 2.0) < 1e-4) std::fprintf(stream, "RMS: %e # from GausCorr\n", GausCorr.rms);
}
