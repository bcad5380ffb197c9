#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

int count_of(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) n++;
  return n;
}

std::string endpoint(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

std::string ports_config(uint16_t in, uint16_t out) {
  return "input_port " + std::to_string(in) + "\noutput_port " + std::to_string(out) + "\n";
}

Bytes rtp_datagram(uint16_t seq, size_t size) {
  Bytes d(size, 0x47);
  d[0] = 0x80;
  d[2] = static_cast<uint8_t>(seq >> 8);
  d[3] = static_cast<uint8_t>(seq);
  return d;
}

void Repeater::start(const std::string& extra) {
  d = Daemon::with_config(ports_config(in_port, out_port) + extra);
  ASSERT_TRUE(d.wait_out("Setting up to output UDP port")) << d.out() << d.err();
}

Bytes patterned_datagram(uint16_t seq, size_t size) {
  Bytes d = rtp_datagram(seq, size);
  for (size_t i = 4; i < size; i++) d[i] = static_cast<uint8_t>(i * 7 + seq);
  return d;
}

std::string report_field(const std::string& report, const std::string& name) {
  size_t at = report.find("\"" + name + "\"");
  if (at == std::string::npos) return "?";
  size_t open = report.find('"', report.find(':', at) + 1);
  return report.substr(open + 1, report.find('"', open + 1) - open - 1);
}

static sockaddr_in address(const char* ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_aton(ip, &sa.sin_addr);
  sa.sin_port = htons(port);
  return sa;
}

static std::vector<std::string> command(const char* variable, const char* built, const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  const char* binary = getenv(variable);
  if (binary && *binary) {
    // Only a binary named here may be foreign; the built ones are this machine's.
    const char* emulator = getenv("TOLVEK_EMULATOR");
    std::istringstream words(emulator ? emulator : "");
    for (std::string w; words >> w;) argv.push_back(w);
  }
  argv.push_back(binary && *binary ? binary : built);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> tolvek_command(const std::vector<std::string>& args) {
  return command("TOLVEK_BIN", TOLVEK_BINARY, args);
}

std::vector<std::string> stats_command(const std::vector<std::string>& args) {
  return command("TOLVEK_STATS_BIN", TOLVEK_STATS_BINARY, args);
}

uint16_t free_port() {
  Udp probe("0.0.0.0");
  return probe.port;
}

Udp::Udp(const char* addr, uint16_t at_port) {
  fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = address(addr, at_port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) abort();
  socklen_t n = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  port = ntohs(sa.sin_port);
}

Udp::~Udp() { close(fd); }

void Udp::send(const Bytes& data, uint16_t to_port, const char* to) const {
  sockaddr_in sa = address(to, to_port);
  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

void Udp::send(const std::string& text, uint16_t to_port, const char* to) const { send(bytes_of(text), to_port, to); }

Bytes Udp::receive(double timeout, sockaddr_in* from) const {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return {};
  Bytes buf(65536);
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  ssize_t r = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&sa), &n);
  if (from) *from = sa;
  buf.resize(r > 0 ? static_cast<size_t>(r) : 0);
  return buf;
}

int drain_count(const Udp& s) {
  int n = 0;
  while (!s.receive(0).empty()) n++;
  return n;
}

bool Udp::silent_for(double quiet_for) const {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(quiet_for * 1000)) == 0;
}

bool send_from_port_zero(const Bytes& data, uint16_t to_port) {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (fd < 0) return false;
  Bytes packet(8);
  packet[2] = static_cast<uint8_t>(to_port >> 8);
  packet[3] = static_cast<uint8_t>(to_port);
  size_t len = data.size() + 8;
  packet[4] = static_cast<uint8_t>(len >> 8);
  packet[5] = static_cast<uint8_t>(len);
  // Source port and checksum stay 0: no checksum is valid for UDP on IPv4.
  packet.insert(packet.end(), data.begin(), data.end());
  sockaddr_in sa = address("127.0.0.1", 0);
  ssize_t n = sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  close(fd);
  return n == static_cast<ssize_t>(packet.size());
}

static std::string scratch_dir() {
  char dir[] = "/tmp/tolvek_e2e_XXXXXX";
  if (!mkdtemp(dir)) abort();
  return dir;
}

