// Output files whose every write is checked.
//
// WholeFile: a file a command writes whole (results, tables, maps). It is built under a
// hidden temporary ".<name>.tmpXXXXXX" in the target's folder (".tmpXXXXXX" when that name
// would be too long for the folder) and renamed over the target by commit() only when
// complete and closed without error. On any failure, and when the object goes without
// commit(), the temporary is removed and an earlier file of that name is left as it was.
// Temporaries still alive when the program exits, or when SIGINT or SIGTERM ends it, are
// removed then. An existing target the user may not write is refused; a replaced file
// keeps its mode. A symbolic link is followed to its target, which a dangling link gets
// created. A target that exists and is not a regular file (a device, a pipe) is written
// in place.
//
// OutFile: a file written record by record (chains, scan rows, logs), flushed by the
// caller after each record. flush() and close() check the stream.
//
// A path that names a descriptor (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N,
// or the very file that standard output or standard error is) is written, by both, through
// a duplicate of that descriptor, after the program's standard output: never truncated,
// reopened or replaced. A descriptor that is closed or open only for reading ends the
// program with "could not write <path>: Bad file descriptor".
//
// Every byte of both goes to the system through one writer, which keeps the reason of the
// first refused write whoever flushed the stream.
//
// A failed write, flush, close or rename ends the program with
// "ERROR: could not write <path>: <reason>"; a failed open with
// "<open message>: <path>: <reason>" ("could not write <path>: <reason>" without one; a
// message that already ends with the path gets only ": <reason>").
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A count and a 64-bit FNV-1a digest of bytes, to tell whether a file still holds what the
// program wrote into it.
struct ByteTally {
  long long count = 0;
  uint64_t digest = 14695981039346656037ull;
  void add(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) digest = (digest ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    count += static_cast<long long>(n);
  }
  bool operator==(const ByteTally& o) const { return count == o.count && digest == o.digest; }
};

// What both kinds of file offer the code that writes into them.
class CheckedStream {
 public:
  FILE* get() const { return f_; }
  operator FILE*() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  const std::string& path() const { return path_; }

 protected:
  FILE* f_ = nullptr;
  std::string path_;  // the file as the user named it
};

class OutFile : public CheckedStream {
 public:
  OutFile() = default;
  // Opens path with mode ("w", "a", "wb", ...). With announce, reports
  // "Opened output file: <path>" as the program's file opener does.
  OutFile(const std::string& path, const char* mode, const std::string& open_message = "", bool announce = false);
  // Opens path for writing ("w") and tallies every byte that reaches the file into tally,
  // which must outlive the file.
  OutFile(const std::string& path, ByteTally& tally, const std::string& open_message = "");
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  OutFile(OutFile&& o) noexcept;
  OutFile& operator=(OutFile&& o) noexcept;
  // Closes without checking (the program is already ending on an error, or nothing was opened).
  ~OutFile();

  // Pushes what was written to the system; a failure ends the program.
  void flush();
  // Flushes and closes; a failure ends the program. Nothing to do when not open.
  void close();

 private:
  friend OutFile open_trace(const std::string& path, bool announce);
  OutFile(FILE* f, const std::string& path);
};

class WholeFile : public CheckedStream {
 public:
  // Reports a failure of the file in the writer's own terms and ends the program; opening
  // tells a failure to create the file from one to write it.
  using FailureReport = void (*)(const std::string& path, int errnum, bool opening);

  WholeFile() = default;
  // Text and binary files are the same byte stream here.
  explicit WholeFile(const std::string& path, const std::string& open_message = "", bool announce = false);
  // Failures go to report instead of the ERROR lines.
  WholeFile(const std::string& path, FailureReport report);
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  WholeFile(WholeFile&& o) noexcept;
  WholeFile& operator=(WholeFile&& o) noexcept;
  // Without commit(): closes and removes the temporary; the target is untouched.
  ~WholeFile();

  // Starts the new file with the target's present contents (for a command that appends to
  // its result files): the target changes only when the whole is complete.
  void copy_target();
  // Checks, closes and renames the temporary over the target. Nothing to do when not open.
  void commit();

 private:
  void open(const std::string& path, const std::string& open_message);
  [[noreturn]] void fail_open(const std::string& open_message, int errnum);
  [[noreturn]] void fail_write(int errnum);
  void discard();
  std::string dest_;  // what the temporary is renamed to (a link's target)
  std::string tmp_;   // the temporary; empty when writing in place
  FailureReport report_ = nullptr;
};

// Opens a diagnostic trace that nothing reads back ("w"; with announce, reported as an
// output file). When it cannot be created the work goes on without it: the first refusal
// of each path gives "WARNING: could not open <path>: <reason>; going on without it" and
// the returned file is not open. Its writes are checked like any other once it is open.
OutFile open_trace(const std::string& path, bool announce);

// Flushes a stream opened as an OutFile or a WholeFile (for code that holds only the FILE*);
// a failure ends the program naming the file.
void flush_record(FILE* f);

// The tally of what f holds from its start to its end (read through f, which is rewound).
ByteTally tally_of(FILE* f);

// Ends the program with "could not write <path>: <reason of errnum>".
[[noreturn]] void write_failure(const std::string& path, int errnum);

// For tests: makes the next WholeFile commit fail at the given step with errnum.
enum class WholeFileFault { None, Write, Close, Rename };
void inject_whole_file_fault(WholeFileFault step, int errnum);
