#include "join/join.h"

#include <random>

#include "daemon/stats.h"
#include "fixture.h"

namespace {

std::vector<uint8_t> rtp(unsigned seqno) {
  std::vector<uint8_t> d(20, 0);
  d[0] = 0x80;
  d[2] = static_cast<uint8_t>(seqno >> 8);
  d[3] = static_cast<uint8_t>(seqno);
  return d;
}

}  // namespace

class Join : public TolvekTest {
 protected:
  void SetUp() override {
    TolvekTest::SetUp();
    join_reset();
    stats_reset();
  }
  static JoinEvent datagram(unsigned seqno) {
    std::vector<uint8_t> d = rtp(seqno);
    return join_datagram(d.data(), d.size());
  }
};

TEST_F(Join, CountsReceivedLostAndDuplicated) {
  for (unsigned s : {65534u, 65535u, 2u, 0u, 0u, 2u, 5u}) datagram(s);
  uint8_t short_one[3] = {0x80, 0, 0};
  join_datagram(short_one, sizeof short_one);
  join_state_for_tests().dropped_frames = 2;
  TStreamStatus st = join_status();
  EXPECT_EQ(st.received_frames, 8u);
  EXPECT_EQ(st.lost_frames, 3u);  // 1 of the gap before 2 (0 came late), then 3 and 4
  EXPECT_EQ(st.duplicate_frames, 2u);
  EXPECT_EQ(st.dropped_frames, 2u);
  EXPECT_EQ(st.status, 0);
  EXPECT_EQ(st.max_jitter, 0);

  join_state_for_tests().received_frames = (uint64_t{1} << 32) + 7;
  EXPECT_EQ(join_status().received_frames, 7u);  // the record's field wraps
}

// The status report and the repeater's statistics must agree on a stream
// that both saw whole: the same reordering, gaps, duplicates and jumps.
TEST_F(Join, LossAgreesWithTheRepeaterOnAnImpairedStream) {
  std::mt19937 random(7);
  unsigned seq = 60000;
  std::vector<unsigned> sent;
  for (int i = 0; i < 20000; i++) {
    unsigned r = random() % 100;
    if (r < 5) seq += 1 + random() % 40;  // a gap
    if (r == 5) seq += 30000 + random() % 10000;  // a jump, far ahead or behind
    sent.push_back(seq & 0xffff);
    if (r == 6) sent.push_back(seq & 0xffff);  // a duplicate
    if (r == 7 && sent.size() > 3) std::swap(sent[sent.size() - 1], sent[sent.size() - 3]);  // reordering
    seq++;
  }
  for (unsigned s : sent) {
    fake_mono += 0.001;
    datagram(s);
    update_stats(20, static_cast<int>(s), fake_mono);
  }
  EXPECT_EQ(join_state.received_frames, stream_stats.received_frames);
  EXPECT_EQ(join_state.lost_frames, stream_stats.lost_frames);
  EXPECT_GT(join_state.lost_frames, 1000u);
  EXPECT_GT(join_state.duplicate_frames, 100u);
}

TEST_F(Join, StreamStartsStopsAfterFiveSecondsAndResumes) {
  fake_mono = 1000;
  EXPECT_EQ(join_check_silence(), JoinEvent::kNone);
  fake_mono = 1100;
  EXPECT_EQ(join_check_silence(), JoinEvent::kNone);  // no stream yet, so none stopped
  EXPECT_EQ(datagram(1), JoinEvent::kStarted);
  EXPECT_EQ(datagram(2), JoinEvent::kNone);
  fake_mono = 1105.0;
  EXPECT_EQ(join_check_silence(), JoinEvent::kNone);
  fake_mono = 1105.01;
  EXPECT_EQ(join_check_silence(), JoinEvent::kStopped);
  EXPECT_EQ(join_check_silence(), JoinEvent::kNone);  // said once
  fake_mono = 1130;
  EXPECT_EQ(datagram(3), JoinEvent::kResumed);
  EXPECT_DOUBLE_EQ(join_state.silence, 30.0);
  EXPECT_EQ(datagram(4), JoinEvent::kNone);
  fake_mono = 1136;
  EXPECT_EQ(join_check_silence(), JoinEvent::kStopped);
}

