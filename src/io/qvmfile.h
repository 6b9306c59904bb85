// Opening files with the program's standard messages.
#pragma once

#include <cstdio>
#include <string>

// Opens path with the given C mode. On failure ends the program with "ERROR: <message>",
// for an output file "ERROR: <message>: <path>: <reason>".
// On success reports "Opened input file: %s" (modes beginning with "r") or
// "Opened output file: %s" (modes beginning with "w"), in quiet mode too.
FILE* QVMfopen(const std::string& path, const char* mode, const std::string& message);

// Opens an input file with the given C mode, for readers that report a failed open
// themselves: nullptr when it cannot be opened. A folder opens but holds no data: it ends
// the program with "ERROR: <message>: <path>: Is a directory", message being the reader's
// own open message (QVMfopen refuses a folder the same way).
FILE* open_input_file(const std::string& path, const char* mode, const std::string& message);
// Ends the program as open_input_file does when path names a folder; for readers that
// open files through another library.
void refuse_folder(const std::string& path, const std::string& message);

// Owns a FILE*: closes it when it goes out of scope.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(FILE* f) : f_(f) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
  FileHandle& operator=(FileHandle&& o) noexcept {
    if (this != &o) { close(); f_ = o.f_; o.f_ = nullptr; }
    return *this;
  }
  ~FileHandle() { close(); }
  FILE* get() const { return f_; }
  operator FILE*() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Closes now; returns the result of fclose (0 when there was nothing to close).
  int close() {
    FILE* f = f_;
    f_ = nullptr;
    return f ? std::fclose(f) : 0;
  }

 private:
  FILE* f_ = nullptr;
};
