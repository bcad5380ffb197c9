#include "daemon/stats.h"

#include <cmath>
#include <cstdlib>

#include "common/version.h"
#include "fixture.h"
#include "json_check.h"

class Statistics : public TolvekTest {
 protected:
  void SetUp() override {
    TolvekTest::SetUp();
    stats_reset();
    setenv("TZ", "UTC", 1);
    tzset();
  }
  static void feed(std::initializer_list<int> seqnos) {
    for (int s : seqnos) {
      update_stats(100, s, fake_mono);
      fake_mono += 0.01;
    }
  }
  static int count_of_objects() {
    int n = 0;
    for (size_t at = stream_stats.stats.find("{\"ip\""); at != std::string::npos;
         at = stream_stats.stats.find("{\"ip\"", at + 1))
      n++;
    return n;
  }
  // A field of the report as it would be served now.
  static std::string field(const std::string& name) {
    const std::string& r = stats_report(fake_mono);
    size_t at = r.find("\"" + name + "\"");
    if (at == std::string::npos) return "?";
    size_t open = r.find('"', r.find(':', at) + 1);
    return r.substr(open + 1, r.find('"', open + 1) - open - 1);
  }
};

TEST_F(Statistics, LossBySequenceArithmetic) {
  struct Case {
    std::initializer_list<int> seqnos;
    uint64_t lost;
    unsigned position;
  } cases[] = {
      {{10, 11, 15}, 3, 15},
      {{65535, 0}, 0, 0},
      {{65534, 1}, 2, 1},
      {{100, 100, 101}, 0, 101},          // duplicate
      {{100, 99, 101}, 0, 101},           // late
      {{100, 40000}, 0, 100},             // far ahead: taken as late
      {{100, 40000, 101}, 0, 101},
      {{0, 32768}, 32767, 32768},         // the farthest step still counted
      {{0, 32769}, 0, 0},
      {{10, NO_SEQNO, 11}, 0, 11},        // a short datagram is no position
      {{NO_SEQNO, 10, 12}, 1, 12},
      // A late datagram takes back the loss its gap was counted as, once.
      {{1, 2, 4, 3}, 0, 4},
      {{1, 2, 4, 3, 3}, 0, 4},
      {{1, 5, 3, 2, 4, 4, 2}, 0, 5},
      {{65534, 1, 0, 65535}, 0, 1},
      {{10, 9, 8}, 0, 10},                // before the first: never counted
      {{0, 100, 50}, 98, 100},
      {{0, 100, 36}, 99, 100},            // 64 behind: too late to tell
      {{0, 100, 37, 36}, 98, 100},
  };
  for (const Case& c : cases) {
    stats_reset();
    feed(c.seqnos);
    EXPECT_EQ(stream_stats.lost_frames, c.lost) << *c.seqnos.begin();
    EXPECT_EQ(stream_stats.sequence.last_seqno, c.position) << *c.seqnos.begin();
    EXPECT_EQ(stream_stats.received_frames, c.seqnos.size());
    EXPECT_EQ(stream_stats.total_bytes, 100 * c.seqnos.size());
    EXPECT_GE(stream_stats.lfps, 0);
  }
}

// The sequence number sits in bytes 2-3: a 4-byte datagram carries one, a
// 3-byte one does not.
TEST_F(Statistics, FourByteDatagramsCarryASequenceNumber) {
  sockaddr_in from = make_addr("127.0.0.1", 5000);
  for (uint8_t seq : {0, 1, 5}) {
    uint8_t d[4] = {0x80, 0, 0, seq};
    handle_data(d, sizeof d, from, in_addr{}, fake_mono);
    fake_mono += 0.01;
  }
  EXPECT_EQ(stream_stats.lost_frames, 3u);
  uint8_t three[3] = {0x80, 0, 0};
  handle_data(three, sizeof three, from, in_addr{}, fake_mono);
  EXPECT_EQ(stream_stats.lost_frames, 3u);
  EXPECT_EQ(stream_stats.sequence.last_seqno, 5u);
  EXPECT_EQ(stream_stats.received_frames, 4u);
}

TEST_F(Statistics, DecayingRateSettlesAtItsClosedForm) {
  for (double dt : {0.01, 0.5, 4.0}) {
    double rate = 0;
    for (int i = 0; i < 20000; i++) decaybump(rate, dt, 1000);
    EXPECT_NEAR(rate, (1000 / 3.0) / (1 - std::exp(-dt / 3)), 1e-6) << dt;
  }
  double r = 10;
  decaybump(r, 3.0, 0);
  EXPECT_NEAR(r, 10 / std::exp(1.0), 1e-12);
}

