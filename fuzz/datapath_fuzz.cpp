// Datagrams and sequence numbers in any order through the data path, with
// registrations, timeout passes, report rebuilds and statistics requests in
// between. Everything is sent to loopback addresses only.
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

#include "daemon/control.h"
#include "daemon/loop.h"
#include "daemon/net.h"
#include "daemon/stats.h"
#include "fuzz_support.h"
#include "json_check.h"

static int loopback_socket() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return fd;
}

static void config_line(const char* text) {
  char line[1024];
  snprintf(line, sizeof line, "%s", text);
  parse_line(line);
}

static void configure(Input& in) {
  static const char* sources[] = {nullptr, "source 127.0.0.1:40000 pw\n", "source 127.0.0.1:0\n",
                                  "source 239.1.2.3:40000\n"};
  uint8_t a = in.byte();
  if (sources[a & 3]) config_line(sources[a & 3]);
  if (a & 0x04) config_line("alt_source 127.0.0.4:40008\n");
  if (a & 0x08) config_line("client 127.0.0.1:40001\n");
  if (a & 0x10) config_line("client 127.0.0.5:40002\n");
  if (a & 0x20) config_line("allow_ip_port 127.0.0.6:40003\n");
  if (a & 0x40) add_ip(htonl(0x7f000002));
  if (a & 0x80) {
    settings_for_tests().accept_any_mac = 1;
    add_pass("");
  }
  if (settings.source && !settings.alt_source) settings_for_tests().alt_source = settings.source;
}

static uint16_t stats_asker_port(uint8_t b) { return static_cast<uint16_t>(40000 + (b >> 3)); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int out_fd = loopback_socket(), stats_fd = loopback_socket();
  // Ours, open for the whole run: the reset must not close them.
  set_sockets_for_tests(-1, -1, -1);
  fuzz_reset();
  set_sockets_for_tests(out_fd, out_fd, stats_fd);
  Input in{data, size};
  configure(in);
  while (!in.empty()) {
    uint8_t op = in.byte();
    size_t len;
    switch (op & 7) {
      case 0:
      case 1: {  // from the source, or from a sender the input picks
        const SourceRecord* src = current_source();
        sockaddr_in from = (op & 8) && src && src->a.sin_port ? src->a : fuzz_sender(in.byte());
        const uint8_t* d = in.bytes(in.byte() | (in.byte() & 3) << 8, len);
        handle_data(d, len, from, in_addr{}, fuzz_mono);
        break;
      }
      case 2: {
        sockaddr_in from = fuzz_sender(in.byte());
        const uint8_t* p = in.bytes(in.byte(), len);
        handle_control(p, len, from);
        break;
      }
      case 3:
        fuzz_mono += (op >> 3) * 0.25;
        fuzz_wall += (op >> 3) * 0.25;
        check_timeouts(fuzz_mono);
        break;
      case 4: {
        sockaddr_in asker = fuzz_sender(in.byte());
        asker.sin_port = htons(stats_asker_port(op));
        const uint8_t* p = in.bytes(in.byte() & 15, len);
        handle_stats_request(p, len, asker, fuzz_mono);
        break;
      }
      case 5:
        rebuild_report((op >> 3) / 31.0);
        break;
      case 6:
        if (settings.alt_source) set_alt_toggle_for_tests(alt_toggle ^ 1);
        break;
      case 7: {  // an RTP-sized datagram with a chosen sequence number
        uint8_t d[12] = {0x80, 0x60, in.byte(), in.byte()};
        const SourceRecord* src = current_source();
        handle_data(d, sizeof d, src && src->a.sin_port ? src->a : fuzz_sender(0), in_addr{}, fuzz_mono);
        fuzz_mono += (op >> 3) * 0.001;
        break;
      }
    }
    check_client_table(true);
    const Stats& s = stream_stats;
    FUZZ_CHECK(valid_json(s.stats));
    FUZZ_CHECK(s.lost_frames <= 32767 * s.received_frames);
    FUZZ_CHECK(s.lfps >= 0 && std::isfinite(s.bps) && std::isfinite(s.fps));
  }
  return 0;
}
