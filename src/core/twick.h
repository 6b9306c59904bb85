// The core: start-up of the lens-calculation core, its settings table, and the core half
// of the settings refresh (the program registers the core's commands, src/app).
#pragma once

#include <cstdio>

#include "shell/words.h"

// Core start-up, called once with the command input and the output stream.
void InitTWick(FILE* in, FILE* out);
// First values of the process-wide counters of the lens state.
void TW_glob_init0();
// Creates the model-wide records.
void TW_glob_init();
// Core half of the settings refresh: mirrors, checks and derived values.
void GlobTWick();

// Upper bounds of the grid settings that multiply the grid's nodes, checked by the
// refresh: steps of the top grid (ngrid1, negative for logarithmic steps, and ngrid2),
// subgrid zones (nsubg1, nsubg2) and subgrid levels (maxlev, gallev, imglev), and the
// cells of the source-tile catalogue (srccat).
constexpr int kMaxTopSteps = 2000;
constexpr int kMaxSubgridZones = 16;
constexpr int kMaxGridLevel = 16;
// The source-tile catalogue has (srccat + 1)^2 cells.
constexpr int kMaxCatalogCells = 2000;

void version(const WordArray& words);
void versionhelp(int level);
void mv(const WordArray& words);
void mvhelp(int level);
void rm(const WordArray& words);
void rmhelp(int level);
