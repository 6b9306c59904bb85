// The command table, the command loop, the built-in commands and the settings refresh.
#include "shell/commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include "shell/fatal.h"
#include "shell/vars.h"

namespace {
// The command table in registration order, and its index: for each name, the positions
// of the rows of that name in table order (a name registered twice runs both rows).
struct CommandTableState {
  std::vector<const CommandSpec*> rows;
  std::unordered_map<std::string, std::vector<size_t>> index;
};

CommandTableState& state() {
  static CommandTableState t;
  return t;
}

std::vector<const CommandSpec*>& table() { return state().rows; }

int counted_words(const CommandSpec& c, const WordArray& words) {
  return c.counted == WordCount::Own ? words.own_count() : words.count();
}

// Lines padded to width (kLongest: the longest of those padded; 0: none), each with its
// newline; only lines [first, end) are padded.
std::string laid_out(const std::vector<std::string>& lines, int width, size_t first, size_t end) {
  end = std::min(end, lines.size());
  size_t w = width == kLongest ? 0 : static_cast<size_t>(width);
  if (width == kLongest)
    for (size_t k = first; k < end; ++k) w = std::max(w, lines[k].size());
  std::string text;
  for (size_t k = 0; k < lines.size(); ++k) {
    const bool padded = k >= first && k < end;
    text += strformat("%-*s\n", padded ? static_cast<int>(w) : 0, lines[k].c_str());
  }
  return text;
}

// A command's usage lines as help prints them.
std::string usage_text(const CommandSpec& c) {
  const std::vector<std::string> usage(c.usage.begin(), c.usage.end());
  const size_t end = c.layout.pad_end == kLongest ? usage.size() : static_cast<size_t>(c.layout.pad_end);
  return laid_out(usage, c.layout.usage_width, static_cast<size_t>(c.layout.pad_first), end);
}

bool shows_help(const CommandSpec& c) { return !quietflag || c.layout.when_quiet; }

std::vector<std::string> summary_lines(const CommandSpec& c) {
  std::vector<std::string> lines;
  const std::string text = c.summary;
  if (text.empty()) return lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  lines.push_back(text.substr(start));
  return lines;
}
}  // namespace

std::vector<const char*> joined_lines(std::initializer_list<std::vector<const char*>> parts) {
  std::vector<const char*> lines;
  for (const auto& part : parts) lines.insert(lines.end(), part.begin(), part.end());
  return lines;
}

const CommandSpec& table_row(CommandTable t, const char* name) {
  for (const CommandSpec& c : t)
    if (std::strcmp(c.name, name) == 0) return c;
  fatal(strformat("no command %s in its table", name));
}

void print_help(const CommandSpec& c, int level) {
  if (!shows_help(c)) return;
  const std::string text =
      level == 1 ? laid_out(summary_lines(c), c.layout.summary_width, 0, std::string::npos) : usage_text(c);
  qprintf("%s", text.c_str());
}

void InitCmds() {
  state().rows.clear();
  state().index.clear();
}

void AddCmd(const CommandSpec& command) {
  CommandTableState& t = state();
  t.index[command.name].push_back(t.rows.size());
  t.rows.push_back(&command);
}

void SetCmd(const CommandSpec& command) {
  CommandTableState& t = state();
  const auto it = t.index.find(command.name);
  if (it == t.index.end()) {
    AddCmd(command);
    return;
  }
  t.rows[it->second.front()] = &command;
}

namespace {
// A line the command cannot run: its usage at a terminal; in a script the end of the
// program, with the usage printed whatever the quiet mode, since the run stops on it.
void refuse_usage(const std::string& name, const CommandSpec* c, const std::string& reason) {
  if (scriptflag) {
    std::string usage = c ? usage_text(*c) : std::string();
    if (!usage.empty()) usage.pop_back();  // report_fatal ends the message's last line
    fatal(name + ": " + reason + (usage.empty() ? "" : "\n" + usage));
  }
  if (c) print_help(*c, 2);
}
}  // namespace

