// The statistics report's figures, each listed once with all there is to
// know of it: where and how the daemon writes it into its JSON report
// (stats.cpp), the longest text it takes, how tolvek-stats reads it back,
// which Prometheus family it becomes (metrics.cpp) and how the table view
// names it (table.cpp); and likewise the daemon's own state. Each of them
// expands the lists below with the columns it needs, so the daemon carries
// no Prometheus text. A new figure is one row here.
#ifndef TOLVEK_COMMON_REPORT_H_
#define TOLVEK_COMMON_REPORT_H_

#include <cstddef>

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

// The unit the report writes its rate in, after the number.
#define TOLVEK_KBPS " kbps"

// The stream's figures, in the order of the report.
// X(sep, key, colon, format, value, width, shape, family, metric, type, help):
//   sep, colon: the text before the key and between key and value, with the
//     report's own irregular spacing;
//   format, value: the value's printf format (its unit included) and the
//     expression of it, over `s` (the Stats), `decay` (the factor of a
//     stopped stream's rates, else 1) and `n_entries` (the table's size);
//   width: the longest text the value takes for any real stream;
//   family: the place of its family in tolvek-stats's output.
#define TOLVEK_STREAM_FIGURES(X)                                                                                    \
  X("{", udp_payload, ": ", "%.2lf" TOLVEK_KBPS, s.bps * decay / 1000, 24, kKbps, 1,                                 \
    "tolvek_payload_bytes_per_second", "gauge", "Payload bytes a second of the relayed stream, averaged over about 3 s.") \
  X(", ", total_bytes, " : ", "%llu", static_cast<unsigned long long>(s.total_bytes), 20, kCount, 4,                  \
    "tolvek_received_bytes_total", "counter", "Bytes of stream datagrams accepted from the source.")                  \
  X(" , ", frames_sec, " : ", "%.1lf", s.fps * decay, 16, kNumber, 2, "tolvek_frames_per_second", "gauge",            \
    "Datagrams a second of the stream, averaged over about 3 s.")                                                     \
  X(" ,", lost_frames_sec, " : ", "%.3lf", s.lfps * decay, 18, kNumber, 3, "tolvek_lost_frames_per_second", "gauge",  \
    "Datagrams a second missing by RTP sequence number, averaged over about 3 s.")                                    \
  X(", ", frames_received, " : ", "%llu", static_cast<unsigned long long>(s.received_frames), 20, kCount, 5,          \
    "tolvek_frames_received_total", "counter", "Stream datagrams accepted from the source.")                          \
  X(",", frames_lost, " : ", "%llu", static_cast<unsigned long long>(s.lost_frames), 20, kCount, 6,                   \
    "tolvek_frames_lost_total", "counter", "Stream datagrams missing by RTP sequence number.")                        \
  X(",", connected_clients, " : ", "%u", n_entries, 10, kCount, 7, "tolvek_connected_clients", "gauge",              \
    "Entries in the client table, whether they receive the stream now or not.")

// A client's figures, in the order of its object in the report's list:
// "key":"value", separated by commas.
// X(key, write, width, shape, family, metric, type, help):
//   write: the statement that appends the value's text to `out`, from the
//     client `c` (stats.cpp defines the append_ helpers it names);
//   width: the longest text the value takes;
//   family: the place of its family among the clients' families; labels
//     have none.
#define TOLVEK_CLIENT_FIGURES(X)                                                                                    \
  X(ip, append_address(out, c.s_addr), 15, kLabel, 0, nullptr, nullptr, nullptr)                                     \
  X(port, append_number(out, ntohs(c.sin_port)), 5, kLabel, 0, nullptr, nullptr, nullptr)                             \
  X(mac, append_mac(out, c.mac), 12, kLabel, 0, nullptr, nullptr, nullptr)                                            \
  X(last_contact, append_time(out, c.timestamp), 19, kLocalTime, 2, "tolvek_client_last_contact_timestamp_seconds",   \
    "gauge",                                                                                                          \
    "When the client last registered or reported (a permanent client that never did: the start), in Unix "         \
    "seconds; 0 after it asked to stop.")                                                                             \
  X(up_since, append_time(out, c.up_since), 19, kLocalTime, 3, "tolvek_client_up_since_timestamp_seconds", "gauge",   \
    "When the client entered the table, in Unix seconds.")                                                            \
  X(pkts_sent, append_number(out, c.rtp_packets_sent), 10, kCount, 1, "tolvek_client_packets_sent_total", "counter",  \
    "Stream datagrams sent to this client.")

