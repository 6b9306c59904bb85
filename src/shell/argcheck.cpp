// Checks of the numeric words of commands, with the refusals they give.
#include "shell/argcheck.h"

#include <cmath>
#include <cstdlib>

#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/words.h"

namespace {

double word_value(const std::string& word) { return std::atof(word.c_str()); }

// What the leading number of a word is, as an int count.
enum class IntWord { Integer, NotInteger, OutOfRange, NotFinite };

IntWord int_word(const std::string& word) {
  const double v = word_value(word);
  if (!std::isfinite(v)) return IntWord::NotFinite;
  // On the double: no conversion of a value beyond a long.
  if (std::fabs(v - integer_rule(v)) >= 1.0e-4) return IntWord::NotInteger;
  return fits_int(v) ? IntWord::Integer : IntWord::OutOfRange;
}

// Refuses a word that is no int; hint is a line added to "should be an integer".
bool refuse_not_integer(const std::string& word, const std::string& name, const char* hint = "") {
  switch (int_word(word)) {
    case IntWord::Integer:
      return false;
    case IntWord::NotFinite:
      refuse(strformat("argument '%s' is not a finite number.", name.c_str()));
      return true;
    case IntWord::OutOfRange:
      refuse(strformat("argument '%s' is out of range.", name.c_str()));
      return true;
    case IntWord::NotInteger:
      break;
  }
  refuse(strformat("argument '%s' should be an integer.%s", name.c_str(), hint));
  return true;
}

}  // namespace

long word_integer(const std::string& word) {
  return usable_integer(current_command(), word, "integer", -kLongWordLimit, kLongWordLimit);
}

int docheckint(const std::string& word) { return int_word(word) == IntWord::Integer ? 1 : 0; }

int checkint(const std::string& word, const std::string& name) { return refuse_not_integer(word, name) ? 0 : 1; }

int checkint2(const std::string& word, const std::string& name, int lo, int hi) {
  if (refuse_not_integer(word, name)) return 0;
  const int k = static_cast<int>(word_integer(word));
  if (k < lo) {
    refuse(strformat("argument %s=%d is smaller than the\n         minimum allowed value (%d).", name.c_str(), k, lo));
    return 0;
  }
  if (k > hi) {
    refuse(strformat("argument %s=%d is larger than the\n         maximum allowed value (%d).", name.c_str(), k, hi));
    return 0;
  }
  return 1;
}

int checktype(const std::string& word, const std::string& name) { return checkint2(word, name, 1, 4); }

int checksteps(const std::string& word, const std::string& name, int minimum, int allowNegative) {
  if (refuse_not_integer(word, name, "\n         It is the number of steps, not the step size.")) return 0;
  const long k = word_integer(word);
  if (k == 0) {
    refuse(strformat("%s cannot be 0.", name.c_str()));
    return 0;
  }
  if (k < 0 && !allowNegative) {
    refuse(strformat("%s cannot be negative\n         (logarithmic steps not allowed here).", name.c_str()));
    return 0;
  }
  const long ak = k < 0 ? -k : k;
  if (ak < minimum) {
    refuse(strformat("%s=%ld is smaller than\n         the minimum allowed number (%d).", name.c_str(), ak, minimum));
    return 0;
  }
  return 1;
}

void warn_log_range() { refuse("cannot use logarithmic spacing with a\n         negative parameter range."); }
