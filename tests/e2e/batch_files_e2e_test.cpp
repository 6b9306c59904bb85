// The files of batch runs as a user meets them when the disk fills: the FITS table of a
// batch mock gives back a row whose bytes did not all reach the disk and stays a table of
// whole rows.
#include <gtest/gtest.h>

#include <fitsio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// Two models of two lenses each as the batch mock draws them, 40 rows in all.
const std::string kBatchMock =
    "set batchwrite 2\nset gridhi1 3\nsetlens 2 1\nalpha 1 0 0 0.2 10 0 0 0.05 0 1\n"
    "alpha 0.1 1.5 0 0 0 0 0 0 0 1\n1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
    "set seed 40000\n";

// The rows of a FITS table, each as its bytes, read with the library; fails the test when
// the file is not a table of whole rows: the header's row count times the row width,
// padded to whole 2880-byte blocks, must end exactly where the file ends.
std::vector<std::string> table_rows(const std::string& path) {
  std::vector<std::string> rows;
  fitsfile* f = nullptr;
  int status = 0;
  if (ffopen(&f, path.c_str(), READONLY, &status)) {
    ADD_FAILURE() << path << " does not open as a FITS file: status " << status;
    return rows;
  }
  long n = 0;
  LONGLONG width = 0, head = 0, data = 0, end = 0;
  ffmnhd(f, BINARY_TBL, const_cast<char*>("MODEL_REALISATIONS"), 0, &status);
  ffgnrw(f, &n, &status);
  ffgkyjj(f, "NAXIS1", &width, nullptr, &status);
  ffghadll(f, &head, &data, &end, &status);
  for (long r = 1; r <= n && !status; ++r) {
    std::string row(static_cast<size_t>(width), '\0');
    ffgtbb(f, r, 1, width, reinterpret_cast<unsigned char*>(&row[0]), &status);
    rows.push_back(row);
  }
  ffclos(f, &status);
  EXPECT_EQ(status, 0) << path;
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<LONGLONG>(st.st_size), data + (n * width + 2879) / 2880 * 2880) << path;
  return rows;
}

}  // namespace

// At every level of free space the table holds, whole, every row not reported removed, and
// these are the first rows of a run with room to spare; a table that cannot be begun is
// reported and not left behind.
TEST(BatchFilesE2E, AFullDiskTakesBackTheFitsRowsItCut) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  ScratchDir d;
  const std::string commands = kBatchMock + "batchmock1 full/q 20 1 0 0 0 0 0 2\n0.9 1.1 2\n";
  mkdir(d.file("full").c_str(), 0755);
  RunResult r = run_commands(d, commands);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> all = table_rows(d.file("full/q.fits"));
  ASSERT_EQ(all.size(), 40u);
  std::remove(d.file("full/q.fits").c_str());

  if (mount("tmpfs", d.file("full").c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string p;
    ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
  } unmount{d.file("full")};
  bool cut = false, whole = false;
  for (int pages = 0; pages <= 12; ++pages) {
    std::remove(d.file("full/q.fits").c_str());
    std::remove(d.file("full/filler").c_str());
    struct statvfs vs;
    ASSERT_EQ(statvfs(d.file("full").c_str(), &vs), 0);
    const long long fill = static_cast<long long>(vs.f_bavail) * vs.f_frsize - pages * 4096LL;
    if (fill > 0) {
      std::ofstream f(d.file("full/filler"), std::ios::binary);
      f << std::string(static_cast<size_t>(fill), 'x');
    }
    r = run_commands(d, commands);
    EXPECT_EQ(r.status, 0) << pages << r.out;
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
    if (!d.exists("full/q.fits")) {
      // Not even the header fits: said once, and each row then finds no table.
      EXPECT_NE(r.out.find("Cannot write header to HDU\n"), std::string::npos) << pages << r.out;
      EXPECT_EQ(count_occurrences(r.out, "Unable to open file\n"), 40) << pages << r.out;
      continue;
    }
    const std::vector<std::string> rows = table_rows(d.file("full/q.fits"));
    const int removed = count_occurrences(r.out, "(No space left on device): row removed\n");
    EXPECT_EQ(rows.size() + static_cast<size_t>(removed), 40u) << pages << r.out;
    if (removed > 0) {
      cut = true;
      const std::string first = "Unable to write row " + std::to_string(rows.size() + 1) + " of full/q.fits";
      EXPECT_NE(r.out.find(first), std::string::npos) << pages << r.out;
    } else {
      whole = true;
    }
    for (size_t i = 0; i < rows.size() && i < all.size(); ++i) EXPECT_EQ(rows[i], all[i]) << pages << " row " << i + 1;
  }
  EXPECT_TRUE(cut);
  EXPECT_TRUE(whole);
}
