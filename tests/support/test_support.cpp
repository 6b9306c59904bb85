// The shared test helpers: captured output, scratch folders, runs of the real binary on
// command files, and command input.

#include "support/test_support.h"

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "shell/fatal.h"

CaptureOutput::CaptureOutput() : saved_(QVMstdout) {
  file_ = open_memstream(&buf_, &len_);
  QVMstdout = file_;
}

CaptureOutput::~CaptureOutput() {
  QVMstdout = saved_;
  std::fclose(file_);
  std::free(buf_);
}

std::string CaptureOutput::text() {
  std::fflush(file_);
  return std::string(buf_, len_);
}

ScratchDir::ScratchDir() {
  char templ[] = "/tmp/tarntest.XXXXXX";
  const char* p = mkdtemp(templ);
  if (!p) throw std::runtime_error("mkdtemp failed");
  path_ = p;
}

ScratchDir::~ScratchDir() {
  const std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) { /* best effort */ }
}

void ScratchDir::write(const std::string& name, const std::string& contents) const {
  std::ofstream f(file(name), std::ios::binary);
  f << contents;
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream f(file(name), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool ScratchDir::exists(const std::string& name) const {
  struct stat st;
  return stat(file(name).c_str(), &st) == 0;
}

static std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string tarnsolve_binary() {
  const char* other = std::getenv("TW_E2E_BINARY");
  return other && *other ? other : TARNSOLVE_BIN;
}

RunResult run_tarnsolve(const std::string& dir, const std::vector<std::string>& args,
                        const std::string& stdin_text) {
  const std::string in = dir + "/.stdin", out = dir + "/.stdout", err = dir + "/.stderr";
  {
    std::ofstream f(in, std::ios::binary);
    f << stdin_text;
  }
  std::string cmd = "cd '" + dir + "' && '" + tarnsolve_binary() + "'";
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " < '" + in + "' > '" + out + "' 2> '" + err + "'";
  const int rc = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

RunResult run_commands(const ScratchDir& dir, const std::string& commands) {
  dir.write("cmds.in", commands);
  return run_tarnsolve(dir.path(), {"-q", "cmds.in"});
}

RunResult run_at_terminal(const std::string& dir, const std::vector<std::string>& args, const std::string& typed) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  termios t;
  tcgetattr(slave, &t);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &t);
  std::vector<std::string> argv_s = {tarnsolve_binary()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(master);
    if (login_tty(slave) != 0 || chdir(dir.c_str()) != 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(slave);
  const std::string input = typed + std::string(1, static_cast<char>(t.c_cc[VEOF]));
  size_t sent = 0;
  RunResult r;
  char buf[4096];
  for (;;) {
    pollfd p{master, static_cast<short>(POLLIN | (sent < input.size() ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 60000) <= 0) break;
    if (p.revents & POLLIN) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      r.out.append(buf, static_cast<size_t>(n));
    } else if (p.revents & POLLOUT) {
      // One line at a time, as typed: the end-of-input character must open a line.
      size_t end = input.find('\n', sent);
      end = end == std::string::npos ? input.size() : end + 1;
      const ssize_t n = write(master, input.data() + sent, end - sent);
      if (n > 0) sent += static_cast<size_t>(n);
    } else {
      break;  // hang-up: the program has ended
    }
  }
  close(master);
  int rc = 0;
  waitpid(pid, &rc, 0);
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return r;
}

void run_handler(CommandHandler handler, const WordArray& words) {
  for (const CommandSpec* c : cmdlist())
    if (c->handler == handler) {
      run_command(*c, words);
      return;
    }
  throw std::logic_error("run_handler: no registered command has this handler");
}

std::string source_path(const std::string& relative) { return std::string(TW_SOURCE_DIR) + "/" + relative; }

int count_occurrences(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  int n = 0;
  for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + needle.size())) ++n;
  return n;
}

CommandInput::CommandInput(const std::string& text) : saved_(QVMstdin), file_(std::tmpfile()) {
  std::fputs(text.c_str(), file_);
  std::rewind(file_);
  QVMstdin = file_;
}

CommandInput::~CommandInput() {
  QVMstdin = saved_;
  std::fclose(file_);
}

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> v;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") v.push_back(n);
    }
    closedir(d);
  }
  std::sort(v.begin(), v.end());
  return v;
}
