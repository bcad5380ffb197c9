#include "daemon/net.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"

static int input_fd = -1, output_fd = -1, statistics_fd = -1;
static int toggle = 0;
static unsigned long failovers = 0;

const int& input_socket = input_fd;
const int& output_socket = output_fd;
const int& statistics_socket = statistics_fd;
const int& alt_toggle = toggle;
const unsigned long& n_failovers = failovers;

const SourceRecord* current_source() {
  const auto& slot = toggle ? settings.alt_source : settings.source;
  return slot ? &*slot : nullptr;
}

void set_sockets_for_tests(int input, int output, int statistics) {
  input_fd = input;
  output_fd = output;
  statistics_fd = statistics;
}

void set_alt_toggle_for_tests(int t) { toggle = t; }

[[gnu::cold]] int my_socket() {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) fatal_errno("cannot get a UDP socket: ");
  return fd;
}

[[gnu::cold]] void my_bind(int handle, int64_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(handle, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    fatal_errno("cannot bind the socket at port %u: ", static_cast<unsigned>(port));
}

// setsockopt with its retries: 0, or the errno of the failure.
static int try_setsockopt(int handle, int level, int option, const void* value, socklen_t length) {
  int r;
  do {
    r = setsockopt(handle, level, option, value, length);
  } while (r != 0 && (errno == EINTR || errno == EAGAIN));
  return r == 0 ? 0 : errno;
}

void my_setsockopt(int handle, int level, int option, const void* value, socklen_t length) {
  if (int err = try_setsockopt(handle, level, option, value, length)) {
    errno = err;
    fatal_errno("Cannot set socket options");
  }
}

[[gnu::cold]] void my_close(int handle) {
  int r;
  do {
    r = close(handle);
  } while (r != 0 && errno == EINTR);
  if (r != 0) fatal_errno("cannot close a socket");
}

int send_packet(int handle, const void* buf, size_t len, const sockaddr_in& address) {
  for (;;) {
    if (sendto(handle, buf, len, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

size_t send_copies(int handle, const void* buf, size_t len, const sockaddr_in* to, size_t n, int* err) {
  // One buffer serves every copy: the kernel reads it once per message.
  iovec iov{const_cast<void*>(buf), len};
  mmsghdr msgs[SEND_BATCH];
  size_t done = 0;
  while (done < n) {
    size_t k = n - done < SEND_BATCH ? n - done : SEND_BATCH;
    for (size_t i = 0; i < k; i++) {
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to[done + i]);
      msgs[i].msg_hdr.msg_namelen = sizeof to[done + i];
      msgs[i].msg_hdr.msg_iov = &iov;
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // The kernel stops at the first copy it refuses and reports its error
    // only when that copy is the call's first: a short count is followed by
    // a call that starts at the refused copy, to learn why.
    int r = sendmmsg(handle, msgs, static_cast<unsigned>(k), 0);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    *err = r < 0 ? errno : EIO;  // a count of 0 for a batch of 1 or more is not known to happen
    return done;
  }
  return done;
}

void send_failed(int err, size_t len, const sockaddr_in& address) {
  // These mean the program itself is broken; anything else concerns only
  // this destination, and one bad client must not stop the stream for all.
  if (err == EBADF || err == ENOTSOCK || err == EFAULT || err == EDESTADDRREQ) {
    errno = err;
    fatal_errno("cannot send a UDP packet %lu bytes long: ", static_cast<unsigned long>(len));
  }
  // Room for every client and a few other destinations (sources, askers).
  report_send_failure(err, len, address, static_cast<size_t>(max_n_clients) + 16);
}

void send_fragmented_packet(int handle, const uint8_t* buf, size_t len, const sockaddr_in& address) {
  uint8_t fragment[FRAGMENT_HEADER + FRAGMENT_PAYLOAD];
  for (size_t i = 0; i * FRAGMENT_PAYLOAD < len; i++) {
    size_t offset = i * FRAGMENT_PAYLOAD;
    size_t n = len - offset < FRAGMENT_PAYLOAD ? len - offset : FRAGMENT_PAYLOAD;
    put_le32(fragment, static_cast<uint32_t>(len));
    put_le32(fragment + 4, static_cast<uint32_t>(i));
    memcpy(fragment + FRAGMENT_HEADER, buf + offset, n);
    if (int err = send_packet(handle, fragment, n + FRAGMENT_HEADER, address)) send_failed(err, n, address);
  }
}

size_t receive_packets(int handle, uint8_t* area, size_t stride, size_t size, ReceivedDatagram* out, size_t n) {
  if (n > MAX_RECEIVE_BATCH) n = MAX_RECEIVE_BATCH;
  iovec iov[MAX_RECEIVE_BATCH];
  mmsghdr msgs[MAX_RECEIVE_BATCH];
  alignas(cmsghdr) uint8_t control[MAX_RECEIVE_BATCH][CMSG_SPACE(sizeof(in_pktinfo))];
  for (size_t i = 0; i < n; i++) {
    out[i].from = sockaddr_in{};
    iov[i] = {area + i * stride, size};
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_name = &out[i].from;
    msgs[i].msg_hdr.msg_namelen = sizeof out[i].from;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_control = control[i];
    msgs[i].msg_hdr.msg_controllen = sizeof control[i];
  }
  // Never blocking: poll's word that a socket is readable does not promise
  // that the datagram is still there when it is read.
  int r;
  do {
    r = recvmmsg(handle, msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return 0;
  for (size_t i = 0; i < static_cast<size_t>(r); i++) {
    out[i].data = area + i * stride;
    out[i].len = msgs[i].msg_len;
    out[i].dest.s_addr = htonl(INADDR_ANY);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        out[i].dest = info.ipi_addr;
      }
    }
  }
  return static_cast<size_t>(r);
}

bool is_multicast(uint32_t host_addr) { return (host_addr >> 28) == 0xe; }

// The input socket's receive buffer: room for a burst. Only as much as the
// kernel allows is granted; a smaller buffer is no reason to stop.
[[gnu::cold]] static void size_input_buffer(int fd) {
  int size = INPUT_RECEIVE_BUFFER;
  try_setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

static int64_t input_port_of(int t) { return t ? settings.alt_input_port : settings.input_port; }

// The UDP port fd is bound to, 0 when it cannot be told.
static uint16_t bound_port(int fd) {
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n) != 0 || sa.sin_family != AF_INET) return 0;
  return ntohs(sa.sin_port);
}

// A socket's name in the service manager's store: its port, which is what
// a restarted daemon looks for.
static void store_name(int fd, char (&name)[16]) { snprintf(name, sizeof name, "udp%u", bound_port(fd)); }

// Kept by the service manager across a restart, so that the kernel goes on
// queueing the stream while no process reads it.
[[gnu::cold]] static void store(int fd) {
  char name[16];
  store_name(fd, name);
  notify_store_fd(fd, name);
}

// Closes a socket, and takes it out of the store first: one that is no
// longer ours must not hold its port for ever.
[[gnu::cold]] static void close_socket(int fd) {
  char name[16];
  store_name(fd, name);
  notify_forget_fd(name);
  my_close(fd);
}

// Sockets a service manager handed over at start, not yet taken for a role
// (-1 once taken). It keeps no more than the unit lets it.
constexpr size_t MAX_HANDED_OVER = 16;
static int handed_over[MAX_HANDED_OVER];
static size_t n_handed_over = 0;

// A handed-over UDP socket bound to the wildcard address at port, taken out
// of the list; -1 when there is none. It comes with what the last run set
// on it: a stray filter, which goes, and a group membership, which stays.
[[gnu::cold]] static int take_handed_over(int64_t port) {
  for (size_t i = 0; i < n_handed_over; i++) {
    int fd = handed_over[i];
    if (fd < 0) continue;
    sockaddr_in sa{};
    socklen_t n = sizeof sa;
    int type = 0;
    socklen_t type_len = sizeof type;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n) != 0 || sa.sin_family != AF_INET ||
        sa.sin_addr.s_addr != htonl(INADDR_ANY) || ntohs(sa.sin_port) != static_cast<uint16_t>(port) ||
        static_cast<uint16_t>(port) == 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 ||
        type != SOCK_DGRAM)
      continue;
    handed_over[i] = -1;
    detach_source_filter(fd);
    return fd;
  }
  return -1;
}

// The socket for a role at start: the one the last run left bound at port,
// else a new one. Dies when the port cannot be bound.
[[gnu::cold]] static int open_socket(int64_t port) {
  int fd = take_handed_over(port);
  if (fd >= 0) return fd;
  fd = my_socket();
  my_bind(fd, port);
  return fd;
}

// A new socket bound to port, or -1 with the errno in *err.
[[gnu::cold]] static int try_bind(int64_t port, int* err) {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *err = errno;
    close(fd);
    return -1;
  }
  return fd;
}

int64_t current_input_port() { return input_port_of(toggle); }

static void tell_input(int64_t port, int fd) {
  unblocked_line(stdout, "Setting up to listen at UDP port %u, socket handle: %u.\n", static_cast<unsigned>(port),
                 static_cast<unsigned>(fd));
}

static void tell_output(int64_t port, int fd) {
  unblocked_line(stdout, "Setting up to output UDP port %lld, socket handle: %u.\n", static_cast<long long>(port),
                 static_cast<unsigned>(fd));
}

static void tell_statistics(int64_t port, int fd) {
  unblocked_line(stdout, "Setting up to statistics UDP port %lld, socket handle: %u\n", static_cast<long long>(port),
                 static_cast<unsigned>(fd));
}

void start_on_alternate_input() { toggle = 1; }

[[gnu::cold]] void init_sockets() {
  n_handed_over = inherited_fds(handed_over, MAX_HANDED_OVER);
  int64_t port = current_input_port();
  input_fd = open_socket(port);
  size_input_buffer(input_socket);
  tell_input(port, input_fd);
  if (port == settings.output_port) {
    output_fd = input_socket;
  } else {
    output_fd = open_socket(settings.output_port);
    tell_output(settings.output_port, output_fd);
  }
  if (settings.statistics_port != -1) {
    statistics_fd = open_socket(settings.statistics_port);
    tell_statistics(settings.statistics_port, statistics_fd);
  }
  // What the last run kept and this one does not use.
  for (size_t i = 0; i < n_handed_over; i++)
    if (handed_over[i] >= 0) close_socket(handed_over[i]);
  n_handed_over = 0;
  for (int fd : {input_fd, output_fd, statistics_fd})
    if (fd >= 0) store(fd);
  multicast_setup_socket();
}

[[gnu::cold]] void net_reset() {
  if (output_socket >= 0 && output_socket != input_socket) close(output_socket);
  if (input_socket >= 0) close(input_socket);
  if (statistics_socket >= 0) close(statistics_socket);
  input_fd = output_fd = statistics_fd = -1;
  toggle = 0;
  failovers = 0;
}

[[gnu::cold]] void shutdown_sockets() {
  close_socket(input_socket);
  if (output_socket != input_socket) close_socket(output_socket);
  if (statistics_socket >= 0) close_socket(statistics_socket);
  input_fd = output_fd = statistics_fd = -1;
}

static bool is_group(const SourceRecord* src) { return src && is_multicast(ntohl(src->a.sin_addr.s_addr)); }

// Joins the source's group on fd: 0, or the errno of the option that failed.
[[gnu::cold]] static int join_group(int fd, const SourceRecord& src) {
  int off = 0, on = 1;
  ip_mreq mreq{};
  mreq.imr_multiaddr = src.a.sin_addr;
  mreq.imr_interface.s_addr = htonl(INADDR_ANY);
  if (int err = try_setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off)) return err;
  // A socket kept from the last run is a member already.
  int err = try_setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
  if (err && err != EADDRINUSE) return err;
  // The source filter tells the group's datagrams by their destination.
  return try_setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

[[gnu::cold]] static void leave_group(int fd, const SourceRecord& src) {
  ip_mreq mreq{};
  mreq.imr_multiaddr = src.a.sin_addr;
  mreq.imr_interface.s_addr = htonl(INADDR_ANY);
  try_setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &mreq, sizeof mreq);
}

