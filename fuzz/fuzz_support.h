// SPDX-License-Identifier: BSD-3-Clause
// What the fuzz targets share: a network of their own, loopback sockets,
// and a check of every reply they read back.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace fuzz_support {

// Moves the process into a network and mount namespace of its own (root),
// loopback up and an empty /run, so that it may take any port, port 111
// among them, and meets nobody else's port mapper; with_rpcbind, a port
// mapper of its own is started there, which ends with the process. Ends
// the process with a message on any failure.
void enter_private_network(bool with_rpcbind);

// Standard output to /dev/null, and the library's reports, which it writes
// through stderr, too. The sanitizers and libFuzzer still write to
// descriptor 2.
void silence_output();

// A socket of `type` on loopback of `family` (AF_INET or AF_INET6) bound
// to `port` (0: any), and one connected to `port`, with a receive buffer of
// receive_buffer bytes (0: the system's) set before it connects. End the
// process on failure.
int bound_socket(int family, int type, uint16_t port);
int connected_socket(int family, int type, uint16_t port, int receive_buffer = 0);
uint16_t port_of(int fd);

// The first descriptor of the library's poll set that `matches`; -1 if none.
int poll_set_descriptor(const std::function<bool(int fd)> &matches);

// The server's transport of this family and type, as start_service() made
// it, from the library's poll set.
int server_transport(int family, int type);

// A call read from the datagram socket fd: its xid and its sender.
struct Query {
  uint32_t xid = 0;
  sockaddr_storage from{};
  socklen_t from_length = sizeof from;
};
// False if the datagram is too short to hold an xid.
bool receive_query(int fd, Query *query);
// Sends the query's sender `size` bytes, or an accepted, successful reply
// to it whose result is the one unsigned integer `result`.
void send_to_sender(int fd, const Query &query, const uint8_t *bytes, size_t size);
void send_accepted_reply(int fd, const Query &query, uint32_t result);

uint32_t get_u32(const uint8_t *at);
void put_u32(uint8_t *at, uint32_t value);

// Whether `message` begins with an ONC RPC reply header that decodes; its
// xid in *xid.
bool decode_reply_header(const uint8_t *message, size_t size, uint32_t *xid);

// Ends the process (a finding) unless `message` is an ONC RPC reply whose
// header decodes and whose xid is `xid`.
void check_reply(const uint8_t *message, size_t size, uint32_t xid);

// Ends the process with `what` as the finding.
[[noreturn]] void finding(const char *what);

}  // namespace fuzz_support

#endif
