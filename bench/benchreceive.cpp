// Counting receiver for the side-by-side benchmark: listens on 127.0.0.1 at
// N consecutive ports and counts, per port, the datagrams delivered, lost,
// reordered, duplicated and altered against what loadgen sent.
//
//   benchreceive --port FIRST --clients N --size BYTES --count C [--run ID] [--seconds T]
//
// Prints "ready" once every port is bound. Ends when every port has all C
// datagrams, 100 ms after the last datagram once SIGUSR1 says the sender is
// done, on SIGTERM, or after T seconds (default 60); then prints one line:
//   delivered=D lost=L reordered=R duplicated=U altered=A min_port=M seconds=S
// Reads with recvmmsg, 64 datagrams a call, into large socket buffers, so the
// receiver is never what drops or slows the stream.
#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

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


struct PortCount {
  std::vector<uint64_t> seen;  // one bit per datagram number
  uint64_t unique = 0, reordered = 0, duplicated = 0, altered = 0;
  uint64_t highest = 0;
  bool any = false;
};

static void usage() {
  fprintf(stderr, "usage: benchreceive --port FIRST --clients N --size BYTES --count C [--run ID] [--seconds T]\n");
  exit(2);
}

int main(int argc, char** argv) {
  ReceiverOptions o;
  if (!read_receiver_options(argc, argv, false, BENCH_HEADER, BENCH_MAX_SIZE, o)) usage();
  const long n_ports = o.n_ports, size = o.size, count = o.count;
  const double max_seconds = o.max_seconds;
  const uint32_t run = o.run;
  catch_receiver_signals();

  int ep = epoll_create1(0);
  std::vector<int> fds = open_receivers("benchreceive", ep, o, false);
  std::vector<PortCount> counts(static_cast<size_t>(n_ports));
  for (PortCount& c : counts) c.seen.assign((static_cast<size_t>(count) + 63) / 64, 0);
  printf("ready\n");
  fflush(stdout);

  // What every datagram's bytes past the number must be.
  std::vector<uint8_t> pattern(BENCH_MAX_SIZE);
  bench_fill(pattern.data(), BENCH_MAX_SIZE, 0, run);
  uint8_t expected_head[BENCH_HEADER];

  constexpr unsigned BATCH = 64;
  static uint8_t bufs[BATCH][BENCH_MAX_SIZE];
  iovec iov[BATCH];
  mmsghdr msgs[BATCH];
  for (unsigned k = 0; k < BATCH; k++) iov[k] = {bufs[k], BENCH_MAX_SIZE};

  const uint64_t total = static_cast<uint64_t>(count);
  const uint64_t want = total * static_cast<uint64_t>(n_ports);
  uint64_t unique_all = 0;
  double start = now_seconds(), last = start;
  epoll_event events[64];
  while (!stop_now && unique_all < want) {
    double now = now_seconds();
    if (now - start > max_seconds) break;
    if (sender_done && now - last > 0.1) break;
    int ready = epoll_wait(ep, events, 64, 20);
    for (int e = 0; e < ready; e++) {
      uint32_t p = events[e].data.u32;
      PortCount& pc = counts[p];
      for (;;) {
        for (unsigned k = 0; k < BATCH; k++) {
          msgs[k] = {};
          msgs[k].msg_hdr.msg_iov = &iov[k];
          msgs[k].msg_hdr.msg_iovlen = 1;
        }
        int r = recvmmsg(fds[p], msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (r <= 0) break;
        last = now_seconds();
        for (int k = 0; k < r; k++) {
          const uint8_t* d = bufs[k];
          size_t len = msgs[k].msg_len;
          uint64_t i = 0;
          for (int b = 0; b < 8 && len >= BENCH_HEADER; b++) i |= static_cast<uint64_t>(d[12 + b]) << (8 * b);
          bool ok = len == static_cast<size_t>(size) && !(msgs[k].msg_hdr.msg_flags & MSG_TRUNC) && i < total;
          if (ok) {
            bench_number(expected_head, i, run);
            ok = !memcmp(d, expected_head, BENCH_HEADER) &&
                 !memcmp(d + BENCH_HEADER, pattern.data() + BENCH_HEADER, len - BENCH_HEADER);
          }
          if (!ok) {
            pc.altered++;
            continue;
          }
          uint64_t& word = pc.seen[i / 64];
          uint64_t bit = uint64_t{1} << (i % 64);
          if (word & bit) {
            pc.duplicated++;
            continue;
          }
          word |= bit;
          pc.unique++;
          unique_all++;
          if (pc.any && i < pc.highest) pc.reordered++;
          if (!pc.any || i > pc.highest) pc.highest = i;
          pc.any = true;
        }
        if (static_cast<unsigned>(r) < BATCH) break;
      }
    }
  }
  uint64_t delivered = 0, reordered = 0, duplicated = 0, altered = 0, min_port = total;
  for (const PortCount& pc : counts) {
    delivered += pc.unique;
    reordered += pc.reordered;
    duplicated += pc.duplicated;
    altered += pc.altered;
    if (pc.unique < min_port) min_port = pc.unique;
  }
  printf("delivered=%llu lost=%llu reordered=%llu duplicated=%llu altered=%llu min_port=%llu seconds=%.6f\n",
         static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(want - delivered),
         static_cast<unsigned long long>(reordered), static_cast<unsigned long long>(duplicated),
         static_cast<unsigned long long>(altered), static_cast<unsigned long long>(min_port), last - start);
  return 0;
}
