#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

struct StatsRepeater {
  uint16_t in_port = free_port();
  uint16_t out_port = free_port();
  uint16_t stats_port = free_port();
  Daemon d;
  void start(const std::string& extra = "") {
    d = Daemon::with_config("input_port " + std::to_string(in_port) + "\noutput_port " + std::to_string(out_port) +
                            "\nstatistics_port " + std::to_string(stats_port) + "\n" + extra);
    ASSERT_TRUE(d.wait_out("Setting up to statistics UDP port")) << d.out() << d.err();
  }
};

// Asks for the report and joins its fragments; "" when none arrives whole.
std::string ask(const Udp& s, uint16_t port, const std::string& request = "get_stats") {
  s.send(request, port);
  std::string text;
  for (uint32_t expected = 0;; expected++) {
    Bytes d = s.receive(2.0);
    if (d.size() < 8) return "";
    uint32_t total = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
    uint32_t index = d[4] | d[5] << 8 | d[6] << 16 | static_cast<uint32_t>(d[7]) << 24;
    if (index != expected) return "";
    text.append(d.begin() + 8, d.end());
    if (text.size() >= total) return text;
  }
}

std::string field(const std::string& report, const std::string& name) {
  size_t at = report.find("\"" + name + "\"");
  if (at == std::string::npos) return "?";
  size_t open = report.find('"', report.find(':', at) + 1);
  return report.substr(open + 1, report.find('"', open + 1) - open - 1);
}

// tolvek-stats's version, from its --version line.
std::string version() {
  Daemon v = Daemon::run(stats_command({"--version"}));
  v.wait_exit();
  std::string line = v.out();
  size_t blank = line.find(' ');
  return line.substr(blank + 1, line.find(' ', blank + 1) - blank - 1);
}

double number(const std::string& report, const std::string& name) { return atof(field(report, name).c_str()); }

// One fragment of a reply of total bytes, carrying its share of fill.
Bytes fragment(uint32_t total, uint32_t index, char fill = 'x') {
  Bytes d{static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total >> 16),
          static_cast<uint8_t>(total >> 24), static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), 0, 0};
  size_t share = std::min<size_t>(1400, total - index * 1400);
  d.resize(8 + share, static_cast<uint8_t>(fill));
  return d;
}

// Bytes waiting in the receive queue of the UDP socket on local port, as the
// kernel counts them; -1 when no such socket is listed.
long queued_bytes(uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  char wanted[8];
  snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
      return strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
  }
  return -1;
}

// Sends text to port as a reply in fragments, a few at a time, each batch
// once the reader has taken the last: no fragment is lost to its buffer.
void send_paced(const Udp& server, const std::string& text, uint16_t port) {
  uint32_t total = static_cast<uint32_t>(text.size());
  for (uint32_t i = 0; i * 1400 < total; i++) {
    if (i % 20 == 0) {
      double deadline = now_seconds() + 5.0;
      while (queued_bytes(port) > 0 && now_seconds() < deadline) usleep(1000);
    }
    Bytes d = fragment(total, i);
    std::copy(text.begin() + i * 1400, text.begin() + i * 1400 + (d.size() - 8), d.begin() + 8);
    server.send(d, port);
  }
}

// Waits for the next "get_stats" at server and returns the port it came
// from. A "get_status" on the way is answered with status, or, when status
// is empty, not at all, as a repeater older than that request does; it is
// counted in status_requests, when given.
uint16_t stats_request(const Udp& server, const std::string& status = "", int* status_requests = nullptr) {
  for (int i = 0; i < 2; i++) {
    sockaddr_in from{};
    Bytes d = server.receive(2.0, &from);
    if (d == bytes_of("get_stats")) return ntohs(from.sin_port);
    if (d == bytes_of("get_status") && status_requests) ++*status_requests;
    if (d == bytes_of("get_status") && !status.empty()) send_paced(server, status, ntohs(from.sin_port));
  }
  ADD_FAILURE() << "no get_stats request";
  return 0;
}

