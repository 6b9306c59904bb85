// Program entry: core start-up, the fitting program's commands and settings, then the
// command loop on standard input or on each command file named on the command line.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "app/startup.h"
#include "shell/commands.h"
#include "shell/fatal.h"

namespace {

bool is_quiet_switch(const char* a) { return std::strcmp(a, "-q") == 0 || std::strcmp(a, "-quiet") == 0; }

int run(int argc, char** argv) {
  start_program(stdin, stdout);

  int first = 1;
  if (argc > 1 && is_quiet_switch(argv[1])) {
    quietflag = 1;
    first = 2;
  }
  // Command files, and a standard input that is no terminal (a pipe, a redirected file),
  // are scripts: a command that does not run ends them.
  scriptflag = first < argc || !isatty(fileno(stdin)) ? 1 : 0;
  if (first >= argc) {
    cmdloop();
    return kNormalExitStatus;
  }
  FILE* saved = QVMstdin;
  for (int k = first; k < argc; ++k) {
    FILE* f = std::fopen(argv[k], "r");
    struct stat st;
    // A folder opens but holds no commands.
    const bool folder = f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
    if (!f || folder) {
      if (f) std::fclose(f);
      QVMstdin = saved;
      print_error(strformat("could not open input file %s%s", argv[k], folder ? ": Is a directory" : ""));
      std::fflush(QVMstdout);
      return kErrorExitStatus;
    }
    QVMstdin = f;
    if (!quietflag) qprintf("Reading commands from input file %s\n", argv[k]);
    try {
      cmdloop();
    } catch (...) {
      std::fclose(f);
      QVMstdin = saved;
      throw;
    }
    std::fclose(f);
  }
  QVMstdin = saved;
  return kNormalExitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  prepare_standard_streams();
  int status;
  bool output_failed = false;
  try {
    status = run(argc, argv);
  } catch (const FatalError& e) {
    status = report_fatal(e);
    output_failed = e.kind == FatalKind::Output;
  } catch (const std::bad_alloc&) {
    // Memory ran out outside the index-bounded arrays (words, lines, text tables): end as
    // a refused allocation does, keeping what was printed so far.
    status = report_fatal(FatalError(FatalKind::Numerical, "allocation failure", kErrorExitStatus));
  }
  // Whatever ended the run, output that never arrived is a failure of its own.
  if (!output_failed) {
    try {
      flush_output();
    } catch (const FatalError& e) {
      const int s = report_fatal(e);
      if (status == kNormalExitStatus) status = s;
    }
  }
  return status;
}
