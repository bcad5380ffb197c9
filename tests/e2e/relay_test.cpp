#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "harness.h"


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
      // No configuration at all: said at once, never read on without end.
      {{"/tmp"}, 255, version, "Cannot read config file /tmp: Is a directory\n"},
      {{"/dev/zero"}, 255, version, "tolvek: config file /dev/zero is larger than 1048576 bytes.\n"},
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

// Every program answers --help and --version on standard output with status
// 0, and a usage error of a companion with status 2.
TEST(StartUp, EveryProgramHasHelpAndVersion) {
  struct Program {
    std::vector<std::string> command;
    std::string version;
  } programs[] = {
      {tolvek_command({}), "Version:2.0.5 18 December 2024\n"},
      {stats_command({}), "tolvek-stats 2.0.5 18 December 2024\n"},
      {{TOLVEK_JOIN_BINARY}, "tolvek-join 2.0.5 18 December 2024\n"},
      {{TOLVEK_CHECKCONF_BINARY}, "tolvek-checkconf 2.0.5 18 December 2024\n"},
  };
  for (const Program& p : programs) {
    bool daemon = &p == &programs[0];  // whose one argument is a configuration file
    auto with = [&](const std::string& option) {
      std::vector<std::string> argv = p.command;
      argv.push_back(option);
      return Daemon::run(argv);
    };
    Daemon version = with("--version");
    EXPECT_EQ(version.wait_exit(), 0) << p.command.back();
    EXPECT_EQ(version.out(), p.version);
    Daemon help = with("--help");
    EXPECT_EQ(help.wait_exit(), 0) << p.command.back();
    EXPECT_NE(help.out().find("Usage:"), std::string::npos) << p.command.back();
    EXPECT_EQ(help.err(), "");
    if (daemon) continue;
    Daemon bad = with("--bogus");
    EXPECT_EQ(bad.wait_exit(), 2) << p.command.back();
  }
  // Long options take their value after "=" too.
  Udp silent;
  Daemon eq = Daemon::run(stats_command({"127.0.0.1:" + std::to_string(silent.port), "--timeout=0.01", "--count=1"}));
  EXPECT_EQ(eq.wait_exit(), 1);
  EXPECT_NE(eq.err().find("within 0.01 s"), std::string::npos) << eq.err();
}

TEST(StartUp, ConfigurationErrors) {
  Daemon d = Daemon::with_config("input_port 5000\noutput_port 5001\nalt_source 127.0.0.1:5000\n");
  EXPECT_EQ(d.wait_exit(), 255);
  EXPECT_EQ(d.err(), "tolvek: you cannot specify alt source and not source\n");

  // Two sockets that could not be bound together are refused before either is.
  Daemon clash = Daemon::with_config("input_port 5000\noutput_port 5001\nalt_input_port 5002\nstatistics_port 5002\n");
  EXPECT_EQ(clash.wait_exit(), 255);
  EXPECT_EQ(clash.err(), "tolvek: statistics port 5002 and alternate input port 5002 are the same UDP port.\n");

  Udp taken("0.0.0.0");
  Daemon busy = Daemon::with_config("input_port " + std::to_string(taken.port) + "\noutput_port 0\n");
  EXPECT_EQ(busy.wait_exit(), 255);
  EXPECT_EQ(busy.err(), "tolvek: cannot bind the socket at port " + std::to_string(taken.port) +
                            ": Address already in use\n");
}

TEST(StartUp, ConfigurationFromANamedPipe) {
  Udp client, source;
  uint16_t in = free_port(), out = free_port();
  char dir[] = "/tmp/tolvek_fifo_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string fifo = std::string(dir) + "/tolvek.conf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Daemon d = Daemon::with_args({fifo});
  {
    std::ofstream f(fifo);
    f << ports_config(in, out) << "client " << endpoint(client.port) << "\n";
  }
  ASSERT_TRUE(d.wait_out("Setting up to output UDP port")) << d.out() << d.err();
  source.send(patterned_datagram(1), in);
  EXPECT_EQ(client.receive(), patterned_datagram(1));
  unlink(fifo.c_str());
  rmdir(dir);
}

