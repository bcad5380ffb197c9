// The client table.
//
// Invariants, kept by this module alone, the table's one writer: `clients`
// is sorted strictly ascending by address, then port, both compared in host
// byte order; no two entries share address and port; an entry is added for
// a sender only while the table is smaller than `max_n_clients` (the
// entries of a reloaded configuration come on top, and a lowered limit
// leaves the entries above it); `n_active_clients` counts the entries that
// have F_ENABLED or F_PERMANENT. Others read the table and its counts
// through const references; every change goes through the functions below.
// A pointer returned here is valid until the next change of the table.
#ifndef TOLVEK_DAEMON_CLIENTS_H_
#define TOLVEK_DAEMON_CLIENTS_H_

#include <cstddef>
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

// Orders by address, then port, in host byte order, as the table is.
bool client_before(const Client& a, const Client& b);
// Arguments in network byte order.
const Client* find_client(uint32_t s_addr, uint16_t sin_port);
// The existing entry, else a new one (no flags, its times now) while the
// table is below max_n_clients, else null.
const Client* get_client(uint32_t s_addr, uint16_t sin_port);

// A "client" line: the entry made permanent and enabled, counted active if
// it was not. False when the table is full.
bool add_permanent_client(uint32_t s_addr, uint16_t sin_port);
// An "allow_ip_port" line: the entry, allowed. False when the table is full.
bool add_allowed_client(uint32_t s_addr, uint16_t sin_port);
// A new configuration: the table's permanent and allowed entries become
// those of `configured` (sorted by configured_before), whatever the table's
// size, and max_n_clients becomes max. An entry that is no longer permanent
// stops receiving; one left neither enabled nor configured is removed.
// Registered entries keep their state and timers, and are marked
// F_RECHECK. Entries above a lowered max stay until they leave.
std::vector<ConfiguredChange> configure_clients(const std::vector<ConfiguredClient>& configured, unsigned max);
// A registered entry saved by an earlier run, restored enabled with its
// last contact (monotonic whole seconds) and its times shown, and marked
// F_RECHECK. A permanent entry is left as configured; false then, or when
// the table is full.
bool restore_client(uint32_t s_addr, uint16_t sin_port, const uint8_t* mac, int64_t last_contact, time_t timestamp,
                    time_t up_since);

// What an admitted registration or status report did.
enum class Contact {
  kFull,       // the sender is new and the table full: nothing changed
  kRenewed,    // it was receiving: its contact is stamped now
  kActivated,  // it was not: it is now, counted active, with sender_id as its mac
};
// An admitted registration or status report from the sender: its entry,
// made while the table has room, enabled and stamped now.
Contact register_client(uint32_t s_addr, uint16_t sin_port, const uint8_t* sender_id);
// A stop request from the sender: its last contact becomes older than any
// timeout, so the next pass retires it if it is enabled (a permanent entry
// stays). Nothing for a sender without an entry.
void stop_client(uint32_t s_addr, uint16_t sin_port);

// Enabled, not permanent, and last heard more than client_timeout seconds
// before now (monotonic whole seconds).
bool client_is_silent(const Client& c, int64_t now);

// What a pass does with an entry.
enum class Verdict {
  kKeep,
  // Silent: it is no longer counted active (a count already at zero is a
  // consistency stop); an allowed entry is disabled and kept, any other
  // removed.
  kRetire,
};
// The pass: calls judge(entry, index, context) for each entry in table
// order and applies its verdict, keeping the order of the rest. An entry
// kept keeps its index until the pass ends: a copy sent meanwhile is
// counted for it with count_sent(index).
void walk_clients(Verdict (*judge)(const Client& c, size_t index, void* context), void* context);
void count_sent(size_t index);

// For tests: the active count, to reach the consistency stop, and an entry
// to give figures no test could wait for (a counter near its wrap).
void set_n_active_clients_for_tests(unsigned n);
Client& client_for_tests(size_t index);

#endif  // TOLVEK_DAEMON_CLIENTS_H_
