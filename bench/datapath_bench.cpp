// Cost of the per-datagram path: relay to N clients, statistics update,
// admission check. Also counts heap allocations per datagram, which must
// stay zero, and the system calls that send the copies of a datagram: one
// per 64 clients.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/control.h"
#include "daemon/loop.h"
#include "daemon/net.h"
#include "daemon/stats.h"

static size_t allocations = 0;

void* operator new(size_t size) {
  allocations++;
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

// The daemon's code is linked into this program, so these definitions take
// the place of the C library's for it: each counts, then makes the call.
static size_t send_calls = 0;

extern "C" ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t to_len) {
  send_calls++;
  return syscall(SYS_sendto, fd, buf, len, flags, to, to_len);
}
extern "C" ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
  send_calls++;
  return syscall(SYS_sendmsg, fd, msg, flags);
}
extern "C" int sendmmsg(int fd, mmsghdr* msgs, unsigned n, int flags) {
  send_calls++;
  return static_cast<int>(syscall(SYS_sendmmsg, fd, msgs, n, flags));
}

static void count_per_datagram(benchmark::State& state, size_t allocs, size_t calls) {
  double n = static_cast<double>(state.iterations());
  state.counters["allocs_per_datagram"] = benchmark::Counter(static_cast<double>(allocs) / n);
  state.counters["send_calls_per_datagram"] = benchmark::Counter(static_cast<double>(calls) / n);
}

static sockaddr_in loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// Receivers that are never read: the kernel drops what overflows them, as
// it would for a slow client, and the sender's cost is what is measured.
static std::vector<int> receivers(int n) {
  std::vector<int> fds;
  set_max_n_clients(static_cast<unsigned>(n));
  for (int i = 0; i < n; i++) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    add_permanent_client(sa.sin_addr.s_addr, sa.sin_port);
    fds.push_back(fd);
  }
  return fds;
}

static void BM_RelayDatagram(benchmark::State& state) {
  reset_all();
  char source_line[] = "source 127.0.0.1:5000\n";
  parse_line(source_line);
  set_sockets_for_tests(-1, socket(AF_INET, SOCK_DGRAM, 0), -1);
  std::vector<int> fds = receivers(static_cast<int>(state.range(0)));
  uint8_t datagram[1316] = {0x80, 0x21};
  sockaddr_in from = loopback(5000);
  uint16_t seq = 0;
  size_t before = allocations, calls_before = send_calls;
  for (auto _ : state) {
    datagram[2] = static_cast<uint8_t>(seq >> 8);
    datagram[3] = static_cast<uint8_t>(seq++);
    handle_data(datagram, sizeof datagram, from, in_addr{}, double_time());
  }
  count_per_datagram(state, allocations - before, send_calls - calls_before);
  state.counters["sends"] = benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                                               benchmark::Counter::kIsRate);
  for (int fd : fds) close(fd);
  net_reset();
}
BENCHMARK(BM_RelayDatagram)->Arg(1)->Arg(8)->Arg(32)->Arg(100);

// A whole wake-up of the loop for one datagram waiting on the input: the
// wait, the read, the relay and the timers. The sender's cost is included.
static void BM_WakeUp(benchmark::State& state) {
  reset_all();
  int input = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in in = loopback(0);
  bind(input, reinterpret_cast<sockaddr*>(&in), sizeof in);
  socklen_t in_len = sizeof in;
  getsockname(input, reinterpret_cast<sockaddr*>(&in), &in_len);
  set_sockets_for_tests(input, socket(AF_INET, SOCK_DGRAM, 0), -1);
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  std::vector<int> fds = receivers(static_cast<int>(state.range(0)));
  uint8_t datagram[1316] = {0x80, 0x21};
  uint16_t seq = 0;
  // The first wake-up builds the wait set, which is not per datagram.
  sendto(sender, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&in), sizeof in);
  loop_iteration();
  size_t before = allocations, calls = 0;
  for (auto _ : state) {
    datagram[2] = static_cast<uint8_t>(seq >> 8);
    datagram[3] = static_cast<uint8_t>(seq++);
    sendto(sender, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&in), sizeof in);
    size_t calls_before = send_calls;  // the daemon's, not the sender's
    loop_iteration();
    calls += send_calls - calls_before;
  }
  count_per_datagram(state, allocations - before, calls);
  for (int fd : fds) close(fd);
  close(sender);
  reset_all();
}
BENCHMARK(BM_WakeUp)->Arg(1)->Arg(8)->Arg(32);

static void BM_UpdateStats(benchmark::State& state) {
  reset_all();
  unsigned seq = 0;
  size_t before = allocations;
  for (auto _ : state) update_stats(1316, static_cast<int>(seq++ & 0xffff), double_time());
  state.counters["allocs_per_datagram"] =
      benchmark::Counter(static_cast<double>(allocations - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_UpdateStats);

// What a statistics request costs once the report is due: the whole text,
// every client's line with its address and two times. It is built on
// request, never for a datagram, so the stream does not wait for it.
static void BM_BuildReport(benchmark::State& state) {
  reset_all();
  std::vector<int> fds = receivers(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    rebuild_report(1.0);
    benchmark::DoNotOptimize(stream_stats.stats.data());
  }
  for (int fd : fds) close(fd);
}
BENCHMARK(BM_BuildReport)->Arg(32)->Arg(256);

static void BM_CheckPass(benchmark::State& state) {
  reset_all();
  for (int i = 0; i < 32; i++) get_client(htonl(0x0a000000u + static_cast<uint32_t>(i)), htons(6000));
  add_pass("secret");
  settings_for_tests().accept_any_mac = 1;
  uint8_t packet[22] = {'Q', 'M', 'Z', 0, 1, 2, 3, 4, 5, 6, 1, 0, 1, 0, 7, 's', 'e', 'c', 'r', 'e', 't', 0};
  sockaddr_in from = loopback(7000);
  for (auto _ : state) benchmark::DoNotOptimize(check_pass(from, packet, sizeof packet));
}
BENCHMARK(BM_CheckPass);

BENCHMARK_MAIN();
