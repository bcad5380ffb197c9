#include "control.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "clients.h"
#include "config.h"
#include "sys.h"

// Bytes past the datagram read as zero, never as what an earlier datagram
// left in the receive area.
static uint8_t byte_at(const uint8_t* buf, size_t len, size_t i) { return i < len ? buf[i] : 0; }

static uint16_t le16_at(const uint8_t* buf, size_t len, size_t i) {
  return static_cast<uint16_t>(byte_at(buf, len, i) | byte_at(buf, len, i + 1) << 8);
}

static uint32_t le32_at(const uint8_t* buf, size_t len, size_t i) {
  return static_cast<uint32_t>(le16_at(buf, len, i)) | static_cast<uint32_t>(le16_at(buf, len, i + 2)) << 16;
}

QMZP_Head read_head(const uint8_t* buf, size_t len) {
  QMZP_Head h{};
  h.vmt = byte_at(buf, len, QMZP_VMT);
  for (size_t i = 0; i < 6; i++) h.sender_id[i] = byte_at(buf, len, QMZP_SENDER_ID + i);
  h.ext_count = byte_at(buf, len, QMZP_EXT_COUNT);
  return h;
}

QMZP_ExtHead read_ext_head(const uint8_t* buf, size_t len, size_t offset) {
  QMZP_ExtHead e{};
  e.type = byte_at(buf, len, offset);
  e.length = static_cast<uint16_t>(byte_at(buf, len, offset + 1) << 8 | byte_at(buf, len, offset + 2));
  return e;
}

TStreamStatus read_stream_status(const uint8_t* buf, size_t len, size_t offset) {
  TStreamStatus s{};
  s.status = byte_at(buf, len, offset);
  s.received_frames = le32_at(buf, len, offset + 1);
  s.lost_frames = le32_at(buf, len, offset + 5);
  s.duplicate_frames = le32_at(buf, len, offset + 9);
  s.dropped_frames = le32_at(buf, len, offset + 13);
  s.max_jitter = le16_at(buf, len, offset + 17);
  s.min_jitter = le16_at(buf, len, offset + 19);
  s.avg_jitter = le16_at(buf, len, offset + 21);
  s.avg_delay = le16_at(buf, len, offset + 23);
  s.bit_rate = le16_at(buf, len, offset + 25);
  return s;
}

static bool has_empty_password() {
  return std::any_of(settings.passwords.begin(), settings.passwords.end(),
                     [](const std::string& p) { return p.empty(); });
}

// A password matches only with its terminating NUL.
static bool password_matches(const uint8_t* data, size_t length) {
  for (const std::string& p : settings.passwords) {
    if (p.empty()) return true;
    if (length == p.size() + 1 && memcmp(data, p.c_str(), length) == 0) return true;
  }
  return false;
}

int check_pass(const sockaddr_in& sender, const uint8_t* packet, size_t len) {
  if (find_client(sender.sin_addr.s_addr, sender.sin_port)) return 1;
  const auto& ips = settings.ips;
  if (std::find(ips.begin(), ips.end(), sender.sin_addr.s_addr) != ips.end()) return 1;
  if (settings.accept_qmz && len == 4 && memcmp(packet, "QMZ", 4) == 0) return 1;
  if (len < QMZP_HEAD_LEN || memcmp(packet + QMZP_MAGIC, "QMZ", 3) != 0) return 0;
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
  Client* c = get_client(sender.sin_addr.s_addr, sender.sin_port);
  if (!c) return;
  if (!(c->flags & F_ACTIVE)) {
    n_active_clients++;
    limited_line(LINE_CLIENT_ADDED, "Adding client %s:%u on his request.\n", inet_ntoa(sender.sin_addr),
                 ntohs(sender.sin_port));
    memcpy(c->mac, h.sender_id, sizeof c->mac);
  }
  c->flags |= F_ENABLED;
  c->timestamp = static_cast<time_t>(wall_time());
  c->last_contact = mono_seconds();
  if (type == QMZP_TYPE_STATUS) limited_line(LINE_STATUS_REPORT, "%s", status_report_line(buf, len).c_str());
}

