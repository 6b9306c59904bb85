// The table of the file commands: array files, image arithmetic and principal components.
#include "io/commands.h"

#include <iterator>

#include "io/imcommands.h"
#include "io/pca_command.h"
#include "shell/commands.h"

namespace {

// clang-format off
const CommandSpec kCommands[] = {
    {"doPCA", doPCA, nullptr, 3, "Do Principal Component Analysis of a dataset.",
     {"doPCA <inname> <outbase> [# dimensions] [# data points]",
      "Do Principal Component Analysis of a dataset.",
      "The input file holds one data point per line. If the number of dimensions",
      "is not given (or not positive), the first line of the file gives it. If the",
      "number of data points is not given (or not positive), the file is read once",
      "to count them.",
      "Writes <outbase>.info (index, eigenvalue, mean vector, rotation matrix) and",
      "<outbase>.dat (the data points in the principal frame, in input order).",
      "The rotation goes from the data frame to the principal frame:",
      "  data' = rot . (data-mean)"}, HelpLayout{kLongest, 0}},
    {"filetypes", filetypes, nullptr, 0, "Lists the known file types.",
     {"filetypes",
      " Lists the known file types."}, HelpLayout{kLongest, 0}},
    {"fileconvert", fileconvert, SetGlob, 5, "Converts between known data file types.",
     {"fileconvert <inname> <intype> <outname> <outtype>",
      " Converts between known data file types."}, HelpLayout{49}},
    {"imarith", imarith, SetGlob, 6, "Lets you apply some arithmetic operation to an image.",
     {"imarith <inname> <intype> <outname> <outtype> <operation> [value]",
      " Lets you apply some arithmetic operation to an image.",
      " Operations:",
      "   abs      : out = |in|",
      "   add <f>  : out = f + in",
      "   mult <f> : out = f * in"}, HelpLayout{72, 72}},
    {"imcombine", imcombine, SetGlob, 8, "Lets you add/subtract image files.",
     {"imcombine <file1> <file1type> <file2> <file2type> <f> <out> <outtype>",
      " Lets you add/subtract image files.",
      "   out = file1 + f*file2",
      " Currently assumes the two images have the same dimensions."}, HelpLayout{71, 71}},
    {"imdiff", imdiff, SetGlob, 8, "Lets you find the difference between two image files, in several ways.",
     {"imdiff <file1> <file1type> <file2> <file2type> <mode> <out> <outtype>",
      " Lets you find the difference between two image files, in several ways.",
      " Modes:",
      "   1 : out = image1 - image2",
      "   2 : out = image1/image2 - 1",
      "   3 : out = 2.5*log10(|image1/image2|)",
      " Currently assumes the two images have the same dimensions."}, HelpLayout{71}},
    {"imstats", imstats, SetGlob, 3, "Reports statistical properties of an image.",
     {"imstats <file1> <file1type> [ixlo ixhi iylo iyhi]",
      " Reports statistical properties of an image.",
      " Bounds are pixel indices; 0 or a bound beyond the image means",
      " its edge. Without all four bounds the whole image is used."}, HelpLayout{65, 65}},
};
// clang-format on

const CommandSpec& row(const char* name) { return table_row(io_commands(), name); }

}  // namespace

CommandTable io_commands() { return {kCommands, std::size(kCommands)}; }

void doPCAhelp(int level) { print_help(row("doPCA"), level); }
void filetypeshelp(int level) { print_help(row("filetypes"), level); }
void fileconverthelp(int level) { print_help(row("fileconvert"), level); }
void imarithhelp(int level) { print_help(row("imarith"), level); }
void imcombinehelp(int level) { print_help(row("imcombine"), level); }
void imdiffhelp(int level) { print_help(row("imdiff"), level); }
void imstatshelp(int level) { print_help(row("imstats"), level); }
