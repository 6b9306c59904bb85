// Start-up of the whole program, shared by the program entry and the tests.
#pragma once

#include <cstdio>

// Core start-up, the core's commands, the settings-refresh hooks (core, fitting, package),
// then the fitting program's commands and settings, its data tables and package hook;
// leaves quiet mode off.
void start_program(FILE* in, FILE* out);