[[gnu::cold]] void multicast_setup_socket() {
  const SourceRecord* src = current_source();
  if (!is_group(src)) return;
  unblocked_line(stdout, "Joining multicast group for the source.\n");
  if (int err = join_group(input_socket, *src)) {
    errno = err;
    fatal_errno("Cannot set socket options");
  }
}

[[gnu::cold]] int switch_input() {
  const Settings& s = settings;
  int64_t from_port = current_input_port(), to_port = input_port_of(toggle ^ 1);
  const SourceRecord* from = current_source();
  const auto& to_slot = toggle ? s.source : s.alt_source;
  const SourceRecord* to = to_slot ? &*to_slot : nullptr;
  int fd = -1;
  bool fresh = false;
  if (to_port == s.output_port) {
    fd = output_socket;
  } else if (static_cast<uint16_t>(to_port) == static_cast<uint16_t>(from_port) && input_socket != output_socket) {
    fd = input_socket;  // the same port with another source: nothing to bind
  } else {
    int err = 0;
    fd = try_bind(to_port, &err);
    if (fd < 0) return err;
    size_input_buffer(fd);
    fresh = true;
  }
  bool same_group = fd == input_socket && is_group(from) && is_group(to) &&
                    from->a.sin_addr.s_addr == to->a.sin_addr.s_addr;
  if (is_group(to) && !same_group) {
    if (int err = join_group(fd, *to)) {
      if (fresh) close(fd);
      return err;
    }
  }
  // The old input keeps no membership and no filter where it lives on.
  bool old_stays = input_socket == fd || input_socket == output_socket;
  if (old_stays && is_group(from) && !same_group) leave_group(input_socket, *from);
  if (old_stays) detach_source_filter(input_socket);
  if (!old_stays) close_socket(input_socket);
  if (fresh) store(fd);

  input_fd = fd;
  toggle ^= 1;
  failovers++;
  tell_input(to_port, input_fd);
  if (output_socket != input_socket) tell_output(s.output_port, output_fd);
  if (statistics_socket >= 0) tell_statistics(s.statistics_port, statistics_fd);
  if (is_group(to)) unblocked_line(stdout, "Joining multicast group for the source.\n");
  return 0;
}