const char STATUS[] = "{\"version\":\"2.0.5\",\"started\":1700000000,\"input_port\":5000,\"source\":null,"
                      "\"failovers\":0,\"last_data_age\":0.5,\"max_clients\":32,\"table\":1,\"receiving\":1}";

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Bytes datagram(uint16_t seq, size_t size) {
  Bytes d(size, 0x33);
  d[2] = static_cast<uint8_t>(seq >> 8);
  d[3] = static_cast<uint8_t>(seq);
  return d;
}

// Sends count datagrams of size bytes at rate a second, on an absolute
// schedule, leaving out every tenth sequence number.
int stream(const Udp& source, uint16_t port, int count, double rate, size_t size) {
  double start = now_seconds();
  int skipped = 0;
  for (int i = 0; i < count; i++) {
    double wait = start + i / rate - now_seconds();
    if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
    uint16_t seq = static_cast<uint16_t>(i + i / 9);
    if (i > 0 && i % 9 == 0) skipped++;  // seq i + i / 9 jumps by 2 here
    source.send(datagram(seq, size), port);
  }
  return skipped;
}

// A terminal: a tmux session running sh, on a tmux server of the test's own
// (its socket in a scratch folder), so that nobody else's sessions are
// touched; the server goes with the object.
struct Terminal {
  std::string dir, socket;
  Terminal() {
    char path[] = "/tmp/tolvek_tty_XXXXXX";
    if (!mkdtemp(path)) abort();
    dir = path;
    socket = dir + "/tmux";
    tmux({"-f", "/dev/null", "new-session", "-d", "-s", "t", "-x", "110", "-y", "30", "env", "PS1=$ ", "sh"});
  }
  ~Terminal() {
    tmux({"kill-server"});
    unlink(socket.c_str());  // the server may not have taken it away yet
    rmdir(dir.c_str());
  }
  std::string tmux(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"tmux", "-S", socket};
    argv.insert(argv.end(), args.begin(), args.end());
    Daemon t = Daemon::run(argv);
    t.wait_exit(10.0);
    return t.out();
  }
  void type(const std::string& line) const {
    tmux({"send-keys", "-t", "t", "-l", line});
    tmux({"send-keys", "-t", "t", "Enter"});
  }
  std::string screen() const { return tmux({"capture-pane", "-p", "-t", "t"}); }
  // The screen once it holds needle, or as it is after timeout seconds.
  std::string wait_for(const std::string& needle, double timeout = 10.0) const {
    double end = now_seconds() + timeout;
    std::string s = screen();
    while (s.find(needle) == std::string::npos && now_seconds() < end) {
      usleep(50000);
      s = screen();
    }
    return s;
  }
};

bool have_tmux() { return system("tmux -V >/dev/null 2>&1") == 0; }

}  // namespace

TEST(StatsPort, EmptyReportBeforeData) {
  StatsRepeater r;
  r.start();
  Udp asker;
  asker.send(std::string("get_stats"), r.stats_port);
  EXPECT_EQ(asker.receive(), (Bytes{2, 0, 0, 0, 0, 0, 0, 0, '{', '}'}));
  asker.send(std::string("get_stat"), r.stats_port);
  asker.send(std::string("GET_STATS"), r.stats_port);
  send_from_port_zero(bytes_of("get_stats"), r.stats_port);
  EXPECT_TRUE(asker.silent_for(0.3));
  EXPECT_EQ(r.d.wait_exit(0.1), -1);
  EXPECT_EQ(r.d.err(), "");
}

