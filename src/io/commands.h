// The file commands: array files, image arithmetic and principal components.
#pragma once

#include "shell/commands.h"

// Every command row of the folder; the start-up places them in the program's order.
CommandTable io_commands();
