// Checked output files: whole files written under a temporary name and renamed, and
// appended streams whose every write and flush is checked.
#include "io/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "shell/fatal.h"

namespace {

WholeFileFault injected_step = WholeFileFault::None;
int injected_errno = 0;

// Consumes the injected fault when it is the given step: sets errno and returns true.
bool injected(WholeFileFault step) {
  if (injected_step != step) return false;
  injected_step = WholeFileFault::None;
  errno = injected_errno;
  return true;
}

// Temporaries not yet renamed or removed: the exit path removes them.
std::vector<std::string>& live_temporaries() {
  static std::vector<std::string>* live = [] {
    std::atexit([] {
      for (const std::string& t : live_temporaries()) ::unlink(t.c_str());
    });
    return new std::vector<std::string>();
  }();
  return *live;
}

void forget_temporary(const std::string& tmp) {
  auto& live = live_temporaries();
  live.erase(std::remove(live.begin(), live.end(), tmp), live.end());
}

[[noreturn]] void open_failure(const std::string& path, const std::string& message, int errnum) {
  if (message.empty()) write_failure(path, errnum);
  const bool named = message.size() >= path.size() && message.compare(message.size() - path.size(), path.size(), path) == 0;
  if (named) fatal(strformat("%s: %s", message.c_str(), std::strerror(errnum)));
  fatal(strformat("%s: %s: %s", message.c_str(), path.c_str(), std::strerror(errnum)));
}

// The system side of a checked stream: every byte written reaches the file through here,
// so the reason for the first refused write is kept whoever flushed the stream.
struct StreamCookie {
  int fd;
  int failure = 0;            // errno of the first write the system refused
  ByteTally* tally = nullptr;  // counts what reached the file, when asked to
};

ssize_t cookie_write(void* cookie, const char* buf, size_t n) {
  auto* c = static_cast<StreamCookie*>(cookie);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(c->fd, buf + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (!c->failure) c->failure = errno;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (c->tally) c->tally->add(buf, done);
  return static_cast<ssize_t>(done);  // short (0 with errno set) on a failure
}

int cookie_close(void* cookie) {
  auto* c = static_cast<StreamCookie*>(cookie);
  const int r = ::close(c->fd);
  delete c;
  return r;
}

struct OpenStream {
  FILE* f;
  std::string path;
  StreamCookie* cookie;
};

// The open checked streams, for flush_record and for the reasons of failures.
std::vector<OpenStream>& open_streams() {
  // Never destroyed: files held by static objects close after the other statics have gone.
  static auto* streams = new std::vector<OpenStream>();
  return *streams;
}

// A checked stream over fd (which it owns from now on), known by path; null with errno set
// when the stream cannot be made.
FILE* open_stream(int fd, const std::string& path, ByteTally* tally) {
  auto* cookie = new StreamCookie{fd, 0, tally};
  FILE* f = ::fopencookie(cookie, "w", cookie_io_functions_t{nullptr, cookie_write, nullptr, cookie_close});
  if (!f) {
    const int err = errno;
    ::close(fd);
    delete cookie;
    errno = err;
    return nullptr;
  }
  open_streams().push_back({f, path, cookie});
  return f;
}

const OpenStream* find_stream(FILE* f) {
  for (const OpenStream& s : open_streams())
    if (s.f == f) return &s;
  return nullptr;
}

// The system's reason for a failure of f found as err.
int reason_of(FILE* f, int err) {
  const OpenStream* s = find_stream(f);
  return s && s->cookie->failure ? s->cookie->failure : err;
}

int close_stream(FILE* f) {
  auto& v = open_streams();
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i].f == f) {
      v.erase(v.begin() + static_cast<long>(i));
      break;
    }
  return std::fclose(f);
}

// Opens path for writing as fopen would with mode ("w..." or "a...").
int open_for_writing(const std::string& path, const char* mode) {
  const int how = mode[0] == 'a' ? O_APPEND : O_TRUNC;
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | how, 0666);
}

// The permissions a new file gets from fopen: 0666 less the umask.
mode_t new_file_mode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// The stream's state after all its writes: 0, or the errno of the failure.
int flush_error(FILE* f) {
  errno = 0;
  if (std::fflush(f) != 0) return errno ? errno : EIO;
  return std::ferror(f) ? EIO : 0;
}

}  // namespace

ByteTally tally_of(FILE* f) {
  ByteTally t;
  std::rewind(f);
  char buf[1 << 15];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) t.add(buf, n);
  std::rewind(f);
  return t;
}

void flush_record(FILE* f) {
  if (f == QVMstdout) {
    flush_output();
    return;
  }
  if (const int err = flush_error(f)) {
    const OpenStream* s = find_stream(f);
    write_failure(s ? s->path : std::string("output file"), reason_of(f, err));
  }
}

void write_failure(const std::string& path, int errnum) {
  fatal(strformat("could not write %s: %s", path.c_str(), std::strerror(errnum)));
}

OutFile open_trace(const std::string& path, bool announce) {
  static std::vector<std::string> refused;
  const int fd = open_for_writing(path, "w");
  FILE* f = fd >= 0 ? open_stream(fd, path, nullptr) : nullptr;
  if (!f) {
    if (std::find(refused.begin(), refused.end(), path) == refused.end()) {
      refused.push_back(path);
      warning(strformat("could not open %s: %s; going on without it", path.c_str(), std::strerror(errno)));
    }
    return OutFile();
  }
  if (announce) qprintf("Opened output file: %s\n", path.c_str());
  return OutFile(f, path);
}