TEST(StatsPort, StatusTellsTheInputInUseAndItsFailovers) {
  StatsRepeater r;
  uint16_t alt_port = free_port();
  r.start("alt_input_port " + std::to_string(alt_port) + "\nsource 127.0.0.1:0\nalt_source 127.0.0.2:0\n");
  Udp asker;
  std::string before = ask(asker, r.stats_port, "get_status");
  EXPECT_NE(before.find("\"input_port\":" + std::to_string(r.in_port) + ",\"source\":\"127.0.0.1:0\","
                        "\"failovers\":0,\"last_data_age\":null,\"max_clients\":32,\"table\":0,\"receiving\":0}"),
            std::string::npos)
      << before;
  ASSERT_TRUE(r.d.wait_out("Setting up to listen at UDP port " + std::to_string(alt_port), 8.0)) << r.d.out();
  std::string after = ask(asker, r.stats_port, "get_status");
  EXPECT_NE(after.find("\"input_port\":" + std::to_string(alt_port) + ",\"source\":\"127.0.0.2:0\","
                       "\"failovers\":1,"),
            std::string::npos)
      << after;
}

TEST(StatsPort, RatesTotalsAndLossesOfAStream) {
  Udp source, client, asker;
  StatsRepeater r;
  r.start("client 127.0.0.1:" + std::to_string(client.port) + "\n");
  const int count = 450;
  int skipped = stream(source, r.in_port, count, 50.0, 500);

  std::string flowing = ask(asker, r.stats_port);
  ASSERT_NE(flowing, "") << r.d.err();
  // 50 datagrams a second, one in ten sequence numbers missing, settling
  // towards 50 / s from zero over 8 to 9 s: 46-48 / s when rebuilt.
  EXPECT_NEAR(number(flowing, "frames_sec"), 47, 6) << flowing;
  EXPECT_NEAR(number(flowing, "udp_payload"), 47 * 4.0, 25) << flowing;
  EXPECT_NEAR(number(flowing, "lost_frames_sec"), 47 / 9.0, 1.5) << flowing;
  EXPECT_EQ(field(flowing, "connected_clients"), "1");
  EXPECT_NE(flowing.find("\"port\":\"" + std::to_string(client.port) + "\""), std::string::npos);

  // Once the stream has stopped, the report catches up and its rates fall.
  usleep(2600000);
  std::string stopped = ask(asker, r.stats_port);
  EXPECT_EQ(field(stopped, "frames_received"), std::to_string(count)) << stopped;
  EXPECT_EQ(field(stopped, "total_bytes"), std::to_string(count * 500));
  EXPECT_EQ(field(stopped, "frames_lost"), std::to_string(skipped));
  EXPECT_EQ(field(stopped, "pkts_sent"), std::to_string(count));
  EXPECT_LT(number(stopped, "frames_sec"), number(flowing, "frames_sec") * 0.5);
  EXPECT_GT(number(stopped, "frames_sec"), 0);
}

TEST(StatsPort, RequestFloodIsCappedWhileTheStreamFlows) {
  Udp source, client, flooder;
  StatsRepeater r;
  r.start("client 127.0.0.1:" + std::to_string(client.port) + "\n");
  double start = now_seconds();
  int sent = 0, received = 0;
  for (int i = 0; i < 200; i++) {
    source.send(datagram(static_cast<uint16_t>(i), 200), r.in_port);
    for (int k = 0; k < 5; k++) flooder.send(std::string("get_stats"), r.stats_port);
    sent++;
    usleep(10000);
    while (!client.receive(0).empty()) received++;
  }
  while (!client.receive(0.3).empty()) received++;
  double elapsed = now_seconds() - start;
  int replies = 0;
  while (!flooder.receive(0.3).empty()) replies++;
  EXPECT_EQ(received, sent);
  EXPECT_GE(replies, 20);
  EXPECT_LE(replies, 20 * (static_cast<int>(elapsed) + 2)) << elapsed;
}

