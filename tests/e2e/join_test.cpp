// tolvek-join against a socket standing in for the repeater, where every
// packet it sends can be read, and against the real daemon.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "harness.h"

namespace {

const Bytes kMac{0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};

Daemon join(uint16_t repeater_port, const std::vector<std::string>& options) {
  std::vector<std::string> argv{TOLVEK_JOIN_BINARY, endpoint(repeater_port)};
  argv.insert(argv.end(), options.begin(), options.end());
  return Daemon::run(argv);
}

// A control packet as the README lays it out: type byte 001 and the type,
// sender id, record count, 0, then the records.
Bytes control(uint8_t type, const std::string& password, const Bytes& records = {}, uint8_t n_records = 0) {
  Bytes p{'Q', 'M', 'Z', static_cast<uint8_t>(0x20 | type)};
  p.insert(p.end(), kMac.begin(), kMac.end());
  p.push_back(static_cast<uint8_t>(n_records + 1));
  p.push_back(0);
  p.insert(p.end(), records.begin(), records.end());
  p.insert(p.end(), {1, 0, static_cast<uint8_t>(password.size() + 1)});
  p.insert(p.end(), password.begin(), password.end());
  p.push_back(0);
  return p;
}

Bytes status_record(uint32_t received, uint32_t lost, uint32_t duplicate, uint32_t dropped = 0) {
  Bytes r{2, 0, 27, 0};
  for (uint32_t v : {received, lost, duplicate, dropped})
    for (int i = 0; i < 4; i++) r.push_back(static_cast<uint8_t>(v >> (8 * i)));
  r.resize(3 + 27, 0);
  return r;
}

Bytes rtp(uint16_t seq, size_t size = 172) { return patterned_datagram(seq, size); }

// Connects s to 127.0.0.1:port, or with port 0 undoes that: a socket
// connected elsewhere refuses what comes to it (ICMP port unreachable).
void connect_to(const Udp& s, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = port ? AF_INET : AF_UNSPEC;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ASSERT_EQ(connect(s.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  if (port) return;
  // Undone, it lets go of the port the system picked for it: take it again.
  to.sin_family = AF_INET;
  to.sin_port = htons(s.port);
  ASSERT_EQ(bind(s.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
}

// Whether a datagram to 127.0.0.1:port from a socket of its own is refused.
bool refused_from_elsewhere(uint16_t port) {
  Udp s;
  connect_to(s, port);
  if (send(s.fd, "x", 1, 0) != 1) return false;
  pollfd p{s.fd, POLLIN, 0};
  poll(&p, 1, 1000);
  char c;
  return recv(s.fd, &c, 1, MSG_DONTWAIT) < 0 && errno == ECONNREFUSED;
}

// The next status report among what the stand-in repeater receives within
// timeout seconds; empty if none.
Bytes next_status_report(const Udp& repeater, double timeout) {
  double end = now_seconds() + timeout;
  for (double left = timeout; left > 0; left = end - now_seconds()) {
    Bytes b = repeater.receive(left);
    if (b.size() > 3 && b[3] == 0x21) return b;
  }
  return {};
}

const char kAdmitting[] = "allow_mac 02:00:5e:10:20:30\nallow_pass secret\n";

}  // namespace

// Everything tolvek-join sends and forwards, read where it arrives.
TEST(JoinCommand, RegistersReportsForwardsAndStopsAgainstAStandIn) {
  Udp repeater, player, stranger;
  Daemon j = join(repeater.port, {"--forward", endpoint(player.port), "--mac", "02:00:5e:10:20:30", "--password",
                                  "secret", "--interval", "1", "--status-interval", "1.5"});
  sockaddr_in from{};
  EXPECT_EQ(repeater.receive(2.0, &from), control(0, "secret"));
  uint16_t join_port = ntohs(from.sin_port);
  ASSERT_TRUE(j.wait_out("tolvek-join: registering with " + endpoint(repeater.port) + " from port " +
                         std::to_string(join_port) + ", forwarding to " + endpoint(player.port) + "\n"))
      << j.out() << j.err();
  EXPECT_EQ(repeater.receive(2.0), control(0, "secret"));  // again, an interval later

  // Unchanged and in order, whatever the order of the sequence numbers;
  // nobody but the repeater is forwarded.
  std::vector<Bytes> sent = {rtp(65535, 12), rtp(1, 1400), rtp(0), rtp(0), Bytes{1, 2, 3}, rtp(2)};
  for (const Bytes& d : sent) {
    repeater.send(d, join_port);
    stranger.send(rtp(9), join_port);
  }
  for (const Bytes& d : sent) EXPECT_EQ(player.receive(), d);
  EXPECT_TRUE(player.silent_for(0.2));
  // Its socket is connected to the repeater: the kernel refuses the others.
  EXPECT_TRUE(refused_from_elsewhere(join_port));
  EXPECT_TRUE(j.wait_out("tolvek-join: stream started\n"));

  // Counted as the repeater counts: 6 received, 0 lost (0 came late), 1 duplicate.
  Bytes want = control(1, "secret", status_record(6, 0, 1), 1);
  Bytes got;
  for (int i = 0; i < 8 && got != want; i++) {
    got = repeater.receive(2.0);
    if (!got.empty() && got[3] == 0x20) got.clear();  // a registration
  }
  EXPECT_EQ(got, want);

  ASSERT_TRUE(j.wait_out("tolvek-join: stream stopped: nothing for 5 s; still registering\n", 7.0)) << j.out();
  repeater.send(rtp(3), join_port);
  EXPECT_EQ(player.receive(), rtp(3));
  EXPECT_TRUE(j.wait_out("tolvek-join: stream resumed after "));

  while (!repeater.receive(0.05).empty()) {
  }
  kill(j.pid, SIGTERM);
  EXPECT_EQ(j.wait_exit(), 0);
  Bytes stop;
  for (Bytes b = repeater.receive(1.0); !b.empty() && stop.empty(); b = repeater.receive(1.0))
    if (b[3] == 0x22) stop = b;
  EXPECT_EQ(stop, control(2, "secret"));
  EXPECT_EQ(j.err(), "");
}

TEST(JoinCommand, AdmittedByTheRepeaterAndForwarding) {
  Udp source, player;
  Repeater r;
  r.start(kAdmitting);
  uint16_t join_port = free_port();
  Daemon j = join(r.out_port, {"--forward", endpoint(player.port), "--port", std::to_string(join_port), "--mac",
                               "02:00:5e:10:20:30", "--password", "secret", "-q"});
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(join_port) + " on his request.\n")) << r.d.err() << j.err();
  for (uint16_t s = 0; s < 200; s++) source.send(rtp(s, 100 + s), r.in_port);
  for (uint16_t s = 0; s < 200; s++) ASSERT_EQ(player.receive(), rtp(s, 100 + s)) << s;
  EXPECT_EQ(count_of(r.d.err(), "rejected"), 0);
  EXPECT_EQ(j.out(), "");  // quiet
}

TEST(JoinCommand, RejectedWithoutThePassword) {
  Udp source, player;
  Repeater r;
  r.start(kAdmitting);
  uint16_t join_port = free_port();
  Daemon j = join(r.out_port, {"--forward", endpoint(player.port), "--port", std::to_string(join_port), "--mac",
                               "02:00:5e:10:20:30", "--interval", "0.2"});
  ASSERT_TRUE(r.d.wait_err("2:Request from " + endpoint(join_port) + " rejected.\n", 5.0, 2)) << r.d.err();
  source.send(rtp(1), r.in_port);
  EXPECT_TRUE(player.silent_for(0.5));
  EXPECT_EQ(count_of(r.d.out(), "Adding client"), 0);
  EXPECT_EQ(j.wait_exit(0.1), -1);  // goes on registering
}

TEST(JoinCommand, SigtermAndSigintSendAStopRequest) {
  Udp source, player1, player2;
  Repeater r;
  r.start(kAdmitting);
  uint16_t port1 = free_port(), port2 = free_port();
  std::vector<std::string> common{"--mac", "02:00:5e:10:20:30", "--password", "secret"};
  auto options = [&](uint16_t port, const Udp& player) {
    std::vector<std::string> o{"--port", std::to_string(port), "--forward", endpoint(player.port)};
    o.insert(o.end(), common.begin(), common.end());
    return o;
  };
  Daemon j1 = join(r.out_port, options(port1, player1));
  Daemon j2 = join(r.out_port, options(port2, player2));
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(port1) + " on his request.\n"));
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(port2) + " on his request.\n"));
  source.send(rtp(1), r.in_port);
  EXPECT_EQ(player1.receive(), rtp(1));
  EXPECT_EQ(player2.receive(), rtp(1));

  kill(j1.pid, SIGTERM);
  kill(j2.pid, SIGINT);
  EXPECT_EQ(j1.wait_exit(), 0);
  EXPECT_EQ(j2.wait_exit(), 0);
  EXPECT_TRUE(r.d.wait_err("2:Request from " + endpoint(port1) + " to stop streaming.\n"));
  EXPECT_TRUE(r.d.wait_err("2:Request from " + endpoint(port2) + " to stop streaming.\n"));
  source.send(rtp(2), r.in_port);
  EXPECT_TRUE(r.d.wait_out("Client " + endpoint(port1) + " timed out.\n"));
  EXPECT_TRUE(r.d.wait_out("Client " + endpoint(port2) + " timed out.\n"));
}