// In a mount namespace of the process's own, /dev becomes a tmpfs holding
// the usual devices and, as /dev/log, the socket at dev_log: the machine's
// /dev/log (or its absence) is left alone. False when that cannot be done.
static bool private_dev_log(const std::string& dir, const std::string& dev_log) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  std::string old_dev = dir + "/dev";
  if (mkdir(old_dev.c_str(), 0755) != 0 || mount("/dev", old_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
    return false;
  auto bind_file = [](const std::string& from, const std::string& to) {
    int fd = open(to.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) close(fd);
    return fd >= 0 && mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
  };
  for (const char* name : {"null", "zero", "random", "urandom", "full"})
    if (!bind_file(old_dev + "/" + name, std::string("/dev/") + name)) return false;
  return bind_file(dev_log, "/dev/log");
}

static Daemon start(const std::vector<std::string>& argv, std::string dir,
                    Daemon::Output output = Daemon::Output::kFiles, const std::vector<std::string>& env = {},
                    const std::string& dev_log = "") {
  Daemon d;
  d.dir = std::move(dir);
  int out_fds[2] = {-1, -1}, err_fds[2] = {-1, -1};
  bool full = output == Daemon::Output::kFullPipes;
  if (full) output = Daemon::Output::kPipes;
  if (output == Daemon::Output::kPipes && (pipe(out_fds) != 0 || pipe(err_fds) != 0)) abort();
  if (full) {
    fill_pipe(out_fds[0]);
    fill_pipe(err_fds[0]);
  }
  d.pid = fork();
  if (d.pid == 0) {
    if (chdir(d.dir.c_str()) != 0) _exit(127);
    if (!dev_log.empty() && !private_dev_log(d.dir, dev_log)) _exit(77);
    if (output == Daemon::Output::kClosed) {
      for (int fd = 0; fd <= 2; fd++) close(fd);
    } else {
      if (output == Daemon::Output::kPipes) {
        close(out_fds[0]);
        close(err_fds[0]);
      }
      int out = output == Daemon::Output::kPipes ? out_fds[1]
                                                 : open((d.dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = output == Daemon::Output::kPipes ? err_fds[1]
                                                 : open((d.dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    }
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (output == Daemon::Output::kPipes) {
    close(out_fds[1]);
    close(err_fds[1]);
    d.out_pipe = out_fds[0];
    d.err_pipe = err_fds[0];
  }
  return d;
}

Daemon Daemon::run(const std::vector<std::string>& argv) { return start(argv, scratch_dir()); }

Daemon Daemon::with_args(const std::vector<std::string>& args) { return run(tolvek_command(args)); }

Daemon Daemon::with_config(const std::string& config_text, Output output, const std::vector<std::string>& env,
                           const std::string& dev_log) {
  std::string dir = scratch_dir();
  std::string path = dir + "/tolvek.conf";
  std::ofstream(path) << config_text;
  return start(tolvek_command({path}), dir, output, env, dev_log);
}

Daemon::Daemon(Daemon&& other) noexcept { *this = std::move(other); }

Daemon& Daemon::operator=(Daemon&& other) noexcept {
  std::swap(pid, other.pid);
  std::swap(dir, other.dir);
  std::swap(status, other.status);
  std::swap(out_pipe, other.out_pipe);
  std::swap(err_pipe, other.err_pipe);
  return *this;
}

Daemon::~Daemon() {
  kill_now();
  if (out_pipe >= 0) close(out_pipe);
  if (err_pipe >= 0) close(err_pipe);
  if (!dir.empty()) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
}

void Daemon::kill_now() {
  if (pid <= 0 || status != -1) return;
  kill(pid, SIGKILL);
  int st;
  waitpid(pid, &st, 0);
  status = 128 + SIGKILL;
}

static std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string Daemon::out() const { return slurp(dir + "/out"); }
std::string Daemon::err() const { return slurp(dir + "/err"); }

static bool wait_in(const Daemon& d, bool err, const std::string& needle, double timeout, int count) {
  double end = now_seconds() + timeout;
  for (;;) {
    if (count_of(err ? d.err() : d.out(), needle) >= count) return true;
    if (now_seconds() > end) return false;
    usleep(20000);
  }
}

bool Daemon::wait_out(const std::string& needle, double timeout, int count) const {
  return wait_in(*this, false, needle, timeout, count);
}
bool Daemon::wait_err(const std::string& needle, double timeout, int count) const {
  return wait_in(*this, true, needle, timeout, count);
}

int Daemon::wait_exit(double timeout) {
  if (status != -1) return status;
  double end = now_seconds() + timeout;
  for (;;) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status;
    }
    if (now_seconds() > end) return -1;
    usleep(10000);
  }
}

std::string drain_pipe(int read_fd) {
  std::string text;
  char buf[4096];
  for (;;) {
    pollfd p{read_fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return text;
    ssize_t n = read(read_fd, buf, sizeof buf);
    if (n <= 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
}

void fill_pipe(int read_fd) {
  // A write end of our own: non-blocking here must not make the daemon's
  // end non-blocking too, as a shared descriptor would.
  int w = open(("/proc/self/fd/" + std::to_string(read_fd)).c_str(), O_WRONLY | O_NONBLOCK);
  if (w < 0) abort();
  char filler[4096];
  memset(filler, '.', sizeof filler);
  while (write(w, filler, sizeof filler) > 0) {
  }
  while (write(w, filler, 1) > 0) {
  }
  close(w);
}

std::string fd_target(pid_t pid, int fd) {
  char target[256];
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

long vm_kib(pid_t pid, const char* field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line, name = std::string(field) + ":";
  while (std::getline(f, line))
    if (line.rfind(name, 0) == 0) return atol(line.c_str() + name.size());
  return -1;
}