TEST(StatsCommand, PrintsTheReportOfARunningRepeater) {
  Udp source, client;
  StatsRepeater r;
  r.start("client 127.0.0.1:" + std::to_string(client.port) + "\n");
  std::string target = "127.0.0.1:" + std::to_string(r.stats_port);

  Daemon empty = Daemon::run(stats_command({target}));
  EXPECT_EQ(empty.wait_exit(), 0);
  EXPECT_EQ(empty.out(), "{}\n");

  stream(source, r.in_port, 120, 50.0, 300);
  Daemon watch =
      Daemon::run(stats_command({"localhost:" + std::to_string(r.stats_port), "--watch", "0.3", "--count", "3"}));
  EXPECT_EQ(watch.wait_exit(5.0), 0) << watch.err();
  std::string out = watch.out();
  EXPECT_EQ(count_of(out, "{\"udp_payload\": "), 3) << out;
  EXPECT_EQ(count_of(out, "}\n"), 3);
  EXPECT_NE(out.find("\"connected_clients\" : \"1\""), std::string::npos);
}

TEST(StatsCommand, FailsClearlyWithoutAWholeReply) {
  Udp silent;
  Daemon none = Daemon::run(stats_command({"127.0.0.1:" + std::to_string(silent.port), "--timeout", "0.5"}));
  EXPECT_EQ(none.wait_exit(), 1);
  EXPECT_EQ(none.err(), "tolvek-stats: no reply from 127.0.0.1:" + std::to_string(silent.port) + " within 0.5 s\n");
  EXPECT_EQ(none.out(), "");

  // A server that loses the middle one of three fragments, and sends the
  // others out of order.
  Udp server;
  Daemon partial = Daemon::run(stats_command({"127.0.0.1:" + std::to_string(server.port), "--timeout", "0.5"}));
  sockaddr_in from{};
  ASSERT_EQ(server.receive(2.0, &from), bytes_of("get_stats"));
  for (uint32_t index : {2u, 0u}) {
    Bytes d{0xb8, 0x0b, 0, 0, static_cast<uint8_t>(index), 0, 0, 0};  // 3000 bytes in all
    d.resize(8 + (index == 2 ? 200 : 1400), 'x');
    server.send(d, ntohs(from.sin_port));
  }
  EXPECT_EQ(partial.wait_exit(), 1);
  EXPECT_EQ(partial.err(), "tolvek-stats: incomplete reply from 127.0.0.1:" + std::to_string(server.port) +
                               " within 0.5 s: 2 of 3 fragments, missing 1\n");

  Daemon usage = Daemon::run(stats_command({}));
  EXPECT_EQ(usage.wait_exit(), 2);
}

// Only the asked repeater's datagrams count, and only those that fit the
// reply: a stray from it, or a well-formed reply from anyone else, is ignored.
TEST(StatsCommand, StrayDatagramsDoNotSpoilTheReply) {
  Udp server, other;
  Daemon query = Daemon::run(stats_command({"127.0.0.1:" + std::to_string(server.port)}));
  sockaddr_in from{};
  ASSERT_EQ(server.receive(2.0, &from), bytes_of("get_stats"));
  uint16_t asker = ntohs(from.sin_port);
  other.send(fragment(6, 0, 'o'), asker);  // whole, but from the wrong address
  server.send(Bytes{0x88, 0x13, 0, 0, 0x63, 0, 0, 0}, asker);
  server.send(fragment(3000, 1), asker);
  server.send(fragment(3000, 0), asker);
  server.send(fragment(3000, 5), asker);
  server.send(fragment(3000, 2), asker);
  EXPECT_EQ(query.wait_exit(), 0) << query.err();
  EXPECT_EQ(query.out(), std::string(3000, 'x') + "\n");
}

// A reply that fills its last fragment exactly: two of 1400 bytes, the
// second first.
TEST(StatsCommand, ReassemblesAReplyOfWholeFragments) {
  Udp server;
  Daemon query = Daemon::run(stats_command({"127.0.0.1:" + std::to_string(server.port)}));
  sockaddr_in from{};
  ASSERT_EQ(server.receive(2.0, &from), bytes_of("get_stats"));
  server.send(fragment(2800, 1, 'b'), ntohs(from.sin_port));
  server.send(fragment(2800, 0, 'a'), ntohs(from.sin_port));
  EXPECT_EQ(query.wait_exit(), 0) << query.err();
  EXPECT_EQ(query.out(), std::string(1400, 'a') + std::string(1400, 'b') + "\n");
}

