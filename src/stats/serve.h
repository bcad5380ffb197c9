// tolvek-stats --listen: serves the watched repeaters over HTTP with
// libmicrohttpd, in this one thread: GET /metrics asks every repeater at
// once and answers when each has answered or timed out, GET / is the status
// page and GET /status.json its data. Between requests each repeater is
// polled every EXPORTER_POLL_INTERVAL for the page's history.
#ifndef TOLVEK_STATS_SERVE_H_
#define TOLVEK_STATS_SERVE_H_

#include <string>
#include <vector>

// Listens on listen ("[ADDR:]PORT", ADDR 127.0.0.1 when left out, PORT 0
// for any free one) and serves until killed. Returns the exit status when it
// cannot start: 2 for a bad address or repeater, 1 when it cannot listen.
int serve(const std::string& listen, const std::vector<std::string>& repeaters, double timeout);

#endif  // TOLVEK_STATS_SERVE_H_
