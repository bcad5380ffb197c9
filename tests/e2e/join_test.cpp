// tolvek-join against a socket standing in for the repeater, where every
// packet it sends can be read, and against the real daemon.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

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

// The line that tells what may be wrong, from its " s" on: the seconds
// before it depend on how soon the process woke.
std::string diagnosis(const Daemon& j) {
  std::string err = j.err();
  const std::string lead = "tolvek-join: no stream for ";
  size_t at = err.find(lead);
  if (at == std::string::npos) return "";
  size_t from = err.find(" s", at + lead.size());
  return err.substr(from, err.find('\n', from) + 1 - from);
}

bool wait_diagnosis(const Daemon& j, double timeout = 5.0) {
  return j.wait_err("tolvek-join: no stream for ", timeout);
}

// A file in a scratch folder of its own, with the given text and mode,
// gone with the object.
struct SecretFile {
  std::string dir, path;
  SecretFile(const std::string& text, mode_t mode) {
    char d[] = "/tmp/tolvek_secret_XXXXXX";
    if (!mkdtemp(d)) abort();
    dir = d;
    path = dir + "/password";
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
  }
  ~SecretFile() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

// The stop request among what reaches the stand-in repeater next, or nothing.
Bytes stop_request(const Udp& repeater) {
  for (Bytes b = repeater.receive(1.0); !b.empty(); b = repeater.receive(1.0))
    if (b[3] == 0x22) return b;
  return {};
}

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
                         std::to_string(join_port) + ", forwarding to " + endpoint(player.port) +
                         "\ntolvek-join: sender id 02:00:5e:10:20:30, from --mac\n"))
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
  EXPECT_EQ(stop_request(repeater), control(2, "secret"));
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
                               "02:00:5e:10:20:30", "--interval", "0.2", "--warn-after", "1"});
  ASSERT_TRUE(r.d.wait_err("2:Request from " + endpoint(join_port) + " rejected.\n", 5.0, 2)) << r.d.err();
  source.send(rtp(1), r.in_port);
  EXPECT_TRUE(player.silent_for(0.5));
  EXPECT_EQ(count_of(r.d.out(), "Adding client"), 0);
  EXPECT_EQ(j.wait_exit(0.1), -1);  // goes on registering
  // A rejection is silence, so it is named among the causes of silence.
  ASSERT_TRUE(wait_diagnosis(j)) << j.err();
  const std::string port = std::to_string(r.out_port);
  EXPECT_EQ(diagnosis(j), " s and no answer from 127.0.0.1:" + port + ": no repeater is there or " + port +
                              " is not its output port, or it rejects sender id 02:00:5e:10:20:30 without a "
                              "password (see --mac and --password), or it has no stream to send\n");
}

