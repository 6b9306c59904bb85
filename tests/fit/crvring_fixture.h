// Curve and ring data for the fitting tests: circular polylines about an isothermal lens,
// ring rays from its centre, and a scorer of the loaded model.
#pragma once

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fit/curves_rings.h"
#include "fit/fit_fixture.h"
#include "fit/fit_state.h"
#include "numeric/constants.h"

// The isothermal lens of the curve and ring checks: "alpha" b, core 1e-7, alpha 1.
inline std::string isothermal(double b, double shear = 0, double shear_pa = 0) {
  return strformat("alpha %.17g 0 0 0 0 %.17g %.17g 1e-7 0 1\n", b, shear, shear_pa);
}

// Runs in a folder while it lives (files the terms write go there).
class InFolder {
 public:
  explicit InFolder(const std::string& dir) {
    if (!getcwd(saved_, sizeof saved_)) saved_[0] = 0;
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir;
  }
  ~InFolder() {
    if (saved_[0] && chdir(saved_) != 0) ADD_FAILURE() << "cannot return to " << saved_;
  }

 private:
  char saved_[4096];
};

class CrvRingTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("tempfiles", 0);
    static FILE* null_stream = std::fopen("/dev/null", "w");
    TSringwork.diag = null_stream;  // a ring fit prints millions of diagnostic lines
  }
  void TearDown() override {
    TSringwork.diag = nullptr;
    FitTest::TearDown();
  }

  // A curve file of points (x, y, sigma).
  std::string curve_file(const std::string& name, const std::vector<std::array<double, 3>>& pts) {
    std::string t = std::to_string(pts.size()) + "\n";
    for (const auto& p : pts) t += strformat("%.17g %.17g %.17g\n", p[0], p[1], p[2]);
    dir.write(name, t);
    return dir.file(name);
  }
  // Points every 10 degrees on the circle of radius r; closed repeats the first point.
  static std::vector<std::array<double, 3>> circle(double r, bool closed, double sig = 0.01) {
    std::vector<std::array<double, 3>> v;
    for (int k = 0; k <= (closed ? 36 : 35); ++k) {
      const double t = (k % 36) * 10 * kPi / 180;
      v.push_back({r * std::cos(t), r * std::sin(t), sig});
    }
    return v;
  }
  void crvpts_cmd(int c, int mode, const std::vector<std::string>& files) {
    std::vector<std::string> w{"crvpts", std::to_string(c), std::to_string(mode)};
    w.insert(w.end(), files.begin(), files.end());
    run_handler(crvpts, WordArray(w));
  }
  // The curve fixture: reference circles r = 1.1 and 0.9, test points on r = 1.1.
  void load_circle_curves() {
    crvpts_cmd(1, 1, {curve_file("ref1.dat", circle(1.1, true)), curve_file("ref2.dat", circle(0.9, true))});
    crvpts_cmd(1, 2, {curve_file("try.dat", circle(1.1, false))});
  }

  // A ring file of rays (x0 y0 phi lambda dlambda dphi flag).
  std::string ring_file(const std::string& name, const std::vector<std::array<double, 7>>& rays) {
    std::string t = std::to_string(rays.size()) + "\n";
    for (const auto& r : rays)
      t += strformat("%.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", r[0], r[1], r[2], r[3], r[4], r[5], r[6]);
    dir.write(name, t);
    return dir.file(name);
  }
  // Twelve rays from the origin at phi = 30 j degrees with the crests given, or by default
  // those of the isothermal sphere b = 1 and a circular source at (0.05, 0.02).
  std::vector<std::array<double, 7>> ring_rays(std::vector<double> crests = {}) {
    std::vector<std::array<double, 7>> v;
    for (int j = 0; j < 12; ++j) {
      const double phi = 30.0 * j, s = std::sin(phi * kPi / 180), c = std::cos(phi * kPi / 180);
      const double lam = crests.empty() ? 1 - 0.05 * s + 0.02 * c : crests[j];
      v.push_back({0, 0, phi, lam, 0.01, 1, 0});
    }
    return v;
  }
  void ringdat_cmd(const std::vector<std::string>& files) {
    std::vector<std::string> w{"ringdat"};
    w.insert(w.end(), files.begin(), files.end());
    run_handler(ringdat, WordArray(w));
  }

  // Scores model 1 of the model set through calc_chi (as the scans do).
  double score() {
    int nd, ng, ns;
    storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
    const double chi = calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, TSstore.sref);
    storage_clear();
    return chi;
  }
  // One optimisation of model 1 from its parameters; returns the fitted model.
  Mat fit() {
    BVec<Mat> models(1, 1);
    models[1] = TWref.ref[1].p;
    int nd = 0, niter = 0;
    start_command_run();
    set_start_model();
    domin(TWref.ref[1].names, TWref.refv, models, 1, nd, niter);
    return models[1];
  }
};
