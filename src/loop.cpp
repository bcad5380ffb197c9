#include "loop.h"

#include <arpa/inet.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "clients.h"
#include "config.h"
#include "control.h"
#include "net.h"
#include "stats.h"
#include "sys.h"

double last_trigger = 0;

// The wait set: an epoll instance over the open sockets. Registered once
// rather than at every wait as poll does, which is most of the cost of a
// wait besides the sleep itself.
static int wait_handle = -1;
static int watched[3] = {-1, -1, -1};

// Closed before the sockets are reopened and made again after them, so the
// sockets get the handles they would get without it.
static void unwatch_sockets() {
  if (wait_handle >= 0) my_close(wait_handle);
  wait_handle = -1;
}

static void watch_sockets(const int (&sockets)[3]) {
  unwatch_sockets();
  wait_handle = epoll_create1(EPOLL_CLOEXEC);
  if (wait_handle < 0) fatal_errno("Cannot wait on socket.");
  for (uint32_t i = 0; i < 3; i++) {
    watched[i] = sockets[i];
    if (sockets[i] < 0) continue;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = i;
    if (epoll_ctl(wait_handle, EPOLL_CTL_ADD, sockets[i], &ev) != 0) fatal_errno("Cannot wait on socket.");
  }
}

void loop_reset() {
  last_data = 0;
  last_trigger = 0;
  unwatch_sockets();
}

bool check_source_addr(const sockaddr_in& sender, in_addr dest) {
  const SourceRecord* src = current_source();
  if (!src) return true;
  // A group's datagrams carry their sender's own address: they are told by
  // the group they were sent to.
  if (is_multicast(ntohl(src->a.sin_addr.s_addr))) return dest.s_addr == src->a.sin_addr.s_addr;
  if (sender.sin_addr.s_addr != src->a.sin_addr.s_addr) return false;
  return src->a.sin_port == 0 || sender.sin_port == src->a.sin_port;
}

bool process_client(Client& c, int64_t now, const uint8_t* buf, size_t len) {
  if (!(c.flags & F_PERMANENT) && (c.flags & F_ENABLED) && c.last_contact + client_timeout < now) {
    in_addr a{c.s_addr};
    limited_line(LINE_CLIENT_TIMED_OUT, "Client %s:%u timed out.\n", inet_ntoa(a), ntohs(c.sin_port));
    if (n_active_clients == 0) fatal("internal error: deleting an active client when there is zero active clients.");
    n_active_clients--;
    if (!(c.flags & F_ALLOWED)) return false;
    c.flags &= static_cast<uint8_t>(~F_ENABLED);
    return true;
  }
  if (buf && (c.flags & F_ENABLED)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = c.s_addr;
    to.sin_port = c.sin_port;
    if (int err = send_packet(output_socket, buf, len, to)) {
      send_failed(err, len, to);
    } else {
      c.rtp_packets_sent++;
    }
  }
  return true;
}

void send_packets(const uint8_t* buf, size_t len) { send_packets(buf, len, mono_seconds()); }

void send_packets(const uint8_t* buf, size_t len, int64_t now) {
  // Compact in place: removals never reorder the kept entries.
  size_t kept = 0;
  for (size_t i = 0; i < clients.size(); i++) {
    if (!process_client(clients[i], now, buf, len)) continue;
    if (kept != i) clients[kept] = clients[i];
    kept++;
  }
  clients.resize(kept);
}

void check_timeouts() { send_packets(nullptr, 0); }

void handle_data(const uint8_t* buf, size_t len, const sockaddr_in& sender, in_addr dest) {
  if (!check_source_addr(sender, dest)) {
    limited_line(LINE_DATA_REJECTED, "3:Request from %s:%u rejected.\n", inet_ntoa(sender.sin_addr),
                 ntohs(sender.sin_port));
    return;
  }
  // One clock reading serves the datagram's whole road: the data timeout,
  // the client timeouts and the rates.
  double now = double_time();
  last_data = now;
  // The RTP sequence number; a shorter datagram is relayed all the same.
  int seqno = len >= 4 ? buf[2] << 8 | buf[3] : NO_SEQNO;
  send_packets(buf, len, whole_seconds(now));
  update_stats(len, seqno, now);
}

static void dispatch(int handle, const ReceivedDatagram& d) {
  // Nothing sent back to port 0 can arrive; no legitimate sender uses it.
  if (d.from.sin_port == 0) return;
  // Output first: a socket shared by input and output carries control packets.
  if (handle == output_socket) return handle_control(d.data, d.len, d.from);
  if (statistics_socket >= 0 && handle == statistics_socket) return handle_stats_request(d.data, d.len, d.from);
  handle_data(d.data, d.len, d.from, d.dest);
}

void read_packet(int handle) {
  // A buffer per datagram of the batch, each for the largest datagram: only
  // the pages that datagrams reach are ever backed by memory.
  static uint8_t buffers[READ_BATCH][RECEIVE_BUFFER];
  static ReceivedDatagram batch[READ_BATCH];
  size_t n = receive_packets(handle, buffers[0], RECEIVE_BUFFER, RECEIVE_BUFFER - 1, batch, READ_BATCH);
  for (size_t i = 0; i < n; i++) dispatch(handle, batch[i]);
}

void loop_iteration() {
  const int sockets[3] = {
      input_socket,
      // Read once per wake-up: when input and output share a socket, it
      // would be reported twice and read twice.
      output_socket == input_socket ? -1 : output_socket,
      statistics_socket,
  };
  if (wait_handle < 0 || sockets[0] != watched[0] || sockets[1] != watched[1] || sockets[2] != watched[2])
    watch_sockets(sockets);
  epoll_event events[3];
  int r = epoll_wait(wait_handle, events, 3, POLL_TIMEOUT_MS);
  if (r < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    fatal_errno("Cannot wait on socket.");
  }
  bool readable[3] = {false, false, false};
  for (int i = 0; i < r; i++) readable[events[i].data.u32] = events[i].events & EPOLLIN;
  // In this order whatever order the kernel reports them in.
  for (int i = 0; i < 3; i++)
    if (readable[i]) read_packet(sockets[i]);
  // One reading after the reads serves both timers of the wake-up.
  double now = double_time();
  send_trigger(false, now);
  report_left_out_lines();
  if (now > last_data + data_timeout) {
    if (settings.alt_input_port >= 0) {
      unblocked_line(stdout, "Reception timed out.\n");
      unwatch_sockets();
      shutdown_sockets();
      settings.alt_toggle ^= 1;
      init_sockets();
    }
    check_timeouts();
  }
}

void send_trigger(bool force) { send_trigger(force, double_time()); }

void send_trigger(bool force, double now) {
  if (!force && now < last_trigger + trigger_period) return;
  // The period restarts with every decision, including the decision not to
  // send, so the first keep-alive follows within a period of a client's arrival.
  last_trigger = now;
  const SourceRecord* src = current_source();
  if (!src || n_active_clients == 0) return;
  if (src->a.sin_port == 0 || src->password.empty()) return;
  std::vector<uint8_t> packet = build_trigger(src->password);
  // From the input socket, so that the source answers to the input port.
  if (int err = send_packet(input_socket, packet.data(), packet.size(), src->a))
    send_failed(err, packet.size(), src->a);
}

void select_loop() {
  for (;;) loop_iteration();
}
