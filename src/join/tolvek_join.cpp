// tolvek-join: registers with a repeater on a player's behalf and forwards
// the stream the repeater sends, unchanged, to the player.
#include <arpa/inet.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/sys.h"
#include "common/version.h"
#include "join/join.h"

[[noreturn]] static void usage(FILE* out, int status) {
  fputs(
      "Usage: tolvek-join REPEATER_HOST:PORT [options]\n"
      "  Registers with a repeater on a player's behalf and forwards the stream it\n"
      "  sends, unchanged, to the player. PORT is the repeater's output port.\n"
      "  --forward HOST:PORT     where the stream goes (default 127.0.0.1:5004)\n"
      "  --port N                local UDP port to register from and receive on (default: a\n"
      "                          free port the system picks; give one, so that the repeater\n"
      "                          sees the same client after a restart)\n"
      "  --mac XX:XX:XX:XX:XX:XX sender id (default: the hardware address of the interface\n"
      "                          that routes to the repeater, or 00:00:00:00:00:00 if none)\n"
      "  --password-file FILE    password for the repeater's admission check: the first line\n"
      "                          of FILE, which others must not read or write (chmod 600)\n"
      "  --password TEXT         the same, but shown to every local user by ps; without\n"
      "                          either, the password is TOLVEK_PASSWORD in the environment\n"
      "  --interval S            registration period, 0.1 to 15 (default 5)\n"
      "  --status-interval S     status report period, 0 (none) or 0.1 to 3600 (default 10)\n"
      "  --warn-after S          say what may be wrong after S seconds without a stream,\n"
      "                          0 (never) or 1 to 3600 (default 5)\n"
      "  -q                      print only errors, and what may be wrong\n"
      "  --help                  this text;  --version  the version\n"
      "SIGINT or SIGTERM sends the repeater a stop request and exits 0.\n"
      "Exit status: 1 when the address cannot be resolved, the port bound, the password\n"
      "file read or the stop request sent; 2 on bad usage.\n",
      out);
  exit(status);
}

[[noreturn]] static void usage_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

static void usage_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("tolvek-join: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  usage(stderr, 2);
}

// Seconds from low to high; allow_zero also takes 0 ("off").
static double seconds_arg(const char* option, const char* text, double low, double high, bool allow_zero) {
  char* end;
  double v = strtod(text, &end);
  bool in_range = (v >= low && v <= high) || (allow_zero && v == 0);
  if (*text == '\0' || *end != '\0' || !in_range)
    usage_error("%s needs a number of seconds from %s%g to %g, got %s", option, allow_zero ? "0 (off) or " : "", low,
                high, text);
  return v;
}

