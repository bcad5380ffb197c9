// The client table.
//
// Invariants: `clients` is sorted strictly ascending by address, then port,
// both compared in host byte order; no two entries share address and port.
// `n_active_clients` counts the entries that have F_ENABLED or F_PERMANENT.
// A Client* returned here is valid until the next insertion or pass.
#ifndef TOLVEK_CLIENTS_H_
#define TOLVEK_CLIENTS_H_

#include <cstdint>
#include <ctime>
#include <vector>

constexpr unsigned MAX_QMZP_CLIENTS = 32;

constexpr uint8_t F_PERMANENT = 1;  // from a "client" line: never times out
constexpr uint8_t F_ALLOWED = 2;    // from an "allow_ip_port" line: disabled, not removed, on timeout
constexpr uint8_t F_ENABLED = 4;    // receives the stream
constexpr uint8_t F_ACTIVE = F_ENABLED | F_PERMANENT;

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

extern std::vector<Client> clients;
extern unsigned n_active_clients;
extern unsigned max_n_clients;  // an entry is added only while the table is smaller

void clients_reset();

// Orders by address, then port, in host byte order: -1, 0 or 1.
int compare(const Client& a, const Client& b);
// Arguments in network byte order.
Client* find_client(uint32_t s_addr, uint16_t sin_port);
Client* add_client(uint32_t s_addr, uint16_t sin_port);
// The existing entry, else a new one while the table is below
// max_n_clients, else null.
Client* get_client(uint32_t s_addr, uint16_t sin_port);

#endif  // TOLVEK_CLIENTS_H_
