#include "sys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

double (*mono_clock_hook)() = nullptr;
double (*wall_clock_hook)() = nullptr;
void (*exit_hook)(int status) = nullptr;

void exit_program(int status) {
  if (exit_hook) exit_hook(status);
  exit(status);
}

void fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("tolvek: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  exit_program(-1);
}

void fatal_errno(const char* fmt, ...) {
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  fputs("tolvek: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s\n", strerror(saved));
  exit_program(-1);
}

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: every lower one is open.
    if (open("/dev/null", O_RDWR) < 0) return;
  }
}

void lock_memory_when_realtime() {
  // The flag that a service manager may add is not a policy of its own.
  int policy = sched_getscheduler(0);
  if (policy < 0) return;
  policy &= ~SCHED_RESET_ON_FORK;
  if (policy != SCHED_FIFO && policy != SCHED_RR) return;
  // Everything the daemon maps is bounded (the read buffers are static, the
  // client table stops at max_clients), so locking what comes later as well
  // cannot pin memory without end.
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    fprintf(stderr, "tolvek: real-time scheduling, but cannot lock the memory: %s\n", strerror(errno));
    return;
  }
  printf("Real-time scheduling: memory locked.\n");
}

void* mem_alloc(size_t size) {
  if (size == 0) return nullptr;
  void* p = malloc(size);
  if (!p) {
    fprintf(stderr, "tolvek: cannot allocate%lu bytes of memory.\r\n", static_cast<unsigned long>(size));
    exit_program(-1);
  }
  return p;
}

void* mem_realloc(void* previous, size_t size) {
  void* p = realloc(previous, size);
  if (!p && size != 0) {
    fprintf(stderr, "Unable to allocate %lu bytes of memory.\r\n", static_cast<unsigned long>(size));
    exit_program(-1);
  }
  return p;
}

static double read_clock(clockid_t id) {
  timespec ts;
  if (clock_gettime(id, &ts) != 0) fatal_errno("cannot get time of day.");
  return ts.tv_sec + ts.tv_nsec / 1000 / 1e6;
}

double double_time() { return mono_clock_hook ? mono_clock_hook() : read_clock(CLOCK_MONOTONIC); }

int64_t mono_seconds() { return static_cast<int64_t>(std::floor(double_time())); }

double wall_time() { return wall_clock_hook ? wall_clock_hook() : read_clock(CLOCK_REALTIME); }

// A pipe whose reader has stopped reading, or a log socket that is full.
// A reader that is gone makes the write fail instead, which does not block.
static bool would_block(FILE* stream) {
  pollfd p{fileno(stream), POLLOUT, 0};
  return poll(&p, 1, 0) == 0;
}

// The system log socket, connected to the logger, and what each entry
// starts with after its time: "ident[pid]: ".
static int log_fd = -1;
static sockaddr_un log_address;
static char log_tag[64];

static void connect_system_log() {
  if (log_fd >= 0) close(log_fd);
  log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (log_fd >= 0) connect(log_fd, reinterpret_cast<const sockaddr*>(&log_address), sizeof log_address);
}

void open_system_log(const char* ident, const char* path) {
  log_address = sockaddr_un{};
  log_address.sun_family = AF_UNIX;
  snprintf(log_address.sun_path, sizeof log_address.sun_path, "%s", path);
  snprintf(log_tag, sizeof log_tag, "%s[%ld]: ", ident, static_cast<long>(getpid()));
  connect_system_log();
}

