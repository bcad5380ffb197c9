// footprint: runs a daemon under a bounded load on loopback and reports its
// memory. It writes a configuration with a source and permanent clients (its
// own sockets on 127.0.0.1), starts COMMAND with the configuration's path
// appended, streams RTP-sized datagrams at a fixed rate for a fixed time,
// drains every client, and samples /proc of the daemon's process.
//
//   footprint [--clients N] [--rate PER_SECOND] [--seconds S] [--size BYTES]
//             [--guest-log FILE] COMMAND...
//
// COMMAND may start with an emulator (qemu-arm -L /usr/arm-linux-gnueabihf);
// the process figures are then those of the emulator, guest included. With
// "-d page -D FILE" on qemu-user's command line and --guest-log FILE here,
// it also sums the resident and private dirty memory of the guest's own
// mappings (qemu logs the guest's page layout there), an estimate of what
// the program takes on the device.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "proc_figures.h"

namespace {

constexpr double MAX_SECONDS = 120;  // the load always stops by itself
constexpr int MAX_CLIENTS = 256;
constexpr long MAX_RATE = 20000;

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int udp_socket(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    perror("footprint: socket");
    exit(1);
  }
  socklen_t n = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  port = ntohs(sa.sin_port);
  return fd;
}

uint16_t free_port() {
  uint16_t port;
  close(udp_socket(port));
  return port;
}

// The guest's mapped ranges in host addresses, from the last page layout in
// qemu-user's "-d page" log; inaccessible ranges are left out.
std::vector<std::pair<unsigned long, unsigned long>> guest_ranges(const std::string& log) {
  std::ifstream f(log);
  std::string line;
  unsigned long base = 0;
  std::vector<std::pair<unsigned long, unsigned long>> ranges;
  while (std::getline(f, line)) {
    unsigned long a, b, size;
    char prot[8];
    if (sscanf(line.c_str(), "Locating guest address space @ %lx", &base) == 1) continue;
    if (line.rfind("page layout changed", 0) == 0) ranges.clear();
    if (sscanf(line.c_str(), "%lx-%lx %lx %7s", &a, &b, &size, prot) == 4 && strcmp(prot, "---") != 0)
      ranges.emplace_back(base + a, base + b);
  }
  return ranges;
}

struct GuestMemory {
  long rss = 0, private_dirty = 0;  // KiB
};

GuestMemory guest_memory(pid_t pid, const std::string& log) {
  auto ranges = guest_ranges(log);
  std::ifstream f("/proc/" + std::to_string(pid) + "/smaps");
  std::string line;
  GuestMemory m;
  bool in_guest = false;
  while (std::getline(f, line)) {
    unsigned long a, b;
    if (sscanf(line.c_str(), "%lx-%lx ", &a, &b) == 2 && line.find(':') > line.find(' ')) {
      in_guest = false;
      for (auto& r : ranges) in_guest |= a >= r.first && a < r.second;
      continue;
    }
    if (!in_guest) continue;
    if (line.rfind("Rss:", 0) == 0) m.rss += atol(line.c_str() + 4);
    if (line.rfind("Private_Dirty:", 0) == 0) m.private_dirty += atol(line.c_str() + 14);
  }
  return m;
}

long drain(const std::vector<int>& fds) {
  static char buf[65536];
  long n = 0;
  for (int fd : fds)
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) n++;
  return n;
}

