// Weak-lensing term of the fitter.
#pragma once

// Slot 8 of TSstore.chi.
void chiweak();