// False only when the logger's queue is full: the entry would have waited.
// No logger at all, as with the C library's syslog, loses the entry quietly.
static bool write_system_log(const char* fmt, va_list ap) {
  if (log_fd < 0) return true;
  constexpr int LOCAL0_INFO = 16 * 8 + 6;
  char entry[1024];
  time_t now = static_cast<time_t>(wall_time());
  tm local{};
  localtime_r(&now, &local);
  int n = snprintf(entry, sizeof entry, "<%d>", LOCAL0_INFO);
  n += static_cast<int>(strftime(entry + n, sizeof entry - n, "%b %e %T ", &local));
  n += snprintf(entry + n, sizeof entry - n, "%s", log_tag);
  if (n < static_cast<int>(sizeof entry)) vsnprintf(entry + n, sizeof entry - n, fmt, ap);
  size_t len = strnlen(entry, sizeof entry);
  if (len > 0 && entry[len - 1] == '\n') len--;  // an entry is one line without its end
  for (int attempt = 0; attempt < 2; attempt++) {
    if (send(log_fd, entry, len, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    connect_system_log();  // the logger restarted, or was not there yet
  }
  return true;
}

void system_log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  write_system_log(fmt, ap);
  va_end(ap);
}

struct LineCount {
  double window_start = -1e18;  // the second being counted
  unsigned written = 0;         // lines written in it
  unsigned long left_out = 0;   // lines not written since the last summary
  double left_out_since = 0;    // start of the second of the first of them
};

static LineCount line_counts[N_LINE_KINDS];

enum Sink { TO_STDOUT, TO_STDERR, TO_SYSTEM_LOG };

static const struct {
  Sink sink;
  const char* like;
} line_kinds[N_LINE_KINDS] = {
    {TO_STDERR, "3:Request from ... rejected."},
    {TO_STDERR, "2:Request from ... rejected."},
    {TO_STDERR, "2:Request from ... to stop streaming."},
    {TO_STDOUT, "Adding client ... on his request."},
    {TO_STDOUT, "Client ... timed out."},
    {TO_SYSTEM_LOG, "...:status:..."},
};

// Writes a line where its kind goes; false, writing nothing, when that
// would wait on a full pipe or log.
static bool write_line(LineKind kind, const char* fmt, va_list ap) {
  Sink sink = line_kinds[kind].sink;
  if (sink == TO_SYSTEM_LOG) return write_system_log(fmt, ap);
  FILE* stream = sink == TO_STDERR ? stderr : stdout;
  if (would_block(stream)) return false;
  vfprintf(stream, fmt, ap);
  return true;
}

static bool write_line(LineKind kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static bool write_line(LineKind kind, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  bool written = write_line(kind, fmt, ap);
  va_end(ap);
  return written;
}

// Tells how many lines of a kind were left out, once the stream takes it;
// until then they are summed on.
static void summarize(LineKind kind, double now) {
  LineCount& c = line_counts[kind];
  if (c.left_out == 0) return;
  double span = now - c.left_out_since;
  bool told = span < 2 ? write_line(kind, "tolvek: %lu more lines like \"%s\" left out in the last second\n",
                                    c.left_out, line_kinds[kind].like)
                       : write_line(kind, "tolvek: %lu more lines like \"%s\" left out in the last %.0f seconds\n",
                                    c.left_out, line_kinds[kind].like, std::floor(span));
  if (told) c.left_out = 0;
}

void limited_line(LineKind kind, const char* fmt, ...) {
  LineCount& c = line_counts[kind];
  double now = double_time();
  if (now - c.window_start >= 1.0) {
    summarize(kind, now);
    c.window_start = now;
    c.written = 0;
  }
  // Over the limit nothing is formatted: a flood costs a clock read a line.
  bool written = false;
  if (c.written < LINES_PER_SECOND) {
    va_list ap;
    va_start(ap, fmt);
    written = write_line(kind, fmt, ap);
    va_end(ap);
  }
  if (written) {
    c.written++;
  } else if (c.left_out++ == 0) {
    c.left_out_since = c.window_start;
  }
}

void report_left_out_lines() {
  bool any = false;
  for (const LineCount& c : line_counts) any |= c.left_out != 0;
  if (!any) return;
  double now = double_time();
  for (int k = 0; k < N_LINE_KINDS; k++) {
    if (now - line_counts[k].window_start >= 1.0) summarize(static_cast<LineKind>(k), now);
  }
}

static unsigned long blocked_lines[2];  // standard output, standard error

void unblocked_line(FILE* stream, const char* fmt, ...) {
  unsigned long& blocked = blocked_lines[stream == stderr];
  if (would_block(stream)) {
    blocked++;
    return;
  }
  if (blocked) fprintf(stream, "tolvek: %lu lines left out while the output was full\n", blocked);
  blocked = 0;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stream, fmt, ap);
  va_end(ap);
}

// Send failure reports, one slot per failing destination. The slots grow
// only when a new destination fails, up to the number asked for; past that
// the longest quiet slot is reused.
struct FailureReport {
  uint32_t s_addr = 0;
  uint16_t sin_port = 0;
  double last_report = -1e18;
  unsigned left_out = 0;
};

static std::vector<FailureReport> failure_reports;

static FailureReport& report_slot(const sockaddr_in& address, size_t slots) {
  for (auto& r : failure_reports)
    if (r.s_addr == address.sin_addr.s_addr && r.sin_port == address.sin_port) return r;
  FailureReport fresh;
  fresh.s_addr = address.sin_addr.s_addr;
  fresh.sin_port = address.sin_port;
  if (failure_reports.size() < slots) {
    failure_reports.push_back(fresh);
    return failure_reports.back();
  }
  FailureReport* oldest = &failure_reports[0];
  for (auto& r : failure_reports)
    if (r.last_report < oldest->last_report) oldest = &r;
  *oldest = fresh;
  return *oldest;
}

void report_send_failure(int err, size_t len, const sockaddr_in& address, size_t slots) {
  FailureReport& r = report_slot(address, slots);
  double now = double_time();
  if (now - r.last_report < 1.0 || would_block(stderr)) {
    r.left_out++;
    return;
  }
  fprintf(stderr, "tolvek: cannot send a UDP packet %lu bytes long: %s, to %s:%u", static_cast<unsigned long>(len),
          strerror(err), inet_ntoa(address.sin_addr), ntohs(address.sin_port));
  if (r.left_out) fprintf(stderr, " (%u repeats left out)", r.left_out);
  fputc('\n', stderr);
  r.last_report = now;
  r.left_out = 0;
}

void sys_reset() {
  if (log_fd >= 0) close(log_fd);
  log_fd = -1;
  for (LineCount& c : line_counts) c = LineCount{};
  blocked_lines[0] = blocked_lines[1] = 0;
  failure_reports.clear();
}
