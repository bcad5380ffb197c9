#include "fixture.h"

class ClientTable : public TolvekTest {
 protected:
  static std::vector<std::pair<std::string, uint16_t>> entries() {
    std::vector<std::pair<std::string, uint16_t>> out;
    for (const Client& c : clients) out.emplace_back(inet_ntoa(in_addr{c.s_addr}), ntohs(c.sin_port));
    return out;
  }
};

TEST_F(ClientTable, OrdersByNumericAddressThenPort) {
  add_client(ip("10.0.0.9"), htons(5000));
  add_client(ip("10.0.0.2"), htons(7000));
  add_client(ip("10.0.0.2"), htons(6000));
  add_client(ip("9.255.255.255"), htons(9));
  add_client(ip("10.0.0.2"), htons(256));  // 0x0100: network order would put it after 6000
  std::vector<std::pair<std::string, uint16_t>> want{
      {"9.255.255.255", 9}, {"10.0.0.2", 256}, {"10.0.0.2", 6000}, {"10.0.0.2", 7000}, {"10.0.0.9", 5000}};
  EXPECT_EQ(entries(), want);
}

TEST_F(ClientTable, FindsEveryEntryAndNothingElse) {
  for (int i = 0; i < 50; i++) add_client(htonl(0x0a000000u + static_cast<uint32_t>(i * 7919 % 50)), htons(80));
  for (int i = 0; i < 50; i++) {
    Client* c = find_client(htonl(0x0a000000u + static_cast<uint32_t>(i)), htons(80));
    ASSERT_NE(c, nullptr) << i;
    EXPECT_EQ(ntohl(c->s_addr), 0x0a000000u + static_cast<uint32_t>(i));
  }
  EXPECT_EQ(find_client(htonl(0x0a000000u), htons(81)), nullptr);
  EXPECT_EQ(find_client(htonl(0x0a000032u), htons(80)), nullptr);
}

TEST_F(ClientTable, LimitRefusesNewAddressesOnly) {
  set_max_n_clients(2);
  ASSERT_NE(get_client(ip("10.0.0.1"), htons(1)), nullptr);
  ASSERT_NE(get_client(ip("10.0.0.2"), htons(1)), nullptr);
  EXPECT_EQ(get_client(ip("10.0.0.3"), htons(1)), nullptr);
  Client* known = get_client(ip("10.0.0.1"), htons(1));
  ASSERT_NE(known, nullptr);
  EXPECT_EQ(known->s_addr, ip("10.0.0.1"));
  EXPECT_EQ(clients.size(), 2u);
}

TEST_F(ClientTable, NewEntryStartsClean) {
  fake_wall = 1700000123.9;
  fake_mono = 55.5;
  Client* c = get_client(ip("10.0.0.1"), htons(1));
  EXPECT_EQ(c->timestamp, 1700000123);
  EXPECT_EQ(c->up_since, 1700000123);
  EXPECT_EQ(c->last_contact, 55);
  EXPECT_EQ(c->flags, 0);
  EXPECT_EQ(c->rtp_packets_sent, 0u);
  for (uint8_t b : c->mac) EXPECT_EQ(b, 0);
  EXPECT_EQ(n_active_clients, 0u);
}
