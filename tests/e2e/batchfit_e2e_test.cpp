// Batch fits and clump-averaged likelihoods as a user runs them from a command file.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/numeric_rows.h"
#include "support/test_support.h"

namespace {

std::string quadoff() {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The text with every image line (seven numbers) rewritten by fn; other lines as they are.
template <class F>
std::string rewrite_images(const std::string& text, F&& fn) {
  std::istringstream in(text);
  std::ostringstream out;
  std::string l;
  while (std::getline(in, l)) {
    std::istringstream ls(l);
    std::vector<std::string> w;
    std::string s;
    while (ls >> s) w.push_back(s);
    if (w.size() == 7 && w[0][0] != '#') {
      fn(w);
      for (size_t k = 0; k < w.size(); ++k) out << (k ? " " : "") << w[k];
      out << "\n";
    } else {
      out << l << "\n";
    }
  }
  return out.str();
}

// The quadoff lens seen in a mirror (every y negated): the same lens, for the source
// (0.05, -0.02).
std::string mirrored(const std::string& text) {
  return rewrite_images(text, [](std::vector<std::string>& w) {
    w[1] = w[1][0] == '-' ? w[1].substr(1) : "-" + w[1];
  });
}

// The blocks of outbase.dat, cut at its "# index" lines.
std::vector<std::string> blocks(const std::string& text) {
  std::vector<std::string> out;
  size_t at = text.find("# index ");
  while (at != std::string::npos) {
    const size_t next = text.find("# index ", at + 1);
    out.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  return out;
}

const char* kStart = "1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n";
const char* kBatchSetup =
    "set omitcore 0.05\nset chimode 0\nset gridflag 0\nset tempfiles 0\nbatchdata b.dat\nsetlens start.dat\n";

void write_batch(const ScratchDir& d) {
  d.write("b.dat", quadoff() + mirrored(quadoff()));
  d.write("start.dat", kStart);
}

}  // namespace

TEST(BatchfitE2E, FitsEveryLensIntoItsOwnRowsAndBlocks) {
  ScratchDir d;
  write_batch(d);
  const RunResult r = run_commands(d, std::string(kBatchSetup) +
                                          "batchfit bf\nbatchfit rein 1 64\nbatchfit two 1 0 2 2\n"
                                          "setlens bf.startN\nbatchfit m2 2\nbatchfit m3 3\n");
  ASSERT_EQ(r.status, 0) << r.out;

  // Columns: index, chi^2, h, Rein, then the varied b, shear and shear angle.
  const auto p = numeric_rows(d.read("bf-p.dat"));
  ASSERT_EQ(p.size(), 2u) << d.read("bf-p.dat");
  for (size_t i = 0; i < p.size(); ++i) {
    ASSERT_EQ(p[i].size(), 7u);
    EXPECT_EQ(p[i][0], i + 1.0);
    EXPECT_LT(p[i][1], 1e-3);
    EXPECT_NEAR(p[i][2], 0.7, 1e-3);
    EXPECT_EQ(p[i][3], -1.0);
    EXPECT_NEAR(p[i][4], 1.0, 1e-3);
    EXPECT_NEAR(p[i][5], 0.1, 1e-3);
    EXPECT_NEAR(p[i][6], 0.0, 0.1);
  }
  const auto chi = numeric_rows(d.read("bf-chi.dat"));
  ASSERT_EQ(chi.size(), 2u);
  for (size_t i = 0; i < chi.size(); ++i) {
    ASSERT_EQ(chi[i].size(), 10u);
    EXPECT_EQ(chi[i][0], i + 1.0);
    EXPECT_EQ(chi[i][1], p[i][1]);
  }

  // Each block of the reports holds its own lens: the y of the first image changes sign.
  const auto b = blocks(d.read("bf.dat"));
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].rfind("# index 1\nLENS PARMS:\n", 0), 0u);
  EXPECT_EQ(b[1].rfind("# index 2\nLENS PARMS:\n", 0), 0u);
  EXPECT_NE(b[0].find("\n   1.1638   0.0823 "), std::string::npos) << b[0];
  EXPECT_NE(b[1].find("\n   1.1638  -0.0823 "), std::string::npos) << b[1];