// A binary file draws a bounded number of complaints before its size ends it.
TEST(StartUp, EndlessRandomConfigurationEndsSoonAndQuietly) {
  Daemon d = Daemon::with_args({"/dev/urandom"});
  EXPECT_EQ(d.wait_exit(), 255);
  std::string err = d.err();
  EXPECT_LE(count_of(err, "tolvek: "), 23) << err.size() << " bytes of complaints";
  EXPECT_NE(err.find("config lines with complaints left out\ntolvek: config file /dev/urandom is larger than "),
            std::string::npos);
}

// Every datagram on a socket shared by input and output is a control packet.
TEST(StartUp, SharedInputAndOutputPortIsOneSocket) {
  uint16_t port = free_port();
  Daemon d = Daemon::with_args({"-i", std::to_string(port), "-o", std::to_string(port), "-p", "", "-m", " "});
  ASSERT_TRUE(d.wait_out("Setting up to listen at UDP port " + std::to_string(port) + ", socket handle: "))
      << d.out() << d.err();
  EXPECT_EQ(d.wait_exit(0.5), -1);
  EXPECT_EQ(count_of(d.out(), "Setting up"), 1);
  EXPECT_EQ(d.err(), "tolvek: input port " + std::to_string(port) +
                         " is the output port: every datagram on it is taken for a control packet, so the stream "
                         "is never relayed from it.\n");
  Udp client;
  client.send(Bytes{'Q', 'M', 'Z', 0x20, 2, 0, 0x5e, 1, 2, 3, 0, 0}, port);
  EXPECT_TRUE(d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n")) << d.out() << d.err();
}

TEST(Relay, PermanentClientsReceiveEveryDatagramUnchanged) {
  Udp a, b, source;
  Repeater r;
  r.start("# two receivers\nclient 127.0.0.1:" + std::to_string(a.port) + "\nclient 127.0.0.1:" +
          std::to_string(b.port) + "\n");
  EXPECT_TRUE(r.d.wait_out("Adding a permanent client 127.0.0.1:" + std::to_string(b.port) + "\n"));
  Bytes tiny{7, 8};
  source.send(tiny, r.in_port);
  EXPECT_EQ(a.receive(), tiny);
  EXPECT_EQ(b.receive(), tiny);
  for (uint16_t seq = 0; seq < 50; seq++) {
    Bytes d = patterned_datagram(seq, 100 + seq * 20);
    source.send(d, r.in_port);
    sockaddr_in from{};
    ASSERT_EQ(a.receive(2.0, &from), d) << seq;
    EXPECT_EQ(ntohs(from.sin_port), r.out_port);
    ASSERT_EQ(b.receive(), d) << seq;
  }
  Bytes big = patterned_datagram(9, 60000);
  source.send(big, r.in_port);
  EXPECT_EQ(a.receive(), big);
}

TEST(Relay, SourceFilterRejectsOtherSenders) {
  Udp a, source, impostor;
  Repeater r;
  r.start("client 127.0.0.1:" + std::to_string(a.port) + "\nsource 127.0.0.1:" + std::to_string(source.port) + "\n");
  impostor.send(patterned_datagram(1), r.in_port);
  EXPECT_TRUE(r.d.wait_err("3:Request from 127.0.0.1:" + std::to_string(impostor.port) + " rejected.\n"));
  EXPECT_TRUE(a.silent_for(0.3));
  source.send(patterned_datagram(2), r.in_port);
  EXPECT_EQ(a.receive(), patterned_datagram(2));
}

TEST(Relay, UnreachableClientDoesNotStopTheStream) {
  Udp good, source;
  Repeater r;
  r.start("client 127.0.0.1:0\nclient 127.0.0.1:" + std::to_string(good.port) + "\n");
  for (uint16_t seq = 0; seq < 20; seq++) {
    source.send(patterned_datagram(seq), r.in_port);
    ASSERT_EQ(good.receive(), patterned_datagram(seq)) << r.d.err();
  }
  EXPECT_EQ(r.d.wait_exit(0.2), -1);
  EXPECT_EQ(count_of(r.d.err(), "tolvek: cannot send a UDP packet 200 bytes long: Invalid argument, to 127.0.0.1:0"),
            1);
}

TEST(Relay, SenderPortZeroIsDroppedSilently) {
  Udp a, source;
  Repeater r;
  r.start("client 127.0.0.1:" + std::to_string(a.port) + "\n");
  if (!send_from_port_zero(patterned_datagram(1), r.in_port)) GTEST_SKIP() << "needs a raw socket (root)";
  EXPECT_TRUE(a.silent_for(0.3));
  source.send(patterned_datagram(2), r.in_port);
  EXPECT_EQ(a.receive(), patterned_datagram(2));
  EXPECT_EQ(r.d.err(), "");
}

// Sends d from s to port until it arrives at to, for up to timeout seconds:
// a wait on the event rather than on a guess of how long set-up takes.
bool relayed(const Udp& s, const Bytes& d, uint16_t port, const Udp& to, double timeout = 5.0) {
  for (double end = now_seconds() + timeout; now_seconds() < end;) {
    s.send(d, port);
    for (Bytes got; !(got = to.receive(0.2)).empty();)
      if (got == d) return true;
  }
  return false;
}

TEST(Failover, SwitchesToTheAlternateInputAndBack) {
  Udp a, primary, alternate;
  uint16_t alt_port = free_port();
  Repeater r;
  r.start("alt_input_port " + std::to_string(alt_port) + "\nsource 127.0.0.1:" + std::to_string(primary.port) +
          "\nalt_source 127.0.0.1:" + std::to_string(alternate.port) + "\nclient 127.0.0.1:" +
          std::to_string(a.port) + "\n");
  primary.send(patterned_datagram(1), r.in_port);
  EXPECT_EQ(a.receive(), patterned_datagram(1));

  double start = now_seconds();
  ASSERT_TRUE(r.d.wait_out("Reception timed out.\n", 8.0)) << r.d.out();
  double waited = now_seconds() - start;
  EXPECT_GE(waited, 3.5);
  EXPECT_LE(waited, 8.0);
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(alt_port) + ","));
  EXPECT_TRUE(relayed(alternate, patterned_datagram(2), alt_port, a, 3.0));
  primary.send(patterned_datagram(3), alt_port);  // the primary source is not current now
  EXPECT_TRUE(r.d.wait_err("3:Request from 127.0.0.1:" + std::to_string(primary.port) + " rejected.\n"));

  ASSERT_TRUE(r.d.wait_out("Reception timed out.\n", 10.0, 2)) << r.d.out();
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(r.in_port) + ",", 2.0, 2));
  EXPECT_TRUE(relayed(primary, patterned_datagram(4), r.in_port, a, 3.0));
}

