#include "stats/table.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "common/report.h"
#include "stats/metrics.h"

const char TABLE_WAITING[] = "waiting for the first report: the repeater makes it 2 s into a stream";

namespace {

using Values = std::map<std::string, ReportValue>;

// Longer texts are cut: a forged reply must not make one cell a screen wide.
constexpr size_t MAX_CELL = 40;

// Report text as it may reach a terminal: printable ASCII only (the daemon
// writes nothing else), so that no escape sequence or line break gets
// through, and the widths below count characters right.
std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) out += c >= 0x20 && c < 0x7f ? c : '?';
  return out.size() > MAX_CELL ? out.substr(0, MAX_CELL - 3) + "..." : out;
}

// A figure of the stream (StreamFigure) or of a client (ClientFigure), as
// read back, or null when the report does not carry it.
template <class Figure>
const ReportValue* find(const Values& values, Figure f) {
  auto it = values.find(figure_key(f));
  return it == values.end() ? nullptr : &it->second;
}

// A figure as the report wrote it (checked to be a number), or "?".
template <class Figure>
std::string text_of(const Values& values, Figure f) {
  const ReportValue* v = find(values, f);
  return v ? printable(v->text) : "?";
}

template <class Figure>
std::string count_of(const Values& values, Figure f) {
  const ReportValue* v = find(values, f);
  return v ? std::to_string(v->count) : "?";
}

// "1 datagram", "2 datagrams", "? datagrams".
std::string datagrams(const Values& values, StreamFigure f) {
  const ReportValue* v = find(values, f);
  return count_of(values, f) + (v && v->count == 1 ? " datagram" : " datagrams");
}

std::string local_time(time_t t) {
  tm local{};
  char text[32] = "?";
  if (localtime_r(&t, &local)) strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
  return text;
}

// "123.45" of "123.45 kbps": the number alone, in kbit/s.
std::string kbit_of(const Values& values) {
  const ReportValue* v = find(values, StreamFigure::udp_payload);
  return v ? printable(v->text.substr(0, v->text.size() - (sizeof TOLVEK_KBPS - 1))) : "?";
}

// The lost datagrams' share of all the stream sent: received and lost.
std::string lost_share(const Values& values) {
  const ReportValue* lost = find(values, StreamFigure::frames_lost);
  const ReportValue* received = find(values, StreamFigure::frames_received);
  if (!lost || !received || static_cast<double>(lost->count) + static_cast<double>(received->count) == 0) return "";
  char text[32];
  snprintf(text, sizeof text, " (%.2f %%)", 100.0 * static_cast<double>(lost->count) /
                                                (static_cast<double>(lost->count) + static_cast<double>(received->count)));
  return text;
}

