// The fitting commands: data, constraints, optimisation, scans and samplers.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable fit_commands();
// Registers the 23 fitting settings, silently, in their order.
void register_fit_settings();
// Adds the fitting settings refresh, then the package hook, to those SetGlob runs.
void register_fit_refresh();
