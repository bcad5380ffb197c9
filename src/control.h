// Control packets: their wire format, the admission check and what an
// admitted packet does to the client table.
//
// Multi-byte fields of the stream status record are little-endian; extension
// lengths are big-endian. Every field is read byte by byte and bounded by the
// datagram's length: a byte past the end reads as 0.
#ifndef TOLVEK_CONTROL_H_
#define TOLVEK_CONTROL_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

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

// Admission check: 1 admits the sender, 0 rejects it.
int check_pass(const sockaddr_in& sender, const uint8_t* packet, size_t len);

// Control path for one datagram from the output socket.
void handle_control(const uint8_t* buf, size_t len, const sockaddr_in& sender);

// The system log line for a status report.
std::string status_report_line(const uint8_t* buf, size_t len);

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

#endif  // TOLVEK_CONTROL_H_
