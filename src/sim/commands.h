// The simulation commands: mock lenses, substructure clumps, statistics and OMEGA runs.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable sim_commands();