// Killed outright, it sends nothing more; the repeater lets it go once its
// last registration is 20 s old, not 20 s after the first one.
TEST(JoinCommand, RepeaterDropsItTwentySecondsAfterSigkill) {
  Repeater r;
  r.start(kAdmitting);
  uint16_t join_port = free_port();
  Daemon j = join(r.out_port, {"--port", std::to_string(join_port), "--mac", "02:00:5e:10:20:30", "--password",
                               "secret", "--interval", "1"});
  std::string timed_out = "Client " + endpoint(join_port) + " timed out.\n";
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(join_port) + " on his request.\n"));
  usleep(6000000);
  j.kill_now();
  double killed = now_seconds();
  // Registered once only, it would go 14 to 16 s after the kill; kept
  // registered, 19 to 22 s after.
  EXPECT_FALSE(r.d.wait_out(timed_out, 17.5));
  ASSERT_TRUE(r.d.wait_out(timed_out, 8.0)) << r.d.out();
  EXPECT_LT(now_seconds() - killed, 25.0);
}

TEST(JoinCommand, UsageAndStartFailures) {
  Udp taken;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 2, "tolvek-join: expected one REPEATER_HOST:PORT\nUsage: tolvek-join REPEATER_HOST:PORT"},
      {{"127.0.0.1:5002", "127.0.0.1:5003"}, 2, "expected one REPEATER_HOST:PORT"},
      {{"127.0.0.1"}, 2, "REPEATER needs HOST:PORT with a port from 1 to 65535, got 127.0.0.1"},
      {{"127.0.0.1:0"}, 2, "REPEATER needs HOST:PORT"},
      {{"127.0.0.1:5002", "--forward", "127.0.0.1:65536"}, 2, "--forward needs HOST:PORT"},
      {{"127.0.0.1:5002", "--interval", "16"}, 2, "--interval needs a number of seconds from 0.1 to 15, got 16"},
      {{"127.0.0.1:5002", "--interval", "0"}, 2, "--interval needs"},
      {{"127.0.0.1:5002", "--status-interval", "-1"}, 2, "--status-interval needs a number of seconds from 0 (off)"},
      {{"127.0.0.1:5002", "--mac", "02:00:5e:10:20"}, 2, "--mac needs six two-digit hexadecimal numbers"},
      {{"127.0.0.1:5002", "--mac", "02:00:5e:10:20:30:"}, 2, "--mac needs"},
      {{"127.0.0.1:5002", "--port", "65536"}, 2, "--port needs a port from 0 to 65535, got 65536"},
      {{"127.0.0.1:5002", "--password", std::string(1025, 'x')}, 2, "--password takes at most 1024 bytes"},
      {{"127.0.0.1:5002", "--bogus"}, 2, "unknown option or missing value: --bogus"},
      {{"127.0.0.1:5002", "--port", std::to_string(taken.port)}, 1,
       "tolvek-join: cannot bind UDP port " + std::to_string(taken.port) + ": Address already in use\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{TOLVEK_JOIN_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Daemon j = Daemon::run(argv);
    EXPECT_EQ(j.wait_exit(), c.status) << c.err;
    EXPECT_NE(j.err().find(c.err), std::string::npos) << j.err();
    EXPECT_EQ(j.out(), "");
  }
  Daemon help = Daemon::run({TOLVEK_JOIN_BINARY, "--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_EQ(help.out().rfind("Usage: tolvek-join", 0), 0u);
}

// A name that does not resolve: asked inside a network namespace of the
// test's own, so the question goes nowhere.
TEST(JoinCommand, UnresolvableHostExitsOne) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  Daemon j = Daemon::run({"unshare", "--net", TOLVEK_JOIN_BINARY, "no-such-repeater.invalid:5002"});
  ASSERT_EQ(j.wait_exit(10.0), 1) << j.err();
  EXPECT_EQ(j.err().rfind("tolvek-join: cannot resolve no-such-repeater.invalid: ", 0), 0u) << j.err();
}

