// The core's commands: models, grids, maps, images, checks and tables.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable core_commands();
