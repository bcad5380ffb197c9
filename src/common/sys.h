// Process-wide helpers at the bottom of the program: fatal errors, the exit
// path, allocation, the two clocks, the limits on what the daemon writes
// about its traffic, the system log, and what passes between the daemon and
// a service manager (notifications, stored descriptors, the reload signal).
//
// Nothing here knows about settings, clients or the stream's sockets; every
// other module may include it.
#ifndef TOLVEK_COMMON_SYS_H_
#define TOLVEK_COMMON_SYS_H_

#include <netinet/in.h>
#include <signal.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Fatal errors: "tolvek: " and the text, then a newline (fatal) or the
// system's description of the errno current at the call (fatal_errno);
// both exit with status -1, which shows as 255.
[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_errno(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A line that is not of the "tolvek: " kind, written at the priority of an
// error: error_line goes on, fatal_exit then ends the process with status.
void error_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_exit(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Every end of the process goes through here.
[[noreturn]] void exit_program(int status);

// Priorities of what the daemon writes, as the system log numbers them.
constexpr int PRIORITY_ERR = 3;      // fatal errors
constexpr int PRIORITY_WARNING = 4;  // complaints and rejections: standard error
constexpr int PRIORITY_INFO = 6;     // progress: standard output

// When JOURNAL_STREAM names our standard output or error (a service whose
// output goes to the journal), each line written there is led by its
// priority as "<N>"; elsewhere the bytes stay exactly the text. Called once
// at start.
void detect_journal_streams();

// Messages to a service manager that listens (NOTIFY_SOCKET in the
// environment): one datagram each, sent without ever waiting, so a manager
// that reads nothing costs the message, never the stream. Nothing is sent
// without a manager.
// The daemon is ready: its sockets are bound ("READY=1").
void notify_ready();
// A reload begins ("RELOADING=1"); notify_ready() ends it.
void notify_reloading();
// A line for the manager to show ("STATUS=" and text).
void notify_status(const char* text);
// Hands fd to the manager's store under name, so that a restarted daemon
// is given it back: false when there is no manager or it did not take it.
bool notify_store_fd(int fd, const char* name);
// Takes every descriptor stored under name out of the store.
void notify_forget_fd(const char* name);

// The descriptors a service manager handed to this process at start
// (LISTEN_FDS for our pid), each closed on exec: up to max of them go to
// fds, and their number is returned (0 when none).
size_t inherited_fds(int* fds, size_t max);

// SIGHUP asks for a reload. It is blocked but while the loop waits, so it
// never interrupts a datagram's road and is never lost.
void catch_reload_signal();
// True once after SIGHUP came.
bool take_reload_request();
// The signal mask to wait with: null when catch_reload_signal() was never
// called (tests), so that waiting is plain poll.
const sigset_t* signals_during_wait();

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no socket opened later takes one of them and receives our lines.
void open_standard_descriptors();

// Under a real-time scheduling policy (SCHED_FIFO or SCHED_RR, as set by
// chrt or a service manager), locks every page of the process in memory,
// now and as it grows, and says so on standard output; a page fault on the
// data path would cost more than the policy gains. Under any other policy it
// does nothing. A failure to lock is a complaint on standard error, and the
// daemon goes on unlocked.
void lock_memory_when_realtime();

// Reallocation that never returns failure (but null for size 0). One that
// fails while growth is locked stops the locking of growth, with one line on
// standard error, and is tried again; only a failure after that ends the
// process.
void* mem_realloc(void* previous, size_t size);

// Monotonic seconds, microsecond resolution: every timeout, period and rate.
double double_time();
// Monotonic whole seconds, the unit of a client's last contact.
int64_t mono_seconds();
// Wall-clock seconds: only for the times shown to people.
double wall_time();

// Lines that anyone who can send us a datagram can make us write. Each kind
// is written at most LINES_PER_SECOND times a second; the rest are counted
// and summed up once a second on the same stream. A line that would block
// on a full pipe is counted the same way: a log reader that falls behind
// must never stall the stream.
//
// A module declares the kinds it writes, each once, as a static object:
//   static LineKind timed_out{LineSink::kStdout, "Client ... timed out."};
// where the text is the line as its summary names it.
enum class LineSink { kStdout, kStderr, kSystemLog };

struct LineKind {
  LineSink sink;
  const char* like;
  // Kept by the limiter.
  double window_start = -1e18;   // the second being counted
  unsigned written = 0;          // lines written in it
  unsigned long left_out = 0;    // lines not written since the last summary
  double left_out_since = 0;     // start of the second of the first of them
  LineKind* next_in_use = nullptr;
  bool in_use = false;
};
constexpr unsigned LINES_PER_SECOND = 10;

void limited_line(LineKind& kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes the summary of every kind whose second is over; the event loop calls
// it after every wake-up, so a flood's last summary is not held back.
void report_left_out_lines();

// Writes a line to stream unless that would block (a full pipe); such lines
// are dropped and their number told with the next line that gets through.
void unblocked_line(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void unblocked_vline(FILE* stream, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// The system log: entries at priority INFO, facility LOCAL0, each naming
// ident and our process id, sent to path without ever waiting. A logger
// that has stopped reading costs the entry, not the stream. Until it is
// opened, entries go nowhere.
void open_system_log(const char* ident, const char* path = "/dev/log");
void system_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports a failed send to address, at most once a second per destination,
// remembering up to `slots` failing destinations.
void report_send_failure(int err, size_t len, const sockaddr_in& address, size_t slots);

// For tests: forget the line counts of every kind and the failure reports,
// close the log.
void sys_reset();
// For tests and fuzzing: null in the daemon.
extern double (*mono_clock_hook)();
extern double (*wall_clock_hook)();
extern void (*exit_hook)(int status);  // must not return

#endif  // TOLVEK_COMMON_SYS_H_
