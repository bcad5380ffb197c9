// The client table.
//
// Invariants, kept by this module alone: `clients` is sorted strictly
// ascending by address, then port, both compared in host byte order; no two
// entries share address and port; it grows only while smaller than
// `max_n_clients`; `n_active_clients` counts the entries that have F_ENABLED
// or F_PERMANENT. Others read the table and its counts; an entry's state
// (its flags, its contact, the count) changes only through the functions
// below. A Client* returned here is valid until the next insertion or pass.
#ifndef TOLVEK_CLIENTS_H_
#define TOLVEK_CLIENTS_H_

#include <cstdint>
#include <ctime>
#include <vector>

constexpr unsigned MAX_QMZP_CLIENTS = 32;

// Seconds without a registration after which an enabled client is retired.
constexpr int client_timeout = 20;

constexpr uint8_t F_PERMANENT = 1;  // from a "client" line: never times out
constexpr uint8_t F_ALLOWED = 2;    // from an "allow_ip_port" line: disabled, not removed, on timeout
constexpr uint8_t F_ENABLED = 4;    // receives the stream
constexpr uint8_t F_ACTIVE = F_ENABLED | F_PERMANENT;
// Admitted under an earlier configuration (before a reload, or by the run
// whose entries a restart restored): its next control packet is checked as
// a stranger's would be.
constexpr uint8_t F_RECHECK = 8;

// last_contact of an entry that asked to stop: older than any timeout.
constexpr int64_t CONTACT_STOPPED = INT64_MIN / 4;

struct Client {
  uint32_t s_addr;    // network byte order
  uint16_t sin_port;  // network byte order
  time_t timestamp;   // wall clock of the last contact, for display; 0 after a stop request
  time_t up_since;    // wall clock of creation, for display
  uint32_t rtp_packets_sent;
  uint8_t mac[6];  // sender id of the control packet that activated the entry
  uint8_t flags;
  int64_t last_contact;  // monotonic whole seconds: what the timeout is measured on
};

extern const std::vector<Client>& clients;
extern const unsigned& n_active_clients;
extern const unsigned& max_n_clients;  // an entry is added only while the table is smaller
// Goes up with every change a saved copy of the table would show: an entry
// added, removed, enabled, disabled or stamped. Sent copies are no change.
extern const unsigned long& clients_changes;

// An entry a configuration names: F_PERMANENT | F_ENABLED ("client"),
// F_ALLOWED ("allow_ip_port"), or both.
struct ConfiguredClient {
  uint32_t s_addr;    // network byte order
  uint16_t sin_port;  // network byte order
  uint8_t flags;
};
// The table's order, for lists of configured entries.
bool configured_before(const ConfiguredClient& a, const ConfiguredClient& b);

// What a new configuration changed for an entry: made permanent, or no
// longer permanent (it then stops receiving until it registers).
struct ConfiguredChange {
  uint32_t s_addr;
  uint16_t sin_port;
  bool permanent;
};

void clients_reset();
void set_max_n_clients(unsigned n);

// Orders by address, then port, in host byte order: -1, 0 or 1.
int compare(const Client& a, const Client& b);
// Arguments in network byte order.
Client* find_client(uint32_t s_addr, uint16_t sin_port);
Client* add_client(uint32_t s_addr, uint16_t sin_port);
// The existing entry, else a new one while the table is below
// max_n_clients, else null.
Client* get_client(uint32_t s_addr, uint16_t sin_port);

// A "client" line: the entry made permanent and enabled, counted active if
// it was not. Null when the table is full.
Client* add_permanent_client(uint32_t s_addr, uint16_t sin_port);
// An "allow_ip_port" line: the entry, allowed. Null when the table is full.
Client* add_allowed_client(uint32_t s_addr, uint16_t sin_port);
// A new configuration: the table's permanent and allowed entries become
// those of `configured` (sorted by configured_before), whatever the table's
// size, and max_n_clients becomes max. An entry that is no longer permanent
// stops receiving; one left neither enabled nor configured is removed.
// Registered entries keep their state and timers, and are marked
// F_RECHECK. Entries above a lowered max stay until they leave.
std::vector<ConfiguredChange> configure_clients(const std::vector<ConfiguredClient>& configured, unsigned max);
// A registered entry saved by an earlier run, restored enabled with its
// last contact (monotonic whole seconds) and its times shown, and marked
// F_RECHECK. A permanent entry is left as configured; null then, or when
// the table is full.
Client* restore_client(uint32_t s_addr, uint16_t sin_port, const uint8_t* mac, int64_t last_contact,
                       time_t timestamp, time_t up_since);
// An admitted registration or status report: c is enabled and its contact
// stamped now. True when it was neither enabled nor permanent: it is then
// counted active and takes sender_id (6 bytes) as its mac.
bool enable_client(Client& c, const uint8_t* sender_id);
// A stop request: c's last contact becomes older than any timeout, so the
// next pass retires it if it is enabled (a permanent entry stays).
void stop_client(Client& c);

// Enabled, not permanent, and last heard more than client_timeout seconds
// before now (monotonic whole seconds).
bool client_is_silent(const Client& c, int64_t now);
// Retires a silent entry: it is no longer counted active (a count already
// at zero is a consistency stop). An allowed entry is disabled and kept
// (true); any other is to be removed (false).
bool retire_client(Client& c);
// The pass: calls keep(entry, context) for each entry in table order and
// removes those it returns false for, keeping the order of the rest. Each
// entry moves down to its place before its call, so an entry's address
// taken in the call stays valid until the next insertion or pass.
void walk_clients(bool (*keep)(Client& c, void* context), void* context);

#endif  // TOLVEK_CLIENTS_H_