// The figures by name, for code that picks one out.
#define TOLVEK_STREAM_ID(sep, key, ...) key,
#define TOLVEK_CLIENT_ID(key, ...) key,
enum class StreamFigure { TOLVEK_STREAM_FIGURES(TOLVEK_STREAM_ID) };
enum class ClientFigure { TOLVEK_CLIENT_FIGURES(TOLVEK_CLIENT_ID) };
#undef TOLVEK_STREAM_ID
#undef TOLVEK_CLIENT_ID

// A figure's key in the report.
#define TOLVEK_STREAM_KEY(sep, key, ...) #key,
#define TOLVEK_CLIENT_KEY(key, ...) #key,
constexpr const char* STREAM_KEYS[] = {TOLVEK_STREAM_FIGURES(TOLVEK_STREAM_KEY)};
constexpr const char* CLIENT_KEYS[] = {TOLVEK_CLIENT_FIGURES(TOLVEK_CLIENT_KEY)};
#undef TOLVEK_STREAM_KEY
#undef TOLVEK_CLIENT_KEY
constexpr const char* figure_key(StreamFigure f) { return STREAM_KEYS[static_cast<int>(f)]; }
constexpr const char* figure_key(ClientFigure f) { return CLIENT_KEYS[static_cast<int>(f)]; }

// The longest texts the report takes, from the lists: its head (the
// stream's figures, each with its separator, quoted key and quoted value),
// one client's object with the comma after it, and the rest of the frame
// (the client list's key and brackets, the closing brace).
#define TOLVEK_HEAD_LEN(sep, key, colon, format, value, width, ...) \
  (sizeof(sep) - 1 + sizeof(#key) + 1 + sizeof(colon) - 1 + 2 + (width)) +
#define TOLVEK_CLIENT_LEN(key, write, width, ...) (1 + sizeof(#key) + 2 + 2 + (width)) +
constexpr size_t REPORT_HEAD_MAX = TOLVEK_STREAM_FIGURES(TOLVEK_HEAD_LEN) 1;
constexpr size_t REPORT_CLIENT_MAX = TOLVEK_CLIENT_FIGURES(TOLVEK_CLIENT_LEN) 2;
constexpr size_t REPORT_FRAME_LEN = sizeof(",\"clients\":[]}") - 1;
#undef TOLVEK_HEAD_LEN
#undef TOLVEK_CLIENT_LEN

// The daemon's own state, its reply to "get_status": one JSON object of
// these keys, in this order, written by status_report() (stats.cpp).
// X(key, format, value, shape, family, metric, type, help):
//   format, value: the value's JSON text and the expression of it, over `s`
//     (the Stats) and `now`; a text value comes quoted from the expression,
//     so that an unknown one can be null;
//   key: also the name of its member in tolvek-stats's Status (metrics.h);
//   family: the place of its family among the status families, which
//     follow the stream's; 0 for none.
#define TOLVEK_STATUS_FIGURES(X)                                                                                     \
  X(version, "\"%s\"", TOLVEK_VERSION, kJsonText, 0, nullptr, nullptr, nullptr)                                        \
  X(started, "%lld", static_cast<long long>(s.started), kJsonCount, 1, "tolvek_start_time_seconds", "gauge",          \
    "When the repeater started, in Unix seconds.")                                                                    \
  X(input_port, "%u", static_cast<unsigned>(current_input_port() & 0xffff), kJsonCount, 2, "tolvek_input_port",       \
    "gauge", "The UDP port the stream is taken on now: the alternate input's after a failover.")                      \
  X(source, "%s", source, kJsonText, 0, nullptr, nullptr, nullptr)                                                    \
  X(failovers, "%lu", n_failovers, kJsonCount, 3, "tolvek_failovers_total", "counter",                                \
    "Failovers from one input to the other since the start.")                                                         \
  X(last_data_age, "%s", age, kJsonNumber, 4, "tolvek_last_data_age_seconds", "gauge",                                \
    "Seconds since the last stream datagram was accepted, when asked; absent before the first.")                      \
  X(max_clients, "%u", max_n_clients, kJsonCount, 5, "tolvek_max_clients", "gauge",                                  \
    "How many entries the client table can hold.")                                                                    \
  X(table, "%zu", clients.size(), kJsonCount, 0, nullptr, nullptr, nullptr)                                           \
  X(receiving, "%u", receiving_clients(), kJsonCount, 0, nullptr, nullptr, nullptr)

#endif  // TOLVEK_COMMON_REPORT_H_
