// Weak lensing: the likelihood of one galaxy, its normalisation, the catalogue term, the
// catalogue commands and the mock round trip.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "fit/term_fixture.h"
#include "fit/weak.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/integrate.h"
#include "shell/settings.h"

namespace {

const char* kIsothermal = "alpha 1 0 0 0 0 0 0 0 0 1";  // b 1, zero core (the class uses 1e-4)

// The integral of wk_prob over the unit disk of observed ellipticities: midpoint rule in
// polar coordinates (periodic in the angle, so that direction converges fast; O(h^2) in r).
double disk_integral(const WeakGalaxy& g) {
  constexpr int n = 1000;
  WeakGalaxy h = g;
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    const double r = (i + 0.5) / n;
    for (int k = 0; k < n; ++k) {
      const double th = 2 * kPi * (k + 0.5) / n;
      h.wk_e1 = r * std::cos(th);
      h.wk_e2 = r * std::sin(th);
      sum += r * wk_prob(h, 1.0);
    }
  }
  return sum * (1.0 / n) * (2 * kPi / n);
}

WeakGalaxy galaxy(double kap, double gam1, double gam2, double de1, double de2, double erms) {
  WeakGalaxy g;
  g.wk_kap = kap;
  g.wk_gam1 = gam1;
  g.wk_gam2 = gam2;
  g.wk_de1 = de1;
  g.wk_de2 = de2;
  const double s2 = erms * erms;
  g.inv1 = 1.0 / (de1 * de1 + s2);
  g.inv2 = 1.0 / (de2 * de2 + s2);
  g.wk_norm = weak_norm(de1, de2, s2);
  return g;
}

class WeakTest : public TermTest {
 protected:
  double chi_of(const std::string& catalogue) {
    dir.write("cat.dat", catalogue);
    run_handler(weakdata, cmd({"weakdata", "cat.dat"}));
    return weak_chi();
  }
};

}  // namespace

// The density of observed ellipticities integrates to 1 over the unit disk, on both
// branches of the lensing map (|g| 0.3 and 1.3) and with both normalisations (equal errors:
// closed form; unequal: Romberg over the angle).
TEST(WeakLikelihood, IntegratesToOneOverTheUnitDisk) {
  struct Case { double gmag, de1, de2; };
  const Case cases[] = {{0.3, 0.05, 0.05}, {0.3, 0.05, 0.2}, {1.3, 0.05, 0.05}, {1.3, 0.1, 0.02}};
  for (const Case& c : cases) {
    // kappa 0.2 and shear chosen so that g = gamma/(1 - kappa) has the wanted size at 30 deg.
    const double gam = c.gmag * 0.8;
    const WeakGalaxy g = galaxy(0.2, gam * std::cos(kPi / 3), gam * std::sin(kPi / 3), c.de1, c.de2, 0.3);
    EXPECT_NEAR(disk_integral(g), 1.0, 2e-5) << "|g| " << c.gmag << " de " << c.de1 << " " << c.de2;
  }
}

// Equal errors take the closed form pi A (1 - exp(-1/A)), A = de^2 + e_rms^2; it agrees
// with the Romberg integral of the radial form over the angle. Nearly equal errors take it
// with A from the mean of the two squared errors, so the two routes meet where the choice
// between them changes (|de1 - de2| = 0.001).
TEST(WeakLikelihood, ClosedFormNormalisationMatchesTheAngularIntegral) {
  for (double erms : {0.01, 0.2, 0.3}) {
    const double s2 = erms * erms;
    for (double de : {0.02, 0.1}) {
      const double integral = qromb([&](double t) { return wk_norm_int(t, de, de, s2); }, 0.0, 2.0 * kPi);
      EXPECT_NEAR(weak_norm(de, de, s2) * integral, 1.0, 1e-6);
      if (erms < 0.1) continue;  // the meeting is second order in the errors' difference
      const double below = weak_norm(de, de + 0.000999, s2), above = weak_norm(de, de + 0.001, s2);
      EXPECT_NEAR(below / above, 1.0, 1e-5) << erms << " " << de;
    }
  }
}

