// tolvek-stats: asks a repeater for its statistics report and prints it.
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fragments.h"
#include "metrics.h"
#include "table.h"
#include "version.h"

enum class Format { kJson, kPrometheus, kTable };

// Cursor home, then clear the screen: how --watch redraws a table in place.
constexpr char CLEAR_SCREEN[] = "\033[H\033[2J";

// Set at the start of each round that redraws the screen: it is cleared
// only when the round has something to show, its table written in the same
// breath, so the screen is never blank while a request is under way.
static bool clear_pending = false;

static const char* take_clear() {
  const char* clear = clear_pending ? CLEAR_SCREEN : "";
  clear_pending = false;
  return clear;
}

// What went wrong in a round, on standard error; on a screen being redrawn,
// alone on it rather than under a table that it has made stale.
static void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

static void complain(const char* fmt, ...) {
  fputs(take_clear(), stdout);
  fflush(stdout);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

[[noreturn]] static void usage(FILE* out, int status) {
  fputs(
      "Usage: tolvek-stats HOST:PORT [--watch SECONDS] [--count N] [--timeout SECONDS]\n"
      "                   [--format json|prometheus|table] [--output FILE]\n"
      "  Sends \"get_stats\" to the repeater's statistics port and prints the JSON report.\n"
      "  --watch SECONDS   repeat every SECONDS, 0.1 to 86400 (until killed, or N times with --count);\n"
      "                    a table is redrawn in place on a terminal\n"
      "  --count N         stop after N requests (a positive whole number)\n"
      "  --timeout SECONDS how long to wait for a whole reply, 0.01 to 3600 (default 2)\n"
      "  --format F        json (default): the report as it came; prometheus: Prometheus text\n"
      "                    metrics, with tolvek_up 0 when no whole report came; table: for people\n"
      "  --output FILE     replace FILE after each request (a new file renamed over it) instead\n"
      "                    of printing; with json or table, a request without a report\n"
      "                    removes FILE\n"
      "  --help            this text;  --version  the version\n"
      "Exit status: 0 when every reply arrived whole (and, unless json, was a report),\n"
      "1 when one did not, 2 on bad usage.\n",
      out);
  exit(status);
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

static Format format_arg(const char* text) {
  if (strcmp(text, "json") == 0) return Format::kJson;
  if (strcmp(text, "prometheus") == 0) return Format::kPrometheus;
  if (strcmp(text, "table") == 0) return Format::kTable;
  fprintf(stderr, "tolvek-stats: --format needs json, prometheus or table, got %s\n", text);
  exit(2);
}

static std::string output_arg(const char* text) {
  size_t n = strlen(text);
  if (n == 0 || text[n - 1] == '/') {
    fprintf(stderr, "tolvek-stats: --output needs a file name, got %s\n", text);
    exit(2);
  }
  return text;
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

// The largest report a repeater sends, that of 256 clients: a head of at
// most 512 characters and at most 166 a client.
constexpr size_t LARGEST_REPORT = 512 + 256 * 166 + 16;
// What the kernel charges a fragment of 1408 bytes against the receive
// buffer: about 2.3 KiB on loopback, up to a page from some network drivers.
constexpr int FRAGMENT_CHARGE = 4096;

// Room for every fragment of the largest reply at once: a repeater sends
// them back to back, and a device's default buffer may hold fewer, so the
// rest would be lost however soon we read. Never made smaller than it is.
static void make_room_for_a_reply(int fd) {
  int need = static_cast<int>((LARGEST_REPORT + 1399) / 1400) * FRAGMENT_CHARGE;
  int have = 0;
  socklen_t n = sizeof have;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &have, &n) == 0 && have >= need) return;
  // The kernel doubles what it is asked for (its bookkeeping) and caps the
  // request at net.core.rmem_max, a cap that root may pass.
  int ask = need / 2;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ask, sizeof ask) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ask, sizeof ask);
}

// One request and its reply: the report, or false after saying what went
// wrong. The socket is connected to the repeater, so nobody else's datagrams
// count.
static bool query(int fd, const std::string& target, double timeout, std::string& report) {
  // Fragments of an earlier, late reply must not mix into this one; an
  // error from an earlier round (a refused port) is taken off here too.
  uint8_t buf[65536];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0 || errno == ECONNREFUSED || errno == EINTR) {
  }
  if (send(fd, "get_stats", 9, 0) < 0) {
    complain("tolvek-stats: cannot send to %s: %s\n", target.c_str(), strerror(errno));
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
      complain("tolvek-stats: no reply from %s: %s\n", target.c_str(), strerror(errno));
      return false;
    }
  }
  if (reassembly_complete(r)) {
    report = std::move(r.payload);
    return true;
  }
  if (!r.started) {
    complain("tolvek-stats: no reply from %s within %g s\n", target.c_str(), timeout);
    return false;
  }
  std::string missing;
  for (uint32_t i : missing_fragments(r)) missing += (missing.empty() ? "" : ", ") + std::to_string(i);
  complain("tolvek-stats: incomplete reply from %s within %g s: %zu of %zu fragments, missing %s\n", target.c_str(),
           timeout, r.n_received, r.received.size(), missing.c_str());
  return false;
}

