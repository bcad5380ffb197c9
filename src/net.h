// The three UDP sockets and the calls through which the program uses them.
//
// Input and output share one socket when their ports are equal. Handles are
// -1 while closed; the statistics socket exists only with a statistics port.
#ifndef TOLVEK_NET_H_
#define TOLVEK_NET_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Monotonic time of the last accepted data datagram; opening the socket set
// restarts it, so a fresh input gets its full time before failing over.
extern double last_data;

extern int input_socket;
extern int output_socket;
extern int statistics_socket;

constexpr size_t FRAGMENT_PAYLOAD = 1400;
constexpr size_t FRAGMENT_HEADER = 8;

// The fragment header's fields: 4 bytes each, little-endian.
inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t get_le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

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

void init_sockets();
void shutdown_sockets();
void multicast_setup_socket();

// Host byte order address in 224.0.0.0/4.
bool is_multicast(uint32_t host_addr);

#endif  // TOLVEK_NET_H_
