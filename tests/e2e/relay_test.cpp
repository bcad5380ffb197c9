#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "harness.h"

namespace {

std::string port_line(const char* keyword, uint16_t port) { return std::string(keyword) + " " + std::to_string(port) + "\n"; }

// A daemon relaying from in_port to the given loopback clients.
struct Relay {
  uint16_t in_port = free_port();
  uint16_t out_port = free_port();
  Daemon d;
  void start(const std::string& extra) {
    d = Daemon::with_config(port_line("input_port", in_port) + port_line("output_port", out_port) + extra);
    ASSERT_TRUE(d.wait_out("Setting up to output UDP port")) << d.out() << d.err();
  }
};

Bytes rtp(uint16_t seq, size_t size = 200) {
  Bytes d(size);
  for (size_t i = 0; i < size; i++) d[i] = static_cast<uint8_t>(i * 31 + seq);
  d[0] = 0x80;
  d[2] = static_cast<uint8_t>(seq >> 8);
  d[3] = static_cast<uint8_t>(seq);
  return d;
}

}  // namespace

TEST(StartUp, FailuresHaveExactMessagesAndStatuses) {
  const std::string version = "Version:2.0.5 18 December 2024\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{}, 255, version, "tolvek: Run me again with config file path as an argument.\n"},
      {{"-l"}, 255, version, "Cannot open config file -l: No such file or directory\n"},
      {{"-i", "5000", "-l"}, 255, version + "LINE to parse: input_port 5000\nLINE to parse: legacy\n",
       "tolvek: output port must be configured.\n"},
      {{"-o", "5000", "-m", "00:11:22"}, 1, version + "LINE to parse: output_port 5000\n",
       "tolvek: syntax error in config file: allow_mac 00:11:22 \n"},
  };
  for (const Case& c : cases) {
    Daemon d = Daemon::with_args(c.args);
    EXPECT_EQ(d.wait_exit(), c.status) << c.err;
    EXPECT_EQ(d.out(), c.out);
    EXPECT_EQ(d.err(), c.err);
  }
}

TEST(StartUp, HelpTextExitsZero) {
  Daemon d = Daemon::with_args({"-h"});
  EXPECT_EQ(d.wait_exit(), 0);
  std::string out = d.out();
  EXPECT_EQ(out.rfind("Version:2.0.5 18 December 2024\nUsage:\n     tolvek -h: prints this screen\n", 0), 0u);
  EXPECT_NE(out.find("        -n max_n_clients. Sets the maximum number of clients allowed to connect.\n"),
            std::string::npos);
}

TEST(StartUp, ConfigurationErrors) {
  Daemon d = Daemon::with_config("input_port 5000\noutput_port 5001\nalt_source 127.0.0.1:5000\n");
  EXPECT_EQ(d.wait_exit(), 255);
  EXPECT_EQ(d.err(), "tolvek: you cannot specify alt source and not source\n");

  Udp taken("0.0.0.0");
  Daemon busy = Daemon::with_config(port_line("input_port", taken.port) + "output_port 0\n");
  EXPECT_EQ(busy.wait_exit(), 255);
  EXPECT_EQ(busy.err(), "tolvek: cannot bind the socket at port " + std::to_string(taken.port) +
                            ": Address already in use\n");
}

TEST(StartUp, SharedInputAndOutputPortIsOneSocket) {
  uint16_t port = free_port();
  Daemon d = Daemon::with_args({"-i", std::to_string(port), "-o", std::to_string(port)});
  ASSERT_TRUE(d.wait_out("Setting up to listen at UDP port " + std::to_string(port) + ", socket handle: "))
      << d.out() << d.err();
  EXPECT_EQ(d.wait_exit(0.5), -1);
  EXPECT_EQ(count_of(d.out(), "Setting up"), 1);
}

TEST(Relay, PermanentClientsReceiveEveryDatagramUnchanged) {
  Udp a, b, source;
  Relay r;
  r.start("# two receivers\nclient 127.0.0.1:" + std::to_string(a.port) + "\nclient 127.0.0.1:" +
          std::to_string(b.port) + "\n");
  EXPECT_TRUE(r.d.wait_out("Adding a permanent client 127.0.0.1:" + std::to_string(b.port) + "\n"));
  Bytes tiny{7, 8};
  source.send(tiny, r.in_port);
  EXPECT_EQ(a.receive(), tiny);
  EXPECT_EQ(b.receive(), tiny);
  for (uint16_t seq = 0; seq < 50; seq++) {
    Bytes d = rtp(seq, 100 + seq * 20);
    source.send(d, r.in_port);
    sockaddr_in from{};
    ASSERT_EQ(a.receive(2.0, &from), d) << seq;
    EXPECT_EQ(ntohs(from.sin_port), r.out_port);
    ASSERT_EQ(b.receive(), d) << seq;
  }
  Bytes big = rtp(9, 60000);
  source.send(big, r.in_port);
  EXPECT_EQ(a.receive(), big);
}

