// What both floor relays share: their command line and their sockets, the
// input bound to INPUT_PORT and the clients on 127.0.0.1.
#ifndef TOLVEK_BENCH_FLOOR_H_
#define TOLVEK_BENCH_FLOOR_H_

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

struct Floor {
  int in = -1, out = -1;
  std::vector<sockaddr_in> clients;
};

// floor INPUT_PORT CLIENT_PORT...; ends the program on bad usage (2) or a
// port it cannot bind (1).
inline Floor floor_from_args(const char* name, int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s INPUT_PORT CLIENT_PORT...\n", name);
    exit(2);
  }
  Floor f;
  f.in = socket(AF_INET, SOCK_DGRAM, 0);
  f.out = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  if (bind(f.in, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    fprintf(stderr, "%s: bind: ", name);
    perror("");
    exit(1);
  }
  for (int i = 2; i < argc; i++) {
    sockaddr_in c{};
    c.sin_family = AF_INET;
    c.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c.sin_port = htons(static_cast<uint16_t>(atoi(argv[i])));
    f.clients.push_back(c);
  }
  return f;
}

#endif  // TOLVEK_BENCH_FLOOR_H_
