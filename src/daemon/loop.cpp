#include "daemon/loop.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/sys.h"
#include "daemon/clients.h"
#include "daemon/config.h"
#include "daemon/control.h"
#include "daemon/net.h"
#include "daemon/reload.h"
#include "daemon/state.h"
#include "daemon/stats.h"

static double trigger_time = 0;
const double& last_trigger = trigger_time;

// The last accepted data datagram; opening an input restarts it, so a
// fresh input gets its full time before failing over.
static double data_time = 0;
const double& last_data = data_time;
void set_last_data(double t) { data_time = t; }

// The time of the current wake-up, read once after the wait: every step of
// the wake-up, every datagram read in it included, works with it.
static double wake_time = 0;

// When the current source was first sent a keep-alive, -1 while it has not
// been: a source that streams only when asked cannot be blamed for silence
// before that.
static double asked_at = -1;
// Whether any client was active at the last keep-alive decision: the first
// one to become active is worth a keep-alive at once.
static bool was_active = false;
// When the service manager was last told what the daemon is doing.
static double status_time = -1e18;
constexpr double STATUS_PERIOD = 10;

static LineKind data_rejected{LineSink::kStderr, "3:Request from ... rejected."};
static LineKind timed_out{LineSink::kStdout, "Client ... timed out."};
static LineKind failover_failed{LineSink::kStderr, "tolvek: cannot fail over to UDP port ..."};
static LineKind stray_flood{LineSink::kStderr, "tolvek: more than ... datagrams a second from others than the source ..."};

// Datagrams on the input from others than the source. A few are reported
// one by one; a flood of them would fill the input's receive buffer before
// the source's datagrams could be queued there. So past STRAY_FLOOD in a
// second the kernel drops them instead, before they are queued, for
// STRAY_FILTER_HOLD seconds; then they are let in and counted again.
struct Strays {
  double window_start = -1e18;  // the second being counted
  unsigned in_window = 0;
  bool filtered = false;
  double filtered_since = 0;
};

static Strays strays;

void loop_reset() {
  data_time = 0;
  wake_time = 0;
  trigger_time = 0;
  strays = Strays{};
  asked_at = -1;
  was_active = false;
  status_time = -1e18;
}

void reset_all() {
  config_reset();
  clients_reset();
  net_reset();
  loop_reset();
  stats_reset();
  state_reset();
  sys_reset();
}

static void count_stray(double now) {
  if (now - strays.window_start >= 1.0) {
    strays.window_start = now;
    strays.in_window = 0;
  }
  if (++strays.in_window <= STRAY_FLOOD || strays.filtered) return;
  const SourceRecord* src = current_source();
  // A kernel without socket filters leaves them to be dropped here, as before.
  if (!src || attach_source_filter(input_socket, *src) != 0) return;
  strays.filtered = true;
  strays.filtered_since = now;
  limited_line(stray_flood,
               "tolvek: more than %u datagrams a second from others than the source; the kernel drops them "
               "unseen for %.0f s.\n",
               STRAY_FLOOD, STRAY_FILTER_HOLD);
}