// Replaces path with text so that a reader sees the old file or the new
// one, never a part: a new file in the same folder, renamed over it.
static bool write_file(const std::string& path, const std::string& text) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // A leading dot and no ".prom" ending: a textfile collector skips it.
  std::string temp = folder + "." + base + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    fprintf(stderr, "tolvek-stats: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  // mkstemp makes the file private; the figures are for other users too.
  mode_t mask = umask(0);
  umask(mask);
  int err = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
  for (size_t done = 0; !err && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      err = n == 0 ? EIO : errno;
    }
  }
  // No fsync: readers need only the rename to be atomic, a crash costs one
  // round, and a device's flash is spared a sync every few seconds.
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (!err) return true;
  unlink(temp.c_str());
  fprintf(stderr, "tolvek-stats: cannot write %s: %s\n", path.c_str(), strerror(err));
  return false;
}

// No stale figures: a round without a report removes the JSON file.
static bool remove_file(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  fprintf(stderr, "tolvek-stats: cannot remove %s: %s\n", path.c_str(), strerror(errno));
  return false;
}

// The report in the format asked for, or false after saying why it is not a
// statistics report.
static bool convert(const std::string& report, const std::string& target, Format format, std::string& text) {
  if (format == Format::kJson) {
    text = report + "\n";
    return true;
  }
  std::string error;
  bool ok = format == Format::kPrometheus ? metrics_from_report(report, target, time(nullptr), text, error)
                                          : table_from_report(report, target, time(nullptr), text, error);
  if (!ok) complain("tolvek-stats: the reply from %s is not a statistics report: %s\n", target.c_str(), error.c_str());
  return ok;
}

// One round: asks, converts and puts the result where it goes, after lead
// on standard output. False when the round failed in any way.
static bool one_round(int fd, const std::string& target, double timeout, Format format, const std::string& output,
                      const char* lead) {
  std::string report, text;
  bool ok = query(fd, target, timeout, report) && convert(report, target, format, text);
  if (!ok && format == Format::kPrometheus) text = metrics_down(target);
  if (!ok && format != Format::kPrometheus) {
    if (!output.empty()) remove_file(output);
    return false;
  }
  if (!output.empty()) return write_file(output, text) && ok;
  text = take_clear() + (lead + text);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  return ok;
}

int main(int argc, char** argv) {
  std::string target, output;
  double watch = 0, timeout = 2.0;
  long count = -1;
  Format format = Format::kJson;
  // getopt_long codes of the long options without a short one.
  enum : int { WATCH = 256, TIMEOUT, COUNT, FORMAT, OUTPUT, VERSION };
  static const option long_options[] = {
      {"watch", required_argument, nullptr, WATCH},   {"timeout", required_argument, nullptr, TIMEOUT},
      {"count", required_argument, nullptr, COUNT},   {"format", required_argument, nullptr, FORMAT},
      {"output", required_argument, nullptr, OUTPUT}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, VERSION},     {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
    switch (c) {
      case WATCH: watch = seconds_arg("--watch", optarg, 0.1, 86400); break;
      case TIMEOUT: timeout = seconds_arg("--timeout", optarg, 0.01, 3600); break;
      case COUNT: count = count_arg(optarg); break;
      case FORMAT: format = format_arg(optarg); break;
      case OUTPUT: output = output_arg(optarg); break;
      case 'h': usage(stdout, 0);
      case VERSION:
        printf("tolvek-stats %s %s\n", TOLVEK_VERSION, TOLVEK_RELEASE_DATE);
        return 0;
      default:
        fprintf(stderr, "tolvek-stats: unknown option or missing value: %s\n", argv[optind - 1]);
        usage(stderr, 2);
    }
  }
  if (optind != argc - 1) {
    fputs("tolvek-stats: expected one HOST:PORT\n", stderr);
    usage(stderr, 2);
  }
  target = argv[optind];
  socklen_t to_len;
  sockaddr_storage to = resolve(target, to_len);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), to_len) != 0) {
    fprintf(stderr, "tolvek-stats: cannot reach %s: %s\n", target.c_str(), strerror(errno));
    return 1;
  }
  make_room_for_a_reply(fd);
  // On a terminal, --watch redraws the table in place, as watch(1) does;
  // anywhere else the tables follow each other, a blank line apart. JSON
  // stays one report a line wherever it goes: scripts read it.
  bool table = format == Format::kTable && output.empty();
  bool redraw = table && watch > 0 && isatty(STDOUT_FILENO);
  bool all_whole = true;
  for (long done = 0;; done++) {
    double started = monotonic();
    clear_pending = redraw;
    all_whole &= one_round(fd, target, timeout, format, output, table && !redraw && done > 0 ? "\n" : "");
    if (watch <= 0 || (count > 0 && done + 1 >= count)) break;
    double rest = watch - (monotonic() - started);
    if (rest > 0) sleep_for(rest);
  }
  close(fd);
  return all_whole ? 0 : 1;
}
