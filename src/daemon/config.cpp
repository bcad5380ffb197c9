#include "daemon/config.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/sys.h"
#include "daemon/clients.h"

static Settings the_settings;
const Settings& settings = the_settings;

// The file the settings came from, for a reload.
static std::string file_name;
const std::string& config_file() { return file_name; }

// While a reload reads its file: the lines fill the_settings alone (the
// running settings are set aside), nothing is announced, and what would end
// a start is kept in load_failure instead, ending the read.
static bool staging = false;
static char load_failure[CONFIG_CAUSE_LEN];

Settings& settings_for_tests() { return the_settings; }

// Complaints about configuration lines never wait on standard error, and a
// file that is no configuration at all (a device, a binary) must not flood
// it: past CONFIG_MAX_COMPLAINTS lines that drew a complaint, the rest are
// only counted, and told once the whole file is read.
static unsigned long lines_parsed;       // by parse_line, from files and options alike
static unsigned long complaint_line;     // the lines_parsed value of the last complaint's line
static unsigned long complained_lines;   // lines that drew a complaint
static unsigned long complaints_left_out;  // of those, the lines not shown
static unsigned config_line_number;        // of the file line being read; 0 for options

void config_reset() {
  the_settings = Settings{};
  file_name.clear();
  lines_parsed = complaint_line = complained_lines = complaints_left_out = 0;
  config_line_number = 0;
}

void (*config_complaint_hook)(unsigned line_number, const char* text) = nullptr;

static void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void complain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  if (config_complaint_hook) {
    char text[2 * CONFIG_LINE_LEN + 128];
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return config_complaint_hook(config_line_number, text);
  }
  if (complaint_line != lines_parsed || complained_lines == 0) {
    complaint_line = lines_parsed;
    if (++complained_lines > CONFIG_MAX_COMPLAINTS) complaints_left_out++;
  }
  if (complained_lines <= CONFIG_MAX_COMPLAINTS) unblocked_vline(stderr, fmt, ap);
  va_end(ap);
}

void error_newline(const char* text) {
  size_t n = strlen(text);
  complain("%s%s", text, n > 0 && text[n - 1] != '\n' ? "\n" : "");
}

// Automatic base, unsigned as strtoul reads it, in 64 bits on every target:
// "-1" stores -1, and 4294967295 stays 4294967295 on a 32-bit device too.
static int64_t number(const char* rest) { return static_cast<int64_t>(strtoull(rest, nullptr, 0)); }

// Drops one leading blank or newline and a trailing newline, nothing else:
// blanks inside and around a password are part of it.
static char* value(char* rest) {
  if (*rest == ' ' || *rest == '\n') rest++;
  size_t n = strlen(rest);
  if (n > 0 && rest[n - 1] == '\n') rest[n - 1] = '\0';
  return rest;
}

bool parse_address(sockaddr_in& sa, char* text) {
  sa.sin_family = AF_INET;
  while (*text == ' ' || *text == '\t') text++;
  if (inet_aton(text, &sa.sin_addr) == 0) {
    // A complaint ends its line: run into the next one, it would hide that
    // line's start, and under the journal its priority.
    size_t n = strlen(text);
    complain("tolvek: invalid IP address %s%s", text, n > 0 && text[n - 1] == '\n' ? "" : "\n");
    return false;
  }
  return true;
}

