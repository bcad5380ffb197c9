// The real-time mode of a plain start (chrt -f 10 tolvek FILE): under a
// real-time policy the daemon locks its memory, under the default one it
// does not.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "harness.h"

namespace {

// A configuration file in a folder that anyone may read, for a daemon that
// runs as another user; removed with the object.
struct OpenConfig {
  Daemon holder = Daemon::run({"true"});  // for its folder
  std::string path;
  explicit OpenConfig(const std::string& text) {
    holder.wait_exit();
    chmod(holder.dir.c_str(), 0755);
    path = holder.dir + "/tolvek.conf";
    std::ofstream(path) << text;
  }
};

// The daemon, started while this process runs under policy: it inherits it.
Daemon started_under(int policy, int priority, const std::string& config,
                     Daemon::Output output = Daemon::Output::kFiles) {
  sched_param param{};
  param.sched_priority = priority;
  sched_param normal{};
  if (sched_setscheduler(0, policy, &param) != 0) return Daemon{};
  Daemon d = Daemon::with_config(config, output);
  sched_setscheduler(0, SCHED_OTHER, &normal);
  return d;
}

TEST(Realtime, LocksItsMemoryOnlyUnderARealTimePolicy) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "locking every page would back the sanitizer's whole shadow memory";
#endif
  if (getenv("TOLVEK_EMULATOR")) GTEST_SKIP() << "the lock would be the emulator's";
  uint16_t in = free_port(), out = free_port();
  Daemon rt = started_under(SCHED_FIFO, 10, ports_config(in, out));
  if (rt.pid < 0) GTEST_SKIP() << "no real-time policy for this test here: " << strerror(errno);
  // As a service manager sets it: the policy carries the reset-on-fork flag.
  OpenConfig config(ports_config(free_port(), free_port()));
  Daemon reset_on_fork = Daemon::run({"chrt", "--reset-on-fork", "-f", "10", TOLVEK_BINARY, config.path});

  Repeater plain;
  plain.start("");
  EXPECT_EQ(vm_kib(plain.d.pid, "VmLck"), 0);
  EXPECT_EQ(plain.d.out().find("Real-time"), std::string::npos) << plain.d.out();

  ASSERT_TRUE(rt.wait_out("Setting up to output UDP port")) << rt.out() << rt.err();
  EXPECT_NE(rt.out().find("Real-time scheduling: memory locked.\nSetting up to listen"), std::string::npos)
      << rt.out();
  EXPECT_EQ(rt.err(), "");
  // Locked pages are resident: the read buffers alone are half a megabyte,
  // which an idle daemon never touches otherwise.
  EXPECT_GE(vm_kib(rt.pid, "VmLck"), 512);
  EXPECT_GE(vm_kib(rt.pid, "VmRSS"), vm_kib(rt.pid, "VmLck"));
  ASSERT_TRUE(reset_on_fork.wait_out("Setting up to output UDP port")) << reset_on_fork.out() << reset_on_fork.err();
  EXPECT_NE(reset_on_fork.out().find("Real-time scheduling: memory locked.\n"), std::string::npos)
      << reset_on_fork.out();
  EXPECT_GE(vm_kib(reset_on_fork.pid, "VmLck"), 512);
}

// The line that tells of the lock goes out unblocked like every other: with
// full pipes a real-time start still binds its ports and relays.
TEST(Realtime, FullOutputPipesAtStartDoNotHoldBackTheStream) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "locking every page would back the sanitizer's whole shadow memory";
#endif
  if (getenv("TOLVEK_EMULATOR")) GTEST_SKIP() << "the lock would be the emulator's";
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  Daemon rt = started_under(SCHED_FIFO, 10, ports_config(in, out) + "client " + endpoint(client.port) + "\n",
                            Daemon::Output::kFullPipes);
  if (rt.pid < 0) GTEST_SKIP() << "no real-time policy for this test here: " << strerror(errno);
  Bytes got;
  for (double end = now_seconds() + 5; got.empty() && now_seconds() < end;) {
    source.send(rtp_datagram(1), in);
    got = client.receive(0.1);
  }
  EXPECT_EQ(got, rtp_datagram(1));
  EXPECT_EQ(rt.wait_exit(0.1), -1);
}

// Sends data to 127.0.0.1:port from fd, bound to the wildcard address, as
// if from host address from: any address of 127.0.0.0/8 is this machine's.
void send_as(int fd, const Bytes& data, uint32_t from, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  iovec iov{const_cast<uint8_t*>(data.data()), data.size()};
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr m{};
  m.msg_name = &to;
  m.msg_namelen = sizeof to;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = htonl(from);
  memcpy(CMSG_DATA(c), &info, sizeof info);
  sendmsg(fd, &m, 0);
}

// Registrations from ever new senders make the table outgrow the memory
// lock limit of an unprivileged real-time start: the growth goes on
// unlocked, said once, what was locked stays locked, and the stream goes on.
TEST(Realtime, ATableThatOutgrowsTheLockLimitGrowsUnlocked) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "locking every page would back the sanitizer's whole shadow memory";
#endif
  if (getenv("TOLVEK_EMULATOR")) GTEST_SKIP() << "the lock would be the emulator's";
  if (getuid() != 0) GTEST_SKIP() << "needs root to start another user under a real-time policy";
  Udp source, client, registrar("0.0.0.0");
  uint16_t in = free_port(), out = free_port();
  OpenConfig config(ports_config(in, out) + "client " + endpoint(client.port) +
                    "\nmax_clients 1000000\nallow_mac \nallow_pass \n");
  // 8 MiB, of which the daemon locks about 6 at start.
  Daemon rt = Daemon::run({"prlimit", "--memlock=8388608", "chrt", "-f", "10", "setpriv", "--reuid=nobody",
                           "--regid=nogroup", "--clear-groups", TOLVEK_BINARY, config.path});
  ASSERT_TRUE(rt.wait_out("Real-time scheduling: memory locked.\nSetting up to listen")) << rt.out() << rt.err();
  ASSERT_TRUE(rt.wait_out("Setting up to output UDP port"));

  const Bytes registration{'Q', 'M', 'Z', 0x20, 0x02, 0x00, 0x5e, 0x00, 0x00, 0x01, 0, 0};
  const std::string reached = "tolvek: the memory lock limit is reached: growth from now on is not locked\n";
  // Paced, so that the output socket's receive buffer never overflows: a
  // few tens of thousands of clients outgrow the lock.
  uint32_t sender = 0x7f010000;  // 127.1.0.0
  for (int burst = 0; burst < 2000 && count_of(rt.err(), reached) == 0 && rt.wait_exit(0) == -1; burst++) {
    for (int i = 0; i < 128; i++) send_as(registrar.fd, registration, sender++, out);
    usleep(2000);
  }
  ASSERT_EQ(rt.wait_exit(0.5), -1) << rt.err();
  EXPECT_EQ(rt.err(), reached);
  EXPECT_GE(vm_kib(rt.pid, "VmLck"), 512);
  source.send(rtp_datagram(1), in);
  EXPECT_EQ(client.receive(), rtp_datagram(1));
}

}  // namespace
