// Line parsing, the line reader, and the string variables.
#include "shell/words.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "shell/fatal.h"
#include "shell/settings.h"

namespace {
const std::string kEmpty;

std::vector<StringEntry>& strlist() {
  static std::vector<StringEntry> list;
  return list;
}

StringEntry* find_string(const std::string& name) {
  for (auto& e : strlist())
    if (e.name == name) return &e;
  return nullptr;
}

// Incremental form of the quote state of IsInQuotes: feed characters in order; state()
// is the quote state in front of the next character.
class QuoteTracker {
 public:
  QuoteTracker(int withBackquotes)
      : quotes_(GetString("_QUOTE")), backquotes_(withBackquotes == 1 ? GetString("_BACKQUOTE") : std::string()) {}
  void feed(char c, char previous, bool has_previous) {
    const bool is_quote = quotes_.find(c) != std::string::npos && c != '\0';
    const bool is_back = backquotes_.find(c) != std::string::npos && c != '\0';
    if (!(is_quote || is_back)) return;
    if (has_previous && previous == '\\') return;
    if (!stack_.empty() && stack_.back() == c)
      stack_.pop_back();
    else
      stack_.push_back(c);
  }
  int state() const {
    if (stack_.empty()) return 0;
    for (char c : stack_)
      if (quotes_.find(c) != std::string::npos) return 1;
    return 2;
  }

 private:
  std::string quotes_, backquotes_;
  std::string stack_;
};
}  // namespace

// ---------------- WordArray ----------------

const std::string& WordArray::operator[](int i) const {
  if (i < 0 || i >= count()) return kEmpty;
  return w_[static_cast<size_t>(i)];
}

namespace {
std::string& command_name() {
  static std::string name;
  return name;
}

bool is_comment_marker(const std::string& word) {
  const StringEntry* e = find_string("_COMMENT");
  return e && word == e->value;
}
}  // namespace

const std::string& current_command() { return command_name(); }

CommandScope::CommandScope(const std::string& name) : saved_(command_name()) { command_name() = name; }
CommandScope::~CommandScope() { command_name().swap(saved_); }

double word_real(const std::string& command, const std::string& word) {
  if (word.empty()) return 0.0;
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  // The whole word, decimal only: "1e", "3x" and "0x10" are no numbers.
  if (end == word.c_str() || *end != '\0' || word.find_first_of("xX") != std::string::npos) {
    if (is_comment_marker(word)) return 0.0;
    fatal("in " + command + ", " + word + " is not a number");
  }
  return v;
}

long usable_integer(const std::string& command, const std::string& word, const std::string& what, long lo,
                    long hi) {
  const double v = word_real(command, word);
  if (!std::isfinite(v)) fatal(command + ": " + word + " is not a finite number");
  // Checked on the double first, so that no value outside the range is ever converted.
  const bool inside = v > static_cast<double>(lo) - 1.0 && v < static_cast<double>(hi) + 1.0;
  const long k = inside ? read_integer(v) : 0;
  if (!inside || k < lo || k > hi)
    fatal(strformat("in %s, %s is not a usable %s (%ld to %ld)", command.c_str(), word.c_str(), what.c_str(), lo,
                    hi));
  return k;
}

long usable_truncation(const std::string& command, const std::string& word, double v, const std::string& what,
                       long lo, long hi) {
  if (!(v > static_cast<double>(lo) - 1.0 && v < static_cast<double>(hi) + 1.0) || std::trunc(v) < lo ||
      std::trunc(v) > hi)
    fatal(strformat("in %s, %s is not a usable %s (%ld to %ld)", command.c_str(), word.c_str(), what.c_str(), lo, hi));
  return static_cast<long>(v);
}

void check_grid_points(const std::string& command, long nx, long ny) {
  const long ax = nx < 0 ? -nx : nx, ay = ny < 0 ? -ny : ny;
  if (static_cast<double>(ax) * static_cast<double>(ay) > static_cast<double>(kCountLimit))
    fatal(strformat("in %s, a grid of %ld by %ld points is larger than %ld points", command.c_str(), ax, ay,
                    kCountLimit));
}

const std::string& WordArray::command() const {
  return current_command().empty() ? (*this)[0] : current_command();
}

double WordArray::real(int i) const { return word_real(command(), (*this)[i]); }

long WordArray::integer(int i) const {
  return usable_integer(command(), (*this)[i], "integer", -kLongWordLimit, kLongWordLimit);
}

int WordArray::int_value(int i) const { return usable(i, "integer", -kIntWordLimit, kIntWordLimit); }

int WordArray::usable(int i, const std::string& what, long lo, long hi) const {
  return static_cast<int>(usable_integer(command(), (*this)[i], what, lo, hi));
}

int WordArray::signed_count(int i, const std::string& what) const { return usable(i, what, -kCountLimit, kCountLimit); }

bool WordArray::is_number(int i) const {
  double v;
  return parse_real((*this)[i], v);
}

double WordArray::finite(int i, const std::string& command) const {
  const double v = word_real(command, (*this)[i]);
  if (!std::isfinite(v)) fatal(command + ": " + (*this)[i] + " is not a finite number");
  return v;
}