// Which of our sockets a moved role takes: the one already bound at its
// port (another role's, or one bound during this move), else a new one.
struct SocketMove {
  int old_fds[3];
  int64_t old_ports[3];
  int fresh[3];  // bound during this move, one role each at most
  int n_fresh;

  int ours(int64_t port) const {
    uint16_t p = static_cast<uint16_t>(port);
    if (p == 0) return -1;  // any free port: always a socket of its own
    for (int i = 0; i < 3; i++)
      if (old_fds[i] >= 0 && static_cast<uint16_t>(old_ports[i]) == p) return old_fds[i];
    for (int i = 0; i < n_fresh; i++)
      if (bound_port(fresh[i]) == p) return fresh[i];
    return -1;
  }

  // The socket for a role that had own at own_port and wants want (-1 for
  // none). A port that cannot be bound keeps the role where it was.
  [[gnu::cold]] int place(const char* role, int own, int64_t own_port, int64_t& want) {
    if (want == own_port) return own;
    if (want == -1) return -1;
    if (int fd = ours(want); fd >= 0) return fd;
    int err = 0;
    int fd = try_bind(want, &err);
    if (fd >= 0) {
      fresh[n_fresh++] = fd;
      return fd;
    }
    if (own < 0) {
      unblocked_line(stderr, "tolvek: cannot open the %s port %u: %s; none for now.\n", role,
                     static_cast<unsigned>(want), strerror(err));
    } else {
      unblocked_line(stderr, "tolvek: cannot move the %s to UDP port %u: %s; staying on UDP port %u.\n", role,
                     static_cast<unsigned>(want), strerror(err), static_cast<unsigned>(own_port));
    }
    want = own_port;
    return own;
  }
};

