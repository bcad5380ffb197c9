#include "daemon/control.h"
#include "daemon/loop.h"

#include "fixture.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using Bytes = std::vector<uint8_t>;

const Mac kMac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// A control packet of the given type from kMac with the given extensions.
Bytes packet(uint8_t type, std::vector<Bytes> exts = {}) {
  Bytes p{'Q', 'M', 'Z', type};
  p.insert(p.end(), kMac.begin(), kMac.end());
  p.push_back(static_cast<uint8_t>(exts.size()));
  p.push_back(0);
  for (const Bytes& e : exts) p.insert(p.end(), e.begin(), e.end());
  return p;
}

Bytes ext(uint8_t type, const Bytes& data) {
  Bytes e{type, static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
  e.insert(e.end(), data.begin(), data.end());
  return e;
}

Bytes password_ext(const std::string& pw, bool with_nul = true) {
  Bytes data(pw.begin(), pw.end());
  if (with_nul) data.push_back(0);
  return ext(QMZP_EXTENSION_PASSWORD_TYPE, data);
}

const sockaddr_in kSender = make_addr("10.0.0.7", 6000);

}  // namespace

class Admission : public TolvekTest {
 protected:
  static int admits(const Bytes& p, const sockaddr_in& from = kSender) { return check_pass(from, p.data(), p.size()); }
};

TEST_F(Admission, KnownSenderAndListedAddressSkipEveryCheck) {
  Bytes junk{1, 2};
  EXPECT_EQ(admits(junk), 0);
  get_client(kSender.sin_addr.s_addr, kSender.sin_port);
  EXPECT_EQ(admits(junk), 1);
  EXPECT_EQ(admits(junk, make_addr("10.0.0.7", 6001)), 0);
  add_ip(ip("10.0.0.7"));
  EXPECT_EQ(admits(junk, make_addr("10.0.0.7", 6001)), 1);
  EXPECT_EQ(admits(Bytes{}, make_addr("10.0.0.7", 1)), 1);
}

TEST_F(Admission, LegacyRegistrationOnlyInLegacyMode) {
  Bytes legacy{'Q', 'M', 'Z', 0};
  EXPECT_EQ(admits(legacy), 0);
  settings_for_tests().accept_qmz = 1;
  EXPECT_EQ(admits(legacy), 1);
  EXPECT_EQ(admits(Bytes{'Q', 'M', 'Z', 1}), 0);
  EXPECT_EQ(admits(Bytes{'Q', 'M', 'Z', 0, 0}), 0);
}

TEST_F(Admission, ShapeMacAndPasswordRules) {
  add_pass("secret");
  settings_for_tests().macs.push_back(kMac);
  Bytes good = packet(0, {password_ext("secret")});
  EXPECT_EQ(admits(good), 1);

  Bytes bad_magic = good;
  bad_magic[2] = 'X';
  EXPECT_EQ(admits(bad_magic), 0);
  EXPECT_EQ(admits(Bytes(good.begin(), good.begin() + 10)), 0);

  Bytes other_mac = good;
  other_mac[9] ^= 1;
  EXPECT_EQ(admits(other_mac), 0);
  settings_for_tests().accept_any_mac = 1;
  EXPECT_EQ(admits(other_mac), 1);

  // Without its NUL too, as a repeater's own keep-alive carries it.
  EXPECT_EQ(admits(packet(0, {password_ext("secret", false)})), 1);
  EXPECT_EQ(admits(packet(0, {password_ext("secre", false)})), 0);
  EXPECT_EQ(admits(packet(0, {password_ext("secre")})), 0);
  EXPECT_EQ(admits(packet(0, {password_ext("secret!")})), 0);
  EXPECT_EQ(admits(packet(0)), 0);
  // The password is found behind other records and admits at once, before
  // a later record that would not even fit.
  Bytes late = packet(0, {ext(2, Bytes(27)), password_ext("nope"), password_ext("secret")});
  EXPECT_EQ(admits(late), 1);
  Bytes then_broken = packet(0, {password_ext("secret"), Bytes{1, 0xff}});
  then_broken[QMZP_EXT_COUNT] = 2;
  EXPECT_EQ(admits(then_broken), 1);
}

