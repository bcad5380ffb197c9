#include "stats/metrics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/version.h"
#include "local_time.h"

namespace {

using Metrics = InCentralEuropeanTime;

const time_t NOW = 1796650937;  // 07-12-2026 14:42:17 here

std::string convert(const std::string& report) {
  std::string out, error;
  EXPECT_TRUE(metrics_from_report(report, "dev1:5003", NOW, out, error)) << error;
  return out;
}

// The sample about tolvek-stats itself, for the repeater labelled r.
std::string build_info(const std::string& r) {
  return "tolvek_build_info{" + r + ",version=\"" TOLVEK_VERSION "\"} 1";
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The samples, without HELP and TYPE lines.
std::vector<std::string> samples(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    if (text[at] != '#') out.push_back(text.substr(at, end - at));
  return out;
}

}  // namespace

TEST_F(Metrics, ReportBecomesSamplesInBaseUnits) {
  std::string out = convert(
      "{\"udp_payload\": \"256.29 kbps\", \"total_bytes\" : \"132916\" , \"frames_sec\" : \"24.3\" ,"
      "\"lost_frames_sec\" : \"0.125\", \"frames_received\" : \"18446744073709551615\",\"frames_lost\" : \"7\","
      "\"connected_clients\" : \"2\",\"clients\":["
      "{\"ip\":\"10.0.0.7\",\"port\":\"6000\",\"mac\":\"02005e102030\",\"last_contact\":\"01-07-2026 12:00:00\","
      "\"up_since\":\"15-01-2026 12:00:00\",\"pkts_sent\":\"101\"},"
      "{\"ip\":\"10.0.0.8\",\"port\":\"6000\",\"mac\":\"000000000000\",\"last_contact\":\"01-01-1970 01:00:00\","
      "\"up_since\":\"15-01-2026 12:00:00\",\"pkts_sent\":\"0\"}]}");
  const std::string r = "repeater=\"dev1:5003\"";
  const std::string c1 = r + ",ip=\"10.0.0.7\",port=\"6000\",mac=\"02005e102030\"";
  const std::string c2 = r + ",ip=\"10.0.0.8\",port=\"6000\",mac=\"000000000000\"";
  EXPECT_EQ(samples(out), (std::vector<std::string>{
                              "tolvek_up{" + r + "} 1",
                              build_info(r),
                              "tolvek_payload_bytes_per_second{" + r + "} 32036.25",
                              "tolvek_frames_per_second{" + r + "} 24.3",
                              "tolvek_lost_frames_per_second{" + r + "} 0.125",
                              "tolvek_received_bytes_total{" + r + "} 132916",
                              "tolvek_frames_received_total{" + r + "} 18446744073709551615",
                              "tolvek_frames_lost_total{" + r + "} 7",
                              "tolvek_connected_clients{" + r + "} 2",
                              "tolvek_client_packets_sent_total{" + c1 + "} 101",
                              "tolvek_client_packets_sent_total{" + c2 + "} 0",
                              // Summer time, winter time, and the epoch of a client that asked to stop.
                              "tolvek_client_last_contact_timestamp_seconds{" + c1 + "} 1782900000",
                              "tolvek_client_last_contact_timestamp_seconds{" + c2 + "} 0",
                              "tolvek_client_up_since_timestamp_seconds{" + c1 + "} 1768474800",
                              "tolvek_client_up_since_timestamp_seconds{" + c2 + "} 1768474800",
                          }))
      << out;
  // Each family's HELP and TYPE lines come right before its samples.
  EXPECT_NE(out.find("# HELP tolvek_frames_lost_total Stream datagrams missing by RTP sequence number.\n"
                     "# TYPE tolvek_frames_lost_total counter\ntolvek_frames_lost_total{"),
            std::string::npos);
  EXPECT_TRUE(has_line(out, "# TYPE tolvek_connected_clients gauge"));
  EXPECT_NE(out.find("# HELP tolvek_build_info The version of tolvek-stats that wrote these metrics; always 1.\n"
                     "# TYPE tolvek_build_info gauge\ntolvek_build_info{"),
            std::string::npos);
  EXPECT_TRUE(has_line(out, "# TYPE tolvek_client_last_contact_timestamp_seconds gauge"));
}

// The version is about tolvek-stats, so it is there whatever the repeater
// answered, as exporters have it.
TEST_F(Metrics, EmptyReportAndDownRepeaterAreUpAndBuildInfoAlone) {
  EXPECT_EQ(samples(convert("{}")), (std::vector<std::string>{"tolvek_up{repeater=\"dev1:5003\"} 1",
                                                              build_info("repeater=\"dev1:5003\"")}));
  std::string down = metrics_down("a\"b");
  EXPECT_EQ(samples(down),
            (std::vector<std::string>{"tolvek_up{repeater=\"a\\\"b\"} 0", build_info("repeater=\"a\\\"b\"")}));
  EXPECT_TRUE(has_line(down, "# TYPE tolvek_up gauge"));
  EXPECT_TRUE(has_line(down, "# TYPE tolvek_build_info gauge"));
}

TEST_F(Metrics, LabelValuesAreEscaped) {
  EXPECT_EQ(metrics_escape_label("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");
  std::string out =
      convert("{\"clients\":[{\"ip\":\"1\\n2\",\"port\":\"\\\"\",\"mac\":\"\\\\\",\"pkts_sent\":\"1\"}]}");
  EXPECT_TRUE(has_line(
      out, "tolvek_client_packets_sent_total{repeater=\"dev1:5003\",ip=\"1\\n2\",port=\"\\\"\",mac=\"\\\\\"} 1"))
      << out;
}

TEST_F(Metrics, UnusableRepliesAreRefusedWhole) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"{\"udp_payload\": \"1", "not JSON (ends unfinished after 18 bytes)"},
      {"{\"a\": \"1\"} x", "not JSON (at byte 12)"},
      {std::string(3000, 'x'), "not JSON (at byte 1)"},
      {"[]", "not a JSON object"},
      {"{\"frames_sec\": 3}", "\"frames_sec\" is 3, not a number"},
      {"{\"frames_sec\": \"nan\"}", "\"frames_sec\" is \"nan\", not a number"},
      {"{\"udp_payload\": \"12 Mbps\"}", "\"udp_payload\" is \"12 Mbps\", not a rate in kbps"},
      {"{\"total_bytes\": \"-1\"}", "\"total_bytes\" is \"-1\", not a whole number"},
      {"{\"total_bytes\": \"18446744073709551616\"}",
       "\"total_bytes\" is \"18446744073709551616\", not a whole number"},
      {"{\"clients\": {}}", "\"clients\" is {}, not a list"},
      {"{\"clients\": [{\"ip\":\"a\",\"port\":\"1\"}]}", "client 1: no \"mac\" text"},
      {"{\"clients\": [{\"ip\":\"a\",\"port\":\"1\",\"mac\":\"m\",\"up_since\":\"31-02-2026 00:00:00\"}]}",
       "client 1: \"up_since\" is \"31-02-2026 00:00:00\", not a time DD-MM-YYYY HH:MM:SS"},
  };
  for (const auto& [report, reason] : bad) {
    std::string out = "untouched", error;
    EXPECT_FALSE(metrics_from_report(report, "r:1", NOW, out, error)) << report;
    EXPECT_EQ(error, reason) << report;
    EXPECT_EQ(out, "untouched");
  }
}

