// What the benchmark's receivers share: their options and the ports they
// listen on (127.0.0.1, FIRST to FIRST + N - 1, one epoll set).
#ifndef TOLVEK_BENCH_RECEIVER_H_
#define TOLVEK_BENCH_RECEIVER_H_

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

// Set by SIGUSR1 (the sender is done: take what is still on its way) and by
// SIGTERM or SIGINT (stop now).
inline volatile sig_atomic_t sender_done = 0;
inline volatile sig_atomic_t stop_now = 0;

inline void catch_receiver_signals() {
  signal(SIGUSR1, [](int) { sender_done = 1; });
  signal(SIGTERM, [](int) { stop_now = 1; });
  signal(SIGINT, [](int) { stop_now = 1; });
}

inline double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct ReceiverOptions {
  long first = -1, n_ports = 1, size = 172, count = -1;
  double max_seconds = 60, linger = 1;
  uint32_t run = 1;
};

// --port FIRST --clients N --size BYTES --count C [--run ID] [--seconds T],
// and [--linger T] where linger is allowed; false on anything else or a
// value out of range (a size below min_size, among others).
inline bool read_receiver_options(int argc, char** argv, bool linger, size_t min_size, size_t max_size,
                                  ReceiverOptions& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* v = argv[i + 1];
    if (!strcmp(argv[i], "--port")) o.first = atol(v);
    else if (!strcmp(argv[i], "--clients")) o.n_ports = atol(v);
    else if (!strcmp(argv[i], "--size")) o.size = atol(v);
    else if (!strcmp(argv[i], "--count")) o.count = atol(v);
    else if (!strcmp(argv[i], "--run")) o.run = static_cast<uint32_t>(strtoul(v, nullptr, 0));
    else if (!strcmp(argv[i], "--seconds")) o.max_seconds = atof(v);
    else if (linger && !strcmp(argv[i], "--linger")) o.linger = atof(v);
    else return false;
  }
  return argc % 2 == 1 && o.first > 0 && o.n_ports >= 1 && o.first + o.n_ports - 1 <= 65535 &&
         o.size >= static_cast<long>(min_size) && o.size <= static_cast<long>(max_size) && o.count > 0;
}

// The receiving sockets, non-blocking with as large a buffer as the
// machine grants, each in the epoll set ep with its index as data; with
// timestamps, each datagram carries its kernel receive time. Ends the
// program (status 2) when a port cannot be had.
inline std::vector<int> open_receivers(const char* tool, int ep, const ReceiverOptions& o, bool timestamps) {
  std::vector<int> fds;
  for (long p = 0; p < o.n_ports; p++) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int bytes = 8 << 20;
    // FORCE passes rmem_max as root; the plain option is the fallback.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int on = 1;
    if (timestamps) setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(o.first + p));
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      fprintf(stderr, "%s: cannot bind 127.0.0.1:%ld: %s\n", tool, o.first + p, strerror(errno));
      exit(2);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(p);
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    fds.push_back(fd);
  }
  return fds;
}

#endif  // TOLVEK_BENCH_RECEIVER_H_
