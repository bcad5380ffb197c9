#include "stats/metrics.h"

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/report.h"
#include "common/version.h"

using nlohmann::json;

namespace {

using Shape = FigureShape;

struct Family {
  const char* field;  // in the report
  const char* name;
  const char* type;
  const char* help;
  Shape shape;
  int place;  // in the output
};

const char UP_HELP[] = "1 when the repeater answered the last statistics request with a whole report, else 0.";
// About the program that wrote the metrics, so it is there whatever the
// repeater answered; labelled with the repeater all the same, so that the
// files of several repeaters can be read together.
const char BUILD_INFO_HELP[] = "The version of tolvek-stats that wrote these metrics; always 1.";

#define FAMILY(sep, key, colon, format, value, width, shape, family, metric, type, help) \
  {#key, metric, type, help, Shape::shape, family},
const Family STREAM_FIGURES[] = {TOLVEK_STREAM_FIGURES(FAMILY)};
#undef FAMILY
#define FAMILY(key, write, width, shape, family, metric, type, help) {#key, metric, type, help, Shape::shape, family},
const Family CLIENT_FIGURES[] = {TOLVEK_CLIENT_FIGURES(FAMILY)};
#undef FAMILY

struct StatusFamily {
  const char* field;
  const char* name;
  const char* type;
  const char* help;
  Shape shape;
  int place;
  StatusValue Status::*member;
};

#define FAMILY(key, format, value, shape, family, metric, type, help) \
  {#key, metric, type, help, Shape::shape, family, &Status::key},
const StatusFamily STATUS_FIGURES[] = {TOLVEK_STATUS_FIGURES(FAMILY)};
#undef FAMILY

// The figures of a list that make families, in the order of the output.
std::vector<const Family*> families_of(const Family* figures, size_t n) {
  std::vector<const Family*> out;
  for (size_t i = 0; i < n; i++)
    if (figures[i].shape != Shape::kLabel) out.push_back(&figures[i]);
  std::sort(out.begin(), out.end(), [](const Family* a, const Family* b) { return a->place < b->place; });
  return out;
}

// The status figures that make families, in the order of the output.
std::vector<const StatusFamily*> status_families() {
  std::vector<const StatusFamily*> out;
  for (const StatusFamily& f : STATUS_FIGURES)
    if (f.place > 0) out.push_back(&f);
  std::sort(out.begin(), out.end(), [](const StatusFamily* a, const StatusFamily* b) { return a->place < b->place; });
  return out;
}

// A value quoted as JSON, cut short: error messages stay one line.
std::string quoted(const json& value) {
  std::string text = value.dump();
  return text.size() > 60 ? text.substr(0, 57) + "..." : text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether no array or object in text lies more than limit levels deep,
// brackets inside strings aside. The library builds and destroys values
// without recursing, but printing one (as quoted() does) recurses once a
// level: a forged reply nested a hundred thousand deep would overflow the
// stack. For text that is JSON the count is exact; text that is not is
// refused by the parser anyway.
bool nested_within(const std::string& text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        i++;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return true;
}

// [-]digits[.digits], all of the text.
bool read_decimal(const std::string& text, double& out) {
  size_t i = text[0] == '-' ? 1 : 0, digits = 0;
  while (i < text.size() && is_digit(text[i])) i++, digits++;
  if (i < text.size() && text[i] == '.') {
    for (i++; i < text.size() && is_digit(text[i]);) i++, digits++;
  }
  if (digits == 0 || i != text.size()) return false;
  out = strtod(text.c_str(), nullptr);
  return std::isfinite(out);
}

bool read_count(const std::string& text, unsigned long long& out) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (!is_digit(c)) return false;
  errno = 0;
  out = strtoull(text.c_str(), nullptr, 10);
  return errno != ERANGE;
}

// Reads one report value of the given shape into out, or false.
bool read_value(const std::string& text, Shape shape, time_t now, ReportValue& out) {
  out.text = text;
  switch (shape) {
    case Shape::kKbps: {
      const std::string unit = TOLVEK_KBPS;
      return text.size() > unit.size() && text.compare(text.size() - unit.size(), unit.size(), unit) == 0 &&
             read_decimal(text.substr(0, text.size() - unit.size()), out.number);
    }
    case Shape::kNumber:
      return !text.empty() && read_decimal(text, out.number);
    case Shape::kCount:
      return read_count(text, out.count);
    case Shape::kLocalTime:
      return metrics_local_time(text, now, out.time);
    case Shape::kLabel:
      return true;
    case Shape::kJsonCount:
    case Shape::kJsonNumber:
    case Shape::kJsonText:
      break;  // the status's values are JSON values, not texts
  }
  return false;
}

// The sample of a value read as shape.
std::string sample_value(const ReportValue& v, Shape shape) {
  char buf[64] = "";
  switch (shape) {
    case Shape::kKbps:
      snprintf(buf, sizeof buf, "%.15g", v.number * 1000 / 8);
      break;
    case Shape::kNumber:
      snprintf(buf, sizeof buf, "%.15g", v.number);
      break;
    case Shape::kCount:
      snprintf(buf, sizeof buf, "%llu", v.count);
      break;
    case Shape::kLocalTime:
      snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.time));
      break;
    case Shape::kLabel:
    case Shape::kJsonCount:
    case Shape::kJsonNumber:
    case Shape::kJsonText:
      break;  // no sample, or not of a report
  }
  return buf;
}

const char* shape_name(Shape shape) {
  switch (shape) {
    case Shape::kKbps:
      return "a rate in kbps";
    case Shape::kNumber:
      return "a number";
    case Shape::kCount:
      return "a whole number";
    case Shape::kLocalTime:
      return "a time DD-MM-YYYY HH:MM:SS";
    case Shape::kLabel:
      return "a text";
    case Shape::kJsonCount:
      return "a whole number or null";
    case Shape::kJsonNumber:
      return "a number or null";
    case Shape::kJsonText:
      return "a text or null";
  }
  return "";
}

void add_family_head(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void add_sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
  out += std::string(name) + "{" + labels + "} " + value + "\n";
}

// Reads field f of object into values. False with error set when it is
// there with the wrong shape; true, adding nothing, when it is absent.
bool read_figure(const json& object, const Family& f, time_t now, std::map<std::string, ReportValue>& values,
                 std::string& error) {
  auto it = object.find(f.field);
  if (it == object.end()) return true;
  ReportValue v;
  if (!it->is_string() || !read_value(it->get_ref<const std::string&>(), f.shape, now, v)) {
    error = std::string("\"") + f.field + "\" is " + quoted(*it) + ", not " + shape_name(f.shape);
    return false;
  }
  values[f.field] = v;
  return true;
}

// A client's labels (texts) and figures, each checked.
bool read_client(const json& client, time_t now, std::map<std::string, ReportValue>& values, std::string& error) {
  if (!client.is_object()) {
    error = "not a JSON object";
    return false;
  }
  for (const Family& label : CLIENT_FIGURES) {
    if (label.shape != Shape::kLabel) continue;
    auto it = client.find(label.field);
    if (it == client.end() || !it->is_string()) {
      error = std::string("no \"") + label.field + "\" text";
      return false;
    }
    values[label.field].text = it->get_ref<const std::string&>();
  }
  for (const Family* f : families_of(CLIENT_FIGURES, std::size(CLIENT_FIGURES)))
    if (!read_figure(client, *f, now, values, error)) return false;
  return true;
}

}  // namespace

