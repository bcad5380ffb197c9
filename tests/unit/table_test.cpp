#include "stats/table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "local_time.h"

namespace {

// Central European time, as the repeater writes its local times here.
using Table = InCentralEuropeanTime;

const time_t NOW = 1796650937;  // 07-12-2026 14:42:17 here

std::string client(const std::string& ip, const std::string& port, const std::string& mac,
                   const std::string& last_contact, const std::string& up_since, const std::string& sent) {
  return "{\"ip\":\"" + ip + "\",\"port\":\"" + port + "\",\"mac\":\"" + mac + "\",\"last_contact\":\"" +
         last_contact + "\",\"up_since\":\"" + up_since + "\",\"pkts_sent\":\"" + sent + "\"}";
}

// A report in the daemon's own layout.
std::string report(const std::string& clients, const std::string& n_clients) {
  return "{\"udp_payload\": \"256.29 kbps\", \"total_bytes\" : \"132916\" , \"frames_sec\" : \"24.3\" ,"
         "\"lost_frames_sec\" : \"0.125\", \"frames_received\" : \"1520\",\"frames_lost\" : \"80\","
         "\"connected_clients\" : \"" +
         n_clients + "\",\"clients\":[" + clients + "]}";
}

// The repeater's status, read as tolvek-stats reads it.
Status status(const std::string& json) {
  Status s;
  std::string error;
  EXPECT_TRUE(status_read(json, s, error)) << error;
  return s;
}

const char RUNNING[] =
    "{\"version\":\"2.0.5\",\"started\":1796650000,\"input_port\":5000,\"source\":\"127.0.0.1:7000\","
    "\"failovers\":1,\"last_data_age\":0.25,\"max_clients\":32,\"table\":4,\"receiving\":3}";

std::string table(const std::string& json, const Status* st = nullptr) {
  std::string out, error;
  EXPECT_TRUE(table_from_report(json, st, "dev1:5003", NOW, out, error)) << error;
  return out;
}

}  // namespace

// Rows keep the report's order, the repeater's own (10.0.0.2 before
// 10.0.0.10, as numbers), whatever their text would sort as. A client that
// asked to stop has the start of 1970 as its last contact; one whose time
// is ahead of ours tells of clocks that disagree; one heard from this second
// is 0 s ago. The status gives the input, the age of the last datagram and
// the table's capacity.
TEST_F(Table, StreamBlockAndOneAlignedRowPerClientInTheReportsOrder) {
  std::string clients = client("10.0.0.2", "7000", "02005e102030", "07-12-2026 14:42:17", "07-12-2026 14:40:00",
                               "1498") +
                        "," +
                        client("10.0.0.10", "5004", "000000000000", "04-12-2026 10:00:00", "04-12-2026 10:00:00",
                               "1520") +
                        "," +
                        client("192.168.100.200", "65535", "0a0b0c0d0e0f", "01-01-1970 01:00:00",
                               "07-12-2026 14:42:17", "0") +
                        "," +
                        client("10.0.0.11", "6000", "02005e102031", "07-12-2026 14:42:20", "07-12-2026 14:42:10",
                               "12");
  Status running = status(RUNNING);
  EXPECT_EQ(table(report(clients, "4"), &running),
            "repeater  dev1:5003 at 07-12-2026 14:42:17\n"
            "input     UDP port 5000 from 127.0.0.1:7000, 1 failover, last datagram 0.2 s ago\n"
            "stream    24.3 datagrams/s, 256.29 kbit/s\n"
            "received  1520 datagrams, 132916 bytes\n"
            "lost      80 datagrams (5.00 %), 0.125 datagrams/s now\n"
            "clients   4 in the table (at most 32), 3 sent the stream\n"
            "\n"
            "CLIENT                 SENDER ID          SENT   LAST CONTACT          UP\n"
            "10.0.0.2:7000          02:00:5e:10:20:30  1498        0 s ago     0:02:17\n"
            "10.0.0.10:5004         00:00:00:00:00:00  1520   276137 s ago  3d 4:42:17\n"
            "192.168.100.200:65535  0a:0b:0c:0d:0e:0f     0  asked to stop     0:00:00\n"
            "10.0.0.11:6000         02:00:5e:10:20:31    12      3 s ahead     0:00:07\n");
}

