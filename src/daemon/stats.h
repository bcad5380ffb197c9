// Stream statistics: counters, decaying rates and the JSON report served on
// the statistics port.
//
// The update runs once per relayed datagram, counts and allocates nothing;
// the report is built when asked for, at most every stat_period seconds of
// stream time, and served from the built text in between.
#ifndef TOLVEK_DAEMON_STATS_H_
#define TOLVEK_DAEMON_STATS_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/sequence.h"
#include "common/wire.h"

constexpr unsigned STATS_REPLIES_PER_SECOND = 20;

struct Stats {
  uint64_t received_frames = 0;
  uint64_t total_bytes = 0;
  uint64_t lost_frames = 0;
  double bps = 0;   // decaying rate of payload bits per second
  double fps = 0;   // ... of datagrams per second
  double lfps = 0;  // ... of lost datagrams per second
  double last_update = 0;  // monotonic time of the previous update
  double last_stats = 0;   // monotonic stream time of the last rebuild
  bool last_update_valid = false;
  // The stream position and the numbers seen around it: the same window
  // tolvek-join counts with, so the repeater and its clients tell loss alike.
  SequenceWindow sequence;
  std::string stats = "{}";  // the report, as last built
  bool report_due = false;   // the stream has run stat_period since the last build

  // When the stream has stopped, requests rebuild the report with decayed
  // rates; this paces those rebuilds without touching the stream's own.
  double last_idle_rebuild = -1e18;
  // The reply budget: replies sent in the second that began at budget_start.
  double budget_start = -1e18;
  unsigned budget_used = 0;

  double started = 0;  // wall-clock seconds of the daemon's start, told by get_status
};

extern const Stats& stream_stats;  // this module alone writes them

void stats_reset();

// target = target * exp(-timestep / decay_time) + arrival / decay_time
void decaybump(double& target, double timestep, double arrival);

// Adds one relayed datagram at now (monotonic seconds): its length and its
// sequence number (bytes 2-3, big-endian), or NO_SEQNO. Counts only: the
// report's text is built when asked for.
void update_stats(size_t bytes, int seqno, double now);

// The report as served at now: built again when the stream has run
// stat_period since it was last built, and with decayed rates (rebuilt at
// most every stat_period) once the stream has stopped for longer.
const std::string& stats_report(double now);

// Rebuilds the report from the counters and the client table, with every
// rate multiplied by decay (1 while the stream flows).
void rebuild_report(double decay);

// Notes the start, as the wall clock has it now.
void stats_start();

// The daemon's own state as a JSON object: version, start, the input and
// source in use, failovers, the age of the last accepted datagram (null
// before the first), the table's capacity and size, and how many entries
// are sent the stream now.
std::string status_report(double now);

// What the daemon is doing, in a line for a service manager to show: the
// stream's rate, how many clients receive it, and the input port.
std::string service_status(double now);

// Statistics request handler: "get_stats" (as a prefix) draws the report,
// "get_status" the daemon's state.
void handle_stats_request(const uint8_t* buf, size_t len, const sockaddr_in& sender, double now);

#endif  // TOLVEK_DAEMON_STATS_H_