long WordArray::finite_integer(int i, const std::string& command) const {
  return usable_integer(command, (*this)[i], "integer", -kLongWordLimit, kLongWordLimit);
}

int WordArray::finite_int(int i, const std::string& command) const {
  return static_cast<int>(usable_integer(command, (*this)[i], "integer", -kIntWordLimit, kIntWordLimit));
}

int WordArray::own_count() const {
  const std::string m = GetString("_COMMENT");
  for (int i = 0; i < count(); ++i)
    if (w_[static_cast<size_t>(i)] == m) return i;
  return count();
}

bool read_line(FILE* stream, std::string& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(stream)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!any) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool parse_real(const std::string& word, double& value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  // Decimal only, as word_real reads numbers: "0x10" is no number.
  if (end == word.c_str() || *end != '\0' || !std::isfinite(v) || word.find_first_of("xX") != std::string::npos)
    return false;
  value = v;
  return true;
}

// ---------------- string variables ----------------

void InitStrings() {
  strlist().clear();
  AddString("_PROMPT", ">", 0);
  AddString("_COMMENT", "#", 0);
  AddString("_QUOTE", "'", 0);
  AddString("_BACKQUOTE", "`", 0);
  AddString("_SLASH", "/", 0);
}

void AddString(const std::string& name, const std::string& value, int verbose) {
  strlist().push_back({name, value});
  if (verbose) qprintf("Creating string variable %s = %s\n", name.c_str(), value.c_str());
}

void SetString(const std::string& name, const std::string& value, int verbose) {
  StringEntry* e = find_string(name);
  if (!e) {
    AddString(name, value, verbose);
    return;
  }
  e->value = value;
  if (verbose) qprintf("Setting string variable %s = %s\n", name.c_str(), value.c_str());
}

std::string GetString(const std::string& name) {
  const StringEntry* e = find_string(name);
  if (!e) {
    warning(strformat("GetString -- could not find %s", name.c_str()));
    return std::string();
  }
  return e->value;
}

void ShowStrings() {
  qprintf("Current string variables:\n");
  for (const auto& e : strlist()) qprintf("%s = %s\n", e.name.c_str(), e.value.c_str());
}

// ---------------- parsing ----------------

int IsQuote(char c) {
  const std::string q = GetString("_QUOTE");
  if (q.empty()) {
    print_error(" No quote character(s) defined.");
    return 0;
  }
  return c != '\0' && q.find(c) != std::string::npos ? 1 : 0;
}

int IsBackQuote(char c) {
  const std::string q = GetString("_BACKQUOTE");
  if (q.empty()) {
    print_error(" No backquote character(s) defined.");
    return 0;
  }
  return c != '\0' && q.find(c) != std::string::npos ? 1 : 0;
}

int IsInQuotes(const std::string& text, int n, int withBackquotes) {
  if (n <= 0) return 0;
  QuoteTracker q(withBackquotes);
  const int len = static_cast<int>(text.size());
  for (int i = 0; i < n && i < len; ++i) q.feed(text[i], i > 0 ? text[i - 1] : '\0', i > 0);
  return q.state();
}

void replace(std::string& text, const std::string& target, const std::string& replacement, int quoteAware,
             int all) {
  if (target.empty()) return;
  std::string out;
  out.reserve(text.size() + replacement.size());
  bool active = true;
  QuoteTracker q(1);
  const size_t len = text.size();
  size_t p = 0;
  while (p < len) {
    const bool inside = quoteAware == 1 && q.state() != 0;
    if (active && !inside && text.compare(p, target.size(), target) == 0) {
      out += replacement;
      for (size_t k = 0; k < target.size(); ++k, ++p) q.feed(text[p], p > 0 ? text[p - 1] : '\0', p > 0);
      active = all != 0;
    } else {
      out.push_back(text[p]);
      q.feed(text[p], p > 0 ? text[p - 1] : '\0', p > 0);
      ++p;
    }
  }
  text.swap(out);
}

int strprs(std::string& line, WordArray& words, char separator) {
  const std::string m = GetString("_COMMENT");
  if (!m.empty()) replace(line, m, m + " ", 0, 0);
  replace(line, "\t", "  ", 0, 1);

  std::vector<std::string> w;
  QuoteTracker q(1);
  const size_t len = line.size();
  size_t p = 0;
  auto feed = [&](size_t i) { q.feed(line[i], i > 0 ? line[i - 1] : '\0', i > 0); };
  while (p < len) {
    while (p < len && line[p] == separator) feed(p++);
    if (p >= len) break;
    const size_t start = p;
    while (p < len && !(line[p] == separator && q.state() == 0)) feed(p++);
    w.emplace_back(line, start, p - start);
  }
  words = WordArray(std::move(w));
  return words[0] == m ? 0 : 1;
}

int strparse(std::string& line, WordArray& words) { return strprs(line, words, ' '); }

std::string MakeLine(int n, const WordArray& words) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out.push_back(' ');
    out += words[i];
  }
  return out;
}

