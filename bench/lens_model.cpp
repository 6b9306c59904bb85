// Cost of loading one trial model into the component table (initmodel runs once per
// trial in every fit), against a plain copy of its parameters.
#include <string>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "models/component.h"
#include "models/registry.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

void bench_lens_model() {
  start_program(stdin, stdout);
  quietflag = 1;
  InitModels();
  SetVar("gridflag", 0, 0);
  SetVar("shrcoords", 0, 1);
  SetVar("galcoords", 0, 2);
  SetGlob();
  const int n = 4;
  TWgal.allocate(n);
  LensModel m;
  m.allocate(n);
  for (int i = 1; i <= n; ++i) {
    m.names[i] = i == 1 ? "alpha" : "expdisk";
    const double p[11] = {0, 1.0, 0.1 * i, 0.2 * i, 0.1, 0.05, 0.03, 0.02, 0.1, 0, 1};
    for (int k = 1; k <= 10; ++k) m.p[i][k] = p[k];
  }
  const double load = ns_per_call(200000, [&] { keep(initmodel(m, 0)); });
  const double copy = ns_per_call(200000, [&] {
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= 10; ++k) TWgal.p[i][k] = m.p[i][k];
    keep(TWgal.p[n][10]);
  });
  std::printf("initmodel, 4 components : %10.1f ns (%.1f x a plain copy of the parameters)\n", load,
              load / copy);
}
