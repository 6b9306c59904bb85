// Magnification cross sections:
//
//   magcrosssec <outbase> <u lo> <hi> <steps> <v lo> <hi> <steps> <mu lo> <hi> <steps> <Ntarget>
//
// A grid of source positions over the rectangle is refined recursively (each tile split
// 2 x 2) where the image count changes across a tile or its largest total magnification
// exceeds the threshold of its level, down to the level of the last threshold. The final
// tiles are then sampled at random, tiles whose magnification differs most from their
// neighbours in rank getting more samples, and each sample carries the source-plane area
// it stands for. Files: <outbase>-map.dat (base grid nodes: u v Nimg mu),
// <outbase>-grid.dat (final tiles: ulo uhi vlo vhi mu_max level) and <outbase>-area.dat
// (samples: u v Nimg mu level area).
#pragma once

#include <cstdio>
#include <vector>

#include "numeric/random.h"
#include "shell/words.h"

// State of one run.
struct MagCsecRun {
  int n = 0;                   // number of magnification thresholds (deepest level)
  std::vector<double> t;       // [1..n] thresholds (index 0 unused)
  long ntiles = 0;             // final tiles written so far
  struct Tile {
    double ulo, uhi, vlo, vhi;
    int level;
  };
  std::vector<Tile> tiles;     // the final tiles as written, at full precision
  FILE* map = nullptr;         // base-level node file
  FILE* grid = nullptr;        // final-tile file
  RandomStream magcrosssec_seed;  // the run's own draws, started from the setting seed
};

// Image count and total magnification (sum of |mu| over the images, 0 without images) of
// the current source placed at (u, v).
void magcrosssec_func(double u, double v, int& nimg, double& mu);
// The grid procedure on Nu x Nv nodes spanning [ua, ub] x [va, vb] at the given level.
void magcsec_grid(MagCsecRun& run, int Nu, int Nv, int level, double ua, double ub, double va, double vb);

void magcrosssec(const WordArray& words);
void magcrosssechelp(int level);
