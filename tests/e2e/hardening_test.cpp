// What the daemon's surroundings can do to it: logs nobody reads, closed
// descriptors, and the loop's own corners (a shared socket, failing over).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "harness.h"

namespace {

// A bare control packet: magic, type, a zero sender id, no extensions.
Bytes control(uint8_t type) { return Bytes{'Q', 'M', 'Z', type, 0, 0, 0, 0, 0, 0, 0, 0}; }

// Reads a pipe until it holds needle; returns everything read.
std::string read_until(int fd, const std::string& needle, double timeout = 5.0) {
  std::string text;
  double end = now_seconds() + timeout;
  while (text.find(needle) == std::string::npos && now_seconds() < end) {
    text += drain_pipe(fd);
    usleep(20000);
  }
  return text;
}

// The summary lines of a stream, summed by the line they stand for:
// tolvek: N more lines like "LINE" left out in the last second (or N seconds)
std::map<std::string, long> left_out(const std::string& text) {
  const std::string head = "tolvek: ", middle = " more lines like \"", tail = "\" left out in the last ";
  std::map<std::string, long> sums;
  for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
    size_t number = at + head.size(), like = text.find(middle, number);
    size_t end = like == std::string::npos ? like : text.find(tail, like);
    size_t eol = text.find('\n', number);
    if (end == std::string::npos || eol < end) continue;
    std::string count = text.substr(number, like - number);
    if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) continue;
    sums[text.substr(like + middle.size(), end - like - middle.size())] += std::stol(count);
  }
  return sums;
}

}  // namespace

// Both streams on pipes filled to the brim and left unread through a flood
// that makes every kind of line a remote sender can provoke.
TEST(LogLimits, UnreadLogPipesDoNotStopTheStream) {
  Udp source, client, impostor, stranger;
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "source " + endpoint(source.port) + "\nclient " +
                                     endpoint(client.port) + "\nallow_ip 127.0.0.2\n",
                                 Daemon::Output::kPipes);
  ASSERT_NE(read_until(d.out_pipe, "Setting up to output").find("Setting up to output"), std::string::npos);
  fill_pipe(d.out_pipe);
  fill_pipe(d.err_pipe);

  const int ticks = 600;
  int received = 0;
  for (int i = 0; i < ticks; i++) {
    source.send(rtp_datagram(static_cast<uint16_t>(i)), in);
    for (int k = 0; k < 10; k++) {
      impostor.send(rtp_datagram(7), in);
      stranger.send(Bytes{1, 2, 3}, out);
    }
    Udp visitor("127.0.0.2");  // admitted by address: added, then stopped and retired
    visitor.send(control(0), out);
    visitor.send(control(2), out);
    usleep(5000);
    received += drain_count(client);
  }
  usleep(200000);
  received += drain_count(client);
  EXPECT_GE(received, ticks * 99 / 100);
  EXPECT_EQ(d.wait_exit(0.1), -1);

  // Once read again, each stream tells what it left out.
  std::string out_text = drain_pipe(d.out_pipe), err_text = drain_pipe(d.err_pipe);
  usleep(1500000);
  out_text += drain_pipe(d.out_pipe);
  err_text += drain_pipe(d.err_pipe);
  auto out_sums = left_out(out_text), err_sums = left_out(err_text);
  EXPECT_GT(err_sums["3:Request from ... rejected."], ticks) << err_text.substr(err_text.find_first_not_of('.'));
  EXPECT_GT(err_sums["2:Request from ... rejected."], ticks);
  EXPECT_GT(err_sums["2:Request from ... to stop streaming."], ticks / 2);
  EXPECT_GT(out_sums["Adding client ... on his request."], ticks / 2) << out_text.substr(out_text.find_first_not_of('.'));
  EXPECT_GT(out_sums["Client ... timed out."], ticks / 2);
  printf("unread pipes: client received %d of %d; left out: %ld, %ld, %ld on standard error, %ld, %ld on standard "
         "output\n",
         received, ticks, err_sums["3:Request from ... rejected."], err_sums["2:Request from ... rejected."],
         err_sums["2:Request from ... to stop streaming."], out_sums["Adding client ... on his request."],
         out_sums["Client ... timed out."]);
}

TEST(LogLimits, RejectFloodWritesTenLinesASecondAndCountsTheRest) {
  Udp source, impostor;
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "source " + endpoint(source.port) + "\n");
  ASSERT_TRUE(d.wait_out("Setting up to output"));
  double start = now_seconds();
  const int sent = 2000;
  for (int i = 0; i < sent / 20; i++) {
    for (int k = 0; k < 20; k++) impostor.send(rtp_datagram(1), in);
    usleep(10000);
  }
  double seconds = now_seconds() - start;
  ASSERT_TRUE(d.wait_err("left out in the last", 3.0));
  usleep(1500000);
  std::string err = d.err();
  long lines = count_of(err, "3:Request from " + endpoint(impostor.port) + " rejected.\n");
  EXPECT_GE(lines, 10);
  EXPECT_LE(lines, 10 * (static_cast<long>(seconds) + 2)) << err;
  long told = left_out(err)["3:Request from ... rejected."];
  EXPECT_LE(lines + told, sent);
  EXPECT_GE(lines + told, sent * 9 / 10) << err;
  printf("reject flood: %d sent in %.1f s, %ld lines written, %ld told as left out\n", sent, seconds, lines, told);
}

