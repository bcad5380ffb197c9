#include "stats/exporter.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "local_time.h"
#include "stats/exchange.h"

namespace {

using Exporter = InCentralEuropeanTime;

const time_t WALL = 1796650937;  // 07-12-2026 14:42:17 here
const std::string REPORT =
    "{\"frames_sec\" : \"50.0\" ,\"lost_frames_sec\" : \"0.500\",\"connected_clients\" : \"1\",\"clients\":[{\"ip\":"
    "\"127.0.0.1\",\"port\":\"5004\",\"mac\":\"000000000000\",\"last_contact\":\"07-12-2026 14:42:15\","
    "\"up_since\":\"07-12-2026 14:40:00\",\"pkts_sent\":\"7\"}]}";
const std::string STATUS = "{\"input_port\":5000,\"source\":null,\"failovers\":0,\"last_data_age\":1.0,\"max_clients\":32}";

Watched watched(const std::string& name) {
  Watched w;
  w.target.name = name;
  return w;
}

nlohmann::json page(const std::vector<Watched>& all, double now, double since = -1) {
  return nlohmann::json::parse(exporter_status_json(all, now, WALL, since));
}

}  // namespace

// The ring keeps the latest points, oldest first, and hands out those after
// a time: the page asks only for what it has not seen.
TEST_F(Exporter, HistoryKeepsTheLatestPointsInOrder) {
  History h;
  for (size_t i = 0; i < HISTORY_POINTS + 5; i++) history_add(h, {static_cast<double>(i), true, 1.0 * i, 0});
  EXPECT_EQ(h.ring.size(), HISTORY_POINTS);
  std::vector<HistoryPoint> all = history_since(h, -1);
  ASSERT_EQ(all.size(), HISTORY_POINTS);
  EXPECT_EQ(all.front().t, 5);
  EXPECT_EQ(all.back().t, HISTORY_POINTS + 4);
  std::vector<HistoryPoint> recent = history_since(h, HISTORY_POINTS + 2);
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0].t, HISTORY_POINTS + 3);
}

// The log tells a change, not every round: down once (also when it is so
// from the start), back once, and once that a repeater answers no status.
TEST_F(Exporter, StateChangesAreLoggedOnce) {
  Watched w = watched("r:1");
  const std::string lost = "tolvek-stats: no reply from r:1 within 2 s\n";
  EXPECT_EQ(watched_record(w, nullptr, nullptr, lost, 1, WALL), lost);
  EXPECT_EQ(watched_record(w, nullptr, nullptr, lost, 3, WALL), "");
  const std::string no_status =
      "tolvek-stats: r:1 answers no get_status request (an older repeater): its input, failovers, last datagram and "
      "capacity are left out\n";
  EXPECT_EQ(watched_record(w, &REPORT, nullptr, "", 5, WALL), "tolvek-stats: r:1 answers again\n" + no_status);
  EXPECT_EQ(watched_record(w, &REPORT, nullptr, "", 7, WALL), "");
  std::string bad = "[]";
  EXPECT_EQ(watched_record(w, &bad, &STATUS, "", 9, WALL),
            "tolvek-stats: the reply from r:1 is not a statistics report: not a JSON object\n");
  EXPECT_FALSE(w.up);
  EXPECT_EQ(watched_record(w, &REPORT, &STATUS, "", 11, WALL), "tolvek-stats: r:1 answers again\n");
  EXPECT_TRUE(w.has_status);
}

// What the page shows: the table view's head and rows, the stream stopped
// once the repeater tells of more than 4 s without a datagram, and how long
// as of the request, a repeater down with its reason, and only the polls'
// points after since.
TEST_F(Exporter, PageDataFollowsTheStreamAndItsHistory) {
  std::vector<Watched> all = {watched("a:1"), watched("b:1")};
  for (double t : {10.0, 12.0}) {
    all[0].exchange_polls = all[1].exchange_polls = true;
    watched_record(all[0], &REPORT, &STATUS, "", t, WALL);
    watched_record(all[1], nullptr, nullptr, "tolvek-stats: no reply from b:1 within 2 s\n", t, WALL);
  }
  all[0].exchange_polls = false;  // a scrape's round adds no point
  watched_record(all[0], &REPORT, &STATUS, "", 13, WALL);

  nlohmann::json doc = page(all, 15);
  const nlohmann::json& a = doc["repeaters"][0];
  EXPECT_EQ(a["up"], true);
  EXPECT_EQ(a["stream"], "flowing");
  EXPECT_DOUBLE_EQ(a["last_data_age"].get<double>(), 3.0);
  EXPECT_EQ(a["head"][0], nlohmann::json({"input", "UDP port 5000 from any sender, 0 failovers, last datagram 1.0 s ago"}));
  EXPECT_EQ(a["head"][4], nlohmann::json({"clients", "1 in the table (at most 32)"}));
  EXPECT_EQ(a["clients"], nlohmann::json::parse(R"([["127.0.0.1:5004","00:00:00:00:00:00","7","2 s ago","0:02:17"]])"));
  EXPECT_EQ(a["history"], nlohmann::json::parse("[[10.0,50.0,0.5],[12.0,50.0,0.5]]"));
  const std::string silent = "{\"input_port\":5000,\"last_data_age\":4.5}";
  watched_record(all[0], &REPORT, &silent, "", 14, WALL);
  EXPECT_EQ(page(all, 15)["repeaters"][0]["stream"], "stopped");
  EXPECT_DOUBLE_EQ(page(all, 15)["repeaters"][0]["last_data_age"].get<double>(), 5.5);

  const nlohmann::json& b = doc["repeaters"][1];
  EXPECT_EQ(b["up"], false);
  EXPECT_EQ(b["failure"], "no reply from b:1 within 2 s");
  EXPECT_EQ(b["history"], nlohmann::json::parse("[[10.0,null,null],[12.0,null,null]]"));
  EXPECT_EQ(page(all, 15, 10)["repeaters"][1]["history"], nlohmann::json::parse("[[12.0,null,null]]"));

  const std::string fresh = "{\"input_port\":5000,\"last_data_age\":null}", empty = "{}";
  watched_record(all[0], &empty, &fresh, "", 14, WALL);
  EXPECT_EQ(page(all, 15)["repeaters"][0]["stream"], "no datagram yet");
  EXPECT_EQ(page(all, 15)["repeaters"][0]["waiting"], true);
}

// A forged reply of 30,000 clients lacked 357 fragments: the message names a
// few and counts the rest.
TEST_F(Exporter, MissingFragmentsAreListedUpToEight) {
  EXPECT_EQ(exchange_missing_list({1, 2}), "1, 2");
  EXPECT_EQ(exchange_missing_list({0, 1, 2, 3, 4, 5, 6, 7}), "0, 1, 2, 3, 4, 5, 6, 7");
  std::vector<uint32_t> many;
  for (uint32_t i = 2; i < 359; i++) many.push_back(i);
  EXPECT_EQ(exchange_missing_list(many), "2, 3, 4, 5, 6, 7, 8, 9 and 349 more");
}
