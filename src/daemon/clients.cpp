#include "daemon/clients.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/sys.h"

// The table and its counts; the rest of the program sees them read-only.
static std::vector<Client> table;
static unsigned active = 0;
static unsigned capacity = MAX_QMZP_CLIENTS;
static unsigned long changes = 0;

const std::vector<Client>& clients = table;
const unsigned& n_active_clients = active;
const unsigned& max_n_clients = capacity;
const unsigned long& clients_changes = changes;

void clients_reset() {
  table.clear();
  active = 0;
  capacity = MAX_QMZP_CLIENTS;
  changes = 0;
}

void set_max_n_clients(unsigned n) { capacity = n; }

// Address first, then port, each in host byte order: 9.255.255.255 before
// 10.0.0.0, and port 256 (0x0100) before 6000.
static int compare(uint32_t a_addr, uint16_t a_port, uint32_t b_addr, uint16_t b_port) {
  uint32_t host_a = ntohl(a_addr), host_b = ntohl(b_addr);
  if (host_a != host_b) return host_a < host_b ? -1 : 1;
  uint16_t port_a = ntohs(a_port), port_b = ntohs(b_port);
  if (port_a != port_b) return port_a < port_b ? -1 : 1;
  return 0;
}

bool client_before(const Client& a, const Client& b) { return compare(a.s_addr, a.sin_port, b.s_addr, b.sin_port) < 0; }

static std::vector<Client>::iterator lower_bound_of(uint32_t s_addr, uint16_t sin_port) {
  return std::lower_bound(table.begin(), table.end(), nullptr, [s_addr, sin_port](const Client& c, std::nullptr_t) {
    return compare(c.s_addr, c.sin_port, s_addr, sin_port) < 0;
  });
}

static Client* entry_of(uint32_t s_addr, uint16_t sin_port) {
  auto it = lower_bound_of(s_addr, sin_port);
  if (it == table.end() || it->s_addr != s_addr || it->sin_port != sin_port) return nullptr;
  return &*it;
}

const Client* find_client(uint32_t s_addr, uint16_t sin_port) { return entry_of(s_addr, sin_port); }

static Client* add_client(uint32_t s_addr, uint16_t sin_port) {
  Client c{};
  c.s_addr = s_addr;
  c.sin_port = sin_port;
  c.timestamp = static_cast<time_t>(wall_time());
  c.up_since = static_cast<time_t>(wall_time());
  c.last_contact = mono_seconds();
  changes++;
  return &*table.insert(lower_bound_of(s_addr, sin_port), c);
}

// The sender's entry, made while the table has room.
static Client* entry_for(uint32_t s_addr, uint16_t sin_port) {
  if (Client* c = entry_of(s_addr, sin_port)) return c;
  if (table.size() >= capacity) return nullptr;
  return add_client(s_addr, sin_port);
}

const Client* get_client(uint32_t s_addr, uint16_t sin_port) { return entry_for(s_addr, sin_port); }

bool add_permanent_client(uint32_t s_addr, uint16_t sin_port) {
  Client* c = entry_for(s_addr, sin_port);
  if (!c) return false;
  if (!(c->flags & F_ACTIVE)) active++;
  c->flags |= F_PERMANENT | F_ENABLED;
  return true;
}

bool add_allowed_client(uint32_t s_addr, uint16_t sin_port) {
  Client* c = entry_for(s_addr, sin_port);
  if (c) c->flags |= F_ALLOWED;
  return c != nullptr;
}

Contact register_client(uint32_t s_addr, uint16_t sin_port, const uint8_t* sender_id) {
  Client* c = entry_for(s_addr, sin_port);
  if (!c) return Contact::kFull;
  bool activated = !(c->flags & F_ACTIVE);
  if (activated) {
    active++;
    memcpy(c->mac, sender_id, sizeof c->mac);
  }
  c->flags = static_cast<uint8_t>((c->flags | F_ENABLED) & ~F_RECHECK);
  c->timestamp = static_cast<time_t>(wall_time());
  c->last_contact = mono_seconds();
  changes++;
  return activated ? Contact::kActivated : Contact::kRenewed;
}

void stop_client(uint32_t s_addr, uint16_t sin_port) {
  Client* c = entry_of(s_addr, sin_port);
  if (!c) return;
  c->timestamp = 0;
  c->last_contact = CONTACT_STOPPED;
  c->flags &= static_cast<uint8_t>(~F_RECHECK);
  changes++;
}