std::string plural(unsigned long long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string input_line(const Status* status) {
  return status ? table_input(*status) : "unknown: the repeater answers no get_status request";
}

std::string clients_line(const Values& s, const Status* status) {
  std::string out = count_of(s, StreamFigure::connected_clients) + " in the table";
  if (status && status->max_clients.known) out += " (at most " + std::to_string(status->max_clients.count) + ")";
  if (status && status->receiving.known) out += ", " + std::to_string(status->receiving.count) + " sent the stream";
  return out;
}

// "02005e102030" as "02:00:5e:10:20:30", the way --mac and allow_mac write it.
std::string sender_id(const Values& c) {
  std::string mac = c.at(figure_key(ClientFigure::mac)).text;
  bool hex = mac.size() == 12;
  for (char ch : mac) hex = hex && ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'));
  if (!hex) return printable(mac);
  std::string out;
  for (size_t i = 0; i < 12; i += 2) out += (i ? ":" : "") + mac.substr(i, 2);
  return out;
}

// Seconds since the client's last registration or report. The repeater
// writes the start of 1970 for one that asked to stop.
std::string last_contact(const Values& c, time_t now) {
  const ReportValue* v = find(c, ClientFigure::last_contact);
  if (!v) return "?";
  if (v->time == 0) return "asked to stop";
  long long age = static_cast<long long>(now - v->time);
  // Ahead: the clocks, or the time zones, of the two machines disagree.
  return age >= 0 ? std::to_string(age) + " s ago" : std::to_string(-age) + " s ahead";
}

// How long the client has been in the table, as [Nd ]H:MM:SS.
std::string up_for(const Values& c, time_t now) {
  const ReportValue* v = find(c, ClientFigure::up_since);
  if (!v || now < v->time) return "?";
  long long s = static_cast<long long>(now - v->time);
  char text[48];
  if (s >= 86400) {
    snprintf(text, sizeof text, "%lldd %lld:%02lld:%02lld", s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
  } else {
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  }
  return text;
}

struct Column {
  const char* heading;
  bool right;  // numbers and times line up on the right
};
const Column COLUMNS[] = {{"CLIENT", false}, {"SENDER ID", false}, {"SENT", true}, {"LAST CONTACT", true},
                          {"UP", true}};
constexpr size_t N_COLUMNS = sizeof COLUMNS / sizeof COLUMNS[0];

std::string client_rows(const std::vector<Values>& clients, time_t now) {
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back();
  for (const Column& c : COLUMNS) rows.back().push_back(c.heading);
  for (const Values& c : clients) rows.push_back(table_client_cells(c, now));
  size_t width[N_COLUMNS] = {};
  for (const auto& row : rows)
    for (size_t i = 0; i < N_COLUMNS; i++) width[i] = std::max(width[i], row[i].size());
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < N_COLUMNS; i++) {
      std::string pad(width[i] - row[i].size(), ' ');
      line += (i ? "  " : "") + (COLUMNS[i].right ? pad + row[i] : row[i] + pad);
    }
    out += line.erase(line.find_last_not_of(' ') + 1) + "\n";
  }
  return out;
}

}  // namespace

std::string table_input(const Status& s) {
  std::string out = "UDP port " + (s.input_port.known ? std::to_string(s.input_port.count) : std::string("?"));
  out += s.source.known ? " from " + printable(s.source.text) : " from any sender";
  if (s.failovers.known) out += ", " + plural(s.failovers.count, "failover", "failovers");
  if (!s.last_data_age.known) return out + ", no datagram yet";
  char age[48];
  snprintf(age, sizeof age, ", last datagram %.1f s ago", s.last_data_age.number);
  return out + age;
}

std::vector<std::string> table_client_cells(const Values& c, time_t now) {
  return {printable(c.at(figure_key(ClientFigure::ip)).text) + ":" + printable(c.at(figure_key(ClientFigure::port)).text),
          sender_id(c), count_of(c, ClientFigure::pkts_sent),
          last_contact(c, now), up_for(c, now)};
}

bool table_waiting(const Report& report) { return report.stream.empty() && !report.has_client_list; }

std::vector<std::pair<std::string, std::string>> table_head(const Report& report, const Status* status) {
  std::vector<std::pair<std::string, std::string>> out = {{"input", input_line(status)}};
  if (table_waiting(report)) return out;
  const Values& s = report.stream;
  out.push_back({"stream", text_of(s, StreamFigure::frames_sec) + " datagrams/s, " + kbit_of(s) + " kbit/s"});
  out.push_back({"received", datagrams(s, StreamFigure::frames_received) + ", " +
                                 count_of(s, StreamFigure::total_bytes) + " bytes"});
  out.push_back({"lost", datagrams(s, StreamFigure::frames_lost) + lost_share(s) + ", " +
                             text_of(s, StreamFigure::lost_frames_sec) +
                             " datagrams/s now"});
  out.push_back({"clients", clients_line(s, status)});
  return out;
}

bool table_from_report(const std::string& json, const Status* status, const std::string& repeater, time_t now,
                       std::string& out, std::string& error) {
  Report report;
  if (!report_read(json, now, report, error)) return false;
  out = "repeater  " + printable(repeater) + " at " + local_time(now) + "\n";
  for (const auto& [heading, text] : table_head(report, status))
    out += heading + std::string(10 - heading.size(), ' ') + text + "\n";
  if (table_waiting(report)) {
    out += std::string(TABLE_WAITING) + "\n";
    return true;
  }
  if (!report.clients.empty()) out += "\n" + client_rows(report.clients, now);
  return true;
}
