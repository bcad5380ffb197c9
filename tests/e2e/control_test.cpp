#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "harness.h"

namespace {

const Bytes kMac{0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};

// A control packet from kMac; with a password, a password extension
// carrying it with its NUL.
Bytes control(uint8_t type, const std::string& password = "", Bytes tail = {}) {
  Bytes p{'Q', 'M', 'Z', type, kMac[0], kMac[1], kMac[2], kMac[3], kMac[4], kMac[5]};
  p.push_back(password.empty() ? 0 : 1);
  p.push_back(0);
  if (!password.empty()) {
    p.insert(p.end(), {1, 0, static_cast<uint8_t>(password.size() + 1)});
    p.insert(p.end(), password.begin(), password.end());
    p.push_back(0);
  }
  p.insert(p.end(), tail.begin(), tail.end());
  return p;
}

Bytes data(uint16_t seq) {
  Bytes d(120, 0x5a);
  d[0] = 0x80;
  d[2] = static_cast<uint8_t>(seq >> 8);
  d[3] = static_cast<uint8_t>(seq);
  return d;
}

// Everything that arrives on s within the time given.
std::vector<Bytes> drain(const Udp& s, double within = 0.05) {
  std::vector<Bytes> got;
  for (Bytes b = s.receive(within); !b.empty(); b = s.receive(within)) got.push_back(b);
  return got;
}

}  // namespace

TEST(Registration, ClientsStayWhileTheyRepeatAndGoWhenSilent) {
  Udp source, repeating, allowed;
  Repeater r;
  r.start("allow_mac 02:00:5e:10:20:30\nallow_pass secret\nallow_ip_port " + endpoint(allowed.port) + "\n");

  repeating.send(control(0, "secret"), r.out_port);
  allowed.send(control(0), r.out_port);
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(repeating.port) + " on his request.\n"));
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(allowed.port) + " on his request.\n"));

  // 24 s of stream while only one of them repeats its registration, for
  // its first 6 s: it outlives the other, then goes as late after its last.
  double start = now_seconds();
  uint16_t seq = 0;
  size_t repeating_got = 0, allowed_got = 0;
  double allowed_last = 0;
  for (double next_reg = start; now_seconds() - start < 24.0;) {
    if (now_seconds() >= next_reg && next_reg <= start + 6.0) {
      repeating.send(control(0x20, "secret"), r.out_port);
      next_reg += 2.0;
    }
    source.send(data(seq++), r.in_port);
    usleep(200000);
    repeating_got += drain(repeating, 0).size();
    size_t n = drain(allowed, 0).size();
    if (n) allowed_last = now_seconds() - start;
    allowed_got += n;
  }
  EXPECT_GE(repeating_got, static_cast<size_t>(seq) - 2);
  EXPECT_GT(allowed_got, 80u);
  EXPECT_GE(allowed_last, 19.5);
  EXPECT_LE(allowed_last, 22.5);
  EXPECT_TRUE(r.d.wait_out("Client " + endpoint(allowed.port) + " timed out.\n", 0.1));
  EXPECT_EQ(count_of(r.d.out(), "Client " + endpoint(repeating.port) + " timed out."), 0);

  // The allowed entry was only disabled: its next registration brings it back.
  allowed.send(control(0), r.out_port);
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(allowed.port) + " on his request.\n", 2.0, 2));
  source.send(data(seq++), r.in_port);
  EXPECT_EQ(allowed.receive(), data(static_cast<uint16_t>(seq - 1)));

  // The silent registered client goes a little more than 20 s after its last registration.
  ASSERT_TRUE(r.d.wait_out("Client " + endpoint(repeating.port) + " timed out.\n", 25.0)) << r.d.out();
  source.send(data(seq++), r.in_port);
  EXPECT_EQ(allowed.receive(), data(static_cast<uint16_t>(seq - 1)));
  drain(repeating);
  EXPECT_TRUE(repeating.silent_for(0.3));
}

