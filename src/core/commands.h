// The core's commands: models, grids, maps, images, checks and tables.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable core_commands();
// The core settings, in registration order (the start-up registers them first).
SettingTable core_settings();
// Adds the core's settings refresh to those SetGlob runs.
void register_core_refresh();
