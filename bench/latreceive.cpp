// Latency receiver for the side-by-side benchmark: listens on 127.0.0.1 at N
// consecutive ports and measures, for every copy that arrives, the time from
// the send time that `loadgen --stamp 1` wrote into the datagram to the
// kernel's receive time of the copy (SO_TIMESTAMPNS, CLOCK_REALTIME like the
// stamp). On loopback the kernel stamps a copy when the relay's send hands it
// to the loopback device, so this is the relay's wake-up, its work and its
// send, not this program's.
//
//   latreceive --port FIRST --clients N --size BYTES --count C [--run ID] [--seconds T] [--linger T]
//
// Prints "ready" once every port is bound. Ends when every port has all C
// datagrams, `linger` seconds (default 1) after the last datagram once
// SIGUSR1 says the sender is done, on SIGTERM, or after T seconds (default
// 60); then prints one line of counts and microseconds:
//   delivered=D lost=L duplicated=U altered=A p50=.. p90=.. p99=.. p999=.. max=..
//   spread_p50=.. spread_p99=.. spread_max=.. spread_datagrams=K
// The percentiles are over every delivered copy (nearest rank); the spread
// is, per datagram that reached every port, its last copy's receive time
// minus its first copy's.
#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench_datagram.h"
#include "bench_receiver.h"


static void usage() {
  fprintf(stderr,
          "usage: latreceive --port FIRST --clients N --size BYTES --count C [--run ID] [--seconds T] "
          "[--linger T]\n");
  exit(2);
}

// Nearest rank, in microseconds; v sorted.
static double percentile_us(const std::vector<int64_t>& v, double p) {
  if (v.empty()) return 0;
  size_t rank = static_cast<size_t>(p * static_cast<double>(v.size()) + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > v.size()) rank = v.size();
  return static_cast<double>(v[rank - 1]) / 1000.0;
}

int main(int argc, char** argv) {
  ReceiverOptions o;
  if (!read_receiver_options(argc, argv, true, BENCH_STAMPED_HEADER, BENCH_MAX_SIZE, o)) usage();
  const long n_ports = o.n_ports, size = o.size, count = o.count;
  const double max_seconds = o.max_seconds, linger = o.linger;
  const uint32_t run = o.run;
  catch_receiver_signals();

  const size_t total = static_cast<size_t>(count);
  const size_t ports = static_cast<size_t>(n_ports);
  int ep = epoll_create1(0);
  std::vector<int> fds = open_receivers("latreceive", ep, o, true);
  // Every array is sized before "ready": nothing grows while copies arrive.
  std::vector<int64_t> latency;
  latency.reserve(total * ports);
  std::vector<uint8_t> seen(total * ports, 0);
  std::vector<int64_t> first_rx(total, INT64_MAX), last_rx(total, INT64_MIN);
  std::vector<uint32_t> copies(total, 0);
  std::vector<uint8_t> pattern(BENCH_MAX_SIZE);
  bench_fill(pattern.data(), BENCH_MAX_SIZE, 0, run);
  printf("ready\n");
  fflush(stdout);

  constexpr unsigned BATCH = 64;
  static uint8_t bufs[BATCH][BENCH_MAX_SIZE];
  alignas(cmsghdr) static uint8_t control[BATCH][CMSG_SPACE(sizeof(timespec)) + 64];
  iovec iov[BATCH];
  mmsghdr msgs[BATCH];
  uint8_t expected_head[BENCH_HEADER];
  uint64_t unique = 0, duplicated = 0, altered = 0;
  const uint64_t want = total * ports;
  double start = now_seconds(), last = start;
  epoll_event events[64];
  while (!stop_now && unique < want) {
    double now = now_seconds();
    if (now - start > max_seconds) break;
    if (sender_done && now - last > linger) break;
    int ready = epoll_wait(ep, events, 64, 20);
    for (int e = 0; e < ready; e++) {
      size_t p = events[e].data.u32;
      for (;;) {
        for (unsigned k = 0; k < BATCH; k++) {
          iov[k] = {bufs[k], BENCH_MAX_SIZE};
          msgs[k] = {};
          msgs[k].msg_hdr.msg_iov = &iov[k];
          msgs[k].msg_hdr.msg_iovlen = 1;
          msgs[k].msg_hdr.msg_control = control[k];
          msgs[k].msg_hdr.msg_controllen = sizeof control[k];
        }
        int r = recvmmsg(fds[p], msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (r <= 0) break;
        last = now_seconds();
        for (int k = 0; k < r; k++) {
          const uint8_t* d = bufs[k];
          size_t len = msgs[k].msg_len;
          int64_t rx = -1;
          for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[k].msg_hdr); c; c = CMSG_NXTHDR(&msgs[k].msg_hdr, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
              timespec ts;
              memcpy(&ts, CMSG_DATA(c), sizeof ts);
              rx = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
          }
          uint64_t i = len >= BENCH_HEADER ? bench_get_le(d + 12, 8) : total;
          bool ok = len == static_cast<size_t>(size) && !(msgs[k].msg_hdr.msg_flags & MSG_TRUNC) && i < total &&
                    rx >= 0;
          if (ok) {
            bench_number(expected_head, i, run);
            ok = !memcmp(d, expected_head, BENCH_HEADER) &&
                 !memcmp(d + BENCH_STAMPED_HEADER, pattern.data() + BENCH_STAMPED_HEADER,
                         len - BENCH_STAMPED_HEADER);
          }
          if (!ok) {
            altered++;
            continue;
          }
          uint8_t& s = seen[p * total + i];
          if (s) {
            duplicated++;
            continue;
          }
          s = 1;
          unique++;
          latency.push_back(rx - static_cast<int64_t>(bench_get_le(d + BENCH_HEADER, 8)));
          first_rx[i] = std::min(first_rx[i], rx);
          last_rx[i] = std::max(last_rx[i], rx);
          copies[i]++;
        }
        if (static_cast<unsigned>(r) < BATCH) break;
      }
    }
  }
  std::sort(latency.begin(), latency.end());
  std::vector<int64_t> spread;
  for (size_t i = 0; i < total; i++)
    if (copies[i] == ports) spread.push_back(last_rx[i] - first_rx[i]);
  std::sort(spread.begin(), spread.end());
  printf("delivered=%llu lost=%llu duplicated=%llu altered=%llu p50=%.1f p90=%.1f p99=%.1f p999=%.1f max=%.1f "
         "spread_p50=%.1f spread_p99=%.1f spread_max=%.1f spread_datagrams=%zu\n",
         static_cast<unsigned long long>(unique), static_cast<unsigned long long>(want - unique),
         static_cast<unsigned long long>(duplicated), static_cast<unsigned long long>(altered),
         percentile_us(latency, 0.50), percentile_us(latency, 0.90), percentile_us(latency, 0.99),
         percentile_us(latency, 0.999), percentile_us(latency, 1.0), percentile_us(spread, 0.50),
         percentile_us(spread, 0.99), percentile_us(spread, 1.0), spread.size());
  return 0;
}
