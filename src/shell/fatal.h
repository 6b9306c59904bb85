// Failure reporting: one path for every error that ends the program.
//
// Kernels and handlers throw FatalError through fatal() / nrerror() / fits_fatal();
// the program entry catches it, prints the message in its style and exits with its
// status. Keeping the throw (rather than exit()) lets unit tests catch the failure.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

// Exit status of a normal end (end of input, quit, exit).
constexpr int kNormalExitStatus = 0;
// Exit status of every error that ends the program (FITS failures use the library's
// own nonzero status instead).
constexpr int kErrorExitStatus = 1;

// The streams of all command input and of all screen output.
extern FILE* QVMstdin;
extern FILE* QVMstdout;
// Quiet mode: no prompt, no progress lines, no help texts.
extern int quietflag;
// Set by main: 1 when the commands come from a script (a command file, or a standard
// input that is not a terminal), 0 when they are typed at a terminal. In a script a
// command that does not run because of its words ends the program (refuse below).
extern int scriptflag;

enum class FatalKind {
  Error,      // "ERROR: <message>" on QVMstdout
  Numerical,  // the three-line numerical-toolkit report on standard error
  Fits,       // a FITS library report, already printed on standard error
  Output,     // "ERROR: <message>" on standard error (screen output itself failed)
};

struct FatalError : std::exception {
  FatalKind kind;
  std::string message;
  int status;
  FatalError(FatalKind k, std::string m, int s) : kind(k), message(std::move(m)), status(s) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// Ends the program with "ERROR: <message>".
[[noreturn]] void fatal(const std::string& message);
// Ends the program through the numerical toolkit's report:
// "Numerical Recipes run-time error...", the message, "...now exiting to system...".
[[noreturn]] void nrerror(const std::string& message);
// Ends the program after a FITS failure; the library's report has been printed.
[[noreturn]] void fits_fatal(int status);

// Flushes QVMstdout; when the flush fails or the stream is in error the program ends with
// "ERROR: could not write standard output: <reason>" on standard error.
void flush_output();
// Makes stdout (and QVMstdout) a stream over descriptor 1, buffered as the system's own
// would be, that keeps the system's reason for the first write refused: a failure that an
// unchecked or implicit flush met is then named by flush_output as it was. For the start
// of the program, before anything is written.
void keep_standard_output_reason();
// Writes buf[0..n) to descriptor fd, going on after interrupted writes; returns the bytes
// written, fewer than n when the system refused a write (its errno then stays set, and is
// kept in failure unless failure already holds an earlier one).
size_t write_fully(int fd, const char* buf, size_t n, int& failure);

// Prints the report of a caught FatalError and returns the process exit status.
int report_fatal(const FatalError& e);

// "<label>: <message>": the one form of every ERROR, WARNING, NOTE and Note line, and of
// the fitter's older "Warning: ..." and "Warning in <command>: ..." lines.
std::string labelled(const char* label, const std::string& message);
// A labelled line and its newline on a stream.
void print_labelled(FILE* stream, const char* label, const std::string& message);
// "WARNING: <message>\n" and "Note: <message>\n", on QVMstdout unless another stream is
// given (a message that scripts reading the output must not see goes to standard error).
void warning(const std::string& message, FILE* stream = QVMstdout);
void note(const std::string& message, FILE* stream = QVMstdout);
// "ERROR: <message>\n" on QVMstdout for a failure the program goes on after.
void print_error(const std::string& message);
// A command refuses its own words and does nothing (with them): at a terminal
// "<label>: <message>" and the caller goes on (the interactive run goes on); in a script
// the program ends with "ERROR: <message>" (a script must not go on as if the command had
// run).
void refuse(const std::string& message, const char* label = "WARNING");

// A message that would repeat many times inside one command (a fit, a scan, a chain).
// Only its first occurrence in a command is printed; when the command ends, the first
// line is printed once more with " (printed once; N times in all)" if it came again.
// Counting an occurrence is one increment, so the check may sit in the inner loops;
// the caller builds the text only when first() says it is to be printed:
//   static RepeatedMessage cap;
//   if (cap.first()) cap.warn(strformat(...));
class RepeatedMessage {
 public:
  // Counts one occurrence; true for the first since the message was last closed.
  bool first() { return ++count_ == 1 && enlist(); }
  // Prints "WARNING: <message>" on QVMstdout and keeps it for the closing line.
  void warn(const std::string& message);
  // Keeps the line (no newline) that the closing line repeats, for a message the caller
  // printed: on QVMstdout (as it is when the command ends), or on standard output itself.
  void remember(const std::string& line, bool standard_output = false);
  long count() const { return count_; }
  // Prints the closing line (when counted more than once) and starts the count afresh.
  void close();

 private:
  friend void end_command_messages();
  bool enlist();
  long count_ = 0;
  bool listed_ = false;
  bool standard_output_ = false;
  std::string line_;
};
// Closes every repeated message of the command that ends: the command loop calls it
// after each command.
void end_command_messages();

// printf into a std::string (no length limit).
std::string strformat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// printf onto QVMstdout.
void qprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
