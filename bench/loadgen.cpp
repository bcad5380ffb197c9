// Paced load generator for the side-by-side benchmark: RTP-like datagrams to
// 127.0.0.1 at a fixed rate, for a bounded count and a bounded time.
//
//   loadgen --port P --size BYTES --rate PER_SECOND --count N [--seconds T] [--run ID] [--stamp 1]
//
// Datagram i (from 0): a 12-byte RTP header (version 2, payload type 96,
// sequence number i mod 65536 at bytes 2-3, timestamp 90 * i, SSRC = run id),
// then i as 8 bytes little-endian, then a fixed pattern; benchreceive checks
// every byte. Each datagram has its own due time, start + i / rate; the
// generator sleeps until the next one is due and sends all that are due in one
// sendmmsg, so a late wake-up is caught up at once instead of stretching the
// run. Prints "sent=N seconds=S" when done; exits 1 when it could not keep
// the rate within 2%.
//
// With --stamp 1, bytes 20-27 of each datagram carry the time it was handed
// to the kernel (CLOCK_REALTIME, nanoseconds, little-endian, read right
// before the send call), which latreceive compares with the kernel's
// receive time of each copy.
#include <arpa/inet.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bench_datagram.h"

static uint64_t realtime_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

static double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

static void sleep_until(double t) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(t);
  ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

static void usage() {
  fprintf(stderr,
          "usage: loadgen --port P --size BYTES --rate PER_SECOND --count N [--seconds T] [--run ID] [--stamp 1]\n");
  exit(2);
}

int main(int argc, char** argv) {
  long port = -1, size = 172, count = -1;
  double rate = -1, max_seconds = 60;
  uint32_t run = 1;
  bool stamp = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* v = argv[i + 1];
    if (!strcmp(argv[i], "--port")) port = atol(v);
    else if (!strcmp(argv[i], "--size")) size = atol(v);
    else if (!strcmp(argv[i], "--rate")) rate = atof(v);
    else if (!strcmp(argv[i], "--count")) count = atol(v);
    else if (!strcmp(argv[i], "--seconds")) max_seconds = atof(v);
    else if (!strcmp(argv[i], "--run")) run = static_cast<uint32_t>(strtoul(v, nullptr, 0));
    else if (!strcmp(argv[i], "--stamp")) stamp = atoi(v) != 0;
    else usage();
  }
  long min_size = static_cast<long>(stamp ? BENCH_STAMPED_HEADER : BENCH_HEADER);
  if (argc % 2 == 0 || port <= 0 || port > 65535 || size < min_size ||
      size > static_cast<long>(BENCH_MAX_SIZE) || rate <= 0 || count <= 0 || max_seconds <= 0)
    usage();

  // Wake-ups on time: the default slack of 50 us is several datagrams at
  // the rates searched.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("loadgen: socket");
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never anywhere else
  to.sin_port = htons(static_cast<uint16_t>(port));

  constexpr unsigned BATCH = 64;
  static uint8_t bufs[BATCH][BENCH_MAX_SIZE];
  iovec iov[BATCH];
  mmsghdr msgs[BATCH];
  for (unsigned k = 0; k < BATCH; k++) {
    bench_fill(bufs[k], static_cast<size_t>(size), 0, run);
    iov[k] = {bufs[k], static_cast<size_t>(size)};
    msgs[k] = {};
    msgs[k].msg_hdr.msg_name = &to;
    msgs[k].msg_hdr.msg_namelen = sizeof to;
    msgs[k].msg_hdr.msg_iov = &iov[k];
    msgs[k].msg_hdr.msg_iovlen = 1;
  }

  const uint64_t total = static_cast<uint64_t>(count);
  uint64_t sent = 0;
  double start = now_seconds();
  double deadline = start + max_seconds;
  while (sent < total) {
    double now = now_seconds();
    if (now > deadline) break;
    uint64_t due = static_cast<uint64_t>((now - start) * rate) + 1;
    if (due > total) due = total;
    while (sent < due) {
      unsigned n = due - sent < BATCH ? static_cast<unsigned>(due - sent) : BATCH;
      for (unsigned k = 0; k < n; k++) bench_number(bufs[k], sent + k, run);
      if (stamp) {
        uint64_t t = realtime_ns();
        for (unsigned k = 0; k < n; k++) bench_put_le(bufs[k] + BENCH_HEADER, t, 8);
      }
      int r = sendmmsg(fd, msgs, n, 0);
      if (r < 0) {
        // The relay's queue is full or it is not there yet: these count as
        // sent, and the receiver finds them lost.
        if (errno != EINTR) sent += n;
        continue;
      }
      sent += static_cast<unsigned>(r);
    }
    if (sent < total) sleep_until(start + static_cast<double>(sent) / rate);
  }
  double seconds = now_seconds() - start;
  printf("sent=%llu seconds=%.6f\n", static_cast<unsigned long long>(sent), seconds);
  // The last datagram is due at (count - 1) / rate.
  double planned = static_cast<double>(total - 1) / rate;
  if (sent < total || seconds > planned * 1.02 + 0.002) {
    fprintf(stderr, "loadgen: could not keep %.0f datagrams a second (%llu sent in %.3f s)\n", rate,
            static_cast<unsigned long long>(sent), seconds);
    return 1;
  }
  return 0;
}
