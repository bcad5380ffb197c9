#include <poll.h>

#include "daemon/control.h"
#include "daemon/stats.h"
#include "fixture.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Pass : public TolvekTest {
 protected:
  void SetUp() override {
    TolvekTest::SetUp();
    set_sockets_for_tests(input_socket, socket(AF_INET, SOCK_DGRAM, 0), statistics_socket);
  }

  // An enabled entry for a loopback receiver, last heard at the fake clock.
  static void enabled(const LoopbackSocket& s, uint8_t extra_flags = 0) {
    uint32_t a = ip("127.0.0.1");
    uint16_t port = htons(s.port);
    if (extra_flags & F_PERMANENT) {
      add_permanent_client(a, port);
      return;
    }
    if (extra_flags & F_ALLOWED) add_allowed_client(a, port);
    register_entry(a, port);
  }
  static void register_entry(uint32_t a, uint16_t port) {
    const uint8_t id[6] = {};
    register_client(a, port, id);
  }
  static void stop(const LoopbackSocket& s) { stop_client(ip("127.0.0.1"), htons(s.port)); }

  static void relay(const std::vector<uint8_t>& d) { send_packets(d.data(), d.size(), fake_mono); }
};

TEST_F(Pass, EveryEnabledClientGetsTheDatagramUnchanged) {
  LoopbackSocket a, b, idle;
  enabled(a);
  enabled(b, F_PERMANENT);
  add_allowed_client(ip("127.0.0.1"), htons(idle.port));
  std::vector<uint8_t> d{0x80, 0x60, 0x12, 0x34, 0, 0xff, 7};
  relay(d);
  EXPECT_EQ(a.receive(), d);
  EXPECT_EQ(b.receive(), d);
  EXPECT_TRUE(idle.nothing_waiting());
  for (const Client& c : clients) EXPECT_EQ(c.rtp_packets_sent, c.flags & F_ENABLED ? 1u : 0u);
}

TEST_F(Pass, SilentClientStaysAt20SecondsAndGoesAt21) {
  LoopbackSocket a;
  enabled(a);
  std::vector<uint8_t> d{1, 2, 3, 4};
  fake_mono += 20.9;
  relay(d);
  EXPECT_EQ(a.receive(), d);
  ASSERT_EQ(clients.size(), 1u);

  fake_mono += 0.1;  // 21 whole seconds
  CaptureStdout();
  relay(d);
  EXPECT_EQ(GetCapturedStdout(), "Client 127.0.0.1:" + std::to_string(a.port) + " timed out.\n");
  EXPECT_TRUE(a.nothing_waiting());
  EXPECT_TRUE(clients.empty());
  EXPECT_EQ(n_active_clients, 0u);
}

TEST_F(Pass, AllowedClientIsDisabledNotRemoved) {
  LoopbackSocket a;
  enabled(a, F_ALLOWED);
  fake_mono += 21;
  CaptureStdout();
  check_timeouts(fake_mono);
  GetCapturedStdout();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].flags, F_ALLOWED);
  EXPECT_EQ(n_active_clients, 0u);
  relay({9, 9, 9, 9});
  EXPECT_TRUE(a.nothing_waiting());
}

TEST_F(Pass, PermanentClientNeverTimesOut) {
  LoopbackSocket a;
  enabled(a, F_PERMANENT);
  stop(a);
  fake_mono += 1e6;
  relay({5, 5, 5, 5});
  EXPECT_EQ(a.receive().size(), 4u);
  EXPECT_EQ(clients.size(), 1u);
}

TEST_F(Pass, StopRequestRetiresAtNextPassEvenRightAfterBoot) {
  fake_mono = 3;  // the monotonic clock starts near zero at boot
  LoopbackSocket a;
  enabled(a);
  stop(a);
  CaptureStdout();
  relay({1, 1, 1, 1});
  GetCapturedStdout();
  EXPECT_TRUE(a.nothing_waiting());
  EXPECT_TRUE(clients.empty());
}

