// A changed file, a restart or a new program must cost the clients nothing:
// SIGHUP applies the file in place, a restart finds its registered clients
// in the runtime folder, and sockets handed over by a service manager keep
// what was queued on them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// A registration from s, admitted by the address allow-list.
Bytes registration() { return Bytes{'Q', 'M', 'Z', 0x20, 2, 0, 0x5e, 1, 2, 3, 0, 0}; }

void rewrite(const Daemon& d, const std::string& text) { std::ofstream(d.dir + "/tolvek.conf") << text; }

uint16_t seq_of(const Bytes& d) { return static_cast<uint16_t>(d[2] << 8 | d[3]); }

// Adds the sequence numbers waiting on s to seqs, in the order they came;
// waits up to `wait` for the first.
void take(const Udp& s, std::vector<uint16_t>& seqs, double wait = 0) {
  for (Bytes d; !(d = s.receive(wait)).empty(); wait = 0) seqs.push_back(seq_of(d));
}

bool contiguous(const std::vector<uint16_t>& seqs) {
  for (size_t i = 1; i < seqs.size(); i++)
    if (seqs[i] != seqs[i - 1] + 1) return false;
  return true;
}

std::string scratch() {
  char dir[] = "/tmp/tolvek_state_XXXXXX";
  if (!mkdtemp(dir)) abort();
  return dir;
}

long long monotonic_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(Reload, InPlaceLosesNoDatagramAndFollowsTheFile) {
  Udp source, permanent, leaving, joining, registered;
  uint16_t in = free_port(), out = free_port();
  auto config = [&](uint16_t client) {
    return ports_config(in, out) + "allow_ip 127.0.0.1\nclient " + endpoint(permanent.port) + "\nclient " +
           endpoint(client) + "\n";
  };
  Daemon d = Daemon::with_config(config(leaving.port));
  ASSERT_TRUE(d.wait_out("Setting up to output")) << d.err();
  registered.send(registration(), out);
  ASSERT_TRUE(d.wait_out("Adding client " + endpoint(registered.port) + " on his request.\n"));

  // 200 datagrams a second; the file changes and SIGHUP comes halfway.
  const int count = 400;
  const Udp* receivers[] = {&permanent, &registered, &leaving, &joining};
  std::vector<uint16_t> seqs[4];
  for (int i = 0; i < count; i++) {
    if (i == count / 2) {
      rewrite(d, config(joining.port));
      kill(d.pid, SIGHUP);
    }
    source.send(rtp_datagram(static_cast<uint16_t>(i)), in);
    usleep(5000);
    for (int r = 0; r < 4; r++) take(*receivers[r], seqs[r]);
  }
  for (int r = 0; r < 4; r++) take(*receivers[r], seqs[r], 0.2);
  ASSERT_TRUE(d.wait_out("Reloaded the configuration from ")) << d.out() << d.err();
  EXPECT_EQ(d.wait_exit(0.1), -1);  // the same process

  for (int r = 0; r < 2; r++) {
    EXPECT_EQ(seqs[r].size(), static_cast<size_t>(count));
    EXPECT_TRUE(contiguous(seqs[r]));
  }
  const std::vector<uint16_t>& gone = seqs[2];
  const std::vector<uint16_t>& added = seqs[3];
  ASSERT_FALSE(gone.empty());
  ASSERT_FALSE(added.empty());
  EXPECT_EQ(gone.front(), 0);
  EXPECT_TRUE(contiguous(gone));
  EXPECT_TRUE(contiguous(added));
  EXPECT_EQ(added.back(), count - 1);
  EXPECT_EQ(gone.back() + 1, added.front());  // one moment of change, between two datagrams
  EXPECT_NE(d.out().find("Adding a permanent client " + endpoint(joining.port) + "\n"), std::string::npos);
  EXPECT_NE(d.out().find("Client " + endpoint(leaving.port) + " is no longer permanent.\n"), std::string::npos);
  EXPECT_EQ(count_of(d.out(), "Adding a permanent client " + endpoint(permanent.port)), 1);
}

