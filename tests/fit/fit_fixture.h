// A freshly started program for the fitting tests, with the quadoff lens at hand.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/store.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "shell/settings.h"
#include "shell/vars.h"

// The quadoff lens: an "alpha" lens (b 1, alpha 1, no core, shear 0.1 at angle 0) at the
// origin, with component 1 free in b, x and y.
inline const char* kQuadoffModel = "alpha 1 0 0 0 0 0.1 0 0 0 1\n";
// Source of the quadoff images.
constexpr double kQuadoffU = 0.05, kQuadoffV = 0.02;

// The text of examples/quadoff.dat.
inline std::string quadoff_text() {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class FitTest : public CommandTest {
 protected:
  void set(const std::string& name, double v) {
    SetVar(name, 0, v);
    SetGlob();
  }
  // Loads a model set of one model from component lines and vary-flag lines.
  void load_model(const std::string& components, const std::string& vary, int ngal = 1) {
    dir.write("model.dat", std::to_string(ngal) + " 1\n" + components + vary);
    run_handler(setlens, cmd({"setlens", dir.file("model.dat")}));
  }
  void load_quadoff_model(const std::string& vary = "0 1 1 0 0 0 0 0 0 0\n") {
    load_model(kQuadoffModel, vary);
  }
  // Runs data (or another loader) on a file with the given text.
  void load_data(const std::string& text, const std::string& command = "data",
                 std::vector<std::string> extra = {}) {
    dir.write("lens.dat", text);
    std::vector<std::string> w{command, dir.file("lens.dat")};
    w.insert(w.end(), extra.begin(), extra.end());
    const WordArray words(w);
    if (command == "data")
      run_handler(data, words);
    else if (command == "data2")
      run_handler(data2, words);
    else
      run_handler(batchdata, words);
  }
  void load_quadoff() {
    load_data(quadoff_text());
  }

  // The model image set of observed source i for a source at (u, v): each observed image
  // is moved onto its exact image by Newton steps on the lens equation, then its
  // magnification goes into the flux slots and its raw delay into the delay slot.
  SrcData model_images(int i, double u, double v) {
    const SrcData& o = TSobs.srcobs[i];
    SrcData m;
    m.allocate(o.maximg, o.multiflux);
    copysource(o, m);
    for (int k = 1; k <= o.nimg; ++k) {
      double x = o.x[k], y = o.y[k], pot, px, py, pxx, pyy, pxy, pyx;
      for (int it = 0; it < 50; ++it) {
        potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
        const double fx = x - px - u, fy = y - py - v;
        const double a = 1 - pxx, b = -pxy, c = -pyx, d = 1 - pyy, det = a * d - b * c;
        x -= (d * fx - b * fy) / det;
        y -= (-c * fx + a * fy) / det;
      }
      potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
      const double mu = 1.0 / ((1 - pxx) * (1 - pyy) - pxy * pyx);
      m.x[k] = x;
      m.y[k] = y;
      for (int b = 1; b <= m.multiflux; ++b) m.flux[k][b] = mu;
      m.tdel[k] = ((x - u) * (x - u) + (y - v) * (y - v)) / 2 - pot;
    }
    return m;
  }

  ScratchDir dir;
};
