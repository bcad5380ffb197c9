#include "stats/fragments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fragment(uint32_t total, uint32_t index, const std::string& payload) {
  Bytes d(8);
  for (int i = 0; i < 4; i++) {
    d[i] = static_cast<uint8_t>(total >> (8 * i));
    d[4 + i] = static_cast<uint8_t>(index >> (8 * i));
  }
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

bool add(Reassembly& r, const Bytes& d) { return add_fragment(r, d.data(), d.size()); }

}  // namespace

TEST(Reassembly, FragmentsInAnyOrder) {
  std::string text(3000, 'a');
  for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('a' + i % 26);
  Reassembly r;
  EXPECT_TRUE(add(r, fragment(3000, 2, text.substr(2800))));
  EXPECT_FALSE(reassembly_complete(r));
  EXPECT_EQ(missing_fragments(r), (std::vector<uint32_t>{0, 1}));
  EXPECT_TRUE(add(r, fragment(3000, 0, text.substr(0, 1400))));
  EXPECT_FALSE(add(r, fragment(3000, 0, text.substr(0, 1400))));  // duplicate
  EXPECT_TRUE(add(r, fragment(3000, 1, text.substr(1400, 1400))));
  EXPECT_TRUE(reassembly_complete(r));
  EXPECT_EQ(r.payload, text);
}

TEST(Reassembly, ForeignDatagramsAreRefused) {
  Reassembly r;
  EXPECT_FALSE(add(r, Bytes{1, 2, 3}));
  EXPECT_FALSE(add(r, fragment(0, 0, "")));
  EXPECT_FALSE(add(r, fragment(0xffffffff, 0, "x")));
  EXPECT_FALSE(r.started);
  EXPECT_TRUE(add(r, fragment(1401, 1, "z")));
  EXPECT_FALSE(add(r, fragment(1402, 0, std::string(1400, 'y'))));  // another total
  EXPECT_FALSE(add(r, fragment(1401, 2, "z")));                    // index out of range
  EXPECT_FALSE(add(r, fragment(1401, 0, std::string(1399, 'y'))));  // short payload
  EXPECT_FALSE(reassembly_complete(r));
  EXPECT_TRUE(add(r, fragment(1401, 0, std::string(1400, 'y'))));
  EXPECT_TRUE(reassembly_complete(r));
  EXPECT_EQ(r.payload, std::string(1400, 'y') + "z");
}

// A refused datagram must not touch the state, least of all decide the
// total length the real fragments are then measured against.
TEST(Reassembly, RefusedDatagramsLeaveNoTrace) {
  auto same = [](const Reassembly& a, const Reassembly& b) {
    return a.started == b.started && a.total == b.total && a.received == b.received &&
           a.n_received == b.n_received && a.payload == b.payload;
  };
  const Bytes strays[] = {
      Bytes{0x88, 0x13, 0, 0, 0x63, 0, 0, 0},  // 5000 bytes, index 99: past its own end
      fragment(5000, 3, ""),                   // the last of 5000 without its 800 bytes
      fragment(10, 0, "short"),
      Bytes{2, 0, 0, 0, 0, 0, 0},
  };
  Reassembly r;
  for (const Bytes& d : strays) {
    Reassembly before = r;
    EXPECT_FALSE(add(r, d));
    EXPECT_TRUE(same(r, before));
  }
  EXPECT_TRUE(add(r, fragment(1401, 1, "z")));
  for (const Bytes& d : {fragment(2, 0, "{}"), fragment(1401, 1, "z"), fragment(1401, 5, "z")}) {
    Reassembly before = r;
    EXPECT_FALSE(add(r, d));
    EXPECT_TRUE(same(r, before));
  }
}

TEST(Reassembly, TwoByteReplyInOneFragment) {
  Reassembly r;
  EXPECT_TRUE(add(r, fragment(2, 0, "{}")));
  EXPECT_TRUE(reassembly_complete(r));
  EXPECT_EQ(r.payload, "{}");
}
