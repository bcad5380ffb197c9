// strayflood: a stream next to a flood of stray datagrams on the repeater's
// input port, on loopback, and how much of the stream still got through.
//
//   strayflood TOLVEK_BINARY [--seconds N] [--clients N] [--rate N] [--senders N] [--min-percent P]
//
// The repeater accepts data from one source (127.0.0.1 and a port of its
// own); N clients (default 8) are permanent. A child process floods the
// input port as fast as it can from --senders sockets (default 200), each
// bound to an address of its own, 127.0.0.2 on, for the whole run; the
// source sends --rate datagrams a second (default 1000, 172 bytes) for
// --seconds (default 40). At the end it prints the flood's rate and the
// share of the stream each client received; exits 1 when a client received
// less than --min-percent (default 99) or the repeater died, 2 on a usage
// error. Everything stays on 127.0.0.0/8 and stops by itself.
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

namespace {

// Sends strays round the senders until the deadline, a batch from each in
// turn with one sendmmsg; writes how many the kernel took.
[[noreturn]] void flood(uint16_t in_port, int n_senders, double until, int report_fd) {
  std::vector<int> senders;
  for (int i = 0; i < n_senders; i++) senders.push_back(udp_socket(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i)));
  sockaddr_in to = loopback(INADDR_LOOPBACK, in_port);
  uint8_t stray[64];
  memset(stray, 0xee, sizeof stray);
  constexpr unsigned BATCH = 16;
  iovec iov{stray, sizeof stray};
  mmsghdr msgs[BATCH];
  for (mmsghdr& m : msgs) {
    m = mmsghdr{};
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof to;
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
  }
  long sent = 0;
  for (size_t k = 0; now() < until; k++) {
    for (int i = 0; i < 64; i++, k++) {
      int n = sendmmsg(senders[k % senders.size()], msgs, BATCH, 0);
      if (n > 0) sent += n;
    }
  }
  if (write(report_fd, &sent, sizeof sent) != sizeof sent) _exit(1);
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: strayflood TOLVEK_BINARY [--seconds N] [--clients N] [--rate N] [--senders N] [--min-percent P]\n",
          stderr);
    return 2;
  }
  double seconds = 40, min_percent = 99;
  int n_clients = 8, rate = 1000, n_senders = 200;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string o = argv[i];
    double v = atof(argv[i + 1]);
    if (v <= 0) return 2;
    if (o == "--seconds") seconds = v;
    else if (o == "--clients") n_clients = static_cast<int>(v);
    else if (o == "--rate") rate = static_cast<int>(v);
    else if (o == "--senders") n_senders = std::min(static_cast<int>(v), 60000);
    else if (o == "--min-percent") min_percent = v;
    else return 2;
  }

  char dir[] = "/tmp/tolvek_strayflood_XXXXXX";
  if (!mkdtemp(dir)) return 1;
  int source = udp_socket();
  std::vector<int> clients;
  uint16_t in = free_port(), out = free_port();
  std::string conf = std::string(dir) + "/flood.conf";
  {
    std::ofstream f(conf);
    f << "input_port " << in << "\noutput_port " << out << "\nsource 127.0.0.1:" << port_of(source) << "\n";
    for (int i = 0; i < n_clients; i++) {
      clients.push_back(udp_socket());
      f << "client 127.0.0.1:" << port_of(clients.back()) << "\n";
    }
  }
  std::string log = std::string(dir) + "/log";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(argv[1], argv[1], conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(300000);

  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 1;
  double start = now() + 0.2;
  pid_t flooder = fork();
  if (flooder == 0) flood(in, n_senders, start + seconds, pipe_fds[1]);

  const long total = static_cast<long>(seconds * rate);
  std::vector<long> delivered(clients.size(), 0);
  std::vector<uint8_t> datagram(172, 0x5a), buf(2048);
  datagram[0] = 0x80;
  sockaddr_in to = loopback(INADDR_LOOPBACK, in);
  std::vector<pollfd> fds;
  for (int fd : clients) fds.push_back({fd, POLLIN, 0});
  long sent = 0;
  while (sent < total || now() < start + seconds + 0.5) {
    double t = now();
    while (sent < total && t >= start + static_cast<double>(sent) / rate) {
      datagram[2] = static_cast<uint8_t>(sent >> 8);
      datagram[3] = static_cast<uint8_t>(sent);
      sendto(source, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      sent++;
    }
    double wait = sent < total ? start + static_cast<double>(sent) / rate - now() : 0.05;
    poll(fds.data(), fds.size(), wait > 0 ? static_cast<int>(wait * 1000) : 0);
    for (size_t i = 0; i < clients.size(); i++)
      while (recv(clients[i], buf.data(), buf.size(), 0) == static_cast<ssize_t>(datagram.size())) delivered[i]++;
  }
  long strays = 0;
  if (read(pipe_fds[0], &strays, sizeof strays) != sizeof strays) strays = -1;
  waitpid(flooder, nullptr, 0);
  bool alive = waitpid(pid, nullptr, WNOHANG) == 0;

  bool ok = alive;
  long least = *std::min_element(delivered.begin(), delivered.end());
  for (long d : delivered) ok &= d * 100.0 >= min_percent * static_cast<double>(total);
  printf("flood: %ld strays in %.0f s (%.0f a second) from %d senders\n", strays, seconds, strays / seconds,
         n_senders);
  printf("stream: %d a second to %d clients, %ld datagrams each; the client that got least received %ld (%.2f%%)\n",
         rate, n_clients, total, least, 100.0 * least / total);
  std::ifstream f(log);
  for (std::string line; std::getline(f, line);)
    if (line.find("the kernel drops them") != std::string::npos) {
      printf("repeater: %s\n", line.c_str());
      break;
    }
  if (!alive) printf("the repeater died; its output is in %s\n", log.c_str());
  printf("%s\n", ok ? "strayflood: PASS" : "strayflood: FAIL");
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (ok) {
    unlink(log.c_str());
    unlink(conf.c_str());
    rmdir(dir);
  }
  return ok ? 0 : 1;
}
