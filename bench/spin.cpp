// A competing busy loop for the latency benchmark: spins on the CPU for a
// bounded time, then ends by itself.
//
//   spin SECONDS
#include <cstdio>
#include <cstdlib>
#include <ctime>

static double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int main(int argc, char** argv) {
  double seconds = argc == 2 ? atof(argv[1]) : 0;
  if (seconds <= 0 || seconds > 600) {
    fprintf(stderr, "usage: spin SECONDS (at most 600)\n");
    return 2;
  }
  double end = now_seconds() + seconds;
  volatile unsigned long n = 0;
  while (now_seconds() < end)
    for (int i = 0; i < 100000; i++) n = n + 1;
  return 0;
}
