// Message lines printed without ending the program: ERROR, WARNING and Note.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "shell/fatal.h"
#include "support/test_support.h"

// The message lines that do not end the program: their prefixes, and the stream each goes to.
TEST(Messages, PrefixedLinesGoOnAndKeepTheirStream) {
  {
    CaptureOutput out;
    EXPECT_NO_THROW(print_error(" No quote character(s) defined."));
    warning("ellip = 0.95 out of bounds");
    note("two\n      lines");
    EXPECT_EQ(out.text(),
              "ERROR:  No quote character(s) defined.\n"
              "WARNING: ellip = 0.95 out of bounds\n"
              "Note: two\n      lines\n");
  }
  CaptureOutput out;
  FILE* other = std::tmpfile();
  ASSERT_NE(other, nullptr);
  warning("unknown command frob (line ignored)", other);
  note("scaling to zsrc=2.000000", other);
  std::rewind(other);
  char buf[128] = {};
  const size_t n = std::fread(buf, 1, sizeof(buf) - 1, other);
  std::fclose(other);
  EXPECT_EQ(std::string(buf, n), "WARNING: unknown command frob (line ignored)\nNote: scaling to zsrc=2.000000\n");
  EXPECT_EQ(out.text(), "");
}
