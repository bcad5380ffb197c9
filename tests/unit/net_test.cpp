#include <fcntl.h>

#include <algorithm>

#include "fixture.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Net : public TolvekTest {};

static uint32_t le32(const std::vector<uint8_t>& d, size_t at) {
  return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}

TEST_F(Net, FragmentsCarryTotalLengthAndIndex) {
  LoopbackSocket sender, receiver;
  sockaddr_in to = make_addr("127.0.0.1", receiver.port);
  std::vector<uint8_t> payload(3000);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i * 7);

  send_fragmented_packet(sender.fd, payload.data(), payload.size(), to);
  std::vector<uint8_t> joined;
  size_t sizes[] = {1408, 1408, 208};
  for (uint32_t i = 0; i < 3; i++) {
    std::vector<uint8_t> d = receiver.receive();
    ASSERT_EQ(d.size(), sizes[i]);
    EXPECT_EQ(le32(d, 0), 3000u);
    EXPECT_EQ(le32(d, 4), i);
    joined.insert(joined.end(), d.begin() + 8, d.end());
  }
  EXPECT_EQ(joined, payload);
  EXPECT_TRUE(receiver.nothing_waiting());

  send_fragmented_packet(sender.fd, payload.data(), 1400, to);
  EXPECT_EQ(receiver.receive().size(), 1408u);
  EXPECT_TRUE(receiver.nothing_waiting());

  send_fragmented_packet(sender.fd, payload.data(), 1401, to);
  EXPECT_EQ(receiver.receive().size(), 1408u);
  std::vector<uint8_t> last = receiver.receive();
  ASSERT_EQ(last.size(), 9u);
  EXPECT_EQ(le32(last, 0), 1401u);
  EXPECT_EQ(le32(last, 4), 1u);
  EXPECT_EQ(last[8], payload[1400]);

  send_fragmented_packet(sender.fd, payload.data(), 0, to);
  EXPECT_TRUE(receiver.nothing_waiting());
}

TEST_F(Net, RefusedSendIsReportedOncePerSecondPerDestination) {
  LoopbackSocket sender;
  sockaddr_in port_zero = make_addr("127.0.0.1", 0);
  sockaddr_in other = make_addr("127.0.0.2", 0);
  uint8_t byte = 1;
  int err = send_packet(sender.fd, &byte, 1, port_zero);
  EXPECT_EQ(err, EINVAL);

  CaptureStderr();
  send_failed(err, 1, port_zero);
  fake_mono += 0.5;
  send_failed(err, 1, port_zero);
  send_failed(err, 1, port_zero);
  send_failed(err, 1, other);
  fake_mono += 0.6;
  send_failed(err, 1, port_zero);
  // The count of repeats starts again after each report.
  fake_mono += 0.5;
  send_failed(err, 1, port_zero);
  fake_mono += 0.6;
  send_failed(err, 1, port_zero);
  EXPECT_EQ(GetCapturedStderr(),
            "tolvek: cannot send a UDP packet 1 bytes long: Invalid argument, to 127.0.0.1:0\n"
            "tolvek: cannot send a UDP packet 1 bytes long: Invalid argument, to 127.0.0.2:0\n"
            "tolvek: cannot send a UDP packet 1 bytes long: Invalid argument, to 127.0.0.1:0 (2 repeats left out)\n"
            "tolvek: cannot send a UDP packet 1 bytes long: Invalid argument, to 127.0.0.1:0 (1 repeats left out)\n");
}

TEST_F(Net, EveryFailingClientIsReportedOncePerSecond) {
  CaptureStderr();
  for (int round = 0; round < 3; round++) {
    for (int i = 1; i <= 40; i++) {
      std::string addr = "127.0.0." + std::to_string(i);
      send_failed(EINVAL, 1, make_addr(addr.c_str(), 0));
    }
    fake_mono += 0.3;
  }
  std::string err = GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 40);
}

TEST_F(Net, SharedInputAndOutputPortOpensOneSocket) {
  LoopbackSocket probe;
  uint16_t port = probe.port;
  close(probe.fd);
  probe.fd = socket(AF_INET, SOCK_DGRAM, 0);
  settings_for_tests().input_port = port;
  settings_for_tests().output_port = port;
  CaptureStdout();
  init_sockets();
  std::string out = GetCapturedStdout();
  EXPECT_EQ(input_socket, output_socket);
  EXPECT_EQ(statistics_socket, -1);
  EXPECT_EQ(out, "Setting up to listen at UDP port " + std::to_string(port) +
                     ", socket handle: " + std::to_string(input_socket) + ".\n");
  shutdown_sockets();
  EXPECT_EQ(input_socket, -1);
}