int myread(FILE* stream, WordArray& words) {
  const std::string m = GetString("_COMMENT");
  std::string line;
  while (read_line(stream, line)) {
    line += " ";
    line += m;
    WordArray w;
    if (strparse(line, w) == 0) continue;
    words = std::move(w);
    return 1;
  }
  return 0;
}

void ReplaceEquals(std::string& text) { text.insert(text.begin(), ' '); }

void ChangeSlash(std::string& text, int quoteAware, int all) {
  replace(text, "/", GetString("_SLASH"), quoteAware, all);
}

void AddSpace(std::string& text, const std::string& target, int quoteAware, int all) {
  replace(text, target, " " + target + " ", quoteAware, all);
}

void rmspace(std::string& text) {
  const size_t a = text.find_first_not_of(' ');
  if (a == std::string::npos) {
    text.clear();
    return;
  }
  const size_t b = text.find_last_not_of(' ');
  text = text.substr(a, b - a + 1);
}

void RemoveQuotes(std::string& text) {
  std::string out;
  const size_t len = text.size();
  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    const bool quote_char = IsQuote(c) || IsBackQuote(c);
    if (c == '\\' && i + 1 < len && (IsQuote(text[i + 1]) || IsBackQuote(text[i + 1]))) {
      out.push_back(text[i + 1]);
      ++i;
      continue;
    }
    if (!quote_char) {
      out.push_back(c);
      continue;
    }
    if (i + 1 == len) continue;  // a quote in the last position is dropped
    const bool before = IsInQuotes(text, static_cast<int>(i), 1) != 0;
    const bool after = IsInQuotes(text, static_cast<int>(i) + 1, 1) != 0;
    if (before == after) out.push_back(c);
  }
  text.swap(out);
}

int compare(int nvalues, const std::vector<std::string>& values, int nargs, const std::vector<std::string>& args) {
  if (nvalues < nargs) return 0;
  for (int i = 0; i < nargs; ++i) {
    const std::string& a = args[static_cast<size_t>(i)];
    const std::string& v = values[static_cast<size_t>(i)];
    if (v.compare(0, a.size(), a) != 0) return 0;
  }
  return 1;
}

int CheckConditional(const WordArray& words) {
  const int n = words.count();
  if (n == 0) return 1;
  int eq = -1;
  for (int i = 0; i < n; ++i)
    if (words[i] == "==") {
      eq = i;
      break;
    }
  if (eq < 0) return 0;
  std::string left, right;
  for (int i = 0; i < eq; ++i) left += (i ? " " : "") + words[i];
  for (int i = eq + 1; i < n; ++i) right += (i > eq + 1 ? " " : "") + words[i];
  return left == right ? 1 : 0;
}

void CheckSnR(std::string& text) {
  std::string copy = text;
  WordArray parts;
  strprs(copy, parts, ':');
  const int n = parts.count();
  if (n < 3) return;
  std::string result = parts[0];
  if (n == 3) {
    replace(result, parts[1], parts[2], 0, 1);
  } else if (parts[1] == "s") {
    replace(result, parts[2], parts[3], 0, 0);
  } else if (parts[1] == "gs") {
    replace(result, parts[2], parts[3], 0, 1);
  } else {
    return;  // an unknown mode leaves the text as it was
  }
  text = result;
}

int ReplaceDelimited(std::string& line, char open, char close, SectionRewrite rewrite, WordArray& words) {
  std::string copy = line;
  WordArray w;
  strparse(copy, w);
  int status = 0;
  bool failed = false;
  std::vector<std::string>& list = w.words();
  for (auto& word : list) {
    std::string out;
    const size_t len = word.size();
    QuoteTracker q(0);
    size_t i = 0;
    while (i < len) {
      const char c = word[i];
      if (c == open && q.state() == 0) {
        if (i + 1 == len) break;  // an opening character that ends the word is dropped
        size_t j = i + 1;
        bool inner = false;
        if (open != close) {
          int depth = 1;
          for (; j < len; ++j) {
            if (word[j] == open) {
              ++depth;
              inner = true;
            } else if (word[j] == close && --depth == 0) {
              break;
            }
          }
        } else {
          while (j < len && word[j] != close) ++j;
        }
        std::string section = word.substr(i + 1, j - (i + 1));
        if (inner) ReplaceDelimited(section, open, close, rewrite, words);
        status = rewrite(section, words);
        if (status == -1) failed = true;
        out += section;
        for (size_t k = i; k <= j && k < len; ++k) q.feed(word[k], k > 0 ? word[k - 1] : '\0', k > 0);
        i = j + 1;
      } else {
        out.push_back(c);
        q.feed(c, i > 0 ? word[i - 1] : '\0', i > 0);
        ++i;
      }
    }
    word.swap(out);
  }
  line = MakeLine(w.count(), w);
  return failed ? -1 : status;
}

int SplitEquals(WordArray& words) {
  if (words.count() > 1) {
    std::string w1 = words[1];
    ReplaceDelimited(w1, '=', '=', [](std::string& t, WordArray&) { ReplaceEquals(t); return 0; }, words);
    words.words()[1] = w1;
  }
  std::string line = MakeLine(words.count(), words);
  return strparse(line, words);
}
