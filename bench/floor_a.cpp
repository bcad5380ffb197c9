// The least a relay can do, as the benchmark's first floor: wait with poll,
// read one datagram with recvfrom, send it with one sendto per client.
//
//   floor_a INPUT_PORT CLIENT_PORT...   (clients on 127.0.0.1; runs until killed)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "floor.h"

int main(int argc, char** argv) {
  Floor f = floor_from_args("floor_a", argc, argv);
  const int in = f.in, out = f.out;
  std::vector<sockaddr_in>& clients = f.clients;
  static uint8_t buf[65536];
  for (;;) {
    pollfd p{in, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(in, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    for (const sockaddr_in& c : clients)
      sendto(out, buf, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&c), sizeof c);
  }
}
