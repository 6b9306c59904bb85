#include "numeric/minimize.h"

#include <cstdio>

MinimizerState minimizer_state;

namespace minimize_detail {

void amoeba_limit_note() {
  // Written to standard output itself, not to the message stream.
  std::fputs("Note: NMAX exceeded in amoeba\n", stdout);
}

}  // namespace minimize_detail
