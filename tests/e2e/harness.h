// Runs the real daemon on loopback ports and talks to it over UDP.
#ifndef TOLVEK_TESTS_HARNESS_H_
#define TOLVEK_TESTS_HARNESS_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The commands under test with args appended: the binaries built beside this
// test, or those that TOLVEK_BIN and TOLVEK_STATS_BIN name, which run through
// the words of TOLVEK_EMULATOR when it is set (a cross build's binaries under
// "qemu-arm -L /usr/arm-linux-gnueabihf", say).
std::vector<std::string> tolvek_command(const std::vector<std::string>& args);
std::vector<std::string> stats_command(const std::vector<std::string>& args);

// A port no socket holds right now (the kernel's pick, released at once).
uint16_t free_port();

// A UDP socket bound to address:port (0: any free port).
struct Udp {
  int fd = -1;
  uint16_t port = 0;
  explicit Udp(const char* address = "127.0.0.1", uint16_t at_port = 0);
  ~Udp();
  Udp(const Udp&) = delete;
  Udp& operator=(const Udp&) = delete;

  void send(const Bytes& data, uint16_t to_port, const char* to = "127.0.0.1") const;
  void send(const std::string& text, uint16_t to_port, const char* to = "127.0.0.1") const;
  // The next datagram within timeout seconds, else an empty vector.
  Bytes receive(double timeout = 2.0, sockaddr_in* from = nullptr) const;
  // Waits quiet_for seconds and reports whether anything arrived.
  bool silent_for(double quiet_for) const;
};

// The daemon, started in a scratch directory with its output in files; it is
// killed and reaped when the object goes.
struct Daemon {
  pid_t pid = -1;
  std::string dir;
  int status = -1;  // exit status once reaped, -1 while running
  // Where standard output and error go: files in dir (out(), err()), pipes
  // whose read ends the test holds (kFullPipes: filled to the brim before the
  // daemon starts), or nowhere (all of 0, 1, 2 closed).
  enum class Output { kFiles, kPipes, kFullPipes, kClosed };
  int out_pipe = -1, err_pipe = -1;  // read ends, with Output::kPipes

  // Starts the daemon with one configuration file holding config_text, and
  // env ("NAME=value") added to its environment. With dev_log, the daemon
  // runs in a mount namespace of its own where /dev/log is that socket (needs
  // root; without, the daemon is not started and exits with status 77).
  static Daemon with_config(const std::string& config_text, Output output = Output::kFiles,
                            const std::vector<std::string>& env = {}, const std::string& dev_log = "");
  // Starts the daemon with these arguments after the program name.
  static Daemon with_args(const std::vector<std::string>& args);
  // Runs argv[0] as the daemon itself, for wrappers (argv includes the program).
  static Daemon run(const std::vector<std::string>& argv);

  Daemon() = default;
  Daemon(Daemon&& other) noexcept;
  Daemon& operator=(Daemon&& other) noexcept;
  ~Daemon();

  std::string out() const;
  std::string err() const;
  // Waits until standard output (or error) holds needle count times.
  bool wait_out(const std::string& needle, double timeout = 5.0, int count = 1) const;
  bool wait_err(const std::string& needle, double timeout = 5.0, int count = 1) const;
  // Waits for the process to end and returns its exit status, -1 on timeout.
  int wait_exit(double timeout = 5.0);
  void kill_now();
};

// A daemon on two free ports, started with the configuration lines given
// after its port lines.
struct Repeater {
  uint16_t in_port = free_port();
  uint16_t out_port = free_port();
  Daemon d;
  void start(const std::string& extra);
};

// Everything a pipe holds now, without waiting.
std::string drain_pipe(int read_fd);
// Fills the pipe whose read end is read_fd up to the brim, through a write
// end of the test's own, so the daemon's blocking writes would wait.
void fill_pipe(int read_fd);
// What descriptor fd of process pid refers to ("/dev/null", "socket:[...]").
std::string fd_target(pid_t pid, int fd);
// Resident memory high-water mark and current size of process pid, in KiB.
long vm_kib(pid_t pid, const char* field);

// Sends a UDP datagram to 127.0.0.1:to_port whose sender port is 0 (needs
// root, for a raw socket); false when it cannot.
bool send_from_port_zero(const Bytes& data, uint16_t to_port);

int count_of(const std::string& haystack, const std::string& needle);
// "127.0.0.1:port", as configuration lines and messages write it.
std::string endpoint(uint16_t port);
// The input and output port lines every configuration needs.
std::string ports_config(uint16_t in, uint16_t out);
// An RTP-like datagram: version 2, sequence number seq at bytes 2-3.
Bytes rtp_datagram(uint16_t seq, size_t size = 200);
// The same, with every byte differing from its neighbours, so that any change
// on the way shows.
Bytes patterned_datagram(uint16_t seq, size_t size = 200);
// Takes every datagram waiting on s and says how many there were.
int drain_count(const Udp& s);
// The value of a field of a statistics report, "?" when it is missing.
std::string report_field(const std::string& report, const std::string& name);
double now_seconds();
Bytes bytes_of(const std::string& s);

#endif  // TOLVEK_TESTS_HARNESS_H_
