#include "models/substructure.h"

ClumpState TWclump;

// Staged: no clump tree exists yet, so a tree adds nothing.
void TreeCalc(const ClumpTreeNode*, DerivVector&, double, double) {}

// Staged: no population has a far zone yet, so nothing is added.
void ClumpMpoleCalc(int, DerivVector&, double, double) {}
