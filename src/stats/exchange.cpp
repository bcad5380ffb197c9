#include "stats/exchange.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "common/wire.h"

// The largest report made room for, that of 256 clients, each as long as a
// client's object can be.
constexpr size_t LARGEST_REPORT = REPORT_HEAD_MAX + 256 * REPORT_CLIENT_MAX + REPORT_FRAME_LEN;
// What the kernel charges a fragment of 1408 bytes against the receive
// buffer: about 2.3 KiB on loopback, up to a page from some network drivers.
constexpr int FRAGMENT_CHARGE = 4096;

// Room for every fragment of the largest reply at once: a repeater sends
// them back to back, and a device's default buffer may hold fewer, so the
// rest would be lost however soon we read. Never made smaller than it is.
static void make_room_for_a_reply(int fd) {
  int need = static_cast<int>((LARGEST_REPORT + FRAGMENT_PAYLOAD - 1) / FRAGMENT_PAYLOAD) * FRAGMENT_CHARGE;
  int have = 0;
  socklen_t n = sizeof have;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &have, &n) == 0 && have >= need) return;
  // The kernel doubles what it is asked for (its bookkeeping) and caps the
  // request at net.core.rmem_max, a cap that root may pass.
  int ask = need / 2;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ask, sizeof ask) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ask, sizeof ask);
}

std::string printed(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

bool target_open(Target& t, const std::string& name, bool& bad_usage, std::string& error) {
  t.name = name;
  bad_usage = true;
  size_t colon = name.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == name.size()) {
    error = printed("tolvek-stats: expected HOST:PORT, got %s\n", name.c_str());
    return false;
  }
  std::string host = name.substr(0, colon), port = name.substr(colon + 1);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (int err = getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
    error = printed("tolvek-stats: cannot resolve %s: %s\n", name.c_str(), gai_strerror(err));
    return false;
  }
  bad_usage = false;
  for (int* fd : {&t.stats_fd, &t.status_fd}) {
    *fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (*fd < 0 || connect(*fd, found->ai_addr, found->ai_addrlen) != 0) {
      error = printed("tolvek-stats: cannot reach %s: %s\n", name.c_str(), strerror(errno));
      freeaddrinfo(found);
      target_close(t);
      return false;
    }
  }
  freeaddrinfo(found);
  make_room_for_a_reply(t.stats_fd);
  return true;
}

void target_close(Target& t) {
  for (int* fd : {&t.stats_fd, &t.status_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

// Fragments of an earlier, late reply must not mix into this one; an error
// from an earlier round (a refused port) is taken off here too.
static void drain(int fd) {
  uint8_t buf[65536];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0 || errno == ECONNREFUSED || errno == EINTR) {
  }
}

void exchange_start(const Target& t, Exchange& e, bool want_status, double now, double timeout) {
  e = Exchange{};
  e.active = true;
  e.want_status = want_status;
  e.timeout = timeout;
  e.deadline = now + timeout;
  drain(t.stats_fd);
  if (want_status) {
    drain(t.status_fd);
    // An older repeater answers nothing to it; the report is not held up
    // longer than its own timeout for that.
    send(t.status_fd, STATUS_REQUEST, STATUS_REQUEST_LEN, 0);
  }
  if (send(t.stats_fd, STATS_REQUEST, STATS_REQUEST_LEN, 0) < 0) {
    e.failure = printed("tolvek-stats: cannot send to %s: %s\n", t.name.c_str(), strerror(errno));
    e.active = false;
  }
}

void exchange_poll_fds(const Target& t, const Exchange& e, std::vector<pollfd>& fds) {
  if (!e.active) return;
  if (!reassembly_complete(e.report)) fds.push_back({t.stats_fd, POLLIN, 0});
  if (e.want_status && !reassembly_complete(e.status)) fds.push_back({t.status_fd, POLLIN, 0});
}

static void take_in(int fd, Reassembly& r, bool* refused) {
  uint8_t buf[65536];
  while (!reassembly_complete(r)) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n >= 0) {
      add_fragment(r, buf, static_cast<size_t>(n));
    } else if (errno == ECONNREFUSED) {
      if (refused) *refused = true;
    } else if (errno != EINTR) {
      return;
    }
  }
}

void exchange_read(const Target& t, Exchange& e) {
  if (!e.active) return;
  take_in(t.stats_fd, e.report, &e.refused);
  if (e.want_status) take_in(t.status_fd, e.status, nullptr);
}

std::string exchange_missing_list(const std::vector<uint32_t>& missing) {
  std::string out;
  for (size_t i = 0; i < missing.size() && i < EXCHANGE_LISTED_MISSING; i++)
    out += (i ? ", " : "") + std::to_string(missing[i]);
  if (missing.size() > EXCHANGE_LISTED_MISSING)
    out += " and " + std::to_string(missing.size() - EXCHANGE_LISTED_MISSING) + " more";
  return out;
}

bool exchange_finish(const Target& t, Exchange& e, double now) {
  if (!e.active) return true;
  bool have_report = reassembly_complete(e.report);
  bool waiting = !have_report || (e.want_status && !reassembly_complete(e.status));
  if (waiting && !e.refused && now < e.deadline) return false;
  e.active = false;
  if (have_report) return true;
  const char* name = t.name.c_str();
  if (e.refused) {
    e.failure = printed("tolvek-stats: no reply from %s: %s\n", name, strerror(ECONNREFUSED));
  } else if (!e.report.started) {
    e.failure = printed("tolvek-stats: no reply from %s within %g s\n", name, e.timeout);
  } else {
    e.failure = printed("tolvek-stats: incomplete reply from %s within %g s: %zu of %zu fragments, missing %s\n", name,
                        e.timeout, e.report.n_received, e.report.received.size(),
                        exchange_missing_list(missing_fragments(e.report)).c_str());
  }
  return true;
}

bool exchange_report(const Exchange& e, std::string& text) {
  if (e.active || !reassembly_complete(e.report)) return false;
  text = e.report.payload;
  return true;
}

bool exchange_status(const Exchange& e, std::string& text) {
  if (e.active || !e.want_status || !reassembly_complete(e.status)) return false;
  text = e.status.payload;
  return true;
}