bool configured_before(const ConfiguredClient& a, const ConfiguredClient& b) {
  return compare(a.s_addr, a.sin_port, b.s_addr, b.sin_port) < 0;
}

static const ConfiguredClient* configured_entry(const std::vector<ConfiguredClient>& configured, const Client& c) {
  ConfiguredClient key{c.s_addr, c.sin_port, 0};
  auto it = std::lower_bound(configured.begin(), configured.end(), key, configured_before);
  if (it == configured.end() || configured_before(key, *it)) return nullptr;
  return &*it;
}

// The entry's configured flags become `flags`; false when nothing is left
// of it to keep.
static bool reconfigure(Client& c, uint8_t flags, std::vector<ConfiguredChange>& told) {
  bool was_permanent = c.flags & F_PERMANENT, permanent = flags & F_PERMANENT;
  if (permanent && !was_permanent) {
    if (!(c.flags & F_ACTIVE)) active++;
    c.flags |= F_PERMANENT | F_ENABLED;
    told.push_back({c.s_addr, c.sin_port, true});
  } else if (was_permanent && !permanent) {
    // It received the stream for being named; unnamed, it stops.
    active--;
    c.flags &= static_cast<uint8_t>(~(F_PERMANENT | F_ENABLED));
    told.push_back({c.s_addr, c.sin_port, false});
  }
  if (flags & F_ALLOWED) {
    c.flags |= F_ALLOWED;
  } else {
    c.flags &= static_cast<uint8_t>(~F_ALLOWED);
  }
  if (flags) {
    c.flags &= static_cast<uint8_t>(~F_RECHECK);
  } else if (c.flags & F_ENABLED) {
    c.flags |= F_RECHECK;
  }
  return c.flags & (F_ENABLED | F_PERMANENT | F_ALLOWED);
}

std::vector<ConfiguredChange> configure_clients(const std::vector<ConfiguredClient>& configured, unsigned max) {
  std::vector<ConfiguredChange> told;
  size_t kept = 0;
  for (size_t i = 0; i < table.size(); i++) {
    if (kept != i) table[kept] = table[i];
    const ConfiguredClient* c = configured_entry(configured, table[kept]);
    if (reconfigure(table[kept], c ? c->flags : 0, told)) kept++;
  }
  table.erase(table.begin() + static_cast<std::ptrdiff_t>(kept), table.end());
  for (const ConfiguredClient& c : configured) {
    if (entry_of(c.s_addr, c.sin_port)) continue;
    reconfigure(*add_client(c.s_addr, c.sin_port), c.flags, told);
  }
  capacity = max;
  changes++;
  return told;
}

bool restore_client(uint32_t s_addr, uint16_t sin_port, const uint8_t* mac, int64_t last_contact, time_t timestamp,
                    time_t up_since) {
  Client* c = entry_for(s_addr, sin_port);
  if (!c || (c->flags & F_PERMANENT)) return false;
  if (!(c->flags & F_ACTIVE)) active++;
  c->flags |= F_ENABLED;
  if (!(c->flags & F_ALLOWED)) c->flags |= F_RECHECK;
  memcpy(c->mac, mac, sizeof c->mac);
  c->last_contact = last_contact;
  c->timestamp = timestamp;
  c->up_since = up_since;
  changes++;
  return true;
}

bool client_is_silent(const Client& c, int64_t now) {
  return !(c.flags & F_PERMANENT) && (c.flags & F_ENABLED) && c.last_contact + client_timeout < now;
}

// A silent entry: true when it stays (an allowed one, disabled).
static bool retire(Client& c) {
  if (active == 0) fatal("internal error: deleting an active client when there is zero active clients.");
  active--;
  changes++;
  if (!(c.flags & F_ALLOWED)) return false;
  c.flags &= static_cast<uint8_t>(~(F_ENABLED | F_RECHECK));
  return true;
}

void walk_clients(Verdict (*judge)(const Client& c, size_t index, void* context), void* context) {
  // Compact in place: removals never reorder the kept entries, and an entry
  // has moved to the slot it keeps before it is judged.
  size_t kept = 0;
  for (size_t i = 0; i < table.size(); i++) {
    if (kept != i) table[kept] = table[i];
    if (judge(table[kept], kept, context) == Verdict::kKeep || retire(table[kept])) kept++;
  }
  table.erase(table.begin() + static_cast<std::ptrdiff_t>(kept), table.end());
}

void count_sent(size_t index) { table[index].rtp_packets_sent++; }

void set_n_active_clients_for_tests(unsigned n) { active = n; }

Client& client_for_tests(size_t index) { return table[index]; }
