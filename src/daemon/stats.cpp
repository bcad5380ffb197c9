#include "daemon/stats.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/report.h"
#include "common/sys.h"
#include "common/version.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/net.h"

static Stats the_stats;
const Stats& stream_stats = the_stats;

void stats_reset() { the_stats = Stats{}; }

void decaybump(double& target, double timestep, double arrival) {
  target = target * std::exp(-timestep / decay_time) + arrival / decay_time;
}

void update_stats(size_t bytes, int seqno, double now) {
  Stats& s = the_stats;
  s.received_frames++;
  s.total_bytes += bytes;
  if (!s.last_update_valid) {
    s.last_update = s.last_stats = now;
    s.last_update_valid = true;
    if (seqno != NO_SEQNO) sequence_step(s.sequence, static_cast<unsigned>(seqno));
    return;
  }
  double step = now - s.last_update;
  s.last_update = now;
  SequenceStep seq = seqno == NO_SEQNO ? SequenceStep{SequenceKind::kStale, 0}
                                         : sequence_step(s.sequence, static_cast<unsigned>(seqno));
  count_loss(s.lost_frames, seq);
  int lost = seq.loss;
  decaybump(s.bps, step, static_cast<double>(bytes) * 8);
  decaybump(s.fps, step, 1);
  decaybump(s.lfps, step, lost);
  if (s.lfps < 0) s.lfps = 0;
  // The text waits for someone to ask: a stream nobody watches costs no
  // formatting, and one that is watched costs it off the data path.
  if (s.last_update - s.last_stats >= stat_period) {
    s.last_stats = s.last_update;
    s.report_due = true;
  }
}

static void append_time(std::string& out, time_t t) {
  tm local{};
  localtime_r(&t, &local);
  char text[100];
  strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
  out += text;
}

static void append_address(std::string& out, uint32_t s_addr) { out += inet_ntoa(in_addr{s_addr}); }

static void append_number(std::string& out, unsigned long v) {
  char text[24];
  snprintf(text, sizeof text, "%lu", v);
  out += text;
}

static void append_mac(std::string& out, const uint8_t* mac) {
  char text[16];
  snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  out += text;
}

static void append_client(std::string& out, const Client& c, bool last) {
  const char* sep = "{";
#define WRITE_FIGURE(key, write, width, shape, family, metric, type, help) \
  out += sep;                                                             \
  out += "\"" #key "\":\"";                                                \
  write;                                                           \
  out += "\"";                                                      \
  sep = ",";
  TOLVEK_CLIENT_FIGURES(WRITE_FIGURE)
#undef WRITE_FIGURE
  out += last ? "}" : "},";
}

void rebuild_report(double decay) {
  Stats& s = the_stats;
  unsigned n_entries = static_cast<unsigned>(clients.size());
  char head[REPORT_HEAD_MAX];
  // Past the end (only a rate beyond any real stream's could take it there),
  // the text is cut as one snprintf would cut it.
  size_t n = 0;
#define WRITE_FIGURE(sep, key, colon, format, value, width, shape, family, metric, type, help) \
  if (n < sizeof head)                                                                         \
    n += static_cast<size_t>(snprintf(head + n, sizeof head - n, sep "\"" #key "\"" colon "\"" format "\"", value));
  TOLVEK_STREAM_FIGURES(WRITE_FIGURE)
#undef WRITE_FIGURE
  // Reuses the text's capacity: after the first rebuilds nothing is allocated.
  s.stats.clear();
  s.stats += head;
  s.stats += ",\"clients\":[";
  for (size_t i = 0; i < clients.size(); i++) append_client(s.stats, clients[i], i + 1 == clients.size());
  s.stats += "]}";
}

// A 9-byte request draws a reply of up to tens of kilobytes to whatever
// address it claims: the budget keeps the port from being a reflector.
static bool within_budget(double now) {
  Stats& s = the_stats;
  if (now - s.budget_start >= 1.0) {
    s.budget_start = now;
    s.budget_used = 0;
  }
  if (s.budget_used >= STATS_REPLIES_PER_SECOND) return false;
  s.budget_used++;
  return true;
}

void stats_start() { the_stats.started = wall_time(); }

static unsigned receiving_clients() {
  unsigned n = 0;
  for (const Client& c : clients) n += (c.flags & F_ENABLED) ? 1 : 0;
  return n;
}

[[gnu::cold]] std::string status_report(double now) {
  const Stats& s = the_stats;
  char source[32] = "null";
  if (const SourceRecord* src = current_source())
    snprintf(source, sizeof source, "\"%s:%u\"", inet_ntoa(src->a.sin_addr), ntohs(src->a.sin_port));
  char age[32] = "null";
  if (s.last_update_valid) snprintf(age, sizeof age, "%.3f", now - s.last_update);
  char text[512];
  size_t n = 0;
  const char* sep = "{";
  // Every value is short: the text is far from its end, which only guards.
#define WRITE_STATUS(key, format, value, shape, family, metric, type, help)                                \
  if (n < sizeof text)                                                                                     \
    n += static_cast<size_t>(snprintf(text + n, sizeof text - n, "%s\"" #key "\":" format, sep, value)); \
  sep = ",";
  TOLVEK_STATUS_FIGURES(WRITE_STATUS)
#undef WRITE_STATUS
  return std::string(text, n < sizeof text ? n : sizeof text - 1) + "}";
}

[[gnu::cold]] std::string service_status(double now) {
  const Stats& s = the_stats;
  unsigned receiving = receiving_clients();
  unsigned port = static_cast<unsigned>(current_input_port() & 0xffff);
  char text[160];
  double idle = now - s.last_update;
  if (!s.last_update_valid) {
    snprintf(text, sizeof text, "waiting for the stream on UDP port %u; %u of %zu clients receive", port, receiving,
             clients.size());
  } else if (idle > stat_period) {
    snprintf(text, sizeof text, "no stream for %.0f s on UDP port %u; %u of %zu clients receive", idle, port,
             receiving, clients.size());
  } else {
    snprintf(text, sizeof text, "relaying %.1f datagrams/s to %u of %zu clients on UDP port %u", s.fps, receiving,
             clients.size(), port);
  }
  return text;
}

static bool is_request(const uint8_t* buf, size_t len, const char* word, size_t word_len) {
  return len >= word_len && memcmp(buf, word, word_len) == 0;
}

const std::string& stats_report(double now) {
  Stats& s = the_stats;
  // A stopped stream must not report its last rates for ever.
  double idle = now - s.last_update;
  bool stopped = s.last_update_valid && idle > stat_period;
  if (stopped && (s.report_due || now - s.last_idle_rebuild >= stat_period)) {
    s.report_due = false;
    s.last_idle_rebuild = now;
    rebuild_report(std::exp(-idle / decay_time));
  } else if (!stopped && s.report_due) {
    s.report_due = false;
    rebuild_report(1.0);
  }
  return s.stats;
}

void handle_stats_request(const uint8_t* buf, size_t len, const sockaddr_in& sender, double now) {
  bool status = is_request(buf, len, STATUS_REQUEST, STATUS_REQUEST_LEN);
  if (!status && !is_request(buf, len, STATS_REQUEST, STATS_REQUEST_LEN)) return;
  if (!within_budget(now)) return;
  if (status) {
    std::string reply = status_report(now);
    return send_fragmented_packet(statistics_socket, reinterpret_cast<const uint8_t*>(reply.data()), reply.size(),
                                  sender);
  }
  const std::string& report = stats_report(now);
  send_fragmented_packet(statistics_socket, reinterpret_cast<const uint8_t*>(report.data()), report.size(), sender);
}
