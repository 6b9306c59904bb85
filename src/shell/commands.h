// The command table, the command loop, the built-in commands and the settings refresh.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "shell/words.h"

// A command handler receives the words of its line (word 0 is the command name).
using CommandHandler = void (*)(const WordArray& words);
// A help routine: level 1 prints a one-line summary, level 2 the full usage.
using HelpRoutine = void (*)(int level);

struct CommandEntry {
  std::string name;
  CommandHandler handler;
  HelpRoutine help;
};

void InitCmds();
void AddCmd(const std::string& name, CommandHandler handler, HelpRoutine help);
void SetCmd(const std::string& name, CommandHandler handler, HelpRoutine help);
// Runs every command registered under name, in registration order; returns how many ran.
int DoCmd(const std::string& name, const WordArray& words);
const std::vector<CommandEntry>& cmdlist();
// Reads and runs lines from QVMstdin until "quit", "exit" or end of input. A line whose
// first word is no command is ignored, with a warning on the standard error stream.
void cmdloop();

// Prints the lines of one help text, each padded with blanks to the width of the longest
// and followed by a newline; nothing in quiet mode.
void help_lines(std::initializer_list<const char*> lines);

// The settings refresh that nearly every command handler calls first: runs the
// registered refresh hooks in registration order.
using RefreshHook = void (*)();
void InitRefreshHooks();
void AddRefreshHook(RefreshHook hook);
void SetGlob();

void set(const WordArray& words);
void sethelp(int level);
void help(const WordArray& words);
void helphelp(int level);
void quit(const WordArray& words);
void quithelp(int level);
