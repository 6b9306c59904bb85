// Checked output files: whole files written under a temporary name and renamed, and
// appended streams whose every write and flush is checked.
#include "io/outfile.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
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

// Temporaries not yet renamed or removed. Their names are kept in a fixed table of C
// strings, so that a handler of SIGINT or SIGTERM can remove them before the program dies
// by the signal; the exit path removes them too.
constexpr int kTemporarySlots = 64;
struct TemporarySlot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 a live temporary
  char name[PATH_MAX];
};
TemporarySlot temporary_slots[kTemporarySlots];

// Temporaries beyond the table (a program holding that many at once): removed at exit only.
std::vector<std::string>& extra_temporaries() {
  static auto* extra = new std::vector<std::string>();
  return *extra;
}

void remove_live_temporaries() {
  for (TemporarySlot& s : temporary_slots)
    if (s.state.load() == 2) ::unlink(s.name);
}

extern "C" void remove_temporaries_and_die(int sig) {
  const int saved = errno;
  remove_live_temporaries();
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered, with the default action, as the handler returns
  errno = saved;
}

// On the first temporary: the exit path and the two signals remove the live ones. A signal
// the program was started to ignore stays ignored.
void watch_temporaries() {
  static const bool watched = [] {
    std::atexit([] {
      remove_live_temporaries();
      for (const std::string& t : extra_temporaries()) ::unlink(t.c_str());
    });
    for (const int sig : {SIGINT, SIGTERM}) {
      struct sigaction old;
      if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
      struct sigaction sa;
      std::memset(&sa, 0, sizeof sa);
      sa.sa_handler = remove_temporaries_and_die;
      sigemptyset(&sa.sa_mask);
      sigaddset(&sa.sa_mask, SIGINT);
      sigaddset(&sa.sa_mask, SIGTERM);
      ::sigaction(sig, &sa, nullptr);
    }
    return true;
  }();
  (void)watched;
}

void remember_temporary(const std::string& tmp) {
  watch_temporaries();
  if (tmp.size() < PATH_MAX) {
    for (TemporarySlot& s : temporary_slots) {
      int expected = 0;
      if (!s.state.compare_exchange_strong(expected, 1)) continue;
      std::memcpy(s.name, tmp.c_str(), tmp.size() + 1);
      s.state.store(2);
      return;
    }
  }
  extra_temporaries().push_back(tmp);
}

void forget_temporary(const std::string& tmp) {
  for (TemporarySlot& s : temporary_slots)
    if (s.state.load() == 2 && tmp == s.name) {
      s.state.store(0);
      return;
    }
  auto& extra = extra_temporaries();
  extra.erase(std::remove(extra.begin(), extra.end(), tmp), extra.end());
}

// Creates the temporary from its template and records it, with the two signals held back
// meanwhile, so that no interruption leaves it unrecorded. -1 with errno set on failure.
int make_temporary(std::string& tmp) {
  watch_temporaries();
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  const int fd = ::mkstemp(tmp.data());
  const int err = errno;
  if (fd >= 0) remember_temporary(tmp);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return fd;
}

// The hidden temporary for target: ".<name>.tmpXXXXXX" beside it, or ".tmpXXXXXX" when that
// name would pass the folder's limit on names or paths. Empty, with errno ENAMETOOLONG, when
// the target's own name passes them, so that such a name is refused before anything is written.
std::string temporary_template(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string tmp = "." + name + ".tmpXXXXXX";
  long name_max = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
  if (name_max > 0 && (static_cast<long>(name.size()) > name_max || target.size() >= PATH_MAX)) {
    errno = ENAMETOOLONG;
    return std::string();
  }
  if (name_max <= 0) name_max = NAME_MAX;
  if (static_cast<long>(tmp.size()) > name_max || dir.size() + tmp.size() >= PATH_MAX) tmp = ".tmpXXXXXX";
  return dir + tmp;
}

// The file that path leads to through symbolic links, also when the last link dangles (a
// relative link is read from the link's folder). False with errno set on a loop of links.
bool follow_links(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (hops == 40) {
      errno = ELOOP;
      return false;
    }
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(target.c_str(), buf, sizeof buf - 1);
    if (n < 0) return true;
    const std::string link(buf, static_cast<size_t>(n));
    const size_t slash = target.rfind('/');
    target = link[0] == '/' || slash == std::string::npos ? link : target.substr(0, slash + 1) + link;
  }
}

// The descriptor that path names, or -1: /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N, or any path to the very file that the program's standard output or
// standard error is (while that is open for writing).
int named_descriptor(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const size_t n = std::strlen(prefix);
    if (path.compare(0, n, prefix) != 0) continue;
    const std::string num = path.substr(n);
    if (num.empty() || num.size() > 9 || num.find_first_not_of("0123456789") != std::string::npos) break;
    return std::atoi(num.c_str());
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  for (const int fd : {1, 2}) {
    struct stat s;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && ::fstat(fd, &s) == 0 && s.st_dev == st.st_dev &&
        s.st_ino == st.st_ino)
      return fd;
  }
  return -1;
}

