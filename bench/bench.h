// The benchmark program: each area adds one function that prints its per-call costs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "shell/commands.h"

// Times fn() called n times; returns nanoseconds per call.
template <class F>
double ns_per_call(long n, F&& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) fn();
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(n);
}

// The fastest of `repeats` timings of n calls of fn, in nanoseconds per call: steadier than
// one timing on a busy machine.
template <class F>
double fastest_ns(int repeats, long n, F&& fn) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) best = std::min(best, ns_per_call(n, fn));
  return best;
}

// Starts the program quietly without grid builds and sets up a one-model lens from its
// component and vary-flag lines.
void start_bench_lens(const char* model_lines);
// Runs the lines of cmds as commands (lines a command reads come from the same text).
void run_bench_commands(const std::string& cmds);

// Runs a command line as the command loop does: its table row's refresh and word check,
// then its handler.
inline void run_command_line(const WordArray& words) { DoCmd(words[0], words); }

// Keeps a computed value alive so the optimiser cannot drop the work.
inline void keep(double v) {
  asm volatile("" : : "g"(v) : "memory");
}

void bench_shell();
void bench_numeric_toolkit1();
void bench_numeric_toolkit2();
void bench_lens_model();
void bench_evaluator();
void bench_grid();
void bench_images();
void bench_microlensing();
void bench_finite_source();
void bench_maps();
void bench_profiles1();
void bench_profiles2();
void bench_profiles3();
void bench_weak_terms();
void bench_core_commands();
void bench_fit();
void bench_samplers();
void bench_scans();
void bench_fit_crvring();
void bench_clumps();
void bench_sim();
void bench_batchfit();
