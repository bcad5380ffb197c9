// Shared set-up for unit tests: every module reset, a fake clock installed,
// and small helpers for loopback sockets.
#ifndef TOLVEK_TESTS_FIXTURE_H_
#define TOLVEK_TESTS_FIXTURE_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/loop.h"
#include "daemon/net.h"

inline double fake_mono = 0;
inline double fake_wall = 0;

inline sockaddr_in make_addr(const char* ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_aton(ip, &sa.sin_addr);
  sa.sin_port = htons(port);
  return sa;
}

inline uint32_t ip(const char* text) {
  in_addr a{};
  inet_aton(text, &a);
  return a.s_addr;
}

// A UDP socket on 127.0.0.1 at a port the kernel picked; receives time out
// after half a second so a missing datagram fails instead of hanging.
struct LoopbackSocket {
  int fd = -1;
  uint16_t port = 0;
  LoopbackSocket() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = make_addr("127.0.0.1", 0);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t n = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
    port = ntohs(sa.sin_port);
    timeval tv{0, 500000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~LoopbackSocket() { close(fd); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  // The next datagram, or an empty vector after the timeout.
  std::vector<uint8_t> receive() const {
    std::vector<uint8_t> buf(65536);
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }
  bool nothing_waiting() const {
    uint8_t b;
    return recv(fd, &b, 1, MSG_DONTWAIT | MSG_PEEK) < 0;
  }
};

class TolvekTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_all();
    fake_mono = 1000;
    fake_wall = 1.7e9;
    mono_clock_hook = [] { return fake_mono; };
    wall_clock_hook = [] { return fake_wall; };
  }
  void TearDown() override {
    net_reset();
    mono_clock_hook = nullptr;
    wall_clock_hook = nullptr;
  }

  // Parses configuration lines as a file would hand them over.
  static void parse(std::string text) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    parse_line(line.data());
  }
};

#endif  // TOLVEK_TESTS_FIXTURE_H_