// A duplicate of descriptor fd for writing, after the program's standard output has been
// flushed; -1 with errno EBADF when fd is closed or open for reading only.
int duplicate_for_writing(int fd) {
  std::fflush(QVMstdout);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
    errno = EBADF;
    return -1;
  }
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
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
  bool shared = false;         // a descriptor the program's standard output may share
};

ssize_t cookie_write(void* cookie, const char* buf, size_t n) {
  auto* c = static_cast<StreamCookie*>(cookie);
  if (c->shared) std::fflush(QVMstdout);  // what the program printed before goes first
  const size_t done = write_fully(c->fd, buf, n, c->failure);
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
FILE* open_stream(int fd, const std::string& path, ByteTally* tally, bool shared = false) {
  auto* cookie = new StreamCookie{fd, 0, tally, shared};
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

// Opens path for writing as fopen would with mode ("w..." or "a..."); -1 with errno set on
// failure.
int open_for_writing(const std::string& path, const char* mode) {
  const int how = mode[0] == 'a' ? O_APPEND : O_TRUNC;
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | how, 0666);
}

// A checked stream on path opened with mode, or, when path names a descriptor, on a
// duplicate of it (never truncated; *named is set then). Null with errno set on failure.
FILE* open_record_stream(const std::string& path, const char* mode, ByteTally* tally, bool* named) {
  const int desc = named_descriptor(path);
  *named = desc >= 0;
  const int fd = desc >= 0 ? duplicate_for_writing(desc) : open_for_writing(path, mode);
  return fd >= 0 ? open_stream(fd, path, tally, desc >= 0) : nullptr;
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
  bool named;
  FILE* f = open_record_stream(path, "w", nullptr, &named);
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
  bool named;
  if (!(f_ = open_record_stream(path, mode, nullptr, &named))) {
    if (named) write_failure(path, errno);
    open_failure(path, open_message, errno);
  }
  if (announce) qprintf("Opened output file: %s\n", path.c_str());
}

OutFile::OutFile(const std::string& path, ByteTally& tally, const std::string& open_message) {
  path_ = path;
  tally = ByteTally();
  bool named;
  if (!(f_ = open_record_stream(path, "w", &tally, &named))) {
    if (named) write_failure(path, errno);
    open_failure(path, open_message, errno);
  }
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
  open(path, open_message);
  if (announce) qprintf("Opened output file: %s\n", path.c_str());
}

WholeFile::WholeFile(const std::string& path, FailureReport report) : report_(report) { open(path, ""); }

void WholeFile::fail_open(const std::string& open_message, int errnum) {
  if (report_) report_(path_, errnum, true);
  open_failure(path_, open_message, errnum);
}

void WholeFile::fail_write(int errnum) {
  if (report_) report_(path_, errnum, false);
  write_failure(path_, errnum);
}

void WholeFile::open(const std::string& path, const std::string& open_message) {
  path_ = path;
  // A standard stream or an open descriptor is written through that descriptor itself.
  const int desc = named_descriptor(path);
  if (desc >= 0) {
    const int fd = duplicate_for_writing(desc);
    if (fd < 0 || !(f_ = open_stream(fd, path, nullptr, true))) fail_write(errno);
    return;
  }
  // Where the file goes: through links to their target (created when a link dangles); a
  // device or pipe is written in place.
  std::string target;
  if (!follow_links(path, target)) fail_open(open_message, errno);
  struct stat st;
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    const int fd = open_for_writing(target, "w");
    if (fd < 0 || !(f_ = open_stream(fd, path, nullptr))) fail_open(open_message, errno);
    return;
  }
  // A file the user may not write is refused, as opening it would be (access lists count);
  // the new file keeps the mode of the one it replaces.
  mode_t mode = new_file_mode();
  if (exists) {
    const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (probe < 0) fail_open(open_message, errno);
    ::close(probe);
    mode = st.st_mode & 0777;
  }
  std::string tmp = temporary_template(target);
  if (tmp.empty()) fail_open(open_message, errno);
  const int fd = make_temporary(tmp);
  if (fd < 0) fail_open(open_message, errno);
  ::fchmod(fd, mode);
  tmp_ = tmp;
  dest_ = target;
  if (!(f_ = open_stream(fd, path, nullptr))) {
    const int err = errno;
    discard();
    fail_open(open_message, err);
  }
}

WholeFile::WholeFile(WholeFile&& o) noexcept
    : dest_(std::move(o.dest_)), tmp_(std::move(o.tmp_)), report_(o.report_) {
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
    report_ = o.report_;
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
    fail_write(err);
  }
}
