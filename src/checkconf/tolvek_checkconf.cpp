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

#include "common/sys.h"
#include "common/version.h"
#include "daemon/config.h"

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

// The length of the UTF-8 sequence at p (at most n bytes), 0 when it is
// none or encodes a control character (U+0080 to U+009F, which a terminal
// may obey as one of the escape bytes).
size_t printable_utf8(const unsigned char* p, size_t n) {
  size_t len = p[0] >= 0xf0 && p[0] <= 0xf4 ? 4 : p[0] >= 0xe0 ? 3 : p[0] >= 0xc2 && p[0] < 0xe0 ? 2 : 0;
  if (len == 0 || len > n) return 0;
  for (size_t i = 1; i < len; i++)
    if ((p[i] & 0xc0) != 0x80) return 0;
  if (len == 2 && p[0] == 0xc2 && p[1] < 0xa0) return 0;
  if (len == 3 && ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] >= 0xa0))) return 0;  // overlong, surrogate
  if (len == 4 && ((p[0] == 0xf0 && p[1] < 0x90) || (p[0] == 0xf4 && p[1] >= 0x90))) return 0;  // overlong, past U+10FFFF
  return len;
}

// Text from the file as it may be shown on a terminal: a control character,
// or a byte of no UTF-8 character, shows as \t, \r or \xNN, so that a
// binary file cannot steer the terminal it is checked on.
std::string escaped(const std::string& text) {
  std::string shown;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, n = text.size(); i < n;) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
      i++;
    } else if (size_t len = c >= 0x80 ? printable_utf8(p + i, n - i) : 0) {
      shown.append(text, i, len);
      i += len;
    } else {
      char code[8];
      snprintf(code, sizeof code, c == '\t' ? "\\t" : c == '\r' ? "\\r" : "\\x%02x", c);
      shown += code;
      i++;
    }
  }
  return shown;
}

