// treebench: the big tree of repeaters, measured. On an emulated LAN of
// network namespaces (tests/tools/lan.h), one per device: a source sending
// a paced, stamped stream to two roots (R1, and R2 its hot standby), mids
// whose source is R1 and alternate source R2 (each kept fed by its
// keep-alive), and leaves, real tolvek-join processes registered with the
// mids and forwarding to a player socket on their own loopback.
//
//   treebench --tolvek PATH --join PATH [--mids 8] [--leaves-per-mid 32]
//             [--rate 50] [--admission ip|pass|subnet] [--steady 30]
//             [--restarts 8] [--root-failures 3] [--json FILE] [--keep DIR]
//
// PATH default to $TOLVEK_BIN and $TOLVEK_JOIN_BIN, so that one build can
// be compared with another. The run, each part bounded in time:
//   1. start orders: the mids started 3 s before their leaves; then each
//      mid started 2.5 s after its own leaves, whose next registration
//      comes 5 s after their first, after the mid's first keep-alive tick.
//      Which root each mid ends on, and when its first leaf registration
//      reached it;
//   2. the tree started as it settles everywhere (leaves at once after the
//      mids), then steady state: loss, duplicates and reordering at every
//      leaf, the latency of each hop (p50 and p99), CPU and memory of every
//      process;
//   3. mid restarts, one mid at a time (SIGTERM, started again at once with
//      its RUNTIME_DIRECTORY kept): each of its leaves' gap;
//   4. root failures: the root feeding the mids (R1 first) killed, then
//      started again as the standby, the next failure killing whichever
//      feeds them then: each leaf's gap, each mid's own gap, and when the
//      other root first heard each mid's keep-alive. The gap depends on
//      where each mid is in its keep-alive period: repeats sample it.
// Times are CLOCK_REALTIME, as the kernel stamps what arrives: the source
// writes its send time into each datagram (bytes 20-27), and packet
// sockets see each datagram arrive at every device's eth0. Prints a summary
// and, with --json, every figure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_datagram.h"
#include "lan.h"
#include "proc_figures.h"

namespace {

constexpr size_t DATAGRAM_SIZE = 172;
constexpr uint32_t RUN_ID = 0x74726565;  // "tree"
// The whole run stops by itself after this, whatever happens.
constexpr double MAX_RUN_SECONDS = 900;
constexpr uint16_t SOURCE_PORT = 4000;
constexpr uint16_t ROOT_IN = 5000, ROOT_OUT = 5002, ROOT_STATS = 5003;
constexpr uint16_t MID_IN = 6000, MID_ALT_IN = 6001, MID_OUT = 6002, MID_STATS = 6003;
constexpr uint16_t LEAF_PORT = 7000, PLAYER_PORT = 5004;

struct Options {
  std::string tolvek, join;
  int mids = 8, leaves_per_mid = 32;
  double rate = 50;
  std::string admission = "ip";
  double steady = 30;
  int restarts = 8;
  int root_failures = 3;
  std::string json, keep;
};

int64_t realtime_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double seconds_between(int64_t a, int64_t b) { return static_cast<double>(b - a) / 1e9; }

void sleep_for(double s) {
  if (s <= 0) return;
  timespec ts{static_cast<time_t>(s), static_cast<long>((s - std::floor(s)) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string loadavg() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

// utime + stime in clock ticks, -1 when the process is gone.
long cpu_ticks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; rest >> field; i++) {
    if (i == 14) utime = atol(field.c_str());
    if (i == 15) {
      stime = atol(field.c_str());
      return utime + stime;
    }
  }
  return -1;
}

// Datagrams the kernel dropped, all CPUs together, because its input
// backlog was full: each copy crossing a veth pair or the loopback passes
// through it, whatever namespace it is in.
long backlog_drops() {
  std::ifstream f("/proc/net/softnet_stat");
  long total = 0;
  for (std::string line; std::getline(f, line);) {
    std::istringstream fields(line);
    std::string processed, dropped;
    fields >> processed >> dropped;
    total += strtol(dropped.c_str(), nullptr, 16);
  }
  return total;
}

// Clock ticks that all CPUs together spent on anything but idling.
long machine_busy_ticks() {
  std::ifstream f("/proc/stat");
  std::string cpu;
  long v[8] = {0};
  f >> cpu;
  for (long& x : v) f >> x;
  return v[0] + v[1] + v[2] + v[5] + v[6];  // user, nice, system, irq, softirq
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1];
}

std::string fmt(double v, int decimals = 3) {
  if (std::isnan(v)) return "null";
  if (std::isinf(v)) return "\"never\"";
  char t[64];
  snprintf(t, sizeof t, "%.*f", decimals, v);
  return t;
}

std::string json_list(const std::vector<double>& v, int decimals = 3) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); i++) s += (i ? "," : "") + fmt(v[i], decimals);
  return s + "]";
}

std::string json_strings(const std::vector<std::string>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); i++) s += (i ? ",\"" : "\"") + v[i] + "\"";
  return s + "]";
}

// min / median / max, the way the summary gives a set of gaps.
std::string spread(const std::vector<double>& v) {
  if (v.empty()) return "none";
  std::vector<double> finite;
  for (double x : v)
    if (!std::isinf(x)) finite.push_back(x);
  size_t never = v.size() - finite.size();
  std::string s = finite.empty()
                      ? "-"
                      : fmt(*std::min_element(finite.begin(), finite.end()), 2) + " / " + fmt(percentile(v, 0.5), 2) +
                            " / " + fmt(*std::max_element(finite.begin(), finite.end()), 2) + " s";
  if (never) s += " (" + std::to_string(never) + " never served again)";
  return s;
}

std::string spread_json(const std::vector<double>& v) {
  std::vector<double> finite;
  for (double x : v)
    if (!std::isinf(x)) finite.push_back(x);
  return "{\"min\":" + (finite.empty() ? "null" : fmt(*std::min_element(finite.begin(), finite.end()))) +
         ",\"median\":" + fmt(percentile(v, 0.5)) +
         ",\"max\":" + (finite.empty() ? "null" : fmt(*std::max_element(finite.begin(), finite.end()))) +
         ",\"never\":" + std::to_string(v.size() - finite.size()) + ",\"each\":" + json_list(v) + "}";
}

// Arrival times by datagram number, one row per place the stream is seen:
// written by the probe thread, read by the main thread while it goes on.
struct Arrivals {
  size_t n = 0;
  std::unique_ptr<std::atomic<int64_t>[]> t;  // 0: not arrived
  std::atomic<uint64_t> duplicated{0}, reordered{0}, highest{0};
  std::atomic<int64_t> last{0};  // the latest arrival, any number
  void init(size_t count) {
    n = count;
    t.reset(new std::atomic<int64_t>[count]());
  }
  void note(uint64_t i, int64_t at) {
    if (i >= n) return;
    int64_t expected = 0;
    if (!t[i].compare_exchange_strong(expected, at, std::memory_order_relaxed)) {
      duplicated++;
      return;
    }
    if (i < highest) reordered++;
    if (i > highest) highest = i;
    last = at;
  }
  int64_t at(uint64_t i) const { return i < n ? t[i].load(std::memory_order_relaxed) : 0; }
};

