#include "common/wire.h"

#include <cstdio>
#include <cstring>

uint8_t byte_at(const uint8_t* buf, size_t len, size_t i) { return i < len ? buf[i] : 0; }

uint16_t le16_at(const uint8_t* buf, size_t len, size_t i) {
  return static_cast<uint16_t>(byte_at(buf, len, i) | byte_at(buf, len, i + 1) << 8);
}

uint32_t le32_at(const uint8_t* buf, size_t len, size_t i) {
  return static_cast<uint32_t>(le16_at(buf, len, i)) | static_cast<uint32_t>(le16_at(buf, len, i + 2)) << 16;
}

uint16_t be16_at(const uint8_t* buf, size_t len, size_t i) {
  return static_cast<uint16_t>(byte_at(buf, len, i) << 8 | byte_at(buf, len, i + 1));
}

bool has_magic(const uint8_t* buf, size_t len) {
  return len >= QMZP_MAGIC_LEN && memcmp(buf + QMZP_MAGIC, QMZP_MAGIC_TEXT, QMZP_MAGIC_LEN) == 0;
}

bool is_legacy_registration(const uint8_t* buf, size_t len) {
  return len == QMZP_LEGACY_LEN && memcmp(buf, QMZP_MAGIC_TEXT, QMZP_LEGACY_LEN) == 0;
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
  e.length = be16_at(buf, len, offset + 1);
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
  p.insert(p.end(), QMZP_MAGIC_TEXT, QMZP_MAGIC_TEXT + QMZP_MAGIC_LEN);
  p.push_back(vmt);
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
  std::vector<uint8_t> p = build_head(QMZP_VERSION_BITS | QMZP_TYPE_REGISTER, id, 1);
  append_password(p, password, false);
  return p;
}

static std::vector<uint8_t> build_client_packet(uint8_t type, const Mac& sender_id,
                                                const std::optional<std::string>& password,
                                                const TStreamStatus* status) {
  uint8_t ext_count = static_cast<uint8_t>((status ? 1 : 0) + (password ? 1 : 0));
  std::vector<uint8_t> p = build_head(static_cast<uint8_t>(QMZP_VERSION_BITS | type), sender_id.data(), ext_count);
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
