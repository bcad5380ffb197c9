// The benchmark's datagram, shared by loadgen (which writes it) and
// benchreceive and latreceive (which check it): a 12-byte RTP header, the
// datagram's number as 8 bytes little-endian, then a fixed pattern up to the
// datagram's size. For latreceive the first 8 bytes of the pattern carry the
// send time instead.
#ifndef TOLVEK_BENCH_DATAGRAM_H_
#define TOLVEK_BENCH_DATAGRAM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t BENCH_HEADER = 20;          // RTP header and the number
constexpr size_t BENCH_STAMPED_HEADER = 28;  // and the send time
constexpr size_t BENCH_MAX_SIZE = 2048;

inline void bench_put_be(uint8_t* p, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

inline void bench_put_le(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

inline uint64_t bench_get_le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// Writes the fields that depend on the datagram's number i.
inline void bench_number(uint8_t* d, uint64_t i, uint32_t run) {
  d[0] = 0x80;  // RTP version 2
  d[1] = 96;    // a dynamic payload type
  bench_put_be(d + 2, i & 0xffff, 2);
  bench_put_be(d + 4, i * 90, 4);
  bench_put_be(d + 8, run, 4);
  bench_put_le(d + 12, i, 8);
}

inline uint8_t bench_pattern(size_t offset) { return static_cast<uint8_t>(offset * 7 + 3); }

inline void bench_fill(uint8_t* d, size_t size, uint64_t i, uint32_t run) {
  bench_number(d, i, run);
  for (size_t k = BENCH_HEADER; k < size; k++) d[k] = bench_pattern(k);
}

#endif  // TOLVEK_BENCH_DATAGRAM_H_