TEST_F(Admission, ExtensionsMustLieInsideTheDatagram) {
  settings_for_tests().accept_any_mac = 1;
  add_pass("");
  EXPECT_EQ(admits(packet(0)), 1);
  Bytes eleven = packet(0);
  eleven.resize(11);
  EXPECT_EQ(admits(eleven), 1);  // no records to walk
  eleven[QMZP_EXT_COUNT] = 1;
  EXPECT_EQ(admits(eleven), 0);

  Bytes past_end = packet(0, {ext(2, Bytes(10))});
  past_end.pop_back();
  EXPECT_EQ(admits(past_end), 0);

  Bytes two = packet(0, {ext(7, Bytes(4))});
  two[QMZP_EXT_COUNT] = 2;
  EXPECT_EQ(admits(two), 0);
  two.insert(two.end(), {9, 0, 0});
  EXPECT_EQ(admits(two), 1);

  Bytes long_len = packet(0, {ext(7, Bytes(258))});
  EXPECT_EQ(long_len[QMZP_EXTS + 1], 0x01);
  EXPECT_EQ(long_len[QMZP_EXTS + 2], 0x02);
  EXPECT_EQ(admits(long_len), 1);
  long_len.pop_back();
  EXPECT_EQ(admits(long_len), 0);
}

TEST_F(Admission, EmptyPasswordAnywhereInTheListAdmits) {
  settings_for_tests().accept_any_mac = 1;
  add_pass("secret");
  EXPECT_EQ(admits(packet(1)), 0);
  add_pass("");
  EXPECT_EQ(admits(packet(1)), 1);
  EXPECT_EQ(admits(packet(1, {password_ext("wrong")})), 1);
}

// A child repeater is admitted by the password its keep-alive carries, or
// by its address within a subnet.
TEST_F(Admission, ChildRepeaterByPasswordOrSubnet) {
  add_pass("pw");
  settings_for_tests().accept_any_mac = 1;
  EXPECT_EQ(admits(build_trigger("pw")), 1);
  EXPECT_EQ(admits(build_trigger("pwx")), 0);
  Bytes wrong = build_trigger("px");
  EXPECT_EQ(admits(wrong), 0);
  parse("allow_ip 10.0.0.250/30\n");  // 10.0.0.248 to 10.0.0.251
  EXPECT_EQ(admits(wrong), 0);
  parse("allow_ip 10.0.0.0/29\n");  // 10.0.0.0 to 10.0.0.7
  EXPECT_EQ(admits(wrong), 1);
  EXPECT_EQ(admits(wrong, make_addr("10.0.0.8", 6000)), 0);
  parse("allow_ip 0.0.0.0/0\n");
  EXPECT_EQ(admits(wrong, make_addr("192.0.2.1", 6000)), 1);
}

class ControlPath : public TolvekTest {
 protected:
  // Handles p and returns what went to standard output.
  static std::string handle(const Bytes& p, const sockaddr_in& from = kSender) {
    CaptureStdout();
    CaptureStderr();
    handle_control(p.data(), p.size(), from);
    last_err = GetCapturedStderr();
    return GetCapturedStdout();
  }
  static inline std::string last_err;
};

TEST_F(ControlPath, RegistrationCreatesEnablesAndCountsOnce) {
  settings_for_tests().accept_any_mac = 1;
  add_pass("");
  EXPECT_EQ(handle(packet(0)), "Adding client 10.0.0.7:6000 on his request.\n");
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].flags, F_ENABLED);
  EXPECT_EQ(memcmp(clients[0].mac, kMac.data(), 6), 0);
  EXPECT_EQ(n_active_clients, 1u);

  fake_mono += 15;
  fake_wall += 15;
  EXPECT_EQ(handle(packet(0x20)), "");
  EXPECT_EQ(clients[0].last_contact, mono_seconds());
  EXPECT_EQ(clients[0].timestamp, static_cast<time_t>(fake_wall));
  EXPECT_EQ(n_active_clients, 1u);
}

