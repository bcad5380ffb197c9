// The real-time mode of a plain start (chrt -f 10 tolvek FILE): under a
// real-time policy the daemon locks its memory, under the default one it
// does not.
#include <gtest/gtest.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"

namespace {

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

}  // namespace
