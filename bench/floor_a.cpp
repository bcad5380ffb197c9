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

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: floor_a INPUT_PORT CLIENT_PORT...\n");
    return 2;
  }
  int in = socket(AF_INET, SOCK_DGRAM, 0);
  int out = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  if (bind(in, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    perror("floor_a: bind");
    return 1;
  }
  std::vector<sockaddr_in> clients;
  for (int i = 2; i < argc; i++) {
    sockaddr_in c{};
    c.sin_family = AF_INET;
    c.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c.sin_port = htons(static_cast<uint16_t>(atoi(argv[i])));
    clients.push_back(c);
  }
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
