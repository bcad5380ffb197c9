// The statistics report read back, and as Prometheus metrics (text
// exposition format 0.0.4), for tolvek-stats. The daemon does not use this
// module.
//
// Every sample carries the label repeater="HOST:PORT" as the user named the
// repeater. A report is taken whole or not at all: a reply that is not the
// report gives tolvek_up 0 and no other figure, never a partial or stale one.
#ifndef TOLVEK_STATS_METRICS_H_
#define TOLVEK_STATS_METRICS_H_

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "common/report.h"

// The report nests three levels deep (the report, its client list, a
// client); text nested deeper than this is refused before it is parsed.
constexpr int METRICS_MAX_DEPTH = 16;

// One value of a report, checked against the shape report.h gives it.
struct ReportValue {
  std::string text;              // as the report wrote it
  double number = 0;             // a rate in kbit/s, or a number
  unsigned long long count = 0;  // a whole number
  time_t time = 0;               // a local time, as Unix seconds
};

// A report read back: the values present, by their keys in report.h. The
// clients are in the report's order, which is the repeater's table order.
struct Report {
  std::map<std::string, ReportValue> stream;
  bool has_client_list = false;
  std::vector<std::map<std::string, ReportValue>> clients;
};

// One value of the status; known is false when the status gives null or
// lacks the key.
struct StatusValue {
  bool known = false;
  std::string text;              // a text's value
  double number = 0;             // any number's value
  unsigned long long count = 0;  // a whole number's value
};

// The daemon's own state, its reply to "get_status", one member per key of
// TOLVEK_STATUS_FIGURES.
#define TOLVEK_STATUS_MEMBER(key, format, value, shape, family, metric, type, help) StatusValue key;
struct Status {
  TOLVEK_STATUS_FIGURES(TOLVEK_STATUS_MEMBER)
};
#undef TOLVEK_STATUS_MEMBER

// Reads the status whole. False, with a one-line reason in error, when the
// text nests deeper than METRICS_MAX_DEPTH, is not a JSON object, or a known
// key has a value of the wrong kind. Keys it does not know are left alone.
bool status_read(const std::string& json, Status& out, std::string& error);

// Reads the JSON report whole. False, with a one-line reason in error, when
// the text nests deeper than METRICS_MAX_DEPTH, is not JSON or a known field
// has a value of the wrong shape (a client's labels must be texts). now
// places a local time that occurs twice (see metrics_local_time).
bool report_read(const std::string& json, time_t now, Report& out, std::string& error);

// Converts the JSON report into metrics: tolvek_up 1 and
// tolvek_build_info first, then a family for each figure present. False,
// with the reason in error, when report_read refuses the text. An empty
// report ("{}", before the first datagram) gives those two alone.
bool metrics_from_report(const std::string& json, const std::string& repeater, time_t now, std::string& out,
                         std::string& error);

// The metrics of a repeater that gave no usable reply: tolvek_up 0, and
// tolvek_build_info, which is about tolvek-stats itself.
std::string metrics_down(const std::string& repeater);

// What one repeater answered: no report (null) is a repeater down, whatever
// its status; no status (null) gives no status families.
struct MetricsInput {
  std::string repeater;
  const Report* report = nullptr;
  const Status* status = nullptr;
};

// The metrics of several repeaters in one text, each family's HELP and TYPE
// once before all its samples: for each repeater what metrics_from_report
// gives, and the status families after the stream's.
std::string metrics_text(const std::vector<MetricsInput>& repeaters);

// For tests.
// A label value with backslash, double quote and line feed escaped.
std::string metrics_escape_label(const std::string& value);
// Reads "DD-MM-YYYY HH:MM:SS", a local time in the time zone of this
// process, as Unix seconds. In the hour that repeats when summer time ends
// the text names two instants: the later one is taken unless it is after
// now, so a time that recent reads right; a time in that hour read over an
// hour later may come out an hour late. A time that does not exist locally
// (skipped when summer time starts) is read as mktime places it. False when
// the text is not such a time.
bool metrics_local_time(const std::string& text, time_t now, time_t& out);

#endif  // TOLVEK_STATS_METRICS_H_