TEST_F(Metrics, LocalTimesAndTheRepeatedHour) {
  time_t t = -1;
  const time_t first = 1792888200;     // 25-10-2026 02:30:00 summer time
  const time_t second = first + 3600;  // the same local time an hour later, in winter time
  EXPECT_TRUE(metrics_local_time("25-10-2026 02:30:00", first + 600, t));
  EXPECT_EQ(t, first);
  EXPECT_TRUE(metrics_local_time("25-10-2026 02:30:00", second + 600, t));
  EXPECT_EQ(t, second);
  EXPECT_TRUE(metrics_local_time("25-10-2026 03:30:00", second + 600, t));
  EXPECT_EQ(t, second + 3600);
  for (const char* text : {"25-10-2026 2:30:00", "25/10/2026 02:30:00", "29-02-2026 00:00:00", "25-13-2026 00:00:00",
                           "25-10-2026 24:00:00", "25-10-2026 02:30:00 ", ""})
    EXPECT_FALSE(metrics_local_time(text, NOW, t)) << text;
  EXPECT_TRUE(metrics_local_time("29-02-2028 00:00:00", NOW, t));
}

// A forged reply nested far deeper than any report is refused before the
// parser sees it: printing such a value for the error would overflow the
// stack. Brackets inside strings are text, not nesting.
TEST_F(Metrics, DeeplyNestedRepliesAreRefusedWithoutCrashing) {
  auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"frames_sec\": " + nested(100000) + "}", "nested deeper than 16 levels"},
      {"{\"frames_sec\": " + nested(16) + "}", "nested deeper than 16 levels"},
      {"{\"frames_sec\": " + nested(15) + "}", "\"frames_sec\" is " + nested(15) + ", not a number"},
      // An escaped quote does not end the string.
      {"{\"frames_sec\": \"\\\"" + nested(100000) + "\"}",
       "\"frames_sec\" is \"\\\"" + std::string(54, '[') + "..., not a number"},
  };
  for (const auto& [report, reason] : cases) {
    std::string out = "untouched", error;
    EXPECT_FALSE(metrics_from_report(report, "r:1", NOW, out, error)) << report.substr(0, 40);
    EXPECT_EQ(error, reason);
    EXPECT_EQ(out, "untouched");
  }
  EXPECT_EQ(samples(convert("{\"clients\":[{\"ip\":\"" + nested(40) + "\",\"port\":\"{{\",\"mac\":\"]]\"}]}")),
            (std::vector<std::string>{"tolvek_up{repeater=\"dev1:5003\"} 1", build_info("repeater=\"dev1:5003\"")}));
}

