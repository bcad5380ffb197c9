#include "join/join.h"

#include <algorithm>
#include <cerrno>

#include "common/sys.h"

static JoinState state;
const JoinState& join_state = state;

JoinState& join_state_for_tests() { return state; }

void join_reset() { state = JoinState{}; }

void join_start(double interval, double status_interval, double warn_after) {
  JoinState& j = state;
  double now = double_time();
  j.interval = interval;
  j.status_interval = status_interval;
  j.next_registration = now;
  j.next_status = now + status_interval;
  j.warn_after = warn_after;
  j.started_at = now;
  j.diagnosis_gap = warn_after;
  j.next_diagnosis = warn_after > 0 ? now + warn_after : -1;
}

JoinEvent join_datagram(const uint8_t* buf, size_t len) {
  JoinState& j = state;
  double now = double_time();
  j.received_frames++;
  int seq = rtp_sequence_number(buf, len);
  if (seq != NO_SEQNO) {
    SequenceStep s = sequence_step(j.window, static_cast<unsigned>(seq));
    count_loss(j.lost_frames, s);
    if (s.kind == SequenceKind::kDuplicate) j.duplicate_frames++;
  }
  JoinEvent e = !j.started ? JoinEvent::kStarted : j.stopped ? JoinEvent::kResumed : JoinEvent::kNone;
  if (e == JoinEvent::kResumed) j.silence = now - j.last_datagram;
  j.started = true;
  j.stopped = false;
  j.gap_registered = false;
  j.last_datagram = now;
  // The repeater is there and sends: nothing to tell, and an old error
  // says nothing of it any more.
  j.next_diagnosis = -1;
  j.answer_error = 0;
  return e;
}

JoinEvent join_check_silence() {
  JoinState& j = state;
  double now = double_time();
  if (!j.started || j.stopped || now - j.last_datagram <= JOIN_STREAM_TIMEOUT) return JoinEvent::kNone;
  j.stopped = true;
  if (j.warn_after > 0) {
    j.diagnosis_gap = j.warn_after;
    j.next_diagnosis = std::max(now, j.last_datagram + j.warn_after);
  }
  return JoinEvent::kStopped;
}

void join_answer_error(int err) {
  JoinState& j = state;
  j.answer_error = err;
  j.answer_error_at = double_time();
}

JoinDiagnosis join_check_no_stream() {
  JoinState& j = state;
  double now = double_time();
  if (j.next_diagnosis < 0 || now < j.next_diagnosis) return JoinDiagnosis::kNone;
  j.next_diagnosis = now + j.diagnosis_gap;
  JoinDiagnosis d = JoinDiagnosis::kNone;
  if (j.answer_error != 0 && now - j.answer_error_at <= 2 * j.interval + 1) {
    d = j.answer_error == ECONNREFUSED ? JoinDiagnosis::kRefused : JoinDiagnosis::kUnreachable;
  } else if (!j.started) {
    d = JoinDiagnosis::kNoAnswer;
  }
  if (d != JoinDiagnosis::kNone)
    j.diagnosis_gap = std::min(j.diagnosis_gap * 2, std::max(JOIN_DIAGNOSIS_MAX_GAP, j.warn_after));
  return d;
}

double join_no_stream_for() {
  const JoinState& j = join_state;
  return double_time() - (j.started ? j.last_datagram : j.started_at);
}

bool join_forward_failed() {
  JoinState& j = state;
  j.dropped_frames++;
  j.forward_ok_since = -1;
  if (j.forward_failing) {
    j.failing_dropped++;
    return false;
  }
  j.forward_failing = true;
  j.failing_dropped = 1;
  return true;
}

bool join_forward_sent() {
  JoinState& j = state;
  if (!j.forward_failing) return false;
  double now = double_time();
  // Measured from a forward, not from the failure: after a pause in the
  // stream, the first forward may be refused as the last one was.
  if (j.forward_ok_since < 0) j.forward_ok_since = now;
  if (now - j.forward_ok_since < JOIN_FORWARD_QUIET) return false;
  j.forward_failing = false;
  return true;
}

static bool step_past(double& next, double period, double now) {
  if (now < next) return false;
  next += period;
  if (next <= now) next = now + period;
  return true;
}

unsigned join_due() {
  JoinState& j = state;
  double now = double_time();
  unsigned due = 0;
  // A repeater restarted without saved state serves us within about a
  // second, not up to an interval later.
  if (j.started && !j.gap_registered && now - j.last_datagram > JOIN_GAP_REGISTRATION) {
    j.gap_registered = true;
    j.next_registration = now;
  }
  if (step_past(j.next_registration, j.interval, now)) due |= JOIN_SEND_REGISTRATION;
  if (j.status_interval > 0 && step_past(j.next_status, j.status_interval, now)) due |= JOIN_SEND_STATUS;
  return due;
}

double join_next_wakeup() {
  const JoinState& j = join_state;
  double next = j.next_registration;
  if (j.status_interval > 0) next = std::min(next, j.next_status);
  // Just past the gap and the timeout, so the checks that follow the
  // wake-up fire.
  if (j.started && !j.gap_registered) next = std::min(next, j.last_datagram + JOIN_GAP_REGISTRATION + 0.001);
  if (j.started && !j.stopped) next = std::min(next, j.last_datagram + JOIN_STREAM_TIMEOUT + 0.001);
  if (j.next_diagnosis >= 0) next = std::min(next, j.next_diagnosis);
  return std::max(0.0, next - double_time());
}

TStreamStatus join_status() {
  const JoinState& j = join_state;
  TStreamStatus s{};
  s.received_frames = static_cast<uint32_t>(j.received_frames);
  s.lost_frames = static_cast<uint32_t>(j.lost_frames);
  s.duplicate_frames = static_cast<uint32_t>(j.duplicate_frames);
  s.dropped_frames = static_cast<uint32_t>(j.dropped_frames);
  return s;
}
