// The fitting commands: data, constraints, optimisation, scans and samplers.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable fit_commands();