// What would stop a start stops only the reload: the daemon goes on as it
// was, and says why in one line.
TEST(Reload, RefusedFileLeavesTheDaemonAsItWas) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  std::string good = ports_config(in, out) + "client " + endpoint(client.port) + "\n";
  Daemon d = Daemon::with_config(good);
  ASSERT_TRUE(d.wait_out("Setting up to output")) << d.err();
  struct Case {
    std::string file;
    std::string cause;
  } cases[] = {
      {good + "statistics_port " + std::to_string(out) + "\n",
       "statistics port " + std::to_string(out) + " and output port " + std::to_string(out) + " are the same UDP port"},
      {good + "allow_mac 00:11:22\n", "syntax error in config file: allow_mac 00:11:22"},
      {"input_port " + std::to_string(in) + "\n", "output port must be configured"},
  };
  int n = 0;
  for (const Case& c : cases) {
    rewrite(d, c.file);
    kill(d.pid, SIGHUP);
    EXPECT_TRUE(d.wait_err("tolvek: reload refused: " + c.cause + "; still running on the previous configuration.\n"))
        << d.err();
    source.send(rtp_datagram(static_cast<uint16_t>(n)), in);
    EXPECT_EQ(client.receive(), rtp_datagram(static_cast<uint16_t>(n))) << c.cause;
    n++;
  }
  unlink((d.dir + "/tolvek.conf").c_str());
  kill(d.pid, SIGHUP);
  EXPECT_TRUE(d.wait_err("tolvek: reload refused: cannot open config file " + d.dir +
                         "/tolvek.conf: No such file or directory; still running on the previous configuration.\n"));
  source.send(rtp_datagram(9), in);
  EXPECT_EQ(client.receive(), rtp_datagram(9));
  EXPECT_EQ(d.out().find("Reloaded"), std::string::npos);
}

TEST(Reload, MovesTheStatisticsPortAndKeepsTheOthers) {
  Udp asker;
  uint16_t in = free_port(), out = free_port(), before = free_port(), after = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "statistics_port " + std::to_string(before) + "\n");
  ASSERT_TRUE(d.wait_out("Setting up to statistics UDP port")) << d.err();
  rewrite(d, ports_config(in, out) + "statistics_port " + std::to_string(after) + "\n");
  kill(d.pid, SIGHUP);
  ASSERT_TRUE(d.wait_out("Reloaded the configuration")) << d.out() << d.err();
  EXPECT_EQ(count_of(d.out(), "Setting up to statistics UDP port " + std::to_string(after)), 1);
  // The input and output did not move, so nothing about them is said again.
  EXPECT_EQ(count_of(d.out(), "Setting up to output UDP port"), 1);
  EXPECT_EQ(count_of(d.out(), "Setting up to listen at UDP port"), 1);
  asker.send(std::string("get_status"), after);
  EXPECT_FALSE(asker.receive().empty());
  asker.send(std::string("get_status"), before);
  EXPECT_TRUE(asker.silent_for(0.3));
}

TEST(Reload, WithoutAFileChangesNothing) {
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_args({"-i", std::to_string(in), "-o", std::to_string(out)});
  ASSERT_TRUE(d.wait_out("Setting up to output")) << d.err();
  kill(d.pid, SIGHUP);
  EXPECT_TRUE(d.wait_err("tolvek: started with options, not a configuration file: nothing to reload.\n"));
  EXPECT_EQ(d.wait_exit(0.1), -1);
}

TEST(Restart, RegisteredClientsAreServedFromTheFirstDatagram) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  std::string folder = scratch(), file = folder + "/clients";
  std::string config = ports_config(in, out) + "allow_ip 127.0.0.1\n";
  std::vector<std::string> env = {"RUNTIME_DIRECTORY=" + folder};
  {
    Daemon first = Daemon::with_config(config, Daemon::Output::kFiles, env);
    ASSERT_TRUE(first.wait_out("No registered clients saved in " + folder + ".\n")) << first.out() << first.err();
    client.send(registration(), out);
    double deadline = now_seconds() + 3;
    while (read_file(file).find(" " + std::to_string(client.port) + " ") == std::string::npos &&
           now_seconds() < deadline)
      usleep(20000);
    ASSERT_NE(read_file(file).find(" " + std::to_string(client.port) + " 02005e010203 "), std::string::npos)
        << read_file(file);
  }
  Daemon second = Daemon::with_config(config, Daemon::Output::kFiles, env);
  ASSERT_TRUE(second.wait_out("Restored 1 registered clients from " + file + "; 0 left out.\n"))
      << second.out() << second.err();
  source.send(rtp_datagram(1), in);
  EXPECT_EQ(client.receive(), rtp_datagram(1));
  second.kill_now();

  // An entry older than the client timeout is left out; a damaged file is
  // ignored whole, and neither stops the start.
  long long now = monotonic_seconds();
  std::ofstream(file) << "tolvek registered clients 1\n127.0.0.1 " << client.port << " 02005e010203 " << now - 30
                      << " 1700000000 1700000000\n";
  Daemon stale = Daemon::with_config(config, Daemon::Output::kFiles, env);
  ASSERT_TRUE(stale.wait_out("Restored 0 registered clients from " + file + "; 1 left out.\n")) << stale.out();
  source.send(rtp_datagram(2), in);
  EXPECT_TRUE(client.silent_for(0.3));
  stale.kill_now();

  std::ofstream(file) << "tolvek registered clients 1\n127.0.0.1 " << client.port << " 02005e010203 " << now
                      << " 1700000000\n";
  Daemon damaged = Daemon::with_config(config, Daemon::Output::kFiles, env);
  ASSERT_TRUE(damaged.wait_err("tolvek: ignoring the saved clients in " + file + ": damaged at line 2\n"))
      << damaged.err();
  ASSERT_TRUE(damaged.wait_out("Setting up to output"));
  source.send(rtp_datagram(3), in);
  EXPECT_TRUE(client.silent_for(0.3));
}

