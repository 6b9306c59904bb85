// The image-plane commands: grids, critical curves, surface-brightness maps and microlensing.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable imageplane_commands();
