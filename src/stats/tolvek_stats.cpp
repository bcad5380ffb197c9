// tolvek-stats: asks a repeater for its statistics report and prints it, or
// serves the reports of several over HTTP (--listen).
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/version.h"
#include "stats/exchange.h"
#include "stats/metrics.h"
#include "stats/table.h"
#ifdef TOLVEK_EXPORTER
#include "stats/serve.h"
#endif

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
      "       tolvek-stats --listen [ADDR:]PORT HOST:PORT... [--timeout SECONDS]\n"
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
      "  --listen ADDR:PORT serve the repeaters' metrics at /metrics and a live status page\n"
      "                    at / over HTTP (ADDR 127.0.0.1 unless given) until killed\n"
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

// Asks and waits for one round's replies, at most its timeout.
static void ask(const Target& t, Exchange& e, bool want_status, double timeout) {
  exchange_start(t, e, want_status, monotonic(), timeout);
  while (!exchange_finish(t, e, monotonic())) {
    std::vector<pollfd> fds;
    exchange_poll_fds(t, e, fds);
    double left = e.deadline - monotonic();
    if (left > 0) poll(fds.data(), fds.size(), static_cast<int>(left * 1000) + 1);
    exchange_read(t, e);
  }
}

// Said once a run: a repeater that answers the report but not the status.
static bool status_told = false;
// Once it has not answered the status, later rounds of the run do not wait
// for it: an older repeater's rounds would each take the whole timeout.
static bool status_unanswered = false;

// The status of a round that brought a report, or null after saying once
// why there is none.
static const Status* status_of(const Exchange& e, const std::string& target, Status& status) {
  std::string text, error;
  if (exchange_status(e, text) && status_read(text, status, error)) return &status;
  status_unanswered = status_unanswered || text.empty();
  if (status_told) return nullptr;
  status_told = true;
  if (!text.empty()) {
    fprintf(stderr, "tolvek-stats: the status from %s is not usable: %s\n", target.c_str(), error.c_str());
  } else {
    fprintf(stderr,
            "tolvek-stats: %s answers no get_status request (an older repeater): its input, failovers, "
            "last datagram and capacity are left out\n",
            target.c_str());
  }
  return nullptr;
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
static bool convert(const std::string& report, const Status* status, const std::string& target, Format format,
                    std::string& text) {
  if (format == Format::kJson) {
    text = report + "\n";
    return true;
  }
  std::string error;
  Report r;
  bool ok = format == Format::kPrometheus ? report_read(report, time(nullptr), r, error)
                                          : table_from_report(report, status, target, time(nullptr), text, error);
  if (ok && format == Format::kPrometheus) text = metrics_text({{target, &r, status}});
  if (!ok) complain("tolvek-stats: the reply from %s is not a statistics report: %s\n", target.c_str(), error.c_str());
  return ok;
}

// One round: asks, converts and puts the result where it goes, after lead
// on standard output. False when the round failed in any way.
static bool one_round(const Target& t, double timeout, Format format, const std::string& output, const char* lead) {
  Exchange e;
  ask(t, e, format != Format::kJson && !status_unanswered, timeout);
  std::string report, text;
  Status status;
  bool ok = exchange_report(e, report);
  if (!ok) complain("%s", e.failure.c_str());
  ok = ok && convert(report, format == Format::kJson ? nullptr : status_of(e, t.name, status), t.name, format, text);
  if (!ok && format == Format::kPrometheus) text = metrics_down(t.name);
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
  std::string output, listen;
  double watch = 0, timeout = 2.0;
  long count = -1;
  Format format = Format::kJson;
  // getopt_long codes of the long options without a short one.
  enum : int { WATCH = 256, TIMEOUT, COUNT, FORMAT, OUTPUT, VERSION, LISTEN };
  static const option long_options[] = {
      {"watch", required_argument, nullptr, WATCH},   {"timeout", required_argument, nullptr, TIMEOUT},
      {"count", required_argument, nullptr, COUNT},   {"format", required_argument, nullptr, FORMAT},
      {"output", required_argument, nullptr, OUTPUT}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, VERSION},     {"listen", required_argument, nullptr, LISTEN},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
    switch (c) {
      case WATCH: watch = seconds_arg("--watch", optarg, 0.1, 86400); break;
      case TIMEOUT: timeout = seconds_arg("--timeout", optarg, 0.01, 3600); break;
      case COUNT: count = count_arg(optarg); break;
      case FORMAT: format = format_arg(optarg); break;
      case OUTPUT: output = output_arg(optarg); break;
      case LISTEN: listen = optarg; break;
      case 'h': usage(stdout, 0);
      case VERSION:
        printf("tolvek-stats %s %s\n", TOLVEK_VERSION, TOLVEK_RELEASE_DATE);
        return 0;
      default:
        fprintf(stderr, "tolvek-stats: unknown option or missing value: %s\n", argv[optind - 1]);
        usage(stderr, 2);
    }
  }
  if (!listen.empty()) {
    if (optind == argc) {
      fputs("tolvek-stats: --listen needs at least one HOST:PORT\n", stderr);
      usage(stderr, 2);
    }
    if (watch > 0 || count > 0 || format != Format::kJson || !output.empty()) {
      fputs("tolvek-stats: --listen takes only --timeout besides the repeaters\n", stderr);
      usage(stderr, 2);
    }
#ifdef TOLVEK_EXPORTER
    return serve(listen, std::vector<std::string>(argv + optind, argv + argc), timeout);
#else
    fputs("tolvek-stats: this build has no --listen (it was built without libmicrohttpd)\n", stderr);
    return 2;
#endif
  }
  if (optind != argc - 1) {
    fputs("tolvek-stats: expected one HOST:PORT\n", stderr);
    usage(stderr, 2);
  }
  Target target;
  bool bad_usage = false;
  std::string error;
  if (!target_open(target, argv[optind], bad_usage, error)) {
    fputs(error.c_str(), stderr);
    return bad_usage ? 2 : 1;
  }
  // On a terminal, --watch redraws the table in place, as watch(1) does;
  // anywhere else the tables follow each other, a blank line apart. JSON
  // stays one report a line wherever it goes: scripts read it.
  bool table = format == Format::kTable && output.empty();
  bool redraw = table && watch > 0 && isatty(STDOUT_FILENO);
  bool all_whole = true;
  for (long done = 0;; done++) {
    double started = monotonic();
    clear_pending = redraw;
    all_whole &= one_round(target, timeout, format, output, table && !redraw && done > 0 ? "\n" : "");
    if (watch <= 0 || (count > 0 && done + 1 >= count)) break;
    double rest = watch - (monotonic() - started);
    if (rest > 0) sleep_for(rest);
  }
  target_close(target);
  return all_whole ? 0 : 1;
}