static long port_arg(const char* text, long low) {
  char* end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || v < low || v > 65535) return -1;
  return v;
}

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Six two-digit hexadecimal numbers separated by ':' or '-', as the
// repeater's allow_mac lines take them.
static Mac mac_arg(const char* text) {
  Mac m{};
  const char* p = text;
  for (size_t i = 0; i < m.size(); i++, p += 3) {
    int high = hex_value(p[0]);
    int low = high < 0 ? -1 : hex_value(p[1]);
    bool last = i + 1 == m.size();
    if (low < 0 || (last ? p[2] != '\0' : p[2] != ':' && p[2] != '-'))
      usage_error("--mac needs six two-digit hexadecimal numbers, XX:XX:XX:XX:XX:XX, got %s", text);
    m[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return m;
}

// HOST:PORT. A malformed text is a usage error (2); a host that does not
// resolve ends with status 1.
static sockaddr_in endpoint_arg(const char* what, const std::string& text) {
  size_t colon = text.rfind(':');
  long port = colon == std::string::npos ? -1 : port_arg(text.c_str() + colon + 1, 1);
  if (colon == std::string::npos || colon == 0 || port < 0)
    usage_error("%s needs HOST:PORT with a port from 1 to 65535, got %s", what, text.c_str());
  std::string host = text.substr(0, colon);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (int err = getaddrinfo(host.c_str(), nullptr, &hints, &found)) {
    fprintf(stderr, "tolvek-join: cannot resolve %s: %s\n", host.c_str(), gai_strerror(err));
    exit(1);
  }
  sockaddr_in sa{};
  memcpy(&sa, found->ai_addr, sizeof sa);
  freeaddrinfo(found);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

static std::string mac_text(const Mac& m) {
  char text[18];
  snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return text;
}

static std::string text_of(const sockaddr_in& sa) {
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
}

constexpr size_t MAX_PASSWORD = 1024;

// The first line of path, without its line end (a line feed, or a carriage
// return and a line feed, as an editor may save it). Like ssh with a
// private key, a file that other users may read or change is refused: the
// password in it would be no secret. A pipe will do (--password-file
// <(...)). At most the longest password and its line end are read: a file
// of a single long line, or an endless pipe, is refused as soon as it
// passes that.
static std::string password_from_file(const char* path) {
  FILE* f = fopen(path, "r");
  struct stat st{};
  if (!f || fstat(fileno(f), &st) != 0) {
    fprintf(stderr, "tolvek-join: cannot read %s: %s\n", path, strerror(errno));
    exit(1);
  }
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    fprintf(stderr, "tolvek-join: %s may be read or written by others (mode %03o): chmod 600 it\n", path,
            static_cast<unsigned>(st.st_mode & 0777));
    exit(1);
  }
  std::string line;
  int c = EOF;
  while (line.size() < MAX_PASSWORD + 2 && (c = getc(f)) != EOF && c != '\n') line += static_cast<char>(c);
  int err = errno;
  bool failed = ferror(f);
  fclose(f);
  if (failed) {
    fprintf(stderr, "tolvek-join: cannot read %s: %s\n", path, strerror(err));
    exit(1);
  }
  if (line.empty() && c == EOF) {
    fprintf(stderr, "tolvek-join: %s is empty: a password is its first line\n", path);
    exit(1);
  }
  if (c == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > MAX_PASSWORD) {
    fprintf(stderr, "tolvek-join: the password in %s is longer than 1024 bytes\n", path);
    exit(1);
  }
  return line;
}

struct Options {
  sockaddr_in repeater{};
  sockaddr_in forward{};
  long port = 0;
  std::optional<Mac> mac;  // none: the interface's, found once connected
  std::optional<std::string> password;
  double interval = 5.0;
  double status_interval = 10.0;
  double warn_after = 5.0;
  bool quiet = false;
};

static Options parse_args(int argc, char** argv) {
  // getopt_long codes of the long options without a short one.
  enum : int { FORWARD = 256, PORT, MAC, PASSWORD, PASSWORD_FILE, INTERVAL, STATUS_INTERVAL, WARN_AFTER, VERSION };
  static const option long_options[] = {
      {"forward", required_argument, nullptr, FORWARD},
      {"port", required_argument, nullptr, PORT},
      {"mac", required_argument, nullptr, MAC},
      {"password", required_argument, nullptr, PASSWORD},
      {"password-file", required_argument, nullptr, PASSWORD_FILE},
      {"interval", required_argument, nullptr, INTERVAL},
      {"status-interval", required_argument, nullptr, STATUS_INTERVAL},
      {"warn-after", required_argument, nullptr, WARN_AFTER},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, VERSION},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::string forward = "127.0.0.1:5004";
  const char* password_file = nullptr;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "qh", long_options, nullptr)) != -1;) {
    switch (c) {
      case FORWARD: forward = optarg; break;
      case PORT:
        o.port = port_arg(optarg, 0);
        if (o.port < 0) usage_error("--port needs a port from 0 to 65535, got %s", optarg);
        break;
      case MAC: o.mac = mac_arg(optarg); break;
      case PASSWORD:
        o.password = optarg;
        if (o.password->size() > MAX_PASSWORD) usage_error("--password takes at most 1024 bytes");
        // Blanked where ps reads it: that narrows, not closes, the window
        // in which others can see it.
        memset(optarg, 'x', strlen(optarg));
        break;
      case PASSWORD_FILE: password_file = optarg; break;
      case INTERVAL: o.interval = seconds_arg("--interval", optarg, 0.1, JOIN_MAX_INTERVAL, false); break;
      case STATUS_INTERVAL: o.status_interval = seconds_arg("--status-interval", optarg, 0.1, 3600, true); break;
      case WARN_AFTER: o.warn_after = seconds_arg("--warn-after", optarg, 1, 3600, true); break;
      case 'q': o.quiet = true; break;
      case 'h': usage(stdout, 0);
      case VERSION:
        printf("tolvek-join %s %s\n", TOLVEK_VERSION, TOLVEK_RELEASE_DATE);
        exit(0);
      default: usage_error("unknown option or missing value: %s", argv[optind - 1]);
    }
  }
  if (optind != argc - 1) usage_error("expected one REPEATER_HOST:PORT");
  if (o.password && password_file) usage_error("--password and --password-file exclude each other");
  if (password_file) {
    o.password = password_from_file(password_file);
  } else if (const char* env = getenv("TOLVEK_PASSWORD"); env && *env && !o.password) {
    o.password = env;
    if (o.password->size() > MAX_PASSWORD) usage_error("TOLVEK_PASSWORD takes at most 1024 bytes");
  }
  o.repeater = endpoint_arg("REPEATER", argv[optind]);
  o.forward = endpoint_arg("--forward", forward);
  return o;
}