// Something that ends a start ends only the read of a reload's file.
static bool fails_start(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static bool fails_start(const char* fmt, ...) {
  if (!staging) return false;
  if (load_failure[0]) return true;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(load_failure, sizeof load_failure, fmt, ap);
  va_end(ap);
  return true;
}

char* parse_ip_port(sockaddr_in& sa, char* text, int parse_port) {
  sa.sin_family = AF_INET;
  char* colon = nullptr;
  if (parse_port) {
    colon = strchr(text, ':');
    if (!colon || colon[1] == '\0') {
      complain("tolvek: port not specified for ");
      error_newline(text);
      return nullptr;
    }
    *colon = '\0';
  }
  if (!parse_address(sa, text) || !parse_port) return nullptr;
  char* end;
  unsigned long port = strtoul(colon + 1, &end, 10);
  sa.sin_port = htons(static_cast<uint16_t>(port % 65536));
  return end;
}

void add_pass(const char* text) { the_settings.passwords.emplace_back(text); }

void add_mac(const char* text) {
  while (*text == ' ' || *text == '\t' || *text == '\n') text++;
  if (*text == '\0') {
    the_settings.accept_any_mac = 1;
    return;
  }
  Mac m{};
  if (sscanf(text, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) < 6 &&
      sscanf(text, "%hhx-%hhx-%hhx-%hhx-%hhx-%hhx", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) < 6) {
    if (fails_start("syntax error in config file: allow_mac %s", text)) return;
    fatal_exit(1, "tolvek: syntax error in config file: allow_mac %s\n", text);
  }
  the_settings.macs.push_back(m);
}

void add_ip(uint32_t address, unsigned prefix) {
  uint32_t mask = htonl(prefix == 0 ? 0 : ~0u << (32 - prefix));
  the_settings.ips.push_back({address & mask, mask});
}

void parse_trigger(std::optional<SourceRecord>& slot, char* text) {
  sockaddr_in sa{};
  char* rest = parse_ip_port(sa, text, 1);
  if (!rest) {
    complain("tolvek: the (alt_)source command has invalid IP address.\n");
    return;
  }
  if (*rest == ' ' || *rest == '\t') rest++;
  size_t n = strlen(rest);
  if (n > 0 && rest[n - 1] == '\n') n--;
  slot = SourceRecord{sa, std::string(rest, n)};
}

static void table_full(const sockaddr_in& sa) {
  complain("tolvek: client table full, dropping config line for %s:%u\n", inet_ntoa(sa.sin_addr),
           ntohs(sa.sin_port));
}

// Notes the entry in the configuration's own list, as full as the table
// would be; false when it does not fit.
static bool configure_entry(const sockaddr_in& sa, uint8_t flags) {
  auto& list = the_settings.configured_clients;
  ConfiguredClient key{sa.sin_addr.s_addr, sa.sin_port, flags};
  auto at = std::lower_bound(list.begin(), list.end(), key, configured_before);
  if (at != list.end() && !configured_before(key, *at)) {
    at->flags |= flags;
    return true;
  }
  if (list.size() >= the_settings.max_n_clients) return false;
  list.insert(at, key);
  return true;
}

static void permanent_client(char* rest) {
  sockaddr_in sa{};
  if (!parse_ip_port(sa, rest, 1)) return;
  if (!configure_entry(sa, F_PERMANENT | F_ENABLED)) return table_full(sa);
  if (staging) return;
  // At start the table holds what the configuration names, and no more.
  if (!add_permanent_client(sa.sin_addr.s_addr, sa.sin_port)) return table_full(sa);
  unblocked_line(stdout, "Adding a permanent client %s:%u\n", inet_ntoa(sa.sin_addr), ntohs(sa.sin_port));
}

// A line may hold NUL bytes, which would end its text early: they show as \0.
static void not_understood(const char* line, size_t len) {
  char shown[2 * CONFIG_LINE_LEN];
  size_t n = 0;
  for (size_t i = 0; i < len && n + 2 < sizeof shown; i++) {
    if (line[i] == '\0') shown[n++] = '\\';
    shown[n++] = line[i] == '\0' ? '0' : line[i];
  }
  shown[n] = '\0';
  complain("tolvek: I don't understand the config line %s%s", shown, n > 0 && shown[n - 1] != '\n' ? "\n" : "");
}

static void allowed_client(char* rest) {
  sockaddr_in sa{};
  if (!parse_ip_port(sa, rest, 1)) return;
  if (!configure_entry(sa, F_ALLOWED)) return table_full(sa);
  if (!staging && !add_allowed_client(sa.sin_addr.s_addr, sa.sin_port)) return table_full(sa);
}

static void set_max_clients(char* rest) {
  the_settings.max_n_clients = static_cast<unsigned>(number(rest));
  if (!staging) set_max_n_clients(the_settings.max_n_clients);
}

// "address" or "address/prefix", a subnet: 10.44.0.0/24.
static void allowed_ip(char* rest) {
  sockaddr_in sa{};
  unsigned prefix = 32;
  // Only within the address: what follows it after a blank is ignored, as
  // it always was.
  char* address = rest + strspn(rest, " \t");
  if (char* slash = static_cast<char*>(memchr(address, '/', strcspn(address, " \t\r\n")))) {
    char* end;
    unsigned long n = strtoul(slash + 1, &end, 10);
    if (slash[1] < '0' || slash[1] > '9' || n > 32 || (*end != '\0' && !isspace(static_cast<unsigned char>(*end)))) {
      complain("tolvek: invalid prefix length in allow_ip ");
      error_newline(address);
      return;
    }
    *slash = '\0';
    prefix = static_cast<unsigned>(n);
  }
  // An address that does not parse is dropped, as a bad "client" line is.
  if (parse_address(sa, rest)) add_ip(sa.sin_addr.s_addr, prefix);
}

// In the order they are tried: a line goes to the first keyword that starts
// it, so a keyword must come before any longer one it begins
// ("allow_ip_port" before "allow_ip").
static const ConfigKeyword keyword_table[] = {
    {"legacy", KeywordValue::kNone, [](char*) { the_settings.accept_qmz = 1; }},
    {"input_port", KeywordValue::kNumber, [](char* rest) { the_settings.input_port = number(rest); }},
    {"statistics_port", KeywordValue::kNumber, [](char* rest) { the_settings.statistics_port = number(rest); }},
    {"alt_input_port", KeywordValue::kNumber, [](char* rest) { the_settings.alt_input_port = number(rest); }},
    {"output_port", KeywordValue::kNumber, [](char* rest) { the_settings.output_port = number(rest); }},
    {"client", KeywordValue::kAddressPort, permanent_client},
    {"max_clients", KeywordValue::kNumber, set_max_clients},
    {"allow_pass", KeywordValue::kPassword, [](char* rest) { add_pass(value(rest)); }},
    {"allow_mac", KeywordValue::kText, [](char* rest) { add_mac(value(rest)); }},
    {"allow_ip_port", KeywordValue::kAddressPort, allowed_client},
    {"allow_ip", KeywordValue::kAddress, allowed_ip},
    {"source", KeywordValue::kAddressPortPassword, [](char* rest) { parse_trigger(the_settings.source, rest); }},
    {"alt_source", KeywordValue::kAddressPortPassword, [](char* rest) { parse_trigger(the_settings.alt_source, rest); }},
    {"#", KeywordValue::kNone, [](char*) {}},   // a comment
    {"\n", KeywordValue::kNone, [](char*) {}},  // an empty line
};

const ConfigKeyword* config_keywords(size_t& n) {
  n = sizeof keyword_table / sizeof keyword_table[0];
  return keyword_table;
}

const ConfigKeyword* match_keyword(const char* line) {
  for (const ConfigKeyword& k : keyword_table)
    if (strncmp(line, k.keyword, strlen(k.keyword)) == 0) return &k;
  return nullptr;
}

void parse_line(char* line) {
  lines_parsed++;
  const ConfigKeyword* k = match_keyword(line);
  if (!k) return not_understood(line, strlen(line));
  k->handle(line + strlen(k->keyword));
}

void print_help() {
  static const char* const lines[] = {
      "Usage:",
      "     tolvek -h: prints this screen",
      "     tolvek path_to_config_file",
      "     tolvek -i input_port -o output port [other options]",
      "     Other options:",
      "        -m mac_addr. Allow MAC option. If set to \" \", accepts any MAC",
      "        -l Legacy option. Allows devices with missing QMZ header to join",
      "        -p password. Allow password. Either empty (\" \"), or real password",
      "        -s statistics_port password. Sets a port to listen for statistics updates",
      "        -n max_n_clients. Sets the maximum number of clients allowed to connect.",
  };
  for (const char* line : lines) unblocked_line(stdout, "%s\n", line);
  exit_program(0);
}

// The end of reading a file: how many complaints were left out.
static void tell_left_out_complaints() {
  if (complaints_left_out)
    unblocked_line(stderr, "tolvek: %lu more config lines with complaints left out\n", complaints_left_out);
  complaints_left_out = 0;
}

void read_config(FILE* f, const char* name, void (*handle_line)(char* line, unsigned number)) {
  char line[CONFIG_LINE_LEN];
  long total = 0;
  for (unsigned number = 1;; number++) {
    size_t len = 0;
    bool too_long = false;
    int c;
    while ((c = getc(f)) != EOF) {
      if (++total > CONFIG_MAX_BYTES) {
        tell_left_out_complaints();
        if (fails_start("config file %s is larger than %ld bytes.", name, CONFIG_MAX_BYTES)) return;
        fatal("config file %s is larger than %ld bytes.", name, CONFIG_MAX_BYTES);
      }
      if (len < sizeof line - 1) {
        line[len++] = static_cast<char>(c);
        if (c == '\n') break;
      } else if (c == '\n') {
        break;  // 1023 characters and the newline that does not fit: a whole line
      } else {
        too_long = true;  // the rest of the line goes unread, never as a line of its own
      }
    }
    if (c == EOF && ferror(f)) {
      int saved = errno;
      tell_left_out_complaints();
      if (fails_start("cannot read config file %s: %s", name, strerror(saved))) return;
      fatal_exit(-1, "Cannot read config file %s: %s\n", name, strerror(saved));
    }
    if (c == EOF && len == 0 && !too_long) break;
    line[len] = '\0';
    config_line_number = number;
    if (too_long) {
      lines_parsed++;
      complain("tolvek: config line %u is longer than %zu characters, skipped: %.40s...\n", number,
               sizeof line - 1, line);
    } else if (memchr(line, '\0', len)) {
      lines_parsed++;
      not_understood(line, len);
    } else {
      handle_line(line, number);
    }
    if (c == EOF || load_failure[0]) break;
  }
  config_line_number = 0;
  tell_left_out_complaints();
}
void parse_config(const char* filename) {
  if (strcmp(filename, "-h") == 0) print_help();
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(filename, "r"), fclose);
  if (!f) fatal_exit(-1, "Cannot open config file %s: %s\n", filename, strerror(errno));
  read_config(f.get(), filename, [](char* line, unsigned) { parse_line(line); });
  file_name = filename;
}

