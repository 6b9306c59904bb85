// Statistics of lensing quantities over realisations of the clump populations.
#pragma once

#include "shell/words.h"

// Newton iteration for the image of source (u, v) from (x, y), updated in place; 1 when
// the last step is within xtol, else 0.
int refine_pos(double& x, double& y, double u, double v);

void ranlens(const WordArray& words);
void ranlenshelp(int level);
void ranlens1(const WordArray& words);
void ranlens1help(int level);
void magdistimg(const WordArray& words);
void magdistimghelp(int level);
void magdistsrc(const WordArray& words);
void magdistsrchelp(int level);
void clumpcheckR(const WordArray& words);
void clumpcheckRhelp(int level);
