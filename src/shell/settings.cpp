#include "shell/settings.h"

#include <climits>
#include <cmath>

Settings settings;

long read_integer(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return LONG_MAX;
  if (v <= -9.2e18) return LONG_MIN;
  if (v == std::trunc(v)) return static_cast<long>(v);
  return static_cast<long>(std::trunc(v * 1.000001));
}

bool fits_long(double v) { return std::isfinite(v) && std::fabs(v) < 9.2e18; }

bool fits_int(double v) {
  if (!std::isfinite(v)) return false;
  const double r = v == std::trunc(v) ? v : std::trunc(v * 1.000001);
  return r >= INT_MIN && r <= INT_MAX;
}
