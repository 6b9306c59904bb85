// Samplers on a known posterior: the "alpha" model with b, x, y free, scored by a stand-in
// objective with the chi-squared of three Gaussian limits and a soft tie x = y:
//   ((b - 1)/0.05)^2 + ((x - 0.1)/0.1)^2 + ((y + 0.1)/0.1)^2 + ((x - y)/0.05)^2 + offset.
// Exact posterior: mean (1, 1/90, -1/90), sd (0.05, 0.074536, 0.074536), corr(x, y) 0.8;
// the integral of exp(-chi^2/2) over the parameters is 1.0791e-3 (offset 0).
#pragma once

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/numeric_rows.h"
#include "fit/fit_fixture.h"
#include "fit/mcmc.h"
#include "fit/nestsamp.h"
#include "numeric/random.h"

namespace sampler_test {
inline double chi_offset = 0;
// When set, every evaluation also draws from the process-wide generators after
// re-seeding them (a stream of the samplers must not notice).
inline bool disturb_shared = false;

inline double gauss_chi(Vec& p) {
  if (disturb_shared) {
    long s = -7;
    ran2(s);
    gasdev(s);
    ran1(s);
  }
  const double b = p[1], x = p[2], y = p[3];
  const double t1 = (b - 1) / 0.05, t2 = (x - 0.1) / 0.1, t3 = (y + 0.1) / 0.1, t4 = (x - y) / 0.05;
  return t1 * t1 + t2 * t2 + t3 * t3 + t4 * t4 + chi_offset;
}

constexpr double kMean[3] = {1.0, 1.0 / 90, -1.0 / 90};
constexpr double kSd[3] = {0.05, 0.074536, 0.074536};
constexpr double kCorrXY = 0.8;
constexpr double kEvidenceVolume = 1.0791e-3;  // integral of exp(-chi^2/2)

inline std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Numeric rows of a text file (lines starting with '#' skipped).
inline std::vector<std::vector<double>> read_rows(const std::string& path) { return numeric_rows(slurp(path)); }

}  // namespace sampler_test

class SamplerTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    sampler_test::chi_offset = 0;
    sampler_test::disturb_shared = false;
    MCctl = MCMCControl();
    NSctl = NestSampControl();
    MCrun.objective = sampler_test::gauss_chi;
    NS.objective = sampler_test::gauss_chi;
    set("tempfiles", 0);  // no trace file in the working folder
    load_model("alpha 1.2 0.3 -0.3 0 0 0 0 0 0 1\n", "1 1 1 0 0 0 0 0 0 0\n");
  }
  void TearDown() override {
    MCrun.objective = nullptr;
    nestsamp_clear();
    NS.objective = nullptr;
    FitTest::TearDown();
  }
  std::string base(const std::string& name) const { return dir.file(name); }

  void mcmc_set(std::vector<std::string> w) {
    w.insert(w.begin(), "MCMCset");
    run_handler(MCMCset, cmd(w));
  }
  void mcmc_run_cmd(const std::string& name) { run_handler(MCMCrun, cmd({"MCMCrun", base(name)})); }

  // nestsampSet with the given keywords and the box lines, then nestsampRun.
  void ns_set(std::vector<std::string> w, const std::string& box = "0.7 1.3\n-0.5 0.5\n-0.5 0.5\n") {
    w.insert(w.begin(), "nestsampSet");
    CommandInput in(box);
    run_handler(nestsampSet, cmd(w));
  }
  void ns_run(const std::string& name) { run_handler(nestsampRun, cmd({"nestsampRun", base(name)})); }
};