TEST_F(Statistics, ReportFollowsTheStream) {
  // 1000-byte datagrams every 10 ms.
  int seq = 0;
  auto run_until = [&](double t) {
    for (; seq * 0.01 <= t + 1e-9; seq++) {
      fake_mono = 1000 + seq * 0.01;
      update_stats(1000, seq & 0xffff, fake_mono);
    }
  };
  parse("input_port 5000\n");
  const std::string waiting = "waiting for the stream on UDP port 5000; 0 of 0 clients receive";
  EXPECT_EQ(service_status(fake_mono), waiting);
  run_until(1.99);
  EXPECT_EQ(stats_report(fake_mono), "{}");
  run_until(2.0);
  EXPECT_EQ(field("frames_sec"), "48.7");
  run_until(40.0);
  EXPECT_EQ(field("frames_sec"), "100.2");
  EXPECT_EQ(field("udp_payload"), "801.33 kbps");
  EXPECT_EQ(field("lost_frames_sec"), "0.000");
  EXPECT_EQ(field("frames_received"), "4001");
  run_until(41.99);  // no rebuild within 2 s of stream time
  EXPECT_EQ(field("frames_received"), "4001");
  // What the service manager shows follows the stream, and says when it stopped.
  EXPECT_EQ(service_status(fake_mono), "relaying 100.2 datagrams/s to 0 of 0 clients on UDP port 5000");
  fake_mono += 2.0;
  EXPECT_EQ(service_status(fake_mono).substr(0, 8), "relaying");
  fake_mono += 1.0;
  EXPECT_EQ(service_status(fake_mono), "no stream for 3 s on UDP port 5000; 0 of 0 clients receive");
}

TEST_F(Statistics, ReportTextAndTheCommaRule) {
  rebuild_report(1.0);
  EXPECT_EQ(stream_stats.stats,
            "{\"udp_payload\": \"0.00 kbps\", \"total_bytes\" : \"0\" , \"frames_sec\" : \"0.0\" ,"
            "\"lost_frames_sec\" : \"0.000\", \"frames_received\" : \"0\",\"frames_lost\" : \"0\","
            "\"connected_clients\" : \"0\",\"clients\":[]}");

  fake_wall = 86400 + 3600 + 61;  // 02-01-1970 01:01:01
  const uint8_t mac[6] = {0xab, 0, 0, 0, 0, 0x01};
  register_client(ip("10.0.0.2"), htons(5000), mac);
  add_permanent_client(ip("10.0.0.1"), htons(6000));
  stop_client(ip("10.0.0.1"), htons(6000));  // a permanent client that asked to stop
  client_for_tests(1).rtp_packets_sent = 4000000000u;
  rebuild_report(1.0);
  std::string list = stream_stats.stats.substr(stream_stats.stats.find("\"connected_clients\""));
  EXPECT_EQ(list,
            "\"connected_clients\" : \"2\",\"clients\":["
            "{\"ip\":\"10.0.0.1\",\"port\":\"6000\",\"mac\":\"000000000000\",\"last_contact\":\"01-01-1970 00:00:00\","
            "\"up_since\":\"02-01-1970 01:01:01\",\"pkts_sent\":\"0\"},"
            "{\"ip\":\"10.0.0.2\",\"port\":\"5000\",\"mac\":\"ab0000000001\",\"last_contact\":\"02-01-1970 01:01:01\","
            "\"up_since\":\"02-01-1970 01:01:01\",\"pkts_sent\":\"4000000000\"}]}");
  EXPECT_TRUE(valid_json(stream_stats.stats));
}

// A device installed today is still running after January 2038.
TEST_F(Statistics, TimesPast2038ShowAsTheyAre) {
  fake_wall = 4102444800.0 + 3661;  // 01-01-2100 01:01:01
  get_client(ip("10.0.0.1"), htons(6000));
  rebuild_report(1.0);
  EXPECT_NE(stream_stats.stats.find("\"last_contact\":\"01-01-2100 01:01:01\",\"up_since\":\"01-01-2100 01:01:01\""),
            std::string::npos)
      << stream_stats.stats;
}

TEST_F(Statistics, EveryClientIsListedAndTheJsonStaysValid) {
  fake_wall = 1.7e9;
  set_max_n_clients(300);
  const uint8_t mac[6] = {0xee, 0xee, 0xee, 0xee, 0xee, 0xee};
  for (uint32_t i = 0; i < 300; i++) register_client(htonl(0xfffffe00u + i), htons(static_cast<uint16_t>(65535 - i)), mac);
  for (size_t i = 0; i < 300; i++) client_for_tests(i).rtp_packets_sent = 4294967295u;
  rebuild_report(1.0);
  EXPECT_TRUE(valid_json(stream_stats.stats));
  EXPECT_EQ(count_of_objects(), 300);
  EXPECT_EQ(field("connected_clients"), "300");
  EXPECT_FALSE(valid_json(stream_stats.stats.substr(0, stream_stats.stats.size() - 1)));  // the checker checks
}