TEST_F(Net, PortsWrapModulo65536ButPrintAsConfigured) {
  LoopbackSocket probe;
  uint16_t port = probe.port;
  close(probe.fd);
  probe.fd = socket(AF_INET, SOCK_DGRAM, 0);
  settings_for_tests().input_port = 65536 + port;
  settings_for_tests().output_port = 0;
  CaptureStdout();
  init_sockets();
  std::string out = GetCapturedStdout();
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  getsockname(input_socket, reinterpret_cast<sockaddr*>(&sa), &n);
  EXPECT_EQ(ntohs(sa.sin_port), port);
  EXPECT_NE(out.find("listen at UDP port " + std::to_string(65536 + port) + ","), std::string::npos);
  EXPECT_NE(out.find("Setting up to output UDP port 0, socket handle: "), std::string::npos);
}

// Set-up lines print the port settings as 64-bit values (the listening port
// as its low 32 bits), the same on every target; each binds the value
// modulo 65536.
TEST_F(Net, SetUpLinesShowSixtyFourBitSettings) {
  LoopbackSocket a, b, c;
  uint16_t in = a.port, out = b.port, st = c.port;
  for (LoopbackSocket* s : {&a, &b, &c}) {
    close(s->fd);
    s->fd = socket(AF_INET, SOCK_DGRAM, 0);
  }
  parse("input_port " + std::to_string(INT64_C(0x3ffff0000) + in) + "\n");
  parse("output_port " + std::to_string(INT64_C(0x200000000) + out) + "\n");
  parse("statistics_port " + std::to_string(INT64_C(0x100000000) + st) + "\n");
  CaptureStdout();
  init_sockets();
  std::string text = GetCapturedStdout();
  EXPECT_EQ(text, "Setting up to listen at UDP port " + std::to_string(INT64_C(0xffff0000) + in) +
                      ", socket handle: " + std::to_string(input_socket) + ".\n" +
                      "Setting up to output UDP port " + std::to_string(INT64_C(0x200000000) + out) +
                      ", socket handle: " + std::to_string(output_socket) + ".\n" +
                      "Setting up to statistics UDP port " + std::to_string(INT64_C(0x100000000) + st) +
                      ", socket handle: " + std::to_string(statistics_socket) + "\n");
  int handles[] = {input_socket, output_socket, statistics_socket};
  uint16_t ports[] = {in, out, st};
  for (int i = 0; i < 3; i++) {
    sockaddr_in sa{};
    socklen_t n = sizeof sa;
    getsockname(handles[i], reinterpret_cast<sockaddr*>(&sa), &n);
    EXPECT_EQ(ntohs(sa.sin_port), ports[i]) << i;
  }
}

TEST_F(Net, MulticastRange) {
  EXPECT_TRUE(is_multicast(ntohl(ip("224.0.0.0"))));
  EXPECT_TRUE(is_multicast(ntohl(ip("239.10.10.10"))));
  EXPECT_FALSE(is_multicast(ntohl(ip("240.0.0.1"))));
  EXPECT_FALSE(is_multicast(ntohl(ip("223.255.255.255"))));
  EXPECT_FALSE(is_multicast(ntohl(ip("10.0.0.1"))));
}

// A port no socket holds now, for a setting.
static uint16_t unused_port() {
  LoopbackSocket probe;
  return probe.port;
}

static uint16_t bound_port(int fd) {
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  return ntohs(sa.sin_port);
}

// Failover moves only the input: output and statistics keep their sockets,
// so no other program can take their ports, and an alternate port that is
// the output port shares the output's socket as at start.
TEST_F(Net, FailoverMovesOnlyTheInput) {
  uint16_t in = unused_port(), out = unused_port(), stats = unused_port();
  settings_for_tests().input_port = in;
  settings_for_tests().alt_input_port = out;
  settings_for_tests().output_port = out;
  settings_for_tests().statistics_port = stats;
  CaptureStdout();
  init_sockets();
  int first_input = input_socket, output = output_socket, statistics = statistics_socket;
  fake_mono += 5;
  EXPECT_EQ(switch_input(), 0);
  EXPECT_EQ(input_socket, output);
  EXPECT_EQ(alt_toggle, 1);
  EXPECT_EQ(fcntl(first_input, F_GETFD), -1);  // closed: the primary port is free while unused
  EXPECT_EQ(switch_input(), 0);
  EXPECT_EQ(bound_port(input_socket), in);
  EXPECT_EQ(output_socket, output);
  EXPECT_EQ(statistics_socket, statistics);
  std::string lines = GetCapturedStdout();
  EXPECT_NE(lines.find("Setting up to listen at UDP port " + std::to_string(out) + ", socket handle: " +
                       std::to_string(output) + ".\nSetting up to statistics UDP port " + std::to_string(stats)),
            std::string::npos)
      << lines;
  shutdown_sockets();
}

