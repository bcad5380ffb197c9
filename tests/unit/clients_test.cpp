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
  get_client(ip("10.0.0.9"), htons(5000));
  get_client(ip("10.0.0.2"), htons(7000));
  get_client(ip("10.0.0.2"), htons(6000));
  get_client(ip("9.255.255.255"), htons(9));
  get_client(ip("10.0.0.2"), htons(256));  // 0x0100: network order would put it after 6000
  std::vector<std::pair<std::string, uint16_t>> want{
      {"9.255.255.255", 9}, {"10.0.0.2", 256}, {"10.0.0.2", 6000}, {"10.0.0.2", 7000}, {"10.0.0.9", 5000}};
  EXPECT_EQ(entries(), want);
}

TEST_F(ClientTable, FindsEveryEntryAndNothingElse) {
  set_max_n_clients(50);
  for (int i = 0; i < 50; i++) get_client(htonl(0x0a000000u + static_cast<uint32_t>(i * 7919 % 50)), htons(80));
  for (int i = 0; i < 50; i++) {
    const Client* c = find_client(htonl(0x0a000000u + static_cast<uint32_t>(i)), htons(80));
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
  const Client* known = get_client(ip("10.0.0.1"), htons(1));
  ASSERT_NE(known, nullptr);
  EXPECT_EQ(known->s_addr, ip("10.0.0.1"));
  EXPECT_EQ(clients.size(), 2u);
}

TEST_F(ClientTable, NewEntryStartsClean) {
  fake_wall = 1700000123.9;
  fake_mono = 55.5;
  const Client* c = get_client(ip("10.0.0.1"), htons(1));
  EXPECT_EQ(c->timestamp, 1700000123);
  EXPECT_EQ(c->up_since, 1700000123);
  EXPECT_EQ(c->last_contact, 55);
  EXPECT_EQ(c->flags, 0);
  EXPECT_EQ(c->rtp_packets_sent, 0u);
  for (uint8_t b : c->mac) EXPECT_EQ(b, 0);
  EXPECT_EQ(n_active_clients, 0u);
}

// A new configuration: permanent and allowed entries follow it, whatever the
// table's size; registered ones keep their state and timers, to be checked
// again at their next control packet.
TEST_F(ClientTable, NewConfigurationKeepsRegisteredEntriesAndFollowsTheFile) {
  const uint8_t id[6] = {2, 0, 0x5e, 1, 2, 3};
  auto configured = [](const char* addr, uint8_t flags) { return ConfiguredClient{ip(addr), htons(1), flags}; };
  configure_clients({configured("10.0.0.1", F_PERMANENT | F_ENABLED), configured("10.0.0.2", F_ALLOWED),
                     configured("10.0.0.3", F_PERMANENT | F_ENABLED)},
                    3);
  register_client(ip("10.0.0.2"), htons(1), id);  // the allowed entry registers
  fake_mono += 5;
  set_max_n_clients(4);
  register_client(ip("10.0.0.9"), htons(1), id);  // a stranger registers
  int64_t contact = clients.back().last_contact;
  EXPECT_EQ(n_active_clients, 4u);

  std::vector<ConfiguredChange> told =
      configure_clients({configured("10.0.0.1", F_PERMANENT | F_ENABLED), configured("10.0.0.4", F_PERMANENT | F_ENABLED)}, 1);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_FALSE(told[0].permanent);  // 10.0.0.3: unnamed now
  EXPECT_EQ(told[0].s_addr, ip("10.0.0.3"));
  EXPECT_TRUE(told[1].permanent);  // 10.0.0.4: new
  EXPECT_EQ(entries(), (std::vector<std::pair<std::string, uint16_t>>{
                           {"10.0.0.1", 1}, {"10.0.0.2", 1}, {"10.0.0.4", 1}, {"10.0.0.9", 1}}));
  EXPECT_EQ(clients[1].flags, F_ENABLED | F_RECHECK);  // no longer allowed, still registered
  EXPECT_EQ(clients[3].flags, F_ENABLED | F_RECHECK);
  EXPECT_EQ(clients[3].last_contact, contact);
  EXPECT_EQ(n_active_clients, 4u);
  EXPECT_EQ(max_n_clients, 1u);  // above it now: they stay, and no one new comes in
  EXPECT_EQ(get_client(ip("10.0.0.8"), htons(1)), nullptr);
  register_client(ip("10.0.0.9"), htons(1), id);
  EXPECT_EQ(clients[3].flags, F_ENABLED);
}