TEST_F(ControlPath, RejectionIsReported) {
  EXPECT_EQ(handle(packet(0)), "");
  EXPECT_EQ(last_err, "2:Request from 10.0.0.7:6000 rejected.\n");
  EXPECT_TRUE(clients.empty());
}

TEST_F(ControlPath, OnlyEnablingMessagesCreateEntries) {
  add_ip(kSender.sin_addr.s_addr);
  // The type is all five low bits: 16, 17 and 18 are not 0, 1 and 2.
  for (unsigned type = 3; type <= 31; type++) {
    for (uint8_t upper : {0x00, 0x20, 0xe0}) {
      EXPECT_EQ(handle(packet(static_cast<uint8_t>(upper | type))), "") << type;
      EXPECT_EQ(last_err, "") << type;
    }
  }
  EXPECT_EQ(handle(packet(2)), "");
  EXPECT_EQ(last_err, "2:Request from 10.0.0.7:6000 to stop streaming.\n");
  EXPECT_EQ(handle(packet(2)), "");
  EXPECT_TRUE(clients.empty());
  EXPECT_EQ(n_active_clients, 0u);

  parse("allow_ip_port 10.0.0.7:6000\n");
  for (unsigned type = 3; type <= 31; type++) handle(packet(static_cast<uint8_t>(type)));
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].flags, F_ALLOWED);
  EXPECT_EQ(n_active_clients, 0u);
}

TEST_F(ControlPath, SenderIdIsTakenOnlyWhenTheEntryBecomesActive) {
  add_ip(kSender.sin_addr.s_addr);
  handle(packet(0));
  Bytes other = packet(0);
  other[QMZP_SENDER_ID] = 0xee;
  handle(other);
  other[QMZP_VMT] = 1;
  handle(other);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(memcmp(clients[0].mac, kMac.data(), 6), 0);
}

TEST_F(ControlPath, ShortDatagramsReadMissingBytesAsZero) {
  add_ip(kSender.sin_addr.s_addr);
  handle(Bytes{'Q', 'M', 'Z', 3, 0xaa, 0xbb});
  EXPECT_TRUE(clients.empty());  // type 3, id bytes partly present
  EXPECT_EQ(handle(Bytes{0xff, 0xff}), "Adding client 10.0.0.7:6000 on his request.\n");  // type 0
  ASSERT_EQ(clients.size(), 1u);
  for (uint8_t b : clients[0].mac) EXPECT_EQ(b, 0);

  settings_for_tests().accept_qmz = 1;
  sockaddr_in legacy_sender = make_addr("10.0.0.8", 1);
  EXPECT_EQ(handle(Bytes{'Q', 'M', 'Z', 0}, legacy_sender), "Adding client 10.0.0.8:1 on his request.\n");
  const Client* c = find_client(legacy_sender.sin_addr.s_addr, legacy_sender.sin_port);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->flags, F_ENABLED);
  for (uint8_t b : c->mac) EXPECT_EQ(b, 0);
}

TEST_F(ControlPath, StopRequestRetiresAtTheNextPassUnlessRenewed) {
  set_sockets_for_tests(input_socket, socket(AF_INET, SOCK_DGRAM, 0), statistics_socket);
  LoopbackSocket receiver;
  sockaddr_in from = make_addr("127.0.0.1", receiver.port);
  add_ip(from.sin_addr.s_addr);
  handle(packet(0), from);
  handle(packet(2), from);
  EXPECT_EQ(last_err, "2:Request from 127.0.0.1:" + std::to_string(receiver.port) + " to stop streaming.\n");
  EXPECT_EQ(clients[0].timestamp, 0);
  handle(packet(0), from);  // renewed before any pass
  uint8_t d[] = {1, 2, 3, 4};
  send_packets(d, 4, fake_mono);
  EXPECT_EQ(receiver.receive().size(), 4u);

  handle(packet(2), from);
  CaptureStdout();
  send_packets(d, 4, fake_mono);
  EXPECT_EQ(GetCapturedStdout(), "Client 127.0.0.1:" + std::to_string(receiver.port) + " timed out.\n");
  EXPECT_TRUE(receiver.nothing_waiting());
  EXPECT_TRUE(clients.empty());
  EXPECT_EQ(n_active_clients, 0u);
}

