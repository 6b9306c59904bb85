#include "fit/weak.h"

// Until weak-lensing data can be loaded the term adds nothing.
void chiweak() {}
