// A scratch file that a command writes record by record and reads back when it is done.
// It is read through a handle opened when it was created, and only when it holds exactly
// the bytes written into it: a file put at its name during the run, or another run writing
// into it, is never taken as the command's own.
#pragma once

#include <memory>
#include <string>

#include "io/outfile.h"
#include "io/qvmfile.h"

class ScratchRecords {
 public:
  ScratchRecords() = default;
  // Creates path for writing; a failure ends the program as OutFile's open does. With
  // announce, reports "Opened output file: <path>".
  ScratchRecords(const std::string& path, const std::string& open_message, bool announce);

  OutFile& out() { return out_; }
  const std::string& path() const { return out_.path(); }
  // Flushes and closes the writing side (checked).
  void close() { out_.close(); }
  // Closes the writing side and gives what was written, from its start, reporting
  // "Opened input file: <path>". Ends the program with
  // "<who> temp file <path> was changed during the run" when the file holds anything but
  // what was written.
  FileHandle read_back(const std::string& who);

 private:
  std::unique_ptr<ByteTally> written_;  // on the heap: the stream counts into it as the object moves
  OutFile out_;
  FileHandle in_;
};
