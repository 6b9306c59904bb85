// Shared helpers of the unit and end-to-end tests.
#pragma once

#include <cstdio>
#include <utility>
#include <string>
#include <vector>

#include "shell/commands.h"
#include "shell/fatal.h"

// Captures everything written to QVMstdout while it lives (restores the stream after).
class CaptureOutput {
 public:
  CaptureOutput();
  ~CaptureOutput();
  // Text written so far.
  std::string text();

 private:
  FILE* saved_;
  FILE* file_;
  char* buf_ = nullptr;
  size_t len_ = 0;
};

// A fresh scratch folder, removed with its contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& contents) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

struct RunResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status
};

// The binary the end-to-end tests run: the build's tarnsolve, or the one TW_E2E_BINARY
// names (scripts/compare-builds.sh runs every test's commands through two builds).
std::string tarnsolve_binary();

// Runs the real tarnsolve binary in folder dir with the given arguments (each quoted),
// feeding stdin_text on standard input.
RunResult run_tarnsolve(const std::string& dir, const std::vector<std::string>& args,
                        const std::string& stdin_text = "");
// Writes the command file "cmds.in" into dir and runs "tarnsolve -q cmds.in".
RunResult run_commands(const ScratchDir& dir, const std::string& commands);
// Runs tarnsolve in dir with the given arguments at a pseudo-terminal, as a user typing:
// typed is fed line by line, then the end-of-input character. Standard output and
// standard error both reach the terminal, so out holds them merged (err stays empty);
// the terminal neither echoes the input nor rewrites newlines.
RunResult run_at_terminal(const std::string& dir, const std::vector<std::string>& args, const std::string& typed);

// Runs a command handler as the command loop runs it: the refresh and word check of its
// registered table row first (the first row with that handler). A handler that no row
// holds fails the test.
void run_handler(CommandHandler handler, const WordArray& words);

// Path of a file under the source tree (for examples and fixtures).
std::string source_path(const std::string& relative);

// Number of occurrences of needle in haystack.
int count_occurrences(const std::string& haystack, const std::string& needle);

// The FatalError that fn throws; one with the message "(no error)" when it throws none.
template <class F>
FatalError fatal_of(F&& fn) {
  try {
    std::forward<F>(fn)();
  } catch (const FatalError& e) {
    return e;
  }
  return FatalError(FatalKind::Error, "(no error)", 0);
}

// The message of the FatalError that fn throws, "(no error)" when it throws none.
template <class F>
std::string fatal_message(F&& fn) {
  return fatal_of(std::forward<F>(fn)).message;
}

// Points the command input (QVMstdin) at the given text while it lives.
class CommandInput {
 public:
  explicit CommandInput(const std::string& text);
  ~CommandInput();
  CommandInput(const CommandInput&) = delete;
  CommandInput& operator=(const CommandInput&) = delete;

 private:
  FILE* saved_;
  FILE* file_;
};

// The names in a folder (without "." and ".."), sorted.
std::vector<std::string> dir_entries(const std::string& dir);
