#include "clients.h"

#include <arpa/inet.h>

#include <algorithm>

#include "sys.h"

std::vector<Client> clients;
unsigned n_active_clients = 0;
unsigned max_n_clients = MAX_QMZP_CLIENTS;

void clients_reset() {
  clients.clear();
  n_active_clients = 0;
  max_n_clients = MAX_QMZP_CLIENTS;
}

int compare(const Client& a, const Client& b) {
  uint32_t host_a = ntohl(a.s_addr), host_b = ntohl(b.s_addr);
  if (host_a != host_b) return host_a < host_b ? -1 : 1;
  uint16_t port_a = ntohs(a.sin_port), port_b = ntohs(b.sin_port);
  if (port_a != port_b) return port_a < port_b ? -1 : 1;
  return 0;
}

static std::vector<Client>::iterator lower_bound_of(const Client& key) {
  return std::lower_bound(clients.begin(), clients.end(), key,
                          [](const Client& a, const Client& b) { return compare(a, b) < 0; });
}

Client* find_client(uint32_t s_addr, uint16_t sin_port) {
  Client key{};
  key.s_addr = s_addr;
  key.sin_port = sin_port;
  auto it = lower_bound_of(key);
  if (it == clients.end() || compare(*it, key) != 0) return nullptr;
  return &*it;
}

Client* add_client(uint32_t s_addr, uint16_t sin_port) {
  Client c{};
  c.s_addr = s_addr;
  c.sin_port = sin_port;
  c.timestamp = static_cast<time_t>(wall_time());
  c.up_since = static_cast<time_t>(wall_time());
  c.last_contact = mono_seconds();
  return &*clients.insert(lower_bound_of(c), c);
}

Client* get_client(uint32_t s_addr, uint16_t sin_port) {
  if (Client* c = find_client(s_addr, sin_port)) return c;
  if (clients.size() >= max_n_clients) return nullptr;
  return add_client(s_addr, sin_port);
}
