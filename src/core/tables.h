// Tabulated-model files and resampling errors:
//
//   maketab <file> <ellip lo> <hi> <# steps> <r lo> <hi> <# steps> <# theta steps>
//   loadtab <file>
//   jackknife <inname> <column> [Ndata] [outname]
//   bootstrap <inname> <column> <Nboot> [Ndata] [outname]
//
// maketab tabulates the one-component model 1, moved to the origin with position angle
// -90 degrees and no shear, over ellipticity, radius and the first quadrant of angles,
// and writes the table file that loadtab reads (models/tab.h gives the format). The
// table's b, s, a and alpha are those of the loaded component, which every user of the
// table rescales by.
#pragma once

#include "shell/words.h"

void maketab(const WordArray& words);
void maketabhelp(int level);
void loadtab(const WordArray& words);
void loadtabhelp(int level);
void jackknife(const WordArray& words);
void jackknifehelp(int level);
void bootstrap(const WordArray& words);
void bootstraphelp(int level);
