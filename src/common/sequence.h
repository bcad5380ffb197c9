// Loss accounting over 16-bit RTP sequence numbers, shared by the daemon's
// statistics and tolvek-join's status reports so both count alike.
//
// A forward step of d (1 to 32768) makes the datagram the new position and
// counts d - 1 lost. A datagram up to 63 numbers behind the position that
// has not been seen fills a gap and takes back one loss; one already seen is
// a duplicate. Anything else (further behind, or more than 32768 ahead, as
// after a restarted source) counts nothing and leaves the position.
#ifndef TOLVEK_COMMON_SEQUENCE_H_
#define TOLVEK_COMMON_SEQUENCE_H_

#include <cstdint>

struct SequenceWindow {
  unsigned last_seqno = 0;  // the stream position
  // Bit i: last_seqno - i has arrived. Lets a late datagram take back the
  // loss its gap was counted as.
  uint64_t seen = 0;
  bool last_seqno_valid = false;  // set by the first sequence number
};

enum class SequenceKind {
  kFirst,      // the first number: the position, no loss
  kAhead,      // a new position
  kLate,       // fills a gap counted a moment ago
  kDuplicate,  // seen already
  kStale,      // too far behind (or ahead) to tell
};

struct SequenceStep {
  SequenceKind kind;
  int loss;  // change of the loss count: d - 1 ahead, -1 late, else 0
};

// Moves the window on by one datagram's sequence number (0 to 65535).
SequenceStep sequence_step(SequenceWindow& w, unsigned seqno);

// Adds a step's change to a running count of lost datagrams: d - 1 ahead,
// and one taken back for a late datagram, whose gap was counted before.
inline void count_loss(uint64_t& lost, const SequenceStep& step) {
  if (step.loss >= 0) {
    lost += static_cast<unsigned>(step.loss);
  } else {
    lost--;
  }
}

#endif  // TOLVEK_COMMON_SEQUENCE_H_
