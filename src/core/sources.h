// Commands on the source model and on what a fit varies: setsource, the component and
// source switches (turnoff, turnon), the vary flags (changevary, changevarysrc) and the
// optimiser's initial step sizes (stepsize, minstepsize).
//
// Source file (setsource <file>), read with the line reader:
//   <number of sources> <target number of rays per source>
//   one source line per source: class p1 .. p8
//   one vary-flag line per source: eight integers
// Each source line is checked as it is read, and the program ends with an ERROR naming the
// value for an unknown class, a size or Sersic index out of range, or (for an extended
// source) a ray count that is not positive or more than the search holds (source_models.h).
// Source lines are written by writesrc: "%8s" class, then " 0.0" for a zero parameter and
// " %e" otherwise.
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"
#include "shell/words.h"

// Initial step sizes of the optimiser: rows 1..ngal are the ten parameters of each
// component, rows ngal + 1 .. ngal + nsrc the eight parameters of each source (columns
// 1..8). The table follows the numbers of components and sources: when they change,
// rows keep their component or source and new rows get the default steps.
struct StepSizes {
  bool made = false;  // false until stepsize or minstepsize first runs
  int ngal = 0;       // components and sources the rows are laid out for
  int nsrc = 0;
  Mat pstep;          // [1..ngal + nsrc][1..10]
};
extern StepSizes TWstep;

// Brings the step-size table to the current numbers of components (NGALMAX) and sources
// (NSRCMAX), keeping every row that still exists and giving new rows the default steps;
// nothing when no table exists yet.
void update_pstep();
// Gives the step sizes their default values when they do not exist yet: with
// s = 0.01 rscale and a = 0.01 (shrcoords 1) or 1, a component row is
// s s s 0.01 a 0.01 a s s 0.01 and a source row 0.01 s s 0.01 a s s 0.01. Existing steps
// are kept (the table only follows the current counts).
void minstepsize();

// Writes the source lines of one source model (names [1..NSRCMAX], params
// [1..NSRCMAX][1..8]); sources of class "none" are skipped; nothing when NSRCMAX is 0.
void writesrc(FILE* stream, const BVec<std::string>& names, const Mat& params);

// Command handlers and their help routines.
void setsource(const WordArray& words);
void setsourcehelp(int level);
void turnoff(const WordArray& words);
void turnoffhelp(int level);
void turnon(const WordArray& words);
void turnonhelp(int level);
void changevary(const WordArray& words);
void changevaryhelp(int level);
void changevarysrc(const WordArray& words);
void changevarysrchelp(int level);
void stepsize(const WordArray& words);
void stepsizehelp(int level);
