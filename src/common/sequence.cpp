#include "common/sequence.h"

SequenceStep sequence_step(SequenceWindow& w, unsigned seqno) {
  if (!w.last_seqno_valid) {
    w.last_seqno = seqno;
    w.last_seqno_valid = true;
    w.seen = ~uint64_t{0};  // nothing before the first datagram was counted lost
    return {SequenceKind::kFirst, 0};
  }
  unsigned ahead = (seqno - w.last_seqno) & 0xffff;
  if (ahead != 0 && ahead <= 0x8000) {
    w.last_seqno = seqno;
    w.seen = ahead >= 64 ? 1 : w.seen << ahead | 1;
    return {SequenceKind::kAhead, static_cast<int>(ahead - 1)};
  }
  unsigned behind = (w.last_seqno - seqno) & 0xffff;
  if (behind >= 64) return {SequenceKind::kStale, 0};
  if (w.seen >> behind & 1) return {SequenceKind::kDuplicate, 0};
  w.seen |= uint64_t{1} << behind;
  return {SequenceKind::kLate, -1};
}