void handle_control(const uint8_t* buf, size_t len, const sockaddr_in& sender) {
  if (!check_pass(sender, buf, len)) {
    limited_line(LINE_CONTROL_REJECTED, "2:Request from %s:%u rejected.\n", inet_ntoa(sender.sin_addr),
                 ntohs(sender.sin_port));
    return;
  }
  QMZP_Head h = read_head(buf, len);
  uint8_t type = h.vmt & 0x1f;
  if (type == QMZP_TYPE_REGISTER || type == QMZP_TYPE_STATUS) return enable(buf, len, sender, h, type);
  if (type != QMZP_TYPE_STOP) return;
  limited_line(LINE_STOP_REQUEST, "2:Request from %s:%u to stop streaming.\n", inet_ntoa(sender.sin_addr),
               ntohs(sender.sin_port));
  if (Client* c = find_client(sender.sin_addr.s_addr, sender.sin_port)) {
    // The next pass retires an enabled entry before sending to it.
    c->timestamp = 0;
    c->last_contact = CONTACT_STOPPED;
  }
}

// The writers mirror the readers above: extension lengths big-endian, the
// status record's fields little-endian.
static void append_be16(std::vector<uint8_t>& p, size_t v) {
  p.push_back(static_cast<uint8_t>(v >> 8));
  p.push_back(static_cast<uint8_t>(v));
}

static void append_le(std::vector<uint8_t>& p, uint32_t v, int n_bytes) {
  for (int i = 0; i < n_bytes; i++) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

static std::vector<uint8_t> build_head(uint8_t vmt, const uint8_t* sender_id, uint8_t ext_count) {
  std::vector<uint8_t> p;
  p.reserve(64);
  for (uint8_t b : {uint8_t{'Q'}, uint8_t{'M'}, uint8_t{'Z'}, vmt}) p.push_back(b);
  for (size_t i = 0; i < 6; i++) p.push_back(sender_id[i]);
  p.push_back(ext_count);
  p.push_back(0);
  return p;
}

static void append_password(std::vector<uint8_t>& p, const std::string& password, bool with_nul) {
  p.push_back(QMZP_EXTENSION_PASSWORD_TYPE);
  append_be16(p, password.size() + (with_nul ? 1 : 0));
  p.insert(p.end(), password.begin(), password.end());
  if (with_nul) p.push_back(0);
}

std::vector<uint8_t> build_trigger(const std::string& password) {
  static const uint8_t id[6] = {'t', 'o', 'l', 'v', 'e', 'k'};
  std::vector<uint8_t> p = build_head(0x20 | QMZP_TYPE_REGISTER, id, 1);
  append_password(p, password, false);
  return p;
}

static std::vector<uint8_t> build_client_packet(uint8_t type, const Mac& sender_id,
                                                const std::optional<std::string>& password,
                                                const TStreamStatus* status) {
  uint8_t ext_count = static_cast<uint8_t>((status ? 1 : 0) + (password ? 1 : 0));
  std::vector<uint8_t> p = build_head(static_cast<uint8_t>(0x20 | type), sender_id.data(), ext_count);
  if (status) {
    p.push_back(QMZP_EXTENSION_STREAM_STATUS_TYPE);
    append_be16(p, TSTREAM_STATUS_LEN);
    p.push_back(status->status);
    append_le(p, status->received_frames, 4);
    append_le(p, status->lost_frames, 4);
    append_le(p, status->duplicate_frames, 4);
    append_le(p, status->dropped_frames, 4);
    append_le(p, status->max_jitter, 2);
    append_le(p, status->min_jitter, 2);
    append_le(p, status->avg_jitter, 2);
    append_le(p, status->avg_delay, 2);
    append_le(p, status->bit_rate, 2);
  }
  if (password) append_password(p, *password, true);
  return p;
}

std::vector<uint8_t> build_registration(const Mac& sender_id, const std::optional<std::string>& password) {
  return build_client_packet(QMZP_TYPE_REGISTER, sender_id, password, nullptr);
}

std::vector<uint8_t> build_stop(const Mac& sender_id, const std::optional<std::string>& password) {
  return build_client_packet(QMZP_TYPE_STOP, sender_id, password, nullptr);
}

std::vector<uint8_t> build_status_report(const Mac& sender_id, const std::optional<std::string>& password,
                                         const TStreamStatus& status) {
  return build_client_packet(QMZP_TYPE_STATUS, sender_id, password, &status);
}