TEST_F(Join, RegistersAtOnceThenEveryIntervalAndReportsOnItsOwnPeriod) {
  fake_mono = 1000;
  join_start(5, 10);
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  EXPECT_EQ(join_due(), 0u);
  EXPECT_DOUBLE_EQ(join_next_wakeup(), 5.0);
  fake_mono = 1004.9;
  EXPECT_EQ(join_due(), 0u);
  fake_mono = 1005;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  fake_mono = 1010.2;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION | JOIN_SEND_STATUS);
  EXPECT_NEAR(join_next_wakeup(), 4.8, 1e-9);  // the period holds its phase

  // A stream in progress wakes the loop just after it would count as stopped.
  datagram(1);
  fake_mono = 1015.1;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  EXPECT_NEAR(join_next_wakeup(), 0.101, 1e-9);

  // Stopped for a minute: one of each, not a burst of the missed ones.
  fake_mono = 1080;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION | JOIN_SEND_STATUS);
  EXPECT_EQ(join_due(), 0u);
  fake_mono = 1084.99;
  EXPECT_EQ(join_due(), 0u);
  fake_mono = 1085;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
}

// A stream that stops for more than a second may be a repeater that
// restarted without its table: one registration at once, and the period
// starts again from it. Before the stream first comes there is no gap.
TEST_F(Join, RegistersAtOnceWhenTheStreamStops) {
  fake_mono = 1000;
  join_start(5, 0);
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  fake_mono = 1002;
  EXPECT_EQ(join_due(), 0u);
  datagram(1);
  EXPECT_NEAR(join_next_wakeup(), 1.001, 1e-9);  // woken to look at the gap
  fake_mono = 1003;
  EXPECT_EQ(join_due(), 0u);  // a second is no gap yet
  fake_mono = 1003.01;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  EXPECT_EQ(join_due(), 0u);  // once a gap
  EXPECT_NEAR(join_next_wakeup(), 3.991, 1e-9);  // then only to tell of the stop
  fake_mono = 1008.0;
  join_check_silence();
  EXPECT_EQ(join_due(), 0u);  // not 1005: the period restarted at 1003.01
  fake_mono = 1008.01;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);

  // Every gap draws its own.
  fake_mono = 1009;
  datagram(2);
  fake_mono = 1009.9;
  datagram(3);
  fake_mono = 1010.8;
  EXPECT_EQ(join_due(), 0u);
  fake_mono = 1010.91;
  EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  fake_mono = 1013.01;
  EXPECT_EQ(join_due(), 0u);
}

TEST_F(Join, NoStatusReportsWhenTheirIntervalIsZero) {
  join_start(1, 0);
  for (int i = 0; i < 100; i++, fake_mono += 1) EXPECT_EQ(join_due(), JOIN_SEND_REGISTRATION);
  EXPECT_DOUBLE_EQ(join_next_wakeup(), 0.0);
}

// Told once when forwarding begins to fail and once when forwards have gone
// out for a second without one failing: never on a lone success between
// refusals, nor on the first forward after a pause in the stream.
TEST_F(Join, ForwardingFailsUntilASecondOfForwardsWithoutAFailure) {
  fake_mono = 100;
  EXPECT_FALSE(join_forward_sent());
  EXPECT_TRUE(join_forward_failed());
  EXPECT_FALSE(join_forward_failed());
  fake_mono = 100.5;
  EXPECT_FALSE(join_forward_sent());  // the kernel lets every other send through
  fake_mono = 101.4;
  EXPECT_FALSE(join_forward_failed());
  fake_mono = 110;  // the stream paused; the player may still be away
  EXPECT_FALSE(join_forward_sent());
  fake_mono = 110.99;
  EXPECT_FALSE(join_forward_sent());
  fake_mono = 111;
  EXPECT_TRUE(join_forward_sent());
  EXPECT_EQ(join_state.failing_dropped, 3u);
  EXPECT_FALSE(join_forward_sent());

  EXPECT_TRUE(join_forward_failed());  // a new spell, counted afresh
  EXPECT_EQ(join_state.failing_dropped, 1u);
  EXPECT_EQ(join_state.dropped_frames, 4u);
  EXPECT_EQ(join_status().dropped_frames, 4u);
}

