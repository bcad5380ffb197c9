// A tree of repeaters on an emulated LAN: a source feeding two roots (R1,
// and R2 its hot standby), two mid-level repeaters whose source is R1 and
// alternate source R2, each kept fed by its keep-alive, and four leaves,
// tolvek-join players registered with the mids. Every device is a network
// namespace of the test's own (tests/tools/lan.h), gone when the test ends.
//
// The roots admit the mids' keep-alives in the two ways a tree is meant to:
// R1 by password (allow_pass), R2 by the mids' subnet (allow_ip with a
// prefix). TOLVEK_TREE_ADMISSION makes both roots do one thing: "ip" (an
// allow_ip line per mid), "pass" or "subnet".
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "harness.h"
#include "lan.h"

namespace {

// Devices, in the order of the LAN's namespaces.
enum Device : size_t { kSource, kR1, kR2, kMid1, kMid2, kLeaf1, kLeaf2, kLeaf3, kLeaf4, kDevices };
const char* const kAddress[kDevices] = {"10.44.0.100", "10.44.0.1", "10.44.0.2", "10.44.1.1", "10.44.1.2",
                                        "10.44.2.1",   "10.44.2.2", "10.44.2.3", "10.44.2.4"};
constexpr size_t kMids[] = {kMid1, kMid2};
constexpr size_t kLeaves[] = {kLeaf1, kLeaf2, kLeaf3, kLeaf4};
size_t mid_of(size_t leaf) { return leaf < kLeaf3 ? kMid1 : kMid2; }

// Every device has a namespace of its own: the ports can be fixed.
constexpr uint16_t kSourcePort = 4000, kImpairPort = 5001;
constexpr uint16_t kRootIn = 5000, kRootOut = 5002, kRootStats = 5003;
constexpr uint16_t kMidIn = 6000, kMidAltIn = 6001, kMidOut = 6002, kMidStats = 6003;
constexpr uint16_t kLeafPort = 7000, kPlayerPort = 5004;
constexpr double kPeriod = 0.02;  // 50 datagrams a second
constexpr int kMaxDatagrams = 60 * 50;

std::string text(uint16_t n) { return std::to_string(n); }

std::string root_config(size_t root, bool impaired) {
  std::string admission;
  const char* how = getenv("TOLVEK_TREE_ADMISSION");
  std::string mode = how && *how ? how : root == kR1 ? "pass" : "subnet";
  if (mode == "pass") {
    admission = "allow_mac\nallow_pass uplink\n";
  } else if (mode == "subnet") {
    admission = "allow_ip 10.44.1.0/24\n";
  } else {
    for (size_t m : kMids) admission += std::string("allow_ip ") + kAddress[m] + "\n";
  }
  std::string source =
      impaired ? "127.0.0.1:" + text(kImpairPort) : std::string(kAddress[kSource]) + ":" + text(kSourcePort);
  return ports_config(kRootIn, kRootOut) + "statistics_port " + text(kRootStats) + "\nsource " + source + "\n" +
         admission;
}

std::string mid_config() {
  return ports_config(kMidIn, kMidOut) + "alt_input_port " + text(kMidAltIn) + "\nstatistics_port " + text(kMidStats) +
         "\nsource " + kAddress[kR1] + ":" + text(kRootOut) + " uplink\nalt_source " + kAddress[kR2] + ":" +
         text(kRootOut) + " uplink\nallow_mac\nallow_pass leafpass\n";
}

std::string number_field(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return "?";
  at += name.size() + 3;
  return json.substr(at, json.find_first_of(",}", at) - at);
}

class Tree : public testing::Test {
 protected:
  Lan lan;
  std::string dir;
  Daemon r1, r2, impair;
  Daemon mids[kDevices], leaves[kDevices];
  int source_fd = -1, impaired_fd = -1, ask_fd = -1;
  int player_fd[kDevices];