TEST_F(Pass, TimeoutOnlyPassSendsNothing) {
  LoopbackSocket a;
  enabled(a);
  check_timeouts(fake_mono);
  EXPECT_TRUE(a.nothing_waiting());
  EXPECT_EQ(clients[0].rtp_packets_sent, 0u);
}

TEST_F(Pass, RemovalsKeepTheOrderOfTheRest) {
  LoopbackSocket s[5];
  for (auto& x : s) enabled(x);
  std::vector<uint16_t> ports;
  for (const Client& c : clients) ports.push_back(ntohs(c.sin_port));
  fake_mono += 15;
  register_entry(clients[1].s_addr, clients[1].sin_port);
  register_entry(clients[3].s_addr, clients[3].sin_port);
  add_allowed_client(clients[1].s_addr, clients[1].sin_port);
  fake_mono += 10;
  stop_client(clients[1].s_addr, clients[1].sin_port);
  CaptureStdout();
  check_timeouts(fake_mono);
  GetCapturedStdout();
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(ntohs(clients[0].sin_port), ports[1]);
  EXPECT_EQ(clients[0].flags, F_ALLOWED);
  EXPECT_EQ(ntohs(clients[1].sin_port), ports[3]);
  EXPECT_EQ(n_active_clients, 1u);
}

TEST_F(Pass, UnreachableClientDoesNotStopTheOthers) {
  LoopbackSocket good;
  add_permanent_client(ip("127.0.0.1"), 0);
  enabled(good, F_PERMANENT);
  CaptureStderr();
  relay({1, 2, 3, 4});
  relay({1, 2, 3, 5});
  std::string err = GetCapturedStderr();
  EXPECT_EQ(err, "tolvek: cannot send a UDP packet 4 bytes long: Invalid argument, to 127.0.0.1:0\n");
  EXPECT_EQ(good.receive().size(), 4u);
  EXPECT_EQ(good.receive().size(), 4u);
  EXPECT_EQ(clients[0].rtp_packets_sent, 0u);
  EXPECT_EQ(clients[1].rtp_packets_sent, 2u);
}