class StatsRequest : public Statistics {
 protected:
  LoopbackSocket asker;
  void SetUp() override {
    Statistics::SetUp();
    set_sockets_for_tests(input_socket, output_socket, socket(AF_INET, SOCK_DGRAM, 0));
  }
  void ask(const std::string& text) {
    sockaddr_in from = make_addr("127.0.0.1", asker.port);
    handle_stats_request(reinterpret_cast<const uint8_t*>(text.data()), text.size(), from, fake_mono);
  }
  // The payload of a one-fragment reply, or "" when none came.
  std::string reply() {
    std::vector<uint8_t> d = asker.receive();
    if (d.size() < 8) return "";
    return std::string(d.begin() + 8, d.end());
  }
};

TEST_F(StatsRequest, OnlyTheWordAsPrefixIsAnswered) {
  ask("get_stats");
  std::vector<uint8_t> d = asker.receive();
  ASSERT_EQ(d.size(), 10u);
  EXPECT_EQ(d, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, '{', '}'}));
  ask("get_stats please");
  EXPECT_EQ(reply(), "{}");
  ask("get_stat");
  ask("GET_STATS");
  ask("");
  EXPECT_TRUE(asker.nothing_waiting());
}

TEST_F(StatsRequest, AtMostTwentyRepliesASecond) {
  for (int i = 0; i < 25; i++) ask("get_stats");
  int replies = 0;
  for (; !asker.nothing_waiting(); replies++) reply();
  EXPECT_EQ(replies, 20);
  fake_mono += 1.0;
  ask("get_stats");
  EXPECT_EQ(reply(), "{}");
}

TEST_F(StatsRequest, StoppedStreamReportsDecayedRates) {
  for (int i = 0; i <= 300; i++) {
    fake_mono = 1000 + i * 0.01;
    update_stats(1000, i, fake_mono);
  }
  double bps = stream_stats.bps;
  std::string flowing = stats_report(fake_mono);
  fake_mono += 1.5;  // not idle long enough yet
  ask("get_stats");
  EXPECT_EQ(reply(), flowing);

  fake_mono = stream_stats.last_update + 3.0;
  ask("get_stats");
  std::string idle = reply();
  EXPECT_NE(idle, flowing);
  char want[32];
  snprintf(want, sizeof want, "%.2f kbps", bps / std::exp(1.0) / 1000);
  EXPECT_EQ(field("udp_payload"), want);
  EXPECT_EQ(stream_stats.bps, bps);  // the stored rate is untouched

  fake_mono += 1.0;  // rebuilt at most every 2 s
  ask("get_stats");
  EXPECT_EQ(reply(), idle);
  fake_mono += 1.0;
  ask("get_stats");
  EXPECT_NE(reply(), idle);
}

TEST_F(StatsRequest, NoDataMeansEmptyReportEvenWhenIdle) {
  fake_mono += 100;
  get_client(ip("10.0.0.1"), htons(1));
  ask("get_stats");
  EXPECT_EQ(reply(), "{}");
}

TEST_F(StatsRequest, StatusTellsTheDaemonsOwnState) {
  fake_wall = 1.7e9 + 0.75;
  stats_start();
  parse("input_port 5000\n");
  parse("alt_input_port 5001\n");
  parse("source 127.0.0.1:7000 pw\n");
  parse("alt_source 127.0.0.2:0\n");
  parse("max_clients 4\n");
  parse("client 10.0.0.7:6000\n");
  parse("allow_ip_port 10.0.0.8:6000\n");
  const std::string head = "{\"version\":\"" TOLVEK_VERSION "\",\"started\":1700000000,";
  ask("get_status");
  EXPECT_EQ(reply(), head + "\"input_port\":5000,\"source\":\"127.0.0.1:7000\",\"failovers\":0,"
                            "\"last_data_age\":null,\"max_clients\":4,\"table\":2,\"receiving\":1}");
  update_stats(100, 1, fake_mono);
  fake_mono += 2.5;
  set_alt_toggle_for_tests(1);
  ask("get_status please");
  EXPECT_EQ(reply(), head + "\"input_port\":5001,\"source\":\"127.0.0.2:0\",\"failovers\":0,"
                            "\"last_data_age\":2.500,\"max_clients\":4,\"table\":2,\"receiving\":1}");
  ask("get_statu");
  EXPECT_TRUE(asker.nothing_waiting());
}
