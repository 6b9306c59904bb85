// Opening files with the program's standard messages.
#include "io/qvmfile.h"

#include <cerrno>
#include <cstring>

#include "shell/fatal.h"

FILE* QVMfopen(const std::string& path, const char* mode, const std::string& message) {
  FILE* f = std::fopen(path.c_str(), mode);
  if (!f && mode[0] != 'r') fatal(strformat("%s: %s: %s", message.c_str(), path.c_str(), std::strerror(errno)));
  if (!f) fatal(message);
  if (mode[0] == 'w') {
    qprintf("Opened output file: %s\n", path.c_str());
  } else if (mode[0] == 'r') {
    qprintf("Opened input file: %s\n", path.c_str());
  }
  return f;
}
