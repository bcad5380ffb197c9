// The statistics report's figures, each listed once with all there is to
// know of it: where and how the daemon writes it into its JSON report
// (stats.cpp), and how tolvek-stats reads it back and which Prometheus family
// it becomes (metrics.cpp); and likewise the daemon's own state. Each of them expands the lists below with the
// columns it needs, so the daemon carries no Prometheus text. A new figure is
// one row here.
#ifndef TOLVEK_REPORT_H_
#define TOLVEK_REPORT_H_

// How tolvek-stats reads a value of the report back.
enum class FigureShape {
  kKbps,       // "12.34 kbps": the family is in bytes a second, the base unit
  kNumber,     // "12.3"
  kCount,      // "123", a whole number
  kLocalTime,  // "DD-MM-YYYY HH:MM:SS" in the repeater's local time: Unix seconds
  kLabel,      // a client's label (ip, port, mac), not a family of its own
  // The status's values are JSON values, not texts; null or absent: unknown.
  kJsonCount,   // a whole JSON number, not negative
  kJsonNumber,  // any JSON number
  kJsonText,    // a JSON string, not a family of its own
};

// The stream's figures, in the order of the report.
// X(sep, key, colon, format, value, shape, family, metric, type, help):
//   sep, colon: the text before the key and between key and value, with the
//     report's own irregular spacing;
//   format, value: the value's printf format (its unit included) and the
//     expression of it, over `s` (the Stats), `decay` (the factor of a
//     stopped stream's rates, else 1) and `n_entries` (the table's size);
//   family: the place of its family in tolvek-stats's output.
#define TOLVEK_STREAM_FIGURES(X)                                                                                  \
  X("{", "udp_payload", ": ", "%.2lf kbps", s.bps * decay / 1000, kKbps, 1, "tolvek_payload_bytes_per_second",     \
    "gauge", "Payload bytes a second of the relayed stream, averaged over about 3 s.")                              \
  X(", ", "total_bytes", " : ", "%llu", static_cast<unsigned long long>(s.total_bytes), kCount, 4,                  \
    "tolvek_received_bytes_total", "counter", "Bytes of stream datagrams accepted from the source.")                \
  X(" , ", "frames_sec", " : ", "%.1lf", s.fps * decay, kNumber, 2, "tolvek_frames_per_second", "gauge",            \
    "Datagrams a second of the stream, averaged over about 3 s.")                                                   \
  X(" ,", "lost_frames_sec", " : ", "%.3lf", s.lfps * decay, kNumber, 3, "tolvek_lost_frames_per_second", "gauge", \
    "Datagrams a second missing by RTP sequence number, averaged over about 3 s.")                                  \
  X(", ", "frames_received", " : ", "%llu", static_cast<unsigned long long>(s.received_frames), kCount, 5,          \
    "tolvek_frames_received_total", "counter", "Stream datagrams accepted from the source.")                        \
  X(",", "frames_lost", " : ", "%llu", static_cast<unsigned long long>(s.lost_frames), kCount, 6,                   \
    "tolvek_frames_lost_total", "counter", "Stream datagrams missing by RTP sequence number.")                      \
  X(",", "connected_clients", " : ", "%u", n_entries, kCount, 7, "tolvek_connected_clients", "gauge",              \
    "Entries in the client table, whether they receive the stream now or not.")

// A client's figures, in the order of its object in the report's list:
// "key":"value", separated by commas.
// X(key, write, shape, family, metric, type, help):
//   write: the statement that appends the value's text to `out`, from the
//     client `c` (stats.cpp defines the append_ helpers it names);
//   family: the place of its family among the clients' families; labels
//     have none.
#define TOLVEK_CLIENT_FIGURES(X)                                                                                 \
  X("ip", append_address(out, c.s_addr), kLabel, 0, nullptr, nullptr, nullptr)                                     \
  X("port", append_number(out, ntohs(c.sin_port)), kLabel, 0, nullptr, nullptr, nullptr)                            \
  X("mac", append_mac(out, c.mac), kLabel, 0, nullptr, nullptr, nullptr)                                            \
  X("last_contact", append_time(out, c.timestamp), kLocalTime, 2, "tolvek_client_last_contact_timestamp_seconds",  \
    "gauge",                                                                                                        \
    "When the client last registered or reported (a permanent client that never did: the start), in Unix "       \
    "seconds; 0 after it asked to stop.")                                                                           \
  X("up_since", append_time(out, c.up_since), kLocalTime, 3, "tolvek_client_up_since_timestamp_seconds", "gauge",  \
    "When the client entered the table, in Unix seconds.")                                                          \
  X("pkts_sent", append_number(out, c.rtp_packets_sent), kCount, 1, "tolvek_client_packets_sent_total", "counter", \
    "Stream datagrams sent to this client.")

// The daemon's own state, its reply to "get_status": one JSON object of
// these keys, in this order, written by status_report() (stats.cpp).
// X(key, shape, family, metric, type, help):
//   key: also the name of its member in tolvek-stats's Status (metrics.h);
//   family: the place of its family among the status families, which
//     follow the stream's; 0 for none.
#define TOLVEK_STATUS_FIGURES(X)                                                                                    \
  X(version, kJsonText, 0, nullptr, nullptr, nullptr)                                                                \
  X(started, kJsonCount, 1, "tolvek_start_time_seconds", "gauge", "When the repeater started, in Unix seconds.")    \
  X(input_port, kJsonCount, 2, "tolvek_input_port", "gauge",                                                         \
    "The UDP port the stream is taken on now: the alternate input's after a failover.")                             \
  X(source, kJsonText, 0, nullptr, nullptr, nullptr)                                                                 \
  X(failovers, kJsonCount, 3, "tolvek_failovers_total", "counter",                                                   \
    "Failovers from one input to the other since the start.")                                                       \
  X(last_data_age, kJsonNumber, 4, "tolvek_last_data_age_seconds", "gauge",                                          \
    "Seconds since the last stream datagram was accepted, when asked; absent before the first.")                    \
  X(max_clients, kJsonCount, 5, "tolvek_max_clients", "gauge", "How many entries the client table can hold.")       \
  X(table, kJsonCount, 0, nullptr, nullptr, nullptr)                                                                 \
  X(receiving, kJsonCount, 0, nullptr, nullptr, nullptr)

#endif  // TOLVEK_REPORT_H_
