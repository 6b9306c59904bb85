// Start-up state of the fitting program: its data tables and the hooks that the program
// entry and the settings refresh call.
#pragma once

// Empties the observed-data, batch and constraint tables, the correlated-position record
// and the ring tables, and sets the curve and ring capacities.
void init_fit_data();
// Start-up and refresh hooks of the fitting package.
void InitCrvs();
void InitPkg();
void GlobPkg();

// Capacities of the ring and curve tables.
struct FitCapacities {
  int NRINGMAX = 0, MRINGMAX = 0;
  int CRVNMAX = 0, CRVSMAX = 0, CRVPMAX = 0;
};
extern FitCapacities fitcap;
