// Runs every benchmark area, or those named on the command line.
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"
#include "shell/words.h"

void start_bench_lens(const char* model_lines) {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  FILE* f = std::tmpfile();
  std::fputs(model_lines, f);
  std::rewind(f);
  FILE* saved = QVMstdin;
  QVMstdin = f;
  run_command_line(WordArray({"setlens", "1", "1"}));
  QVMstdin = saved;
  std::fclose(f);
}

namespace {
struct Area {
  const char* name;
  void (*run)();
};
const Area kAreas[] = {
    {"shell", bench_shell},
    {"numeric_toolkit1", bench_numeric_toolkit1},
    {"numeric_toolkit2", bench_numeric_toolkit2},
    {"lens_model", bench_lens_model},
    {"evaluator", bench_evaluator},
    {"profiles1", bench_profiles1},
    {"profiles2", bench_profiles2},
    {"profiles3", bench_profiles3},
    {"grid", bench_grid},
    {"images", bench_images},
    {"microlensing", bench_microlensing},
    {"core_commands", bench_core_commands},
    {"finite_source", bench_finite_source},
    {"maps", bench_maps},
    {"fit", bench_fit},
    {"samplers", bench_samplers},
    {"scans", bench_scans},
    {"clumps", bench_clumps},
    {"sim", bench_sim},
    {"batchfit", bench_batchfit},
    {"weak_terms", bench_weak_terms},
};
}  // namespace

int main(int argc, char** argv) {
  for (const auto& a : kAreas) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], a.name) == 0;
    if (!wanted) continue;
    std::printf("== %s\n", a.name);
    a.run();
  }
  return 0;
}

// Runs command lines as a command file would, with further input lines read from the same text.
void run_bench_commands(const std::string& cmds) {
  FILE* f = std::tmpfile();
  std::fputs(cmds.c_str(), f);
  std::rewind(f);
  FILE* saved = QVMstdin;
  QVMstdin = f;
  WordArray w;
  while (myread(f, w)) {
    std::vector<std::string> v(w.words().begin(), w.words().begin() + w.own_count());
    DoCmd(v[0], WordArray(v));
  }
  QVMstdin = saved;
  std::fclose(f);
}
