// SPDX-License-Identifier: BSD-3-Clause
// One input is the server's side of one pass of the client: the byte stream
// of its TCP connection, the record-marked replies to procedures 1 and 2,
// taken through the stubs and the client's printing. The target is the port
// mapper on 127.0.0.1 (a well-formed answer, its own port) and the server.
// The first four bytes of each reply's first fragment are its xid XOR the
// xid of the call the client is waiting on, so that 0 there answers it.
#include <netinet/in.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "client.h"
#include "fuzz_support.h"

using namespace fuzz_support;

namespace {

std::mutex lock;
std::condition_variable changed;
std::vector<uint8_t> stream;
int connections_served = 0;

uint16_t server_port;

void answer_port_query(int fd) {
  Query query;
  if (receive_query(fd, &query)) {
    send_accepted_reply(fd, query, server_port);
  }
}

// The xid of the next call on the connection; false once the client has
// closed it or sends no call.
bool next_call(int fd, uint32_t *xid) {
  uint8_t head[8];
  if (recv(fd, head, sizeof head, MSG_WAITALL) != sizeof head) {
    return false;
  }
  *xid = get_u32(head + 4);
  std::vector<uint8_t> rest((get_u32(head) & 0x7fffffffU) - 4);
  return rest.empty() || recv(fd, rest.data(), rest.size(), MSG_WAITALL) ==
                             static_cast<ssize_t>(rest.size());
}

// Whether the client takes `message` (whole fragments, marks and all) as
// the reply to the call with `xid`: its header decodes and the xids match.
// Otherwise it passes over it and reads on.
bool answers(const std::vector<uint8_t> &message, uint32_t xid) {
  std::vector<uint8_t> body;
  for (size_t at = 0; at + 4 <= message.size();) {
    size_t length = get_u32(&message[at]) & 0x7fffffffU;
    size_t end = std::min(message.size(), at + 4 + length);
    body.insert(body.end(), message.begin() + static_cast<long>(at + 4),
                message.begin() + static_cast<long>(end));
    at = end;
  }
  uint32_t reply_xid = 0;
  return decode_reply_header(body.data(), body.size(), &reply_xid) && reply_xid == xid;
}

// Sends the input message by message, each with its xid made the xid of
// the call the client waits on, and waits for the next call after each
// message that answers one.
void serve_connection(int fd, const std::vector<uint8_t> &input) {
  timeval limit = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  uint32_t xid = 0;
  bool calling = next_call(fd, &xid);
  size_t at = 0;
  while (calling && at < input.size()) {
    size_t end = at;
    bool last = false;
    while (!last && end + 4 <= input.size()) {
      uint32_t mark = get_u32(&input[end]);
      last = (mark & 0x80000000U) != 0;
      end = std::min(input.size(), end + 4 + (mark & 0x7fffffffU));
    }
    end = std::max(std::min(end, input.size()), std::min(at + 4, input.size()));
    std::vector<uint8_t> message(input.begin() + static_cast<long>(at),
                                 input.begin() + static_cast<long>(end));
    if (message.size() >= 8 && (get_u32(&message[0]) & 0x7fffffffU) >= 4) {
      put_u32(&message[4], get_u32(&message[4]) ^ xid);
    }
    send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    at = end;
    // After the input's last message the client has all it will get: it
    // either takes it or meets the end of the stream.
    if (at < input.size() && answers(message, xid)) {
      calling = next_call(fd, &xid);
    }
  }
  if (at < input.size()) {
    send(fd, &input[at], input.size() - at, MSG_NOSIGNAL);
  }
  shutdown(fd, SHUT_WR);
  uint8_t rest[1024];
  while (recv(fd, rest, sizeof rest, 0) > 0) {
  }
  linger abort_close = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  close(fd);
}

void be_the_server(int port_mapper_fd, int listener) {
  pollfd entries[2] = {{port_mapper_fd, POLLIN, 0}, {listener, POLLIN, 0}};
  for (;;) {
    if (poll(entries, 2, -1) <= 0) {
      continue;
    }
    if ((entries[0].revents & POLLIN) != 0) {
      answer_port_query(port_mapper_fd);
    }
    if ((entries[1].revents & POLLIN) != 0) {
      int fd = accept(listener, nullptr, nullptr);
      std::vector<uint8_t> input;
      {
        std::lock_guard<std::mutex> hold(lock);
        input = stream;
      }
      if (fd >= 0) {
        serve_connection(fd, input);
      }
      std::lock_guard<std::mutex> hold(lock);
      ++connections_served;
      changed.notify_all();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  enter_private_network(false);
  silence_output();
  prepare_client();
  int port_mapper_fd = bound_socket(AF_INET, SOCK_DGRAM, 111);
  int listener = bound_socket(AF_INET, SOCK_STREAM, 0);
  server_port = port_of(listener);
  std::thread(be_the_server, port_mapper_fd, listener).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int served_before;
  {
    std::lock_guard<std::mutex> hold(lock);
    stream.assign(data, data + size);
    served_before = connections_served;
  }
  poll_once("127.0.0.1", 1);
  std::unique_lock<std::mutex> hold(lock);
  if (!changed.wait_for(hold, std::chrono::seconds(10),
                        [&] { return connections_served > served_before; })) {
    finding("the pass left its connection open");
  }
  return 0;
}
