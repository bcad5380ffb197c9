// tolvek-stats: asks a repeater for its statistics report and prints it.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fragments.h"

static void usage() {
  fputs(
      "Usage: tolvek-stats HOST:PORT [--watch SECONDS] [--count N] [--timeout SECONDS]\n"
      "  Sends \"get_stats\" to the repeater's statistics port and prints the JSON report.\n"
      "  --watch SECONDS   repeat every SECONDS, 0.1 to 86400 (until killed, or N times with --count)\n"
      "  --count N         stop after N requests (a positive whole number)\n"
      "  --timeout SECONDS how long to wait for a whole reply, 0.01 to 3600 (default 2)\n"
      "Exit status: 0 when every reply arrived whole, 1 when one did not, 2 on bad usage.\n",
      stderr);
  exit(2);
}

static double seconds_arg(const char* option, const char* text, double low, double high) {
  char* end;
  double v = strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !(v >= low && v <= high)) {
    fprintf(stderr, "tolvek-stats: %s needs a number of seconds from %g to %g, got %s\n", option, low, high, text);
    exit(2);
  }
  return v;
}

static long count_arg(const char* text) {
  char* end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || v < 1) {
    fprintf(stderr, "tolvek-stats: --count needs a positive whole number, got %s\n", text);
    exit(2);
  }
  return v;
}

static double monotonic() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void sleep_for(double seconds) {
  timespec ts{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static sockaddr_storage resolve(const std::string& target, socklen_t& length) {
  size_t colon = target.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == target.size()) {
    fprintf(stderr, "tolvek-stats: expected HOST:PORT, got %s\n", target.c_str());
    exit(2);
  }
  std::string host = target.substr(0, colon), port = target.substr(colon + 1);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (int err = getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
    fprintf(stderr, "tolvek-stats: cannot resolve %s: %s\n", target.c_str(), gai_strerror(err));
    exit(2);
  }
  sockaddr_storage sa{};
  memcpy(&sa, found->ai_addr, found->ai_addrlen);
  length = found->ai_addrlen;
  freeaddrinfo(found);
  return sa;
}

// One request and its reply; prints the report, or says what went wrong.
// The socket is connected to the repeater, so nobody else's datagrams count.
static bool query(int fd, const std::string& target, double timeout) {
  // Fragments of an earlier, late reply must not mix into this one; an
  // error from an earlier round (a refused port) is taken off here too.
  uint8_t buf[65536];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0 || errno == ECONNREFUSED || errno == EINTR) {
  }
  if (send(fd, "get_stats", 9, 0) < 0) {
    fprintf(stderr, "tolvek-stats: cannot send to %s: %s\n", target.c_str(), strerror(errno));
    return false;
  }
  Reassembly r;
  double deadline = monotonic() + timeout;
  while (!reassembly_complete(r)) {
    double left = deadline - monotonic();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n >= 0) {
      add_fragment(r, buf, static_cast<size_t>(n));
    } else if (errno == ECONNREFUSED) {
      fprintf(stderr, "tolvek-stats: no reply from %s: %s\n", target.c_str(), strerror(errno));
      return false;
    }
  }
  if (reassembly_complete(r)) {
    printf("%s\n", r.payload.c_str());
    fflush(stdout);
    return true;
  }
  if (!r.started) {
    fprintf(stderr, "tolvek-stats: no reply from %s within %g s\n", target.c_str(), timeout);
    return false;
  }
  std::string missing;
  for (uint32_t i : missing_fragments(r)) missing += (missing.empty() ? "" : ", ") + std::to_string(i);
  fprintf(stderr, "tolvek-stats: incomplete reply from %s within %g s: %zu of %zu fragments, missing %s\n",
          target.c_str(), timeout, r.n_received, r.received.size(), missing.c_str());
  return false;
}

int main(int argc, char** argv) {
  std::string target;
  double watch = 0, timeout = 2.0;
  long count = -1;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if ((a == "--watch" || a == "--timeout" || a == "--count") && i + 1 < argc) {
      const char* v = argv[++i];
      if (a == "--watch") watch = seconds_arg("--watch", v, 0.1, 86400);
      if (a == "--timeout") timeout = seconds_arg("--timeout", v, 0.01, 3600);
      if (a == "--count") count = count_arg(v);
    } else if (a == "-h" || a == "--help" || !target.empty() || a.rfind("--", 0) == 0) {
      usage();
    } else {
      target = a;
    }
  }
  if (target.empty()) usage();
  socklen_t to_len;
  sockaddr_storage to = resolve(target, to_len);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), to_len) != 0) {
    fprintf(stderr, "tolvek-stats: cannot reach %s: %s\n", target.c_str(), strerror(errno));
    return 1;
  }
  bool all_whole = true;
  for (long done = 0;; done++) {
    double started = monotonic();
    all_whole &= query(fd, target, timeout);
    if (watch <= 0 || (count > 0 && done + 1 >= count)) break;
    double rest = watch - (monotonic() - started);
    if (rest > 0) sleep_for(rest);
  }
  close(fd);
  return all_whole ? 0 : 1;
}