// The name of the interface whose address fd sends from, and its hardware
// address if it has one of six bytes: all zeros for none (loopback has
// zeros), empty name when fd has no local address (no route).
static std::string sending_interface(int fd, Mac& mac) {
  sockaddr_in local{};
  socklen_t n = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n) != 0 || local.sin_addr.s_addr == htonl(INADDR_ANY))
    return "";
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return "";
  std::string name;
  for (ifaddrs* a = all; a && name.empty(); a = a->ifa_next)
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET &&
        reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == local.sin_addr.s_addr)
      name = std::string(a->ifa_name).substr(0, std::string(a->ifa_name).find(':'));  // an alias's label: eth0:1
  for (ifaddrs* a = all; a && !name.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || name != a->ifa_name) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (link->sll_halen == mac.size()) std::copy(link->sll_addr, link->sll_addr + mac.size(), mac.begin());
    break;
  }
  freeifaddrs(all);
  return name;
}

// The sender id: --mac, else the hardware address of the interface that
// routes to the repeater, so that the player keeps one id across restarts
// and the repeater's table and log tell the players apart. fd is connected
// to the repeater. Told at start.
static Mac sender_id(int fd, const Options& o) {
  if (o.mac) {
    if (!o.quiet) printf("tolvek-join: sender id %s, from --mac\n", mac_text(*o.mac).c_str());
    return *o.mac;
  }
  Mac mac{};
  std::string name = sending_interface(fd, mac);
  if (o.quiet) return mac;
  if (name.empty()) {
    printf("tolvek-join: sender id %s: no route to the repeater yet, so no interface to take one from\n",
           mac_text(mac).c_str());
  } else if (mac == Mac{}) {
    printf("tolvek-join: sender id %s: %s, which routes to the repeater, has no hardware address\n",
           mac_text(mac).c_str(), name.c_str());
  } else {
    printf("tolvek-join: sender id %s, the hardware address of %s, which routes to the repeater\n",
           mac_text(mac).c_str(), name.c_str());
  }
  return mac;
}

static volatile sig_atomic_t stop_signal = 0;

static void on_stop_signal(int) { stop_signal = 1; }

// SIGINT and SIGTERM are blocked except inside ppoll(), so a signal either
// ends the wait at once or is seen before the next one starts.
static sigset_t catch_stop_signals() {
  struct sigaction sa{};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigset_t stops, during_wait;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, &during_wait);
  sigdelset(&during_wait, SIGINT);
  sigdelset(&during_wait, SIGTERM);
  return during_wait;
}

static int bind_socket(long port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    fprintf(stderr, "tolvek-join: cannot bind UDP port %ld: %s\n", port, strerror(errno));
    exit(1);
  }
  return fd;
}

static uint16_t local_port(int fd) {
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  return ntohs(sa.sin_port);
}

// Connects fd to `to`. A socket connected already is disconnected first,
// so that the system picks the local address again: a device whose address
// changed goes on from the new one. 0 or the errno.
static int connect_to(int fd, const sockaddr_in& to) {
  sockaddr_in peer{};
  socklen_t n = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &n) == 0) {
    uint16_t port = local_port(fd);
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    connect(fd, &none, sizeof none);
    // Disconnecting lets go of a port the system picked: take it again, or
    // the repeater would see a new client.
    if (local_port(fd) == 0) {
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_ANY);
      sa.sin_port = htons(port);
      bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }
  }
  return connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? 0 : errno;
}

