// Image and source finding commands, and plotcrit.
//
//   findimg  <source u> <source v> [outname] [trackmode] [trackname]
//   findimg2 <u lo> <hi> <# steps> <v lo> <hi> <# steps> <outname> [magname]
//   findimg3 <inname> <outname>
//   findsrc  <image x> <image y> [outname]
//   findsrc3 <inname> <outbase>
//   ellsrc   <file> <u0> <v0> <e> <PA> <R lo> <hi> <# R steps> <# theta steps>
//   ellimg   <file> <x0> <y0> <e> <PA> <R lo> <hi> <# R steps> <# theta steps>
//   plotcrit <file>
//
// Images are found for the current source (isource) on the current grid, turned into
// time delays (shifted to the earliest image when tshift is 1) and listed by delay in an
// image block: the source line, the count line and one row per image (x, y, mag, tdel).
#pragma once

#include "shell/words.h"

void findimg(const WordArray& words);
void findimghelp(int level);
void findimg2(const WordArray& words);
void findimg2help(int level);
void findimg3(const WordArray& words);
void findimg3help(int level);
void findsrc(const WordArray& words);
void findsrchelp(int level);
void findsrc3(const WordArray& words);
void findsrc3help(int level);
void ellsrc(const WordArray& words);
void ellsrchelp(int level);
void ellimg(const WordArray& words);
void ellimghelp(int level);
void plotcrit(const WordArray& words);
void plotcrithelp(int level);