TEST(Registration, StopRequestEndsTheStreamAtTheNextDatagram) {
  Udp source, client;
  Repeater r;
  r.start("allow_ip 127.0.0.1\n");
  client.send(control(0), r.out_port);
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n"));
  source.send(data(1), r.in_port);
  EXPECT_EQ(client.receive(), data(1));
  client.send(control(2), r.out_port);
  ASSERT_TRUE(r.d.wait_err("2:Request from " + endpoint(client.port) + " to stop streaming.\n"));
  source.send(data(2), r.in_port);
  ASSERT_TRUE(r.d.wait_out("Client " + endpoint(client.port) + " timed out.\n"));
  EXPECT_TRUE(client.silent_for(0.3));
}

TEST(Registration, RejectedAndFullTable) {
  Udp source, first, second, stranger;
  Repeater r;
  r.start("max_clients 1\nallow_mac 02:00:5e:10:20:30\nallow_pass \n");
  stranger.send(Bytes{'Q', 'M', 'Z', 0}, r.out_port);
  ASSERT_TRUE(r.d.wait_err("2:Request from " + endpoint(stranger.port) + " rejected.\n"));
  first.send(control(0), r.out_port);
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(first.port) + " on his request.\n"));
  second.send(control(0), r.out_port);
  usleep(200000);
  source.send(data(1), r.in_port);
  EXPECT_EQ(first.receive(), data(1));
  EXPECT_TRUE(second.silent_for(0.3));
  EXPECT_EQ(count_of(r.d.out(), "Adding client"), 1);
  EXPECT_EQ(count_of(r.d.err(), "rejected"), 1);
}

TEST(Registration, RegistrationFromPortZeroIsIgnored) {
  Repeater r;
  r.start("allow_ip 127.0.0.1\n");
  if (!send_from_port_zero(control(0), r.out_port)) GTEST_SKIP() << "needs a raw socket (root)";
  Udp client;
  client.send(control(0), r.out_port);
  ASSERT_TRUE(r.d.wait_out("Adding client " + endpoint(client.port)));
  EXPECT_EQ(count_of(r.d.out(), "Adding client"), 1);
  EXPECT_EQ(r.d.wait_exit(0.1), -1);
}

