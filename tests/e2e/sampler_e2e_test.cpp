// Markov chains and nested sampling through the real program, from command files.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include "support/numeric_rows.h"
#include "support/test_support.h"

namespace {
std::vector<std::vector<double>> rows_of(const std::string& text) { return numeric_rows(text); }

const char* const kModel =
    "set gridflag 0\n"
    "set chimode 0\n"
    "set tempfiles 0\n"
    "setlens 1 1\n"
    "alpha 1.2 0.3 -0.3 0 0 0 0 0 0 1\n"
    "1 1 1 0 0 0 0 0 0 0\n";
}  // namespace

// Without data every point scores 0: the evidence per unit prior volume is exactly 1 and
// the posterior is the flat box.
TEST(SamplerE2E, FlatPosteriorGivesUnitEvidenceAndTheBoxMoments) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kModel) +
                                          "nestsampSet live 200 minsteps 500 writelive 0\n"
                                          "0.7 1.3\n-0.5 0.5\n-0.5 0.5\n"
                                          "nestsampRun n\n"
                                          "nestsampDraw n d.dat 100\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Enter lo, hi for the 3 galaxy parameters:\nEnter lo, hi for the 0 source parameters:\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("nestsamp: starting nested sampling\n"), std::string::npos);
  const auto done = rows_of(d.read("n-done.dat"));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_NEAR(done[0][0], 1.0, 1e-6);
  EXPECT_NEAR(done[0][3], 0.6, 1e-6);
  const auto mean = rows_of(d.read("n-mean.dat"));
  ASSERT_EQ(mean.size(), 3u);
  const double centre[3] = {1.0, 0, 0}, sd[3] = {0.6 / std::sqrt(12.0), 1 / std::sqrt(12.0), 1 / std::sqrt(12.0)};
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(mean[k][1], centre[k], 0.15 * sd[k]) << k;
    EXPECT_NEAR(mean[k][2], sd[k], 0.1 * sd[k]) << k;
  }
  const auto drawn = rows_of(d.read("d.dat"));
  EXPECT_NEAR(static_cast<double>(drawn.size()), 100, 30);
  for (const auto& row : drawn) {
    ASSERT_EQ(row.size(), 4u);
    EXPECT_GE(row[0], 0.7);
    EXPECT_LE(row[0], 1.3);
  }
  EXPECT_FALSE(d.exists("n-live.dat"));
  EXPECT_EQ(rows_of(d.read("n-cdf.dat")).size(), rows_of(d.read("n-nest.dat")).size());
}

TEST(SamplerE2E, ChainFilesAndResultFiles) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kModel) +
                                          "MCMCset 1 minsteps 100 maxsteps 201 Nchain 4\n"
                                          "MCMCrun c\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("MCMC: running chains\n"), std::string::npos);
  EXPECT_NE(r.out.find("Processing chains.\n"), std::string::npos);
  // 200 steps: rows 101..200 of 4 chains.
  const auto p = rows_of(d.read("c-p.dat"));
  ASSERT_EQ(p.size(), 401u);
  EXPECT_EQ(p[0][0], 400);
  EXPECT_EQ(rows_of(d.read("c-1.tmp")).size(), 201u);
  const std::string start = d.read("c.startN");
  EXPECT_EQ(start.substr(0, start.find('\n')), "1 400");
  EXPECT_EQ(count_occurrences(start, "   alpha"), 400);
  EXPECT_EQ(count_occurrences(d.read("c.dat"), "CHISQ: "), 400);
}

TEST(SamplerE2E, RefusalsEndTheRunWithStatusOne) {
  struct Case {
    const char* commands;
    const char* message;
  };
  const Case cases[] = {
      {"MCMCset 1 Nchain 2\nMCMCrun c\n", "ERROR: MCMC requires more chains than variables\n"},
      {"MCMCset 1 stepfac -1\nMCMCrun c\n", "ERROR: MCMC requires a positive stepfac\n"},
      {"nestsampSet update 0\n", "ERROR: nestsamp needs update of at least 1\n"},
      {"nestsampSet live 10\n0.7 1.3\n", "ERROR: too few inputs\n"},
      {"MCMCset 1 Nchain nan\n", "ERROR: MCMCset: nan is not a finite number\n"},
      {"nestsampSet live 10\n0.7 1.3\n0 inf\n", "ERROR: nestsampSet: inf is not a finite number\n"},
  };
  for (const Case& c : cases) {
    ScratchDir d;
    const RunResult r = run_commands(d, std::string(kModel) + c.commands);
    EXPECT_EQ(r.status, 1) << c.commands;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
  ScratchDir d;
  const RunResult r = run_commands(d, "MCMCrun c\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: no lens model has been specified\n"), std::string::npos);
}