// The longest time without the stream from a second before the moment t
// to the first arrival from half a second after t on (or to `until`, when
// none came by then): datagrams already on their way at t still arrive
// after it, and must not end the gap. first and last bound the datagram
// numbers looked at.
double longest_gap(const Arrivals& a, int64_t t, int64_t until, uint64_t first, uint64_t last) {
  std::vector<int64_t> times;
  int64_t stop = until;
  for (uint64_t i = first; i <= last && i < a.n; i++) {
    int64_t x = a.at(i);
    if (x > t + 500000000) stop = std::min(stop, x);
    if (x >= t - 1000000000) times.push_back(x);
  }
  std::sort(times.begin(), times.end());
  int64_t previous = t - 1000000000, longest = 0;
  for (int64_t x : times) {
    if (x > stop) break;
    longest = std::max(longest, x - previous);
    previous = x;
  }
  longest = std::max(longest, stop - previous);
  return stop == until ? INFINITY : static_cast<double>(longest) / 1e9;
}

struct Proc {
  std::string name;
  size_t device = 0;
  pid_t pid = -1;
  int64_t started = 0;
};

class TreeBench {
 public:
  explicit TreeBench(const Options& o) : o_(o) {}
  int run();

 private:
  const Options& o_;
  Lan lan_;
  std::string dir_;
  size_t n_leaves_ = 0;
  size_t max_datagrams_ = 0;
  int64_t run_start_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::unique_ptr<std::atomic<int64_t>[]> send_time_;
  std::vector<Arrivals> player_;  // per leaf
  std::vector<Arrivals> point_;   // packet sockets: R1, R2, the mids, the leaves
  // Copies leaving a repeater's eth0: root r's to mid k at r * mids + k,
  // and a mid's to each of its leaves.
  std::vector<Arrivals> to_mid_, to_leaf_;
  std::vector<std::vector<int64_t>> keepalive_at_[2];  // per root, per mid: keep-alives it heard
  std::vector<std::vector<int64_t>> registered_at_;    // per mid, leaves' control packets it got
  std::mutex keepalive_lock_;
  int source_fd_ = -1, ask_fd_ = -1;
  std::vector<int> player_fd_, point_fd_;
  std::thread source_thread_, probe_thread_;
  Proc r1_, r2_;
  std::vector<Proc> mids_, leaves_;
  std::string state_dirs_;  // the mids' runtime folders, fresh each start
  int starts_ = 0;
  std::vector<std::string> roots_;  // the root feeding each mid when the steady state began
  std::ostringstream json_;         // the parts of the result, in order
  std::ostringstream summary_;

  // Devices: 0 source, 1 R1, 2 R2, 3 .. 3 + mids - 1, then the leaves, leaf j
  // of mid k at 3 + mids + k * leaves_per_mid + j.
  size_t mid_device(int k) const { return 3 + static_cast<size_t>(k); }
  size_t leaf_device(size_t leaf) const { return 3 + static_cast<size_t>(o_.mids) + leaf; }
  size_t point_of_mid(int k) const { return 2 + static_cast<size_t>(k); }
  size_t point_of_leaf(size_t leaf) const { return 2 + static_cast<size_t>(o_.mids) + leaf; }
  std::string address(size_t device) const;

  bool build_lan();
  int socket_in(size_t device, const char* ip, uint16_t port, int rcvbuf);
  int packet_socket_in(size_t device, bool outgoing);
  std::string write_file(const std::string& name, const std::string& text);
  Proc spawn(size_t device, const std::string& name, const std::vector<std::string>& argv,
             const std::vector<std::string>& env = {});
  void end(Proc& p, int sig);
  bool wait_line(const Proc& p, const std::string& needle, double timeout);

  std::string root_config() const;
  std::string mid_config() const;
  void start_roots();
  void start_root(int r);
  void start_mid(int k);
  void fresh_state();
  void start_mids();
  bool mids_started();
  void start_leaf(size_t leaf);
  void start_leaves(double spread_seconds);
  void stop_all();

  void source_loop();
  void probe_loop();
  std::string ask(size_t device, uint16_t port, const char* request);
  std::string mid_root(int k, int* failovers);
  bool all_served_after(int64_t t, double timeout, const std::vector<size_t>& leaves);
  uint64_t number_at(int64_t t) const;

  void start_order(const std::string& name, bool mids_first);
  void steady_state();
  void mid_restarts();
  bool root_failure(int round, std::vector<double>& all);
  void root_failures();
};

std::string TreeBench::address(size_t device) const {
  if (device == 0) return "10.44.0.100";
  if (device <= 2) return "10.44.0." + std::to_string(device);
  if (device < 3 + static_cast<size_t>(o_.mids)) return "10.44.1." + std::to_string(device - 2);
  size_t leaf = device - 3 - static_cast<size_t>(o_.mids);
  return "10.44." + std::to_string(16 + leaf / static_cast<size_t>(o_.leaves_per_mid)) + "." +
         std::to_string(leaf % static_cast<size_t>(o_.leaves_per_mid) + 1);
}

bool TreeBench::build_lan() {
  std::vector<std::string> addresses;
  for (size_t d = 0; d < 3 + static_cast<size_t>(o_.mids) + n_leaves_; d++) addresses.push_back(address(d));
  double t0 = realtime_ns() / 1e9;
  if (!lan_.build(addresses, 16)) {
    fprintf(stderr, "treebench: no emulated LAN: %s\n", lan_.error.c_str());
    return false;
  }
  fprintf(stderr, "treebench: %zu namespaces on one bridge in %.2f s\n", addresses.size() + 1,
          realtime_ns() / 1e9 - t0);
  return true;
}

int TreeBench::socket_in(size_t device, const char* ip, uint16_t port, int rcvbuf) {
  int fd = lan_.socket_in(device, AF_INET, SOCK_DGRAM | SOCK_NONBLOCK);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_aton(ip, &sa.sin_addr);
  sa.sin_port = htons(port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    fprintf(stderr, "treebench: cannot bind %s:%u in %s: %s\n", ip, port, address(device).c_str(), strerror(errno));
    exit(1);
  }
  if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  return fd;
}

// What reaches the device's eth0 from the LAN, and with outgoing what it
// sends there too: IP datagrams from their IP header on, with the kernel's
// time of each (an outgoing copy's is when the sender's system call handed
// it to the device).
int TreeBench::packet_socket_in(size_t device, bool outgoing) {
  // Only sockets of every protocol are shown what the device sends.
  uint16_t protocol = htons(outgoing ? ETH_P_ALL : ETH_P_IP);
  lan_.enter(device);
  int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  unsigned index = if_nametoindex("eth0");
  lan_.leave();
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = protocol;
  at.sll_ifindex = static_cast<int>(index);
  if (fd < 0 || !index || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    fprintf(stderr, "treebench: no packet socket in %s: %s\n", address(device).c_str(), strerror(errno));
    exit(1);
  }
  int on = 1, room = 4 << 20;
  if (!outgoing) setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  return fd;
}

std::string TreeBench::write_file(const std::string& name, const std::string& text) {
  std::string path = dir_ + "/" + name;
  std::ofstream(path) << text;
  return path;
}

