// Commands that choose how the main grid is made, rebuild it, fit its radial range to
// the multiply-imaged region, and write it to plot files.
#pragma once

#include "shell/words.h"

void gridmode(const WordArray& words);
void gridmodehelp(int level);
void regrid(const WordArray& words);
void regridhelp(int level);
void autogrid(const WordArray& words);
void autogridhelp(int level);
void plotgrid(const WordArray& words);
void plotgridhelp(int level);
