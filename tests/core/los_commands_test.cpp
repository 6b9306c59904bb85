// The line-of-sight commands: shearLOS settings, bridgecut, showLOS, the void-correction
// tables (masscomplete, voidcorrect, try), plotzbridge and the diagnostic matrix writer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/los_fixture.h"
#include "core/lens_model.h"
#include "core/los_commands.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/multiplane.h"
#include "numeric/cosmology.h"
#include "shell/settings.h"

namespace {

class LOSCommandTest : public LineOfSightTest {
 protected:
  void SetUp() override {
    LineOfSightTest::SetUp();
    set("tscale", 50);  // a fixed scale: no "Cosmology:" report at every refresh
  }
  static WordArray words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    std::string s;
    while (in >> s) w.push_back(s);
    return WordArray(w);
  }
  // Output of one command line, with help texts shown.
  static std::string run(void (*handler)(const WordArray&), const std::string& line) {
    quietflag = 0;
    CaptureOutput out;
    run_handler(handler, words(line));
    quietflag = 1;
    return out.text();
  }
  ScratchDir dir;
};

TEST_F(LOSCommandTest, ShearLOSSettings) {
  struct Case {
    const char* line;
    int mode, cutmode;
    double refgal, Rcut, cutparm;
    std::vector<int> exact;
    const char* outbase;
  };
  const std::vector<Case> cases = {
      {"shearLOS gal 1 5.0 zbridge 0 exact 4 7 8", 2, 2, 1, 5, 0, {4, 7, 8}, "NULL"},
      {"shearLOS gal 1 5.0 zbridge exact 4 7 8", 2, 2, 1, 5, 0, {4, 7, 8}, "NULL"},
      {"shearLOS gal 1 5.0 zbridge 0.2", 2, 2, 1, 5, 0.2, {}, "NULL"},
      {"shearLOS gal 1 5.0 zbridge", 2, 2, 1, 5, 0, {}, "NULL"},
      {"shearLOS gal 1 5.0 zbox 0.15", 2, 1, 1, 5, 0.15, {}, "NULL"},
      {"shearLOS gal 1 1.1 HOTlos 0.003", 2, 3, 1, 1.1, 0.003, {}, "NULL"},
      {"shearLOS gal 2 1.1 HOTcut 0.01 exact 3", 2, 4, 2, 1.1, 0.01, {3}, "NULL"},
      {"shearLOS gal 1 5.0 exact 3", 2, 0, 1, 5, 0, {3}, "exact"},
      {"shearLOS pos 0.5 -0.2 4 mybase", 2, 0, 0, 4, 0, {}, "mybase"},
      {"shearLOS gal 1 5.0 exact", 2, 0, 1, 5, 0, {}, "exact"},
      {"shearLOS off", 1, 0, 0, 0, 0, {}, "NULL"},
  };
  for (const Case& c : cases) {
    run_handler(shearLOS, words("shearLOS gal 9 9 zbox 9 exact 1 2"));  // something to replace
    run_handler(shearLOS, words(c.line));
    const LOSPlanes& L = LOS;
    EXPECT_EQ(L.shearmode, c.mode) << c.line;
    EXPECT_EQ(L.exact, c.exact) << c.line;
    EXPECT_EQ(L.nexact, static_cast<double>(c.exact.size())) << c.line;
    EXPECT_EQ(L.cutparm, c.cutparm) << c.line;
    EXPECT_EQ(L.outbase, c.outbase) << c.line;
    if (c.mode != 2) continue;
    EXPECT_EQ(L.cutmode, c.cutmode) << c.line;
    EXPECT_EQ(L.refgal, c.refgal) << c.line;
    EXPECT_EQ(L.Rcut, c.Rcut) << c.line;
  }
  EXPECT_EQ(LOS.xref, 0.0);
  run_handler(shearLOS, words("shearLOS pos 0.5 -0.2 4"));
  EXPECT_EQ(LOS.xref, 0.5);
  EXPECT_EQ(LOS.yref, -0.2);
  EXPECT_EQ(exact_components(), LOS.exact);

  // Too few words: the help, and the shear mode stays as it was.
  for (const char* line : {"shearLOS", "shearLOS pos 0 0", "shearLOS gal 1"}) {
    const int mode = LOS.shearmode;
    EXPECT_NE(run(shearLOS, line).find("shearLOS [R args] [z args] [exact list]"), std::string::npos) << line;
    EXPECT_EQ(LOS.shearmode, mode);
  }
  EXPECT_EQ(fatal_message([] { run_handler(shearLOS, words("shearLOS gal 1 5.0 zbox")); }),
            "with shearLOS zbox, you must specify dz cut");
  EXPECT_EQ(fatal_message([] { run_handler(shearLOS, words("shearLOS gal 1 5.0 HOTcut")); }),
            "with shearLOS HOT mode, you must specify dx cut");
  EXPECT_EQ(fatal_message([] { run_handler(shearLOS, words("shearLOS on")); }), "unknown argument to shearLOS");
}

