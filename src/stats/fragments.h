// Reassembly of a fragmented reply (its format is in wire.h). Fragments may
// come in any order.
#ifndef TOLVEK_STATS_FRAGMENTS_H_
#define TOLVEK_STATS_FRAGMENTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Reassembly {
  bool started = false;
  uint32_t total = 0;          // payload length announced by the first fragment
  std::vector<bool> received;  // by fragment index
  size_t n_received = 0;
  std::string payload;
};

// Largest reply accepted, so a hostile header cannot make us allocate much.
constexpr uint32_t MAX_REASSEMBLED = 16u << 20;

// Adds one datagram. False, leaving r as it was, when the datagram does not
// belong to the reply: too short, a different total length, an index past
// its own total, a payload of the wrong size, or a duplicate.
bool add_fragment(Reassembly& r, const uint8_t* buf, size_t len);
bool reassembly_complete(const Reassembly& r);
// The indices still missing (all of them, as far as known, before the first).
std::vector<uint32_t> missing_fragments(const Reassembly& r);

#endif  // TOLVEK_STATS_FRAGMENTS_H_
