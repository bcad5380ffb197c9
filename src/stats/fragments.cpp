#include "stats/fragments.h"

#include <cstring>

#include "common/wire.h"

static size_t fragment_count(uint32_t total) { return (total + FRAGMENT_PAYLOAD - 1) / FRAGMENT_PAYLOAD; }

bool add_fragment(Reassembly& r, const uint8_t* buf, size_t len) {
  // Everything is checked before anything is kept: a stray datagram must
  // not decide what the reply looks like.
  if (len < FRAGMENT_HEADER) return false;
  uint32_t total = get_le32(buf);
  uint32_t index = get_le32(buf + 4);
  if (total == 0 || total > MAX_REASSEMBLED) return false;
  if (r.started && total != r.total) return false;
  if (index >= fragment_count(total)) return false;
  size_t offset = static_cast<size_t>(index) * FRAGMENT_PAYLOAD;
  size_t expected = total - offset < FRAGMENT_PAYLOAD ? total - offset : FRAGMENT_PAYLOAD;
  if (len - FRAGMENT_HEADER != expected) return false;
  if (r.started && r.received[index]) return false;
  if (!r.started) {
    r.started = true;
    r.total = total;
    r.received.assign(fragment_count(total), false);
    r.payload.assign(total, '\0');
  }
  memcpy(&r.payload[offset], buf + FRAGMENT_HEADER, expected);
  r.received[index] = true;
  r.n_received++;
  return true;
}

bool reassembly_complete(const Reassembly& r) { return r.started && r.n_received == r.received.size(); }

std::vector<uint32_t> missing_fragments(const Reassembly& r) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < r.received.size(); i++)
    if (!r.received[i]) out.push_back(i);
  return out;
}
