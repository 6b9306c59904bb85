// The command table, the command loop, the built-in commands and the settings refresh.
#include "shell/commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "shell/fatal.h"
#include "shell/vars.h"

namespace {
std::vector<CommandEntry>& table() {
  static std::vector<CommandEntry> t;
  return t;
}
}  // namespace

void InitCmds() { table().clear(); }

void AddCmd(const std::string& name, CommandHandler handler, HelpRoutine help) {
  table().push_back({name, handler, help});
}

void SetCmd(const std::string& name, CommandHandler handler, HelpRoutine help) {
  for (auto& e : table())
    if (e.name == name) {
      e.handler = handler;
      e.help = help;
      return;
    }
  AddCmd(name, handler, help);
}

int DoCmd(const std::string& name, const WordArray& words) {
  // Indexing (not iterators): a handler never removes entries, but keep this robust
  // should one register further commands.
  int ran = 0;
  for (size_t k = 0; k < table().size(); ++k)
    if (table()[k].name == name) {
      const CommandScope scope(name);
      table()[k].handler(words);
      ++ran;
    }
  return ran;
}

const std::vector<CommandEntry>& cmdlist() { return table(); }

void cmdloop() {
  const std::string prompt = GetString("_PROMPT");
  std::string line;
  for (;;) {
    if (!quietflag) {
      qprintf("%s ", prompt.c_str());
      flush_output();
    }
    if (!read_line(QVMstdin, line)) break;
    if (!line.empty() && line[0] == '!') {
      line[0] = ' ';
      flush_output();
      if (std::system(line.c_str()) != 0) { /* the shell's result is not reported */ }
      continue;
    }
    WordArray words;
    if (strparse(line, words) == 0) continue;
    // A mistyped command does nothing; say so where scripts reading the output do not see it.
    if (DoCmd(words[0], words) == 0 && !words[0].empty()) {
      std::fflush(QVMstdout);
      warning(strformat("unknown command %s (line ignored)", words.c_str(0)), stderr);
      std::fflush(stderr);
    }
    end_command_messages();
    if (words[0] == "quit" || words[0] == "exit") break;
  }
  if (!quietflag) qprintf("\n");
  flush_output();
}

namespace {
std::vector<RefreshHook>& refresh_hooks() {
  static std::vector<RefreshHook> h;
  return h;
}
}  // namespace

void InitRefreshHooks() { refresh_hooks().clear(); }

void AddRefreshHook(RefreshHook hook) { refresh_hooks().push_back(hook); }

void SetGlob() {
  for (const RefreshHook hook : refresh_hooks()) hook();
}

void set(const WordArray& in) {
  std::string line = MakeLine(in.count(), in);
  replace(line, "=", " ", 0, 0);
  WordArray words;
  strparse(line, words);
  const int n = words.count();
  if (n > 2) {
    const double value = word_real("set", words[2]);
    if (!std::isfinite(value)) {
      warning(strformat("variable %s must be a finite number; its value is unchanged.", words.c_str(1)));
      return;
    }
    SetVar(words[1], 1, value);
  } else if (n == 1) {
    for (const auto& e : varlist()) qprintf("%s = %e %s\n", e.name.c_str(), e.value, e.description.c_str());
  } else if (n == 2) {
    for (const auto& e : varlist())
      if (e.name == words[1]) qprintf("%s = %e %s\n", e.name.c_str(), e.value, e.description.c_str());
  }
}

void sethelp(int level) {
  if (level == 1) {
    qprintf("Sets or lists variable values.\n");
  } else {
    qprintf("set                 : Shows all current variable values.\n");
    qprintf("set <var>           : Shows current value for <var>.\n");
    qprintf("set <var> <val>, or\n");
    qprintf("set <var>=<val>     : Sets the specified variable value.\n");
  }
}

namespace {
// A command's one-line summary, ending in a newline even when the routine prints nothing
// (an empty summary, or any summary in quiet mode), so that the list keeps one command
// to a line.
std::string summary_line(HelpRoutine routine) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* mem = open_memstream(&buf, &size);
  if (!mem) fatal("could not allocate the help summary");
  FILE* const saved = QVMstdout;
  QVMstdout = mem;
  routine(1);
  QVMstdout = saved;
  std::fclose(mem);
  std::string text(buf, size);
  std::free(buf);
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}
}  // namespace

void help(const WordArray& words) {
  const bool all = words.count() == 1 || words[1] == "all";
  for (size_t k = 0; k < table().size(); ++k) {
    const CommandEntry& e = table()[k];
    if (all) {
      qprintf("%s -- %s", e.name.c_str(), summary_line(e.help).c_str());
    } else if (e.name == words[1]) {
      qprintf("Help for: %s\n", e.name.c_str());
      e.help(2);
    }
  }
}

void helphelp(int level) {
  if (level == 1) {
    qprintf("Gives information about commands.\n");
  } else {
    qprintf("help       : Gives brief help for all commands.\n");
    qprintf("help <cmd> : Gives detailed help for the specified command.\n");
  }
}

void help_lines(std::initializer_list<const char*> lines) {
  if (quietflag) return;
  size_t width = 0;
  for (const char* l : lines) width = std::max(width, std::strlen(l));
  for (const char* l : lines) qprintf("%-*s\n", static_cast<int>(width), l);
}

void quit(const WordArray&) { qprintf("\n"); }

void quithelp(int) { qprintf("Ends program.\n"); }