[[noreturn]] void usage() {
  fputs("usage: footprint [--clients N] [--rate PER_SECOND] [--seconds S] [--size BYTES] [--guest-log FILE] COMMAND...\n",
        stderr);
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int n_clients = 32;
  long rate = 1000;
  double seconds = 20;
  size_t size = 1316;
  std::string guest_log;
  int i = 1;
  for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    std::string o = argv[i];
    if (o == "--clients") {
      n_clients = atoi(argv[i + 1]);
    } else if (o == "--rate") {
      rate = atol(argv[i + 1]);
    } else if (o == "--seconds") {
      seconds = atof(argv[i + 1]);
    } else if (o == "--size") {
      size = static_cast<size_t>(atol(argv[i + 1]));
    } else if (o == "--guest-log") {
      guest_log = argv[i + 1];
    } else {
      usage();
    }
  }
  if (i >= argc || n_clients < 1 || n_clients > MAX_CLIENTS || rate < 1 || rate > MAX_RATE || !(seconds > 0) ||
      seconds > MAX_SECONDS || size < 12 || size > 1472)
    usage();

  uint16_t source_port;
  int source = udp_socket(source_port);
  std::vector<int> clients(static_cast<size_t>(n_clients));
  std::string config;
  uint16_t in = free_port(), out = free_port();
  config += "input_port " + std::to_string(in) + "\noutput_port " + std::to_string(out) + "\n";
  config += "source 127.0.0.1:" + std::to_string(source_port) + "\n";
  for (int& fd : clients) {
    uint16_t port;
    fd = udp_socket(port);
    int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    config += "client 127.0.0.1:" + std::to_string(port) + "\n";
  }
  char path[] = "/tmp/footprint_XXXXXX";
  int cf = mkstemp(path);
  if (cf < 0 || write(cf, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
    perror("footprint: configuration");
    return 1;
  }
  close(cf);

  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args(argv + i, argv + argc);
    args.push_back(path);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(in);
  std::vector<uint8_t> datagram(size, 0x47);
  datagram[0] = 0x80;
  auto send_one = [&](uint16_t seq) {
    datagram[2] = static_cast<uint8_t>(seq >> 8);
    datagram[3] = static_cast<uint8_t>(seq);
    sendto(source, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };

  // Up when the first client receives.
  bool up = false;
  for (double end = now() + 15; !up && now() < end && waitpid(pid, nullptr, WNOHANG) == 0;) {
    send_one(0);
    pollfd p{clients[0], POLLIN, 0};
    up = poll(&p, 1, 100) > 0;
  }
  drain(clients);
  if (!up) {
    fprintf(stderr, "footprint: the daemon relayed nothing within 15 s\n");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    unlink(path);
    return 1;
  }

  long sent = 0, received = 0, max_dirty = 0, max_rss = 0;
  GuestMemory guest_max;
  double start = now(), next_sample = start;
  for (;;) {
    double t = now() - start;
    if (t >= seconds) break;
    // Whatever is due by now, so a slow wake-up does not lower the rate.
    long due = static_cast<long>(t * static_cast<double>(rate)) + 1;
    for (; sent < due; sent++) send_one(static_cast<uint16_t>(sent + 1));
    received += drain(clients);
    if (now() >= next_sample) {
      next_sample += 0.5;
      long d = proc_kib(pid, "smaps_rollup", "Private_Dirty");
      long r = proc_kib(pid, "status", "VmRSS");
      if (d > max_dirty) max_dirty = d;
      if (r > max_rss) max_rss = r;
      if (!guest_log.empty()) {
        GuestMemory g = guest_memory(pid, guest_log);
        if (g.rss > guest_max.rss) guest_max.rss = g.rss;
        if (g.private_dirty > guest_max.private_dirty) guest_max.private_dirty = g.private_dirty;
      }
    }
    timespec nap{0, 200000};
    nanosleep(&nap, nullptr);
  }
  usleep(200000);
  received += drain(clients);
  long hwm = proc_kib(pid, "status", "VmHWM");
  long dirty = proc_kib(pid, "smaps_rollup", "Private_Dirty");
  if (dirty > max_dirty) max_dirty = dirty;
  bool alive = waitpid(pid, nullptr, WNOHANG) == 0;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  unlink(path);

  printf("%d clients, %ld datagrams/s of %zu bytes for %.0f s: sent %ld, delivered %.1f%%\n", n_clients, rate, size,
         seconds, sent, 100.0 * static_cast<double>(received) / static_cast<double>(sent * n_clients));
  printf("VmHWM %ld KiB, VmRSS max %ld KiB, Private_Dirty max %ld KiB\n", hwm, max_rss, max_dirty);
  if (!guest_log.empty())
    printf("guest mappings: Rss max %ld KiB, Private_Dirty max %ld KiB\n", guest_max.rss, guest_max.private_dirty);
  if (!alive) {
    fprintf(stderr, "footprint: the daemon ended during the load\n");
    return 1;
  }
  return 0;
}
