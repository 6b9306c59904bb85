// Minimiser support: the minimiser state and the once-per-command note when the simplex
// exceeds its evaluation limit.
#include "numeric/minimize.h"

#include <cstdio>

MinimizerState minimizer_state;

namespace minimize_detail {

void amoeba_limit_note() {
  // Written to standard output itself, not to the message stream; once per command.
  static RepeatedMessage limit;
  if (!limit.first()) return;
  note("NMAX exceeded in amoeba", stdout);
  limit.remember(labelled("Note", "NMAX exceeded in amoeba"), true);
}

}  // namespace minimize_detail