  // The Einstein radius of the fitted lens, with the shear averaged over 64 angles.
  for (const auto& row : numeric_rows(d.read("rein-p.dat"))) EXPECT_NEAR(row.at(3), 0.9999, 1e-3);

  // One lens alone is fitted as in the whole batch.
  const auto two = numeric_rows(d.read("two-p.dat"));
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0], p[1]);
  EXPECT_EQ(d.read("two.startN").rfind("1 1\n# index 2\n", 0), 0u);

  // The model file of the fits loads as two models, one per lens: modes 2 and 3 need one
  // per lens and start each lens from its own fit.
  EXPECT_EQ(d.read("bf.startN").rfind("1 2\n# index 1\n   alpha ", 0), 0u);
  EXPECT_EQ(r.out.find("too few input models"), std::string::npos) << r.out;
  for (const char* base : {"m2", "m3"}) {
    const auto m = numeric_rows(d.read(std::string(base) + "-p.dat"));
    ASSERT_EQ(m.size(), 2u) << base;
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_LT(m[i][1], 1e-3) << base;
      EXPECT_NEAR(m[i][4], 1.0, 1e-3) << base;
    }
  }
}

TEST(BatchfitE2E, RefusalsAndEmptyRanges) {
  ScratchDir d;
  write_batch(d);
  struct Case {
    const char* commands;
    int status;
    const char* message;
    const char* absent;   // a file that must not exist
    const char* present;  // a file that must exist
  } cases[] = {
      {"batchfit w 2\n", 0, "WARNING: in batchfit with mode=2 or mode=3, too few input models\n", "w.tmp", nullptr},
      {"batchfit w 3\n", 0, "WARNING: in batchfit with mode=2 or mode=3, too few input models\n", "w.tmp", nullptr},
      {"batchfit u 4\n", 1, "ERROR: unknown mode in batchfit\n", "u.dat", nullptr},
      {"batchfit e 1 0 2 1\n", 0, nullptr, nullptr, "e.startN"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_commands(d, std::string(kBatchSetup) + c.commands);
    EXPECT_EQ(r.status, c.status) << c.commands << r.out;
    if (c.message) {
      EXPECT_NE(r.out.find(c.message), std::string::npos) << c.commands << r.out;
    }
    if (c.absent) {
      EXPECT_FALSE(d.exists(c.absent)) << c.commands;
    }
    if (c.present) {
      EXPECT_TRUE(d.exists(c.present)) << c.commands;
    }
  }
  // istart above iend fits nothing; the model file has its first line and vary line.
  EXPECT_EQ(d.read("e.startN"), "1 0\n 1 0 0 0 0 1 1 0 0 0\n");
  EXPECT_EQ(d.read("e-p.dat"), "");

  // Without batch data there is nothing to fit.
  const RunResult r = run_tarnsolve(d.path(), {}, "setlens start.dat\nbatchfit x\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Note: Must load data using batchdata before running batchfit\n"), std::string::npos)
      << r.out;
  EXPECT_FALSE(d.exists("x.tmp"));
}