// How an option becomes the line a configuration file would hold.
struct OptionLine {
  int option;
  const char* keyword;
  const char* after_argument;  // null: the option takes no argument
  bool echo_before;            // echo before parsing rather than after
  bool echo_newline;           // the echo adds a newline of its own
};

static const OptionLine option_lines[] = {
    {'i', "input_port", "\n", true, false},      {'o', "output_port", "\n", false, false},
    {'s', "statistics_port", "\n", false, false}, {'n', "max_clients", "\n", false, false},
    {'l', "legacy", nullptr, false, true},        {'p', "allow_pass", "", false, true},
    {'m', "allow_mac", " \n", false, true},
};

// Each line is cut to the 49 characters the line buffer holds, and echoed
// as the parser left it.
void parse_options(int argc, char** argv) {
  char pseudo_line[50];
  int opt;
  while ((opt = getopt(argc, argv, "hi:o:s:lp:m:n:")) != -1) {
    for (const OptionLine& o : option_lines) {
      if (o.option != opt) continue;
      if (o.after_argument) {
        snprintf(pseudo_line, sizeof pseudo_line, "%s %s%s", o.keyword, optarg, o.after_argument);
      } else {
        snprintf(pseudo_line, sizeof pseudo_line, "%s", o.keyword);
      }
      if (o.echo_before) unblocked_line(stdout, "LINE to parse: %s", pseudo_line);
      parse_line(pseudo_line);
      if (!o.echo_before) unblocked_line(stdout, "LINE to parse: %s%s", pseudo_line, o.echo_newline ? "\n" : "");
    }
    // -h, unknown options and options missing their argument match none.
  }
}

