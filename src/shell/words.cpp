#include "shell/words.h"
