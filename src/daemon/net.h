// The three UDP sockets, which input is current, and the calls through which
// the program uses them.
//
// Input and output share one socket when their ports are equal. Handles are
// -1 while closed; the statistics socket exists only with a statistics port.
// This module alone opens, closes and switches them; the rest of the program
// reads the handles.
#ifndef TOLVEK_DAEMON_NET_H_
#define TOLVEK_DAEMON_NET_H_

#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "common/wire.h"

#include "daemon/config.h"

extern const int& input_socket;
extern const int& output_socket;
extern const int& statistics_socket;

// 1 while the alternate input port and source are current (failed over).
extern const int& alt_toggle;
// Input failovers made since start.
extern const unsigned long& n_failovers;
// The source whose data is accepted now: the alternate one while failed
// over. Null when no source is configured.
const SourceRecord* current_source();

// Each dies with its message on failure, retrying EINTR (and EAGAIN for
// options) first. my_bind binds the wildcard address at port modulo 65536.
int my_socket();
void my_bind(int handle, int64_t port);
void my_setsockopt(int handle, int level, int option, const void* value, socklen_t length);
void my_close(int handle);

// Sends one datagram; returns 0 or the errno of the failure (EINTR retried).
int send_packet(int handle, const void* buf, size_t len, const sockaddr_in& address);

// Copies of one datagram handed to the kernel in one call of send_copies.
// Every copy costs the kernel the same, but each call costs a system call;
// the bound keeps the call's message array small enough for the stack.
constexpr size_t SEND_BATCH = 64;

// Sends the same datagram to to[0], to[1], ... to[n - 1], in that order, in
// one system call per SEND_BATCH copies while the kernel takes them all (one
// more after a refused copy; EINTR retried). Returns how many of them,
// counted from to[0], the kernel accepted; when that is fewer than n, the
// copy for to[returned count] failed with the errno stored in *err and
// nothing after it was sent, so the caller reports it and resumes after it.
size_t send_copies(int handle, const void* buf, size_t len, const sockaddr_in* to, size_t n, int* err);
// What to do with a failed send: errors that mean the program is broken end
// it; anything else drops this datagram for this destination and is reported
// at most once a second per destination. len is the payload size reported.
void send_failed(int err, size_t len, const sockaddr_in& address);
// Sends len bytes as fragments of at most 1400 payload bytes, each behind an
// 8-byte header: total length and fragment index, little-endian.
void send_fragmented_packet(int handle, const uint8_t* buf, size_t len, const sockaddr_in& address);

// One datagram of those read at once: its bytes, its sender, and the address
// it was sent to when the socket reports it (the multicast input), else
// INADDR_ANY.
struct ReceivedDatagram {
  const uint8_t* data;
  size_t len;
  sockaddr_in from;
  in_addr dest;
};
constexpr size_t MAX_RECEIVE_BATCH = 64;

// Reads up to n (at most MAX_RECEIVE_BATCH) datagrams already waiting on
// handle, in one call that never blocks. Datagram i goes to area + i * stride,
// at most size bytes of it. Fills out[0..k) and returns k; 0 when nothing
// could be read.
size_t receive_packets(int handle, uint8_t* area, size_t stride, size_t size, ReceivedDatagram* out, size_t n);

// What the input socket asks for as its receive buffer: room for a burst.
// The kernel grants at most net.core.rmem_max (and doubles it for its own
// bookkeeping).
constexpr int INPUT_RECEIVE_BUFFER = 2 << 20;

void init_sockets();
// Before init_sockets(): the alternate input and source are current from
// the start (a restart that goes on where the last run was).
void start_on_alternate_input();
void shutdown_sockets();
// For tests: closes whatever sockets are open, without a word, and forgets
// the time of the last data and the failover.
void net_reset();
// For tests, fuzzing and benchmarks: sockets of their own in the roles
// (-1 for none), and the alternate input made current or not.
void set_sockets_for_tests(int input, int output, int statistics);
void set_alt_toggle_for_tests(int toggle);
void multicast_setup_socket();

// The input port in use: the alternate one while failed over.
int64_t current_input_port();
// Input failover: moves the input to the other input port and source. The
// output and statistics sockets stay open, and the new input is bound before
// the old one is closed, so no other program can take a port from under us.
// Returns 0 after the set-up lines, or the errno of what failed (the port is
// taken, the group cannot be joined) with everything left as it was.
int switch_input();

// A reload: moves the sockets to the ports of next where they differ from
// those in use, before next becomes the settings. A port keeps its socket
// (and what it has queued); a new port is bound before the socket it
// replaces closes; a port that cannot be bound leaves its role where it was,
// with a line, and next then names the port still in use. Without an
// alternate input in next the input is the primary again. When the current
// source's group changes, the old one is left and the new one joined.
// True when the input moved to another port or socket.
bool move_sockets(Settings& next);

// The source filter as a classic BPF socket filter: the datagrams of src
// (address and port, any port for port 0; for a group, those sent to it)
// pass whole, all others are dropped before they are queued.
struct BpfProgram {
  sock_filter code[6];
  unsigned short len;
};
BpfProgram source_filter_program(const SourceRecord& src);
// 0, or the errno of a kernel that takes no such filter.
int attach_source_filter(int fd, const SourceRecord& src);
void detach_source_filter(int fd);

// Host byte order address in 224.0.0.0/4.
bool is_multicast(uint32_t host_addr);

#endif  // TOLVEK_DAEMON_NET_H_
