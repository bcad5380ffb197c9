// Asking repeaters for their statistics, for tolvek-stats: the report
// ("get_stats") and, where wanted, the daemon's status ("get_status"), sent
// together and awaited within one deadline. Each request has a socket of its
// own, connected to the repeater, so the two replies' fragments never mix and
// nobody else's datagrams count. Many exchanges can wait in one poll loop;
// nothing here waits or reads a clock: the caller passes now.
#ifndef TOLVEK_STATS_EXCHANGE_H_
#define TOLVEK_STATS_EXCHANGE_H_

#include <poll.h>

#include <string>
#include <vector>

#include "stats/fragments.h"

// A repeater asked, as the user named it.
struct Target {
  std::string name;  // HOST:PORT
  int stats_fd = -1;
  int status_fd = -1;
};

// One round of requests to a target and what came back of it.
struct Exchange {
  bool active = false;  // asked, and not over
  bool want_status = false;
  double deadline = 0;
  double timeout = 0;
  Reassembly report, status;
  bool refused = false;  // the repeater's system answered that nothing listens
  std::string failure;   // once over: why no whole report came, "" when one did
};

// The most indices a failure message lists of the fragments still missing.
constexpr size_t EXCHANGE_LISTED_MISSING = 8;

// Resolves name (HOST:PORT, IPv4) and connects the target's two sockets.
// False with a one-line reason in error: bad_usage is set when the name
// itself is at fault (no HOST:PORT, or it does not resolve).
bool target_open(Target& t, const std::string& name, bool& bad_usage, std::string& error);
void target_close(Target& t);

// Starts a round: takes off what earlier rounds left in the sockets (late
// fragments, a refusal), then sends the requests.
void exchange_start(const Target& t, Exchange& e, bool want_status, double now, double timeout);
// Appends the sockets an active exchange waits on.
void exchange_poll_fds(const Target& t, const Exchange& e, std::vector<pollfd>& fds);
// Takes in what the target's sockets hold now, without waiting.
void exchange_read(const Target& t, Exchange& e);
// Ends an active exchange once it has all it waits for, or was refused, or
// at its deadline; true when it is over (then failure says why there is no
// report, "" when there is).
bool exchange_finish(const Target& t, Exchange& e, double now);
// Once over: the report and the status, when each came whole.
bool exchange_report(const Exchange& e, std::string& text);
bool exchange_status(const Exchange& e, std::string& text);

// Text as printf would write it, cut at 1023 characters.
std::string printed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// For tests.
// "1, 2" or, past EXCHANGE_LISTED_MISSING indices, the first ones and how
// many more.
std::string exchange_missing_list(const std::vector<uint32_t>& missing);

#endif  // TOLVEK_STATS_EXCHANGE_H_
