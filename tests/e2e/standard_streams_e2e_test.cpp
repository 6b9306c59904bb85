// The standard streams as a user's shell may hand them over: closed, or a device that
// takes no data. A closed stream is never taken by a file the program opens, and a failure
// of standard output names the system's reason whichever write met it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/test_support.h"

namespace {

const char* kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0.05 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

// Runs "sh -c '<shell>'" in d, with <bin> standing for the program; standard error goes to
// err.txt. Returns the exit status.
int run_shell(const ScratchDir& d, std::string shell) {
  const std::string bin = "'" + tarnsolve_binary() + "'";
  for (size_t at = shell.find("<bin>"); at != std::string::npos; at = shell.find("<bin>", at + bin.size()))
    shell.replace(at, 5, bin);
  const std::string cmd = "cd '" + d.path() + "' && sh -c \"" + shell + "\" 2> err.txt";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

// With standard output closed, the command file and the files the commands open keep
// their own descriptors: the command file is not overwritten, a record file holds what it
// holds in a normal run, and the output that cannot be written ends the run with status 1.
TEST(StandardStreamsE2E, AClosedStandardOutputIsTakenByNoFile) {
  ScratchDir d;
  const std::string commands = std::string(kSphere) + "plotcrit /dev/stdout\n";
  d.write("c.in", commands);
  EXPECT_EQ(run_shell(d, "<bin> -q c.in >&-"), 1);
  EXPECT_EQ(d.read("c.in"), commands);
  EXPECT_NE(d.read("err.txt").find("Bad file descriptor"), std::string::npos) << d.read("err.txt");

  d.write("om.in", "set seed -5\n" + std::string(kSphere) +
                       "OMEGAwrite om.txt text 2\nfindimg 0.3 0.1\nmocklens k 10\nfindimg 0.3 0.1\n");
  ASSERT_EQ(run_shell(d, "<bin> -q < om.in > /dev/null"), 0) << d.read("err.txt");
  const std::string normal = d.read("om.txt");
  ASSERT_FALSE(normal.empty());
  std::remove(d.file("om.txt").c_str());
  EXPECT_EQ(run_shell(d, "<bin> -q < om.in >&-"), 1);
  EXPECT_EQ(d.read("om.txt"), normal);
  EXPECT_EQ(d.read("err.txt"), "ERROR: could not write standard output: Bad file descriptor\n");
}

// A device that takes no data as standard output: the system's reason, with and without
// -q, also when the output of a scan or a chain was pushed out by a flush that nothing
// checked before the one that reports it.
TEST(StandardStreamsE2E, AFailedStandardOutputNamesTheSystemsReason) {
  ScratchDir d;
  d.write("start.dat", "1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n");
  const std::string setup = "set omitcore 0.05\nset chimode 0\nset gridflag 0\ndata q.dat\nsetlens start.dat\n";
  ASSERT_EQ(run_shell(d, "cp '" + source_path("examples/quadoff.dat") + "' q.dat"), 0);  // the example quad
  for (const std::string& c : {std::string("optimize o\n"), std::string("varyone 1 1 0.8 1.2 40 v\n"),
                               std::string("MCMCset 1 minsteps 100 maxsteps 201 Nchain 4\nMCMCrun m\n")}) {
    d.write("e.in", setup + c);
    for (const char* q : {"-q ", ""}) {
      EXPECT_EQ(run_shell(d, std::string("<bin> ") + q + "e.in > /dev/full"), 1) << q << c;
      EXPECT_EQ(d.read("err.txt"), "ERROR: could not write standard output: No space left on device\n") << q << c;
    }
  }
}
