// Failure reporting and the one output path of ERROR, WARNING and Note lines, with the
// once-per-command messages and the printf helpers.
#include "shell/fatal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

FILE* QVMstdin = stdin;
FILE* QVMstdout = stdout;
int quietflag = 0;
int scriptflag = 0;

void fatal(const std::string& message) {
  throw FatalError(FatalKind::Error, message, kErrorExitStatus);
}

void nrerror(const std::string& message) {
  throw FatalError(FatalKind::Numerical, message, kErrorExitStatus);
}

void fits_fatal(int status) {
  throw FatalError(FatalKind::Fits, "FITS error", status != 0 ? status : kErrorExitStatus);
}

namespace {
FILE* kept_stdout = nullptr;  // the stream of keep_standard_output_reason
int stdout_failure = 0;       // errno of its first refused write

ssize_t stdout_write(void*, const char* buf, size_t n) {
  return static_cast<ssize_t>(write_fully(1, buf, n, stdout_failure));  // short on a failure
}
}  // namespace

size_t write_fully(int fd, const char* buf, size_t n, int& failure) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, buf + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (!failure) failure = errno;
      break;
    }
    done += static_cast<size_t>(w);
  }
  return done;
}

void keep_standard_output_reason() {
  FILE* f = ::fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, stdout_write, nullptr, nullptr});
  if (!f) return;
  if (::isatty(1)) std::setvbuf(f, nullptr, _IOLBF, BUFSIZ);
  kept_stdout = f;
  stdout = f;
  QVMstdout = f;
}

void flush_output() {
  errno = 0;
  int err = std::fflush(QVMstdout) != 0 ? (errno ? errno : EIO) : 0;
  if (err == 0 && std::ferror(QVMstdout)) err = EIO;
  if (err && QVMstdout == kept_stdout && stdout_failure) err = stdout_failure;
  if (err) throw FatalError(FatalKind::Output, strformat("could not write standard output: %s", std::strerror(err)), kErrorExitStatus);
}

int report_fatal(const FatalError& e) {
  switch (e.kind) {
    case FatalKind::Error:
      print_labelled(QVMstdout, "ERROR", e.message);
      break;
    case FatalKind::Numerical:
      std::fprintf(stderr, "Numerical Recipes run-time error...\n");
      std::fprintf(stderr, "%s\n", e.message.c_str());
      std::fprintf(stderr, "...now exiting to system...\n");
      break;
    case FatalKind::Fits:
      break;
    case FatalKind::Output:
      print_labelled(stderr, "ERROR", e.message);
      break;
  }
  std::fflush(QVMstdout);
  std::fflush(stderr);
  return e.status;
}

std::string labelled(const char* label, const std::string& message) { return std::string(label) + ": " + message; }

void print_labelled(FILE* stream, const char* label, const std::string& message) {
  std::fprintf(stream, "%s\n", labelled(label, message).c_str());
}

void warning(const std::string& message, FILE* stream) { print_labelled(stream, "WARNING", message); }

void note(const std::string& message, FILE* stream) { print_labelled(stream, "Note", message); }

void print_error(const std::string& message) { print_labelled(QVMstdout, "ERROR", message); }

void refuse(const std::string& message, const char* label) {
  if (scriptflag) fatal(message);
  print_labelled(QVMstdout, label, message);
}

namespace {
std::vector<RepeatedMessage*>& counted_messages() {
  static std::vector<RepeatedMessage*> list;
  return list;
}
}  // namespace

bool RepeatedMessage::enlist() {
  if (!listed_) {
    counted_messages().push_back(this);
    listed_ = true;
  }
  return true;
}

void RepeatedMessage::warn(const std::string& message) {
  warning(message);
  remember(labelled("WARNING", message));
}

void RepeatedMessage::remember(const std::string& line, bool standard_output) {
  line_ = line;
  standard_output_ = standard_output;
}

void RepeatedMessage::close() {
  if (count_ > 1 && !line_.empty()) {
    FILE* stream = standard_output_ ? stdout : QVMstdout;
    std::fprintf(stream, "%s (printed once; %ld times in all)\n", line_.c_str(), count_);
    std::fflush(stream);
  }
  count_ = 0;
  line_.clear();
}

void end_command_messages() {
  std::vector<RepeatedMessage*>& list = counted_messages();
  for (RepeatedMessage* m : list) {
    m->close();
    m->listed_ = false;
  }
  list.clear();
}

static std::string vformat(const char* fmt, va_list ap) {
  va_list ap2;
  va_copy(ap2, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap2);
  va_end(ap2);
  if (n <= 0) return std::string();
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), fmt, ap);
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string strformat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vformat(fmt, ap);
  va_end(ap);
  return s;
}

void qprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(QVMstdout, fmt, ap);
  va_end(ap);
}
