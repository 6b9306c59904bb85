// Convergence and shear of the lens model at chosen positions (command kapgam): at one
// point, at points read from a file, at the observed image positions, or at the image
// positions predicted after re-fitting each model of the model set.
#pragma once

#include "shell/words.h"

// Convergence kappa, shear gamma and shear angle theta (degrees) of the loaded lens at
// (x, y), with its deflection (ax, ay); all scaled by the model-wide scale factor.
void kapgam_at(double x, double y, double& kappa, double& gamma, double& theta, double& ax, double& ay);

void kapgam(const WordArray& words);
void kapgamhelp(int level);