// With no stream, the user is told what may be wrong, on standard error
// even with -q: a refusal (nothing listens on that port) apart from
// silence, which has several causes. The stream starting ends it.
TEST(JoinCommand, TellsWhatMayBeWrongWhenNoStreamComes) {
  Udp repeater, player;
  const uint16_t nobody = free_port();
  const std::vector<std::string> options{"--forward", endpoint(player.port), "--interval", "0.3", "--warn-after", "1"};
  std::vector<std::string> quiet = options;
  quiet.push_back("-q");
  Daemon refused = join(nobody, quiet);
  std::vector<std::string> with_password = options;
  with_password.insert(with_password.end(), {"--password", "secret", "--mac", "02:00:5e:10:20:30"});
  Daemon silent = join(repeater.port, with_password);

  ASSERT_TRUE(wait_diagnosis(refused)) << refused.err();
  const std::string port = std::to_string(nobody);
  EXPECT_EQ(diagnosis(refused), " s: 127.0.0.1:" + port + " refuses it (ICMP port unreachable): no repeater is "
                                "running there, or " + port + " is not its output port\n");
  EXPECT_EQ(refused.out(), "");

  ASSERT_TRUE(wait_diagnosis(silent)) << silent.err();
  EXPECT_EQ(diagnosis(silent), " s and no answer from " + endpoint(repeater.port) + ": no repeater is there or " +
                                   std::to_string(repeater.port) + " is not its output port, or it rejects sender "
                                   "id 02:00:5e:10:20:30 with this password (see --mac and --password), or it has "
                                   "no stream to send\n");
  sockaddr_in from{};
  while (repeater.receive(0.5, &from).empty()) {
  }
  repeater.send(rtp(1), ntohs(from.sin_port));
  EXPECT_EQ(player.receive(), rtp(1));
  EXPECT_TRUE(silent.wait_out("tolvek-join: stream started\n"));
  // The next line was due a second after the first: none comes now.
  EXPECT_FALSE(silent.wait_err("tolvek-join: no stream for ", 2.5, 2)) << silent.err();
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
      {{"127.0.0.1:5002", "--warn-after", "0.5"}, 2, "--warn-after needs a number of seconds from 0 (off) or 1 to 3600"},
      {{"env", "TOLVEK_PASSWORD=" + std::string(1025, 'x'), TOLVEK_JOIN_BINARY, "127.0.0.1:5002"}, 2,
       "TOLVEK_PASSWORD takes at most 1024 bytes"},
      {{"127.0.0.1:5002", "--bogus"}, 2, "unknown option or missing value: --bogus"},
      {{"127.0.0.1:5002", "--port", std::to_string(taken.port)}, 1,
       "tolvek-join: cannot bind UDP port " + std::to_string(taken.port) + ": Address already in use\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{TOLVEK_JOIN_BINARY};
    if (!c.args.empty() && c.args[0] == "env") argv.clear();
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

// Its lines are information: a reader of its output that has gone (a closed
// pipe) costs them, never the player's stream.
TEST(JoinCommand, ForwardsOnWhenTheReaderOfItsOutputIsGone) {
  Udp repeater, player;
  int gone[2];
  ASSERT_EQ(pipe(gone), 0);
  close(gone[0]);
  const std::string fd = std::to_string(gone[1]);
  Daemon j = Daemon::run({"bash", "-c", "exec \"$0\" \"$@\" >&" + fd + " 2>&" + fd, TOLVEK_JOIN_BINARY,
                          endpoint(repeater.port), "--forward", endpoint(player.port), "--mac", "02:00:5e:10:20:30",
                          "--password", "secret"});
  close(gone[1]);
  sockaddr_in from{};
  ASSERT_EQ(repeater.receive(2.0, &from), control(0, "secret")) << j.wait_exit(0.1);
  repeater.send(rtp(1), ntohs(from.sin_port));  // "stream started", to nobody
  EXPECT_EQ(player.receive(), rtp(1));
  repeater.send(rtp(2), ntohs(from.sin_port));
  EXPECT_EQ(player.receive(), rtp(2));
  EXPECT_EQ(j.wait_exit(0.1), -1);
  kill(j.pid, SIGTERM);
  EXPECT_EQ(j.wait_exit(), 0);
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
  EXPECT_EQ(stop_request(repeater), control(2, "secret"));
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

// The password from a private file (its first line) or from the
// environment, off the command line; --password beats the environment, and
// is blanked where ps reads it. A file others may read or change is
// refused, as ssh refuses such a key.
TEST(JoinCommand, PasswordFromAFileOrTheEnvironment) {
  Udp by_file, by_env, by_option;
  SecretFile file("secret\nnot this line\n", 0600);
  Daemon from_file = join(by_file.port, {"--mac", "02:00:5e:10:20:30", "--password-file", file.path});
  Daemon from_env = Daemon::run(
      {"env", "TOLVEK_PASSWORD=secret", TOLVEK_JOIN_BINARY, endpoint(by_env.port), "--mac", "02:00:5e:10:20:30"});
  Daemon from_option = Daemon::run({"env", "TOLVEK_PASSWORD=other", TOLVEK_JOIN_BINARY, endpoint(by_option.port),
                                    "--mac", "02:00:5e:10:20:30", "--password", "secret"});
  EXPECT_EQ(by_file.receive(2.0), control(0, "secret")) << from_file.err();
  EXPECT_EQ(by_env.receive(2.0), control(0, "secret")) << from_env.err();
  EXPECT_EQ(by_option.receive(2.0), control(0, "secret")) << from_option.err();
  std::ifstream cmdline("/proc/" + std::to_string(from_option.pid) + "/cmdline");
  std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  EXPECT_NE(args.find(std::string("--password\0xxxxxx", 17)), std::string::npos) << args;
  EXPECT_EQ(args.find("secret"), std::string::npos);

  SecretFile unterminated("s3cr3t", 0400);
  Daemon last_line = join(by_file.port, {"--mac", "02:00:5e:10:20:30", "--password-file", unterminated.path});
  EXPECT_EQ(by_file.receive(2.0), control(0, "s3cr3t")) << last_line.err();
  // Saved with CR-LF line ends: the carriage return is part of the line end.
  SecretFile crlf("secret\r\nnot this line\r\n", 0600);
  Daemon crlf_line = join(by_file.port, {"--mac", "02:00:5e:10:20:30", "--password-file", crlf.path});
  EXPECT_EQ(by_file.receive(2.0), control(0, "secret")) << crlf_line.err();
  SecretFile longest(std::string(1024, 'p') + "\r\n", 0600);
  Daemon longest_line = join(by_file.port, {"--password-file", longest.path});
  Bytes got = by_file.receive(2.0);
  EXPECT_EQ(got.size(), 12u + 3 + 1024 + 1) << longest_line.err();
  EXPECT_EQ(Bytes(got.end() - 2, got.end()), (Bytes{'p', 0}));

  SecretFile group("secret\n", 0640), others("secret\n", 0602), empty("", 0600);
  SecretFile too_long(std::string(1025, 'p') + "\r\n", 0600);
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string err;
  } cases[] = {
      {{"--password-file", group.path}, 1,
       "tolvek-join: " + group.path + " may be read or written by others (mode 640): chmod 600 it\n"},
      {{"--password-file", others.path}, 1,
       "tolvek-join: " + others.path + " may be read or written by others (mode 602): chmod 600 it\n"},
      {{"--password-file", empty.path}, 1, "tolvek-join: " + empty.path + " is empty: a password is its first line\n"},
      {{"--password-file", file.dir + "/none"}, 1,
       "tolvek-join: cannot read " + file.dir + "/none: No such file or directory\n"},
      {{"--password-file", file.path, "--password", "x"}, 2,
       "tolvek-join: --password and --password-file exclude each other\n"},
      {{"--password-file", too_long.path}, 1,
       "tolvek-join: the password in " + too_long.path + " is longer than 1024 bytes\n"},
  };
  for (const Case& c : cases) {
    Daemon refused = join(by_file.port, c.options);
    EXPECT_EQ(refused.wait_exit(), c.status) << c.err;
    EXPECT_EQ(refused.err().substr(0, c.err.size()), c.err);
  }
  EXPECT_TRUE(by_file.silent_for(0.2));  // nothing sent without the password asked for

  // A pipe that never ends its line is refused once it has given more than
  // the longest password and its line end, not read on without bound.
  std::string pipe_path = file.dir + "/endless";
  ASSERT_EQ(mkfifo(pipe_path.c_str(), 0600), 0);
  Daemon endless = join(by_file.port, {"--password-file", pipe_path});
  int w = -1;
  for (double end = now_seconds() + 5; w < 0 && now_seconds() < end; usleep(10000))
    w = open(pipe_path.c_str(), O_WRONLY | O_NONBLOCK);  // once it reads
  ASSERT_GE(w, 0) << endless.err();
  fcntl(w, F_SETFL, 0);
  void (*before)(int) = signal(SIGPIPE, SIG_IGN);
  const std::string chunk(65536, 'x');
  size_t written = 0;
  for (ssize_t n; written < (16u << 20) && (n = write(w, chunk.data(), chunk.size())) > 0;) written += n;
  signal(SIGPIPE, before);
  close(w);
  unlink(pipe_path.c_str());
  EXPECT_EQ(endless.wait_exit(), 1);
  EXPECT_EQ(endless.err(), "tolvek-join: the password in " + pipe_path + " is longer than 1024 bytes\n");
  EXPECT_LT(written, 1u << 20);
}

// Without --mac the sender id is the hardware address of the interface
// that routes to the repeater: here one end of a veth pair in a network
// namespace of the test's own, whose address carries an alias label
// ("d0:1", as ifconfig names them), and whose frames are read where they
// arrive, at the other end (the repeater's address has a fixed neighbour
// entry, so no ARP is awaited). It is told at start. A route that fails
// for a while makes it connect afresh, from the port the system picked at
// start: the repeater must not see a new client.
TEST(JoinCommand, DefaultSenderIdIsTheRoutingInterfacesHardwareAddress) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  char dir[] = "/tmp/tolvek_ns_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string out = std::string(dir) + "/out", err = std::string(dir) + "/err",
                    sent = std::string(dir) + "/sent";
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    if (system("ip link add d0 type veth peer name d1 && ip link set d0 address 02:11:22:33:44:55 && "
               "ip addr add 10.77.0.1/24 dev d0 label d0:1 && ip link set d1 up && ip link set d0 up && "
               "ip neigh add 10.77.0.2 lladdr 02:66:66:66:66:66 dev d0") != 0)
      _exit(78);
    int capture = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IP);
    at.sll_ifindex = static_cast<int>(if_nametoindex("d1"));
    if (capture < 0 || bind(capture, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) _exit(79);
    pid_t j = fork();
    if (j == 0) {
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      execl(TOLVEK_JOIN_BINARY, TOLVEK_JOIN_BINARY, "10.77.0.2:5002", "--interval", "0.2", "--status-interval", "0",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // The next datagram to the repeater, after its sender port as text.
    auto next_to_repeater = [capture] {
      for (double end = now_seconds() + 5; now_seconds() < end;) {
        pollfd p{capture, POLLIN, 0};
        uint8_t frame[2048];
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(capture, frame, sizeof frame, 0);
        size_t ihl = (frame[0] & 15u) * 4;
        if (n < static_cast<ssize_t>(ihl + 8) || frame[9] != IPPROTO_UDP ||
            ((frame[ihl + 2] << 8) | frame[ihl + 3]) != 5002)
          continue;
        return std::to_string((frame[ihl] << 8) | frame[ihl + 1]) + " " +
               std::string(reinterpret_cast<const char*>(frame + ihl + 8), static_cast<size_t>(n) - ihl - 8);
      }
      return std::string();
    };
    std::string first = next_to_repeater();
    int status = first.empty() ? 80 : 0;
    if (status == 0 && system("ip route add unreachable 10.77.0.2") != 0) status = 81;
    for (double end = now_seconds() + 5; status == 0;) {
      std::ifstream e(err);
      std::string text((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
      if (text.find("No route to host") != std::string::npos) break;
      if (now_seconds() > end) status = 82;
      usleep(20000);
    }
    if (status == 0 && system("ip route del unreachable 10.77.0.2") != 0) status = 83;
    std::string again = status == 0 ? next_to_repeater() : "";
    std::ofstream(sent) << first << "\n" << again.substr(0, again.find(' '));
    kill(j, SIGKILL);
    waitpid(j, nullptr, 0);
    _exit(status);
  }
  int st = -1;
  for (double end = now_seconds() + 20; waitpid(child, &st, WNOHANG) == 0;) {
    if (now_seconds() > end) {
      kill(child, SIGKILL);
      waitpid(child, &st, 0);
    }
    usleep(20000);
  }
  auto slurp = [](const std::string& path) {
    std::ifstream f(path);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    unlink(path.c_str());
    return text;
  };
  std::string datagrams = slurp(sent), printed = slurp(out), told = slurp(err);
  rmdir(dir);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << told;
  // The sender port, the registration, and the sender port after the reconnect.
  size_t blank = datagrams.find(' '), newline = datagrams.rfind('\n');
  ASSERT_NE(blank, std::string::npos);
  ASSERT_NE(newline, std::string::npos);
  std::string port = datagrams.substr(0, blank);
  std::string registration = datagrams.substr(blank + 1, newline - blank - 1);
  EXPECT_EQ(Bytes(registration.begin(), registration.end()),
            (Bytes{'Q', 'M', 'Z', 0x20, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0}));
  EXPECT_EQ(datagrams.substr(newline + 1), port);
  EXPECT_EQ(printed, "tolvek-join: registering with 10.77.0.2:5002 from port " + port +
                         ", forwarding to 127.0.0.1:5004\ntolvek-join: sender id 02:11:22:33:44:55, the hardware "
                         "address of d0, which routes to the repeater\n");

  // Over loopback, which has no hardware address: zeros, and why.
  Udp repeater;
  Daemon on_lo = join(repeater.port, {});
  EXPECT_EQ(repeater.receive(2.0), (Bytes{'Q', 'M', 'Z', 0x20, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(on_lo.wait_out("\ntolvek-join: sender id 00:00:00:00:00:00: lo, which routes to the repeater, has no "
                             "hardware address\n"))
      << on_lo.out();
}

// With no route at all to the repeater (a network namespace with nothing
// up): zeros, said so, and sending fails, which tells what is wrong.
TEST(JoinCommand, NoRouteToTheRepeater) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  Daemon j = Daemon::run({"unshare", "--net", TOLVEK_JOIN_BINARY, "10.77.0.2:5002", "--warn-after", "1"});
  ASSERT_TRUE(wait_diagnosis(j)) << j.err();
  EXPECT_NE(j.out().find("\ntolvek-join: sender id 00:00:00:00:00:00: no route to the repeater yet, so no interface "
                         "to take one from\n"),
            std::string::npos)
      << j.out();
  EXPECT_EQ(j.err().rfind("tolvek-join: cannot send a registration to 10.77.0.2:5002: Network is unreachable\n", 0),
            0u)
      << j.err();
  EXPECT_EQ(diagnosis(j), " s: 10.77.0.2:5002 cannot be reached: Network is unreachable\n");
}
