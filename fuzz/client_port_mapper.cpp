// SPDX-License-Identifier: BSD-3-Clause
// One input is the port mapper's reply to the client's query for the
// server's TCP port, taken through the client's own query, its reading of
// the answer (a port, or a list of universal addresses) and the connection
// that follows. The target is the port mapper on loopback. The first byte
// chooses the query (even portmap 2 GETPORT over 127.0.0.1, odd rpcbind 4
// GETADDRLIST over ::1) and a failure of the client's system calls (see
// faults.h). The reply's first four bytes are its xid XOR the query's, so
// that 0 there answers the query. At the ports that the seed replies name
// a server takes the connection and closes it at once.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "client.h"
#include "faults.h"
#include "fuzz_support.h"

using namespace fuzz_support;

namespace {

std::mutex input_lock;
std::vector<uint8_t> reply;

constexpr uint16_t kIpv4ServerPort = 54824;  // getport-registered
constexpr uint16_t kIpv6ServerPort = 56635;  // getaddrlist-tcp6-registered

// Answers every query with the input, and then with a well-formed "not
// registered", so that a reply the client passes over ends its wait at
// once rather than after its time limit. Connections to the listeners are
// closed as soon as they are taken.
void be_the_port_mapper(int ipv4_fd, int ipv6_fd, int ipv4_listener, int ipv6_listener) {
  pollfd entries[4] = {{ipv4_fd, POLLIN, 0},
                       {ipv6_fd, POLLIN, 0},
                       {ipv4_listener, POLLIN, 0},
                       {ipv6_listener, POLLIN, 0}};
  for (;;) {
    if (poll(entries, 4, -1) <= 0) {
      continue;
    }
    for (const pollfd &entry : entries) {
      if ((entry.revents & POLLIN) == 0) {
        continue;
      }
      if (entry.fd == ipv4_listener || entry.fd == ipv6_listener) {
        int fd = accept(entry.fd, nullptr, nullptr);
        if (fd >= 0) {
          close(fd);
        }
        continue;
      }
      Query query;
      if (!receive_query(entry.fd, &query)) {
        continue;
      }
      std::vector<uint8_t> answer;
      {
        std::lock_guard<std::mutex> hold(input_lock);
        answer = reply;
      }
      if (answer.size() >= 4) {
        put_u32(answer.data(), get_u32(answer.data()) ^ query.xid);
      }
      send_to_sender(entry.fd, query, answer.data(), answer.size());
      send_accepted_reply(entry.fd, query, 0);  // port 0, or an empty list
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  enter_private_network(false);
  silence_output();
  prepare_client();
  int ipv4_fd = bound_socket(AF_INET, SOCK_DGRAM, 111);
  int ipv6_fd = bound_socket(AF_INET6, SOCK_DGRAM, 111);
  int ipv4_listener = bound_socket(AF_INET, SOCK_STREAM, kIpv4ServerPort);
  int ipv6_listener = bound_socket(AF_INET6, SOCK_STREAM, kIpv6ServerPort);
  std::thread(be_the_port_mapper, ipv4_fd, ipv6_fd, ipv4_listener, ipv6_listener).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  {
    std::lock_guard<std::mutex> hold(input_lock);
    reply.assign(data + 1, data + size);
  }
  plan_fault(data[0], client_faults);
  with_fault_armed([&] { return poll_once((data[0] & 1) != 0 ? "::1" : "127.0.0.1", 1); });
  return 0;
}