// The term for one galaxy at (3, 4) of an isothermal lens b = 1 (kappa 0.1, gamma (0.028,
// -0.096)) with e_rms 0.3, against reference values of the fitter; w 0.5 with dw 0.01
// averages over w - 0.05 .. w + 0.05.
TEST_F(WeakTest, TermOfOneGalaxy) {
  lens(kIsothermal);
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(3, 4, pot, px, py, pxx, pyy, pxy, pyx);
  EXPECT_NEAR(0.5 * (pxx + pyy), 0.1, 1e-5);
  EXPECT_NEAR(0.5 * (pxx - pyy), 0.028, 1e-5);
  EXPECT_NEAR(pxy, -0.096, 1e-5);
  struct Case { const char* row; double chi, tol; };
  const Case cases[] = {
      {"3 4 0.1 0.05 0.05 0.05 1 0", 10.20967, 1e-5},
      {"3 4 0.1 0.05 0.05 0.05 0.5 0", 9.905775, 1e-5},
      {"3 4 0.1 0.05 0.05 0.05 0.5 0.01", 9.905807, 1e-5},
      {"3 4 0.1 0.05 0.05 0.1 1 0", 8.861276, 1e-5},
  };
  for (const Case& c : cases) EXPECT_NEAR(chi_of(std::string("1 0.3\n") + c.row + "\n"), c.chi, c.tol) << c.row;
}

// In the fit the term fills slot 8, which enters the total times "weakweight".
TEST_F(WeakTest, TermInTheChiSquared) {
  lens(kIsothermal);
  chi_of("1 0.3\n3 4 0.1 0.05 0.05 0.05 1 0\n");
  EXPECT_NEAR(score(), 10.20967, 1e-5);
  EXPECT_NEAR(TSstore.chi[kChiWeak], 10.20967, 1e-5);
  SetVar("weakweight", 0, 2);
  SetGlob();
  EXPECT_NEAR(score(), 2 * 10.20967, 2e-5);
  EXPECT_NEAR(TSstore.chi[kChiWeak], 10.20967, 1e-5);
}

