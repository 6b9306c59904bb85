// Commands that work on array files: filetypes, fileconvert, imarith, imcombine, imdiff,
// imstats, each with its help routine.
#pragma once

#include "shell/words.h"

void filetypes(const WordArray& words);
void filetypeshelp(int level);
void fileconvert(const WordArray& words);
void fileconverthelp(int level);
void imarith(const WordArray& words);
void imarithhelp(int level);
void imcombine(const WordArray& words);
void imcombinehelp(int level);
void imdiff(const WordArray& words);
void imdiffhelp(int level);
void imstats(const WordArray& words);
void imstatshelp(int level);