// Several repeaters in one text: each family's HELP and TYPE once, before
// the samples of all; the status families after the stream's. No age before
// the first datagram, and none of a repeater without a status or down.
TEST_F(Metrics, StatusFamiliesAndSeveralRepeatersInOneText) {
  Report flowing, empty;
  Status running, fresh;
  std::string error;
  ASSERT_TRUE(report_read("{\"frames_sec\" : \"50.0\",\"clients\":[{\"ip\":\"10.0.0.7\",\"port\":\"6000\",\"mac\":"
                          "\"000000000000\",\"pkts_sent\":\"9\"}]}",
                          NOW, flowing, error));
  ASSERT_TRUE(report_read("{}", NOW, empty, error));
  ASSERT_TRUE(status_read("{\"version\":\"2.0.5\",\"started\":1700000000,\"input_port\":5001,\"source\":\"127.0.0.1:"
                          "7000\",\"failovers\":3,\"last_data_age\":2.500,\"max_clients\":32,\"table\":1,\"receiving\":1,"
                          "\"later\":[1]}",
                          running, error))
      << error;
  ASSERT_TRUE(status_read("{\"started\":1700000100,\"input_port\":5000,\"source\":null,\"failovers\":0,"
                          "\"last_data_age\":null,\"max_clients\":256}",
                          fresh, error));
  std::string out = metrics_text({{"a:1", &flowing, &running}, {"b:1", nullptr, &running}, {"c:1", &empty, &fresh},
                                  {"d:1", &empty, nullptr}});
  const std::string a = "repeater=\"a:1\"", b = "repeater=\"b:1\"", c = "repeater=\"c:1\"", d = "repeater=\"d:1\"";
  EXPECT_EQ(samples(out), (std::vector<std::string>{
                              "tolvek_up{" + a + "} 1", "tolvek_up{" + b + "} 0", "tolvek_up{" + c + "} 1",
                              "tolvek_up{" + d + "} 1", build_info(a), build_info(b), build_info(c), build_info(d),
                              "tolvek_frames_per_second{" + a + "} 50",
                              "tolvek_start_time_seconds{" + a + "} 1700000000",
                              "tolvek_start_time_seconds{" + c + "} 1700000100",
                              "tolvek_input_port{" + a + "} 5001", "tolvek_input_port{" + c + "} 5000",
                              "tolvek_failovers_total{" + a + "} 3", "tolvek_failovers_total{" + c + "} 0",
                              "tolvek_last_data_age_seconds{" + a + "} 2.5",
                              "tolvek_max_clients{" + a + "} 32", "tolvek_max_clients{" + c + "} 256",
                              "tolvek_client_packets_sent_total{" + a + ",ip=\"10.0.0.7\",port=\"6000\",mac=\"000000000000\"} 9",
                          }))
      << out;
  EXPECT_EQ(out.find("# HELP tolvek_up "), out.rfind("# HELP tolvek_up "));
  EXPECT_NE(out.find("# HELP tolvek_failovers_total Failovers from one input to the other since the start.\n"
                     "# TYPE tolvek_failovers_total counter\ntolvek_failovers_total{"),
            std::string::npos);
  EXPECT_TRUE(has_line(out, "# TYPE tolvek_last_data_age_seconds gauge"));
}

TEST_F(Metrics, UnusableStatusIsRefusedWhole) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"{\"input_port\": 5000", "not a JSON object"},
      {"[]", "not a JSON object"},
      {"{\"input_port\": \"5000\"}", "\"input_port\" is \"5000\", not a whole number or null"},
      {"{\"failovers\": -1}", "\"failovers\" is -1, not a whole number or null"},
      {"{\"max_clients\": 1.5}", "\"max_clients\" is 1.5, not a whole number or null"},
      {"{\"last_data_age\": \"2\"}", "\"last_data_age\" is \"2\", not a number or null"},
      {"{\"source\": 7}", "\"source\" is 7, not a text or null"},
      {"{\"source\": " + std::string(20, '[') + std::string(20, ']') + "}", "nested deeper than 16 levels"},
  };
  for (const auto& [text, reason] : bad) {
    Status s;
    s.input_port.known = true;
    std::string error;
    EXPECT_FALSE(status_read(text, s, error)) << text;
    EXPECT_EQ(error, reason) << text;
    EXPECT_TRUE(s.input_port.known) << "left as it was: " << text;
  }
}