[[gnu::cold]] bool move_sockets(Settings& next) {
  const Settings& s = settings;
  int next_toggle = toggle && next.alt_input_port >= 0 ? 1 : 0;
  int64_t& want_in = next_toggle ? next.alt_input_port : next.input_port;
  int64_t old_in = current_input_port();
  SocketMove m{{input_fd, output_fd, statistics_fd}, {old_in, s.output_port, s.statistics_port}, {}, 0};
  int out = m.place("output", output_fd, s.output_port, next.output_port);
  int in = want_in == next.output_port ? out : m.place("input", input_fd, old_in, want_in);
  int st = m.place("statistics", statistics_fd, s.statistics_port, next.statistics_port);

  const SourceRecord* from = current_source();
  const auto& to_slot = next_toggle ? next.alt_source : next.source;
  const SourceRecord* to = to_slot ? &*to_slot : nullptr;
  bool same_group = in == input_fd && is_group(from) && is_group(to) &&
                    from->a.sin_addr.s_addr == to->a.sin_addr.s_addr;
  // The old input keeps no membership where it lives on.
  bool old_stays = input_fd == in || input_fd == out || input_fd == st;
  if (old_stays && is_group(from) && !same_group) leave_group(input_fd, *from);
  bool joined = false;
  if (is_group(to) && !same_group) {
    if (int err = join_group(in, *to)) {
      unblocked_line(stderr, "tolvek: cannot join the source's group: %s\n", strerror(err));
    } else {
      joined = true;
    }
  }
  if (in != input_fd) size_input_buffer(in);
  for (int i = 0; i < 3; i++) {
    int fd = m.old_fds[i];
    bool closed_already = (i == 1 && fd == m.old_fds[0]);
    if (fd >= 0 && !closed_already && fd != in && fd != out && fd != st) close_socket(fd);
  }
  for (int i = 0; i < m.n_fresh; i++) store(m.fresh[i]);

  bool input_moved = in != input_fd || want_in != old_in;
  if (input_moved) tell_input(want_in, in);
  if (out != in && (out != output_fd || next.output_port != s.output_port)) tell_output(next.output_port, out);
  if (st >= 0 && (st != statistics_fd || next.statistics_port != s.statistics_port))
    tell_statistics(next.statistics_port, st);
  if (joined) unblocked_line(stdout, "Joining multicast group for the source.\n");
  input_fd = in;
  output_fd = out;
  statistics_fd = st;
  toggle = next_toggle;
  return input_moved;
}

