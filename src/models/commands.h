// The mass-model commands: model list, tables, convergence maps and special models.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable models_commands();