TEST_F(LOSCommandTest, BridgeCutSettingsAndEffect) {
  EXPECT_EQ(run(bridgecut, "bridgecut gal 1 2.0"), "bridgecut: R0=2.000000 centered on galaxy 1\n");
  EXPECT_EQ(bridgecutarr.gal, 1.0);
  EXPECT_EQ(bridgecutarr.R0, 2.0);
  EXPECT_EQ(run(bridgecut, "bridgecut pos 0.5 -1 3"), "bridgecut: R0=3.000000 centered on (0.500000,-1.000000)\n");
  EXPECT_EQ(bridgecutarr.gal, 0.0);
  EXPECT_EQ(bridgecutarr.x, 0.5);
  for (const char* line : {"bridgecut", "bridgecut pos 1 2", "bridgecut gal 1", "bridgecut over"}) {
    EXPECT_NE(run(bridgecut, line).find("bridgecut gal <igal> <R0>"), std::string::npos) << line;
    EXPECT_EQ(bridgecutarr.R0, 3.0);
  }
  // With redshifts, a component survives when its distance is within refbridge R0.
  run_handler(bridgecut, words("bridgecut gal 1 2.0"));
  CommandInput in(
      "ptmass 1 0 0 0 0 0 0 0 0 0 0.5\nptmass 0.2 1.5 0 0 0 0 0 0 0 0 0.5\nptmass 0.2 0 3 0 0 0 0 0 0 0 0.5\n"
      "ptmass 0.2 1.2 1.2 0 0 0 0 0 0 0 1.5\n"
      "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, words("setlens 4 1 1"));
  EXPECT_EQ(TWgal.refflag[1], 1);
  EXPECT_EQ(TWgal.refflag[2], 1);
  EXPECT_EQ(TWgal.refflag[3], 0);
  const double far = 2.0 * TWref.ref[1].bridge[4];
  EXPECT_EQ(TWgal.refflag[4], std::hypot(1.2, 1.2) <= far ? 1 : 0);
  EXPECT_EQ(run(bridgecut, "bridgecut off"), "bridgecut: turning off");
  EXPECT_EQ(bridgecutarr.R0, -1.0);
}

TEST_F(LOSCommandTest, ShowLOS) {
  // One plane, shear off: no planes, no tensors.
  CommandInput in1("ptmass 1 0 0 0 0 0 0 0 0 0 0.5\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, words("setlens 1 1 1"));
  EXPECT_EQ(run(showLOS, "showLOS"), "");
  // Two planes: the list, the coupling table and the tensors.
  CommandInput in2(
      "ptmass 1 0 0 0 0 0 0 0 0 0 0.5\nptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3\n0 0 0 0 0 0 0 0 0 0\n"
      "0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, words("setlens 2 1 1"));
  const std::string two = run(showLOS, "showLOS");
  const double beta = PMdist(0.3, 0.5) * PMdist(0, 2) / (PMdist(0, 0.5) * PMdist(0.3, 2));
  EXPECT_NE(two.find("z  0.300000   gal  2\nz  0.500000   gal  1\nz  2.000000   src\n"), std::string::npos);
  EXPECT_NE(two.find(strformat("QVM TEST beta12->%f,\n", beta)), std::string::npos) << two;
  EXPECT_NE(two.find("Here are the [1,1] entries of the tensors:\nBl   1.000000e+00  1.000000e+00"),
            std::string::npos);
  // Named file: it holds the whole display of several planes, as shown, at every call.
  for (int call = 1; call <= 2; ++call) {
    std::remove(dir.file("planes.txt").c_str());
    const std::string shown = run(showLOS, "showLOS " + dir.file("planes.txt"));
    const std::string file = dir.read("planes.txt");
    EXPECT_EQ(file, two) << call;
    EXPECT_NE(shown.find(two), std::string::npos) << call;
  }
  // One main plane after a reduction: the matrices, and three lines in the file.
  run_handler(shearLOS, words("shearLOS gal 1 0.5"));
  CommandInput in3(
      "ptmass 1 0 0 0 0 0 0 0 0 0 0.5\nptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3\n0 0 0 0 0 0 0 0 0 0\n"
      "0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, words("setlens 2 1 1"));
  ASSERT_EQ(LOS.nplane, 1);
  const std::string one = run(showLOS, "showLOS " + dir.file("los.txt"));
  EXPECT_NE(one.find("Results from shearLOS with one main plane:\n{"), std::string::npos) << one;
  const std::string file = dir.read("los.txt");
  EXPECT_EQ(count_occurrences(file, "\n"), 3);
  EXPECT_EQ(file.find("1-B_l:  "), 0u);
  EXPECT_NE(one.find(file.substr(0, file.find('\n'))), std::string::npos);
  EXPECT_EQ(fatal_message([] { run_handler(showLOS, words("showLOS /no/such/dir/x")); }), "could not open showLOS output file: /no/such/dir/x: No such file or directory");
}

TEST_F(LOSCommandTest, DiagnosticMatrixWriter) {
  const std::string mp = dir.file("m"), sp = dir.file("s");
  {
    FILE* m = std::fopen(mp.c_str(), "w");
    FILE* s = std::fopen(sp.c_str(), "w");
    const double I[4] = {1, 0, 0, 1};
    shearLOS_write(m, s, I, "ident");
    // kappa 0.1, shear (0.05, 0.02), rotated by 0.1 rad.
    const double k = 0.1, g1 = 0.05, g2 = 0.02, t = 0.1, c = std::cos(t), sn = std::sin(t);
    const double A[4] = {1 - k - g1, -g2, -g2, 1 - k + g1};
    const double M[4] = {c * A[0] + sn * A[2], c * A[1] + sn * A[3], -sn * A[0] + c * A[2], -sn * A[1] + c * A[3]};
    shearLOS_write(m, s, M, "rot");
    std::fclose(m);
    std::fclose(s);
  }
  std::istringstream mat(dir.read("m")), shr(dir.read("s"));
  std::string l;
  std::getline(mat, l);
  EXPECT_EQ(l, "ident     0.000000e+00  0.000000e+00  0.000000e+00  0.000000e+00");
  std::getline(shr, l);
  EXPECT_EQ(l, "ident     0.000000e+00  0.000000e+00  0.000000e+00   0.000000e+00");
  std::getline(shr, l);
  char label[16];
  double kap, gc, gs, th;
  ASSERT_EQ(std::sscanf(l.c_str(), "%15s %lf %lf %lf %lf", label, &kap, &gc, &gs, &th), 5);
  EXPECT_NEAR(kap, 0.1, 1e-6);
  EXPECT_NEAR(gc, 0.05, 1e-6);
  EXPECT_NEAR(gs, 0.02, 1e-6);
  EXPECT_NEAR(th, 0.1, 1e-6);
}

// ---- void corrections ----

TEST_F(LOSCommandTest, MassCompleteTestMatchesConstantDensity) {
  // At the observer (D_k = 0) both betahat columns are the ray separation, 0, also in an
  // empty universe; never nan.
  for (double omega : {0.0, 0.3}) {
    set("omega", omega);
    const std::string out = run(masscomplete, "masscomplete test 0.5 3 1 -1");
    EXPECT_NE(out.find("masscomplete test 1 1 0.000000e+00 0.000000e+00 0.000000e+00 0.000000e+00 "
                       "0.000000e+00 0.000000e+00  0.000000e+00 0.000000e+00\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("nan"), std::string::npos) << out;
  }
  const std::string out = run(masscomplete, "masscomplete test 0.01 3 1 -1");
  // Nodes 0.5 and 1.0: numerical and constant-density values alike.
  EXPECT_NE(out.find("5.000000e-01 1.000000e+00 4.409843e-01 7.714271e-01 6.796905e-01 1.037003e+00  "
                     "6.796905e-01 1.037003e+00\n"),
            std::string::npos);
  const MassComplete& v = TWvoid;
  const int m = v.Nmasscomp;
  EXPECT_EQ(v.masscomp[1][m], 2.0);
  // Every node interval is a real interval (no rounding slivers).
  for (int k = 1; k < m; ++k) EXPECT_GT(v.masscomp[1][k + 1] - v.masscomp[1][k], 1e-6) << k;
  // With the void correction, the plane factors follow the focusing of the table.
  double b, f;
  voidcorrect(0.5, PMdist(0, 0.5), 1.0, PMdist(0, 1.0), b, f);
  EXPECT_NEAR(b, 0.6796905, 1e-6);
  EXPECT_NEAR(f, 1.037003, 1e-6);
  EXPECT_EQ(run(try_, "try 0.5 1.0"), strformat("QVM 0.500000 %f : 1.000000 %f : %f %f\n", PMdist(0, 0.5),
                                                PMdist(0, 1.0), b, f));
}

TEST_F(LOSCommandTest, NoCompletenessGivesTheHomogeneousFactors) {
  dir.write("c0.dat", "# z c\n0 0\n1.0 0\n3.0 0\n");
  run_handler(masscomplete, words("masscomplete " + dir.file("c0.dat") + " 0.05"));
  const MassComplete& v = TWvoid;
  const double Ds = PMdist(0, 2), Dl = PMdist(0, 0.5), Dls = PMdist(0.5, 2);
  for (int i : {1, 5, 20}) {
    for (int k = i + 1; k <= v.Nmasscomp; k += 7) {
      const double Di = v.masscomp[3][i], Dk = v.masscomp[3][k];
      EXPECT_NEAR(v.betahat[i][k], Ds * (Dk - Di) / (Dk * (Ds - Di)), 1e-12) << i << " " << k;
      EXPECT_NEAR(v.tauhat[i][k], Di * Dls / ((Ds - Di) * Dl), 1e-12) << i << " " << k;
    }
  }
  // And a model evaluated with them is the homogeneous one, to interpolation accuracy.
  CommandInput in(
      "ptmass 1 0 0 0 0 0 0 0 0 0 0.5\nptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3\n0 0 0 0 0 0 0 0 0 0\n"
      "0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, words("setlens 2 1 1"));
  EXPECT_NEAR(LOS.Cmat[1][2][1], PMdist(0.3, 0.5) * Ds / (PMdist(0, 0.5) * PMdist(0.3, 2)), 1e-4);
  EXPECT_NEAR(LOS.Bmat[3][1], 1.0, 1e-12);
  EXPECT_NEAR(LOS.Fmat[3][1], 0.0, 1e-12);
  // Tables of another zsrc are never used.
  SetVar("zsrc", 0, 3);
  EXPECT_EQ(fatal_message([] { SetGlob(); }),
            "masscomplete tables were built for other zlens, zsrc, omega or lambda; rerun masscomplete");
  EXPECT_EQ(fatal_message([] { run_handler(try_, words("try 0.5 1")); }),
            "masscomplete tables were built for other zlens, zsrc, omega or lambda; rerun masscomplete");
  SetVar("zsrc", 0, 2);
  SetGlob();
  // Off frees the tables.
  const std::string off = run(masscomplete, "masscomplete off");
  EXPECT_NE(off.find("Deallocating previous masscomplete array ("), std::string::npos);
  EXPECT_NE(off.find("masscompleteness: Turning off void corrections."), std::string::npos);
  EXPECT_EQ(TWvoid.Nmasscomp, 0);
  EXPECT_EQ(fatal_message([] { run_handler(try_, words("try 0.5 1")); }), "no masscomplete tables are loaded");
}

TEST_F(LOSCommandTest, CompletenessNodesEndAtTheSource) {
  // The last point lies within dz below zsrc: the source gets a node of its own, so a plane
  // between them is interpolated, not refused.
  dir.write("c.dat", "0 1\n1.995 0.5\n3 0\n");
  run_handler(masscomplete, words("masscomplete " + dir.file("c.dat") + " 0.01"));
  const MassComplete& v = TWvoid;
  const int m = v.Nmasscomp;
  EXPECT_EQ(v.masscomp[1][m - 1], 1.995);
  EXPECT_EQ(v.masscomp[1][m], 2.0);
  double b, f;
  voidcorrect(1.997, PMdist(0, 1.997), 2.0, PMdist(0, 2.0), b, f);
  EXPECT_TRUE(std::isfinite(b) && std::isfinite(f));
  EXPECT_TRUE(b > 0 && b <= 1) << b;
  EXPECT_EQ(fatal_message([&] { voidcorrect(2.0, PMdist(0, 2.0), 2.0, PMdist(0, 2.0), b, f); }),
            "in voidcorrect, zi should never equal zsrc");
  // A table that begins above 0: the observer uses the first interval.
  dir.write("c2.dat", "0.0005 0\n3 0\n");
  run_handler(masscomplete, words("masscomplete " + dir.file("c2.dat") + " 0.1"));
  voidcorrect(0.0, 0.0, 1.0, PMdist(0, 1.0), b, f);
  EXPECT_NEAR(b, 1.0, 1e-3);
  EXPECT_NEAR(f, 0.0, 1e-3);
  set("zref", 1000);
  EXPECT_EQ(fatal_message([&] { voidcorrect(0.0, 0.0, 1.0, 1.0, b, f); }),
            "voidcorrect has not been updated to handle zref>=1000");
}

TEST_F(LOSCommandTest, MassCompleteRefusals) {
  dir.write("good.dat", "0 1\n3 0\n");
  dir.write("noc.dat", "0 1\n1.5\n3 0\n");
  dir.write("down.dat", "0 1\n1.5 0.5\n1.2 0.4\n3 0\n");
  dir.write("late.dat", "0.01 1\n3 0\n");
  dir.write("high.dat", "0 1\n3 0.2\n");
  dir.write("nanz.dat", "nan 1\n1.5 0.5\n3 0\n");
  dir.write("nanc.dat", "0 1\n1.5 nan\n3 0\n");
  struct Case {
    std::string line, message;
  };
  const std::vector<Case> cases = {
      {"masscomplete " + dir.file("good.dat") + " 0", "dz must be positive in masscomplete"},
      {"masscomplete test -0.01 3 1 -1", "dz must be positive in masscomplete"},
      {"masscomplete " + dir.file("noc.dat"), "bad completeness line 2 in " + dir.file("noc.dat")},
      {"masscomplete " + dir.file("down.dat"), "bad completeness line 3 in " + dir.file("down.dat")},
      {"masscomplete " + dir.file("nanz.dat"), "bad completeness line 1 in " + dir.file("nanz.dat")},
      {"masscomplete " + dir.file("nanc.dat"), "bad completeness line 2 in " + dir.file("nanc.dat")},
      {"masscomplete " + dir.file("late.dat"), "completeness function needs to start at z=0"},
      {"masscomplete " + dir.file("high.dat"), "completeness function needs to go to 0 at high-z end"},
      {"masscomplete " + dir.file("none.dat"), "could not open input file"},
  };
  for (const Case& c : cases) EXPECT_EQ(fatal_message([&] { run_handler(masscomplete, words(c.line)); }), c.message) << c.line;
  set("zlens", -1);
  EXPECT_EQ(fatal_message([&] { run_handler(masscomplete, words("masscomplete " + dir.file("good.dat"))); }),
            "in masscomplete, zlens and zsrc must be set");
  EXPECT_EQ(run(masscomplete, "masscomplete test 0.01 3"), "masscomplete test <dz> <zmax> <a> <n>\n");
  EXPECT_NE(run(masscomplete, "masscomplete").find("masscomplete <filename> [dz]"), std::string::npos);
}

TEST_F(LOSCommandTest, PlotZBridge) {
  const std::string path = dir.file("zb.dat");
  run_handler(plotzbridge, words("plotzbridge 0.1 2.5 25 " + path));
  std::istringstream in(dir.read("zb.dat"));
  std::string l;
  std::getline(in, l);
  EXPECT_EQ(l, "#  z  beta  R/R0 ('fix')  R/R0  ('free')");
  int rows = 0;
  while (std::getline(in, l)) {
    double z, beta, fix, fr;
    ASSERT_EQ(std::sscanf(l.c_str(), "%lf %lf %lf %lf", &z, &beta, &fix, &fr), 4);
    ++rows;
    EXPECT_TRUE(std::isfinite(beta) && std::isfinite(fix) && std::isfinite(fr)) << l;
    if (std::fabs(z - 0.5) < 1e-9) {
      EXPECT_NEAR(beta, 0.0, 1e-12);
      EXPECT_NEAR(fix, 1.0, 1e-6);  // R0 holds at the lens redshift
      EXPECT_NEAR(fr, 1.0, 1e-6);
    }
    if (z >= 2.0) { EXPECT_EQ(fix, 0.0) << l; }
    // The free curve is the bridge scale of a component at z.
    if (z < 2.0 && z > 0.5) {
      const double D = PMdist(0, z), Dl = PMdist(0, 0.5), Ds = PMdist(0, 2), Dls = PMdist(0.5, 2);
      const double B = (1 + z) / 1.5 * PMdist(z, 2) * Dl / (Dls * D);
      EXPECT_NEAR(fr, std::cbrt(B * (1 - PMdist(0.5, z) * Ds / (Dls * D))), 1e-6) << l;
    }
  }
  EXPECT_EQ(rows, 25);
  for (const char* line : {"plotzbridge 0 1 5 ", "plotzbridge 0.1 -1 5 "}) {
    const std::string p = dir.file("bad.dat");
    EXPECT_EQ(fatal_message([&] { run_handler(plotzbridge, words(line + p)); }), "plotzbridge needs 0 < z and 0 < zlens < zsrc");
    EXPECT_FALSE(dir.exists("bad.dat"));
  }
  set("tscale", 20);
  set("zlens", 2.5);
  EXPECT_EQ(fatal_message([&] { run_handler(plotzbridge, words("plotzbridge 0.1 1 5 " + dir.file("bad.dat"))); }),
            "plotzbridge needs 0 < z and 0 < zlens < zsrc");
}

}  // namespace
