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


void version(const WordArray& words);
void versionhelp(int level);
void mv(const WordArray& words);
void mvhelp(int level);
void rm(const WordArray& words);
void rmhelp(int level);