void inject_whole_file_fault(WholeFileFault step, int errnum) {
  injected_step = step;
  injected_errno = errnum;
}

// ---------------------------------------------------------------------------------------

OutFile::OutFile(const std::string& path, const char* mode, const std::string& open_message, bool announce) {
  path_ = path;
  const int fd = open_for_writing(path, mode);
  if (fd < 0 || !(f_ = open_stream(fd, path, nullptr))) open_failure(path, open_message, errno);
  if (announce) qprintf("Opened output file: %s\n", path.c_str());
}

OutFile::OutFile(const std::string& path, ByteTally& tally, const std::string& open_message) {
  path_ = path;
  tally = ByteTally();
  const int fd = open_for_writing(path, "w");
  if (fd < 0 || !(f_ = open_stream(fd, path, &tally))) open_failure(path, open_message, errno);
}

OutFile::OutFile(FILE* f, const std::string& path) {
  f_ = f;
  path_ = path;
}

OutFile::OutFile(OutFile&& o) noexcept {
  f_ = o.f_;
  path_ = std::move(o.path_);
  o.f_ = nullptr;
}

OutFile& OutFile::operator=(OutFile&& o) noexcept {
  if (this != &o) {
    if (f_) close_stream(f_);
    f_ = o.f_;
    path_ = std::move(o.path_);
    o.f_ = nullptr;
  }
  return *this;
}

OutFile::~OutFile() {
  if (f_) close_stream(f_);
}

void OutFile::flush() {
  if (!f_) return;
  if (const int err = flush_error(f_)) write_failure(path_, reason_of(f_, err));
}

void OutFile::close() {
  if (!f_) return;
  FILE* f = f_;
  f_ = nullptr;
  int err = flush_error(f);
  if (err) err = reason_of(f, err);
  if (close_stream(f) != 0 && err == 0) err = errno ? errno : EIO;
  if (err) write_failure(path_, err);
}

// ---------------------------------------------------------------------------------------

WholeFile::WholeFile(const std::string& path, const std::string& open_message, bool announce) {
  path_ = path;
  // Where the file goes: through a link to its target; a device or pipe is written in place.
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) target = buf;
  }
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    const int fd = open_for_writing(target, "w");
    if (fd < 0 || !(f_ = open_stream(fd, path, nullptr))) open_failure(path, open_message, errno);
  } else {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string tmp = dir + "." + name + ".tmpXXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) open_failure(path, open_message, errno);
    ::fchmod(fd, new_file_mode());
    live_temporaries().push_back(tmp);
    tmp_ = tmp;
    dest_ = target;
    if (!(f_ = open_stream(fd, path, nullptr))) {
      const int err = errno;
      discard();
      open_failure(path, open_message, err);
    }
  }
  if (announce) qprintf("Opened output file: %s\n", path.c_str());
}

WholeFile::WholeFile(WholeFile&& o) noexcept : dest_(std::move(o.dest_)), tmp_(std::move(o.tmp_)) {
  f_ = o.f_;
  path_ = std::move(o.path_);
  o.f_ = nullptr;
  o.tmp_.clear();
}

WholeFile& WholeFile::operator=(WholeFile&& o) noexcept {
  if (this != &o) {
    discard();
    f_ = o.f_;
    path_ = std::move(o.path_);
    dest_ = std::move(o.dest_);
    tmp_ = std::move(o.tmp_);
    o.f_ = nullptr;
    o.tmp_.clear();
  }
  return *this;
}

WholeFile::~WholeFile() { discard(); }

void WholeFile::discard() {
  if (f_) close_stream(f_);
  f_ = nullptr;
  if (!tmp_.empty()) {
    ::unlink(tmp_.c_str());
    forget_temporary(tmp_);
    tmp_.clear();
  }
}

void WholeFile::copy_target() {
  if (!f_ || tmp_.empty()) return;  // a device or pipe is written in place
  FILE* in = std::fopen(path_.c_str(), "rb");
  if (!in) {
    if (errno == ENOENT) return;
    fatal(strformat("could not read %s: %s", path_.c_str(), std::strerror(errno)));
  }
  char buf[1 << 15];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) std::fwrite(buf, 1, n, f_);
  const bool bad = std::ferror(in) != 0;
  const int err = errno;
  std::fclose(in);
  if (bad) fatal(strformat("could not read %s: %s", path_.c_str(), std::strerror(err)));
}

void WholeFile::commit() {
  if (!f_) return;
  int err = injected(WholeFileFault::Write) ? errno : flush_error(f_);
  if (err) err = reason_of(f_, err);
  FILE* f = f_;
  f_ = nullptr;
  if ((close_stream(f) != 0 || injected(WholeFileFault::Close)) && err == 0) err = errno ? errno : EIO;
  if (err == 0 && !tmp_.empty()) {
    if (injected(WholeFileFault::Rename) || std::rename(tmp_.c_str(), dest_.c_str()) != 0) err = errno;
    else {
      forget_temporary(tmp_);
      tmp_.clear();
    }
  }
  if (err) {
    discard();
    write_failure(path_, err);
  }
}
