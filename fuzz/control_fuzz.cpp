// Any datagram from any sender through the admission check into the client
// table, under a configuration the first input bytes choose, with the clock
// moving and timeout passes in between.
#include <cstring>

#include "daemon/control.h"
#include "daemon/loop.h"
#include "fuzz_support.h"

static void config_line(const char* text) {
  char line[1024];
  snprintf(line, sizeof line, "%s", text);
  parse_line(line);
}

static void configure(Input& in) {
  static const unsigned capacities[] = {1, 2, 4, 32};
  uint8_t a = in.byte(), b = in.byte();
  set_max_n_clients(capacities[a & 3]);
  if (a & 0x04) settings_for_tests().accept_qmz = 1;
  if (a & 0x08) settings_for_tests().accept_any_mac = 1;
  if (a & 0x10) add_pass("");
  if (a & 0x20) add_pass("secret");
  if (a & 0x40) add_ip(htonl(0x7f000002));  // 127.0.0.2, one of the senders
  if (a & 0x80) settings_for_tests().macs.push_back(Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  if (b & 0x01) config_line("client 127.0.0.1:40000\n");
  if (b & 0x02) config_line("allow_ip_port 127.0.0.3:40001\n");
  if (b & 0x04) config_line("allow_ip_port 127.0.0.1:40000\n");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_reset();
  Input in{data, size};
  configure(in);
  check_client_table(true);
  while (!in.empty()) {
    uint8_t op = in.byte();
    if ((op & 3) == 3) {
      fuzz_mono += op >> 2;
      fuzz_wall += op >> 2;
      check_timeouts(fuzz_mono);
    } else {
      sockaddr_in from = fuzz_sender(in.byte());
      size_t len;
      const uint8_t* packet = in.bytes(in.byte(), len);
      handle_control(packet, len, from);
    }
    check_client_table(true);
  }
  return 0;
}
