// SPDX-License-Identifier: BSD-3-Clause
// One input is the byte stream of one TCP connection to the server, record
// marks and all, served as the server serves it (deferred accept, the
// non-blocking connection with its record bound, the room check) until the
// input is used up and the server has closed the connection; every reply is
// read back and checked. The first byte chooses the transport (even tcp,
// IPv4; odd tcp6) and a failure of the loop's system calls (see faults.h).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "date_svc.h"
#include "faults.h"
#include "fuzz_support.h"
#include "request_loop.h"

using namespace fuzz_support;

namespace {

int families[2] = {AF_INET, AF_INET6};
uint16_t ports[2];

// The records of `replies`, each checked as a reply; a trailing part of a
// record is a finding too, since the server had closed the connection.
void check_replies(const std::vector<uint8_t> &replies) {
  size_t at = 0;
  while (at < replies.size()) {
    if (replies.size() - at < 4) {
      finding("the server's stream ends inside a record mark");
    }
    uint32_t mark = get_u32(&replies[at]);
    size_t length = mark & 0x7fffffffU;
    if ((mark & 0x80000000U) == 0 || replies.size() - at - 4 < length) {
      finding("the server sent a reply that is not one whole fragment");
    }
    const uint8_t *message = &replies[at + 4];
    check_reply(message, length, length >= 4 ? get_u32(message) : 0);
    at += 4 + length;
  }
}

// The server's end of the connection whose client end is fd gets a send
// buffer of the kernel's least size, as on a host short of memory; the
// kernel would otherwise let it grow to megabytes.
void shrink_send_buffer_towards(int fd) {
  sockaddr_storage client{};
  socklen_t client_length = sizeof client;
  getsockname(fd, reinterpret_cast<sockaddr *>(&client), &client_length);
  int server_fd = poll_set_descriptor([&](int candidate) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    return getpeername(candidate, reinterpret_cast<sockaddr *>(&peer), &peer_length) == 0 &&
           peer_length == client_length && memcmp(&peer, &client, client_length) == 0;
  });
  int smallest = 1;
  setsockopt(server_fd, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
}

// A client that stays connected for the whole run, sends procedure 0 over
// and over, and reads its replies slowly, a little before each input, as a
// stuck client would: the server fills its buffers, then waits for it to
// have room, while every input is served beside it.
struct Bystander {
  int fd = -1;
  size_t sent = 0;
};
Bystander bystanders[2];

void keep_calling(Bystander &bystander) {
  // Procedure 0, AUTH_NONE, as one record.
  static uint8_t call[44];
  put_u32(call, 0x80000000U | 40);
  put_u32(call + 12, 2);
  put_u32(call + 16, 0x31423456);
  put_u32(call + 20, 1);
  ssize_t wrote;
  while ((wrote = send(bystander.fd, call + bystander.sent % sizeof call,
                       sizeof call - bystander.sent % sizeof call, MSG_NOSIGNAL)) > 0) {
    bystander.sent += static_cast<size_t>(wrote);
  }
}

void connect_bystander(Bystander &bystander, int family, uint16_t port) {
  bystander.fd = connected_socket(family, SOCK_STREAM, port, 1);
  fcntl(bystander.fd, F_SETFL, O_NONBLOCK);
  for (int round = 0; round < 3000; ++round) {
    keep_calling(bystander);
    serve_round(0);
    if (round == 10) {
      shrink_send_buffer_towards(bystander.fd);
    }
  }
}

void read_a_little(Bystander &bystander) {
  uint8_t replies[512];
  recv(bystander.fd, replies, sizeof replies, MSG_DONTWAIT);
  keep_calling(bystander);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  enter_private_network(true);
  silence_output();
  start_service();
  for (int i = 0; i < 2; ++i) {
    ports[i] = port_of(server_transport(families[i], SOCK_STREAM));
    connect_bystander(bystanders[i], families[i], ports[i]);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A connection that sends nothing is not handed to the server for 5 s.
  if (size < 2) {
    return 0;
  }
  int transport = data[0] & 1;
  read_a_little(bystanders[transport]);
  int fd = connected_socket(families[transport], SOCK_STREAM, ports[transport]);
  if (send(fd, data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) {
    finding("the input did not fit the connection's buffers");
  }
  shutdown(fd, SHUT_WR);
  std::vector<uint8_t> replies;
  bool closed = false;
  plan_fault(data[0], server_faults);
  for (int round = 0; !closed; ++round) {
    if (round == 1000 || (!with_fault_armed([] { return serve_round(10); }) && !fault_injected())) {
      finding("the server did not close a connection whose client had ended");
    }
    uint8_t buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      replies.insert(replies.end(), buffer, buffer + got);
    }
    closed = got == 0 || (got < 0 && errno != EAGAIN);
  }
  // Closed with a reset: no TIME_WAIT left behind on either side.
  struct linger abort_close = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  close(fd);
  check_replies(replies);
  return 0;
}