TEST(SamplerE2E, HelpTextsAndTheRunWithoutASetUp) {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {},
                                    "help MCMCset\nhelp MCMCrun\nhelp MCMCbatch\nhelp nestsampSet\n"
                                    "help nestsampRun\nhelp nestsampDraw\nnestsampRun x\nnestsampSet\n");
  EXPECT_EQ(r.status, 0);
  for (const char* line : {"MCMCset <mode> [then list of keyword and value]", "MCMCrun <outbase>",
                           "MCMCbatch <outbase> [runmode] [outmode] [istart] [iend]",
                           "nestsampSet [list of keyword and value]", "nestsampRun <outbase>",
                           "nestsampDraw <inbase> <outname> [Ndraw]"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  EXPECT_NE(r.out.find("WARNING: You need to do nestsampSet before nestsampRun.\n"), std::string::npos);
  EXPECT_NE(r.out.find("nestsamp parameters:\nmode:      1\nhull:      0\nlive:      100\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Enter lo, hi"), std::string::npos);
}

TEST(SamplerE2E, BatchChainsNeedBatchEntriesAndAKnownOutmode) {
  ScratchDir d;
  // An unknown outmode is a refused word: it ends a script.
  RunResult r = run_tarnsolve(d.path(), {}, std::string(kModel) + "MCMCbatch b 1 sideways\nMCMCbatch b\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: unknown value of 'outmode' in MCMCbatch\n"), std::string::npos);
  // No batch entries is a note about the state; the run goes on.
  r = run_tarnsolve(d.path(), {}, std::string(kModel) + "MCMCbatch b\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Note: Must load data using batchdata before running MCMCbatch\n"), std::string::npos);
}

TEST(SamplerE2E, BatchChainsPerLensAndAppended) {
  ScratchDir d;
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::stringstream ss;
  ss << in.rdbuf();
  d.write("batch.dat", ss.str() + ss.str());
  const RunResult r = run_commands(d,
                                   "set gridflag 0\nset chimode 0\nset tempfiles 0\nsetlens 1 1\n"
                                   "alpha 1 0 0 0 0 0.1 0 0 0 1\n0 1 1 0 0 0 0 0 0 0\n"
                                   "batchdata batch.dat\n"
                                   "MCMCset 1 Nchain 4 maxsteps 51 minsteps 1000\n"
                                   "MCMCbatch b\nMCMCbatch a 1 append 2\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "MCMCbatch lens 1\n"), 1);
  EXPECT_EQ(count_occurrences(r.out, "MCMCbatch lens 2\n"), 2);
  // 50 steps: rows 26..50 of 4 chains per lens.
  for (const char* f : {"b1-p.dat", "b2-p.dat"}) {
    const auto rows = rows_of(d.read(f));
    ASSERT_EQ(rows.size(), 101u) << f;
    EXPECT_EQ(rows[0][0], 100);
    for (size_t i = 1; i < rows.size(); ++i) {
      ASSERT_EQ(rows[i].size(), 5u);  // x, y, h, chi^2, flag
      EXPECT_TRUE(std::isfinite(rows[i][3]));
      EXPECT_LT(rows[i][3], 1e6);  // near the lens the data were made from
    }
  }
  const std::string a = d.read("a-p.dat");
  EXPECT_EQ(a.rfind("# new lens\n100\n", 0), 0u);
  EXPECT_EQ(count_occurrences(a, "# new lens\n"), 1);
  EXPECT_EQ(count_occurrences(d.read("a.dat"), "# new lens\n\n"), 1);
}