static int send_once(int fd, const uint8_t* buf, size_t len) {
  ssize_t n;
  do {
    n = send(fd, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? errno : 0;
}

// Sends on fd, connected to `to`, trying twice. A socket whose peer
// refused an earlier datagram (an ICMP error came back) fails its next send
// with that error, sending nothing: then the datagram goes on the second
// try. Any other failure connects afresh before the second try (a socket
// that had no route at start, or whose local address has gone). *first is
// the errno of the first try (0: sent at once); the result is 0 or the
// errno of the second.
static int send_connected(int fd, const uint8_t* buf, size_t len, const sockaddr_in& to, int* first = nullptr) {
  int err = send_once(fd, buf, len);
  if (first) *first = err;
  if (err == 0) return 0;
  if (err != ECONNREFUSED) {
    int not_connected = connect_to(fd, to);
    if (not_connected) return not_connected;
  }
  return send_once(fd, buf, len);
}

static int send_packet(int fd, const std::vector<uint8_t>& p, const sockaddr_in& to) {
  return send_connected(fd, p.data(), p.size(), to);
}

// A failure is also noted as what the repeater's address answered, as is
// the refusal of an earlier packet that a first try meets.
static void send_control(int fd, const std::vector<uint8_t>& p, const char* what, const sockaddr_in& to) {
  int first;
  int err = send_connected(fd, p.data(), p.size(), to, &first);
  if (first == ECONNREFUSED) join_answer_error(first);
  if (!err) return;
  join_answer_error(err);
  fprintf(stderr, "tolvek-join: cannot send a %s to %s: %s\n", what, text_of(to).c_str(), strerror(err));
}

// Told once when forwarding begins to fail and once when it has recovered:
// a missing player cannot flood the terminal, since a spell lasts at least
// JOIN_FORWARD_QUIET seconds. Both go to standard error, -q or not, so the
// errors tell when they ended.
static void forward_failed(const sockaddr_in& to, int err) {
  if (join_forward_failed())
    fprintf(stderr, "tolvek-join: cannot forward the stream to %s: %s\n", text_of(to).c_str(), strerror(err));
}

static void forward_sent(const sockaddr_in& to) {
  if (join_forward_sent())
    fprintf(stderr, "tolvek-join: forwarding to %s again after %llu dropped frames\n", text_of(to).c_str(),
            static_cast<unsigned long long>(join_state.failing_dropped));
}

// One frame dropped for a failed first try: this frame when the second
// failed too, else the earlier one whose refusal the first try met.
static void forward(int out, const uint8_t* buf, size_t len, const sockaddr_in& to) {
  int first;
  send_connected(out, buf, len, to, &first);
  if (first) {
    forward_failed(to, first);
  } else {
    forward_sent(to);
  }
}

// Takes what the forwarding socket holds: refusals of frames already sent
// (the kernel marks the socket with the first, and the next send would
// fail for it), and any datagram the player sends back, which is dropped.
static void take_forward_errors(int out, const sockaddr_in& to) {
  uint8_t buf[64];
  for (int i = 0; i < 64; i++) {
    ssize_t n = recv(out, buf, sizeof buf, MSG_DONTWAIT);
    if (n >= 0 || errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    forward_failed(to, errno);
  }
}

static void tell(const Options& o, JoinEvent e) {
  if (o.quiet || e == JoinEvent::kNone) return;
  if (e == JoinEvent::kStarted) printf("tolvek-join: stream started\n");
  if (e == JoinEvent::kStopped) printf("tolvek-join: stream stopped: nothing for %g s; still registering\n", JOIN_STREAM_TIMEOUT);
  if (e == JoinEvent::kResumed) printf("tolvek-join: stream resumed after %.1f s\n", join_state.silence);
}

// Forwards what is waiting, up to a bound per wake-up so the timers still
// get their turn under a flood. Only the repeater's datagrams go on: the
// socket is connected to it, so the kernel drops everyone else's, but some
// may have come between bind and connect, or while it connects afresh.
static void forward_waiting(int fd, int out, const Options& o) {
  static uint8_t buf[65536];
  for (int i = 0; i < 64; i++) {
    sockaddr_in from{};
    socklen_t n = sizeof from;
    ssize_t len = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &n);
    // An error here is the repeater's address refusing a registration
    // (nothing listens on its port) or another ICMP error: taking it keeps
    // it from failing the next send, and it tells what may be wrong.
    if (len < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (len < 0) {
      if (errno != EINTR) join_answer_error(errno);
      continue;
    }
    if (from.sin_addr.s_addr != o.repeater.sin_addr.s_addr || from.sin_port != o.repeater.sin_port) continue;
    forward(out, buf, static_cast<size_t>(len), o.forward);
    tell(o, join_datagram(buf, static_cast<size_t>(len)));
  }
}

// What may be wrong, on standard error whatever -q says: with no stream
// there is nothing else to tell. A repeater that rejects a registration
// answers nothing, so silence names every cause that keeps silent.
static void tell_no_stream(const Options& o, const Mac& mac, JoinDiagnosis d) {
  double t = join_no_stream_for();
  std::string at = text_of(o.repeater);
  unsigned port = ntohs(o.repeater.sin_port);
  switch (d) {
    case JoinDiagnosis::kNone:
      break;
    case JoinDiagnosis::kNoAnswer:
      fprintf(stderr,
              "tolvek-join: no stream for %.0f s and no answer from %s: no repeater is there or %u is not its output "
              "port, or it rejects sender id %s %s (see --mac and --password), or it has no stream to send\n",
              t, at.c_str(), port, mac_text(mac).c_str(), o.password ? "with this password" : "without a password");
      break;
    case JoinDiagnosis::kRefused:
      fprintf(stderr,
              "tolvek-join: no stream for %.0f s: %s refuses it (ICMP port unreachable): no repeater is running "
              "there, or %u is not its output port\n",
              t, at.c_str(), port);
      break;
    case JoinDiagnosis::kUnreachable:
      fprintf(stderr, "tolvek-join: no stream for %.0f s: %s cannot be reached: %s\n", t, at.c_str(),
              strerror(join_state.answer_error));
      break;
  }
}

static int run(int fd, int out, const Options& o, const Mac& mac, const sigset_t& during_wait) {
  const std::vector<uint8_t> registration = build_registration(mac, o.password);
  join_start(o.interval, o.status_interval, o.warn_after);
  for (;;) {
    if (stop_signal) {
      int err = send_packet(fd, build_stop(mac, o.password), o.repeater);
      if (err == 0) return 0;
      fprintf(stderr, "tolvek-join: cannot send the stop request to %s: %s\n", text_of(o.repeater).c_str(),
              strerror(err));
      return 1;
    }
    unsigned due = join_due();
    if (due & JOIN_SEND_REGISTRATION) send_control(fd, registration, "registration", o.repeater);
    if (due & JOIN_SEND_STATUS)
      send_control(fd, build_status_report(mac, o.password, join_status()), "status report", o.repeater);
    tell(o, join_check_silence());
    tell_no_stream(o, mac, join_check_no_stream());

    double wait = join_next_wakeup();
    timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
    // Errors wake the wait too (POLLERR): each handler takes them, or the
    // wait would return at once, again and again.
    pollfd p[2] = {{fd, POLLIN, 0}, {out, POLLIN, 0}};
    int ready = ppoll(p, 2, &timeout, &during_wait);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "tolvek-join: cannot wait on the socket: %s\n", strerror(errno));
      return 1;
    }
    if (ready <= 0) continue;
    if (p[1].revents) take_forward_errors(out, o.forward);
    if (p[0].revents) forward_waiting(fd, out, o);
  }
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  // The lines are for whoever reads them; one who goes away (a closed pipe
  // or terminal) costs the lines, never the player's stream.
  signal(SIGPIPE, SIG_IGN);
  Options o = parse_args(argc, argv);
  sigset_t during_wait = catch_stop_signals();
  int fd = bind_socket(o.port);
  // Connected, so that the kernel queues only the repeater's datagrams, and
  // the stream goes out from a socket of its own connected to the player,
  // which alone hears of the player's refusals. A connection that fails
  // here (no route yet) is tried again with each send.
  connect_to(fd, o.repeater);
  int out = bind_socket(0);
  connect_to(out, o.forward);
  if (!o.quiet)
    printf("tolvek-join: registering with %s from port %u, forwarding to %s\n", text_of(o.repeater).c_str(),
           local_port(fd), text_of(o.forward).c_str());
  Mac mac = sender_id(fd, o);
  int status = run(fd, out, o, mac, during_wait);
  close(out);
  close(fd);
  return status;
}
