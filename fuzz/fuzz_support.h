// Shared by the fuzz targets: a fake clock, an exit that ends the input
// rather than the fuzzer, a reader over the input, and the invariants every
// target checks after every input.
#ifndef TOLVEK_FUZZ_SUPPORT_H_
#define TOLVEK_FUZZ_SUPPORT_H_

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/loop.h"

#define FUZZ_CHECK(cond)                                              \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      abort();                                                        \
    }                                                                 \
  } while (0)

inline double fuzz_mono = 0;
inline double fuzz_wall = 0;

// Thrown by the exit hook: the program would have ended here.
struct FuzzExit {
  int status;
};

// Every module back to its start values, and the clocks and exit hooked.
inline void fuzz_reset() {
  reset_all();
  fuzz_mono = 1000;
  fuzz_wall = 1.7e9;
  mono_clock_hook = [] { return fuzz_mono; };
  wall_clock_hook = [] { return fuzz_wall; };
  exit_hook = [](int status) { throw FuzzExit{status}; };
}

// Takes bytes off the front of the input; past its end every byte is 0.
struct Input {
  const uint8_t* data;
  size_t size;
  bool empty() const { return size == 0; }
  uint8_t byte() {
    if (size == 0) return 0;
    size--;
    return *data++;
  }
  // Up to n bytes; how many there were is in len.
  const uint8_t* bytes(size_t n, size_t& len) {
    len = n < size ? n : size;
    const uint8_t* p = data;
    data += len;
    size -= len;
    return p;
  }
};

// A loopback sender picked by one byte: eight addresses, 32 ports each.
inline sockaddr_in fuzz_sender(uint8_t b) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(0x7f000001u + (b & 7));
  sa.sin_port = htons(static_cast<uint16_t>(40000 + (b >> 3)));
  return sa;
}

// Sorted strictly by address then port, the active count exact and, where
// nothing was configured past it, within the capacity.
inline void check_client_table(bool within_capacity) {
  unsigned active = 0;
  for (size_t i = 0; i < clients.size(); i++) {
    if (i > 0) FUZZ_CHECK(client_before(clients[i - 1], clients[i]));
    active += (clients[i].flags & F_ACTIVE) != 0;
  }
  FUZZ_CHECK(active == n_active_clients);
  if (within_capacity) FUZZ_CHECK(clients.size() <= max_n_clients);
}

#endif  // TOLVEK_FUZZ_SUPPORT_H_
