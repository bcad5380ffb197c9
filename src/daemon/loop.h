// The event loop, the data path and the upstream keep-alive.
//
// The loop is a thin shell: each wake-up is loop_iteration(), and each step
// of a datagram's road (source filter, fan-out and liveness pass, statistics
// update) is a function of its own, so a batching loop can call them in turn.
#ifndef TOLVEK_DAEMON_LOOP_H_
#define TOLVEK_DAEMON_LOOP_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "daemon/clients.h"

extern const double& last_trigger;  // monotonic time of the last keep-alive decision
// Monotonic time of the last accepted data datagram, or of the moment the
// input was opened or moved: the data timeout counts from it.
extern const double& last_data;
// For tests: the time of the last data, to set up a case directly.
void set_last_data(double t);

constexpr size_t RECEIVE_BUFFER = 65536;
constexpr int POLL_TIMEOUT_MS = 1000;
// Datagrams read from one socket per wake-up. Reading several at once saves
// a wait per datagram when a backlog builds up; the bound keeps a flood on
// one socket from holding back the others, the keep-alive and the failover.
constexpr size_t READ_BATCH = 8;

// Datagrams from others than the source in one second past which the
// kernel drops them unseen, and for how long (seconds).
constexpr unsigned STRAY_FLOOD = 5000;
constexpr double STRAY_FILTER_HOLD = 10;

void loop_reset();
// Every module of the daemon back to its start: settings, client table,
// sockets (closed), loop, statistics, line counts and the system log. For
// tests, fuzzing and benchmarks; the daemon never needs it.
void reset_all();

[[noreturn]] void select_loop();
// One wake-up: a reload if SIGHUP came, then wait (until the next thing
// falls due, a second at most), read the clock once, read each ready socket
// (up to READ_BATCH datagrams each, in the order input, output,
// statistics), and after_wakeup(). Every step takes the time of the
// wake-up as now: monotonic seconds.
void loop_iteration();
// What follows every wake-up: the keep-alive, the summaries of left-out
// lines, the stray filter's hold, failover, the timeout-only pass, saving
// the registered clients, the status line for a service manager.
void after_wakeup(double now);
// Reads the datagrams waiting on handle, at most READ_BATCH, and hands each
// in turn to the handler of the socket's role.
void read_packet(int handle, double now);

// Source filter. dest is the datagram's destination address, needed to tell
// a multicast source's datagrams (INADDR_ANY when unknown).
bool check_source_addr(const sockaddr_in& sender, in_addr dest);
// Data path for one datagram from the input socket.
void handle_data(const uint8_t* buf, size_t len, const sockaddr_in& sender, in_addr dest, double now);
// Fan-out and liveness pass; buf null is a pass that only retires clients.
// The copies go out in table order, SEND_BATCH to a system call; a copy the
// kernel refuses is reported and skipped, and only accepted copies count.
void send_packets(const uint8_t* buf, size_t len, double now);
void check_timeouts(double now);
// One entry of the pass, at its index in the table: a silent one is to be
// retired; a copy due to an enabled one is queued, and sent by the pass with
// the others, then counted for the entry at that index.
Verdict process_client(const Client& c, size_t index, int64_t now, const uint8_t* buf, size_t len);

// Registers this repeater with its current source while anyone downstream
// can receive: at most every trigger_period seconds unless forced, and at
// once when the first client becomes active. A source that is asked for its
// stream (a port and a password) counts as silent 4 s after it was first
// asked, never before; one that pushes, 4 s after its last datagram.
void send_trigger(bool force, double now);

#endif  // TOLVEK_DAEMON_LOOP_H_