// Modes 2 and 3 fitting one lens alone build its lens planes from its own model, also in
// mode 3 when the model before it is the same: the planes left by the model file belong to
// model 1, whose perturber lies at another redshift.
TEST(BatchfitE2E, ModeThreeBuildsThePlanesOfTheFirstLensItFits) {
  ScratchDir d;
  d.write("b3.dat", quadoff() + quadoff() + quadoff());
  const std::string main = "alpha 1 0 0 0 0 0.1 0 0 0 1 0.5\n";
  d.write("z3.dat", "2 3 1\n" + main + "ptmass 0.01 0.5 0.5 0 0 0 0 0 0 0 1.0\n" + main +
                        "ptmass 0.01 0.5 0.5 0 0 0 0 0 0 0 0.3\n" + main +
                        "ptmass 0.01 0.5 0.5 0 0 0 0 0 0 0 0.3\n"
                        "1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  const RunResult r = run_commands(d,
                                   "set omitcore 0.05\nset chimode 0\nset gridflag 0\nset tempfiles 0\n"
                                   "set zlens 0.5\nset zsrc 2\nbatchdata b3.dat\nsetlens z3.dat\n"
                                   "batchfit m2 2 0 3 3\nbatchfit m3 3 0 3 3\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto m2 = numeric_rows(d.read("m2-p.dat")), m3 = numeric_rows(d.read("m3-p.dat"));
  ASSERT_EQ(m2.size(), 1u);
  EXPECT_EQ(m2[0][0], 3);
  EXPECT_EQ(m3, m2);
  // The model file of a multi-plane model set carries the plane flag.
  EXPECT_EQ(d.read("m3.startN").rfind("2 1 1\n# index 3\n", 0), 0u);
}

namespace {

// The quadoff lens with its true model, nothing varied: each fit is one evaluation.
const char* kTrueModel = "setlens 1 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n";

// The quadoff images with position errors of 0.05 and neither fluxes nor delays: the
// chi-squared of a clump realisation is of order unity.
std::string loose_quadoff() {
  return rewrite_images(quadoff(), [](std::vector<std::string>& w) {
    w[3] = "0.05";
    w[4] = "0";
    w[6] = "0";
  });
}

const char* kClumps = "set checkparity 0\nsetclumps 1 0 2\n1 0.001 1 0 star\n";

}  // namespace

TEST(ClumpmargE2E, WithoutClumpsEveryRealisationIsTheModelItself) {
  ScratchDir d;
  d.write("quadoff.dat", quadoff());
  const RunResult r = run_tarnsolve(
      d.path(), {}, std::string("set chimode 0\nset gridflag 0\ndata quadoff.dat\n") + kTrueModel + "clumpmarg cm 20\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto chi = numeric_rows(d.read("cm-chi.dat"));
  ASSERT_EQ(chi.size(), 20u);
  for (const auto& row : chi) EXPECT_EQ(row, chi[0]);
  const double L = std::exp(-0.5 * chi[0][0]);
  const auto avg = numeric_rows(d.read("cm-avg.dat"));
  ASSERT_EQ(avg.size(), 1u);
  ASSERT_EQ(avg[0].size(), 6u);
  EXPECT_NEAR(avg[0][0], L, 1e-6 * L);
  EXPECT_NEAR(avg[0][1], L, 1e-6 * L);
  // Equal values have no spread: the error is 0, never the root of a rounding error.
  EXPECT_GE(avg[0][2], 0.0);
  EXPECT_LT(avg[0][2], 1e-5 * L);
  EXPECT_EQ(avg[0][3], -1.0);
  EXPECT_EQ(avg[0][4], -1.0);
  EXPECT_EQ(avg[0][5], -1.0);
  EXPECT_EQ(d.read("cm-gam.dat"), "-1 -1\n");
  // Each realisation's seeds and report.
  const std::string all = d.read("cm-all.dat");
  EXPECT_EQ(all.rfind("CLUMPSEED: ", 0), 0u);
  EXPECT_EQ(count_occurrences(all, "\nLENS PARMS:\n"), 20);
}

TEST(ClumpmargE2E, RealisationsRepeatWithTheSeedAndAverageTheirLikelihoods) {
  ScratchDir d;
  d.write("loose.dat", loose_quadoff());
  const std::string setup = std::string("set chimode 0\nset gridflag 0\nset verbose 3\ndata loose.dat\n") +
                            kTrueModel + kClumps;
  const RunResult r = run_commands(d, setup +
                                          "clumpmarg a 20\nclumpmarg b 20\nset seed 7\nclumpmarg c 20\n"
                                          "clumpmarg e 20\nclumpmarg j 20 0\n"
                                          "subsave on -0.02 0.02 21 -0.02 0.02 21\nclumpmarg s 20\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string a = d.read("a-chi.dat");
  EXPECT_EQ(a, d.read("b-chi.dat"));
  EXPECT_EQ(d.read("c-chi.dat"), d.read("e-chi.dat"));
  EXPECT_NE(a, d.read("c-chi.dat"));
  // verbose 3: no report file.
  EXPECT_FALSE(d.exists("a-all.dat"));

  // The first realisation is drawn from streams that start at -|seed|.
  const auto c = numeric_rows(d.read("c-chi.dat"));
  ASSERT_EQ(c.size(), 20u);
  ASSERT_EQ(c[0].size(), 12u);
  EXPECT_EQ(c[0][9], -7);
  EXPECT_EQ(c[0][10], -7);
  EXPECT_EQ(c[0][11], -7);
  EXPECT_NE(c[1][10], c[0][10]);

  // The mean likelihood is the mean of exp(-chi^2/2) over the rows; the jackknife mean of
  // leave-one-out means is the same mean.
  double sum = 0;
  std::vector<double> chis;
  for (const auto& row : c) {
    sum += std::exp(-0.5 * row[0]);
    chis.push_back(row[0]);
  }
  const double mean = sum / c.size();
  const auto avg = numeric_rows(d.read("c-avg.dat")).at(0);
  ASSERT_EQ(avg.size(), 6u);
  EXPECT_NEAR(avg[0], mean, 1e-4 * mean);
  EXPECT_NEAR(avg[1], mean, 1e-4 * mean);
  // Jackknife error of a mean: the standard error sqrt(var/(N-1)) of the values.
  double var = 0;
  for (const auto& row : c) var += std::pow(std::exp(-0.5 * row[0]) - mean, 2);
  var /= c.size();
  EXPECT_NEAR(avg[2], std::sqrt(var / (c.size() - 1)), 1e-3 * avg[2]);
  EXPECT_GT(avg[3], 0.0);
  // The gamma fit's shape times its scale is the mean chi-squared.
  const auto gam = numeric_rows(d.read("c-gam.dat")).at(0);
  double msum = 0;
  for (double x : chis) msum += x;
  EXPECT_NEAR(gam.at(0) * gam.at(1), msum / chis.size(), 1e-5 * msum / chis.size());

  // Without the jackknife the averages keep their zero errors.
  const std::string j = d.read("j-avg.dat");
  const auto jr = numeric_rows(j).at(0);
  EXPECT_EQ(jr[2], 0.0);
  EXPECT_EQ(jr[5], 0.0);
  EXPECT_NE(j.find(" 0  "), std::string::npos) << j;

  // With the cached clump field each realisation's cache is rebuilt: the chi-squared
  // values follow those of the full field.
  const auto s = numeric_rows(d.read("s-chi.dat"));
  ASSERT_EQ(s.size(), 20u);
  for (size_t i = 0; i < s.size(); ++i) EXPECT_NEAR(s[i][0], c[i][0], 0.01 * c[i][0] + 1e-3) << i;
}

TEST(ClumpmargE2E, NeedsAtLeastOneRealisation) {
  ScratchDir d;
  d.write("quadoff.dat", quadoff());
  const struct {
    const char *count, *message;
  } cases[] = {
      {"0", "ERROR: in clumpmarg, the number of realizations must be >= 1\n"},
      // Read as an int, this count would become a negative one.
      {"3000000000", "ERROR: in clumpmarg, cannot keep 3000000000 realizations\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = run_commands(d, std::string("set gridflag 0\ndata quadoff.dat\n") + kTrueModel +
                                            "clumpmarg z " + c.count + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    for (const char* f : {"z-chi.dat", "z-all.dat", "z-avg.dat", "z-gam.dat"}) EXPECT_FALSE(d.exists(f)) << f;
  }
}
