// Process-wide helpers at the bottom of the program: fatal errors, the exit
// path, allocation, the two clocks, and the limits on what the daemon writes
// about its traffic.
//
// Nothing here knows about settings, clients or sockets; every other module
// may include it.
#ifndef TOLVEK_SYS_H_
#define TOLVEK_SYS_H_

#include <netinet/in.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Fatal errors: "tolvek: " and the text, then a newline (fatal) or the
// system's description of the errno current at the call (fatal_errno);
// both exit with status -1, which shows as 255.
[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_errno(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A fatal message that is not of the "tolvek: " kind, written at the
// priority of an error; the caller then ends the process.
void fatal_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
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

// Tells a service manager that waits for it (NOTIFY_SOCKET in the
// environment) that the daemon is ready: its sockets are bound. One
// datagram, "READY=1"; nothing without a manager.
void notify_ready();

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

// Allocation that never returns failure. mem_alloc(0) returns null. An
// allocation that fails while growth is locked stops the locking of growth,
// with one line on standard error, and is tried again; only a failure after
// that ends the process.
void* mem_alloc(size_t size);
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

#endif  // TOLVEK_SYS_H_
