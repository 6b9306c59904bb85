// Cost of parsing a command line and of one settings refresh.
#include <string>

#include "app/startup.h"
#include "bench/bench.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/words.h"

void bench_shell() {
  start_program(stdin, stdout);
  quietflag = 1;
  const double parse = ns_per_call(200000, [] {
    std::string line = "findimg 0.2 0.1 # a comment";
    WordArray w;
    strparse(line, w);
    keep(static_cast<double>(w.count()));
  });
  const double refresh = ns_per_call(20000, [] { SetGlob(); });
  std::printf("parse one command line : %10.1f ns\n", parse);
  std::printf("settings refresh       : %10.1f ns\n", refresh);
}
