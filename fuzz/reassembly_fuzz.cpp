// Any datagrams, in any order, into tolvek-stats's reassembly of a reply: a
// refused one leaves no trace, an accepted one lands where its index says.
#include <cstring>

#include "common/wire.h"
#include "fuzz_support.h"
#include "stats/fragments.h"

// What a refused datagram could have changed; the payload in full while it
// is small, else around where the datagram would have gone.
struct Snapshot {
  bool started;
  uint32_t total;
  std::vector<bool> received;
  size_t n_received;
  size_t payload_size;
  std::string payload;
};

static Snapshot snapshot(const Reassembly& r, size_t offset) {
  Snapshot s{r.started, r.total, r.received, r.n_received, r.payload.size(), {}};
  if (r.payload.size() <= 65536) {
    s.payload = r.payload;
  } else if (offset < r.payload.size()) {
    s.payload = r.payload.substr(offset, FRAGMENT_PAYLOAD);
  }
  return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Reassembly r;
  while (!in.empty()) {
    size_t len;
    const uint8_t* d = in.bytes(in.byte() | (in.byte() & 7) << 8, len);
    size_t offset = len >= FRAGMENT_HEADER ? static_cast<size_t>(get_le32(d + 4)) * FRAGMENT_PAYLOAD : 0;
    Snapshot before = snapshot(r, offset);
    if (add_fragment(r, d, len)) {
      FUZZ_CHECK(r.n_received == before.n_received + 1);
      FUZZ_CHECK(r.total == get_le32(d) && r.payload.size() == r.total);
      FUZZ_CHECK(memcmp(&r.payload[offset], d + FRAGMENT_HEADER, len - FRAGMENT_HEADER) == 0);
    } else {
      Snapshot after = snapshot(r, offset);
      FUZZ_CHECK(after.started == before.started && after.total == before.total);
      FUZZ_CHECK(after.received == before.received && after.n_received == before.n_received);
      FUZZ_CHECK(after.payload_size == before.payload_size && after.payload == before.payload);
    }
    FUZZ_CHECK(missing_fragments(r).size() + r.n_received == r.received.size());
    if (reassembly_complete(r)) FUZZ_CHECK(r.payload.size() == r.total && missing_fragments(r).empty());
  }
  return 0;
}