TEST_F(ControlPath, PermanentClientIsNeitherCountedNorStopped) {
  set_sockets_for_tests(input_socket, socket(AF_INET, SOCK_DGRAM, 0), statistics_socket);
  LoopbackSocket receiver;
  CaptureStdout();
  parse("client 127.0.0.1:" + std::to_string(receiver.port) + "\n");
  GetCapturedStdout();
  sockaddr_in from = make_addr("127.0.0.1", receiver.port);
  EXPECT_EQ(handle(packet(0), from), "");
  EXPECT_EQ(handle(packet(2), from), "");
  EXPECT_EQ(clients[0].timestamp, 0);
  EXPECT_EQ(n_active_clients, 1u);
  uint8_t d[] = {1, 2, 3, 4};
  send_packets(d, 4, fake_mono);
  EXPECT_EQ(receiver.receive().size(), 4u);
}

TEST_F(ControlPath, DisabledAllowedEntryIsReEnabledAndCountedAgain) {
  parse("allow_ip_port 10.0.0.7:6000\n");
  EXPECT_EQ(handle(packet(0)), "Adding client 10.0.0.7:6000 on his request.\n");
  EXPECT_EQ(clients[0].flags, F_ALLOWED | F_ENABLED);
  fake_mono += 21;
  CaptureStdout();
  check_timeouts(fake_mono);
  GetCapturedStdout();
  EXPECT_EQ(clients[0].flags, F_ALLOWED);
  EXPECT_EQ(n_active_clients, 0u);
  EXPECT_EQ(handle(packet(1)), "Adding client 10.0.0.7:6000 on his request.\n");
  EXPECT_EQ(n_active_clients, 1u);
}

TEST_F(ControlPath, FullTableSaysSoAndIgnoresNewSenders) {
  set_max_n_clients(1);
  add_ip(ip("10.0.0.7"));
  handle(packet(0), make_addr("10.0.0.7", 1));
  EXPECT_EQ(handle(packet(0), make_addr("10.0.0.7", 2)), "");
  EXPECT_EQ(last_err, "tolvek: client table full (max_clients 1): request from 10.0.0.7:2 not added.\n");
  handle(packet(0), make_addr("10.0.0.7", 1));
  EXPECT_EQ(last_err, "");
  EXPECT_EQ(clients.size(), 1u);
  EXPECT_EQ(n_active_clients, 1u);
}

TEST(StatusReport, LineFormat) {
  Bytes status(27);
  status[0] = 3;
  status[1] = 0x10;              // received 0x00000210
  status[2] = 0x02;
  status[5] = 7;                 // lost
  status[9] = 0xff;              // duplicates 0x01ff
  status[10] = 0x01;
  status[13] = 0x01;             // dropped 0x01000001
  status[16] = 0x01;
  status[17] = 0x34;             // max jitter 0x1234
  status[18] = 0x12;
  status[19] = 9;                // min jitter
  Bytes p = packet(1, {ext(2, status)});
  EXPECT_EQ(status_report_line(p.data(), p.size()),
            "554433221100:status:3,recv frames=528, lost frames:7, dup frames:511, drop frames=16777217, "
            "min jitter=9,max jitter=4660");

  Bytes short_id{'Q', 'M', 'Z', 1, 0x0a, 0x0b, 0x0c, 0x0d, 0, 0, 0, 0, 2, 0, 27, 200, 5};
  EXPECT_EQ(status_report_line(short_id.data(), short_id.size()),
            "d0c0b0a:status:200,recv frames=5, lost frames:0, dup frames:0, drop frames=0, min jitter=0,max jitter=0");
}

TEST(Trigger, PacketBytes) {
  Bytes three = build_trigger("abc");
  Bytes want{'Q', 'M', 'Z', 0x20, 't', 'o', 'l', 'v', 'e', 'k', 1, 0, 1, 0, 3, 'a', 'b', 'c'};
  EXPECT_EQ(three, want);
  Bytes long_pw = build_trigger(std::string(300, 'x'));
  ASSERT_EQ(long_pw.size(), 315u);
  EXPECT_EQ(long_pw[13], 0x01);
  EXPECT_EQ(long_pw[14], 0x2c);
}

