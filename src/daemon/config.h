// Settings, configuration lines and start-up validation.
//
// Settings are written only by this module, while the configuration is read;
// the rest of the program sees them read-only. Addresses and ports are kept
// in network byte order.
#ifndef TOLVEK_DAEMON_CONFIG_H_
#define TOLVEK_DAEMON_CONFIG_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/version.h"
#include "common/wire.h"
#include "daemon/clients.h"

// Periods and timeouts, in seconds, all measured on the monotonic clock.
constexpr int data_timeout = 4;
constexpr int trigger_period = 2;
constexpr double decay_time = 3.0;
constexpr double stat_period = 2.0;

// A configuration file is read in lines of at most CONFIG_LINE_LEN - 1
// characters; a longer line is skipped whole. A file of more than
// CONFIG_MAX_BYTES is no configuration (a device, a log): it is refused. At
// most CONFIG_MAX_COMPLAINTS lines are complained about one by one.
constexpr size_t CONFIG_LINE_LEN = 1024;
constexpr long CONFIG_MAX_BYTES = 1L << 20;
constexpr unsigned long CONFIG_MAX_COMPLAINTS = 20;
// Room for the cause of a refused file: a line and the words around it.
constexpr size_t CONFIG_CAUSE_LEN = CONFIG_LINE_LEN + 64;

constexpr const char* VERSION_LINE = "Version:" TOLVEK_VERSION " " TOLVEK_RELEASE_DATE;

// A source of the stream, which is also where the upstream keep-alive goes.
// Port 0 accepts any sender port of the address and sends no keep-alive.
struct SourceRecord {
  sockaddr_in a;
  std::string password;
};

// An "allow_ip" line: the addresses whose first prefix bits equal those of
// s_addr (mask and s_addr in network byte order; a plain address is /32).
struct AddressRange {
  uint32_t s_addr;
  uint32_t mask;
};

// Numeric settings are 64 bits on every target, so that a configuration
// file means on a 32-bit device what it means on x86-64.
struct Settings {
  int64_t input_port = -1;
  int64_t alt_input_port = -1;  // negative: no failover
  int64_t output_port = -1;
  int64_t statistics_port = -1;  // -1: no statistics socket
  unsigned accept_qmz = 0;     // admit the bare 4-byte legacy registration
  uint8_t accept_any_mac = 0;  // any sender id passes the MAC test
  std::vector<std::string> passwords;
  std::vector<Mac> macs;
  std::vector<AddressRange> ips;
  std::optional<SourceRecord> source;
  std::optional<SourceRecord> alt_source;
  unsigned max_n_clients = MAX_QMZP_CLIENTS;
  // The entries "client" and "allow_ip_port" lines name, sorted as the
  // table is, never more than max_n_clients was when each was added.
  std::vector<ConfiguredClient> configured_clients;
};

extern const Settings& settings;

// Start values for every setting.
void config_reset();

// Writes text to standard error, adding a newline unless it is empty or
// already ends with one.
void error_newline(const char* text);

// Interprets one configuration line. The line is modified in place.
void parse_line(char* line);

// What a keyword takes after it, for a checker's warnings.
enum class KeywordValue { kNone, kNumber, kText, kPassword, kAddress, kAddressPort, kAddressPortPassword };

// A configuration keyword and what it does with the rest of its line.
struct ConfigKeyword {
  const char* keyword;
  KeywordValue value;
  void (*handle)(char* rest);
};
// The keywords in the order parse_line tries them, comment and empty line
// last; n is set to their number.
const ConfigKeyword* config_keywords(size_t& n);
// The first keyword that starts line, or null: the one parse_line applies.
const ConfigKeyword* match_keyword(const char* line);

// For tests, fuzzing and benchmarks: the settings, to set up a case directly.
Settings& settings_for_tests();

// For a configuration checker: where complaints about lines go instead of
// standard error, each whole or in pieces, with the number of the file line
// being read (0 for an option). Null in the daemon.
extern void (*config_complaint_hook)(unsigned line_number, const char* text);

// Parses "address" or "address:port" into sa. With parse_port, returns the
// position where the port text ended, or null after a complaint on standard
// error. Without parse_port it always returns null; use parse_address.
char* parse_ip_port(sockaddr_in& sa, char* text, int parse_port);
// The address half of parse_ip_port: false after the "invalid IP address"
// complaint.
bool parse_address(sockaddr_in& sa, char* text);

void add_pass(const char* text);
void add_mac(const char* text);  // exits with status 1 on a malformed MAC
void add_ip(uint32_t address, unsigned prefix = 32);
void parse_trigger(std::optional<SourceRecord>& slot, char* text);

// Reads a configuration file ("-h" prints the help instead), and remembers
// its name for a reload.
void parse_config(const char* filename);
// The file the configuration was read from; empty when it came from options.
const std::string& config_file();
// Hands each line of f to handle_line with its number, the newline kept. A
// line longer than CONFIG_LINE_LEN - 1 characters, or one holding a NUL
// byte, is complained about and skipped whole. A read error, or more than
// CONFIG_MAX_BYTES, ends the process (status -1) with name in the message.
void read_config(FILE* f, const char* name, void (*handle_line)(char* line, unsigned number));
// Translates command-line options into configuration lines.
void parse_options(int argc, char** argv);
[[noreturn]] void print_help();
// Validation once every line is read: the required ports, the alternate
// source, and no two sockets on one UDP port. Fatal on error.
void check_config();

// Reads path into next as start-up reads and validates a file, without
// touching the settings or the client table, announcing nothing and ending
// nothing: false, with the cause that would have stopped a start in cause
// (without "tolvek: " and its final full stop), for a file start-up would
// refuse. Complaints about single lines are written as at start-up.
bool load_config(const char* path, Settings& next, char (&cause)[CONFIG_CAUSE_LEN]);
// Makes next the settings. The client table is the caller's to follow.
void install_settings(Settings&& next);
// Said at start and at a reload: a configuration whose input shares the
// output's port relays nothing.
void warn_shared_input(const Settings& s);

#endif  // TOLVEK_DAEMON_CONFIG_H_
