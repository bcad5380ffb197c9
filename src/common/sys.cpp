#include "common/sys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
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

// Whether a line may be written to stream now: not when that would block
// on a full pipe (the line is then counted instead). The first line that
// gets through after such an episode is preceded by the count.
static bool may_write(FILE* stream);

// Lines to the journal carry their priority in front ("<3>" an error, "<4>"
// a warning, "<6>" information), which the journal takes off and files the
// line under. Anywhere else the bytes are exactly the text.
static bool journal[2];                       // standard output, standard error
static bool at_line_start[2] = {true, true};  // where a prefix may go

static int stream_index(FILE* stream) { return stream == stderr ? 1 : 0; }
static int default_priority(FILE* stream) { return stream == stderr ? PRIORITY_WARNING : PRIORITY_INFO; }

[[gnu::cold]] void detect_journal_streams() {
  journal[0] = journal[1] = false;
  at_line_start[0] = at_line_start[1] = true;
  const char* value = getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  if (!value || sscanf(value, "%llu:%llu", &dev, &ino) != 2) return;
  for (int fd = 1; fd <= 2; fd++) {
    struct stat st;
    journal[fd - 1] = fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
  }
}

static void put_text(FILE* stream, int priority, const char* text) {
  int i = stream_index(stream);
  if (!journal[i]) {
    fputs(text, stream);
    return;
  }
  for (const char* p = text; *p;) {
    const char* newline = strchr(p, '\n');
    size_t n = newline ? static_cast<size_t>(newline - p) + 1 : strlen(p);
    if (at_line_start[i]) fprintf(stream, "<%d>", priority);
    fwrite(p, 1, n, stream);
    at_line_start[i] = newline != nullptr;
    p += n;
  }
}

static void put_vtext(FILE* stream, int priority, const char* fmt, va_list ap) {
  if (!journal[stream_index(stream)]) {
    vfprintf(stream, fmt, ap);
    return;
  }
  char text[4096];
  vsnprintf(text, sizeof text, fmt, ap);
  put_text(stream, priority, text);
}

static void put_ftext(FILE* stream, int priority, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
static void put_ftext(FILE* stream, int priority, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  put_vtext(stream, priority, fmt, ap);
  va_end(ap);
}

// "tolvek: ", the text, then tail (the error's description, or nothing)
// and the line's end.
[[gnu::cold]] [[noreturn]] static void die(const char* tail, const char* fmt, va_list ap) {
  if (may_write(stderr)) {
    put_text(stderr, PRIORITY_ERR, "tolvek: ");
    put_vtext(stderr, PRIORITY_ERR, fmt, ap);
    put_ftext(stderr, PRIORITY_ERR, "%s\n", tail);
  }
  exit_program(-1);
}

void fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  die("", fmt, ap);
}

void fatal_errno(const char* fmt, ...) {
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  die(strerror(saved), fmt, ap);
}

[[gnu::cold]] void error_line(const char* fmt, ...) {
  if (!may_write(stderr)) return;
  va_list ap;
  va_start(ap, fmt);
  put_vtext(stderr, PRIORITY_ERR, fmt, ap);
  va_end(ap);
}

[[gnu::cold]] void fatal_exit(int status, const char* fmt, ...) {
  if (may_write(stderr)) {
    va_list ap;
    va_start(ap, fmt);
    put_vtext(stderr, PRIORITY_ERR, fmt, ap);
    va_end(ap);
  }
  exit_program(status);
}

[[gnu::cold]] void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: every lower one is open.
    if (open("/dev/null", O_RDWR) < 0) return;
  }
}

// Set while every page mapped from now on is locked as well (MCL_FUTURE).
static bool locking_growth = false;

[[gnu::cold]] void lock_memory_when_realtime() {
  // The flag that a service manager may add is not a policy of its own.
  int policy = sched_getscheduler(0);
  if (policy < 0) return;
  policy &= ~SCHED_RESET_ON_FORK;
  if (policy != SCHED_FIFO && policy != SCHED_RR) return;
  // Everything the daemon maps is bounded (the read buffers are static, the
  // client table stops at max_clients), so locking what comes later as well
  // cannot pin memory without end; but a table of a large max_clients may
  // outgrow the lock limit, which mem_realloc then lets go of.
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    unblocked_line(stderr, "tolvek: real-time scheduling, but cannot lock the memory: %s\n", strerror(errno));
    return;
  }
  locking_growth = true;
  unblocked_line(stdout, "Real-time scheduling: memory locked.\n");
}