// Two port settings that would bind the same UDP port with two sockets.
// Equal settings of the input, the alternate input and the output share one
// socket instead; port 0 is any free port, never a clash.
// Where validation writes the text of the fatal message that would end a
// start.
using Cause = char[CONFIG_CAUSE_LEN];

static bool clash(int64_t a, const char* a_name, int64_t b, const char* b_name, Cause& cause) {
  uint16_t bound = static_cast<uint16_t>(a);
  if (bound == 0 || bound != static_cast<uint16_t>(b)) return false;
  snprintf(cause, sizeof cause, "%s port %lld and %s port %lld are the same UDP port.", a_name,
           static_cast<long long>(a), b_name, static_cast<long long>(b));
  return true;
}

static bool ports_clash(const Settings& s, Cause& cause) {
  if (s.input_port != s.output_port && clash(s.input_port, "input", s.output_port, "output", cause)) return true;
  if (s.alt_input_port >= 0 && s.alt_input_port != s.output_port &&
      clash(s.alt_input_port, "alternate input", s.output_port, "output", cause))
    return true;
  if (s.statistics_port == -1) return false;
  return clash(s.statistics_port, "statistics", s.input_port, "input", cause) ||
         (s.alt_input_port >= 0 && clash(s.statistics_port, "statistics", s.alt_input_port, "alternate input", cause)) ||
         clash(s.statistics_port, "statistics", s.output_port, "output", cause);
}

