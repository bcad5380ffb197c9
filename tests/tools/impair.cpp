// impair: a seeded impairment relay for tests on loopback. It forwards the
// datagrams that reach LISTEN_PORT to 127.0.0.1:TO_PORT, from LISTEN_PORT,
// dropping, duplicating and reordering (holding one back behind the next)
// by a schedule that the seed fixes, and writes what it did on standard
// output, one line per datagram received:
//   F seq        forwarded          D seq   dropped
//   F seq F seq  duplicated         H seq   held back: forwarded after the next one
// where seq is the 16-bit number at bytes 2-3. It stops after --count
// datagrams, or after --idle seconds without one.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

static void usage() {
  fputs("usage: impair LISTEN_PORT TO_PORT [--seed N] [--drop PCT] [--dup PCT] [--reorder PCT] [--count N] "
        "[--idle SECONDS]\n",
        stderr);
  exit(2);
}

static long number(const char* text) {
  char* end;
  long v = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < 0) usage();
  return v;
}

static unsigned seq_of(const std::vector<uint8_t>& d) { return d.size() >= 4 ? d[2] << 8 | d[3] : 0; }

int main(int argc, char** argv) {
  if (argc < 3) usage();
  long listen_port = number(argv[1]), to_port = number(argv[2]);
  long seed = 1, drop = 0, dup = 0, reorder = 0, count = 100000, idle = 5;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string o = argv[i];
    long v = number(argv[i + 1]);
    if (o == "--seed") seed = v;
    else if (o == "--drop") drop = v;
    else if (o == "--dup") dup = v;
    else if (o == "--reorder") reorder = v;
    else if (o == "--count") count = v;
    else if (o == "--idle") idle = v;
    else usage();
  }
  if ((argc - 3) % 2 != 0 || drop + dup + reorder > 100) usage();

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{}, to{};
  at.sin_family = to.sin_family = AF_INET;
  at.sin_addr.s_addr = to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(static_cast<uint16_t>(listen_port));
  to.sin_port = htons(static_cast<uint16_t>(to_port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    perror("impair: bind");
    return 1;
  }
  int size = 1 << 21;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  fprintf(stderr, "impair: listening on %ld\n", listen_port);

  std::mt19937_64 rng(static_cast<uint64_t>(seed));
  auto forward = [&](const std::vector<uint8_t>& d) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    printf("F %u\n", seq_of(d));
  };
  std::vector<uint8_t> buf(65536), held;
  bool holding = false;
  for (long n = 0; n < count; n++) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(idle * 1000)) <= 0) break;
    ssize_t len = recv(fd, buf.data(), buf.size(), 0);
    if (len < 0) continue;
    std::vector<uint8_t> d(buf.begin(), buf.begin() + len);
    long roll = static_cast<long>(rng() % 100);
    bool to_drop = roll < drop, to_hold = !to_drop && roll < drop + reorder && !holding;
    bool to_dup = !to_drop && roll >= drop + reorder && roll < drop + reorder + dup;
    if (to_drop) {
      printf("D %u\n", seq_of(d));
      continue;
    }
    if (to_hold) {
      printf("H %u\n", seq_of(d));
      held = d;
      holding = true;
      continue;
    }
    forward(d);
    if (to_dup) forward(d);
    if (holding) {
      forward(held);
      holding = false;
    }
  }
  if (holding) forward(held);
  return 0;
}