// The report reads "{}" until the stream's first 2 s are over: no empty
// table, but what is awaited, and what the status tells meanwhile. With no
// clients there are no column headings. An older repeater gives no status,
// and the head says what that leaves unknown.
TEST_F(Table, EmptyReportIsAwaitedAndNoClientsMakeNoRows) {
  Status idle = status("{\"input_port\":5000,\"source\":null,\"failovers\":0,\"last_data_age\":null}");
  EXPECT_EQ(table("{}", &idle), "repeater  dev1:5003 at 07-12-2026 14:42:17\n"
                                "input     UDP port 5000 from any sender, 0 failovers, no datagram yet\n" +
                                    std::string(TABLE_WAITING) + "\n");
  EXPECT_EQ(table(report("", "0")),
            "repeater  dev1:5003 at 07-12-2026 14:42:17\n"
            "input     unknown: the repeater answers no get_status request\n"
            "stream    24.3 datagrams/s, 256.29 kbit/s\n"
            "received  1520 datagrams, 132916 bytes\n"
            "lost      80 datagrams (5.00 %), 0.125 datagrams/s now\n"
            "clients   0 in the table\n");
  // No datagram lost or received: no share to give. Absent figures show as "?".
  std::string bare = table("{\"frames_received\" : \"1\",\"frames_lost\" : \"0\"}");
  EXPECT_NE(bare.find("\nreceived  1 datagram, ? bytes\nlost      0 datagrams (0.00 %), ? datagrams/s now\n"),
            std::string::npos)
      << bare;
  EXPECT_NE(table("{\"frames_lost\" : \"0\"}").find("\nlost      0 datagrams, ? datagrams/s now\n"), std::string::npos);
}

// Anyone who can answer from the repeater's address writes the labels: an
// escape sequence, a line break, DEL or a C1 control in UTF-8 must not reach
// the terminal, and a long text must not widen the table without end.
TEST_F(Table, ReportTextCannotSteerTheTerminal) {
  std::string hostile = client("\\u001b[2J\\u001b]0;owned\\u0007", "1\\n2\\u007f", "\\u00c2\\u009b31m",
                               "07-12-2026 14:42:17", "07-12-2026 14:42:17", "1") +
                        "," + client(std::string(100, 'x'), "5", "m", "07-12-2026 14:42:17", "07-12-2026 14:42:17", "2");
  Status forged = status("{\"source\":\"\\u001b[31m\\u007f\"}");
  std::string out = table(report(hostile, "2"), &forged);
  for (char c : out) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << static_cast<int>(c);
  EXPECT_NE(out.find("\n?[2J?]0;owned?:1?2? "), std::string::npos) << out;
  EXPECT_NE(out.find("\ninput     UDP port ? from ?[31m?, no datagram yet\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" ????31m "), std::string::npos) << out;
  EXPECT_NE(out.find("\n" + std::string(37, 'x') + "...:5  m "), std::string::npos) << out;
  std::string error;
  ASSERT_TRUE(table_from_report("{}", nullptr, "r\033[2J:1", NOW, out, error));
  EXPECT_EQ(out.rfind("repeater  r?[2J:1 at ", 0), 0u) << out;
}

TEST_F(Table, WhatIsNotAReportIsRefusedWithItsReason) {
  std::string out = "untouched", error;
  EXPECT_FALSE(table_from_report("{\"frames_sec\": 3}", nullptr, "r:1", NOW, out, error));
  EXPECT_EQ(error, "\"frames_sec\" is 3, not a number");
  EXPECT_FALSE(table_from_report("{\"clients\": [{\"ip\":\"a\",\"port\":\"1\"}]}", nullptr, "r:1", NOW, out, error));
  EXPECT_EQ(error, "client 1: no \"mac\" text");
  EXPECT_EQ(out, "untouched");
}