// Another program that takes the port failover needs does not stop the
// repeater: it stays on the input it has and takes the port once free.
TEST(Failover, PortTakenByAnotherProgramKeepsTheInputItHas) {
  Udp a, source;
  uint16_t alt_port = free_port(), stats = free_port();
  Repeater r;
  r.start("alt_input_port " + std::to_string(alt_port) + "\nstatistics_port " + std::to_string(stats) +
          "\nclient " + endpoint(a.port) + "\n");
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(alt_port) + ",", 8.0)) << r.d.out();
  {
    Udp taker("0.0.0.0", r.in_port);
    ASSERT_TRUE(r.d.wait_err("tolvek: cannot fail over to UDP port " + std::to_string(r.in_port) +
                                 ": Address already in use; staying on UDP port " + std::to_string(alt_port) + ".\n",
                             8.0))
        << r.d.out() << r.d.err();
    EXPECT_EQ(r.d.wait_exit(0.1), -1);
    EXPECT_TRUE(relayed(source, patterned_datagram(1), alt_port, a));
  }
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(r.in_port) + ",", 12.0, 2))
      << r.d.out() << r.d.err();
  EXPECT_TRUE(relayed(source, patterned_datagram(2), r.in_port, a));
  Udp asker;
  asker.send(std::string("get_stats"), stats);
  EXPECT_GT(asker.receive().size(), 8u);
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
      Repeater r;
      r.start("source 239.255.10.10:0\nclient 127.0.0.1:" + std::to_string(a.port) + "\n");
      if (!r.d.wait_out("Joining multicast group for the source.\n")) failures |= 1;
      usleep(100000);
      sender.send(patterned_datagram(1), r.in_port, "239.255.10.10");
      if (a.receive() != patterned_datagram(1)) failures |= 2;
      impostor.send(patterned_datagram(2), r.in_port);
      if (!r.d.wait_err("3:Request from 127.0.0.1:" + std::to_string(impostor.port) + " rejected.\n")) failures |= 4;
      sender.send(patterned_datagram(3), r.in_port, "239.255.10.10");
      if (a.receive() != patterned_datagram(3)) failures |= 8;
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
