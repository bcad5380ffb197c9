// Figures of a running process read from /proc, for the benchmarks that
// measure the daemon's memory.
#ifndef TOLVEK_BENCH_PROC_FIGURES_H_
#define TOLVEK_BENCH_PROC_FIGURES_H_

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>

// A field of /proc/PID/FILE (status, smaps_rollup) in KiB; -1 when absent.
inline long proc_kib(pid_t pid, const char* file, const char* field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/" + file);
  std::string line, name = std::string(field) + ":";
  while (std::getline(f, line))
    if (line.rfind(name, 0) == 0) return atol(line.c_str() + name.size());
  return -1;
}

#endif  // TOLVEK_BENCH_PROC_FIGURES_H_