// The packets tolvek-join sends, against the layout a player's companion
// would be written from: magic, type byte, sender id, record count, 0, records.
TEST(ClientPackets, RegistrationAndStopBytes) {
  Bytes bare{'Q', 'M', 'Z', 0x20, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0};
  EXPECT_EQ(build_registration(kMac, std::nullopt), bare);

  Bytes secret{'Q', 'M', 'Z', 0x20, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 1, 0,
               1, 0, 7, 's', 'e', 'c', 'r', 'e', 't', 0};
  EXPECT_EQ(build_registration(kMac, std::string("secret")), secret);

  Bytes stop{'Q', 'M', 'Z', 0x22, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 1, 0, 1, 0, 3, 'p', 'w', 0};
  EXPECT_EQ(build_stop(kMac, std::string("pw")), stop);
  Bytes bare_stop = bare;
  bare_stop[QMZP_VMT] = 0x22;
  EXPECT_EQ(build_stop(kMac, std::nullopt), bare_stop);

  // An empty password is still sent: its NUL alone.
  Bytes empty{'Q', 'M', 'Z', 0x20, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 1, 0, 1, 0, 1, 0};
  EXPECT_EQ(build_registration(kMac, std::string()), empty);

  Bytes long_pw = build_registration(kMac, std::string(300, 'x'));
  ASSERT_EQ(long_pw.size(), 12u + 3 + 301);
  EXPECT_EQ(long_pw[13], 0x01);  // 301, big-endian
  EXPECT_EQ(long_pw[14], 0x2d);
  EXPECT_EQ(long_pw.back(), 0);
}

TEST(ClientPackets, StatusReportBytes) {
  TStreamStatus st{};
  st.status = 0x7f;
  st.received_frames = 0x04030201;
  st.lost_frames = 0x08070605;
  st.duplicate_frames = 0x0c0b0a09;
  st.dropped_frames = 0x100f0e0d;
  st.max_jitter = 0x1211;
  st.min_jitter = 0x1413;
  st.avg_jitter = 0x1615;
  st.avg_delay = 0x1817;
  st.bit_rate = 0x1a19;
  Bytes want{'Q', 'M', 'Z', 0x21, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 2, 0,
             2, 0, 27, 0x7f,  // the stream status record first, 27 bytes, little-endian fields
             0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10,
             0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1a,
             1, 0, 3, 'p', 'w', 0};
  Bytes p = build_status_report(kMac, std::string("pw"), st);
  EXPECT_EQ(p, want);

  Bytes without = build_status_report(kMac, std::nullopt, st);
  ASSERT_EQ(without.size(), QMZP_EXTS + QMZP_EXT_LEN);
  EXPECT_EQ(without[QMZP_EXT_COUNT], 1);
  EXPECT_TRUE(std::equal(without.begin() + QMZP_EXTS, without.end(), want.begin() + QMZP_EXTS));

  // What the repeater makes of it.
  EXPECT_EQ(status_report_line(p.data(), p.size()),
            "554433221100:status:127,recv frames=67305985, lost frames:134678021, dup frames:202050057, "
            "drop frames=269422093, min jitter=5139,max jitter=4625");
}

TEST_F(Admission, ClientPacketsPassTheCheckTheirPasswordIsFor) {
  add_mac("00:11:22:33:44:55");
  add_pass("secret");
  TStreamStatus st{};
  EXPECT_EQ(admits(build_registration(kMac, std::string("secret"))), 1);
  EXPECT_EQ(admits(build_status_report(kMac, std::string("secret"), st)), 1);
  EXPECT_EQ(admits(build_stop(kMac, std::string("secret"))), 1);
  EXPECT_EQ(admits(build_registration(kMac, std::nullopt)), 0);
  EXPECT_EQ(admits(build_registration(kMac, std::string("secreT"))), 0);
  Mac other = kMac;
  other[5] ^= 1;
  EXPECT_EQ(admits(build_registration(other, std::string("secret"))), 0);
}