// While growth is locked, every allocation past the lock limit fails: a
// real-time start must never be what stops the stream. What is mapped now
// stays locked (mlockall without MCL_FUTURE keeps the lock on the present
// pages only), and the growth from now on is not. True when the caller may
// try its allocation again.
[[gnu::cold]] static bool stop_locking_growth() {
  if (!locking_growth) return false;
  locking_growth = false;
  if (mlockall(MCL_CURRENT) == 0) {
    unblocked_line(stderr, "tolvek: the memory lock limit is reached: growth from now on is not locked\n");
    return true;
  }
  // More is mapped than the limit allows (the kernel counts mappings that
  // hold no locked page): then nothing stays locked.
  munlockall();
  unblocked_line(stderr, "tolvek: the memory lock limit is reached: the memory is no longer locked\n");
  return true;
}

void* mem_realloc(void* previous, size_t size) {
  void* p = realloc(previous, size);
  // A failed realloc leaves previous as it was, to be tried again.
  if (!p && size != 0 && stop_locking_growth()) p = realloc(previous, size);
  if (!p && size != 0) fatal_exit(-1, "Unable to allocate %lu bytes of memory.\r\n", static_cast<unsigned long>(size));
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

[[gnu::cold]] void open_system_log(const char* ident, const char* path) {
  log_address = sockaddr_un{};
  log_address.sun_family = AF_UNIX;
  snprintf(log_address.sun_path, sizeof log_address.sun_path, "%s", path);
  // A long identifier is cut, never the pid or the separator: a logger
  // files an entry by its "ident[pid]: ".
  char pid[32];
  int pid_len = snprintf(pid, sizeof pid, "[%ld]: ", static_cast<long>(getpid()));
  snprintf(log_tag, sizeof log_tag, "%.*s%s", static_cast<int>(sizeof log_tag) - 1 - pid_len, ident, pid);
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

// The kinds written so far, for the summaries and for a reset.
static LineKind* kinds_in_use = nullptr;

// Writes a line where its kind goes; false, writing nothing, when that
// would wait on a full pipe or log.
static bool write_line(const LineKind& kind, const char* fmt, va_list ap) {
  if (kind.sink == LineSink::kSystemLog) return write_system_log(fmt, ap);
  FILE* stream = kind.sink == LineSink::kStderr ? stderr : stdout;
  if (would_block(stream)) return false;
  put_vtext(stream, default_priority(stream), fmt, ap);
  return true;
}

static bool write_line(const LineKind& kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static bool write_line(const LineKind& kind, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  bool written = write_line(kind, fmt, ap);
  va_end(ap);
  return written;
}

// Tells how many lines of a kind were left out, once the stream takes it;
// until then they are summed on.
static void summarize(LineKind& c, double now) {
  if (c.left_out == 0) return;
  double span = now - c.left_out_since;
  bool told = span < 2 ? write_line(c, "tolvek: %lu more lines like \"%s\" left out in the last second\n",
                                    c.left_out, c.like)
                       : write_line(c, "tolvek: %lu more lines like \"%s\" left out in the last %.0f seconds\n",
                                    c.left_out, c.like, std::floor(span));
  if (told) c.left_out = 0;
}

void limited_line(LineKind& c, const char* fmt, ...) {
  if (!c.in_use) {
    c.in_use = true;
    c.next_in_use = kinds_in_use;
    kinds_in_use = &c;
  }
  double now = double_time();
  if (now - c.window_start >= 1.0) {
    summarize(c, now);
    c.window_start = now;
    c.written = 0;
  }
  // Over the limit nothing is formatted: a flood costs a clock read a line.
  bool written = false;
  if (c.written < LINES_PER_SECOND) {
    va_list ap;
    va_start(ap, fmt);
    written = write_line(c, fmt, ap);
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
  for (const LineKind* c = kinds_in_use; c; c = c->next_in_use) any |= c->left_out != 0;
  if (!any) return;
  double now = double_time();
  for (LineKind* c = kinds_in_use; c; c = c->next_in_use)
    if (now - c->window_start >= 1.0) summarize(*c, now);
}

static unsigned long blocked_lines[2];  // standard output, standard error

static bool may_write(FILE* stream) {
  unsigned long& blocked = blocked_lines[stream == stderr];
  if (would_block(stream)) {
    blocked++;
    return false;
  }
  if (blocked) put_ftext(stream, default_priority(stream), "tolvek: %lu lines left out while the output was full\n", blocked);
  blocked = 0;
  return true;
}

void unblocked_vline(FILE* stream, const char* fmt, va_list ap) {
  if (may_write(stream)) put_vtext(stream, default_priority(stream), fmt, ap);
}

void unblocked_line(FILE* stream, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  unblocked_vline(stream, fmt, ap);
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
  put_ftext(stderr, PRIORITY_WARNING, "tolvek: cannot send a UDP packet %lu bytes long: %s, to %s:%u",
            static_cast<unsigned long>(len), strerror(err), inet_ntoa(address.sin_addr), ntohs(address.sin_port));
  if (r.left_out) put_ftext(stderr, PRIORITY_WARNING, " (%u repeats left out)", r.left_out);
  put_text(stderr, PRIORITY_WARNING, "\n");
  r.last_report = now;
  r.left_out = 0;
}

// The manager's socket, from NOTIFY_SOCKET: a path, or an abstract name
// written with '@'. False without one.
static bool notify_address(sockaddr_un& sa, socklen_t& len) {
  const char* name = getenv("NOTIFY_SOCKET");
  sa = sockaddr_un{};
  sa.sun_family = AF_UNIX;
  size_t n = name ? strlen(name) : 0;
  if (n < 2 || n >= sizeof sa.sun_path || (name[0] != '/' && name[0] != '@')) return false;
  memcpy(sa.sun_path, name, n);
  if (name[0] == '@') sa.sun_path[0] = '\0';
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  return true;
}

// One message, with fd attached when it is not -1. Never blocks: a
// manager whose queue is full loses the message.
[[gnu::cold]] static bool notify(const char* text, int fd = -1) {
  sockaddr_un sa;
  socklen_t sa_len;
  if (!notify_address(sa, sa_len)) return false;
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return false;
  iovec iov{const_cast<char*>(text), strlen(text)};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sa_len;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  bool sent = sendmsg(s, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
  close(s);
  return sent;
}

void notify_ready() { notify("READY=1"); }

void notify_reloading() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  char text[64];
  snprintf(text, sizeof text, "RELOADING=1\nMONOTONIC_USEC=%llu",
           static_cast<unsigned long long>(ts.tv_sec) * 1000000ull + static_cast<unsigned long long>(ts.tv_nsec) / 1000);
  notify(text);
}

void notify_status(const char* text) {
  char message[256];
  snprintf(message, sizeof message, "STATUS=%s", text);
  notify(message);
}

bool notify_store_fd(int fd, const char* name) {
  char text[96];
  snprintf(text, sizeof text, "FDSTORE=1\nFDNAME=%s", name);
  return notify(text, fd);
}

void notify_forget_fd(const char* name) {
  char text[96];
  snprintf(text, sizeof text, "FDSTOREREMOVE=1\nFDNAME=%s", name);
  notify(text);
}

[[gnu::cold]] size_t inherited_fds(int* fds, size_t max) {
  const char* pid = getenv("LISTEN_PID");
  const char* count = getenv("LISTEN_FDS");
  if (!pid || !count || strtol(pid, nullptr, 10) != static_cast<long>(getpid())) return 0;
  constexpr int FIRST = 3;  // the manager's convention: after standard input, output and error
  long n = strtol(count, nullptr, 10);
  size_t k = 0;
  for (long i = 0; i < n && k < max; i++) {
    int fd = FIRST + static_cast<int>(i);
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) fds[k++] = fd;
  }
  // Meant for this process alone.
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  return k;
}

static volatile sig_atomic_t reload_requested = 0;
static bool reload_signal_caught = false;
static sigset_t wait_mask;

[[gnu::cold]] void catch_reload_signal() {
  struct sigaction sa{};
  sa.sa_handler = [](int) { reload_requested = 1; };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGHUP, &sa, nullptr);
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  sigprocmask(SIG_BLOCK, &hup, &wait_mask);
  sigdelset(&wait_mask, SIGHUP);
  reload_signal_caught = true;
}

bool take_reload_request() {
  if (!reload_requested) return false;
  reload_requested = 0;
  return true;
}

const sigset_t* signals_during_wait() { return reload_signal_caught ? &wait_mask : nullptr; }

[[gnu::cold]] void sys_reset() {
  journal[0] = journal[1] = false;
  at_line_start[0] = at_line_start[1] = true;
  if (log_fd >= 0) close(log_fd);
  log_fd = -1;
  while (kinds_in_use) {
    LineKind* c = kinds_in_use;
    kinds_in_use = c->next_in_use;
    *c = LineKind{c->sink, c->like};
  }
  blocked_lines[0] = blocked_lines[1] = 0;
  failure_reports.clear();
  reload_requested = 0;
}
