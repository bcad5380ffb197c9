// tolvek-join's state: what it counts of the stream it forwards, when that
// stream starts, stops and resumes, when forwarding it fails and recovers,
// when registrations and status reports fall due, and what it can tell of
// why no stream comes.
//
// Times are monotonic seconds from double_time(). The counts are since
// start and use the repeater's own sequence accounting; nothing here
// allocates, so the per-datagram call costs no more than its arithmetic.
#ifndef TOLVEK_JOIN_JOIN_H_
#define TOLVEK_JOIN_JOIN_H_

#include <cstddef>
#include <cstdint>

#include "common/sequence.h"
#include "common/wire.h"

// A stream silent for longer than this has stopped.
constexpr double JOIN_STREAM_TIMEOUT = 5.0;
// The repeater drops a client after 20 s without a registration: a period
// above this leaves too little room for one lost registration.
constexpr double JOIN_MAX_INTERVAL = 15.0;
// A stream silent for longer than this while registered draws a
// registration at once: the repeater may have restarted without its table.
constexpr double JOIN_GAP_REGISTRATION = 1.0;

// Forwarding fails from the first forward that failed (or was refused)
// until forwards have gone out for this long without one failing. While a
// player stays unreachable, the kernel tells of the refusal of a datagram
// a round trip later, with the next send or receive, and the datagram
// after goes out unhindered: a send that succeeds proves nothing.
constexpr double JOIN_FORWARD_QUIET = 1.0;

enum class JoinEvent { kNone, kStarted, kStopped, kResumed };

// Why no stream comes, as far as tolvek-join can tell. A repeater that
// rejects a registration answers nothing at all, as does an address where
// nothing runs behind a firewall, or a port of the repeater that is not its
// output port, or a repeater without a stream: all of these are kNoAnswer.
// Only an error coming back (an ICMP unreachable, or a send that fails)
// tells more.
enum class JoinDiagnosis {
  kNone,
  kNoAnswer,     // no stream yet, and nothing came back
  kRefused,      // the repeater's address refuses: nothing listens on its port
  kUnreachable,  // sending there fails otherwise (join_state.answer_error)
};

// The first line about a missing stream comes warn_after seconds without
// one; each next after twice the gap before, up to this (or warn_after, if
// longer): a player left running for days writes a few lines an hour.
constexpr double JOIN_DIAGNOSIS_MAX_GAP = 300.0;

// What is due, as bits.
constexpr unsigned JOIN_SEND_REGISTRATION = 1;
constexpr unsigned JOIN_SEND_STATUS = 2;

struct JoinState {
  double interval = 5.0;          // registration period
  double status_interval = 10.0;  // 0: no status reports
  double next_registration = 0;
  double next_status = 0;

  SequenceWindow window;
  uint64_t received_frames = 0;
  uint64_t lost_frames = 0;
  uint64_t duplicate_frames = 0;
  uint64_t dropped_frames = 0;  // received, but not forwarded or refused by the player's host
  double last_datagram = 0;
  double silence = 0;  // how long the stream was stopped, when it resumes
  bool started = false;
  bool stopped = false;
  bool gap_registered = false;  // the registration for this gap in the stream is sent

  bool forward_failing = false;
  double forward_ok_since = -1;  // the first forward since the last failure, -1 for none
  uint64_t failing_dropped = 0;  // frames dropped since forwarding began failing

  double warn_after = 0;        // 0: never tell of a missing stream
  double started_at = 0;        // when join_start ran
  double next_diagnosis = -1;   // when to look again for what to tell; -1: not while the stream flows
  double diagnosis_gap = 0;     // until the look after that
  int answer_error = 0;         // the last error sending to the repeater met or drew, 0 for none
  double answer_error_at = 0;
};

extern const JoinState& join_state;  // this module alone writes it

// For tests: the state, to set up a case directly.
JoinState& join_state_for_tests();

void join_reset();

// Starts the schedule at now: a registration at once, the first status
// report one status interval later, the first look at a missing stream
// warn_after seconds later (0: none).
void join_start(double interval, double status_interval, double warn_after = 0);

// Counts one datagram from the repeater (its sequence number is bytes 2-3;
// a shorter one is counted as received only). JoinEvent::kStarted for the first,
// JoinEvent::kResumed for the first after a stop (join_state.silence tells how
// long it was), else JoinEvent::kNone.
JoinEvent join_datagram(const uint8_t* buf, size_t len);

// JoinEvent::kStopped, once, when the stream has been silent for more than
// JOIN_STREAM_TIMEOUT; else JoinEvent::kNone.
JoinEvent join_check_silence();

// Notes err, an errno that a send to the repeater met, or that its address
// sent back (an ICMP unreachable shows on the connected socket).
void join_answer_error(int err);

// What to tell now of a missing stream: kNone but when a look is due. Until
// the stream first comes, every look tells something; once it has come and
// stopped (which is told by itself), only an error does. An error counts for
// two registration periods and a second after it came: while registrations
// draw it, it keeps coming.
JoinDiagnosis join_check_no_stream();

// Seconds without the stream: since the start, or since its last datagram.
double join_no_stream_for();

// Counts one frame that could not be forwarded, or whose refusal came
// back, as dropped. True when this begins a failing spell.
bool join_forward_failed();

// Notes a forward that went out. True when it ends a failing spell:
// forwards have gone out for JOIN_FORWARD_QUIET s since the last failure.
// Reads the clock only while forwarding fails.
bool join_forward_sent();

// What is due now, and the schedule moved on past it. A period missed
// altogether (the process was stopped) is not made up with a burst. Once
// the stream has started, a gap of more than JOIN_GAP_REGISTRATION makes a
// registration due at once, once a gap, and the period starts again from it.
unsigned join_due();

// Seconds until join_due(), join_check_silence() or join_check_no_stream()
// may have something.
double join_next_wakeup();

// The record a status report carries: received, lost, duplicate and dropped
// frames since start (each kept to its low 32 bits), the rest 0.
TStreamStatus join_status();

#endif  // TOLVEK_JOIN_JOIN_H_
