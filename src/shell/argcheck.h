// Checks of the numeric words of commands: integers, ranges, type codes and step counts.
// A refused word goes through refuse(): at a terminal the check warns and returns 0 (the
// command then does nothing), in a script the program ends with the text as an ERROR.
#pragma once

#include <string>

// The number a command word stands for as an integer, by the program's integer rule
// (read_integer). It is the reading of WordArray::integer, so a count that passes the
// checks below is the count the command then steps through ("1e3" is 1000, "3.0" is 3);
// a word that is no number ends the program (usable_integer). The checks themselves test
// the word's leading number.
long word_integer(const std::string& word);
// 1 when the word's numeric value is an integer that fits an int (within 1e-4 after the
// integer rule), else 0.
int docheckint(const std::string& word);
// docheckint, refusing a word that fails: "argument '<name>' should be an integer.", or
// "... is out of range." for an integer beyond an int, "... is not a finite number." for
// nan, inf or a number beyond a double.
int checkint(const std::string& word, const std::string& name);
// 1 when the word is an integer within [lo, hi]; else a refusal and 0.
int checkint2(const std::string& word, const std::string& name, int lo, int hi);
// checkint2 over the array-file type codes 1 to 4.
int checktype(const std::string& word, const std::string& name);
// 1 when the word is a valid number of steps: an integer, not 0, of magnitude at least
// minimum, negative (logarithmic) only when allowNegative; else a refusal and 0.
int checksteps(const std::string& word, const std::string& name, int minimum, int allowNegative);

// Logarithmic steps (a negative count) need both ends of the range above 0 (an end at 0 has
// no logarithm); commands refuse such a range with warn_log_range (a refusal, as above)
// before any work.
inline bool log_range_refused(long steps, double lo, double hi) { return steps < 0 && (lo <= 0.0 || hi <= 0.0); }
void warn_log_range();
