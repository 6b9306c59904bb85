// Opening files with the program's standard messages.
#include "io/qvmfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "shell/fatal.h"

namespace {
[[noreturn]] void folder_fatal(const std::string& path, const std::string& message) {
  fatal(strformat("%s: %s: %s", message.c_str(), path.c_str(), std::strerror(EISDIR)));
}
}  // namespace

FILE* open_input_file(const std::string& path, const char* mode, const std::string& message) {
  FILE* f = std::fopen(path.c_str(), mode);
  if (!f) return nullptr;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    folder_fatal(path, message);
  }
  return f;
}

void refuse_folder(const std::string& path, const std::string& message) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) folder_fatal(path, message);
}

FILE* QVMfopen(const std::string& path, const char* mode, const std::string& message) {
  FILE* f = mode[0] == 'r' ? open_input_file(path, mode, message) : std::fopen(path.c_str(), mode);
  if (!f && mode[0] != 'r') fatal(strformat("%s: %s: %s", message.c_str(), path.c_str(), std::strerror(errno)));
  if (!f) fatal(message);
  if (mode[0] == 'w') {
    qprintf("Opened output file: %s\n", path.c_str());
  } else if (mode[0] == 'r') {
    qprintf("Opened input file: %s\n", path.c_str());
  }
  return f;
}