// One socket on every local address at one port: copies sent to 127.0.0.K
// at that port all arrive here, in the order they were sent, each telling
// the address it was sent to.
struct AnyAddressSocket {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  uint16_t port = 0;
  AnyAddressSocket() {
    sockaddr_in sa = make_addr("0.0.0.0", 0);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t n = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
    port = ntohs(sa.sin_port);
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    timeval tv{0, 500000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~AnyAddressSocket() { close(fd); }
  AnyAddressSocket(const AnyAddressSocket&) = delete;
  AnyAddressSocket& operator=(const AnyAddressSocket&) = delete;

  // The destinations of the next `count` datagrams (fewer if they stop
  // coming), then of any others already waiting.
  std::vector<std::string> destinations(size_t count) const {
    std::vector<std::string> seen;
    for (;;) {
      uint8_t byte;
      iovec iov{&byte, 1};
      alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
      msghdr m{};
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      if (recvmsg(fd, &m, seen.size() < count ? 0 : MSG_DONTWAIT) < 0) return seen;
      in_pktinfo info{};
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) memcpy(&info, CMSG_DATA(c), sizeof info);
      seen.push_back(inet_ntoa(info.ipi_addr));
    }
  }
};

static void permanent(const char* address, uint16_t port) { add_permanent_client(ip(address), htons(port)); }

// Copies the kernel refuses (port 0; a broadcast address without
// SO_BROADCAST), one after another and in the middle of the table: each is
// reported, the copies after it still go out, and only delivered ones count.
TEST_F(Pass, RefusedCopiesAreReportedAndTheRestStillGoOut) {
  AnyAddressSocket rx;
  const uint16_t p = rx.port;
  permanent("127.0.0.1", p);
  permanent("127.0.0.2", 0);
  permanent("127.0.0.3", 0);
  permanent("127.0.0.4", p);
  permanent("127.255.255.255", p);
  CaptureStderr();
  relay({1, 2, 3, 4});
  relay({1, 2, 3, 5});
  EXPECT_EQ(GetCapturedStderr(),
            "tolvek: cannot send a UDP packet 4 bytes long: Invalid argument, to 127.0.0.2:0\n"
            "tolvek: cannot send a UDP packet 4 bytes long: Invalid argument, to 127.0.0.3:0\n"
            "tolvek: cannot send a UDP packet 4 bytes long: Permission denied, to 127.255.255.255:" +
                std::to_string(p) + "\n");
  EXPECT_EQ(rx.destinations(4), (std::vector<std::string>{"127.0.0.1", "127.0.0.4", "127.0.0.1", "127.0.0.4"}));
  std::vector<uint32_t> sent;
  for (const Client& c : clients) sent.push_back(c.rtp_packets_sent);
  EXPECT_EQ(sent, (std::vector<uint32_t>{2, 0, 0, 2, 0}));
}

// A table larger than one system call's batch: every copy goes out, in table
// order, past refused copies in both calls and while an entry that times out
// ahead of them moves the rest down; each count lands on its own entry.
TEST_F(Pass, TableLargerThanABatchGetsItsCopiesInTableOrder) {
  AnyAddressSocket rx;
  const uint16_t p = rx.port;
  const size_t n = SEND_BATCH + 8;
  std::vector<std::string> expected;
  // Permanent entries but one, a registered entry silent for too long.
  set_max_n_clients(static_cast<unsigned>(n + 2));
  for (size_t k = 1; k <= n; k++) {
    std::string address = "127.0.0." + std::to_string(k);
    if (k == 5) {
      double now = fake_mono;
      fake_mono -= client_timeout + 1;
      register_entry(ip(address.c_str()), htons(p));
      fake_mono = now;
      continue;
    }
    permanent(address.c_str(), p);
    expected.push_back(address);
  }
  permanent("127.0.0.60", 0);
  permanent("127.0.0.70", 0);
  CaptureStdout();
  CaptureStderr();
  relay({0x80, 0x60, 0, 1});
  std::string err = GetCapturedStderr();
  EXPECT_EQ(GetCapturedStdout(), "Client 127.0.0.5:" + std::to_string(p) + " timed out.\n");
  EXPECT_EQ(err,
            "tolvek: cannot send a UDP packet 4 bytes long: Invalid argument, to 127.0.0.60:0\n"
            "tolvek: cannot send a UDP packet 4 bytes long: Invalid argument, to 127.0.0.70:0\n");
  EXPECT_EQ(rx.destinations(expected.size()), expected);
  ASSERT_EQ(clients.size(), n + 1);
  for (const Client& c : clients) {
    in_addr a{c.s_addr};
    EXPECT_EQ(c.rtp_packets_sent, c.sin_port == 0 ? 0u : 1u) << inet_ntoa(a) << ":" << ntohs(c.sin_port);
  }
}

// The report rebuilt by a datagram already counts that datagram's copies.
TEST_F(Pass, ReportCountsTheDatagramThatRebuildsIt) {
  stats_reset();
  LoopbackSocket a;
  enabled(a, F_PERMANENT);
  uint8_t d[] = {0x80, 0, 0, 1};
  handle_data(d, 4, make_addr("127.0.0.1", 5000), in_addr{}, fake_mono);
  fake_mono += stat_period;
  d[3] = 2;
  handle_data(d, 4, make_addr("127.0.0.1", 5000), in_addr{}, fake_mono);
  EXPECT_NE(stats_report(fake_mono).find("\"pkts_sent\":\"2\""), std::string::npos) << stream_stats.stats;
}

using PassDeathTest = Pass;

TEST_F(PassDeathTest, ZeroActiveCountIsAConsistencyStop) {
  LoopbackSocket a;
  enabled(a);
  set_n_active_clients_for_tests(0);  // enabled, never counted
  fake_mono += 30;
  EXPECT_EXIT(check_timeouts(fake_mono), testing::ExitedWithCode(255),
              "tolvek: internal error: deleting an active client when there is zero active clients.\n");
}

class SourceFilter : public TolvekTest {};

TEST_F(SourceFilter, UnicastSourceMatchesAddressAndPort) {
  in_addr any{};
  EXPECT_TRUE(check_source_addr(make_addr("10.9.9.9", 1), any));  // no source: anyone

  parse("source 10.0.0.1:5000\n");
  EXPECT_TRUE(check_source_addr(make_addr("10.0.0.1", 5000), any));
  EXPECT_FALSE(check_source_addr(make_addr("10.0.0.1", 5001), any));
  EXPECT_FALSE(check_source_addr(make_addr("10.0.0.2", 5000), any));

  parse("alt_source 10.0.0.3:0\n");
  set_alt_toggle_for_tests(1);
  EXPECT_FALSE(check_source_addr(make_addr("10.0.0.1", 5000), any));
  EXPECT_TRUE(check_source_addr(make_addr("10.0.0.3", 1), any));
  EXPECT_TRUE(check_source_addr(make_addr("10.0.0.3", 65535), any));
}

TEST_F(SourceFilter, MulticastSourceMatchesTheGroupAsDestination) {
  parse("source 239.1.2.3:5000\n");
  in_addr group{ip("239.1.2.3")}, other_group{ip("239.1.2.4")}, unicast{ip("127.0.0.1")};
  EXPECT_TRUE(check_source_addr(make_addr("10.0.0.7", 40000), group));
  EXPECT_TRUE(check_source_addr(make_addr("192.0.2.1", 1), group));
  EXPECT_FALSE(check_source_addr(make_addr("10.0.0.7", 40000), other_group));
  EXPECT_FALSE(check_source_addr(make_addr("239.1.2.3", 5000), unicast));
}

TEST_F(SourceFilter, RejectedDatagramIsReportedAndNotRelayed) {
  set_sockets_for_tests(input_socket, socket(AF_INET, SOCK_DGRAM, 0), statistics_socket);
  LoopbackSocket a;
  add_permanent_client(ip("127.0.0.1"), htons(a.port));
  parse("source 127.0.0.1:5000\n");
  uint8_t d[] = {1, 2, 3};
  CaptureStderr();
  handle_data(d, 3, make_addr("127.0.0.1", 5001), in_addr{}, fake_mono);
  EXPECT_EQ(GetCapturedStderr(), "3:Request from 127.0.0.1:5001 rejected.\n");
  EXPECT_EQ(last_data, 0);
  EXPECT_TRUE(a.nothing_waiting());

  handle_data(d, 3, make_addr("127.0.0.1", 5000), in_addr{}, fake_mono);
  EXPECT_EQ(last_data, fake_mono);
  EXPECT_EQ(a.receive().size(), 3u);
}

// A whole wake-up of the loop over real loopback sockets: the daemon's input
// and output, a receiver as a permanent client, and a sender.
class Wakeup : public TolvekTest {
 protected:
  LoopbackSocket client, sender;
  sockaddr_in input_addr{}, output_addr{};

