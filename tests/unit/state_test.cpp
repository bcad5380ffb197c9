#include "daemon/state.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class SavedClients : public TolvekTest {
 protected:
  std::string folder;
  void SetUp() override {
    TolvekTest::SetUp();
    char dir[] = "/tmp/tolvek_state_unit_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder = dir;
    state_set_folder(folder);
  }
  void TearDown() override {
    unlink((folder + "/clients").c_str());
    rmdir(folder.c_str());
    TolvekTest::TearDown();
  }
  std::string file() const {
    std::ifstream f(folder + "/clients");
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
};

// What a restart needs, within a second of a change and no oftener: the
// registered entries and the input in use; configured and stopped entries
// come back otherwise or not at all. Read back, the entries are enabled,
// with their time left, to be checked again; the alternate input is current.
TEST_F(SavedClients, RegisteredEntriesAndTheInputInUseComeBack) {
  const uint8_t id[6] = {2, 0, 0x5e, 1, 2, 3};
  parse("alt_input_port 5001\n");
  parse("client 10.0.0.1:1\n");
  fake_wall = 1700000000;
  register_client(ip("10.0.0.9"), htons(6000), id);
  register_client(ip("10.0.0.8"), htons(6000), id);
  stop_client(ip("10.0.0.8"), htons(6000));
  state_save_if_due(fake_mono);
  const std::string entry = "10.0.0.9 6000 02005e010203 1000 1700000000 1700000000\n";
  EXPECT_EQ(file(), "tolvek registered clients 1\n" + entry);

  set_alt_toggle_for_tests(1);
  fake_mono += 0.5;
  state_save_if_due(fake_mono);  // within a second of the last write
  EXPECT_EQ(file(), "tolvek registered clients 1\n" + entry);
  EXPECT_EQ(state_next_save(), fake_mono + 0.5);
  fake_mono += 0.5;
  state_save_if_due(fake_mono);
  EXPECT_EQ(file(), "tolvek registered clients 1\ninput alternate\n" + entry);

  clients_reset();
  set_alt_toggle_for_tests(0);
  fake_mono += 19;  // 20 s after the contact: a second left
  CaptureStdout();
  state_restore();
  EXPECT_EQ(GetCapturedStdout(), "Restored 1 registered clients from " + folder +
                                     "/clients; 0 left out.\nStarting on the alternate input, as the last run "
                                     "ended.\n");
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].flags, F_ENABLED | F_RECHECK);
  EXPECT_EQ(clients[0].last_contact, 1000);
  EXPECT_EQ(n_active_clients, 1u);
  EXPECT_EQ(alt_toggle, 1);
}