// A taken port leaves the input as it is; the next try takes it once free.
TEST_F(Net, FailoverToATakenPortStaysOnTheInputItHas) {
  uint16_t in = unused_port(), alt = unused_port(), out = unused_port();
  settings_for_tests().input_port = in;
  settings_for_tests().alt_input_port = alt;
  settings_for_tests().output_port = out;
  CaptureStdout();
  init_sockets();
  int input = input_socket;
  {
    LoopbackSocket taker;
    close(taker.fd);
    taker.fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = make_addr("0.0.0.0", alt);
    ASSERT_EQ(bind(taker.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(switch_input(), EADDRINUSE);
    EXPECT_EQ(input_socket, input);
    EXPECT_EQ(alt_toggle, 0);
    EXPECT_EQ(bound_port(input_socket), in);
  }
  EXPECT_EQ(switch_input(), 0);
  EXPECT_EQ(bound_port(input_socket), alt);
  std::string lines = GetCapturedStdout();
  std::string moved = "Setting up to listen at UDP port " + std::to_string(alt) + ",";
  EXPECT_EQ(lines.find(moved), lines.rfind(moved)) << lines;
  EXPECT_NE(lines.find(moved), std::string::npos) << lines;
  shutdown_sockets();
}

// The kernel filter queues the source's datagrams only: by address and
// port, or by address alone for port 0.
TEST_F(Net, KernelFilterQueuesOnlyTheSourcesDatagrams) {
  LoopbackSocket input, source, other;
  int elsewhere = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in from2 = make_addr("127.0.0.2", 0);
  ASSERT_EQ(bind(elsewhere, reinterpret_cast<sockaddr*>(&from2), sizeof from2), 0);
  sockaddr_in to = make_addr("127.0.0.1", input.port);
  auto send_from = [&](int fd, uint8_t tag) {
    sendto(fd, &tag, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  auto received = [&] {
    std::vector<uint8_t> got;
    for (std::vector<uint8_t> d; !(d = input.receive()).empty() || !input.nothing_waiting();) got.push_back(d[0]);
    return got;
  };
  SourceRecord exact{make_addr("127.0.0.1", source.port), ""};
  ASSERT_EQ(attach_source_filter(input.fd, exact), 0);
  send_from(other.fd, 1);
  send_from(elsewhere, 2);
  send_from(source.fd, 3);
  EXPECT_EQ(received(), std::vector<uint8_t>{3});

  SourceRecord any_port{make_addr("127.0.0.1", 0), ""};
  ASSERT_EQ(attach_source_filter(input.fd, any_port), 0);
  send_from(other.fd, 4);
  send_from(elsewhere, 5);
  send_from(source.fd, 6);
  EXPECT_EQ(received(), (std::vector<uint8_t>{4, 6}));

  detach_source_filter(input.fd);
  send_from(elsewhere, 7);
  EXPECT_EQ(received(), std::vector<uint8_t>{7});
  close(elsewhere);
}

using NetDeathTest = Net;

TEST_F(NetDeathTest, BrokenSocketIsFatal) {
  sockaddr_in to = make_addr("127.0.0.1", 9);
  EXPECT_EXIT(send_failed(EBADF, 12, to), testing::ExitedWithCode(255),
              "^tolvek: cannot send a UDP packet 12 bytes long: Bad file descriptor\n$");
}

TEST_F(NetDeathTest, PortInUseIsFatal) {
  LoopbackSocket taken;
  sockaddr_in any = make_addr("0.0.0.0", 0);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  socklen_t n = sizeof any;
  getsockname(fd, reinterpret_cast<sockaddr*>(&any), &n);
  long port = ntohs(any.sin_port);
  EXPECT_EXIT(my_bind(my_socket(), port), testing::ExitedWithCode(255),
              "^tolvek: cannot bind the socket at port " + std::to_string(port) + ": Address already in use\n$");
  close(fd);
}
