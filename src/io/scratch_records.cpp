#include "io/scratch_records.h"

#include <cerrno>
#include <cstring>

#include "shell/fatal.h"

ScratchRecords::ScratchRecords(const std::string& path, const std::string& open_message, bool announce)
    : written_(std::make_unique<ByteTally>()), out_(path, *written_, open_message) {
  // The reading handle is taken now, while the name is still the file just created.
  in_ = FileHandle(std::fopen(path.c_str(), "r"));
  if (!in_) fatal(strformat("could not read %s: %s", path.c_str(), std::strerror(errno)));
  if (announce) qprintf("Opened output file: %s\n", path.c_str());
}

FileHandle ScratchRecords::read_back(const std::string& who) {
  const std::string path = out_.path();
  out_.close();
  if (!in_ || !(tally_of(in_) == *written_))
    fatal(strformat("%s temp file %s was changed during the run", who.c_str(), path.c_str()));
  qprintf("Opened input file: %s\n", path.c_str());
  return std::move(in_);
}
