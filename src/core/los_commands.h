// Commands of the line of sight: the shearLOS settings, the bridge cut, the plane
// display, the void-correction tables and their diagnostics.
//
//   shearLOS pos <xref> <yref> <Rcut> [z args] [exact <list>] | gal <igal> <Rcut> ... | off
//     z args: zbox <dz>, zbridge [dz], HOTlos <dxcut>, HOTcut <dxcut>; any other word there
//     is kept as the output base name. Takes effect at the next setlens or changelens.
//   bridgecut pos <x0> <y0> <R0> | gal <igal> <R0> | off
//   showLOS [filename]
//   try <zi> <zj>                      void-correction factors between two redshifts
//   masscomplete <file> [dz] | off | test <dz> <zmax> <a> <n>
//   plotzbridge <z lo> <hi> <steps> <outname>
#pragma once

#include <cstdio>

#include "shell/words.h"

void shearLOS(const WordArray& words);
void shearLOShelp(int level);
void bridgecut(const WordArray& words);
void bridgecuthelp(int level);
void showLOS(const WordArray& words);
void showLOShelp(int level);
void try_(const WordArray& words);
void tryhelp(int level);
void masscomplete(const WordArray& words);
void masscompletehelp(int level);
void plotzbridge(const WordArray& words);
void plotzbridgehelp(int level);

// Writes one 2x2 matrix M (11, 12, 21, 22) with its label: 1 - M to the matrix file, and
// kappa, gamma_c, gamma_s and the skew angle to the shear file.
void shearLOS_write(FILE* matfile, FILE* shrfile, const double M[4], const char* label);