Proc TreeBench::spawn(size_t device, const std::string& name, const std::vector<std::string>& argv,
                      const std::vector<std::string>& env) {
  Proc p{name, device, -1, realtime_ns()};
  p.pid = lan_.spawn(device, argv, env, dir_ + "/" + name + ".out", dir_ + "/" + name + ".err", dir_);
  if (p.pid < 0) {
    perror("treebench: fork");
    exit(1);
  }
  return p;
}

void TreeBench::end(Proc& p, int sig) {
  if (p.pid <= 0) return;
  kill(p.pid, sig);
  waitpid(p.pid, nullptr, 0);
  p.pid = -1;
}

bool TreeBench::wait_line(const Proc& p, const std::string& needle, double timeout) {
  double end = realtime_ns() / 1e9 + timeout;
  std::string path = dir_ + "/" + p.name + ".out";
  while (realtime_ns() / 1e9 < end) {
    std::ifstream f(path);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (all.find(needle) != std::string::npos) return true;
    sleep_for(0.02);
  }
  return false;
}

// How the roots admit the mids' keep-alives.
std::string TreeBench::root_config() const {
  std::string c = "input_port " + std::to_string(ROOT_IN) + "\noutput_port " + std::to_string(ROOT_OUT) +
                  "\nstatistics_port " + std::to_string(ROOT_STATS) + "\nsource " + address(0) + ":" +
                  std::to_string(SOURCE_PORT) + "\n";
  if (o_.admission == "pass") return c + "allow_mac\nallow_pass uplink\n";
  if (o_.admission == "subnet") return c + "allow_ip 10.44.1.0/24\n";
  for (int k = 0; k < o_.mids; k++) c += "allow_ip " + address(mid_device(k)) + "\n";
  return c;
}

std::string TreeBench::mid_config() const {
  return "input_port " + std::to_string(MID_IN) + "\nalt_input_port " + std::to_string(MID_ALT_IN) + "\noutput_port " +
         std::to_string(MID_OUT) + "\nstatistics_port " + std::to_string(MID_STATS) + "\nsource " + address(1) + ":" +
         std::to_string(ROOT_OUT) + " uplink\nalt_source " + address(2) + ":" + std::to_string(ROOT_OUT) +
         " uplink\nallow_mac\nallow_pass leafpass\n";
}

void TreeBench::start_root(int r) {
  Proc& p = r ? r2_ : r1_;
  p = spawn(1 + static_cast<size_t>(r), r ? "r2" : "r1", {o_.tolvek, dir_ + "/root.conf"});
  if (!wait_line(p, "Setting up to statistics UDP port", 10)) {
    fprintf(stderr, "treebench: %s did not start\n", p.name.c_str());
    exit(1);
  }
}

void TreeBench::start_roots() {
  start_root(0);
  start_root(1);
}

void TreeBench::start_mid(int k) {
  std::string conf = dir_ + "/mid.conf";
  std::string state = state_dirs_ + "/" + address(mid_device(k));
  mkdir(state.c_str(), 0700);
  mids_[static_cast<size_t>(k)] =
      spawn(mid_device(k), "mid" + std::to_string(k + 1), {o_.tolvek, conf}, {"RUNTIME_DIRECTORY=" + state});
}

// A fresh start: nothing saved by the mids of an earlier start.
void TreeBench::fresh_state() {
  state_dirs_ = dir_ + "/state" + std::to_string(++starts_);
  mkdir(state_dirs_.c_str(), 0700);
}

bool TreeBench::mids_started() {
  for (int k = 0; k < o_.mids; k++)
    if (!wait_line(mids_[static_cast<size_t>(k)], "Setting up to statistics UDP port", 10)) {
      fprintf(stderr, "treebench: mid %d did not start\n", k + 1);
      return false;
    }
  return true;
}

void TreeBench::start_mids() {
  fresh_state();
  for (int k = 0; k < o_.mids; k++) start_mid(k);
  if (!mids_started()) exit(1);
}

void TreeBench::start_leaf(size_t leaf) {
  int k = static_cast<int>(leaf / static_cast<size_t>(o_.leaves_per_mid));
  leaves_[leaf] = spawn(leaf_device(leaf), "leaf" + std::to_string(leaf + 1),
                        {o_.join, address(mid_device(k)) + ":" + std::to_string(MID_OUT), "--port",
                         std::to_string(LEAF_PORT), "--forward", "127.0.0.1:" + std::to_string(PLAYER_PORT)},
                        {"TOLVEK_PASSWORD=leafpass"});
}

// In turn over the mids (the first leaf of every mid, then the second...),
// spread evenly over spread_seconds (0: as fast as they can be started).
void TreeBench::start_leaves(double spread_seconds) {
  double begin = realtime_ns() / 1e9;
  size_t i = 0;
  for (int j = 0; j < o_.leaves_per_mid; j++) {
    for (int k = 0; k < o_.mids; k++, i++) {
      sleep_for(begin + spread_seconds * static_cast<double>(i) / static_cast<double>(n_leaves_) - realtime_ns() / 1e9);
      start_leaf(static_cast<size_t>(k * o_.leaves_per_mid + j));
    }
  }
  fprintf(stderr, "treebench: %zu leaves started in %.2f s\n", n_leaves_, realtime_ns() / 1e9 - begin);
}

void TreeBench::stop_all() {
  for (Proc& p : leaves_) kill(p.pid, SIGKILL);
  for (Proc& p : mids_) kill(p.pid, SIGKILL);
  for (Proc& p : leaves_) end(p, SIGKILL);
  for (Proc& p : mids_) end(p, SIGKILL);
  end(r1_, SIGKILL);
  end(r2_, SIGKILL);
}