// The settings as start-up checks them.
static bool valid(Settings& s, Cause& cause) {
  const char* missing = s.input_port < 0 ? "input port must be configured."
                        : s.output_port < 0 ? "output port must be configured."
                        : s.alt_source && !s.source ? "you cannot specify alt source and not source"
                        : nullptr;
  if (missing) {
    snprintf(cause, sizeof cause, "%s", missing);
    return false;
  }
  if (!s.alt_source) s.alt_source = s.source;
  return !ports_clash(s, cause);
}

void warn_shared_input(const Settings& s) {
  for (int64_t port : {s.input_port, s.alt_input_port}) {
    if (port < 0 || port != s.output_port) continue;
    unblocked_line(stderr,
                   "tolvek: input port %lld is the output port: every datagram on it is taken for a control "
                   "packet, so the stream is never relayed from it.\n",
                   static_cast<long long>(port));
  }
}

void check_config() {
  Cause cause;
  if (!valid(the_settings, cause)) fatal("%s", cause);
  warn_shared_input(the_settings);
}

bool load_config(const char* path, Settings& next, char (&cause)[CONFIG_CAUSE_LEN]) {
  Settings running = std::move(the_settings);
  unsigned long counts[] = {lines_parsed, complaint_line, complained_lines, complaints_left_out};
  the_settings = Settings{};
  lines_parsed = complaint_line = complained_lines = complaints_left_out = 0;
  staging = true;
  load_failure[0] = '\0';
  if (FILE* f = fopen(path, "r")) {
    read_config(f, path, [](char* line, unsigned) { parse_line(line); });
    fclose(f);
  } else {
    fails_start("cannot open config file %s: %s", path, strerror(errno));
  }
  staging = false;
  bool ok = !load_failure[0] && valid(the_settings, cause);
  if (load_failure[0]) memcpy(cause, load_failure, sizeof cause);
  size_t n = strlen(cause);
  if (!ok && n > 0 && cause[n - 1] == '.') cause[n - 1] = '\0';
  next = std::move(the_settings);
  the_settings = std::move(running);
  lines_parsed = counts[0];
  complaint_line = counts[1];
  complained_lines = counts[2];
  complaints_left_out = counts[3];
  return ok;
}

void install_settings(Settings&& next) { the_settings = std::move(next); }
