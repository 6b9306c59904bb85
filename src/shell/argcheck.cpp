// Checks of the numeric words of commands, with the warnings the commands print.
#include "shell/argcheck.h"

#include <cmath>
#include <cstdlib>

#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/words.h"

namespace {

double word_value(const std::string& word) { return std::atof(word.c_str()); }

// The integer test on a value already read.
bool integral_value(double v) {
  if (!fits_int(v)) return false;
  return std::fabs(v - static_cast<double>(read_integer(v))) < 1.0e-4;
}

void warn_not_integer(const std::string& name) { warning(strformat("argument '%s' should be an integer.", name.c_str())); }

}  // namespace

long word_integer(const std::string& word) {
  return usable_integer(current_command(), word, "integer", -kLongWordLimit, kLongWordLimit);
}

int docheckint(const std::string& word) { return integral_value(word_value(word)) ? 1 : 0; }

int checkint(const std::string& word, const std::string& name) {
  if (docheckint(word)) return 1;
  warn_not_integer(name);
  return 0;
}

int checkint2(const std::string& word, const std::string& name, int lo, int hi) {
  if (!docheckint(word)) {
    warn_not_integer(name);
    return 0;
  }
  const int k = static_cast<int>(word_integer(word));
  if (k < lo) {
    warning(strformat("argument %s=%d is smaller than the\n         minimum allowed value (%d).", name.c_str(), k, lo));
    return 0;
  }
  if (k > hi) {
    warning(strformat("argument %s=%d is larger than the\n         maximum allowed value (%d).", name.c_str(), k, hi));
    return 0;
  }
  return 1;
}

int checktype(const std::string& word, const std::string& name) { return checkint2(word, name, 1, 4); }

int checksteps(const std::string& word, const std::string& name, int minimum, int allowNegative) {
  if (!docheckint(word)) {
    warning(strformat("argument '%s' should be an integer.\n         It is the number of steps, not the step size.",
                      name.c_str()));
    return 0;
  }
  const long k = word_integer(word);
  if (k == 0) {
    warning(strformat("%s cannot be 0.", name.c_str()));
    return 0;
  }
  if (k < 0 && !allowNegative) {
    warning(strformat("%s cannot be negative\n         (logarithmic steps not allowed here).", name.c_str()));
    return 0;
  }
  const long ak = k < 0 ? -k : k;
  if (ak < minimum) {
    warning(strformat("%s=%ld is smaller than\n         the minimum allowed number (%d).", name.c_str(), ak, minimum));
    return 0;
  }
  return 1;
}

void warn_log_range() { warning("cannot use logarithmic spacing with a\n         negative parameter range."); }
