#include "stats/exporter.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/report.h"
#include "stats/exchange.h"
#include "stats/table.h"

using nlohmann::json;

void history_add(History& h, const HistoryPoint& p) {
  if (h.ring.capacity() < HISTORY_POINTS) h.ring.reserve(HISTORY_POINTS);
  if (h.ring.size() < HISTORY_POINTS) {
    h.ring.push_back(p);
    return;
  }
  h.ring[h.next] = p;
  h.next = (h.next + 1) % HISTORY_POINTS;
}

std::vector<HistoryPoint> history_since(const History& h, double since) {
  std::vector<HistoryPoint> out;
  for (size_t i = 0; i < h.ring.size(); i++) {
    const HistoryPoint& p = h.ring[(h.next + i) % h.ring.size()];
    if (p.t > since) out.push_back(p);
  }
  return out;
}

static double figure(const Report& r, StreamFigure f) {
  auto it = r.stream.find(figure_key(f));
  return it == r.stream.end() ? 0 : it->second.number;
}

std::string watched_record(Watched& w, const std::string* report, const std::string* status,
                           const std::string& failure, double now, time_t wall) {
  const char* name = w.target.name.c_str();
  bool was_up = w.up, first = !w.answered;
  std::string log, why = failure;
  Report r;
  std::string error;
  bool up = report && report_read(*report, wall, r, error);
  if (report && !up) why = printed("tolvek-stats: the reply from %s is not a statistics report: %s\n", name, error.c_str());
  w.answered = true;
  w.answered_at = now;
  w.up = up;
  w.failure = up ? "" : why;
  w.report = up ? std::move(r) : Report{};
  w.has_status = false;
  if (up && status) {
    w.has_status = status_read(*status, w.status, error);
    if (!w.has_status && !w.status_told)
      log += printed("tolvek-stats: the status from %s is not usable: %s\n", name, error.c_str());
  } else if (up && !w.status_told) {
    log += printed("tolvek-stats: %s answers no get_status request (an older repeater): its input, failovers, "
                   "last datagram and capacity are left out\n",
                   name);
  }
  if (up) w.status_told = w.status_told || !w.has_status;
  if (!up && (was_up || first)) log = why;
  if (up && !was_up && !first) log = printed("tolvek-stats: %s answers again\n", name) + log;
  if (w.exchange_polls)
    history_add(w.history, {now, up, figure(w.report, StreamFigure::frames_sec), figure(w.report, StreamFigure::lost_frames_sec)});
  return log;
}

std::string exporter_metrics(const std::vector<Watched>& all) {
  std::vector<MetricsInput> in;
  for (const Watched& w : all)
    in.push_back({w.target.name, w.up ? &w.report : nullptr, w.up && w.has_status ? &w.status : nullptr});
  return metrics_text(in);
}

// The stream as the page tells it: flowing, stopped, or not begun; "" when
// the repeater gives no status to tell it by.
static std::string stream_state(const Watched& w, double age) {
  if (!w.up || !w.has_status) return "";
  if (!w.status.last_data_age.known) return "no datagram yet";
  return age > STREAM_STOPPED_AFTER ? "stopped" : "flowing";
}

static json repeater_json(const Watched& w, double now, time_t wall, double since) {
  json out = {{"name", w.target.name}, {"up", w.up}, {"answered", w.answered}};
  // The line as logged, without the program's name and the line end.
  const std::string prefix = "tolvek-stats: ";
  std::string failure = w.failure.rfind(prefix, 0) == 0 ? w.failure.substr(prefix.size()) : w.failure;
  if (!failure.empty() && failure.back() == '\n') failure.pop_back();
  out["failure"] = failure;
  // The head gives the age as the repeater told it at the last poll; only
  // the time a stopped stream has been silent is carried on to now.
  const Status& s = w.status;
  bool has_age = w.up && w.has_status && s.last_data_age.known;
  out["stream"] = stream_state(w, s.last_data_age.number);
  out["last_data_age"] = has_age ? json(s.last_data_age.number + now - w.answered_at) : json();
  json head = json::array(), clients = json::array(), points = json::array();
  if (w.up) {
    for (const auto& [heading, text] : table_head(w.report, w.has_status ? &s : nullptr)) head.push_back({heading, text});
    for (const auto& c : w.report.clients) clients.push_back(table_client_cells(c, wall));
  }
  out["head"] = head;
  out["waiting"] = w.up && table_waiting(w.report);
  out["clients"] = clients;
  for (const HistoryPoint& p : history_since(w.history, since)) {
    if (p.up) {
      points.push_back({p.t, p.frames_sec, p.lost_frames_sec});
    } else {
      points.push_back({p.t, nullptr, nullptr});
    }
  }
  out["history"] = points;
  return out;
}

std::string exporter_status_json(const std::vector<Watched>& all, double now, time_t wall, double since) {
  json doc = {{"now", now}, {"span", HISTORY_POINTS * EXPORTER_POLL_INTERVAL},
              {"columns", {"CLIENT", "SENDER ID", "SENT", "LAST CONTACT", "UP"}}};
  json list = json::array();
  for (const Watched& w : all) list.push_back(repeater_json(w, now, wall, since));
  doc["repeaters"] = list;
  // Report text is printable ASCII by now; the names are the user's own. A
  // byte that is not UTF-8 is replaced rather than refused.
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

static void start_round(Watched& w, double now, double timeout) {
  exchange_start(w.target, w.exchange, true, now, timeout);
  w.rounds_started++;
}

void exporter_poll_due(std::vector<Watched>& all, double now, double timeout) {
  for (Watched& w : all) {
    if (now < w.next_poll) continue;
    // A round in flight (a scrape's) serves as the poll.
    if (!w.exchange.active) start_round(w, now, timeout);
    w.exchange_polls = true;
    w.next_poll = now + EXPORTER_POLL_INTERVAL;
  }
}

void exporter_ask_all(std::vector<Watched>& all, double now, double timeout) {
  for (Watched& w : all) {
    if (w.exchange.active) continue;
    start_round(w, now, timeout);
    w.exchange_polls = false;
  }
}

std::string exporter_progress(std::vector<Watched>& all, double now, time_t wall) {
  std::string log;
  for (Watched& w : all) {
    if (!w.exchange.active) continue;
    exchange_read(w.target, w.exchange);
    if (!exchange_finish(w.target, w.exchange, now)) continue;
    std::string report, status;
    bool has_report = exchange_report(w.exchange, report), has_status = exchange_status(w.exchange, status);
    log += watched_record(w, has_report ? &report : nullptr, has_status ? &status : nullptr, w.exchange.failure, now,
                          wall);
    w.exchange_polls = false;
    w.rounds_done++;
  }
  return log;
}

double exporter_next_event(const std::vector<Watched>& all) {
  double next = 1e300;
  for (const Watched& w : all) {
    next = std::min(next, w.next_poll);
    if (w.exchange.active) next = std::min(next, w.exchange.deadline);
  }
  return next;
}