// A player that refuses the stream (ICMP port unreachable) is told of once
// when forwarding begins to fail and once when it has recovered, and every
// refused frame is reported to the repeater as dropped.
TEST(JoinCommand, TellsWhenForwardingFailsAndRecoversAndCountsTheDropped) {
  Udp repeater, player;
  connect_to(player, 1);
  Daemon j = join(repeater.port, {"--forward", endpoint(player.port), "--mac", "02:00:5e:10:20:30", "--password",
                                  "secret", "--status-interval", "0.3"});
  sockaddr_in from{};
  ASSERT_EQ(repeater.receive(2.0, &from), control(0, "secret"));
  uint16_t join_port = ntohs(from.sin_port);
  const int refused = 10;
  for (uint16_t s = 0; s < refused; s++) repeater.send(rtp(s), join_port);
  const std::string failing =
      "tolvek-join: cannot forward the stream to " + endpoint(player.port) + ": Connection refused\n";
  ASSERT_TRUE(j.wait_err(failing)) << j.err();
  Bytes all_dropped = control(1, "secret", status_record(refused, 0, 0, refused), 1), report;
  for (double end = now_seconds() + 5; report != all_dropped && now_seconds() < end;)
    report = next_status_report(repeater, 1.0);
  EXPECT_EQ(report, all_dropped);

  // Back: told once forwards have gone out for a second without a refusal.
  connect_to(player, 0);
  const std::string recovered = "tolvek-join: forwarding to " + endpoint(player.port) + " again after " +
                                std::to_string(refused) + " dropped frames\n";
  uint16_t s = refused;
  for (double end = now_seconds() + 5; count_of(j.err(), recovered) == 0 && now_seconds() < end; s++) {
    repeater.send(rtp(s), join_port);
    EXPECT_EQ(player.receive(), rtp(s));
    usleep(10000);  // a stream's pace, not a flood
  }
  EXPECT_EQ(j.err(), failing + recovered);
  Bytes now_dropped = control(1, "secret", status_record(s, 0, 0, refused), 1);
  for (double end = now_seconds() + 5; report != now_dropped && now_seconds() < end;)
    report = next_status_report(repeater, 1.0);
  EXPECT_EQ(report, now_dropped);
}

