// Words of one line, the line parser, the line reader and the string variables.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The name of the command being run (set by the command loop around each handler); the
// number readers name it in their errors. Empty outside a command.
const std::string& current_command();
// Runs the scope under the given command name, restoring the previous one at its end.
class CommandScope {
 public:
  explicit CommandScope(const std::string& name);
  ~CommandScope();
  CommandScope(const CommandScope&) = delete;
  CommandScope& operator=(const CommandScope&) = delete;

 private:
  std::string saved_;
};

// The number a word stands for. The whole word must be a decimal number (nan and inf as
// the C library spells them included; hex forms refused); an empty word and the comment
// marker (a word past the end of a line) read as 0. Anything else ends the program with
// "ERROR: in <command>, <word> is not a number".
double word_real(const std::string& command, const std::string& word);
// The integer a word stands for (the program's integer rule), for a word that addresses or
// sizes something: a word that is no number ends the program as in word_real, nan and inf
// with "ERROR: <command>: <word> is not a finite number", and a value outside lo..hi with
// "ERROR: in <command>, <word> is not a usable <what> (<lo> to <hi>)". The range is checked
// on the double before it is converted.
long usable_integer(const std::string& command, const std::string& word, const std::string& what, long lo,
                    long hi);
// For a value read as a real and then truncated toward zero (word is its text, for the
// message): the truncation, refused as in usable_integer when it lies outside lo..hi.
long usable_truncation(const std::string& command, const std::string& word, double v, const std::string& what,
                       long lo, long hi);
// The widest ranges of integer words, kept symmetric so that negating one never overflows:
// an int, and a long (within the values the integer rule gives exactly).
constexpr long kIntWordLimit = 2147483647L;
constexpr long kLongWordLimit = 9200000000000000000L;
// The largest count a command sizes storage or loops by, unless it names its own bound.
constexpr long kCountLimit = 100000000L;
// Refuses a grid of nx by ny points (signs ignored) larger than kCountLimit points, before
// anything is sized by it: "ERROR: in <command>, a grid of <nx> by <ny> points is larger
// than <limit> points".
void check_grid_points(const std::string& command, long nx, long ny);

// The words of one input line. Word 0 of a command line is the command name. Access past
// the last word is safe: it gives an empty word (and reads as the number 0).
class WordArray {
 public:
  WordArray() = default;
  explicit WordArray(std::vector<std::string> w) : w_(std::move(w)) {}
  int count() const { return static_cast<int>(w_.size()); }
  // Word i, or an empty word when i is outside 0..count()-1.
  const std::string& operator[](int i) const;
  const char* c_str(int i) const { return (*this)[i].c_str(); }
  // Word i as a number (word_real under the running command).
  double real(int i) const;
  // real(i) read as an integer by the program's integer rule, within the range of a long
  // (usable_integer under the running command).
  long integer(int i) const;
  // integer(i) within the range of an int.
  int int_value(int i) const;
  // Word i as an integer within lo..hi, a range inside that of an int (usable_integer under
  // the running command).
  int usable(int i, const std::string& what, long lo, long hi) const;
  // A count (negative for a count that the command reads with its sign: logarithmic steps,
  // a density, ...): usable(i, what, -kCountLimit, kCountLimit).
  int signed_count(int i, const std::string& what) const;
  // True when word i as a whole is a finite number.
  bool is_number(int i) const;
  // real(i), for words that must hold a finite number: nan, inf or a number too large for
  // a double ends the program with "<command>: <word> is not a finite number".
  double finite(int i, const std::string& command) const;
  // Word i read as an integer by the program's integer rule, within the range of a long
  // (usable_integer under the given command).
  long finite_integer(int i, const std::string& command) const;
  // finite_integer(i, command) within the range of an int.
  int finite_int(int i, const std::string& command) const;
  // Number of words in front of the first word equal to the comment marker: the
  // line's own words, without the marker that the line reader appends.
  int own_count() const;
  std::vector<std::string>& words() { return w_; }
  const std::vector<std::string>& words() const { return w_; }

 private:
  // The command the number readers name: the running one, or word 0 outside the command
  // loop (a handler called directly).
  const std::string& command() const;
  std::vector<std::string> w_;
};

// Reads one line of any length (without its newline, nor a carriage return before it).
// False at end of input.
bool read_line(FILE* stream, std::string& line);
// Reads a number from the whole decimal word (hex forms refused, as in word_real); false when
// the word is not a finite number.
bool parse_real(const std::string& word, double& value);

// ---- string variables ----
struct StringEntry {
  std::string name, value;
};
void InitStrings();
void AddString(const std::string& name, const std::string& value, int verbose);
void SetString(const std::string& name, const std::string& value, int verbose);
std::string GetString(const std::string& name);
void ShowStrings();

// ---- parsing ----
int IsQuote(char c);
int IsBackQuote(char c);
int IsInQuotes(const std::string& text, int n, int withBackquotes);
void replace(std::string& text, const std::string& target, const std::string& replacement, int quoteAware, int all);
// Splits line (rewritten in place: comment marker separated, tabs widened) into words.
// Returns 0 exactly when word 0 equals the comment marker.
int strprs(std::string& line, WordArray& words, char separator);
int strparse(std::string& line, WordArray& words);
// Joins words 0..n-1 with single blanks.
std::string MakeLine(int n, const WordArray& words);
// Reads the next data line (blank and comment lines skipped); the comment marker is
// appended as one last word. Returns 1 with the words, 0 at end of input.
int myread(FILE* stream, WordArray& words);

void ReplaceEquals(std::string& text);
void ChangeSlash(std::string& text, int quoteAware, int all);
void AddSpace(std::string& text, const std::string& target, int quoteAware, int all);
void rmspace(std::string& text);
void RemoveQuotes(std::string& text);
int compare(int nvalues, const std::vector<std::string>& values, int nargs, const std::vector<std::string>& args);
int CheckConditional(const WordArray& words);
void CheckSnR(std::string& text);
using SectionRewrite = int (*)(std::string& text, WordArray& words);
int ReplaceDelimited(std::string& line, char open, char close, SectionRewrite rewrite, WordArray& words);
int SplitEquals(WordArray& words);