// A socket a service manager kept while no process ran still holds what
// came meanwhile, and the new process relays it.
TEST(Restart, HandedOverSocketKeepsWhatWasQueued) {
  Udp source, client;
  Udp input("0.0.0.0");
  uint16_t out = free_port();
  std::string dir = scratch(), path = dir + "/tolvek.conf";
  std::ofstream(path) << ports_config(input.port, out) << "client " << endpoint(client.port) << "\n";
  source.send(rtp_datagram(7), input.port);  // before any daemon runs
  std::vector<std::string> argv = {
      "/bin/bash", "-c",
      "exec 3<&" + std::to_string(input.fd) + "; LISTEN_PID=$$ LISTEN_FDS=1 LISTEN_FDNAMES=udp exec \"$0\" \"$@\""};
  for (const std::string& word : tolvek_command({path})) argv.push_back(word);
  Daemon d = Daemon::run(argv);
  EXPECT_EQ(client.receive(), rtp_datagram(7)) << d.out() << d.err();
  ASSERT_TRUE(d.wait_out("Setting up to listen at UDP port " + std::to_string(input.port)));
  EXPECT_EQ(d.err(), "");
}

namespace {

// A service manager's notification socket: what the daemon tells it, and
// the descriptors it hands over.
struct Manager {
  int fd = -1;
  std::string path;
  Manager() {
    path = scratch() + "/notify";
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) abort();
  }
  ~Manager() { close(fd); }
  // The next message within timeout seconds ("" for none), and the port
  // of the socket it carried, if any.
  std::string next(double timeout, uint16_t* port = nullptr) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return "";
    char text[512];
    iovec iov{text, sizeof text};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) return "";
    if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && c->cmsg_type == SCM_RIGHTS) {
      int passed;
      memcpy(&passed, CMSG_DATA(c), sizeof passed);
      sockaddr_in sa{};
      socklen_t len = sizeof sa;
      getsockname(passed, reinterpret_cast<sockaddr*>(&sa), &len);
      if (port) *port = ntohs(sa.sin_port);
      close(passed);
    }
    return std::string(text, static_cast<size_t>(n));
  }
};

}  // namespace

// The service manager learns of the sockets to keep, readiness and what the
// daemon is doing; one that reads nothing never holds the stream back.
TEST(ServiceManager, IsToldSocketsReadinessAndStatusWithoutEverWaiting) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  std::string config = ports_config(in, out) + "client " + endpoint(client.port) + "\n";
  {
    Manager manager;
    Daemon d = Daemon::with_config(config, Daemon::Output::kFiles, {"NOTIFY_SOCKET=" + manager.path});
    std::vector<std::string> told;
    std::vector<uint16_t> stored;
    while (told.size() < 4) {
      uint16_t port = 0;
      std::string m = manager.next(2.0, &port);
      if (m.empty()) break;
      told.push_back(m);
      stored.push_back(port);
    }
    ASSERT_GE(told.size(), 4u) << d.err();
    EXPECT_EQ(told[0], "FDSTORE=1\nFDNAME=udp" + std::to_string(in));
    EXPECT_EQ(stored[0], in);  // the socket itself goes with it
    EXPECT_EQ(told[1], "FDSTORE=1\nFDNAME=udp" + std::to_string(out));
    EXPECT_EQ(stored[1], out);
    EXPECT_EQ(told[2], "READY=1");
    EXPECT_EQ(told[3], "STATUS=waiting for the stream on UDP port " + std::to_string(in) + "; 1 of 1 clients receive");
    // A reload is framed by RELOADING=1 and READY=1.
    kill(d.pid, SIGHUP);
    EXPECT_EQ(manager.next(2.0).rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(manager.next(2.0), "READY=1");
  }
  // A manager whose queue is full.
  Manager full;
  int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "%s", full.path.c_str());
  for (int i = 0; i < 100000; i++)
    if (sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) break;
  close(sender);
  Daemon d = Daemon::with_config(config, Daemon::Output::kFiles, {"NOTIFY_SOCKET=" + full.path});
  ASSERT_TRUE(d.wait_out("Setting up to output")) << d.err();
  bool relayed = false;
  for (int i = 0; i < 20 && !relayed; i++) {
    source.send(rtp_datagram(static_cast<uint16_t>(i)), in);
    relayed = !client.receive(0.1).empty();
  }
  EXPECT_TRUE(relayed);
}
