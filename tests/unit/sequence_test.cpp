#include "common/sequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using K = SequenceKind;

std::string name(K k) {
  switch (k) {
    case K::kFirst: return "first";
    case K::kAhead: return "ahead";
    case K::kLate: return "late";
    case K::kDuplicate: return "duplicate";
    case K::kStale: return "stale";
  }
  return "?";
}

}  // namespace

// The loss arithmetic itself is covered through the daemon's statistics;
// these are the verdicts tolvek-join counts duplicates by.
TEST(SequenceWindow, ClassifiesEachNumber) {
  struct Case {
    std::vector<unsigned> seqnos;
    std::vector<K> kinds;
    std::vector<int> losses;
  } cases[] = {
      {{7, 8, 8, 7}, {K::kFirst, K::kAhead, K::kDuplicate, K::kDuplicate}, {0, 0, 0, 0}},
      {{10, 13, 11, 11, 12}, {K::kFirst, K::kAhead, K::kLate, K::kDuplicate, K::kLate}, {0, 2, -1, 0, -1}},
      {{65535, 1, 0}, {K::kFirst, K::kAhead, K::kLate}, {0, 1, -1}},
      {{5, 4}, {K::kFirst, K::kDuplicate}, {0, 0}},  // before the first: never counted lost
      {{0, 100, 37, 36}, {K::kFirst, K::kAhead, K::kLate, K::kStale}, {0, 99, -1, 0}},
      {{0, 32768, 32768 + 32769}, {K::kFirst, K::kAhead, K::kStale}, {0, 32767, 0}},
      {{0, 200, 100}, {K::kFirst, K::kAhead, K::kStale}, {0, 199, 0}},  // a step of 64 or more forgets the gap
  };
  for (const Case& c : cases) {
    SequenceWindow w;
    for (size_t i = 0; i < c.seqnos.size(); i++) {
      SequenceStep s = sequence_step(w, c.seqnos[i] & 0xffff);
      EXPECT_EQ(name(s.kind), name(c.kinds[i])) << "case starting " << c.seqnos[0] << ", number " << i;
      EXPECT_EQ(s.loss, c.losses[i]) << "case starting " << c.seqnos[0] << ", number " << i;
    }
  }
}