// Warnings at the journal's warning priority, errors at its error priority;
// then the count, and the exit status.
[[noreturn]] void tell_and_exit() {
  unsigned long n_errors = 0, n_warnings = 0;
  for (const Finding& f : findings) {
    std::string where = std::string(file_name) + (f.line ? ":" + std::to_string(f.line) : "");
    std::string text = escaped(f.text);
    if (f.is_error) {
      n_errors++;
      error_line("%s: error: %s\n", where.c_str(), text.c_str());
    } else {
      n_warnings++;
      unblocked_line(stderr, "%s: warning: %s\n", where.c_str(), text.c_str());
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
  while (fgets(line, sizeof line, fatal_text)) {
    std::string text = bare(line);
    // The daemon's own word at start on an input that shares the output's
    // port: check_shared_input says it as an error, in the checker's words.
    if (text.rfind("input port ", 0) == 0 && text.find(" is the output port: ") != std::string::npos) continue;
    error(pending_line, text);
  }
  fclose(fatal_text);
  fatal_text = nullptr;
}

bool is_word_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string shown(const char* text) {
  std::string s = text;
  while (!s.empty() && (s.back() == '\n')) s.pop_back();
  return s;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The value as the file has it, without the blanks around it.
std::string trimmed(const char* text) {
  while (is_blank(*text)) text++;
  std::string s = text;
  while (!s.empty() && is_blank(s.back())) s.pop_back();
  return s;
}

bool is_port_keyword(const char* keyword) { return strstr(keyword, "_port") != nullptr; }

// A number as the daemon reads it (strtoull with its base taken from the
// text), which stops silently at the first character that does not fit:
// "72OO" is 72, "70000" binds 4464, "05000" is octal 2560.
void check_number(const char* keyword, const char* rest, unsigned number) {
  std::string value = trimmed(rest);
  if (value.empty()) {
    warn(number, std::string("\"") + keyword + "\" has no number after it, so it reads as 0");
    return;
  }
  errno = 0;
  char* end;
  unsigned long long read = strtoull(value.c_str(), &end, 0);
  auto as_read = static_cast<long long>(read);  // the daemon keeps it in 64 bits, signed
  std::string text(value.c_str(), static_cast<size_t>(end - value.c_str()));
  if (text.empty() || errno == ERANGE || (*end && !is_blank(*end))) {
    std::string word = value.substr(0, value.find_first_of(" \t"));
    error(number, "\"" + word + "\" is not a number: " + keyword + " reads it as " + std::to_string(as_read));
    return;
  }
  if (*end) warn(number, "\"" + trimmed(end) + "\" after " + keyword + " " + text + " is ignored");
  size_t digits = text[0] == '+' || text[0] == '-' ? 1 : 0;
  if (text[digits] == '0' && isdigit(static_cast<unsigned char>(text[digits + 1])))
    warn(number, std::string(keyword) + " " + text + " starts with 0, so it is read as octal: " +
                     std::to_string(as_read));
  if (!is_port_keyword(keyword) || (as_read >= 1 && as_read <= 65535)) return;
  // Negative is "none" where the daemon says so (no failover, no statistics
  // socket) and "not configured" for the input and output, which the
  // daemon's own check reports if it stays so. Port 0, a port the system
  // picks, serves an input that a chained repeater's keep-alive announces
  // upstream, or an output that only sends to permanent clients. For
  // statistics it serves no one, but stops no stream either.
  bool statistics = strcmp(keyword, "statistics_port") == 0;
  if (as_read == 0 && statistics)
    return warn(number, "statistics_port 0 binds a UDP port the system picks, which no request can find (-1 is none)");
  if (as_read == 0 || (as_read < 0 && (!statistics || as_read == -1))) return;
  error(number, std::string(keyword) + " " + text + " is outside 1 to 65535: the daemon would bind UDP port " +
                    std::to_string(static_cast<uint16_t>(as_read)));
}

// An address as "a.b.c.d", each a decimal number from 0 to 255 without a
// leading zero: the daemon also takes "127.1", a single number, or octal
// parts ("010" is 8), and drops a name.
bool is_dotted_decimal(const std::string& text) {
  const char* p = text.c_str();
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *p++ != '.') return false;
    size_t n = strspn(p, "0123456789");
    if (n == 0 || n > 3 || (n > 1 && *p == '0') || atoi(std::string(p, n).c_str()) > 255) return false;
    p += n;
  }
  return *p == '\0';
}

// A source's address and port: a line the daemon drops leaves no source
// filter and no keep-alive, and a port with a typo gives the rest of it to
// the password ("41OOO pw" is port 41 and the password "OOO pw").
void check_source(const char* keyword, const char* rest, unsigned number) {
  while (*rest == ' ' || *rest == '\t') rest++;
  const char* colon = strchr(rest, ':');
  std::string address = colon ? std::string(rest, colon) : trimmed(rest);
  if (!is_dotted_decimal(address))
    error(number, std::string(keyword) + " address \"" + address + "\" is not a dotted decimal IPv4 address");
  std::string port = colon ? std::string(colon + 1, strcspn(colon + 1, " \t\r\n")) : "";
  bool is_port = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                 atoi(port.c_str()) <= 65535;
  if (!is_port) error(number, std::string(keyword) + " port \"" + port + "\" is not a number from 0 to 65535");
}

// Input and output on one port share one socket, which takes every datagram
// for a control packet.
void check_shared_input() {
  auto same = [](const char* what, int64_t port) {
    error(0, std::string(what) + " port " + std::to_string(port) +
                 " is the output port: every datagram on it is taken as a control packet, so the stream would "
                 "never be relayed");
  };
  if (settings.input_port == settings.output_port) same("input", settings.input_port);
  if (settings.alt_input_port >= 0 && settings.alt_input_port == settings.output_port)
    same("alternate input", settings.alt_input_port);
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
  if (k->value == KeywordValue::kNumber) check_number(k->keyword, rest, number);
  if (k->value == KeywordValue::kAddressPortPassword) check_source(k->keyword, rest, number);
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
  if (!f) fatal_exit(-1, "Cannot open config file %s: %s\n", file_name, strerror(errno));
  read_config(f, file_name, check_line);
  fclose(f);
  flush_complaints();
  pending_line = 0;
  check_config();
  hear_daemon();
  check_shared_input();
  tell_and_exit();
}
