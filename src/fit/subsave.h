// The subsave command: caches the clump field on small grids around the observed images.
#pragma once

#include "shell/words.h"

// "subsave on <dx lo> <hi> <#steps> <dy lo> <hi> <#steps> [outname]", "subsave off" or
// "subsave test <outname> <# points per grid>".
void subsave(const WordArray& words);
void subsavehelp(int level);