// The filter lifts after its hold: a flood that goes on is caught again
// within its first STRAY_FLOOD datagrams.
static void lift_stray_filter(double now) {
  if (!strays.filtered || now - strays.filtered_since < STRAY_FILTER_HOLD) return;
  detach_source_filter(input_socket);
  strays = Strays{};
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

// The copies of the datagram in hand that the pass owes the entries it has
// kept so far, sent a batch at a time: where each goes, and the index of
// the entry it counts for (which keeps it for the rest of the pass).
static sockaddr_in copy_to[SEND_BATCH];
static size_t copy_for[SEND_BATCH];
static size_t n_copies = 0;

static void send_copies_due(const uint8_t* buf, size_t len) {
  size_t i = 0;
  while (i < n_copies) {
    int err = 0;
    size_t sent = send_copies(output_socket, buf, len, copy_to + i, n_copies - i, &err);
    for (size_t k = i; k < i + sent; k++) count_sent(copy_for[k]);
    i += sent;
    if (i == n_copies) break;
    // A refused copy concerns its client alone: the ones after it still get theirs.
    send_failed(err, len, copy_to[i]);
    i++;
  }
  n_copies = 0;
}

Verdict process_client(const Client& c, size_t index, int64_t now, const uint8_t* buf, size_t len) {
  if (client_is_silent(c, now)) {
    in_addr a{c.s_addr};
    limited_line(timed_out, "Client %s:%u timed out.\n", inet_ntoa(a), ntohs(c.sin_port));
    return Verdict::kRetire;
  }
  if (buf && (c.flags & F_ENABLED)) {
    if (n_copies == SEND_BATCH) send_copies_due(buf, len);
    sockaddr_in& to = copy_to[n_copies];
    to = sockaddr_in{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = c.s_addr;
    to.sin_port = c.sin_port;
    copy_for[n_copies] = index;
    n_copies++;
  }
  return Verdict::kKeep;
}

// What every step of one pass shares.
struct Pass {
  int64_t now;
  const uint8_t* buf;
  size_t len;
};

void send_packets(const uint8_t* buf, size_t len, double now) {
  Pass pass{static_cast<int64_t>(std::floor(now)), buf, len};
  // An entry has moved to the slot it keeps before its step, so a copy
  // queued for it names the right entry when the copies go out.
  walk_clients(
      [](const Client& c, size_t index, void* context) {
        const Pass& p = *static_cast<const Pass*>(context);
        return process_client(c, index, p.now, p.buf, p.len);
      },
      &pass);
  send_copies_due(buf, len);
}

void check_timeouts(double now) { send_packets(nullptr, 0, now); }

void handle_data(const uint8_t* buf, size_t len, const sockaddr_in& sender, in_addr dest, double now) {
  if (!check_source_addr(sender, dest)) {
    limited_line(data_rejected, "3:Request from %s:%u rejected.\n", inet_ntoa(sender.sin_addr),
                 ntohs(sender.sin_port));
    count_stray(now);
    return;
  }
  data_time = now;
  send_packets(buf, len, now);
  update_stats(len, rtp_sequence_number(buf, len), now);
}

static void dispatch(int handle, const ReceivedDatagram& d, double now) {
  // Nothing sent back to port 0 can arrive; no legitimate sender uses it.
  if (d.from.sin_port == 0) return;
  // Output first: a socket shared by input and output carries control packets.
  if (handle == output_socket) return handle_control(d.data, d.len, d.from);
  if (statistics_socket >= 0 && handle == statistics_socket) return handle_stats_request(d.data, d.len, d.from, now);
  handle_data(d.data, d.len, d.from, d.dest, now);
}

void read_packet(int handle, double now) {
  // A buffer per datagram of the batch, each for the largest datagram: only
  // the pages that datagrams reach are ever backed by memory. Aligned to a
  // page, so that a datagram of up to a page touches one page, not two.
  alignas(4096) static uint8_t buffers[READ_BATCH][RECEIVE_BUFFER];
  static ReceivedDatagram batch[READ_BATCH];
  size_t n = receive_packets(handle, buffers[0], RECEIVE_BUFFER, RECEIVE_BUFFER - 1, batch, READ_BATCH);
  for (size_t i = 0; i < n; i++) dispatch(handle, batch[i], now);
}

// A source that streams only to those who register with it.
static bool asked_for_stream(const SourceRecord& src) { return src.a.sin_port != 0 && !src.password.empty(); }

// The time past which the input counts as silent. For a source that is
// asked for its stream, the 4 s count from the first keep-alive sent to it
// (never, while none was); for one that pushes, from the last datagram.
static double input_deadline() {
  const SourceRecord* src = current_source();
  if (!src || !asked_for_stream(*src)) return last_data + data_timeout;
  if (asked_at < 0) return 1e18;
  return std::max(last_data, asked_at) + data_timeout;
}

// A port another program has taken, or a group that cannot be joined, keeps
// the input where it is: the stream resumes on whichever input receives it,
// and the next timeout tries again.
[[gnu::cold]] static void fail_over(double now) {
  unblocked_line(stdout, "Reception timed out.\n");
  int64_t from = current_input_port();
  int64_t to = alt_toggle ? settings.input_port : settings.alt_input_port;
  // Whether it moves or not, the input gets its full time again.
  data_time = now;
  if (int err = switch_input()) {
    limited_line(failover_failed, "tolvek: cannot fail over to UDP port %u: %s; staying on UDP port %u.\n",
                 static_cast<unsigned>(to), strerror(err), static_cast<unsigned>(from));
    return;
  }
  strays = Strays{};  // a new input socket, or the old one without its filter
  // The new source is asked at once: it streams the sooner.
  asked_at = -1;
  send_trigger(true, now);
}

[[gnu::cold]] static void reload(double now) {
  // The stray filter names the source: it goes, and strays are counted anew.
  if (strays.filtered) detach_source_filter(input_socket);
  strays = Strays{};
  ReloadOutcome r = reload_configuration();
  if (r.input_moved) data_time = now;
  if (!r.source_changed) return;
  asked_at = -1;
  send_trigger(true, now);
}

// How long the wait may last: until the next thing that falls due, and a
// second at most, after which the loop looks at everything again.
static timespec wait_time(double now) {
  double wake = now + POLL_TIMEOUT_MS / 1000.0;
  auto sooner = [&](double t) {
    if (t > now && t < wake) wake = t;
  };
  // Just past the deadlines: silence counts when it is longer than 4 s.
  sooner(input_deadline() + 0.001);
  sooner(last_data + data_timeout + 0.001);
  if (n_active_clients > 0) sooner(last_trigger + trigger_period);
  sooner(state_next_save());
  if (strays.filtered) sooner(strays.filtered_since + STRAY_FILTER_HOLD);
  double wait = wake - now;
  return timespec{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
}

[[gnu::cold]] static void tell_service_manager(double now) { notify_status(service_status(now).c_str()); }

void loop_iteration() {
  if (take_reload_request()) reload(wake_time);
  pollfd fds[3] = {
      {input_socket, POLLIN, 0},
      // Read once per wake-up: when input and output share a socket, poll
      // would report it twice and the second read would block.
      {output_socket == input_socket ? -1 : output_socket, POLLIN, 0},
      {statistics_socket, POLLIN, 0},
  };
  // Measured from the last wake-up: the time since is what it took to
  // handle it, a small part of any period.
  timespec wait = wait_time(wake_time);
  int r = ppoll(fds, 3, &wait, signals_during_wait());
  int err = errno;
  wake_time = double_time();
  if (r < 0) {
    if (err == EINTR || err == EAGAIN) return;
    errno = err;
    fatal_errno("Cannot wait on socket.");
  }
  if (fds[0].revents & POLLIN) read_packet(fds[0].fd, wake_time);
  if (fds[1].revents & POLLIN) read_packet(fds[1].fd, wake_time);
  if (fds[2].revents & POLLIN) read_packet(fds[2].fd, wake_time);
  after_wakeup(wake_time);
}

void after_wakeup(double now) {
  send_trigger(false, now);
  report_left_out_lines();
  lift_stray_filter(now);
  // Judged before a failover, which gives the new input its full time.
  bool silent = now > last_data + data_timeout;
  if (now > input_deadline() && settings.alt_input_port >= 0) fail_over(now);
  if (silent) check_timeouts(now);
  state_save_if_due(now);
  if (now - status_time >= STATUS_PERIOD) {
    status_time = now;
    tell_service_manager(now);
  }
}

void send_trigger(bool force, double now) {
  // The first client to become active is worth a keep-alive at once; with
  // none, nobody asks the source for anything.
  bool active = n_active_clients > 0;
  bool first_active = active && !was_active;
  was_active = active;
  if (!active) asked_at = -1;
  if (!force && !first_active && now < last_trigger + trigger_period) return;
  // The period restarts with every decision, including the decision not to
  // send, so the first keep-alive follows within a period of a client's arrival.
  trigger_time = now;
  const SourceRecord* src = current_source();
  if (!src || !active) return;
  if (!asked_for_stream(*src)) return;
  std::vector<uint8_t> packet = build_trigger(src->password);
  if (asked_at < 0) asked_at = trigger_time;
  // From the input socket, so that the source answers to the input port.
  if (int err = send_packet(input_socket, packet.data(), packet.size(), src->a))
    send_failed(err, packet.size(), src->a);
}

void select_loop() {
  // The sockets were opened a moment ago.
  wake_time = data_time = double_time();
  for (;;) loop_iteration();
}
