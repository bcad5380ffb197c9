// soak: runs the repeater for a while under steady load on loopback and
// checks that nothing is lost and memory stays put.
//
//   soak TOLVEK_BINARY [--seconds N] [--clients N] [--rate N]
//
// N clients (default 32) register with a password and repeat the
// registration every 5 s; a source sends --rate datagrams a second (default
// 1000, 200 bytes, RTP-like sequence numbers); the statistics are asked for
// every second. At the end it prints, per client, the datagrams delivered,
// lost, duplicated and out of order, the repeater's own figures, and its
// memory after start-up, after warm-up and at the end. It exits 1 on any
// loss, any growth of anonymous memory after warm-up, or a repeater that
// died; 2 on a usage error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "loopback.h"
#include "stats/fragments.h"

namespace {

long status_kib(pid_t pid, const char* field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line, name = std::string(field) + ":";
  while (std::getline(f, line))
    if (line.rfind(name, 0) == 0) return atol(line.c_str() + name.size());
  return -1;
}

std::string report_field(const std::string& report, const std::string& name) {
  size_t at = report.find("\"" + name + "\"");
  if (at == std::string::npos) return "?";
  size_t open = report.find('"', report.find(':', at) + 1);
  return report.substr(open + 1, report.find('"', open + 1) - open - 1);
}

struct Receiver {
  int fd;
  uint16_t port;
  long delivered = 0, duplicated = 0, out_of_order = 0;
  int expected = 0;               // the next sequence number in order
  std::vector<bool> seen;         // by datagram number
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: soak TOLVEK_BINARY [--seconds N] [--clients N] [--rate N]\n", stderr);
    return 2;
  }
  double seconds = 120;
  int n_clients = 32, rate = 1000;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string o = argv[i];
    double v = atof(argv[i + 1]);
    if (v <= 0) return 2;
    if (o == "--seconds") seconds = v;
    else if (o == "--clients") n_clients = static_cast<int>(v);
    else if (o == "--rate") rate = static_cast<int>(v);
    else return 2;
  }

  char dir[] = "/tmp/tolvek_soak_XXXXXX";
  if (!mkdtemp(dir)) return 1;
  uint16_t in = free_port(), out = free_port(), stats = free_port();
  std::string conf = std::string(dir) + "/soak.conf";
  std::ofstream(conf) << "input_port " << in << "\noutput_port " << out << "\nstatistics_port " << stats
                      << "\nmax_clients " << n_clients << "\nallow_mac\nallow_pass soak\n";
  pid_t pid = fork();
  if (pid == 0) {
    int log = open((std::string(dir) + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    execl(argv[1], argv[1], conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(300000);
  long start_rss = status_kib(pid, "VmRSS");

  const uint8_t registration[] = {'Q', 'M', 'Z', 0, 2, 0, 0, 0, 0, 1, 1, 0, 1, 0, 5, 's', 'o', 'a', 'k', 0};
  const long total = static_cast<long>(seconds * rate);
  std::vector<Receiver> receivers(static_cast<size_t>(n_clients));
  for (auto& r : receivers) {
    r.fd = udp_socket();
    r.port = port_of(r.fd);
    r.seen.assign(static_cast<size_t>(total), false);
    send_to(r.fd, registration, sizeof registration, out);
  }
  int source = udp_socket(), asker = udp_socket();
  usleep(300000);

  std::vector<pollfd> fds;
  for (auto& r : receivers) fds.push_back({r.fd, POLLIN, 0});
  fds.push_back({asker, POLLIN, 0});
  std::vector<uint8_t> buf(65536), datagram(200, 0x5a);
  datagram[0] = 0x80;
  Reassembly reply;
  std::string report;
  long warm_rss = -1, reports = 0;
  double start = now(), next_registration = start + 5, next_stats = start + 1;
  // Warm once a few reports have been built with every client in them.
  double warm_at = start + std::min(10.0, std::max(5.0, seconds / 4));
  long sent = 0;
  while (sent < total || now() < start + seconds + 0.5) {
    double t = now();
    while (sent < total && t >= start + static_cast<double>(sent) / rate) {
      datagram[2] = static_cast<uint8_t>(sent >> 8);
      datagram[3] = static_cast<uint8_t>(sent);
      memcpy(&datagram[4], &sent, sizeof sent);  // the whole number, past the sequence field
      send_to(source, datagram.data(), datagram.size(), in);
      sent++;
    }
    if (t >= next_registration) {
      for (auto& r : receivers) send_to(r.fd, registration, sizeof registration, out);
      next_registration += 5;
    }
    if (t >= next_stats) {
      reply = Reassembly{};
      send_to(asker, "get_stats", 9, stats);
      next_stats += 1;
    }
    if (warm_rss < 0 && t >= warm_at) warm_rss = status_kib(pid, "RssAnon");
    double wait = sent < total ? start + static_cast<double>(sent) / rate - now() : 0.05;
    poll(fds.data(), fds.size(), wait > 0 ? static_cast<int>(wait * 1000) : 0);
    for (auto& r : receivers) {
      ssize_t n;
      while ((n = recv(r.fd, buf.data(), buf.size(), 0)) > 0) {
        long number;
        memcpy(&number, &buf[4], sizeof number);
        if (n != 200 || number < 0 || number >= total) continue;
        auto i = static_cast<size_t>(number);
        if (r.seen[i]) {
          r.duplicated++;
          continue;
        }
        r.seen[i] = true;
        r.delivered++;
        if (number != r.expected) r.out_of_order++;
        r.expected = static_cast<int>(number + 1);
      }
    }
    ssize_t n;
    while ((n = recv(asker, buf.data(), buf.size(), 0)) > 0) {
      if (add_fragment(reply, buf.data(), static_cast<size_t>(n)) && reassembly_complete(reply)) {
        report = reply.payload;
        reports++;
      }
    }
  }
  // The report catches up with a stopped stream after 2 s.
  usleep(2500000);
  reply = Reassembly{};
  send_to(asker, "get_stats", 9, stats);
  for (double until = now() + 2; now() < until && !reassembly_complete(reply);) {
    ssize_t n = recv(asker, buf.data(), buf.size(), 0);
    if (n > 0 && add_fragment(reply, buf.data(), static_cast<size_t>(n)) && reassembly_complete(reply)) {
      report = reply.payload;
      reports++;
    }
    if (n <= 0) usleep(10000);
  }
  long end_rss = status_kib(pid, "RssAnon"), hwm = status_kib(pid, "VmHWM"), vm_rss = status_kib(pid, "VmRSS");
  bool alive = waitpid(pid, nullptr, WNOHANG) == 0;

  bool ok = alive;
  printf("%-8s %10s %8s %6s %6s\n", "client", "delivered", "lost", "dup", "order");
  for (const auto& r : receivers) {
    long lost = total - r.delivered;
    ok &= lost == 0;
    printf("%-8u %10ld %8ld %6ld %6ld\n", r.port, r.delivered, lost, r.duplicated, r.out_of_order);
  }
  printf("sent %ld datagrams to %d clients in %.0f s; %ld statistics replies\n", total, n_clients, seconds, reports);
  printf("repeater: frames_received %s, frames_lost %s, connected_clients %s\n",
         report_field(report, "frames_received").c_str(), report_field(report, "frames_lost").c_str(),
         report_field(report, "connected_clients").c_str());
  printf("memory: VmRSS %ld kB after start-up, %ld kB at the end; RssAnon %ld kB after warm-up, %ld kB at the end; "
         "VmHWM %ld kB\n",
         start_rss, vm_rss, warm_rss, end_rss, hwm);
  if (!alive) printf("the repeater died; its output is in %s/log\n", dir);
  if (report_field(report, "frames_received") != std::to_string(total) || report_field(report, "frames_lost") != "0") {
    printf("the repeater did not count every datagram as received, or counted a loss\n");
    ok = false;
  }
  if (end_rss > warm_rss) {
    printf("anonymous memory grew after warm-up\n");
    ok = false;
  }
  printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (ok) {
    unlink((std::string(dir) + "/log").c_str());
    unlink(conf.c_str());
    rmdir(dir);
  }
  return ok ? 0 : 1;
}
