// Start-up of the whole program, shared by the program entry and the tests.
#pragma once

#include <cstdio>

// Core start-up, the core's commands, the settings-refresh hooks (core, fitting, package),
// then the fitting program's commands and settings, its data tables and package hook;
// leaves quiet mode off.
void start_program(FILE* in, FILE* out);

// Readies the standard streams before anything is opened: a closed descriptor 0, 1 or 2 is
// held by /dev/null, opened for reading only, so that no file the program opens takes its
// place and writes to a closed output fail ("Bad file descriptor"); standard output keeps
// the system's reason for a refused write.
void prepare_standard_streams();
