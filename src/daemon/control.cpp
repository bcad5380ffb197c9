#include "daemon/control.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"

static LineKind client_added{LineSink::kStdout, "Adding client ... on his request."};
static LineKind status_report{LineSink::kSystemLog, "...:status:..."};
static LineKind control_rejected{LineSink::kStderr, "2:Request from ... rejected."};
static LineKind stop_request{LineSink::kStderr, "2:Request from ... to stop streaming."};
static LineKind table_full{LineSink::kStderr, "tolvek: client table full ..."};

static bool has_empty_password() {
  return std::any_of(settings.passwords.begin(), settings.passwords.end(),
                     [](const std::string& p) { return p.empty(); });
}

// A password matches with its terminating NUL, as clients send it, and
// without, as a repeater's own keep-alive carries it: a child repeater
// must be able to register with the password its parent expects.
static bool password_matches(const uint8_t* data, size_t length) {
  for (const std::string& p : settings.passwords) {
    if (p.empty()) return true;
    if (length == p.size() + 1 && memcmp(data, p.c_str(), length) == 0) return true;
    if (length == p.size() && memcmp(data, p.data(), length) == 0) return true;
  }
  return false;
}

static bool address_allowed(uint32_t s_addr) {
  return std::any_of(settings.ips.begin(), settings.ips.end(),
                     [s_addr](const AddressRange& r) { return (s_addr & r.mask) == r.s_addr; });
}

int check_pass(const sockaddr_in& sender, const uint8_t* packet, size_t len) {
  const Client* known = find_client(sender.sin_addr.s_addr, sender.sin_port);
  if (known && !(known->flags & F_RECHECK)) return 1;
  if (address_allowed(sender.sin_addr.s_addr)) return 1;
  if (settings.accept_qmz && is_legacy_registration(packet, len)) return 1;
  if (len < QMZP_HEAD_LEN || !has_magic(packet, len)) return 0;
  if (!settings.accept_any_mac) {
    const auto& macs = settings.macs;
    bool listed = std::any_of(macs.begin(), macs.end(), [&](const Mac& m) {
      return memcmp(m.data(), packet + QMZP_SENDER_ID, m.size()) == 0;
    });
    if (!listed) return 0;
  }
  size_t pos = QMZP_EXTS;
  for (unsigned i = 0; i < packet[QMZP_EXT_COUNT]; i++) {
    if (pos > len || len - pos < QMZP_EXT_HEAD_LEN) return 0;
    QMZP_ExtHead e = read_ext_head(packet, len, pos);
    pos += QMZP_EXT_HEAD_LEN;
    if (e.length > len - pos) return 0;
    if (e.type == QMZP_EXTENSION_PASSWORD_TYPE && password_matches(packet + pos, e.length)) return 1;
    pos += e.length;
  }
  return has_empty_password() ? 1 : 0;
}

std::string status_report_line(const uint8_t* buf, size_t len) {
  QMZP_Head h = read_head(buf, len);
  unsigned long long id = 0;
  for (int i = 5; i >= 0; i--) id = id << 8 | h.sender_id[i];
  TStreamStatus s = read_stream_status(buf, len, QMZP_STREAM_STATUS);
  char line[256];
  snprintf(line, sizeof line,
           "%llx:status:%d,recv frames=%u, lost frames:%u, dup frames:%u, drop frames=%u, min jitter=%u,max jitter=%u",
           id, s.status, s.received_frames, s.lost_frames, s.duplicate_frames, s.dropped_frames,
           static_cast<unsigned>(s.min_jitter), static_cast<unsigned>(s.max_jitter));
  return line;
}

// Registration and status report: only these create and enable an entry, so
// the active count is exactly the entries that receive the stream.
static void enable(const uint8_t* buf, size_t len, const sockaddr_in& sender, const QMZP_Head& h, uint8_t type) {
  Contact contact = register_client(sender.sin_addr.s_addr, sender.sin_port, h.sender_id);
  if (contact == Contact::kFull) {
    limited_line(table_full, "tolvek: client table full (max_clients %u): request from %s:%u not added.\n",
                 max_n_clients, inet_ntoa(sender.sin_addr), ntohs(sender.sin_port));
    return;
  }
  if (contact == Contact::kActivated)
    limited_line(client_added, "Adding client %s:%u on his request.\n", inet_ntoa(sender.sin_addr),
                 ntohs(sender.sin_port));
  if (type == QMZP_TYPE_STATUS) limited_line(status_report, "%s", status_report_line(buf, len).c_str());
}

void handle_control(const uint8_t* buf, size_t len, const sockaddr_in& sender) {
  if (!check_pass(sender, buf, len)) {
    limited_line(control_rejected, "2:Request from %s:%u rejected.\n", inet_ntoa(sender.sin_addr),
                 ntohs(sender.sin_port));
    return;
  }
  QMZP_Head h = read_head(buf, len);
  uint8_t type = message_type(h.vmt);
  if (type == QMZP_TYPE_REGISTER || type == QMZP_TYPE_STATUS) return enable(buf, len, sender, h, type);
  if (type != QMZP_TYPE_STOP) return;
  limited_line(stop_request, "2:Request from %s:%u to stop streaming.\n", inet_ntoa(sender.sin_addr),
               ntohs(sender.sin_port));
  // The next pass retires an enabled entry before sending to it.
  stop_client(sender.sin_addr.s_addr, sender.sin_port);
}
