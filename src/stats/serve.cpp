#include "stats/serve.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>

#include "stats/exporter.h"
#include "stats/status_page.h"

namespace {

// A GET /metrics waiting, suspended, for the round it started or joined at
// each repeater.
struct Scrape {
  std::vector<unsigned long long> awaited;  // rounds_started of each, at the request
  MHD_Connection* connection = nullptr;
  bool ready = false;
  std::string text;
};

struct Server {
  std::vector<Watched> watched;
  std::list<Scrape> scrapes;
  double timeout = 2;
  bool loopback = true;  // listening on 127.0.0.0/8
};

Server server;

double monotonic() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

MHD_Result answer(MHD_Connection* c, unsigned status, const char* type, const std::string& body) {
  MHD_Response* r =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  // Nothing from elsewhere: the page is whole, and fetches only its data.
  MHD_add_response_header(r, "Content-Security-Policy",
                          "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                          "connect-src 'self'; frame-ancestors 'none'");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  MHD_Result ok = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ok;
}

// On loopback the page is for this machine alone: a request naming another
// host came through a name that a web page elsewhere pointed here (DNS
// rebinding), and would read the clients' addresses out to it.
bool host_allowed(MHD_Connection* c) {
  if (!server.loopback) return true;
  const char* host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  if (!host) return true;  // HTTP/1.0
  std::string name = host;
  if (!name.empty() && name[0] == '[') return name.rfind("[::1]", 0) == 0;
  name = name.substr(0, name.find(':'));
  in_addr a{};
  return name == "localhost" || (inet_pton(AF_INET, name.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

MHD_Result handle(void*, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
                  size_t* upload_size, void** state) {
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
    return answer(c, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain", "GET or HEAD only\n");
  if (*upload_size) {
    *upload_size = 0;  // a GET's body means nothing here
    return MHD_YES;
  }
  if (!host_allowed(c)) return answer(c, MHD_HTTP_FORBIDDEN, "text/plain", "not for this host name\n");
  if (strcmp(url, "/metrics") == 0) {
    if (*state) return answer(c, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", static_cast<Scrape*>(*state)->text);
    exporter_ask_all(server.watched, monotonic(), server.timeout);
    Scrape& s = server.scrapes.emplace_back();
    for (const Watched& w : server.watched) s.awaited.push_back(w.rounds_started);
    s.connection = c;
    *state = &s;
    MHD_suspend_connection(c);
    return MHD_YES;
  }
  if (strcmp(url, "/") == 0) return answer(c, MHD_HTTP_OK, "text/html; charset=utf-8", STATUS_PAGE);
  if (strcmp(url, "/status.json") == 0) {
    const char* since = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "since");
    double after = since ? strtod(since, nullptr) : -1;
    return answer(c, MHD_HTTP_OK, "application/json",
                  exporter_status_json(server.watched, monotonic(), time(nullptr), after));
  }
  return answer(c, MHD_HTTP_NOT_FOUND, "text/plain", "not found: / is the status page, /metrics the metrics\n");
}

void completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  if (!*state) return;
  server.scrapes.remove_if([&](const Scrape& s) { return &s == *state; });
  *state = nullptr;
}

// Scrapes whose repeaters have all answered (or timed out) are answered.
void answer_scrapes() {
  for (Scrape& s : server.scrapes) {
    if (s.ready) continue;
    bool all = true;
    for (size_t i = 0; i < s.awaited.size(); i++) all = all && server.watched[i].rounds_done >= s.awaited[i];
    if (!all) continue;
    s.text = exporter_metrics(server.watched);
    s.ready = true;
    MHD_resume_connection(s.connection);
  }
}

// "[ADDR:]PORT" as an IPv4 address and port, or false after saying why.
bool listen_address(const std::string& text, sockaddr_in& out) {
  size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  char* end = nullptr;
  long n = port.empty() || port[0] < '0' || port[0] > '9' ? -1 : strtol(port.c_str(), &end, 10);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (n < 0 || n > 65535 || *end != '\0' || host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
    fprintf(stderr, "tolvek-stats: --listen needs [ADDR:]PORT, an IPv4 address and a port from 0 to 65535, got %s\n",
            text.c_str());
    return false;
  }
  out = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  out.sin_port = htons(static_cast<uint16_t>(n));
  freeaddrinfo(found);
  return true;
}

int open_listener(const std::string& text, sockaddr_in& at) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t n = sizeof at;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 32) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &n) != 0) {
    fprintf(stderr, "tolvek-stats: cannot listen on %s: %s\n", text.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int serve(const std::string& listen, const std::vector<std::string>& repeaters, double timeout) {
  sockaddr_in at{};
  if (!listen_address(listen, at)) return 2;
  server.timeout = timeout;
  for (const std::string& name : repeaters) {
    Watched& w = server.watched.emplace_back();
    bool bad_usage = false;
    std::string error;
    if (!target_open(w.target, name, bad_usage, error)) {
      fputs(error.c_str(), stderr);
      return bad_usage ? 2 : 1;
    }
  }
  int fd = open_listener(listen, at);
  if (fd < 0) return 1;
  server.loopback = (ntohl(at.sin_addr.s_addr) >> 24) == 127;
  MHD_Daemon* d = MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, handle, nullptr,
                                   MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, 64u,
                                   MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_NOTIFY_COMPLETED, completed,
                                   nullptr, MHD_OPTION_END);
  const MHD_DaemonInfo* epoll_info = d ? MHD_get_daemon_info(d, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (!epoll_info) {
    fprintf(stderr, "tolvek-stats: cannot serve HTTP on %s\n", listen.c_str());
    return 1;
  }
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &at.sin_addr, address, sizeof address);
  printf("tolvek-stats: serving the status page at http://%s:%u/ and /metrics for %zu repeaters\n", address,
         ntohs(at.sin_port), repeaters.size());
  if (at.sin_addr.s_addr == htonl(INADDR_ANY))
    fprintf(stderr,
            "tolvek-stats: listening on every address: whoever reaches port %u sees the clients' addresses\n",
            ntohs(at.sin_port));
  fflush(stdout);
  for (;;) {
    double now = monotonic();
    exporter_poll_due(server.watched, now, timeout);
    std::vector<pollfd> fds{{epoll_info->epoll_fd, POLLIN, 0}};
    for (const Watched& w : server.watched) exchange_poll_fds(w.target, w.exchange, fds);
    double wait = std::max(0.0, exporter_next_event(server.watched) - now);
    MHD_UNSIGNED_LONG_LONG mhd_wait = 0;
    if (MHD_get_timeout(d, &mhd_wait) == MHD_YES) wait = std::min(wait, static_cast<double>(mhd_wait) / 1000);
    if (poll(fds.data(), fds.size(), static_cast<int>(wait * 1000) + 1) < 0 && errno != EINTR) {
      fprintf(stderr, "tolvek-stats: poll: %s\n", strerror(errno));
      return 1;
    }
    std::string log = exporter_progress(server.watched, monotonic(), time(nullptr));
    fputs(log.c_str(), stderr);
    answer_scrapes();
    MHD_run(d);
  }
}