// The daemon's /dev/log is a socket of this test's own, in a mount namespace
// of the daemon's: whatever logger the machine runs is never in the way.
TEST(Registration, StatusReportGoesToTheSystemLog) {
  char dir[] = "/tmp/tolvek_devlog_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/log";
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
  int log = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  auto next_entry_with = [&](const std::string& needle) {
    char buf[2048];
    for (double end = now_seconds() + 3; now_seconds() < end;) {
      pollfd p{log, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = recv(log, buf, sizeof buf, 0);
      std::string entry(buf, n > 0 ? static_cast<size_t>(n) : 0);
      if (entry.find(needle) != std::string::npos) return entry;
    }
    return std::string();
  };

  Udp client, watcher, source;
  Repeater r;
  r.d = Daemon::with_config(ports_config(r.in_port, r.out_port) + "allow_ip 127.0.0.1\nclient " +
                                endpoint(watcher.port) + "\n",
                            Daemon::Output::kFiles, {}, path);
  if (r.d.wait_exit(0.3) == 77) GTEST_SKIP() << "needs a mount namespace (root)";
  ASSERT_TRUE(r.d.wait_out("Setting up to output UDP port")) << r.d.out() << r.d.err();
  std::string pid = "[" + std::to_string(r.d.pid) + "]: ";
  std::string started = next_entry_with(pid + "Started Logging for ");
  EXPECT_EQ(started.rfind("<134>", 0), 0u) << started;  // LOCAL0, INFO

  Bytes status(27);
  status[0] = 1;
  status[1] = 100;
  status[5] = 2;
  status[17] = 40;
  status[19] = 3;
  Bytes report = control(1);
  report[10] = 1;
  report.insert(report.end(), {2, 0, 27});
  report.insert(report.end(), status.begin(), status.end());
  client.send(report, r.out_port);
  std::string entry = next_entry_with(pid);
  EXPECT_NE(entry.find(pid + "3020105e0002:status:1,recv frames=100, lost frames:2, dup frames:0, drop frames=0, "
                             "min jitter=3,max jitter=40"),
            std::string::npos)
      << entry;
  EXPECT_TRUE(r.d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n"));

  // A burst of reports is logged ten a second, the rest told in one entry.
  for (int i = 0; i < 40; i++) client.send(report, r.out_port);
  EXPECT_NE(next_entry_with("more lines like \"...:status:...\" left out").find(pid), std::string::npos);

  // A logger that has stopped reading: its queue full, the stream goes on.
  int filler = socket(AF_UNIX, SOCK_DGRAM, 0);
  connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  while (send(filler, "x", 1, MSG_DONTWAIT) > 0) {
  }
  for (uint16_t seq = 0; seq < 50; seq++) {
    client.send(report, r.out_port);
    source.send(data(seq), r.in_port);
    ASSERT_EQ(watcher.receive(), data(seq)) << seq;
  }
  close(filler);
  close(log);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(UpstreamKeepAlive, RegistersWithTheSourceEveryTwoToThreeSeconds) {
  Udp source, client;
  Repeater r;
  r.start("source " + endpoint(source.port) + " upstream-pw\nclient " + endpoint(client.port) + "\n");
  Bytes want{'Q', 'M', 'Z', 0x20, 't', 'o', 'l', 'v', 'e', 'k', 1, 0, 1, 0, 11};
  for (char c : std::string("upstream-pw")) want.push_back(static_cast<uint8_t>(c));

  sockaddr_in from{};
  EXPECT_EQ(source.receive(1.0, &from), want);  // at start-up, at once
  EXPECT_EQ(ntohs(from.sin_port), r.in_port);
  double last = now_seconds();
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(source.receive(4.0), want);
    double gap = now_seconds() - last;
    last = now_seconds();
    EXPECT_GE(gap, 1.8);
    EXPECT_LE(gap, 3.3);
  }
}

TEST(UpstreamKeepAlive, NoneWithoutClients) {
  Udp source;
  Repeater r;
  r.start("source " + endpoint(source.port) + " pw\nallow_ip 127.0.0.1\n");
  EXPECT_TRUE(source.silent_for(3.2));
}

// source -> upstream -> downstream -> client, the downstream repeater being
// a client of the upstream one through its keep-alive alone.
TEST(Chaining, DownstreamRepeaterReceivesWhileItHasClients) {
  Udp source, client;
  Repeater up, down;
  up.start("allow_ip 127.0.0.1\nsource " + endpoint(source.port) + "\n");
  down.start("allow_ip 127.0.0.1\nsource " + endpoint(up.out_port) + " chain-pw\n");

  client.send(control(0), down.out_port);
  ASSERT_TRUE(down.d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n"));
  ASSERT_TRUE(up.d.wait_out("Adding client " + endpoint(down.in_port) + " on his request.\n", 4.0)) << up.d.out();

  for (uint16_t seq = 0; seq < 20; seq++) {
    source.send(data(seq), up.in_port);
    ASSERT_EQ(client.receive(), data(seq)) << seq;
  }

  // The last client leaves: the keep-alive stops and the upstream repeater
  // drops the downstream one after its timeout, while the stream still flows.
  client.send(control(2), down.out_port);
  ASSERT_TRUE(down.d.wait_err("to stop streaming.\n"));
  double stopped = now_seconds();
  uint16_t seq = 100;
  while (now_seconds() - stopped < 30 &&
         count_of(up.d.out(), "Client " + endpoint(down.in_port) + " timed out.\n") == 0) {
    source.send(data(seq++), up.in_port);
    usleep(250000);
  }
  EXPECT_EQ(count_of(down.d.out(), "Client " + endpoint(client.port) + " timed out.\n"), 1);
  EXPECT_EQ(count_of(up.d.out(), "Client " + endpoint(down.in_port) + " timed out.\n"), 1) << up.d.out();
  double took = now_seconds() - stopped;
  EXPECT_GE(took, 19.0);
  EXPECT_LE(took, 25.0);
  drain(client);
  EXPECT_TRUE(client.silent_for(0.3));
}
