#include "config.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "clients.h"
#include "sys.h"

Settings settings;

void config_reset() { settings = Settings{}; }

const SourceRecord* current_source() {
  const auto& slot = settings.alt_toggle ? settings.alt_source : settings.source;
  return slot ? &*slot : nullptr;
}

void error_newline(const char* text) {
  fputs(text, stderr);
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] != '\n') fputc('\n', stderr);
}

// Keywords match as prefixes at the very start of the line, so the order of
// the tests in parse_line matters ("allow_ip_port" before "allow_ip").
static char* test(char* line, const char* keyword) {
  size_t n = strlen(keyword);
  return strncmp(line, keyword, n) == 0 ? line + n : nullptr;
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
    fprintf(stderr, "tolvek: invalid IP address %s", text);
    return false;
  }
  return true;
}

char* parse_ip_port(sockaddr_in& sa, char* text, int parse_port) {
  sa.sin_family = AF_INET;
  char* colon = nullptr;
  if (parse_port) {
    colon = strchr(text, ':');
    if (!colon || colon[1] == '\0') {
      fputs("tolvek: port not specified for ", stderr);
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

void add_pass(const char* text) { settings.passwords.emplace_back(text); }

void add_mac(const char* text) {
  while (*text == ' ' || *text == '\t' || *text == '\n') text++;
  if (*text == '\0') {
    settings.accept_any_mac = 1;
    return;
  }
  Mac m{};
  if (sscanf(text, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) < 6 &&
      sscanf(text, "%hhx-%hhx-%hhx-%hhx-%hhx-%hhx", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) < 6) {
    fprintf(stderr, "tolvek: syntax error in config file: allow_mac %s\n", text);
    exit_program(1);
  }
  settings.macs.push_back(m);
}

void add_ip(uint32_t address) { settings.ips.push_back(address); }

void parse_trigger(std::optional<SourceRecord>& slot, char* text) {
  sockaddr_in sa{};
  char* rest = parse_ip_port(sa, text, 1);
  if (!rest) {
    fputs("tolvek: the (alt_)source command has invalid IP address.\n", stderr);
    return;
  }
  if (*rest == ' ' || *rest == '\t') rest++;
  size_t n = strlen(rest);
  if (n > 0 && rest[n - 1] == '\n') n--;
  slot = SourceRecord{sa, std::string(rest, n)};
}

static void table_full(const sockaddr_in& sa) {
  fprintf(stderr, "tolvek: client table full, dropping config line for %s:%u\n", inet_ntoa(sa.sin_addr),
          ntohs(sa.sin_port));
}

static void permanent_client(char* rest) {
  sockaddr_in sa{};
  if (!parse_ip_port(sa, rest, 1)) return;
  Client* c = get_client(sa.sin_addr.s_addr, sa.sin_port);
  if (!c) return table_full(sa);
  if (!(c->flags & F_ACTIVE)) n_active_clients++;
  c->flags |= F_PERMANENT | F_ENABLED;
  printf("Adding a permanent client %s:%u\n", inet_ntoa(sa.sin_addr), ntohs(sa.sin_port));
}

static void allowed_client(char* rest) {
  sockaddr_in sa{};
  if (!parse_ip_port(sa, rest, 1)) return;
  Client* c = get_client(sa.sin_addr.s_addr, sa.sin_port);
  if (!c) return table_full(sa);
  c->flags |= F_ALLOWED;
}

static void allowed_ip(char* rest) {
  sockaddr_in sa{};
  // An address that does not parse is dropped, as a bad "client" line is.
  if (parse_address(sa, rest)) add_ip(sa.sin_addr.s_addr);
}

void parse_line(char* line) {
  char* rest;
  if ((rest = test(line, "legacy"))) {
    settings.accept_qmz = 1;
  } else if ((rest = test(line, "input_port"))) {
    settings.input_port = number(rest);
  } else if ((rest = test(line, "statistics_port"))) {
    settings.statistics_port = number(rest);
  } else if ((rest = test(line, "alt_input_port"))) {
    settings.alt_input_port = number(rest);
  } else if ((rest = test(line, "output_port"))) {
    settings.output_port = number(rest);
  } else if ((rest = test(line, "client"))) {
    permanent_client(rest);
  } else if ((rest = test(line, "max_clients"))) {
    max_n_clients = static_cast<unsigned>(number(rest));
  } else if ((rest = test(line, "allow_pass"))) {
    add_pass(value(rest));
  } else if ((rest = test(line, "allow_mac"))) {
    add_mac(value(rest));
  } else if ((rest = test(line, "allow_ip_port"))) {
    allowed_client(rest);
  } else if ((rest = test(line, "allow_ip"))) {
    allowed_ip(rest);
  } else if ((rest = test(line, "source"))) {
    parse_trigger(settings.source, rest);
  } else if ((rest = test(line, "alt_source"))) {
    parse_trigger(settings.alt_source, rest);
  } else if (test(line, "#") || test(line, "\n")) {
    // comment or empty line
  } else {
    fputs("tolvek: I don't understand the config line ", stderr);
    error_newline(line);
  }
}

void print_help() {
  puts("Usage:");
  puts("     tolvek -h: prints this screen");
  puts("     tolvek path_to_config_file");
  puts("     tolvek -i input_port -o output port [other options]");
  puts("     Other options:");
  puts("        -m mac_addr. Allow MAC option. If set to \" \", accepts any MAC");
  puts("        -l Legacy option. Allows devices with missing QMZ header to join");
  puts("        -p password. Allow password. Either empty (\" \"), or real password");
  puts("        -s statistics_port password. Sets a port to listen for statistics updates");
  puts("        -n max_n_clients. Sets the maximum number of clients allowed to connect.");
  exit_program(0);
}

void parse_config(const char* filename) {
  if (strcmp(filename, "-h") == 0) print_help();
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(filename, "r"), fclose);
  if (!f) {
    int saved = errno;
    fprintf(stderr, "Cannot open config file %s: %s\n", filename, strerror(saved));
    exit_program(-1);
  }
  char line[1024];
  while (fgets(line, sizeof line, f.get())) parse_line(line);
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
      if (o.echo_before) printf("LINE to parse: %s", pseudo_line);
      parse_line(pseudo_line);
      if (!o.echo_before) printf("LINE to parse: %s%s", pseudo_line, o.echo_newline ? "\n" : "");
    }
    // -h, unknown options and options missing their argument match none.
  }
}

void check_config() {
  if (settings.input_port < 0) fatal("input port must be configured.");
  if (settings.output_port < 0) fatal("output port must be configured.");
  if (!settings.alt_source) {
    settings.alt_source = settings.source;
  } else if (!settings.source) {
    fputs("tolvek: you cannot specify alt source and not source\n", stderr);
    exit_program(-1);
  }
}