// Datagram i is due at start + i / rate, sent to both roots; its send time
// is written into it and kept.
void TreeBench::source_loop() {
  sockaddr_in to[2]{};
  for (int r = 0; r < 2; r++) {
    to[r].sin_family = AF_INET;
    inet_aton(address(1 + static_cast<size_t>(r)).c_str(), &to[r].sin_addr);
    to[r].sin_port = htons(ROOT_IN);
  }
  uint8_t d[DATAGRAM_SIZE];
  bench_fill(d, sizeof d, 0, RUN_ID);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  double start_s = static_cast<double>(start.tv_sec) + static_cast<double>(start.tv_nsec) / 1e9;
  for (uint64_t i = 0; i < max_datagrams_ && !stop_; i++) {
    double due = start_s + static_cast<double>(i) / o_.rate;
    timespec ts{static_cast<time_t>(due), static_cast<long>((due - std::floor(due)) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    bench_number(d, i, RUN_ID);
    int64_t now = realtime_ns();
    bench_put_le(d + BENCH_HEADER, static_cast<uint64_t>(now), 8);
    send_time_[i] = now;
    for (const sockaddr_in& t : to) sendto(source_fd_, d, sizeof d, 0, reinterpret_cast<const sockaddr*>(&t), sizeof t);
    sent_ = i + 1;
  }
}

// Reads every player socket and packet socket: the number of each of the
// run's datagrams and the kernel's time of its arrival. At R2 it also notes
// the keep-alives that reach its output port, by mid.
void TreeBench::probe_loop() {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  auto add = [ep](int fd, uint32_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = tag;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  };
  constexpr uint32_t POINT = 1u << 31;
  for (size_t i = 0; i < player_fd_.size(); i++) add(player_fd_[i], static_cast<uint32_t>(i));
  for (size_t i = 0; i < point_fd_.size(); i++) add(point_fd_[i], POINT | static_cast<uint32_t>(i));
  constexpr unsigned BATCH = 16;
  static uint8_t bufs[BATCH][2048];
  alignas(cmsghdr) static uint8_t control[BATCH][CMSG_SPACE(sizeof(timespec)) + 64];
  iovec iov[BATCH];
  mmsghdr msgs[BATCH];
  sockaddr_ll link[BATCH];
  epoll_event events[64];
  while (!stop_) {
    int ready = epoll_wait(ep, events, 64, 50);
    for (int e = 0; e < ready; e++) {
      uint32_t tag = events[e].data.u32;
      bool point = tag & POINT;
      size_t index = tag & ~POINT;
      int fd = point ? point_fd_[index] : player_fd_[index];
      for (;;) {
        for (unsigned k = 0; k < BATCH; k++) {
          iov[k] = {bufs[k], sizeof bufs[k]};
          msgs[k] = {};
          msgs[k].msg_hdr.msg_iov = &iov[k];
          msgs[k].msg_hdr.msg_iovlen = 1;
          msgs[k].msg_hdr.msg_control = control[k];
          msgs[k].msg_hdr.msg_controllen = sizeof control[k];
          link[k] = {};
          msgs[k].msg_hdr.msg_name = &link[k];
          msgs[k].msg_hdr.msg_namelen = sizeof link[k];
        }
        int r = recvmmsg(fd, msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (r <= 0) break;
        for (int k = 0; k < r; k++) {
          int64_t at = 0;
          for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[k].msg_hdr); c; c = CMSG_NXTHDR(&msgs[k].msg_hdr, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
              timespec ts;
              memcpy(&ts, CMSG_DATA(c), sizeof ts);
              at = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
          if (!at) at = realtime_ns();
          const uint8_t* d = bufs[k];
          size_t len = msgs[k].msg_len;
          uint32_t from = 0;
          uint16_t to_port = 0;
          uint8_t to[4] = {0};
          if (point) {
            if (link[k].sll_protocol != htons(ETH_P_IP)) continue;
            // An IP datagram: only UDP is looked into.
            size_t ihl = len ? static_cast<size_t>(d[0] & 15) * 4 : 0;
            if (len < ihl + 8 || d[9] != IPPROTO_UDP) continue;
            memcpy(&from, d + 12, 4);
            memcpy(to, d + 16, 4);
            to_port = static_cast<uint16_t>(d[ihl + 2] << 8 | d[ihl + 3]);
            d += ihl + 8;
            len -= ihl + 8;
          }
          bool ours = len == DATAGRAM_SIZE && bench_get_le(d + 12, 8) < max_datagrams_ && d[8] == 0x74 &&
                      d[9] == 0x72 && d[10] == 0x65 && d[11] == 0x65;
          uint64_t number = ours ? bench_get_le(d + 12, 8) : 0;
          if (ours && point && link[k].sll_pkttype == PACKET_OUTGOING) {
            // A copy sent by a root (to 10.44.1.k+1) or a mid (to 10.44.16+k.j+1).
            size_t mids = static_cast<size_t>(o_.mids);
            if (index < 2 && to[2] == 1 && to[3] >= 1 && to[3] <= mids)
              to_mid_[index * mids + to[3] - 1u].note(number, at);
            size_t k_of = to[2] >= 16 ? to[2] - 16u : mids, j = to[3] - 1u;
            if (index >= 2 && index < 2 + mids && k_of < mids && to[3] >= 1 &&
                j < static_cast<size_t>(o_.leaves_per_mid))
              to_leaf_[k_of * static_cast<size_t>(o_.leaves_per_mid) + j].note(number, at);
            continue;
          }
          if (point && link[k].sll_pkttype == PACKET_OUTGOING) continue;
          if (ours) {
            (point ? point_[index] : player_[index]).note(number, at);
            continue;
          }
          // A leaf's control packet at its mid.
          bool at_mid = point && index >= 2 && index < 2 + static_cast<size_t>(o_.mids);
          if (at_mid && to_port == MID_OUT && len >= 4 && !memcmp(d, "QMZ", 3)) {
            std::lock_guard<std::mutex> g(keepalive_lock_);
            registered_at_[index - 2].push_back(at);
            continue;
          }
          // A mid's keep-alive at a root: QMZ, a registration.
          if (point && index < 2 && to_port == ROOT_OUT && len >= 4 && !memcmp(d, "QMZ", 3)) {
            in_addr a{from};
            std::string ip = inet_ntoa(a);
            std::lock_guard<std::mutex> g(keepalive_lock_);
            for (int m = 0; m < o_.mids; m++)
              if (ip == address(mid_device(m))) keepalive_at_[index][static_cast<size_t>(m)].push_back(at);
          }
        }
        if (static_cast<unsigned>(r) < BATCH) break;
      }
    }
  }
  close(ep);
}

// A request to a statistics port, the fragments of the reply put together;
// empty when no whole reply came within a second.
std::string TreeBench::ask(size_t device, uint16_t port, const char* request) {
  uint8_t buf[2048];
  while (recv(ask_fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  inet_aton(address(device).c_str(), &to.sin_addr);
  to.sin_port = htons(port);
  sendto(ask_fd_, request, strlen(request), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::string reply;
  size_t total = SIZE_MAX;
  double end = realtime_ns() / 1e9 + 1.0;
  while (reply.size() < total && realtime_ns() / 1e9 < end) {
    pollfd p{ask_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(ask_fd_, buf, sizeof buf, 0);
    if (n < 8) continue;
    total = bench_get_le(buf, 4);
    reply.append(reinterpret_cast<char*>(buf) + 8, static_cast<size_t>(n) - 8);
  }
  return reply.size() == total ? reply : "";
}

// "R1", "R2" or what the mid said, from its get_status.
std::string TreeBench::mid_root(int k, int* failovers) {
  std::string s = ask(mid_device(k), MID_STATS, "get_status");
  size_t at = s.find("\"failovers\":");
  *failovers = at == std::string::npos ? -1 : atoi(s.c_str() + at + 12);
  at = s.find("\"source\":\"");
  if (at == std::string::npos) return "?";
  std::string src = s.substr(at + 10, s.find('"', at + 10) - at - 10);
  if (src == address(1) + ":" + std::to_string(ROOT_OUT)) return "R1";
  if (src == address(2) + ":" + std::to_string(ROOT_OUT)) return "R2";
  return src;
}

bool TreeBench::all_served_after(int64_t t, double timeout, const std::vector<size_t>& leaves) {
  double end = realtime_ns() / 1e9 + timeout;
  for (;;) {
    bool all = true;
    for (size_t leaf : leaves) all = all && player_[leaf].last > t;
    if (all) return true;
    if (realtime_ns() / 1e9 > end) return false;
    sleep_for(0.05);
  }
}

// The number of the first datagram sent at or after t.
uint64_t TreeBench::number_at(int64_t t) const {
  uint64_t n = sent_;
  for (uint64_t i = 0; i < n; i++)
    if (send_time_[i] >= t) return i;
  return n;
}

std::vector<size_t> all_of(size_t n) {
  std::vector<size_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = i;
  return v;
}

void TreeBench::start_order(const std::string& name, bool mids_first) {
  fprintf(stderr, "treebench: start order %s (load %s)\n", name.c_str(), loadavg().c_str());
  start_roots();
  int64_t mids_at = realtime_ns();
  if (mids_first) {
    start_mids();
    sleep_for(3.0 - seconds_between(mids_at, realtime_ns()));
    start_leaves(0);
  } else {
    // Mid by mid: its leaves, then the mid itself 2.5 s after its first
    // leaf, whatever starting the other mids' leaves takes meanwhile.
    fresh_state();
    std::vector<int64_t> due(static_cast<size_t>(o_.mids), INT64_MAX);
    int next_mid = 0;
    auto start_due_mids = [&] {
      while (next_mid < o_.mids && realtime_ns() >= due[static_cast<size_t>(next_mid)]) start_mid(next_mid++);
    };
    for (int k = 0; k < o_.mids; k++) {
      due[static_cast<size_t>(k)] = realtime_ns() + 2500000000;
      for (int j = 0; j < o_.leaves_per_mid; j++) {
        start_due_mids();
        start_leaf(static_cast<size_t>(k * o_.leaves_per_mid + j));
      }
    }
    fprintf(stderr, "treebench: %zu leaves started in %.2f s\n", n_leaves_, seconds_between(mids_at, realtime_ns()));
    while (next_mid < o_.mids) {
      sleep_for(seconds_between(realtime_ns(), due[static_cast<size_t>(next_mid)]));
      start_due_mids();
    }
    if (!mids_started()) exit(1);
    mids_at = mids_[0].started;
  }
  bool served = all_served_after(mids_at, 25, all_of(n_leaves_));
  // Long enough for a failover 4 s after the leaves' registrations, and the
  // next keep-alive after it.
  sleep_for(12.0 - seconds_between(mids_[static_cast<size_t>(o_.mids - 1)].started, realtime_ns()));
  std::vector<std::string> roots;
  std::vector<double> failovers, first, registered;
  int on_r1 = 0;
  for (int k = 0; k < o_.mids; k++) {
    int f;
    roots.push_back(mid_root(k, &f));
    failovers.push_back(f);
    on_r1 += roots.back() == "R1";
    // From the mid's own start.
    int64_t started = mids_[static_cast<size_t>(k)].started;
    std::lock_guard<std::mutex> g(keepalive_lock_);
    double t = INFINITY;
    for (int64_t x : registered_at_[static_cast<size_t>(k)])
      if (x > started) t = std::min(t, seconds_between(started, x));
    registered.push_back(t);
  }
  uint64_t from = number_at(mids_at);
  // From when both the leaf and its mid had started.
  for (size_t leaf = 0; leaf < n_leaves_; leaf++) {
    int64_t started = std::max(leaves_[leaf].started, mids_[leaf / static_cast<size_t>(o_.leaves_per_mid)].started);
    double t = INFINITY;
    for (uint64_t i = from; i < sent_; i++)
      if (int64_t x = player_[leaf].at(i); x > started) {
        t = seconds_between(started, x);
        break;
      }
    first.push_back(t);
  }
  stop_all();
  summary_ << "start order " << name << ": " << on_r1 << " of " << o_.mids << " mids on R1 (";
  for (size_t k = 0; k < roots.size(); k++) summary_ << (k ? " " : "") << roots[k];
  summary_ << "), failovers " << json_list(failovers, 0) << "\n  first leaf registration reaching each mid after its "
           << "own start, s: " << json_list(registered, 2)
           << "\n  first datagram at each leaf once it and its mid had started " << spread(first)
           << (served ? "" : " (not every leaf served within 20 s)") << "\n";
  json_ << "{\"order\":\"" << name << "\",\"mids_on_r1\":" << on_r1 << ",\"roots\":" << json_strings(roots)
        << ",\"failovers\":" << json_list(failovers, 0) << ",\"first_registration_at_mid_s\":" << json_list(registered)
        << ",\"first_datagram_once_leaf_and_mid_started_s\":" << spread_json(first) << "}";
}

struct Figures {
  long ticks0 = 0, ticks1 = 0, hwm = 0, dirty = 0, rss = 0;
};

void TreeBench::steady_state() {
  fprintf(stderr, "treebench: steady state, %.0f s (load %s)\n", o_.steady, loadavg().c_str());
  std::vector<Proc*> procs{&r1_, &r2_};
  for (Proc& p : mids_) procs.push_back(&p);
  for (Proc& p : leaves_) procs.push_back(&p);
  std::vector<Figures> f(procs.size());
  auto frames = [this](size_t device, uint16_t port, const char* key) {
    std::string s = ask(device, port, "get_stats");
    size_t at = s.find(std::string("\"") + key + "\"");
    if (at == std::string::npos) return -1L;
    return atol(s.c_str() + s.find('"', s.find(':', at) + 1) + 1);
  };
  std::vector<size_t> repeaters{1, 2};
  for (int k = 0; k < o_.mids; k++) repeaters.push_back(mid_device(k));
  std::vector<long> lost0, received0;
  for (size_t d : repeaters) {
    uint16_t port = d <= 2 ? ROOT_STATS : MID_STATS;
    lost0.push_back(frames(d, port, "frames_lost"));
    received0.push_back(frames(d, port, "frames_received"));
  }
  std::string load_before = loadavg();
  long self0 = cpu_ticks(getpid());
  long machine0 = machine_busy_ticks(), drops0 = backlog_drops();
  int64_t t0 = realtime_ns();
  for (size_t i = 0; i < procs.size(); i++) f[i].ticks0 = cpu_ticks(procs[i]->pid);
  sleep_for(o_.steady);
  int64_t t1 = realtime_ns();
  for (size_t i = 0; i < procs.size(); i++) {
    f[i].ticks1 = cpu_ticks(procs[i]->pid);
    f[i].hwm = proc_kib(procs[i]->pid, "status", "VmHWM");
    f[i].rss = proc_kib(procs[i]->pid, "status", "VmRSS");
    f[i].dirty = proc_kib(procs[i]->pid, "smaps_rollup", "Private_Dirty");
  }
  long self1 = cpu_ticks(getpid());
  long machine1 = machine_busy_ticks(), drops1 = backlog_drops();
  std::string load_after = loadavg();
  // The stats reports are rebuilt every 2 s of stream: wait for the next.
  sleep_for(2.5);
  std::vector<long> lost1, received1;
  for (size_t d : repeaters) {
    uint16_t port = d <= 2 ? ROOT_STATS : MID_STATS;
    lost1.push_back(frames(d, port, "frames_lost"));
    received1.push_back(frames(d, port, "frames_received"));
  }

  // Every datagram sent in the window that had a second to arrive. A
  // datagram missing at a player is placed by whether it reached the leaf's
  // eth0: lost on the way there (a repeater, the LAN) or after it.
  uint64_t first = number_at(t0), last = number_at(t1 - 1000000000) - 1;
  uint64_t expected = last >= first ? last - first + 1 : 0, lost = 0, worst = 0, lost_before = 0, never_sent = 0;
  for (size_t leaf = 0; leaf < n_leaves_; leaf++) {
    uint64_t missing = 0;
    for (uint64_t i = first; i <= last; i++) {
      if (player_[leaf].at(i)) continue;
      missing++;
      lost_before += point_[point_of_leaf(leaf)].at(i) == 0;
      never_sent += to_leaf_[leaf].at(i) == 0;
    }
    lost += missing;
    worst = std::max(worst, missing);
  }
  uint64_t duplicated = 0, reordered = 0;
  for (const Arrivals& a : player_) {
    duplicated += a.duplicated;
    reordered += a.reordered;
  }

  // Latency per hop, microseconds; a mid's root is the one feeding it. A
  // repeater's own time runs from the datagram's arrival at its eth0 to a
  // copy leaving it, the LAN's from there to the next device's eth0. The
  // mid sends its copies in its table's order: its first and last copy of
  // each datagram show the fan-out's spread.
  std::map<std::string, std::vector<double>> hop;
  const char* const hops[] = {"source to root (LAN)",
                              "root: arrival to copy out",
                              "root to mid (LAN)",
                              "mid: arrival to first copy out",
                              "mid: arrival to last copy out",
                              "mid: arrival to copy out (every leaf)",
                              "mid to leaf (LAN)",
                              "tolvek-join: eth0 to player",
                              "end to end"};
  auto us = [&hop](const char* name, int64_t from, int64_t to) {
    if (from && to) hop[name].push_back(static_cast<double>(to - from) / 1e3);
  };
  for (uint64_t i = first; i <= last; i++) {
    int64_t sent = send_time_[i];
    for (size_t r = 0; r < 2; r++) us(hops[0], sent, point_[r].at(i));
    for (int k = 0; k < o_.mids; k++) {
      const std::string& feeder = roots_[static_cast<size_t>(k)];
      size_t r = feeder == "R1" ? 0 : 1;
      if (feeder != "R1" && feeder != "R2") continue;
      int64_t root_in = point_[r].at(i),
              root_out = to_mid_[r * static_cast<size_t>(o_.mids) + static_cast<size_t>(k)].at(i);
      int64_t mid = point_[point_of_mid(k)].at(i), first_out = INT64_MAX, last_out = 0;
      us(hops[1], root_in, root_out);
      us(hops[2], root_out, mid);
      for (int j = 0; j < o_.leaves_per_mid; j++) {
        size_t leaf = static_cast<size_t>(k * o_.leaves_per_mid + j);
        int64_t out = to_leaf_[leaf].at(i), eth = point_[point_of_leaf(leaf)].at(i), play = player_[leaf].at(i);
        if (out) {
          first_out = std::min(first_out, out);
          last_out = std::max(last_out, out);
        }
        us(hops[5], mid, out);
        us(hops[6], out, eth);
        us(hops[7], eth, play);
        us(hops[8], sent, play);
      }
      if (last_out) {
        us(hops[3], mid, first_out);
        us(hops[4], mid, last_out);
      }
    }
  }

  double seconds = seconds_between(t0, t1);
  double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  auto cpu_percent = [&](const Figures& x) {
    return x.ticks0 < 0 || x.ticks1 < 0 ? NAN : 100.0 * static_cast<double>(x.ticks1 - x.ticks0) / tick / seconds;
  };
  double busy = static_cast<double>(machine1 - machine0) / tick / seconds;
  double ours = static_cast<double>(self1 - self0) / tick / seconds;
  for (const Figures& x : f)
    if (x.ticks0 >= 0 && x.ticks1 >= 0) ours += static_cast<double>(x.ticks1 - x.ticks0) / tick / seconds;
  summary_ << "steady state, " << fmt(seconds, 1) << " s (load " << load_before << " before, " << load_after
           << " after): " << expected << " datagrams x " << n_leaves_ << " leaves, " << lost << " lost (worst leaf "
           << worst << "; " << lost_before << " of them never reached the leaf's eth0, " << never_sent
           << " never left the mid's), " << duplicated << " duplicated, " << reordered
           << " reordered (whole run)\n  CPU of the machine: " << fmt(busy, 2)
           << " cores busy, of which the tree's processes and this benchmark " << fmt(ours, 2) << ", others "
           << fmt(busy - ours, 2) << "; the kernel's input backlog dropped " << drops1 - drops0
           << " packets of the machine's in the window\n";
  json_ << ",\"steady\":{\"seconds\":" << fmt(seconds, 1) << ",\"load_before\":\"" << load_before
        << "\",\"load_after\":\"" << load_after << "\",\"datagrams\":" << expected << ",\"leaves\":" << n_leaves_
        << ",\"lost\":" << lost << ",\"worst_leaf_lost\":" << worst << ",\"lost_before_leaf_eth0\":" << lost_before
        << ",\"never_left_mid\":" << never_sent << ",\"backlog_drops_machine\":" << drops1 - drops0
        << ",\"machine_busy_cores\":" << fmt(busy, 2) << ",\"tree_and_bench_cores\":" << fmt(ours, 2)
        << ",\"duplicated_whole_run\":" << duplicated << ",\"reordered_whole_run\":" << reordered
        << ",\"repeaters_frames_lost\":{";
  summary_ << "  repeaters' own count in the window, frames_lost (frames_received):";
  for (size_t r = 0; r < repeaters.size(); r++) {
    long l = lost1[r] - lost0[r], n = received1[r] - received0[r];
    std::string name = r < 2 ? (r ? "R2" : "R1") : "mid" + std::to_string(r - 1);
    summary_ << " " << name << " " << l << " (" << n << ")";
    json_ << (r ? "," : "") << "\"" << name << "\":{\"lost\":" << l << ",\"received\":" << n << "}";
  }
  summary_ << "\n  latency per hop, p50 / p99 us:\n";
  json_ << "},\"latency_us\":{";
  for (size_t h = 0; h < sizeof hops / sizeof hops[0]; h++) {
    const std::vector<double>& v = hop[hops[h]];
    summary_ << "    " << hops[h] << ": " << fmt(percentile(v, 0.5), 1) << " / " << fmt(percentile(v, 0.99), 1) << " ("
             << v.size() << " samples)\n";
    json_ << (h ? "," : "") << "\"" << hops[h] << "\":{\"p50\":" << fmt(percentile(v, 0.5), 1)
          << ",\"p99\":" << fmt(percentile(v, 0.99), 1)
          << ",\"max\":" << fmt(v.empty() ? NAN : *std::max_element(v.begin(), v.end()), 1)
          << ",\"samples\":" << v.size() << "}";
  }
  json_ << "},\"processes\":{";
  summary_ << "  CPU % of one core / VmHWM KiB / Private_Dirty KiB:\n";
  std::vector<double> leaf_cpu, leaf_hwm, leaf_dirty;
  for (size_t i = 0; i < procs.size(); i++) {
    if (i >= 2 + mids_.size()) {
      leaf_cpu.push_back(cpu_percent(f[i]));
      leaf_hwm.push_back(static_cast<double>(f[i].hwm));
      leaf_dirty.push_back(static_cast<double>(f[i].dirty));
      continue;
    }
    summary_ << "    " << procs[i]->name << ": " << fmt(cpu_percent(f[i]), 2) << " / " << f[i].hwm << " / "
             << f[i].dirty << "\n";
    json_ << (i ? "," : "") << "\"" << procs[i]->name << "\":{\"cpu_percent\":" << fmt(cpu_percent(f[i]), 2)
          << ",\"vmhwm_kib\":" << f[i].hwm << ",\"vmrss_kib\":" << f[i].rss << ",\"private_dirty_kib\":" << f[i].dirty
          << "}";
  }
  double self = 100.0 * static_cast<double>(self1 - self0) / tick / seconds;
  summary_ << "    tolvek-join (each leaf), median / max: " << fmt(percentile(leaf_cpu, 0.5), 2) << " / "
           << fmt(percentile(leaf_cpu, 1), 2) << " %, VmHWM " << fmt(percentile(leaf_hwm, 0.5), 0) << " / "
           << fmt(percentile(leaf_hwm, 1), 0) << ", Private_Dirty " << fmt(percentile(leaf_dirty, 0.5), 0) << " / "
           << fmt(percentile(leaf_dirty, 1), 0) << "\n    this benchmark (source and probe): " << fmt(self, 2)
           << " %\n";
  json_ << ",\"tolvek-join\":{\"cpu_percent\":" << json_list(leaf_cpu, 2) << ",\"vmhwm_kib\":" << json_list(leaf_hwm, 0)
        << ",\"private_dirty_kib\":" << json_list(leaf_dirty, 0) << "},\"treebench\":{\"cpu_percent\":" << fmt(self, 2)
        << "}}}";
}

void TreeBench::mid_restarts() {
  std::vector<double> all;
  json_ << ",\"mid_restarts\":[";
  summary_ << "mid restarts (SIGTERM, started again at once with RUNTIME_DIRECTORY), gap at each leaf, min / median / "
              "max:\n";
  for (int k = 0; k < o_.restarts && k < o_.mids; k++) {
    fprintf(stderr, "treebench: restarting mid %d (load %s)\n", k + 1, loadavg().c_str());
    std::vector<size_t> its;
    for (int j = 0; j < o_.leaves_per_mid; j++) its.push_back(static_cast<size_t>(k * o_.leaves_per_mid + j));
    uint64_t from = sent_;
    int64_t stopped = realtime_ns();
    Proc& m = mids_[static_cast<size_t>(k)];
    end(m, SIGTERM);
    start_mid(k);
    bool served = all_served_after(stopped + 500000000, 15, its);
    int64_t until = stopped + 15000000000;
    std::vector<double> gaps;
    for (size_t leaf : its)
      gaps.push_back(longest_gap(player_[leaf], stopped, until, from > 200 ? from - 200 : 0, sent_));
    all.insert(all.end(), gaps.begin(), gaps.end());
    int f;
    std::string root = mid_root(k, &f);
    summary_ << "  mid" << k + 1 << ": " << spread(gaps) << ", then on " << root
             << (served ? "" : " (not every leaf served again within 15 s)") << "\n";
    json_ << (k ? "," : "") << "{\"mid\":\"" << address(mid_device(k)) << "\",\"root_after\":\"" << root
          << "\",\"gaps_s\":" << spread_json(gaps) << "}";
    sleep_for(1.0);
  }
  summary_ << "  all restarted mids' leaves: " << spread(all) << "\n";
  json_ << "],\"mid_restart_gaps_s\":" << spread_json(all);
}

// Kills the root that feeds the mids (R1 the first time), and measures the
// gap of the leaves it fed; then starts it again, as the other's standby.
// False when no mid was left to measure.
bool TreeBench::root_failure(int round, std::vector<double>& all) {
  std::vector<std::string> roots;
  int on_r1 = 0;
  for (int k = 0; k < o_.mids; k++) {
    int f;
    roots.push_back(mid_root(k, &f));
    on_r1 += roots.back() == "R1";
  }
  int r = on_r1 * 2 >= o_.mids ? 0 : 1;
  std::string name = r ? "R2" : "R1";
  fprintf(stderr, "treebench: killing %s (load %s)\n", name.c_str(), loadavg().c_str());
  std::vector<size_t> fed;
  for (int k = 0; k < o_.mids; k++)
    if (roots[static_cast<size_t>(k)] == name)
      for (int j = 0; j < o_.leaves_per_mid; j++) fed.push_back(static_cast<size_t>(k * o_.leaves_per_mid + j));
  if (fed.empty()) return false;
  {
    std::lock_guard<std::mutex> g(keepalive_lock_);
    for (auto& v : keepalive_at_[1 - r]) v.clear();
  }
  uint64_t from = sent_;
  int64_t killed = realtime_ns();
  end(r ? r2_ : r1_, SIGKILL);
  bool served = all_served_after(killed + 500000000, 20, fed);
  int64_t until = killed + 20000000000;
  sleep_for(0.2);
  uint64_t lo = from > 200 ? from - 200 : 0;
  std::vector<double> gaps, mid_gaps, heard;
  for (size_t leaf : fed) gaps.push_back(longest_gap(player_[leaf], killed, until, lo, sent_));
  all.insert(all.end(), gaps.begin(), gaps.end());
  for (int k = 0; k < o_.mids; k++) {
    if (roots[static_cast<size_t>(k)] != name) continue;
    mid_gaps.push_back(longest_gap(point_[point_of_mid(k)], killed, until, lo, sent_));
    std::lock_guard<std::mutex> g(keepalive_lock_);
    const auto& v = keepalive_at_[1 - r][static_cast<size_t>(k)];
    heard.push_back(v.empty() ? INFINITY : seconds_between(killed, v.front()));
  }
  std::string other = r ? "R1" : "R2";
  summary_ << "  " << name << " killed: " << fed.size() << " leaves of " << mid_gaps.size()
           << " mids, gap at each leaf " << spread(gaps) << (served ? "" : " (some leaf never served again)")
           << "\n    each mid's own gap " << spread(mid_gaps) << "; " << other << " first heard each mid's keep-alive "
           << spread(heard) << " after the kill\n";
  json_ << (round ? "," : "") << "{\"killed\":\"" << name << "\",\"mids\":" << mid_gaps.size()
        << ",\"leaf_gaps_s\":" << spread_json(gaps) << ",\"mid_gaps_s\":" << spread_json(mid_gaps)
        << ",\"keepalive_at_other_root_after_kill_s\":" << spread_json(heard) << "}";
  // The killed root comes back as the standby; the mids stay where they are.
  start_root(r);
  sleep_for(2.0);
  return true;
}

void TreeBench::root_failures() {
  summary_ << "root failures (the root feeding the mids killed, then started again as the standby):\n";
  json_ << ",\"root_failures\":[";
  std::vector<double> all;
  for (int i = 0; i < o_.root_failures; i++)
    if (!root_failure(i, all)) break;
  summary_ << "  all leaves over all failures: " << spread(all) << "\n";
  json_ << "],\"root_failure_gaps_s\":" << spread_json(all);
}

int TreeBench::run() {
  n_leaves_ = static_cast<size_t>(o_.mids * o_.leaves_per_mid);
  max_datagrams_ = static_cast<size_t>(o_.rate * MAX_RUN_SECONDS);
  rlimit files{8192, 8192};
  setrlimit(RLIMIT_NOFILE, &files);
  char d[] = "/tmp/treebench_XXXXXX";
  if (!o_.keep.empty()) {
    dir_ = o_.keep;
    mkdir(dir_.c_str(), 0755);
  } else if (mkdtemp(d)) {
    dir_ = d;
  } else {
    perror("treebench: mkdtemp");
    return 1;
  }
  if (!build_lan()) return 77;
  // Written once: a daemon may still be reading its file when the next starts.
  write_file("root.conf", root_config());
  write_file("mid.conf", mid_config());
  send_time_.reset(new std::atomic<int64_t>[max_datagrams_]());
  player_ = std::vector<Arrivals>(n_leaves_);
  point_ = std::vector<Arrivals>(2 + static_cast<size_t>(o_.mids) + n_leaves_);
  for (Arrivals& a : player_) a.init(max_datagrams_);
  for (Arrivals& a : point_) a.init(max_datagrams_);
  to_mid_ = std::vector<Arrivals>(2 * static_cast<size_t>(o_.mids));
  to_leaf_ = std::vector<Arrivals>(n_leaves_);
  for (Arrivals& a : to_mid_) a.init(max_datagrams_);
  for (Arrivals& a : to_leaf_) a.init(max_datagrams_);
  for (auto& root : keepalive_at_) root.resize(static_cast<size_t>(o_.mids));
  registered_at_.resize(static_cast<size_t>(o_.mids));
  mids_.resize(static_cast<size_t>(o_.mids));
  leaves_.resize(n_leaves_);
  source_fd_ = socket_in(0, "0.0.0.0", SOURCE_PORT, 0);
  ask_fd_ = socket_in(0, "0.0.0.0", 0, 0);
  for (size_t leaf = 0; leaf < n_leaves_; leaf++)
    player_fd_.push_back(socket_in(leaf_device(leaf), "127.0.0.1", PLAYER_PORT, 1 << 20));
  point_fd_.push_back(packet_socket_in(1, true));
  point_fd_.push_back(packet_socket_in(2, true));
  for (int k = 0; k < o_.mids; k++) point_fd_.push_back(packet_socket_in(mid_device(k), true));
  for (size_t leaf = 0; leaf < n_leaves_; leaf++) point_fd_.push_back(packet_socket_in(leaf_device(leaf), false));

  // Every part stops by itself; this ends a run that hangs all the same.
  std::thread watchdog([this] {
    for (double t = 0; t < MAX_RUN_SECONDS && !stop_; t += 0.5) sleep_for(0.5);
    if (!stop_) {
      fprintf(stderr, "treebench: still running after %.0f s, stopped\n", MAX_RUN_SECONDS);
      _exit(2);
    }
  });
  run_start_ = realtime_ns();
  std::string load_start = loadavg();
  source_thread_ = std::thread([this] { source_loop(); });
  probe_thread_ = std::thread([this] { probe_loop(); });

  json_ << "{\"tolvek\":\"" << o_.tolvek << "\",\"join\":\"" << o_.join << "\",\"mids\":" << o_.mids
        << ",\"leaves\":" << n_leaves_ << ",\"rate\":" << o_.rate << ",\"admission\":\"" << o_.admission
        << "\",\"load_at_start\":\"" << load_start << "\",\"start_orders\":[";
  start_order("mids-first (leaves 3 s after the mids)", true);
  json_ << ",";
  start_order("leaves-first (each mid 2.5 s after its first leaf)", false);
  json_ << "],";

  fprintf(stderr, "treebench: the tree, leaves at once after the mids (load %s)\n", loadavg().c_str());
  start_roots();
  int64_t mids_at = realtime_ns();
  start_mids();
  sleep_for(0.5);
  start_leaves(5);
  bool served = all_served_after(mids_at, 30, all_of(n_leaves_));
  sleep_for(12.0 - seconds_between(mids_at, realtime_ns()));
  std::vector<std::string> roots;
  int on_r1 = 0;
  for (int k = 0; k < o_.mids; k++) {
    int f;
    roots.push_back(mid_root(k, &f));
    on_r1 += roots.back() == "R1";
  }
  roots_ = roots;
  summary_ << "the tree (leaves spread over 5 s from 0.5 s after the mids): " << on_r1 << " of " << o_.mids
           << " mids on R1" << (served ? "" : ", not every leaf served within 30 s") << "\n";
  json_ << "\"tree_start\":{\"mids_on_r1\":" << on_r1 << ",\"roots\":" << json_strings(roots) << "}";
  steady_state();
  mid_restarts();
  root_failures();
  std::string load_end = loadavg();
  double total = seconds_between(run_start_, realtime_ns());
  json_ << ",\"load_at_end\":\"" << load_end << "\",\"seconds\":" << fmt(total, 1) << "}\n";

  stop_all();
  stop_ = true;
  source_thread_.join();
  probe_thread_.join();
  watchdog.join();
  printf("# treebench: %d mids x %d leaves, %.0f datagrams/s, admission %s; load %s at start, %s at end; %.0f s\n",
         o_.mids, o_.leaves_per_mid, o_.rate, o_.admission.c_str(), load_start.c_str(), load_end.c_str(), total);
  printf("# tolvek %s, tolvek-join %s\n%s", o_.tolvek.c_str(), o_.join.c_str(), summary_.str().c_str());
  if (!o_.json.empty()) std::ofstream(o_.json) << json_.str();
  if (o_.keep.empty() && system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
  }
  return 0;
}

void usage() {
  fprintf(stderr,
          "usage: treebench [--tolvek PATH] [--join PATH] [--mids N] [--leaves-per-mid N] [--rate R]\n"
          "                 [--admission ip|pass|subnet] [--steady S] [--restarts N] [--root-failures N]\n"
          "                 [--json FILE] [--keep DIR]\n");
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const char* b = getenv("TOLVEK_BIN")) o.tolvek = b;
  if (const char* b = getenv("TOLVEK_JOIN_BIN")) o.join = b;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--tolvek")
      o.tolvek = v;
    else if (k == "--join")
      o.join = v;
    else if (k == "--mids")
      o.mids = atoi(v.c_str());
    else if (k == "--leaves-per-mid")
      o.leaves_per_mid = atoi(v.c_str());
    else if (k == "--rate")
      o.rate = atof(v.c_str());
    else if (k == "--admission")
      o.admission = v;
    else if (k == "--steady")
      o.steady = atof(v.c_str());
    else if (k == "--restarts")
      o.restarts = atoi(v.c_str());
    else if (k == "--root-failures")
      o.root_failures = atoi(v.c_str());
    else if (k == "--json")
      o.json = v;
    else if (k == "--keep")
      o.keep = v;
    else
      usage();
  }
  bool admission_ok = o.admission == "ip" || o.admission == "pass" || o.admission == "subnet";
  if (argc % 2 == 0 || o.tolvek.empty() || o.join.empty() || o.mids < 1 || o.mids > 200 || o.leaves_per_mid < 1 ||
      o.leaves_per_mid > 254 || o.mids * o.leaves_per_mid > 1000 || o.rate <= 0 || o.rate > 1000 || !admission_ok ||
      o.steady < 5 || o.steady > 300 || o.restarts < 0 || o.root_failures < 0 || o.root_failures > 10)
    usage();
  if (getuid() != 0) {
    fprintf(stderr, "treebench: needs root for network namespaces\n");
    return 77;
  }
  // Absolute paths: the processes start in the run's folder.
  char real[PATH_MAX];
  if (realpath(o.tolvek.c_str(), real)) o.tolvek = real;
  if (realpath(o.join.c_str(), real)) o.join = real;
  return TreeBench(o).run();
}
