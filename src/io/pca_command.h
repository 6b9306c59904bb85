// The command doPCA: principal component analysis of the points in a data file.
#pragma once

#include "shell/words.h"

// Command "doPCA <inname> <outbase> [# dimensions] [# data points]": principal component
// analysis of the points in a data file; writes <outbase>.info and <outbase>.dat. It does
// not refresh the settings.
void doPCA(const WordArray& words);
void doPCAhelp(int level);
