// tolvek-checkconf: reads a configuration file with the daemon's own parser
// and start-up validation, and says, line by line, what the daemon would
// drop or misread: each complaint the daemon would make, and the traps it
// passes over in silence.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "sys.h"
#include "version.h"

namespace {

const char* file_name = "";
bool strict = false;

// What was found, in the order found: told once the daemon's output is back.
struct Finding {
  unsigned line;  // 0: the file as a whole
  bool is_error;
  std::string text;
};
std::vector<Finding> findings;

// What the daemon writes while it reads the file goes to the checker: its
// complaints through the hook, per line; its fatal lines (and its progress
// lines, which are dropped) through standard error and output, which point
// elsewhere while it reads.
std::string pending;         // complaint text of the line being read
unsigned pending_line = 0;   // its number
int saved_out = -1, saved_err = -1;
FILE* fatal_text = nullptr;  // where the daemon's standard error goes meanwhile

void warn(unsigned line, const std::string& text) { findings.push_back({line, false, text}); }
void error(unsigned line, const std::string& text) { findings.push_back({line, true, text}); }

// Warnings at the journal's warning priority, errors at its error priority;
// then the count, and the exit status.
[[noreturn]] void tell_and_exit() {
  unsigned long n_errors = 0, n_warnings = 0;
  for (const Finding& f : findings) {
    std::string where = std::string(file_name) + (f.line ? ":" + std::to_string(f.line) : "");
    if (f.is_error) {
      n_errors++;
      fatal_line("%s: error: %s\n", where.c_str(), f.text.c_str());
    } else {
      n_warnings++;
      unblocked_line(stderr, "%s: warning: %s\n", where.c_str(), f.text.c_str());
    }
  }
  unblocked_line(stdout, "tolvek-checkconf: %s: %lu error%s, %lu warning%s\n", file_name, n_errors,
                 n_errors == 1 ? "" : "s", n_warnings, n_warnings == 1 ? "" : "s");
  exit(n_errors ? 2 : strict && n_warnings ? 1 : 0);
}

// The daemon's own words, without its "tolvek: " and line end.
std::string bare(std::string text) {
  if (text.rfind("tolvek: ", 0) == 0) text.erase(0, 8);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void flush_complaints() {
  size_t start = 0;
  while (start < pending.size()) {
    size_t end = pending.find('\n', start);
    if (end == std::string::npos) end = pending.size();
    std::string piece = bare(pending.substr(start, end - start));
    if (!piece.empty()) warn(pending_line, piece);
    start = end + 1;
  }
  pending.clear();
}

void on_complaint(unsigned line, const char* text) {
  if (line != pending_line) flush_complaints();
  pending_line = line;
  pending += text;
}

void quiet_daemon() {
  fflush(stdout);
  fflush(stderr);
  saved_out = dup(1);
  saved_err = dup(2);
  fatal_text = tmpfile();
  int null = open("/dev/null", O_WRONLY);
  if (saved_out < 0 || saved_err < 0 || !fatal_text || null < 0) {
    perror("tolvek-checkconf: cannot set aside the daemon's output");
    exit(2);
  }
  dup2(null, 1);
  dup2(fileno(fatal_text), 2);
  close(null);
  detect_journal_streams();  // the daemon's lines land here bare
}

// Back to the real standard output and error; what the daemon wrote to
// standard error meanwhile, its fatal lines, becomes errors.
void hear_daemon() {
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  detect_journal_streams();
  flush_complaints();
  rewind(fatal_text);
  char line[4096];
  while (fgets(line, sizeof line, fatal_text)) error(pending_line, bare(line));
  fclose(fatal_text);
  fatal_text = nullptr;
}

bool is_word_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string shown(const char* text) {
  std::string s = text;
  while (!s.empty() && (s.back() == '\n')) s.pop_back();
  return s;
}

// The traps the daemon passes over in silence, on the line as it was read.
void check_traps(const char* line, unsigned number) {
  size_t len = strlen(line);
  if (line[0] == ' ' || line[0] == '\t') {
    warn(number, "the line starts with a blank, so it matches no keyword");
    return;
  }
  if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n')
    warn(number, "the line ends in a carriage return (CR-LF line ends): it stays part of a password or value");
  const ConfigKeyword* k = match_keyword(line);
  if (!k || k->value == KeywordValue::kNone) {
    if (k && strcmp(k->keyword, "legacy") == 0 && is_word_char(line[6]))
      warn(number, "\"" + shown(line) + "\" is read as the keyword \"legacy\": legacy mode is on");
    return;
  }
  const char* rest = line + strlen(k->keyword);
  if (is_word_char(*rest)) {
    std::string word(line, strcspn(line, " \t\r\n"));
    warn(number, "\"" + word + "\" is read as the keyword \"" + k->keyword + "\" followed by \"" + shown(rest) + "\"");
  }
  if (k->value == KeywordValue::kNumber) {
    const char* p = rest;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '+' || *p == '-') p++;
    if (!isdigit(static_cast<unsigned char>(*p)))
      warn(number, std::string("\"") + k->keyword + "\" has no number after it, so it reads as 0");
  }
  if (k->value == KeywordValue::kPassword || k->value == KeywordValue::kAddressPortPassword) {
    std::string value = shown(rest);
    size_t hash = value.find('#');
    if (hash != std::string::npos && hash > 0 && (value[hash - 1] == ' ' || value[hash - 1] == '\t'))
      warn(number, "\"#\" starts a comment only at the start of a line: \"" + value.substr(hash) +
                       "\" is part of the password");
    else if (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
      warn(number, "the password ends in a blank, which is part of it");
  }
}

void check_line(char* line, unsigned number) {
  if (number != pending_line) flush_complaints();
  pending_line = number;
  check_traps(line, number);
  parse_line(line);
}

[[noreturn]] void usage(FILE* out, int status) {
  fputs(
      "Usage: tolvek-checkconf [--strict] FILE\n"
      "  Reads a tolvek configuration file as the daemon would, and reports with\n"
      "  line numbers every line the daemon would complain about, drop or misread,\n"
      "  and every error that would keep it from starting.\n"
      "  --strict   exit 1 when there are warnings\n"
      "  --help     this text\n"
      "  --version  the version\n"
      "Exit status: 0 no errors (and, with --strict, no warnings), 1 warnings with\n"
      "--strict, 2 errors (the daemon would not start) or bad usage.\n",
      out);
  exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  detect_journal_streams();
  static const option long_options[] = {
      {"strict", no_argument, nullptr, 's'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
    switch (c) {
      case 's': strict = true; break;
      case 'h': usage(stdout, 0);
      case 'V':
        printf("tolvek-checkconf %s %s\n", TOLVEK_VERSION, TOLVEK_RELEASE_DATE);
        return 0;
      default:
        fprintf(stderr, "tolvek-checkconf: unknown option or missing value: %s\n", argv[optind - 1]);
        usage(stderr, 2);
    }
  }
  if (optind != argc - 1) {
    fputs("tolvek-checkconf: expected one FILE\n", stderr);
    usage(stderr, 2);
  }
  file_name = argv[optind];

  config_complaint_hook = on_complaint;
  // A fatal line of the daemon ends its run here: the check ends with it.
  exit_hook = [](int) {
    hear_daemon();
    tell_and_exit();
  };
  quiet_daemon();
  FILE* f = fopen(file_name, "r");
  if (!f) {
    int saved = errno;
    fatal_line("Cannot open config file %s: %s\n", file_name, strerror(saved));
    exit_program(-1);
  }
  read_config(f, file_name, check_line);
  fclose(f);
  flush_complaints();
  pending_line = 0;
  check_config();
  hear_daemon();
  tell_and_exit();
}