// Each round of --watch starts afresh: what an incomplete round received is
// not carried into the next, and fragments that come after a round is over
// (here behind a whole reply) are taken off before the next request.
TEST(StatsCommand, EachRoundTakesOnlyItsOwnFragments) {
  Udp server;
  Daemon query = Daemon::run(stats_command(
      {"127.0.0.1:" + std::to_string(server.port), "--watch", "0.5", "--count", "4", "--timeout", "0.4"}));
  const std::vector<std::vector<uint32_t>> rounds = {{0}, {1, 2}, {2, 1, 0}, {0, 1, 2}};
  for (size_t round = 0; round < rounds.size(); round++) {
    uint16_t asker = stats_request(server);
    for (uint32_t i : rounds[round]) server.send(fragment(3000, i, round < 3 ? 'x' : 'y'), asker);
    if (round == 2)
      for (uint32_t i : {0u, 1u}) server.send(fragment(3000, i, 'z'), asker);
  }
  EXPECT_EQ(query.wait_exit(), 1);
  EXPECT_EQ(query.out(), std::string(3000, 'x') + "\n" + std::string(3000, 'y') + "\n");
  std::string port = std::to_string(server.port);
  EXPECT_EQ(query.err(), "tolvek-stats: incomplete reply from 127.0.0.1:" + port +
                             " within 0.4 s: 1 of 3 fragments, missing 1, 2\n"
                             "tolvek-stats: incomplete reply from 127.0.0.1:" + port +
                             " within 0.4 s: 2 of 3 fragments, missing 0\n");
}

