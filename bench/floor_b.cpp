// The benchmark's second floor: the least a relay can do with the batching
// calls. recvmmsg waits for the first datagram and takes up to 8 that are
// waiting; each goes to every client with one sendmmsg.
//
//   floor_b INPUT_PORT CLIENT_PORT...   (clients on 127.0.0.1; runs until killed)
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "floor.h"

int main(int argc, char** argv) {
  Floor f = floor_from_args("floor_b", argc, argv);
  const int in = f.in, out = f.out;
  std::vector<sockaddr_in>& clients = f.clients;
  constexpr unsigned BATCH = 8;
  static uint8_t bufs[BATCH][65536];
  iovec in_iov[BATCH];
  mmsghdr in_msgs[BATCH];
  iovec out_iov;
  std::vector<mmsghdr> out_msgs(clients.size());
  for (size_t k = 0; k < clients.size(); k++) {
    out_msgs[k] = {};
    out_msgs[k].msg_hdr.msg_name = &clients[k];
    out_msgs[k].msg_hdr.msg_namelen = sizeof clients[k];
    out_msgs[k].msg_hdr.msg_iov = &out_iov;
    out_msgs[k].msg_hdr.msg_iovlen = 1;
  }
  for (;;) {
    for (unsigned k = 0; k < BATCH; k++) {
      in_iov[k] = {bufs[k], sizeof bufs[k]};
      in_msgs[k] = {};
      in_msgs[k].msg_hdr.msg_iov = &in_iov[k];
      in_msgs[k].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(in, in_msgs, BATCH, MSG_WAITFORONE, nullptr);
    for (int k = 0; k < n; k++) {
      out_iov = {bufs[k], in_msgs[k].msg_len};
      sendmmsg(out, out_msgs.data(), static_cast<unsigned>(out_msgs.size()), 0);
    }
  }
}