void run_command(const CommandSpec& c, const WordArray& words) {
  if (c.refresh) c.refresh();
  if (counted_words(c, words) >= c.fewest)
    c.handler(words);
  else
    refuse_usage(c.name, &c, "too few arguments");
}

void refuse_line(const WordArray& words, const std::string& reason) {
  const std::string name = current_command().empty() ? words[0] : current_command();
  const auto it = state().index.find(name);
  refuse_usage(name, it == state().index.end() ? nullptr : state().rows[it->second.front()], reason);
}

int DoCmd(const std::string& name, const WordArray& words) {
  const CommandTableState& t = state();
  const auto it = t.index.find(name);
  if (it == t.index.end()) return 0;
  // Indexing (not iterators): a handler never removes entries, but keep this robust
  // should one register further commands under the same name.
  int ran = 0;
  for (size_t k = 0; k < it->second.size(); ++k) {
    const CommandSpec& c = *t.rows[it->second[k]];
    const CommandScope scope(name);
    run_command(c, words);
    ++ran;
  }
  return ran;
}

std::vector<const CommandSpec*> commands_named(const std::string& name) {
  std::vector<const CommandSpec*> rows;
  const auto it = state().index.find(name);
  if (it != state().index.end())
    for (const size_t k : it->second) rows.push_back(state().rows[k]);
  return rows;
}

const std::vector<const CommandSpec*>& cmdlist() { return table(); }

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
    // A mistyped command does nothing: a script ends on it; at a terminal say so where
    // programs reading the output do not see it.
    if (DoCmd(words[0], words) == 0 && !words[0].empty()) {
      if (scriptflag) fatal("unknown command " + words[0]);
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
      refuse(strformat("variable %s must be a finite number; its value is unchanged.", words.c_str(1)));
      return;
    }
    if (!setting_value_fits(words[1], value)) {
      refuse(strformat("variable %s is out of range for an integer; its value is unchanged.", words.c_str(1)));
      return;
    }
    if (const std::string why = grid_value_refusal(words[1], value); !why.empty()) {
      refuse(why + "; its value is unchanged.");
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

void help(const WordArray& words) {
  const bool all = words.count() == 1 || words[1] == "all";
  for (size_t k = 0; k < table().size(); ++k) {
    const CommandSpec& e = *table()[k];
    if (all) {
      // One command to a line, even when the summary prints nothing.
      qprintf("%s -- ", e.name);
      if (e.summary[0] == '\0' || !shows_help(e))
        qprintf("\n");
      else
        print_help(e, 1);
    } else if (e.name == words[1]) {
      qprintf("Help for: %s\n", e.name);
      print_help(e, 2);
    }
  }
}

void quit(const WordArray&) { qprintf("\n"); }

namespace {
// clang-format off
const CommandSpec kCommands[] = {
    {"set", set, nullptr, 0, "Sets or lists variable values.",
     {"set                 : Shows all current variable values.",
      "set <var>           : Shows current value for <var>.",
      "set <var> <val>, or",
      "set <var>=<val>     : Sets the specified variable value."}, HelpLayout{kLongest, 0, 0, kLongest, true}},
    {"help", help, nullptr, 0, "Gives information about commands.",
     {"help       : Gives brief help for all commands.",
      "help <cmd> : Gives detailed help for the specified command."}, HelpLayout{kLongest, 0, 0, kLongest, true}},
    {"quit", quit, nullptr, 0, "Ends program.",
     {"Ends program."}, HelpLayout{kLongest, kLongest, 0, kLongest, true}},
    {"exit", quit, nullptr, 0, "Ends program.",
     {"Ends program."}, HelpLayout{kLongest, kLongest, 0, kLongest, true}},
};
// clang-format on

const CommandSpec& row(const char* name) { return table_row(shell_commands(), name); }
}  // namespace

CommandTable shell_commands() { return {kCommands, std::size(kCommands)}; }

void sethelp(int level) { print_help(row("set"), level); }
void helphelp(int level) { print_help(row("help"), level); }
void quithelp(int level) { print_help(row("quit"), level); }