// With "tempfiles" 1 every evaluation rewrites weakpts.tmp: one line per galaxy holding
// the position, the ellipticity and de1 de2 P.
TEST_F(WeakTest, TraceFile) {
  lens(kIsothermal);
  const std::string cat = "2 0.3\n3 4 0.1 0.05 0.05 0.05 1 0\n-2 1 0 0.1 0.05 0.05 1 0\n";
  chi_of(cat);
  EXPECT_FALSE(dir.exists("weakpts.tmp"));
  SetVar("tempfiles", 0, 1);
  SetGlob();
  const double chi = chi_of(cat);
  const auto rows = table_rows(dir.read("weakpts.tmp"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_DOUBLE_EQ(rows[1][0], -2.0);
  EXPECT_NEAR(-2 * (std::log(rows[0][4]) + std::log(rows[1][4])), chi, 1e-4);
}

// A galaxy whose likelihood underflows costs -2 ln(de1 de2 1e-300), not infinity.
TEST_F(WeakTest, UnderflowingGalaxyCostsTheFloor) {
  lens(kIsothermal);
  EXPECT_NEAR(chi_of("1 0.01\n3 4 -0.9 0 0.01 0.01 1 0\n"), -2 * std::log(1e-4 * 1e-300), 1e-9);
}

// With "zref" set the model is referenced to it, as for point images: the weak term of
// b R0 with zref equals that of b without (the isothermal field is linear in b).
TEST_F(WeakTest, ReferenceRedshiftScalesTheModel) {
  lens(kIsothermal);
  SetVar("zlens", 0, 0.5);
  SetGlob();
  const std::string cat = "2 0.3\n3 4 0.1 0.05 0.05 0.05 0.6 0\n1 -1.5 0.2 0.1 0.05 0.05 0.4 0.02\n";
  const double plain = chi_of(cat);
  SetVar("zref", 0, 1.5);
  SetGlob();
  const double r0 = PMdist(0.5, 1.5) / PMdist(0, 1.5);
  EXPECT_NEAR(weak_reference_ratio(), r0, 1e-12);
  set_parameter(1, r0);
  EXPECT_NEAR(chi_of(cat), plain, 1e-6);
  // zref at infinity references the model to Dls/Dos = 1.
  SetVar("zref", 0, 2000);
  SetGlob();
  set_parameter(1, 1.0);
  EXPECT_NEAR(chi_of(cat), plain, 1e-9);
  // A reference source in front of the lens has no distance ratio.
  SetVar("zref", 0, 0.3);
  SetGlob();
  EXPECT_EQ(fatal_message([&] { chi_of(cat); }), "zref=0.3 is not behind the lens at zlens=0.5");
}

// Load errors and edges of the catalogue reader.
TEST_F(WeakTest, CatalogueLoadErrors) {
  struct Case { const char* text; const char* message; };
  const Case cases[] = {
      {"2\n", "too few entries on first line of weakdata file"},
      {"1 0.3\n3 4 0.1 0.05 0.05 0.05 1\n", "Too few entries for galaxy #1 in weakdata"},
      {"1 0.3\n3 4 0.1 0.05 0.05 0.05 1.2 0\n", "w>1 in weakdata file; did you mistakenly load a redshift file?"},
      {"2 0.3\n3 4 0.1 0.05 0.05 0.05 1 0\n", "weakdata file ends before galaxy #2"},
      {"2 0.3\n3 4 0.1 0.05 0.05 0.05 1 0\n3 4 0.1 0.05 0 0.05 1 0\n",
       "de1 and de2 must be positive for galaxy #2 in weakdata"},
      {"1 0.3\n3 4 0.1 0.05 0.05 -0.05 1 0\n", "de1 and de2 must be positive for galaxy #1 in weakdata"},
      {"1 0.3\n3 4 nan 0.05 0.05 0.05 1 0\n", "weakdata: nan is not a finite number"},
  };
  for (const Case& c : cases) {
    dir.write("bad.dat", c.text);
    EXPECT_EQ(fatal_message([] { run_handler(weakdata, cmd({"weakdata", "bad.dat"})); }), c.message) << c.text;
  }
  EXPECT_EQ(fatal_message([] { run_handler(weakdata, cmd({"weakdata", "missing.dat"})); }), "could not open weakdata input file");
  // w = 1 is accepted; comment lines are skipped; the catalogue replaces the last one.
  dir.write("ok.dat", "# header\n2 0.25\n3 4 0.1 0.05 0.05 0.05 1 0 # comment\n\n1 1 0 0 0.1 0.1 0.3 0.01\n");
  run_handler(weakdata, cmd({"weakdata", "ok.dat"}));
  ASSERT_EQ(TWweak.Nweak, 2);
  EXPECT_DOUBLE_EQ(TWweak.sigs2, 0.0625);
  EXPECT_DOUBLE_EQ(TWweak.weakdat[2][8], 0.01);
  dir.write("none.dat", "0 0.2\n");
  run_handler(weakdata, cmd({"weakdata", "none.dat"}));
  EXPECT_EQ(TWweak.Nweak, 0);
  EXPECT_EQ(weak_chi(), 0.0);
}

// weakproc: w = D_ls/D_os per galaxy, 0 at or in front of the lens (z = 0 included), and
// dw = dz dw/dz when dz > 0.001.
TEST_F(WeakTest, ProcessRedshifts) {
  dir.write("z.dat", "3 0.2\n1 2 0.1 0.2 0.05 0.05 1.5 0.1\n1 2 0.1 0.2 0.05 0.05 0.3 0.1\n"
                     "1 2 0.1 0.2 0.05 0.05 0 0.0005\n");
  EXPECT_EQ(fatal_message([] { run_handler(weakproc, cmd({"weakproc", "z.dat", "w.dat"})); }), "zlens must be set in weakproc");
  SetVar("zlens", 0, 0.5);
  SetGlob();
  run_handler(weakproc, cmd({"weakproc", "z.dat", "w.dat"}));
  const std::string out = dir.read("w.dat");
  EXPECT_EQ(out.substr(0, out.find('\n')), "3 2.000000e-01  # number of gals, rms source ellipticity");
  const auto rows = table_rows(out);
  ASSERT_EQ(rows.size(), 4u);
  const double w = PMdist(0.5, 1.5) / PMdist(0, 1.5);
  const double h = 1e-5, dwdz = (PMdist(0.5, 1.5 + h) / PMdist(0, 1.5 + h) - PMdist(0.5, 1.5 - h) / PMdist(0, 1.5 - h)) / (2 * h);
  EXPECT_NEAR(rows[1][6], w, 1e-6);
  EXPECT_NEAR(rows[1][7], 0.1 * dwdz, 1e-6);
  EXPECT_EQ(rows[2][6], 0.0);
  EXPECT_EQ(rows[3][6], 0.0);
  EXPECT_EQ(rows[3][7], 0.0);
  // The output loads.
  run_handler(weakdata, cmd({"weakdata", "w.dat"}));
  EXPECT_EQ(TWweak.Nweak, 3);

  dir.write("short.dat", "2 0.2\n1 2 0.1 0.2 0.05 0.05 1.5 0.1\n");
  EXPECT_EQ(fatal_message([] { run_handler(weakproc, cmd({"weakproc", "short.dat", "o.dat"})); }),
            "weakproc file ends before galaxy #2");
  dir.write("few.dat", "1 0.2\n1 2 0.1 0.2 0.05 0.05 1.5\n");
  EXPECT_EQ(fatal_message([] { run_handler(weakproc, cmd({"weakproc", "few.dat", "o.dat"})); }),
            "Too few entries for galaxy #1 in weakproc");
  // zlens 0 is a lens redshift like any other.
  SetVar("zlens", 0, 0);
  SetGlob();
  run_handler(weakproc, cmd({"weakproc", "z.dat", "w0.dat"}));
  EXPECT_NEAR(table_rows(dir.read("w0.dat"))[1][6], 1.0, 1e-12);
}

// A catalogue that cannot be written whole (here a full device) ends with an error rather
// than leaving a short file behind as if all were well.
TEST_F(WeakTest, WriteFailuresAreErrors) {
  if (!std::ifstream("/dev/full")) GTEST_SKIP() << "no /dev/full";
  lens(kIsothermal);
  SetVar("zlens", 0, 0.5);
  SetGlob();
  dir.write("z.dat", "1 0.2\n1 2 0.1 0.2 0.05 0.05 1.5 0.1\n");
  EXPECT_EQ(fatal_message([] { run_handler(weakproc, cmd({"weakproc", "z.dat", "/dev/full"})); }),
            "could not write /dev/full: No space left on device");
  EXPECT_EQ(fatal_message([] {
              run_handler(weakmock, cmd({"weakmock", "/dev/full", "10", "1.5", "6", "1", "2", "0", "0.2", "0.05"}));
            }),
            "could not write /dev/full: No space left on device");
}

// weakmock refuses an empty annulus (or an infinite one) before it draws anything.
TEST_F(WeakTest, MockNeedsAnAnnulus) {
  lens(kIsothermal);
  struct Case { const char *rlo, *rhi, *message; };
  const Case cases[] = {{"2", "2", "weakmock needs Rhi > 0 and Rlo < Rhi"},
                        {"3", "2", "weakmock needs Rhi > 0 and Rlo < Rhi"},
                        {"-1", "0", "weakmock needs Rhi > 0 and Rlo < Rhi"},
                        {"1", "inf", "weakmock: inf is not a finite number"}};
  for (const Case& c : cases) {
    EXPECT_EQ(fatal_message([&] {
                run_handler(weakmock, cmd({"weakmock", "m.dat", "10", c.rlo, c.rhi, "1", "2", "0", "0.2", "0.05"}));
              }),
              c.message);
    EXPECT_FALSE(dir.exists("m.dat"));
  }
}

// A mock catalogue drawn around a b = 1 lens at zlens 0.5 with galaxies at z 1..2 (fitted
// back by optimize in the end-to-end tests): positions fill the annulus, redshifts the
// range, and the intrinsic ellipticities have the rms e_rms that the likelihood assumes.
// Running weakmock again draws a different catalogue.
TEST_F(WeakTest, MockCatalogue) {
  lens(kIsothermal);
  SetVar("zlens", 0, 0.5);
  SetGlob();
  run_handler(weakmock, cmd({"weakmock", "m.dat", "5000", "1.5", "6", "1", "2", "0", "0.2", "0.05"}));
  const auto mock = table_rows(dir.read("m.dat"));
  ASSERT_EQ(mock.size(), 5001u);
  double ss = 0;
  for (size_t i = 1; i < mock.size(); ++i) {
    const double r = std::hypot(mock[i][0], mock[i][1]);
    EXPECT_TRUE(r >= 1.5 && r <= 6 && mock[i][6] >= 1 && mock[i][6] <= 2);
    ss += mock[i][8] * mock[i][8] + mock[i][9] * mock[i][9];
  }
  EXPECT_NEAR(std::sqrt(ss / 5000), 0.2, 0.2 * 0.03);
  run_handler(weakmock, cmd({"weakmock", "m2.dat", "5000", "1.5", "6", "1", "2", "0", "0.2", "0.05"}));
  EXPECT_NE(dir.read("m2.dat"), dir.read("m.dat"));
}
