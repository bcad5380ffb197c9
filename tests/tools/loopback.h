// What the load tools share: a monotonic clock and non-blocking UDP sockets
// on the loopback network, which is all they ever use.
#ifndef TOLVEK_TESTS_TOOLS_LOOPBACK_H_
#define TOLVEK_TESTS_TOOLS_LOOPBACK_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

inline double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline sockaddr_in loopback(uint32_t host_addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(host_addr);
  sa.sin_port = htons(port);
  return sa;
}

// Bound to host_addr (127.0.0.1 unless another address of 127.0.0.0/8 is
// asked for) and port (0: any), non-blocking, with room to take a burst.
// Ends the tool when it cannot be had.
inline int udp_socket(uint32_t host_addr = INADDR_LOOPBACK, uint16_t port = 0) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = loopback(host_addr, port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    perror("socket");
    exit(1);
  }
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

inline uint16_t port_of(int fd) {
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  return ntohs(sa.sin_port);
}

inline uint16_t free_port() {
  int fd = udp_socket();
  uint16_t port = port_of(fd);
  close(fd);
  return port;
}

inline void send_to(int fd, const void* data, size_t len, uint16_t port) {
  sockaddr_in sa = loopback(INADDR_LOOPBACK, port);
  sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

#endif  // TOLVEK_TESTS_TOOLS_LOOPBACK_H_
