// What tolvek-stats --listen keeps of each repeater it watches: the outcome
// of the latest round of requests, and the history of the stream's rates,
// from which it writes /metrics and /status.json. The HTTP side is serve.h;
// nothing here waits or reads a clock: callers pass now (monotonic seconds)
// and wall (the wall clock, for the clients' ages).
#ifndef TOLVEK_STATS_EXPORTER_H_
#define TOLVEK_STATS_EXPORTER_H_

#include <ctime>
#include <string>
#include <vector>

#include "stats/exchange.h"
#include "stats/metrics.h"

// Each repeater is asked on its own this often, whether or not anyone looks,
// so that a page opened now shows the last minutes.
constexpr double EXPORTER_POLL_INTERVAL = 2.0;
// The history: 15 minutes of polls.
constexpr size_t HISTORY_POINTS = 450;
// No datagram for longer than this: the stream has stopped, as the repeater
// itself would fail over.
constexpr double STREAM_STOPPED_AFTER = 4.0;

// The stream's rates at one poll; a repeater that gave no report has none.
struct HistoryPoint {
  double t = 0;  // monotonic seconds
  bool up = false;
  double frames_sec = 0, lost_frames_sec = 0;
};

// A ring of the latest HISTORY_POINTS points, its room taken once.
struct History {
  std::vector<HistoryPoint> ring;
  size_t next = 0;  // where the next point goes, once the ring is full
};

void history_add(History& h, const HistoryPoint& p);
// The points after since, oldest first.
std::vector<HistoryPoint> history_since(const History& h, double since);

struct Watched {
  Target target;
  Exchange exchange;
  bool exchange_polls = false;  // the round in flight adds to the history
  unsigned long long rounds_started = 0, rounds_done = 0;
  double next_poll = 0;
  // The latest round that is over.
  bool answered = false;  // a round is over
  bool up = false;        // it brought a whole report
  Report report;
  bool has_status = false;
  Status status;
  std::string failure;     // why it is down, a whole line
  double answered_at = 0;  // monotonic
  bool status_told = false;
  History history;
};

// Takes in the outcome of w's round that is over: the report's text (null:
// none came, for the reason in failure), the status's (null: none came),
// at now; adds to the history when the round was a poll. Returns what is to
// be logged: a line when the repeater goes down or comes back, and once when
// it answers no status.
std::string watched_record(Watched& w, const std::string* report, const std::string* status,
                           const std::string& failure, double now, time_t wall);

// The metrics of every repeater from its latest round; a repeater not yet
// answered counts as down.
std::string exporter_metrics(const std::vector<Watched>& all);

// The page's data at now: each repeater's state, its head lines and client
// rows as the table view shows them, and its history after since.
std::string exporter_status_json(const std::vector<Watched>& all, double now, time_t wall, double since);

// The rounds: polls that are due start (at most every EXPORTER_POLL_INTERVAL
// each), a scrape starts one for every repeater that has none in flight.
void exporter_poll_due(std::vector<Watched>& all, double now, double timeout);
void exporter_ask_all(std::vector<Watched>& all, double now, double timeout);
// Reads and ends rounds; returns the lines to log.
std::string exporter_progress(std::vector<Watched>& all, double now, time_t wall);
// When the next thing is due without any datagram: a deadline or a poll.
double exporter_next_event(const std::vector<Watched>& all);

#endif  // TOLVEK_STATS_EXPORTER_H_