class KeepAlive : public TolvekTest {
 protected:
  LoopbackSocket source, alt;
  void SetUp() override {
    TolvekTest::SetUp();
    set_sockets_for_tests(socket(AF_INET, SOCK_DGRAM, 0), output_socket, statistics_socket);
    parse("source 127.0.0.1:" + std::to_string(source.port) + " pw\n");
    parse("alt_source 127.0.0.1:" + std::to_string(alt.port) + " alt\n");
  }
};

TEST_F(KeepAlive, PeriodRestartsWithEveryDecision) {
  send_trigger(true, fake_mono);  // nobody downstream: no packet, but the period restarts
  EXPECT_TRUE(source.nothing_waiting());
  EXPECT_EQ(last_trigger, fake_mono);

  fake_mono += 0.5;
  add_permanent_client(ip("10.0.0.7"), htons(6000));
  send_trigger(false, fake_mono);  // the first active client: at once
  EXPECT_EQ(source.receive(), build_trigger("pw"));
  fake_mono += 1.9;
  send_trigger(false, fake_mono);
  EXPECT_TRUE(source.nothing_waiting());
  fake_mono += 0.1;
  send_trigger(false, fake_mono);
  EXPECT_EQ(source.receive(), build_trigger("pw"));
  fake_mono += 1.0;
  send_trigger(false, fake_mono);
  EXPECT_TRUE(source.nothing_waiting());
  send_trigger(true, fake_mono);
  EXPECT_EQ(source.receive(), build_trigger("pw"));

  set_alt_toggle_for_tests(1);
  fake_mono += 2;
  send_trigger(false, fake_mono);
  EXPECT_EQ(alt.receive(), build_trigger("alt"));
  EXPECT_TRUE(source.nothing_waiting());
}

// A source that streams only when asked is not blamed for silence before
// it was asked: the 4 s count from the first keep-alive, and the source
// failed over to is asked at once.
TEST_F(KeepAlive, FailoverCountsFromTheFirstKeepAliveAndAsksAtOnce) {
  parse("input_port 0\n");
  parse("alt_input_port 0\n");
  parse("output_port 0\n");
  CaptureStdout();
  init_sockets();
  fake_mono += 100;  // idle, with nobody downstream
  after_wakeup(fake_mono);
  EXPECT_EQ(alt_toggle, 0);

  add_permanent_client(ip("10.0.0.7"), htons(6000));
  fake_mono += 1;
  after_wakeup(fake_mono);
  EXPECT_EQ(source.receive(), build_trigger("pw"));
  fake_mono += 4.0;
  after_wakeup(fake_mono);
  EXPECT_EQ(alt_toggle, 0);
  fake_mono += 0.01;
  after_wakeup(fake_mono);
  EXPECT_EQ(alt_toggle, 1);
  EXPECT_FALSE(alt.receive().empty());
  GetCapturedStdout();
}

TEST_F(KeepAlive, NoneForPortZeroOrEmptyPassword) {
  add_permanent_client(ip("10.0.0.7"), htons(6000));
  parse("source 127.0.0.1:0 pw\n");
  send_trigger(true, fake_mono);
  parse("source 127.0.0.1:" + std::to_string(source.port) + "\n");
  send_trigger(true, fake_mono);
  EXPECT_TRUE(source.nothing_waiting());
  EXPECT_EQ(last_trigger, fake_mono);
}

// A sender admitted under the old configuration is checked again at its
// next control packet: one the new configuration would not admit is
// rejected, and its entry goes when its time is up.
TEST_F(ControlPath, AfterANewConfigurationRegisteredSendersAreCheckedAgain) {
  add_ip(kSender.sin_addr.s_addr);
  handle(packet(0));
  ASSERT_EQ(clients.size(), 1u);
  settings_for_tests().ips.clear();
  configure_clients({}, max_n_clients);
  handle(packet(0));
  EXPECT_EQ(last_err, "2:Request from 10.0.0.7:6000 rejected.\n");
  EXPECT_EQ(clients[0].flags, F_ENABLED | F_RECHECK);
  settings_for_tests().accept_any_mac = 1;
  add_pass("");
  handle(packet(0));
  EXPECT_EQ(last_err, "");
  EXPECT_EQ(clients[0].flags, F_ENABLED);
}