[[gnu::cold]] BpfProgram source_filter_program(const SourceRecord& src) {
  BpfProgram f{};
  uint32_t addr = ntohl(src.a.sin_addr.s_addr);
  uint16_t port = ntohs(src.a.sin_port);
  bool group = is_multicast(addr);
  auto put = [&f](sock_filter instruction) { f.code[f.len++] = instruction; };
  // Loads are relative to the UDP header; the IP header lies at SKF_NET_OFF.
  // A group's datagrams are told by their destination, as in user space.
  put(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_NET_OFF + (group ? 16 : 12))));
  if (group || port == 0) {
    put(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, addr, 0, 1));
  } else {
    put(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, addr, 0, 3));
    put(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0));  // the UDP source port
    put(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 1));
  }
  put(BPF_STMT(BPF_RET | BPF_K, 0xffffffffu));  // the whole datagram
  put(BPF_STMT(BPF_RET | BPF_K, 0));            // dropped before it is queued
  return f;
}

[[gnu::cold]] int attach_source_filter(int fd, const SourceRecord& src) {
  BpfProgram f = source_filter_program(src);
  sock_fprog program{f.len, f.code};
  return try_setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

[[gnu::cold]] void detach_source_filter(int fd) {
  int unused = 0;  // the option takes no value, but the kernel wants room for one
  if (try_setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) == 0) return;
  // Where the option is not known (an emulator's), a filter that lets every
  // datagram through does the same.
  sock_filter pass_all = BPF_STMT(BPF_RET | BPF_K, 0xffffffffu);
  sock_fprog program{1, &pass_all};
  try_setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}
