#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/sys.h"
#include "daemon/config.h"
#include "daemon/loop.h"
#include "daemon/net.h"
#include "daemon/state.h"
#include "daemon/stats.h"

// Containers grow through operator new: a failed growth ends the process
// with the same message as any other failed allocation.
void* operator new(size_t size) {
  if (size == 0) size = 1;
  return mem_realloc(nullptr, size);
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

int main(int argc, char** argv) {
  open_standard_descriptors();
  // A log reader that goes away must not take the stream with it: its
  // writes fail instead.
  signal(SIGPIPE, SIG_IGN);
  // Progress lines must appear at once under a service manager or a pipe,
  // and a complaint without a newline must not wait for the next one.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  detect_journal_streams();

  stats_start();
  open_system_log(argv[0]);
  system_log("Started Logging for %s", argv[0]);
  unblocked_line(stdout, "%s\n", VERSION_LINE);

  if (argc < 2) fatal_exit(-1, "tolvek: Run me again with config file path as an argument.\n");
  // The version line is out already; --help is -h by its long name.
  if (argc == 2 && strcmp(argv[1], "--version") == 0) exit_program(0);
  if (argc == 2 && strcmp(argv[1], "--help") == 0) print_help();
  if (argc == 2) {
    parse_config(argv[1]);
  } else {
    parse_options(argc, argv);
  }
  check_config();
  // Registered clients of the run before a restart are served from the
  // first datagram on.
  state_init();
  state_restore();
  lock_memory_when_realtime();

  catch_reload_signal();
  init_sockets();
  notify_ready();
  send_trigger(true, double_time());
  select_loop();
}