TEST(LogLimits, ComplaintWithoutNewlineIsWrittenAtOnce) {
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "clients 127.0.0.1:5004\nallow_ip_port 10.0.0.300:5\n");
  ASSERT_TRUE(d.wait_out("Setting up to output"));
  EXPECT_TRUE(d.wait_err("tolvek: invalid IP address s 127.0.0.1tolvek: invalid IP address 10.0.0.300", 2.0))
      << d.err();
}

TEST(LogLimits, ReaderThatGoesAwayDoesNotEndTheDaemon) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "allow_ip 127.0.0.1\n", Daemon::Output::kPipes);
  ASSERT_NE(read_until(d.out_pipe, "Setting up to output").find("Setting up to output"), std::string::npos);
  close(d.out_pipe);
  close(d.err_pipe);
  d.out_pipe = d.err_pipe = -1;
  client.send(control(0), out);  // "Adding client ..." into a pipe with no reader
  usleep(200000);
  source.send(rtp_datagram(1), in);
  EXPECT_EQ(client.receive(), rtp_datagram(1));
  EXPECT_EQ(d.wait_exit(0.2), -1);
}

// Output pipes already full when the daemon starts: from its version line
// on, nothing it writes may hold back binding its ports and relaying.
TEST(StartUp, FullOutputPipesAtStartDoNotHoldBackTheStream) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "client " + endpoint(client.port) + "\nbogus line\n",
                                 Daemon::Output::kFullPipes);
  Bytes got;
  for (double end = now_seconds() + 5; got.empty() && now_seconds() < end;) {
    source.send(rtp_datagram(1), in);
    got = client.receive(0.1);
  }
  EXPECT_EQ(got, rtp_datagram(1));
  EXPECT_EQ(d.wait_exit(0.1), -1);
}

TEST(StartUp, ClosedStandardDescriptorsAreOpenedOnDevNull) {
  Udp source, client;
  uint16_t in = free_port(), out = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "client " + endpoint(client.port) + "\n", Daemon::Output::kClosed);
  Bytes got;
  for (int i = 0; i < 50 && got.empty(); i++) {
    source.send(rtp_datagram(1), in);
    got = client.receive(0.1);
  }
  EXPECT_EQ(got, rtp_datagram(1));
  for (int fd = 0; fd <= 2; fd++) EXPECT_EQ(fd_target(d.pid, fd), "/dev/null") << fd;
  int sockets = 0;
  for (int fd = 3; fd < 64; fd++) sockets += fd_target(d.pid, fd).rfind("socket:", 0) == 0;
  EXPECT_GE(sockets, 2);
}

// Input and output on one port: one control packet must not leave the loop
// waiting on that socket while the statistics port goes unanswered.
TEST(SharedSocket, ControlPacketDoesNotStallTheOtherSockets) {
  Udp client, asker;
  uint16_t port = free_port(), stats = free_port();
  Daemon d = Daemon::with_config(ports_config(port, port) + "statistics_port " + std::to_string(stats) +
                                 "\nallow_ip 127.0.0.1\n");
  ASSERT_TRUE(d.wait_out("Setting up to statistics UDP port"));
  for (int round = 0; round < 3; round++) {
    client.send(control(0), port);
    usleep(100000);
    asker.send(std::string("get_stats"), stats);
    EXPECT_GE(asker.receive(2.0).size(), 10u) << round;
  }
}

// While the input is down and failover reopens the sockets every 4 to 5 s,
// a silent client still times out and the keep-alive upstream stops.
TEST(Failover, SilentClientTimesOutAndKeepAliveStops) {
  Udp upstream, client;
  uint16_t in = free_port(), out = free_port(), alt = free_port();
  Daemon d = Daemon::with_config(ports_config(in, out) + "alt_input_port " + std::to_string(alt) + "\nsource " +
                                 endpoint(upstream.port) + " pw\nallow_ip 127.0.0.1\n");
  ASSERT_TRUE(d.wait_out("Setting up to output"));
  client.send(control(0), out);
  double registered = now_seconds();
  ASSERT_TRUE(d.wait_out("Adding client " + endpoint(client.port) + " on his request.\n"));
  EXPECT_FALSE(upstream.receive(4.0).empty());
  ASSERT_TRUE(d.wait_out("Client " + endpoint(client.port) + " timed out.\n", 30.0)) << d.out() << d.err();
  double took = now_seconds() - registered;
  EXPECT_GE(took, 20.0);
  EXPECT_LE(took, 27.0);
  EXPECT_GE(count_of(d.out(), "Reception timed out.\n"), 4);
  while (!upstream.receive(0.1).empty()) {
  }
  EXPECT_TRUE(upstream.silent_for(3.5));
}