  // Arrival times (monotonic) and sequence numbers at each leaf's player.
  std::mutex lock;
  std::vector<double> arrived[kDevices];
  std::vector<int> seqs[kDevices];
  std::atomic<bool> stop{false};
  int stream_length = kMaxDatagrams;
  double leaves_started = 0;  // they register then, and every 5 s after
  std::thread source_thread, player_thread;

  void SetUp() override {
    std::fill(std::begin(player_fd), std::end(player_fd), -1);
    if (getuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    std::vector<std::string> addresses(kAddress, kAddress + kDevices);
    if (!lan.build(addresses, 16)) GTEST_SKIP() << "no emulated LAN here: " << lan.error;
    char d[] = "/tmp/tolvek_tree_XXXXXX";
    ASSERT_NE(mkdtemp(d), nullptr);
    dir = d;
    source_fd = bound_socket(kSource, "0.0.0.0", kSourcePort);
    ask_fd = bound_socket(kSource, "0.0.0.0", 0);
    for (size_t leaf : kLeaves) player_fd[leaf] = bound_socket(leaf, "127.0.0.1", kPlayerPort);
    player_thread = std::thread([this] { listen_to_players(); });
  }

  void TearDown() override {
    stop = true;
    if (source_thread.joinable()) source_thread.join();
    if (player_thread.joinable()) player_thread.join();
    for (int fd : {source_fd, impaired_fd, ask_fd}) close(fd);
    for (int fd : player_fd) close(fd);
    if (!dir.empty() && system(("rm -rf '" + dir + "'").c_str()) != 0) {
    }
  }

  int bound_socket(size_t device, const char* address, uint16_t port) {
    int fd = lan.socket_in(device, AF_INET, SOCK_DGRAM);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_aton(address, &sa.sin_addr);
    sa.sin_port = htons(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) abort();
    return fd;
  }

  Daemon start(size_t device, const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    Daemon d;
    char tmp[] = "/tmp/tolvek_e2e_XXXXXX";
    if (!mkdtemp(tmp)) abort();
    d.dir = tmp;
    d.pid = lan.spawn(device, argv, env, d.dir + "/out", d.dir + "/err", d.dir);
    return d;
  }

  Daemon start_repeater(size_t device, const std::string& config, const std::vector<std::string>& env = {}) {
    std::string path = dir + "/" + kAddress[device] + ".conf";
    std::ofstream(path) << config;
    Daemon d = start(device, tolvek_command({path}), env);
    EXPECT_TRUE(d.wait_out("Setting up to statistics UDP port")) << d.out() << d.err();
    return d;
  }

  void start_roots(bool impaired = false) {
    r1 = start_repeater(kR1, root_config(kR1, impaired));
    r2 = start_repeater(kR2, root_config(kR2, false));
  }

  // The mids, each with a folder for its runtime state that outlives it.
  void start_mid(size_t mid) {
    std::string state = dir + "/state-" + kAddress[mid];
    mkdir(state.c_str(), 0700);
    mids[mid] = start_repeater(mid, mid_config(), {"RUNTIME_DIRECTORY=" + state});
  }

  void start_mids() {
    for (size_t m : kMids) start_mid(m);
  }

  void start_leaves() {
    leaves_started = now_seconds();
    const char* join = getenv("TOLVEK_JOIN_BIN");
    for (size_t leaf : kLeaves)
      leaves[leaf] =
          start(leaf,
                {join && *join ? join : TOLVEK_JOIN_BINARY, std::string(kAddress[mid_of(leaf)]) + ":" + text(kMidOut),
                 "--port", text(kLeafPort), "--forward", "127.0.0.1:" + text(kPlayerPort)},
                {"TOLVEK_PASSWORD=leafpass"});
  }

  // The source: datagram n at n * kPeriod to both roots, R1's through the
  // impairment relay when there is one. The relay forwards between
  // loopback ports only, so the source hands R1's copies to it on R1.
  void start_source(bool impaired = false) {
    if (impaired) impaired_fd = bound_socket(kR1, "127.0.0.1", 0);
    source_thread = std::thread([this, impaired] {
      sockaddr_in r1_at = address(kAddress[kR1], kRootIn), r2_at = address(kAddress[kR2], kRootIn);
      sockaddr_in relay_at = address("127.0.0.1", kImpairPort);
      double begin = now_seconds();
      for (int n = 0; n < stream_length && !stop; n++) {
        double due = begin + n * kPeriod;
        while (!stop && now_seconds() < due) usleep(static_cast<useconds_t>((due - now_seconds()) * 1e6) + 1);
        Bytes d = rtp_datagram(static_cast<uint16_t>(n), 172);
        if (impaired) {
          sendto(impaired_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&relay_at), sizeof relay_at);
        } else {
          sendto(source_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&r1_at), sizeof r1_at);
        }
        sendto(source_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&r2_at), sizeof r2_at);
      }
    });
  }

  static sockaddr_in address(const char* ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_aton(ip, &sa.sin_addr);
    sa.sin_port = htons(port);
    return sa;
  }

  void listen_to_players() {
    std::vector<pollfd> fds;
    std::vector<size_t> who;
    for (size_t leaf : kLeaves) {
      fds.push_back({player_fd[leaf], POLLIN, 0});
      who.push_back(leaf);
    }
    uint8_t buf[2048];
    while (!stop) {
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      double t = now_seconds();
      for (size_t i = 0; i < fds.size(); i++) {
        if (!(fds[i].revents & POLLIN)) continue;
        ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 4) continue;
        std::lock_guard<std::mutex> g(lock);
        arrived[who[i]].push_back(t);
        seqs[who[i]].push_back(buf[2] << 8 | buf[3]);
      }
    }
  }

  // Whether every leaf got a datagram after `after`, waiting until `until`.
  bool leaves_served_after(double after, double until,
                           const std::vector<size_t>& which = {kLeaf1, kLeaf2, kLeaf3, kLeaf4}) {
    for (;;) {
      bool all = true;
      {
        std::lock_guard<std::mutex> g(lock);
        for (size_t leaf : which) all = all && !arrived[leaf].empty() && arrived[leaf].back() > after;
      }
      if (all) return true;
      if (now_seconds() > until) return false;
      usleep(20000);
    }
  }

  // The leaf's longest time without the stream from a second before the
  // moment t to its first datagram from half a second after t on (or to
  // `until`, when none came by then). Datagrams already on their way at t
  // still arrive after it: they do not end the gap.
  double longest_gap(size_t leaf, double t, double until) {
    std::lock_guard<std::mutex> g(lock);
    const std::vector<double>& a = arrived[leaf];
    auto end = std::upper_bound(a.begin(), a.end(), t + 0.5);
    double stop = end == a.end() ? until : *end;
    double previous = t - 1, longest = 0;
    for (auto it = std::lower_bound(a.begin(), a.end(), t - 1); it != a.end() && *it <= stop; ++it) {
      longest = std::max(longest, *it - previous);
      previous = *it;
    }
    return std::max(longest, stop - previous);
  }

  // A statistics request answered by the repeater at device's address,
  // fragments reassembled; empty when no whole reply came within 1 s.
  std::string ask(size_t device, uint16_t port, const std::string& request) {
    sockaddr_in to = address(kAddress[device], port);
    sendto(ask_fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::string reply;
    size_t total = SIZE_MAX;
    double end = now_seconds() + 1.0;
    while (reply.size() < total && now_seconds() < end) {
      pollfd p{ask_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buf[2048];
      ssize_t n = recv(ask_fd, buf, sizeof buf, 0);
      if (n < 8) continue;
      total = buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<size_t>(buf[3]) << 24;
      reply.append(reinterpret_cast<char*>(buf) + 8, static_cast<size_t>(n) - 8);
    }
    return reply.size() == total ? reply : "";
  }

  // The source a mid takes its stream from now, and its failovers so far.
  std::string mid_source(size_t mid) {
    std::string status = ask(mid, kMidStats, "get_status");
    return report_field(status, "source") + " after " + number_field(status, "failovers") + " failovers";
  }

  std::string on_r1() { return std::string(kAddress[kR1]) + ":" + text(kRootOut) + " after 0 failovers"; }

  void sleep_until(double t) {
    double left = t - now_seconds();
    if (left > 0) usleep(static_cast<useconds_t>(left * 1e6));
  }

  // Roots, source, the mids and, once the mids are up, the leaves: the
  // start in which each mid has a client before it first asks its source.
  void start_tree() {
    start_roots();
    start_source();
    start_mids();
    start_leaves();
    ASSERT_TRUE(leaves_served_after(0, now_seconds() + 10)) << "the stream never reached every leaf\n"
                                                            << r1.err() << mids[kMid1].out();
    for (size_t m : kMids) ASSERT_EQ(mid_source(m), on_r1()) << kAddress[m] << mids[m].out() << mids[m].err();
  }
};

// Both roots hear the source; the mids must take theirs from R1 whether they
// or their leaves start first. A mid could otherwise fail over before it
// ever asked R1 for the stream, and which root serves whom would be down to
// timing: a mid's second keep-alive tick comes at 4 s, with the timeout.
TEST_F(Tree, MidsStayOnPrimaryWhenLeavesComeLater) {
  start_roots();
  start_source();
  double t0 = now_seconds();
  start_mids();
  sleep_until(t0 + 3);
  start_leaves();
  EXPECT_TRUE(leaves_served_after(t0, t0 + 10)) << "the stream never reached every leaf\n"
                                                << r1.err() << mids[kMid1].out();
  // Long enough for a failover 4 s after the leaves' first registration.
  sleep_until(t0 + 9);
  for (size_t m : kMids) EXPECT_EQ(mid_source(m), on_r1()) << kAddress[m] << "\n" << mids[m].out();
}

TEST_F(Tree, MidsStayOnPrimaryWhenLeavesWereWaiting) {
  start_roots();
  start_source();
  start_leaves();
  // The leaves' next registration comes 5 s after their first, after the
  // mids' first keep-alive tick.
  usleep(2500000);
  double t0 = now_seconds();
  start_mids();
  EXPECT_TRUE(leaves_served_after(t0, t0 + 10)) << "the stream never reached every leaf\n"
                                                << r1.err() << mids[kMid1].out();
  sleep_until(t0 + 9);
  for (size_t m : kMids) EXPECT_EQ(mid_source(m), on_r1()) << kAddress[m] << "\n" << mids[m].out();
}

// A mid fails over once it has had no data for 4 s and asks R2 at once;
// R2 answers within milliseconds on this LAN. The bound leaves almost a
// second for noticing the 4 s: a daemon that notices them only at its next
// once-a-second wake-up can be a whole second late, and miss it.
TEST_F(Tree, RootFailureCostsEachLeafAtMostFiveSeconds) {
  start_tree();
  if (HasFatalFailure()) return;
  usleep(500000);
  double killed = now_seconds();
  r1.kill_now();
  EXPECT_TRUE(leaves_served_after(killed + 0.5, killed + 10)) << "some leaf never got the stream back\n"
                                                              << mids[kMid1].out() << mids[kMid2].out();
  for (size_t leaf : kLeaves) EXPECT_LE(longest_gap(leaf, killed, killed + 10), 5.0) << "leaf " << kAddress[leaf];
  std::string r2_out = std::string(kAddress[kR2]) + ":" + text(kRootOut) + " after 1 failovers";
  for (size_t m : kMids) EXPECT_EQ(mid_source(m), r2_out) << kAddress[m];
}

// A mid stopped and started again at once keeps its leaves: the registered
// entries come back from its runtime folder, so the leaves need not
// register again. The restart comes half a second after the leaves'
// registration, so that registering again would cost them 4.5 s; a
// restart itself takes milliseconds, which the bound leaves a wide margin.
TEST_F(Tree, MidRestartServesItsLeavesWithinASecond) {
  start_tree();
  if (HasFatalFailure()) return;
  // The state is written within a second of a change.
  double restart = leaves_started + 0.5;
  while (restart < now_seconds() + 1.5) restart += 5;
  sleep_until(restart);
  double stopped = now_seconds();
  kill(mids[kMid1].pid, SIGTERM);
  ASSERT_NE(mids[kMid1].wait_exit(5.0), -1);
  start_mid(kMid1);
  EXPECT_TRUE(leaves_served_after(stopped + 0.5, stopped + 8, {kLeaf1, kLeaf2}))
      << "some leaf never got the stream back";
  for (size_t leaf : {kLeaf1, kLeaf2})
    EXPECT_LE(longest_gap(leaf, stopped, stopped + 8), 1.0) << "leaf " << kAddress[leaf];
  EXPECT_EQ(mid_source(kMid1), on_r1());
}

// 10% of the source's datagrams to R1 are dropped on the way. R1, the mids
// it feeds and their leaves each count exactly the drops that fall within
// the stretch of the stream they saw; R2, fed directly, counts none.
TEST_F(Tree, InjectedLossIsCountedAtEachLevel) {
  stream_length = 600;
  start_roots(true);
  impair = start(kR1, {IMPAIR_BINARY, text(kImpairPort), text(kRootIn), "--seed", "25", "--drop", "10", "--count",
                       text(static_cast<uint16_t>(stream_length)), "--idle", "30"});
  ASSERT_TRUE(impair.wait_err("impair: listening"));
  start_source(true);
  start_mids();
  start_leaves();
  ASSERT_TRUE(leaves_served_after(0, now_seconds() + 10)) << "the stream never reached every leaf\n"
                                                          << r1.err() << mids[kMid1].out();
  ASSERT_EQ(impair.wait_exit(stream_length * kPeriod + 5), 0);
  // A stopped stream's report is brought up to date by a request 2 s on.
  usleep(2300000);

  std::vector<int> forwarded, dropped;
  std::istringstream log(impair.out());
  std::string action;
  for (int seq; log >> action >> seq;) (action == "F" ? forwarded : dropped).push_back(seq);
  ASSERT_EQ(forwarded.size() + dropped.size(), static_cast<size_t>(stream_length));
  // The drops between a level's first and last datagram are the loss it can see.
  auto drops_within = [&](int first, int last) {
    return std::count_if(dropped.begin(), dropped.end(), [&](int s) { return s > first && s < last; });
  };
  // A figure of the repeater's report, -1 when it did not answer.
  auto figure = [this](size_t device, uint16_t port, const char* name) {
    std::string value = report_field(ask(device, port, "get_stats"), name);
    return value == "?" ? -1L : atol(value.c_str());
  };
  auto lost = [&](size_t device, uint16_t port) { return figure(device, port, "frames_lost"); };
  auto received = [&](size_t device, uint16_t port) { return figure(device, port, "frames_received"); };
  EXPECT_EQ(lost(kR1, kRootStats), drops_within(forwarded.front(), forwarded.back()));
  EXPECT_EQ(lost(kR2, kRootStats), 0);
  for (size_t m : kMids) {
    ASSERT_EQ(mid_source(m), on_r1()) << kAddress[m];
    // A mid has the last of what R1 forwarded, from its first keep-alive on.
    long n = received(m, kMidStats);
    ASSERT_GT(n, 0);
    ASSERT_LE(static_cast<size_t>(n), forwarded.size());
    EXPECT_EQ(lost(m, kMidStats), drops_within(forwarded[forwarded.size() - n], forwarded.back())) << kAddress[m];
  }
  std::lock_guard<std::mutex> g(lock);
  for (size_t leaf : kLeaves) {
    const std::vector<int>& s = seqs[leaf];
    ASSERT_FALSE(s.empty());
    long missing = (s.back() - s.front() + 1) - static_cast<long>(s.size());
    EXPECT_EQ(missing, drops_within(s.front(), s.back())) << "leaf " << kAddress[leaf];
  }
}

}  // namespace