TEST(StatsCommand, OptionValuesAreChecked) {
  const std::vector<std::vector<std::string>> bad = {
      {"--count", "0.5"}, {"--count", "0"},     {"--count", "-1"},       {"--count", "99999999999999999999"},
      {"--count", "1e3"}, {"--watch", "0"},     {"--watch", "1e30"},     {"--watch", "nan"},
      {"--watch", "inf"}, {"--timeout", "-2"},  {"--timeout", "1e300"},  {"--timeout", ""},
      {"--watch"},        {"--bogus", "1"},     {"--format", "xml"},     {"--format", "Prometheus"},
      {"--output", ""},   {"--output", "dir/"}, {"--timeout", "0.0099"},
      {"--listen", "65536"}, {"--listen", "1.2.3.4.5:80"}, {"--listen", "80x"}, {"--listen", ":80"},
      {"--listen", "80", "--watch", "1"}, {"--listen", "80", "--format", "table"},
  };
  for (const auto& args : bad) {
    std::vector<std::string> argv{"127.0.0.1:9"};
    argv.insert(argv.end(), args.begin(), args.end());
    Daemon d = Daemon::run(stats_command(argv));
    EXPECT_EQ(d.wait_exit(5.0), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_EQ(d.out(), "");
  }
  // The bounds themselves are accepted.
  Udp silent;
  Daemon shortest = Daemon::run(stats_command({"127.0.0.1:" + std::to_string(silent.port), "--timeout", "0.01"}));
  EXPECT_EQ(shortest.wait_exit(), 1);
  EXPECT_EQ(shortest.err(),
            "tolvek-stats: no reply from 127.0.0.1:" + std::to_string(silent.port) + " within 0.01 s\n");
}

// A forged reply nested a hundred thousand levels deep (200 KB in 143
// fragments) is refused as no report: the metrics go down, and the output
// file that held the last figures says so.
TEST(StatsCommand, DeeplyNestedReplyGivesTheDownState) {
  const std::string deep = "{\"frames_sec\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  ASSERT_EQ((deep.size() + 1399) / 1400, 143u);
  Udp server;
  const std::string target = "127.0.0.1:" + std::to_string(server.port);
  const std::string refused = "tolvek-stats: the reply from " + target +
                              " is not a statistics report: nested deeper than 16 levels\n";
  const std::string down = "# HELP tolvek_up 1 when the repeater answered the last statistics request with a whole "
                           "report, else 0.\n# TYPE tolvek_up gauge\ntolvek_up{repeater=\"" + target + "\"} 0\n"
                           "# HELP tolvek_build_info The version of tolvek-stats that wrote these metrics; always 1.\n"
                           "# TYPE tolvek_build_info gauge\ntolvek_build_info{repeater=\"" + target +
                           "\",version=\"" + version() + "\"} 1\n";

  Daemon printed = Daemon::run(stats_command({target, "--format", "prometheus", "--timeout", "10"}));
  send_paced(server, deep, stats_request(server, STATUS));
  EXPECT_EQ(printed.wait_exit(10.0), 1);
  EXPECT_EQ(printed.err(), refused);
  EXPECT_EQ(printed.out(), down);

  Daemon written = Daemon::run(stats_command({target, "--format", "prometheus", "--timeout", "10", "--output",
                                              "metrics.prom", "--watch", "0.1", "--count", "2"}));
  const std::string path = written.dir + "/metrics.prom";
  send_paced(server, "{\"frames_received\" : \"11\"}", stats_request(server, STATUS));
  uint16_t asker = stats_request(server, STATUS);
  EXPECT_NE(slurp(path).find("tolvek_frames_received_total{repeater=\"" + target + "\"} 11\n"), std::string::npos);
  EXPECT_NE(slurp(path).find("tolvek_input_port{repeater=\"" + target + "\"} 5000\n"), std::string::npos);
  send_paced(server, deep, asker);
  EXPECT_EQ(written.wait_exit(10.0), 1);
  EXPECT_EQ(written.err(), refused);
  EXPECT_EQ(written.out(), "");
  EXPECT_EQ(slurp(path), down);
}

// Off a terminal, the tables of --watch follow one another a blank line
// apart, the first at the top, with nothing that would move a cursor. A
// repeater that answers no status request (an older one) still gets its
// table, is told of once, and is not asked again. A reply that is no report
// ends the run with status 1 and its reason.
TEST(StatsCommand, TablesFollowEachOtherOffATerminal) {
  Udp server;
  const std::string target = "127.0.0.1:" + std::to_string(server.port);
  Daemon watch = Daemon::run(
      stats_command({target, "--format", "table", "--watch", "0.1", "--count", "4", "--timeout", "0.5"}));
  const std::string replies[] = {
      "{\"udp_payload\": \"8.00 kbps\", \"frames_sec\" : \"1.0\", \"frames_received\" : \"9\",\"frames_lost\" : "
      "\"1\",\"connected_clients\" : \"1\",\"clients\":[{\"ip\":\"127.0.0.1\",\"port\":\"5004\",\"mac\":"
      "\"02005e102030\",\"pkts_sent\":\"9\"}]}",
      "{}", "{}", "[]"};
  int status_requests = 0;
  for (const std::string& reply : replies)
    send_paced(server, reply, stats_request(server, reply == replies[0] ? STATUS : "", &status_requests));
  EXPECT_EQ(status_requests, 2);
  EXPECT_EQ(watch.wait_exit(), 1);
  std::string out = watch.out();
  // Each table's time as T.
  const std::string first_line = "repeater  " + target + " at ";
  for (size_t at = 0; (at = out.find(first_line, at)) != std::string::npos; at += first_line.size())
    out.replace(at + first_line.size(), 19, "T");
  const std::string waiting = "\n" + first_line + "T\ninput     unknown: the repeater answers no get_status request\n"
                              "waiting for the first report: the repeater makes it 2 s into a stream\n";
  EXPECT_EQ(out, first_line + "T\n"
                 "input     UDP port 5000 from any sender, 0 failovers, last datagram 0.5 s ago\n"
                 "stream    1.0 datagrams/s, 8.00 kbit/s\nreceived  9 datagrams, ? bytes\n"
                 "lost      1 datagram (10.00 %), ? datagrams/s now\n"
                 "clients   1 in the table (at most 32), 1 sent the stream\n\n"
                 "CLIENT          SENDER ID          SENT  LAST CONTACT  UP\n"
                 "127.0.0.1:5004  02:00:5e:10:20:30     9             ?   ?\n" +
                     waiting + waiting);
  EXPECT_EQ(watch.err(), "tolvek-stats: " + target + " answers no get_status request (an older repeater): its input, "
                         "failovers, last datagram and capacity are left out\n"
                         "tolvek-stats: the reply from " + target + " is not a statistics report: not a JSON object\n");
}

// In a real terminal: JSON stays the default; the table is redrawn in place
// (cleared and written from the top, as watch(1) does), first telling that
// the report is awaited, then showing the stream and its client; a failed
// round's message replaces it; Ctrl-C ends it.
TEST(StatsCommand, TableRedrawsInPlaceInATerminal) {
  if (!have_tmux()) GTEST_SKIP() << "needs tmux (bash scripts/deps tmux)";
  Udp source, client;
  StatsRepeater r;
  r.start("client 127.0.0.1:" + std::to_string(client.port) + "\n");
  const std::string target = "127.0.0.1:" + std::to_string(r.stats_port);
  std::string command;
  for (const std::string& word : stats_command({target})) command += (command.empty() ? "" : " ") + word;
  Terminal term;
  term.type(command);
  std::string screen = term.wait_for("\n{}\n");
  EXPECT_NE(screen.find("\n{}\n"), std::string::npos) << screen;

  term.type(command + " --format table --watch 0.3");
  const std::string header = "repeater  " + target + " at ";
  screen = term.wait_for("waiting for the first report");
  EXPECT_EQ(screen.rfind(header, 0), 0u) << screen;  // from the top: what was there is gone
  int lost = stream(source, r.in_port, 150, 50.0, 300);
  const std::string row = "127.0.0.1:" + std::to_string(client.port) + "  00:00:00:00:00:00   150";
  screen = term.wait_for(row);
  EXPECT_NE(screen.find(row), std::string::npos) << screen;
  char share[16];
  snprintf(share, sizeof share, "%.2f", 100.0 * lost / (150 + lost));
  EXPECT_NE(screen.find("\nreceived  150 datagrams, 45000 bytes\nlost      " + std::to_string(lost) + " datagrams (" +
                        share + " %), "),
            std::string::npos)
      << screen;
  // A later round, whose time differs, still leaves one table on the
  // screen, at the top.
  const std::string first_line = screen.substr(0, screen.find('\n'));
  auto later_table = [&] {
    return screen.rfind(first_line, 0) != 0 && screen.rfind(header, 0) == 0 && screen.find(row) != std::string::npos;
  };
  for (double end = now_seconds() + 10; !later_table() && now_seconds() < end;) {
    usleep(50000);
    screen = term.screen();
  }
  EXPECT_TRUE(later_table()) << screen;
  EXPECT_EQ(count_of(screen, header), 1) << screen;
  EXPECT_EQ(count_of(screen, "CLIENT "), 1) << screen;

  // The repeater gone, the error stands alone, not under a stale table.
  r.d.kill_now();
  const std::string refused = "tolvek-stats: no reply from " + target + ": Connection refused";
  screen = term.wait_for(refused);
  EXPECT_EQ(screen.rfind(refused, 0), 0u) << screen;
  EXPECT_EQ(screen.find(header), std::string::npos) << screen;

  // The pane shows the prompt without its trailing blank.
  term.tmux({"send-keys", "-t", "t", "C-c"});
  screen = term.wait_for("^C\n$\n");
  EXPECT_NE(screen.find("^C\n$\n"), std::string::npos) << screen;
}