// A SIGTERM blocked by whoever started it still ends it, with a stop request.
TEST(JoinCommand, SigtermEndsItEvenWhenStartedBlocked) {
  Udp repeater;
  sigset_t term, before;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, &before);
  Daemon j = join(repeater.port, {"--mac", "02:00:5e:10:20:30", "--password", "secret"});  // inherits the mask
  sigprocmask(SIG_SETMASK, &before, nullptr);
  ASSERT_EQ(repeater.receive(2.0), control(0, "secret"));
  kill(j.pid, SIGTERM);
  EXPECT_EQ(j.wait_exit(), 0);
  Bytes stop;
  for (Bytes b = repeater.receive(1.0); !b.empty() && stop.empty(); b = repeater.receive(1.0))
    if (b[3] == 0x22) stop = b;
  EXPECT_EQ(stop, control(2, "secret"));
}

// The documented bounds are inclusive.
TEST(JoinCommand, IntervalsAtTheirBoundsAreAccepted) {
  Udp repeater;
  Daemon j = join(repeater.port, {"--interval", "15", "--status-interval", "3600"});
  EXPECT_EQ(repeater.receive(2.0).size(), 12u);  // a registration without a password
  EXPECT_EQ(j.wait_exit(0.1), -1) << j.err();
  for (const std::vector<std::string>& beyond :
       {std::vector<std::string>{"--interval", "15.001"}, std::vector<std::string>{"--status-interval", "3600.001"}}) {
    Daemon refused = join(repeater.port, beyond);
    EXPECT_EQ(refused.wait_exit(), 2) << beyond[1];
    EXPECT_NE(refused.err().find(beyond[0] + " needs a number of seconds"), std::string::npos) << refused.err();
  }
}