// With no stream at all, a line is due warn_after seconds after the start,
// then after gaps that double up to five minutes: a player left waiting for
// days is told now and then, never flooded.
TEST_F(Join, TellsOfAMissingStreamAfterItsDelayThenAtDoublingGaps) {
  fake_mono = 1000;
  join_start(5, 0, 5);
  join_due();
  EXPECT_DOUBLE_EQ(join_next_wakeup(), 5.0);
  fake_mono = 1004.99;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNone);
  double told_at = 1005;
  std::vector<double> gaps;
  for (fake_mono = 1005; fake_mono < 1000 + 3600; fake_mono += 0.5) {
    join_due();
    if (join_check_no_stream() == JoinDiagnosis::kNone) continue;
    if (fake_mono > 1005) gaps.push_back(fake_mono - told_at);
    told_at = fake_mono;
  }
  ASSERT_GE(gaps.size(), 8u);
  EXPECT_EQ(std::vector<double>(gaps.begin(), gaps.begin() + 8),
            (std::vector<double>{5, 10, 20, 40, 80, 160, 300, 300}));
  EXPECT_DOUBLE_EQ(join_no_stream_for(), fake_mono - 1000);

  join_reset();
  join_start(5, 0, 0);  // never
  for (fake_mono = 4000; fake_mono < 4100; fake_mono += 1) EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNone);
}

// A refusal (ICMP port unreachable) or another error from the repeater's
// address is told as such while registrations keep drawing it, and as
// silence once it has stopped coming (the repeater has come up, but answers
// nothing).
TEST_F(Join, ErrorsFromTheRepeatersAddressAreToldWhileTheyLast) {
  fake_mono = 1000;
  join_start(5, 0, 5);
  fake_mono = 1001;
  join_answer_error(ECONNREFUSED);
  fake_mono = 1005;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kRefused);
  fake_mono = 1009.99;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNone);  // not due
  fake_mono = 1011;
  join_answer_error(EHOSTUNREACH);
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kUnreachable);
  EXPECT_EQ(join_state.answer_error, EHOSTUNREACH);
  join_state_for_tests().next_diagnosis = 1022;  // looks at the window's end: two periods and a second
  fake_mono = 1022;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kUnreachable);
  join_state_for_tests().next_diagnosis = 1022.01;
  fake_mono = 1022.01;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNoAnswer);
}

// Once the stream has come, nothing is told while it flows, and after it
// stops (which is told by itself) only an error is: say, the repeater has
// gone. A datagram clears an old error.
TEST_F(Join, AfterAStreamOnlyErrorsAreTold) {
  fake_mono = 1000;
  join_start(5, 0, 5);
  fake_mono = 1003;
  join_answer_error(ECONNREFUSED);
  datagram(1);
  for (fake_mono = 1003; fake_mono < 1008; fake_mono += 0.5) {
    datagram(2);
    join_answer_error(ECONNREFUSED);  // not told while the stream flows
    EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNone);
  }
  datagram(3);
  fake_mono = 1013.1;
  EXPECT_EQ(join_check_silence(), JoinEvent::kStopped);
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNone);  // silent: the stop says it all
  fake_mono = 1014;
  join_answer_error(ECONNREFUSED);
  fake_mono = 1018.0;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kNone);  // looked again only a gap later
  fake_mono = 1018.1;
  EXPECT_EQ(join_check_no_stream(), JoinDiagnosis::kRefused);
  EXPECT_NEAR(join_no_stream_for(), 18.1 - 8, 1e-9);
}