std::string metrics_escape_label(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

bool metrics_local_time(const std::string& text, time_t now, time_t& out) {
  // Exactly the daemon's "%d-%m-%Y %H:%M:%S".
  const char pattern[] = "00-00-0000 00:00:00";
  if (text.size() != sizeof pattern - 1) return false;
  for (size_t i = 0; i < text.size(); i++)
    if (pattern[i] == '0' ? !is_digit(text[i]) : text[i] != pattern[i]) return false;
  auto num = [&](size_t at, size_t n) { return atoi(text.substr(at, n).c_str()); };
  tm wanted{};
  wanted.tm_mday = num(0, 2);
  wanted.tm_mon = num(3, 2) - 1;
  wanted.tm_year = num(6, 4) - 1900;
  wanted.tm_hour = num(11, 2);
  wanted.tm_min = num(14, 2);
  wanted.tm_sec = num(17, 2);
  static const int DAYS[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = wanted.tm_year + 1900;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (wanted.tm_mon < 0 || wanted.tm_mon > 11 || wanted.tm_mday < 1 || wanted.tm_mday > DAYS[wanted.tm_mon] ||
      (wanted.tm_mon == 1 && wanted.tm_mday == 29 && !leap) || wanted.tm_hour > 23 || wanted.tm_min > 59 ||
      wanted.tm_sec > 60)
    return false;
  // Ask for the time as standard time and as summer time; each answer that
  // reads back as the same local time is an instant the text may name.
  std::vector<time_t> found;
  for (int dst : {0, 1}) {
    tm t = wanted;
    t.tm_isdst = dst;
    time_t candidate = mktime(&t);
    tm back{};
    if (!localtime_r(&candidate, &back)) continue;
    if (back.tm_year == wanted.tm_year && back.tm_mon == wanted.tm_mon && back.tm_mday == wanted.tm_mday &&
        back.tm_hour == wanted.tm_hour && back.tm_min == wanted.tm_min && back.tm_sec == wanted.tm_sec &&
        (found.empty() || found[0] != candidate))
      found.push_back(candidate);
  }
  if (found.empty()) {
    tm t = wanted;
    t.tm_isdst = -1;
    out = mktime(&t);
    return true;
  }
  if (found.size() == 2 && found[0] > found[1]) std::swap(found[0], found[1]);
  out = found.size() == 2 && found[1] <= now ? found[1] : found[0];
  return true;
}

bool report_read(const std::string& text, time_t now, Report& out, std::string& error) {
  if (!nested_within(text, METRICS_MAX_DEPTH)) {
    error = "nested deeper than " + std::to_string(METRICS_MAX_DEPTH) + " levels";
    return false;
  }
  json report;
  try {
    report = json::parse(text);
  } catch (const json::parse_error& e) {
    // e.byte counts from 1; one past the end means the text stopped short.
    error = e.byte > text.size() ? "not JSON (ends unfinished after " + std::to_string(text.size()) + " bytes)"
                                 : "not JSON (at byte " + std::to_string(e.byte) + ")";
    return false;
  }
  if (!report.is_object()) {
    error = "not a JSON object";
    return false;
  }
  Report r;
  for (const Family* f : families_of(STREAM_FIGURES, std::size(STREAM_FIGURES)))
    if (!read_figure(report, *f, now, r.stream, error)) return false;
  auto list = report.find("clients");
  if (list != report.end()) {
    if (!list->is_array()) {
      error = "\"clients\" is " + quoted(*list) + ", not a list";
      return false;
    }
    r.has_client_list = true;
    for (size_t n = 0; n < list->size(); n++) {
      r.clients.emplace_back();
      if (!read_client((*list)[n], now, r.clients.back(), error)) {
        error = "client " + std::to_string(n + 1) + ": " + error;
        return false;
      }
    }
  }
  out = std::move(r);
  return true;
}

bool status_read(const std::string& text, Status& out, std::string& error) {
  if (!nested_within(text, METRICS_MAX_DEPTH)) {
    error = "nested deeper than " + std::to_string(METRICS_MAX_DEPTH) + " levels";
    return false;
  }
  json status = json::parse(text, nullptr, false);
  if (status.is_discarded() || !status.is_object()) {
    error = "not a JSON object";
    return false;
  }
  Status st;
  for (const StatusFamily& f : STATUS_FIGURES) {
    auto it = status.find(f.field);
    if (it == status.end() || it->is_null()) continue;
    StatusValue& v = st.*f.member;
    if (f.shape == Shape::kJsonText && it->is_string()) {
      v.text = it->get<std::string>();
    } else if (f.shape == Shape::kJsonCount && it->is_number_unsigned()) {
      v.count = it->get<unsigned long long>();
      v.number = static_cast<double>(v.count);
    } else if (f.shape == Shape::kJsonNumber && it->is_number() && std::isfinite(it->get<double>())) {
      v.number = it->get<double>();
    } else {
      error = std::string("\"") + f.field + "\" is " + quoted(*it) + ", not " + shape_name(f.shape);
      return false;
    }
    v.known = true;
  }
  out = std::move(st);
  return true;
}

namespace {

// One family of the output and its samples, gathered over every repeater.
struct Gathered {
  const char* name;
  const char* type;
  const char* help;
  std::string samples;
};

// Every family in the order of the output: up, build info, the stream's,
// the status's, then the clients'.
std::vector<Gathered> all_families() {
  std::vector<Gathered> out = {{"tolvek_up", "gauge", UP_HELP, ""},
                               {"tolvek_build_info", "gauge", BUILD_INFO_HELP, ""}};
  for (const Family* f : families_of(STREAM_FIGURES, std::size(STREAM_FIGURES)))
    out.push_back({f->name, f->type, f->help, ""});
  for (const StatusFamily* f : status_families()) out.push_back({f->name, f->type, f->help, ""});
  for (const Family* f : families_of(CLIENT_FIGURES, std::size(CLIENT_FIGURES)))
    out.push_back({f->name, f->type, f->help, ""});
  return out;
}

std::string status_sample(const StatusValue& v, Shape shape) {
  char buf[64];
  if (shape == Shape::kJsonCount) {
    snprintf(buf, sizeof buf, "%llu", v.count);
  } else {
    snprintf(buf, sizeof buf, "%.15g", v.number);
  }
  return buf;
}

// Adds one repeater's samples to their families, which all_families() ordered.
void gather(const MetricsInput& in, std::vector<Gathered>& families) {
  const std::string repeater_label = "repeater=\"" + metrics_escape_label(in.repeater) + "\"";
  size_t at = 0;
  add_sample(families[at++].samples, "tolvek_up", repeater_label, in.report ? "1" : "0");
  add_sample(families[at++].samples, "tolvek_build_info",
             repeater_label + ",version=\"" + metrics_escape_label(TOLVEK_VERSION) + "\"", "1");
  if (!in.report) return;
  const Report& report = *in.report;
  for (const Family* f : families_of(STREAM_FIGURES, std::size(STREAM_FIGURES))) {
    Gathered& g = families[at++];
    auto it = report.stream.find(f->field);
    if (it != report.stream.end()) add_sample(g.samples, f->name, repeater_label, sample_value(it->second, f->shape));
  }
  for (const StatusFamily* f : status_families()) {
    Gathered& g = families[at++];
    if (in.status && (in.status->*f->member).known)
      add_sample(g.samples, f->name, repeater_label, status_sample(in.status->*f->member, f->shape));
  }
  std::vector<std::string> labels;
  for (const auto& client : report.clients) {
    std::string l = repeater_label;
    for (const Family& label : CLIENT_FIGURES)
      if (label.shape == Shape::kLabel)
        l += std::string(",") + label.field + "=\"" + metrics_escape_label(client.at(label.field).text) + "\"";
    labels.push_back(l);
  }
  for (const Family* f : families_of(CLIENT_FIGURES, std::size(CLIENT_FIGURES))) {
    Gathered& g = families[at++];
    for (size_t n = 0; n < report.clients.size(); n++) {
      auto it = report.clients[n].find(f->field);
      if (it != report.clients[n].end()) add_sample(g.samples, f->name, labels[n], sample_value(it->second, f->shape));
    }
  }
}

}  // namespace

std::string metrics_text(const std::vector<MetricsInput>& repeaters) {
  std::vector<Gathered> families = all_families();
  for (const MetricsInput& in : repeaters) gather(in, families);
  std::string out;
  for (const Gathered& g : families) {
    if (g.samples.empty()) continue;
    add_family_head(out, g.name, g.type, g.help);
    out += g.samples;
  }
  return out;
}

std::string metrics_down(const std::string& repeater) { return metrics_text({{repeater, nullptr, nullptr}}); }

bool metrics_from_report(const std::string& text, const std::string& repeater, time_t now, std::string& out,
                         std::string& error) {
  Report report;
  if (!report_read(text, now, report, error)) return false;
  out = metrics_text({{repeater, &report, nullptr}});
  return true;
}
