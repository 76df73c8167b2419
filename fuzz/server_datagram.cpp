// SPDX-License-Identifier: BSD-3-Clause
// One input is one datagram to the server's UDP transport, served as the
// server serves it: the loop's look at the datagram, the library's decoding,
// the dispatcher and the routines, and the reply read back. The first byte
// chooses the transport (even udp, IPv4; odd udp6) and a failure of the
// loop's system calls (see faults.h).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "date_svc.h"
#include "faults.h"
#include "fuzz_support.h"
#include "request_loop.h"

using namespace fuzz_support;

namespace {

int server_fds[2];
int client_fds[2];

bool datagram_waiting(int fd) {
  char byte;
  return recv(fd, &byte, sizeof byte, MSG_PEEK | MSG_DONTWAIT) >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  enter_private_network(true);
  silence_output();
  start_service();
  int families[2] = {AF_INET, AF_INET6};
  for (int i = 0; i < 2; ++i) {
    server_fds[i] = server_transport(families[i], SOCK_DGRAM);
    client_fds[i] = connected_socket(families[i], SOCK_DGRAM, port_of(server_fds[i]));
  }
  // The loop's first round makes its epoll descriptor: should that fail,
  // the round reports it and ends the loop, as a failed poll does.
  plan_fault(1 << 1, {Fault::kCreateFails});
  if (with_fault_armed([] { return serve_round(0); }) || !fault_injected()) {
    finding("a round went on without its epoll descriptor");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  int transport = data[0] & 1;
  const uint8_t *datagram = data + 1;
  size_t length = size - 1;
  if (send(client_fds[transport], datagram, length, 0) != static_cast<ssize_t>(length)) {
    return 0;  // over the size of a datagram
  }
  plan_fault(data[0], server_faults);
  for (int round = 0; datagram_waiting(server_fds[transport]); ++round) {
    if (round == 10 || (!with_fault_armed([] { return serve_round(0); }) && !fault_injected())) {
      finding("a datagram was left unserved");
    }
  }
  static uint8_t reply[65536];
  ssize_t got;
  int replies = 0;
  while ((got = recv(client_fds[transport], reply, sizeof reply, MSG_DONTWAIT)) >= 0) {
    if (++replies > 1) {
      finding("more than one reply to a datagram");
    }
    if (length < 4) {
      finding("a reply to a datagram too short to hold a call");
    }
    check_reply(reply, static_cast<size_t>(got), get_u32(datagram));
  }
  return 0;
}
