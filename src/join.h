// tolvek-join's state: what it counts of the stream it forwards, when that
// stream starts, stops and resumes, when forwarding it fails and recovers,
// and when registrations and status reports fall due.
//
// Times are monotonic seconds from double_time(). The counts are since
// start and use the repeater's own sequence accounting; nothing here
// allocates, so the per-datagram call costs no more than its arithmetic.
#ifndef TOLVEK_JOIN_H_
#define TOLVEK_JOIN_H_

#include <cstddef>
#include <cstdint>

#include "wire.h"
#include "sequence.h"

// A stream silent for longer than this has stopped.
constexpr double JOIN_STREAM_TIMEOUT = 5.0;
// The repeater drops a client after 20 s without a registration: a period
// above this leaves too little room for one lost registration.
constexpr double JOIN_MAX_INTERVAL = 15.0;

// Forwarding fails from the first forward that failed (or was refused)
// until forwards have gone out for this long without one failing. While a
// player stays unreachable, the kernel tells of the refusal of a datagram
// a round trip later, with the next send or receive, and the datagram
// after goes out unhindered: a send that succeeds proves nothing.
constexpr double JOIN_FORWARD_QUIET = 1.0;

enum class JoinEvent { kNone, kStarted, kStopped, kResumed };

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

  bool forward_failing = false;
  double forward_ok_since = -1;  // the first forward since the last failure, -1 for none
  uint64_t failing_dropped = 0;  // frames dropped since forwarding began failing
};

extern JoinState join_state;

void join_reset();

// Starts the schedule at now: a registration at once, the first status
// report one status interval later.
void join_start(double interval, double status_interval);

// Counts one datagram from the repeater (its sequence number is bytes 2-3;
// a shorter one is counted as received only). JoinEvent::kStarted for the first,
// JoinEvent::kResumed for the first after a stop (join_state.silence tells how
// long it was), else JoinEvent::kNone.
JoinEvent join_datagram(const uint8_t* buf, size_t len);

// JoinEvent::kStopped, once, when the stream has been silent for more than
// JOIN_STREAM_TIMEOUT; else JoinEvent::kNone.
JoinEvent join_check_silence();

// Counts one frame that could not be forwarded, or whose refusal came
// back, as dropped. True when this begins a failing spell.
bool join_forward_failed();

// Notes a forward that went out. True when it ends a failing spell:
// forwards have gone out for JOIN_FORWARD_QUIET s since the last failure.
// Reads the clock only while forwarding fails.
bool join_forward_sent();

// What is due now, and the schedule moved on past it. A period missed
// altogether (the process was stopped) is not made up with a burst.
unsigned join_due();

// Seconds until join_due() or join_check_silence() may have something.
double join_next_wakeup();

// The record a status report carries: received, lost, duplicate and dropped
// frames since start (each kept to its low 32 bits), the rest 0.
TStreamStatus join_status();

#endif  // TOLVEK_JOIN_H_