TEST(Relay, SourceFilterRejectsOtherSenders) {
  Udp a, source, impostor;
  Relay r;
  r.start("client 127.0.0.1:" + std::to_string(a.port) + "\nsource 127.0.0.1:" + std::to_string(source.port) + "\n");
  impostor.send(rtp(1), r.in_port);
  EXPECT_TRUE(r.d.wait_err("3:Request from 127.0.0.1:" + std::to_string(impostor.port) + " rejected.\n"));
  EXPECT_TRUE(a.silent_for(0.3));
  source.send(rtp(2), r.in_port);
  EXPECT_EQ(a.receive(), rtp(2));
}

TEST(Relay, UnreachableClientDoesNotStopTheStream) {
  Udp good, source;
  Relay r;
  r.start("client 127.0.0.1:0\nclient 127.0.0.1:" + std::to_string(good.port) + "\n");
  for (uint16_t seq = 0; seq < 20; seq++) {
    source.send(rtp(seq), r.in_port);
    ASSERT_EQ(good.receive(), rtp(seq)) << r.d.err();
  }
  EXPECT_EQ(r.d.wait_exit(0.2), -1);
  EXPECT_EQ(count_of(r.d.err(), "tolvek: cannot send a UDP packet 200 bytes long: Invalid argument, to 127.0.0.1:0"),
            1);
}

TEST(Relay, SenderPortZeroIsDroppedSilently) {
  Udp a, source;
  Relay r;
  r.start("client 127.0.0.1:" + std::to_string(a.port) + "\n");
  if (!send_from_port_zero(rtp(1), r.in_port)) GTEST_SKIP() << "needs a raw socket (root)";
  EXPECT_TRUE(a.silent_for(0.3));
  source.send(rtp(2), r.in_port);
  EXPECT_EQ(a.receive(), rtp(2));
  EXPECT_EQ(r.d.err(), "");
}

TEST(Failover, SwitchesToTheAlternateInputAndBack) {
  Udp a, primary, alternate;
  uint16_t alt_port = free_port();
  Relay r;
  r.start("alt_input_port " + std::to_string(alt_port) + "\nsource 127.0.0.1:" + std::to_string(primary.port) +
          "\nalt_source 127.0.0.1:" + std::to_string(alternate.port) + "\nclient 127.0.0.1:" +
          std::to_string(a.port) + "\n");
  primary.send(rtp(1), r.in_port);
  EXPECT_EQ(a.receive(), rtp(1));

  double start = now_seconds();
  ASSERT_TRUE(r.d.wait_out("Reception timed out.\n", 8.0)) << r.d.out();
  double waited = now_seconds() - start;
  EXPECT_GE(waited, 3.5);
  EXPECT_LE(waited, 6.5);
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(alt_port) + ","));
  usleep(100000);
  alternate.send(rtp(2), alt_port);
  EXPECT_EQ(a.receive(), rtp(2));
  primary.send(rtp(3), alt_port);  // the primary source is not current now
  EXPECT_TRUE(r.d.wait_err("3:Request from 127.0.0.1:" + std::to_string(primary.port) + " rejected.\n"));

  ASSERT_TRUE(r.d.wait_out("Reception timed out.\n", 8.0, 2)) << r.d.out();
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(r.in_port) + ",", 2.0, 2));
  usleep(100000);
  primary.send(rtp(4), r.in_port);
  EXPECT_EQ(a.receive(), rtp(4));
}

// Multicast needs a group joined somewhere: only inside a network namespace
// of this test's own, never on a real interface.
TEST(Multicast, GroupDatagramsAreRelayedAndImpostorsRejected) {
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    if (system("ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo") != 0) _exit(78);
    int failures = 0;
    {
      Udp a, impostor, sender("127.0.0.1");
      Relay r;
      r.start("source 239.255.10.10:0\nclient 127.0.0.1:" + std::to_string(a.port) + "\n");
      if (!r.d.wait_out("Joining multicast group for the source.\n")) failures |= 1;
      usleep(100000);
      sender.send(rtp(1), r.in_port, "239.255.10.10");
      if (a.receive() != rtp(1)) failures |= 2;
      impostor.send(rtp(2), r.in_port);
      if (!r.d.wait_err("3:Request from 127.0.0.1:" + std::to_string(impostor.port) + " rejected.\n")) failures |= 4;
      sender.send(rtp(3), r.in_port, "239.255.10.10");
      if (a.receive() != rtp(3)) failures |= 8;
      if (!a.silent_for(0.2)) failures |= 16;
    }
    _exit(failures);
  }
  int st = 0;
  waitpid(child, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "no network namespaces here";
  EXPECT_EQ(WEXITSTATUS(st), 0) << "failure bits";
}
