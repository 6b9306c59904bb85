// Command try2: fixed line-of-sight and shear matrices for the evaluator.
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"

void try2(const WordArray& words) {
  if (words.own_count() < 11) {
    refuse_line(words);
    return;
  }
  double w[11];
  for (int i = 1; i <= 10; ++i) w[i] = words.real(i);
  LensState& tm = TWmod;
  tm.has_losmat = true;
  tm.losmat[1][1][1] = 1.0 - w[2];
  tm.losmat[1][1][2] = -w[3];
  tm.losmat[1][2][1] = -w[4];
  tm.losmat[1][2][2] = 1.0 - w[5];
  tm.losmat[2][1][1] = w[7];
  tm.losmat[2][1][2] = w[8];
  tm.losmat[2][2][1] = w[9];
  tm.losmat[2][2][2] = w[10];
}
