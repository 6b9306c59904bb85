// The command table and its rows, the command loop, help, the built-in commands and the
// settings refresh.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "shell/settings.h"
#include "shell/words.h"

// A command handler receives the words of its line (word 0 is the command name).
using CommandHandler = void (*)(const WordArray& words);
// A settings refresh, run before a command's handler.
using RefreshHook = void (*)();

// How a command's help text is set on the page. Lines are padded with blanks to a width:
// kLongest pads to the longest line of their group, 0 leaves them as they are. Only the
// usage lines from pad_first up to (not including) pad_end are padded (kLongest: to the
// last line). Help prints nothing in quiet mode unless when_quiet is set.
constexpr int kLongest = -1;
struct HelpLayout {
  int summary_width = kLongest;
  int usage_width = kLongest;
  int pad_first = 0;
  int pad_end = kLongest;
  bool when_quiet = false;
};

// Which words of a line a command's word check counts: those in front of the comment
// marker, or all of them.
enum class WordCount { Own, All };

// One command of the table: its name and handler; the refresh run before it (nullptr:
// none); the fewest words its line needs, counting the name (a shorter line is refused
// instead of running the handler: the usage at a terminal, the end of a script; 0: no such
// check before the handler); the
// one-line summary (lines separated by newlines; "" for none); the usage lines; and how
// they are laid out.
struct CommandSpec {
  CommandSpec(const char* name, CommandHandler handler, RefreshHook refresh, int fewest, const char* summary,
              std::vector<const char*> usage, HelpLayout layout = HelpLayout(), WordCount counted = WordCount::Own)
      : name(name),
        handler(handler),
        refresh(refresh),
        fewest(fewest),
        summary(summary),
        usage(std::move(usage)),
        layout(layout),
        counted(counted) {}
  const char* name;
  CommandHandler handler;
  RefreshHook refresh;
  int fewest;
  const char* summary;
  std::vector<const char*> usage;
  HelpLayout layout;
  WordCount counted;
};

// Usage lines made of parts that several rows share.
std::vector<const char*> joined_lines(std::initializer_list<std::vector<const char*>> parts);

// A folder's command rows.
using CommandTable = RowSpan<CommandSpec>;

// The row named name in a folder's table; a missing row is a fault of the program.
const CommandSpec& table_row(CommandTable table, const char* name);
// Prints a command's help: level 1 its summary, level 2 its usage.
void print_help(const CommandSpec& command, int level);

void InitCmds();
// Adds a command at the end of the table. The table keeps the row's address: a row is a
// folder's static row, never a temporary.
void AddCmd(const CommandSpec& command);
void AddCmd(CommandSpec&&) = delete;
// Replaces the first command of the same name, or adds it when there is none.
void SetCmd(const CommandSpec& command);
void SetCmd(CommandSpec&&) = delete;
// Runs one command on a line: its refresh, then its handler, or (the line too short) its
// usage at a terminal and the end of the program in a script.
void run_command(const CommandSpec& command, const WordArray& words);
// Runs every command registered under name, in registration order; returns how many ran.
// A line too short for its command prints the usage at a terminal; in a script it ends the
// program with "ERROR: <command>: too few arguments" and the usage lines.
int DoCmd(const std::string& name, const WordArray& words);
// A line a handler cannot run with (too few words for its mode, or a mode word it does not
// know; reason says which): the command's usage at a terminal, as a line too short for the
// table is answered; in a script the program ends with "ERROR: <command>: <reason>" and the
// usage lines. The command is the running one (word 0 outside the command loop).
void refuse_line(const WordArray& words, const std::string& reason = "too few arguments");
// The rows registered under name, in table order, as DoCmd finds them.
std::vector<const CommandSpec*> commands_named(const std::string& name);
const std::vector<const CommandSpec*>& cmdlist();
// Reads and runs lines from QVMstdin until "quit", "exit" or end of input. A line whose
// first word is no command ends a script with "ERROR: unknown command <word>"; at a
// terminal it is ignored, with a warning on the standard error stream.
void cmdloop();

// The settings refresh that most commands' rows run before their handlers (a few
// handlers call it themselves): runs the registered refresh hooks in registration order.
void InitRefreshHooks();
void AddRefreshHook(RefreshHook hook);
void SetGlob();

// The shell's own commands: set, help, quit and exit.
CommandTable shell_commands();
void set(const WordArray& words);
void sethelp(int level);
void help(const WordArray& words);
void helphelp(int level);
void quit(const WordArray& words);
void quithelp(int level);
