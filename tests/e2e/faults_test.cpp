// Faults from outside: a flood of malformed and stray traffic, and steps of
// the system clock, while a registered client keeps receiving.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "harness.h"

namespace {

// A registration from 02:00:5e:10:20:30 with the password "secret".
Bytes registration() {
  Bytes p{'Q', 'M', 'Z', 0, 0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 1, 0, 1, 0, 7};
  for (char c : std::string("secret")) p.push_back(static_cast<uint8_t>(c));
  p.push_back(0);
  return p;
}

Bytes random_bytes(std::mt19937& rng, size_t max_len) {
  Bytes b(rng() % (max_len + 1));
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Anything that could pass for a control packet at first sight: the magic
// and a header, then noise, or nothing but noise.
Bytes junk_control(std::mt19937& rng) {
  Bytes b = random_bytes(rng, 600);
  if (rng() % 2 && b.size() >= 12) {
    b[0] = 'Q', b[1] = 'M', b[2] = 'Z';
    b[3] &= 0x1f;
    Bytes id = registration();
    if (rng() % 2) std::copy(id.begin() + 4, id.begin() + 10, b.begin() + 4);
  }
  return b;
}

}  // namespace

TEST(Flood, MalformedAndStrayTrafficLeavesTheStreamTableAndMemoryAlone) {
  Udp source, client, asker;
  // Room for the stream while this test waits for a busy machine's CPU.
  int room = 4 << 20;
  setsockopt(client.fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  std::vector<std::unique_ptr<Udp>> strangers;
  for (int i = 0; i < 8; i++) strangers.push_back(std::make_unique<Udp>());
  uint16_t in = free_port(), out = free_port(), stats = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "statistics_port " + std::to_string(stats) + "\nsource " +
                                 endpoint(source.port) + "\nallow_mac 02:00:5e:10:20:30\nallow_pass secret\n");
  ASSERT_TRUE(d.wait_out("Setting up to statistics UDP port"));
  client.send(registration(), out);
  ASSERT_TRUE(d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n"));

  std::mt19937 rng(20261207);
  const int rounds = 12, per_round = 100;
  int sent = 0, received = 0;
  long warm_rss = 0;
  for (int round = 0; round < rounds; round++) {
    client.send(registration(), out);
    for (int i = 0; i < per_round; i++) {
      source.send(rtp_datagram(static_cast<uint16_t>(sent++)), in);
      for (int k = 0; k < 10; k++) {
        const Udp& s = *strangers[rng() % strangers.size()];
        s.send(junk_control(rng), out);
        s.send(random_bytes(rng, 1400), in);
      }
      strangers[0]->send(random_bytes(rng, 20), stats);
      usleep(4000);
      received += drain_count(client);
    }
    // Warm once the first report has been built, 2 s into the stream.
    if (round == 5) warm_rss = vm_kib(d.pid, "RssAnon");
  }
  for (double end = now_seconds() + 3; received < sent && now_seconds() < end;) {
    usleep(20000);
    received += drain_count(client);
  }
  // Anonymous memory only: code pages that a new path reads in are no growth.
  long end_rss = vm_kib(d.pid, "RssAnon");

  EXPECT_EQ(d.wait_exit(0.1), -1);
  EXPECT_GE(received, sent * 99 / 100);
  EXPECT_LE(end_rss, warm_rss + 4) << "RssAnon " << warm_rss << " kB after warm-up, " << end_rss << " kB at the end";
  // The report catches up with a stopped stream after 2 s.
  std::string report;
  for (int i = 0; i < 40 && report_field(report, "frames_received") != std::to_string(sent); i++) {
    usleep(100000);
    asker.send(std::string("get_stats"), stats);
    Bytes reply = asker.receive(1.0);
    if (reply.size() > 8) report.assign(reply.begin() + 8, reply.end());
  }
  EXPECT_EQ(report_field(report, "connected_clients"), "1") << report;
  EXPECT_EQ(report_field(report, "frames_received"), std::to_string(sent));
  printf("flood: client received %d of %d; %d junk control packets, %d stray datagrams; RssAnon %ld kB after "
         "warm-up, %ld kB at the end\n",
         received, sent, sent * 10, sent * 10, warm_rss, end_rss);
}

// A flood of strays on the input port is dropped by the kernel before it is
// queued, so the source's datagrams still find room; once the flood is over
// strays are seen and reported one by one again.
TEST(Flood, StraysOnTheInputPortAreDroppedByTheKernel) {
  Udp source, client;
  std::vector<std::unique_ptr<Udp>> strangers;
  for (int i = 0; i < 20; i++) strangers.push_back(std::make_unique<Udp>(("127.0.0." + std::to_string(2 + i)).c_str()));
  Repeater r;
  r.start("source " + endpoint(source.port) + "\nclient " + endpoint(client.port) + "\n");
  const Bytes stray(64, 0xee);
  const int datagrams = 300, strays_each = 200;
  int received = 0;
  for (int i = 0; i < datagrams; i++) {
    source.send(rtp_datagram(static_cast<uint16_t>(i)), r.in_port);
    for (int k = 0; k < strays_each; k++) strangers[static_cast<size_t>(k) % strangers.size()]->send(stray, r.in_port);
    received += drain_count(client);
  }
  for (double end = now_seconds() + 2; received < datagrams && now_seconds() < end;) received += drain_count(client);
  EXPECT_GE(received, datagrams * 99 / 100);
  EXPECT_TRUE(r.d.wait_err("datagrams a second from others than the source; the kernel drops them unseen for 10 s.\n"))
      << r.d.err().substr(0, 2000);

  Udp late("127.0.0.99");
  bool reported = false;
  for (double end = now_seconds() + 15; !reported && now_seconds() < end;) {
    late.send(stray, r.in_port);
    reported = r.d.wait_err("3:Request from 127.0.0.99:" + std::to_string(late.port) + " rejected.\n", 0.5);
  }
  EXPECT_TRUE(reported) << r.d.err();
  printf("stray flood: %d of %d stream datagrams received beside %d strays\n", received, datagrams,
         datagrams * strays_each);
}

// Timeouts run on the monotonic clock: the wall clock jumping an hour either
// way neither retires a client early nor holds back failover.
// The largest datagrams UDP carries are relayed whole, and the buffers they
// are read into are backed by memory once: nothing grows per datagram.
TEST(Flood, LargestDatagramsAreRelayedWholeAndMemoryStaysBounded) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "client " + endpoint(client.port) + "\n");
  ASSERT_TRUE(d.wait_out("Setting up to output UDP port"));
  source.send(rtp_datagram(0), in);
  ASSERT_EQ(client.receive().size(), 200u);
  long start_rss = vm_kib(d.pid, "RssAnon");

