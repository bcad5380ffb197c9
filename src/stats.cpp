#include "stats.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "clients.h"
#include "config.h"
#include "net.h"
#include "sys.h"

Stats stream_stats;

void stats_reset() { stream_stats = Stats{}; }

void decaybump(double& target, double timestep, double arrival) {
  target = target * std::exp(-timestep / decay_time) + arrival / decay_time;
}

void update_stats(size_t bytes, int seqno) {
  Stats& s = stream_stats;
  s.received_frames++;
  s.total_bytes += bytes;
  double now = double_time();
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
  if (s.last_update - s.last_stats >= stat_period) {
    s.last_stats = s.last_update;
    rebuild_report(1.0);
  }
}

static void append_time(std::string& out, time_t t) {
  tm local{};
  localtime_r(&t, &local);
  char text[100];
  strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
  out += text;
}

static void append_client(std::string& out, const Client& c, bool last) {
  char part[160];
  in_addr a{c.s_addr};
  snprintf(part, sizeof part, "{\"ip\":\"%s\",\"port\":\"%u\",\"mac\":\"%02x%02x%02x%02x%02x%02x\",\"last_contact\":\"",
           inet_ntoa(a), ntohs(c.sin_port), c.mac[0], c.mac[1], c.mac[2], c.mac[3], c.mac[4], c.mac[5]);
  out += part;
  append_time(out, c.timestamp);
  out += "\",\"up_since\":\"";
  append_time(out, c.up_since);
  snprintf(part, sizeof part, "\",\"pkts_sent\":\"%lu\"}%s", static_cast<unsigned long>(c.rtp_packets_sent),
           last ? "" : ",");
  out += part;
}

void rebuild_report(double decay) {
  Stats& s = stream_stats;
  char head[512];
  snprintf(head, sizeof head,
           "{\"udp_payload\": \"%.2lf kbps\", \"total_bytes\" : \"%llu\" , \"frames_sec\" : \"%.1lf\" ,"
           "\"lost_frames_sec\" : \"%.3lf\", \"frames_received\" : \"%llu\",\"frames_lost\" : \"%llu\","
           "\"connected_clients\" : \"%u\",",
           s.bps * decay / 1000, static_cast<unsigned long long>(s.total_bytes), s.fps * decay, s.lfps * decay,
           static_cast<unsigned long long>(s.received_frames), static_cast<unsigned long long>(s.lost_frames),
           static_cast<unsigned>(clients.size()));
  // Reuses the text's capacity: after the first rebuilds nothing is allocated.
  s.stats.clear();
  s.stats += head;
  s.stats += "\"clients\":[";
  for (size_t i = 0; i < clients.size(); i++) append_client(s.stats, clients[i], i + 1 == clients.size());
  s.stats += "]}";
}

// A 9-byte request draws a reply of up to tens of kilobytes to whatever
// address it claims: the budget keeps the port from being a reflector.
static bool within_budget(double now) {
  Stats& s = stream_stats;
  if (now - s.budget_start >= 1.0) {
    s.budget_start = now;
    s.budget_used = 0;
  }
  if (s.budget_used >= STATS_REPLIES_PER_SECOND) return false;
  s.budget_used++;
  return true;
}

void handle_stats_request(const uint8_t* buf, size_t len, const sockaddr_in& sender) {
  if (len < 9 || memcmp(buf, "get_stats", 9) != 0) return;
  Stats& s = stream_stats;
  double now = double_time();
  if (!within_budget(now)) return;
  // A stopped stream must not report its last rates for ever.
  double idle = now - s.last_update;
  if (s.last_update_valid && idle > stat_period && now - s.last_idle_rebuild >= stat_period) {
    s.last_idle_rebuild = now;
    rebuild_report(std::exp(-idle / decay_time));
  }
  send_fragmented_packet(statistics_socket, reinterpret_cast<const uint8_t*>(s.stats.data()), s.stats.size(),
                         sender);
}