  void SetUp() override {
    TolvekTest::SetUp();
    stats_reset();
    int input = bound(input_addr), output = bound(output_addr);
    set_sockets_for_tests(input, output, -1);
    add_permanent_client(ip("127.0.0.1"), htons(client.port));
    set_last_data(fake_mono);
  }
  static int bound(sockaddr_in& addr) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    addr = make_addr("127.0.0.1", 0);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t n = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &n);
    return fd;
  }
  void send_to(const sockaddr_in& to, const std::vector<uint8_t>& d) const {
    sendto(sender.fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  // The sequence numbers of the datagrams waiting at the client.
  std::vector<int> relayed() const {
    std::vector<int> seqs;
    while (!client.nothing_waiting()) {
      std::vector<uint8_t> d = client.receive();
      seqs.push_back(d[2] << 8 | d[3]);
    }
    return seqs;
  }
};

// A backlog on the input is read a batch at a time, and a control packet
// waiting behind it is served in the same wake-up, not after the backlog.
TEST_F(Wakeup, ReadsABoundedBatchFromEachSocketInTurn) {
  const int backlog = static_cast<int>(READ_BATCH) + 3;
  for (int seq = 0; seq < backlog; seq++) send_to(input_addr, {0x80, 0x60, 0, static_cast<uint8_t>(seq)});
  add_ip(ip("127.0.0.1"));
  send_to(output_addr, {'Q', 'M', 'Z', 0, 1, 2, 3, 4, 5, 6, 0, 0});

  CaptureStdout();
  loop_iteration();
  std::string out = GetCapturedStdout();
  std::vector<int> first = relayed();
  ASSERT_EQ(first.size(), READ_BATCH);
  for (size_t i = 0; i < first.size(); i++) EXPECT_EQ(first[i], static_cast<int>(i));
  EXPECT_EQ(out, "Adding client 127.0.0.1:" + std::to_string(sender.port) + " on his request.\n");
  EXPECT_EQ(stream_stats.received_frames, READ_BATCH);

  loop_iteration();
  EXPECT_EQ(relayed(), (std::vector<int>{backlog - 3, backlog - 2, backlog - 1}));
  EXPECT_EQ(stream_stats.received_frames, static_cast<uint64_t>(backlog));
  EXPECT_EQ(stream_stats.lost_frames, 0u);
}

// The keep-alive is due after every wake-up, however long the backlog.
TEST_F(Wakeup, KeepAliveIsNotHeldBackByABacklog) {
  parse("source 127.0.0.1:" + std::to_string(sender.port) + " pw\n");
  for (size_t i = 0; i < 3 * READ_BATCH; i++) send_to(input_addr, {0x80, 0x60, 0, static_cast<uint8_t>(i)});
  loop_iteration();
  EXPECT_EQ(relayed().size(), READ_BATCH);
  EXPECT_EQ(sender.receive(), build_trigger("pw"));
  EXPECT_EQ(last_trigger, fake_mono);
}

// The stray filter over time, read back from what the kernel queues on the
// input: a flood of strays is counted per second, filtered for its hold,
// let in and counted again once lifted; a failover counts afresh, and an
// input socket that stays through it loses the filter of the old source.
TEST_F(Wakeup, StrayFilterIsHeldItsTimeAndStartsAfreshAfterAFailover) {
  LoopbackSocket stray, alt_source;
  uint16_t in = ntohs(input_addr.sin_port);
  settings_for_tests().input_port = in;
  settings_for_tests().alt_input_port = in;  // the same port: the socket stays
  settings_for_tests().output_port = ntohs(output_addr.sin_port);
  parse("source 127.0.0.1:" + std::to_string(sender.port) + "\n");
  parse("alt_source 127.0.0.1:" + std::to_string(alt_source.port) + "\n");
  const sockaddr_in from_stray = make_addr("127.0.0.1", stray.port);
  auto strays = [&](unsigned n) {
    uint8_t d[] = {0x80, 0, 0, 1};
    for (unsigned i = 0; i < n; i++) handle_data(d, sizeof d, from_stray, in_addr{}, fake_mono);
  };
  // A stray is sent, then a datagram from source: which the input gets
  // first, 1 for the stray, 2 for the source's, 0 for neither.
  enum { kNeither, kStray, kSource };
  auto first_queued = [&](const LoopbackSocket& source) {
    uint8_t tag = kStray;
    sendto(stray.fd, &tag, 1, 0, reinterpret_cast<const sockaddr*>(&input_addr), sizeof input_addr);
    tag = kSource;
    sendto(source.fd, &tag, 1, 0, reinterpret_cast<const sockaddr*>(&input_addr), sizeof input_addr);
    pollfd p{input_socket, POLLIN, 0};
    uint8_t first = kNeither;
    if (poll(&p, 1, 500) == 1) recv(input_socket, &first, 1, 0);
    while (recv(input_socket, &tag, 1, MSG_DONTWAIT) > 0) {
    }
    return first;
  };
  auto wake = [] { after_wakeup(fake_mono); };
  CaptureStderr();
  CaptureStdout();

  // A second's count: as many as the limit in two seconds in a row pass;
  // one more in the second of them is a flood.
  strays(STRAY_FLOOD);
  EXPECT_EQ(first_queued(sender), kStray);
  fake_mono += 1.0;
  strays(STRAY_FLOOD);
  EXPECT_EQ(first_queued(sender), kStray);
  strays(1);
  EXPECT_EQ(first_queued(sender), kSource);
  double filtered_at = fake_mono;

  // Held for its time, then lifted; lifted, a new flood is caught again.
  fake_mono = filtered_at + STRAY_FILTER_HOLD - 0.01;
  set_last_data(fake_mono);
  wake();
  EXPECT_EQ(first_queued(sender), kSource);
  fake_mono = filtered_at + STRAY_FILTER_HOLD;
  set_last_data(fake_mono);
  wake();
  EXPECT_EQ(first_queued(sender), kStray);
  strays(STRAY_FLOOD + 1);
  EXPECT_EQ(first_queued(sender), kSource);

  // A failover while filtered: the socket stays, without the filter for
  // the old source, and so lets in both the strays and the new source.
  fake_mono += data_timeout + 0.5;
  wake();
  ASSERT_EQ(alt_toggle, 1);
  EXPECT_EQ(first_queued(alt_source), kStray);

  // The count starts afresh at a failover: strays of the second before it
  // do not add to those after it.
  fake_mono += 1.0;
  set_last_data(fake_mono - data_timeout - 0.1);
  strays(STRAY_FLOOD - 1);
  wake();
  ASSERT_EQ(alt_toggle, 0);
  fake_mono += 0.2;
  strays(STRAY_FLOOD);
  EXPECT_EQ(first_queued(sender), kStray);
  strays(1);
  EXPECT_EQ(first_queued(sender), kSource);
  GetCapturedStdout();
  GetCapturedStderr();
}

// A failover that cannot bind its port stays on the input it has and tries
// again after the next timeout, not at every wake-up.
TEST_F(Wakeup, FailedFailoverWaitsForTheNextTimeout) {
  LoopbackSocket taker;
  close(taker.fd);
  taker.fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any = make_addr("0.0.0.0", 0);
  ASSERT_EQ(bind(taker.fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  socklen_t n = sizeof any;
  getsockname(taker.fd, reinterpret_cast<sockaddr*>(&any), &n);
  settings_for_tests().input_port = ntohs(input_addr.sin_port);
  settings_for_tests().alt_input_port = ntohs(any.sin_port);  // taken
  settings_for_tests().output_port = ntohs(output_addr.sin_port);
  parse("source 127.0.0.1:0\n");
  std::vector<double> tried;
  CaptureStderr();
  for (double t = 0; t <= 9; t += 0.5) {
    fake_mono = 2000 + t;
    set_last_data(t == 0 ? 2000 - data_timeout - 0.5 : last_data);
    CaptureStdout();
    after_wakeup(fake_mono);
    if (GetCapturedStdout().find("Reception timed out.\n") != std::string::npos) tried.push_back(t);
  }
  std::string err = GetCapturedStderr();
  EXPECT_EQ(tried, (std::vector<double>{0, 4.5, 9}));
  EXPECT_EQ(alt_toggle, 0);
  EXPECT_NE(err.find("tolvek: cannot fail over to UDP port " + std::to_string(ntohs(any.sin_port)) +
                     ": Address already in use; staying on UDP port " +
                     std::to_string(ntohs(input_addr.sin_port)) + ".\n"),
            std::string::npos)
      << err;
}