  auto largest = [](uint16_t seq) { return patterned_datagram(seq, 65507); };
  int whole = 0, sent = 0;
  for (int round = 0; round < 40; round++) {
    // Two at a time: more would overflow the client's default receive buffer.
    for (int i = 0; i < 2; i++) source.send(largest(static_cast<uint16_t>(1 + sent++)), in);
    for (int i = sent - 1; i <= sent; i++) whole += client.receive() == largest(static_cast<uint16_t>(i));
  }
  long end_rss = vm_kib(d.pid, "RssAnon");

  EXPECT_EQ(whole, sent);
  // Eight read buffers of 64 KiB, and a page of slack.
  EXPECT_LE(end_rss, start_rss + 8 * 64 + 4) << "RssAnon " << start_rss << " kB before, " << end_rss << " kB after";
  printf("largest datagrams: %d of %d relayed whole; RssAnon %ld kB before, %ld kB after\n", whole, sent, start_rss,
         end_rss);
}

TEST(WallClock, StepsNeitherDropClientsNorStopFailover) {
  const char* faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  if (access(faketime, R_OK) != 0) GTEST_SKIP() << "needs libfaketime";
  char offset_file[] = "/tmp/tolvek_faketime_XXXXXX";
  int fd = mkstemp(offset_file);
  ASSERT_GE(fd, 0);
  close(fd);
  auto step = [&](const char* offset) { std::ofstream(offset_file) << offset << "\n"; };
  step("+0");

  Udp source, client;
  uint16_t in = free_port(), out = free_port(), alt = free_port();
  Daemon d = Daemon::with_config(
      ports_config(in, out) + "alt_input_port " + std::to_string(alt) + "\nsource " + endpoint(source.port) +
          "\nallow_ip 127.0.0.1\n",
      Daemon::Output::kFiles,
      {std::string("LD_PRELOAD=") + faketime, std::string("FAKETIME_TIMESTAMP_FILE=") + offset_file,
       "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1", "ASAN_OPTIONS=verify_asan_link_order=0"});
  ASSERT_TRUE(d.wait_out("Setting up to output UDP port")) << d.err();
  client.send(Bytes{'Q', 'M', 'Z', 0, 0, 0, 0, 0, 0, 0, 0, 0}, out);
  ASSERT_TRUE(d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n"));

  int sent = 0, received = 0;
  for (; sent < 120; sent++) {
    if (sent == 30) step("+3600");
    if (sent == 60) step("-3600");
    if (sent == 90) step("+86400");
    source.send(rtp_datagram(static_cast<uint16_t>(sent)), in);
    usleep(50000);
    received += drain_count(client);
  }
  double last = now_seconds();
  step("-86400");
  EXPECT_EQ(received, sent);
  ASSERT_TRUE(d.wait_out("Reception timed out.\n", 8.0)) << d.out();
  double waited = now_seconds() - last;
  EXPECT_GE(waited, 3.5);
  EXPECT_LE(waited, 6.5);
  EXPECT_EQ(count_of(d.out(), "timed out.\n"), count_of(d.out(), "Reception timed out.\n"));
  unlink(offset_file);
}

// source -> seeded impairment relay -> repeater -> two clients. Each client
// receives exactly what the relay forwarded, in its order, duplicates
// included; the repeater counts as lost only what the relay dropped.
TEST(Impairment, ClientsGetWhatTheRepeaterAcceptedAndOnlyDropsAreLost) {
  Udp source, a, b, asker;
  uint16_t in = free_port(), out = free_port(), stats = free_port(), relay = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "statistics_port " + std::to_string(stats) + "\nsource " +
                                 endpoint(relay) + "\nclient " + endpoint(a.port) + "\nclient " + endpoint(b.port) + "\n");
  ASSERT_TRUE(d.wait_out("Setting up to statistics UDP port"));
  const int sent = 2000;
  Daemon impair = Daemon::run({IMPAIR_BINARY, std::to_string(relay), std::to_string(in), "--seed", "20261207",
                               "--drop", "3", "--dup", "2", "--reorder", "3", "--count", std::to_string(sent)});
  ASSERT_TRUE(impair.wait_err("impair: listening"));

  std::vector<Bytes> got_a, got_b;
  auto collect = [](const Udp& s, std::vector<Bytes>& got) {
    for (Bytes x = s.receive(0); !x.empty(); x = s.receive(0)) got.push_back(x);
  };
  for (int i = 0; i < sent; i++) {
    source.send(rtp_datagram(static_cast<uint16_t>(i)), relay);
    if (i % 10 == 9) {
      usleep(8000);
      collect(a, got_a);
      collect(b, got_b);
    }
  }
  ASSERT_EQ(impair.wait_exit(5.0), 0);
  usleep(200000);
  collect(a, got_a);
  collect(b, got_b);

  // What the relay forwarded, in order, and what it dropped for good.
  std::vector<int> forwarded;
  int dropped = 0, held = 0;
  std::istringstream log(impair.out());
  std::string action;
  int seq;
  while (log >> action >> seq) {
    if (action == "F") forwarded.push_back(seq);
    dropped += action == "D";
    held += action == "H";
  }
  ASSERT_GT(dropped, 20);
  ASSERT_GT(held, 20);
  ASSERT_GT(static_cast<int>(forwarded.size()), sent - dropped);  // duplicates
  for (const auto* got : {&got_a, &got_b}) {
    ASSERT_EQ(got->size(), forwarded.size());
    for (size_t i = 0; i < forwarded.size(); i++) ASSERT_EQ((*got)[i], rtp_datagram(static_cast<uint16_t>(forwarded[i]))) << i;
  }

  // Lost: numbers between the first forwarded and the highest that never came.
  std::vector<bool> came(sent, false);
  for (int s : forwarded) came[static_cast<size_t>(s)] = true;
  int first = forwarded.front(), last = *std::max_element(forwarded.begin(), forwarded.end()), lost = 0;
  for (int s = first + 1; s < last; s++) lost += !came[static_cast<size_t>(s)];
  std::string report;
  for (int i = 0; i < 40 && report_field(report, "frames_received") != std::to_string(forwarded.size()); i++) {
    usleep(100000);
    asker.send(std::string("get_stats"), stats);
    Bytes reply = asker.receive(1.0);
    if (reply.size() > 8) report.assign(reply.begin() + 8, reply.end());
  }
  EXPECT_EQ(report_field(report, "frames_received"), std::to_string(forwarded.size())) << report;
  EXPECT_EQ(report_field(report, "frames_lost"), std::to_string(lost)) << "dropped " << dropped;
  printf("impairment: %d sent, %d dropped, %d held back, %zu forwarded (duplicates included), report lost %s\n",
         sent, dropped, held, forwarded.size(), report_field(report, "frames_lost").c_str());
}
