// The wire formats tolvek speaks, shared by the daemon and its companions:
// byte order helpers, the control packet (header, extension records, the
// stream status record, and the packets each side writes), and the header of
// a fragmented reply.
//
// Multi-byte fields of the stream status record and of the fragment header
// are little-endian; extension lengths are big-endian. Readers take the
// datagram's length: a byte past the end reads as 0, never as what an earlier
// datagram left in a receive area. Nothing here knows the daemon's state.
#ifndef TOLVEK_COMMON_WIRE_H_
#define TOLVEK_COMMON_WIRE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A sender id, normally the sender's MAC address.
using Mac = std::array<uint8_t, 6>;

// Bounded readers: byte i of a datagram of len bytes, and the little-endian
// (le) or big-endian (be) field that starts at i.
uint8_t byte_at(const uint8_t* buf, size_t len, size_t i);
uint16_t le16_at(const uint8_t* buf, size_t len, size_t i);
uint32_t le32_at(const uint8_t* buf, size_t len, size_t i);
uint16_t be16_at(const uint8_t* buf, size_t len, size_t i);

// Unbounded, for buffers the caller has sized.
inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t get_le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Offsets of the header fields.
constexpr size_t QMZP_MAGIC = 0;  // "QMZ", 3 bytes
constexpr size_t QMZP_VMT = 3;    // low five bits: message type
constexpr size_t QMZP_SENDER_ID = 4;  // 6 bytes, normally the sender's MAC
constexpr size_t QMZP_EXT_COUNT = 10;
constexpr size_t QMZP_RESVD = 11;
constexpr size_t QMZP_EXTS = 12;  // extension records: type, length (big-endian 16), data
constexpr size_t QMZP_HEAD_LEN = 11;  // up to and including ext_count
constexpr size_t QMZP_EXT_HEAD_LEN = 3;

constexpr uint8_t QMZP_EXTENSION_PASSWORD_TYPE = 1;
constexpr uint8_t QMZP_EXTENSION_STREAM_STATUS_TYPE = 2;

constexpr uint8_t QMZP_TYPE_REGISTER = 0;
constexpr uint8_t QMZP_TYPE_STATUS = 1;
constexpr uint8_t QMZP_TYPE_STOP = 2;
// The message type is the low five bits of vmt; the upper three are not
// read, and what tolvek writes carries 001 there.
constexpr uint8_t QMZP_TYPE_MASK = 0x1f;
constexpr uint8_t QMZP_VERSION_BITS = 0x20;
inline uint8_t message_type(uint8_t vmt) { return vmt & QMZP_TYPE_MASK; }

// The magic the header starts with, and the bare legacy registration: the
// magic and a NUL, 4 bytes.
constexpr char QMZP_MAGIC_TEXT[] = "QMZ";
constexpr size_t QMZP_MAGIC_LEN = sizeof QMZP_MAGIC_TEXT - 1;
constexpr size_t QMZP_LEGACY_LEN = sizeof QMZP_MAGIC_TEXT;
// REQUIRES for each: len bytes at buf.
bool has_magic(const uint8_t* buf, size_t len);
bool is_legacy_registration(const uint8_t* buf, size_t len);

// Where a status report's TStreamStatus starts: behind the header and the
// first extension record's type and length.
constexpr size_t QMZP_STREAM_STATUS = QMZP_EXTS + QMZP_EXT_HEAD_LEN;

struct QMZP_Head {
  uint8_t vmt;
  uint8_t sender_id[6];
  uint8_t ext_count;
};

// An extension record's head; its data follows.
struct QMZP_ExtHead {
  uint8_t type;
  uint16_t length;  // of the data; big-endian on the wire
};

constexpr size_t TSTREAM_STATUS_LEN = 27;
constexpr size_t QMZP_EXT_LEN = QMZP_EXT_HEAD_LEN + TSTREAM_STATUS_LEN;  // a stream status extension, whole

struct TStreamStatus {
  uint8_t status;
  uint32_t received_frames;
  uint32_t lost_frames;
  uint32_t duplicate_frames;
  uint32_t dropped_frames;
  uint16_t max_jitter;
  uint16_t min_jitter;
  uint16_t avg_jitter;
  uint16_t avg_delay;
  uint16_t bit_rate;
};

QMZP_Head read_head(const uint8_t* buf, size_t len);
QMZP_ExtHead read_ext_head(const uint8_t* buf, size_t len, size_t offset);
TStreamStatus read_stream_status(const uint8_t* buf, size_t len, size_t offset);

// The upstream keep-alive: a registration from "tolvek" carrying password
// (without its NUL) in a password extension; password.size() + 15 bytes.
std::vector<uint8_t> build_trigger(const std::string& password);

// The control packets a client sends, with the type byte's upper three bits
// 001 as in the keep-alive. With a password (REQUIRES: shorter than 65535
// bytes), the last record is a password extension carrying its text and its
// NUL, the form the admission check matches; without one, 12 bytes of header.
std::vector<uint8_t> build_registration(const Mac& sender_id, const std::optional<std::string>& password);
std::vector<uint8_t> build_stop(const Mac& sender_id, const std::optional<std::string>& password);
// The stream status extension comes first: the control path reads the
// record at the fixed offset QMZP_STREAM_STATUS.
std::vector<uint8_t> build_status_report(const Mac& sender_id, const std::optional<std::string>& password,
                                         const TStreamStatus& status);

// A stream datagram's RTP sequence number: bytes 2-3, big-endian, or
// NO_SEQNO for a datagram too short to carry one (it is relayed all the
// same).
constexpr int NO_SEQNO = -1;
inline int rtp_sequence_number(const uint8_t* buf, size_t len) {
  return len >= 4 ? buf[2] << 8 | buf[3] : NO_SEQNO;
}

// The fragmented reply: each datagram is an 8-byte header (the whole
// payload's length, then the fragment's index, each 4 bytes little-endian)
// and up to 1400 payload bytes from offset index * 1400.
constexpr size_t FRAGMENT_PAYLOAD = 1400;
constexpr size_t FRAGMENT_HEADER = 8;

// Requests on the statistics port, matched as prefixes of the datagram:
// the JSON report of the stream and its clients, and the daemon's own state.
constexpr char STATS_REQUEST[] = "get_stats";
constexpr char STATUS_REQUEST[] = "get_status";
constexpr size_t STATS_REQUEST_LEN = sizeof STATS_REQUEST - 1;
constexpr size_t STATUS_REQUEST_LEN = sizeof STATUS_REQUEST - 1;

#endif  // TOLVEK_COMMON_WIRE_H_
