// SPDX-License-Identifier: BSD-3-Clause
#include "many_clients.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <queue>
#include <vector>

// After rpc.h, whose types it uses.
#include <rpc/pmap_prot.h>

#include "client_handle.h"
#include "date.h"
#include "load.h"

namespace {

constexpr int64_t kMillisecond = 1000000;
constexpr int64_t kSecond = 1000 * kMillisecond;
constexpr int64_t kNever = INT64_MAX;
constexpr uint16_t kPortMapperPort = 111;
// The port mapper query goes again after 1 s, then 2, 4 and 8 s, as
// date_client sends it.
constexpr int64_t kFirstRetry = kSecond;
// A reply of procedure 2 with its record mark takes 60 bytes; a verifier
// can make it longer, up to the server's 512-byte send buffer.
constexpr size_t kReplyRoom = 1024;
constexpr size_t kCallRoom = 128;
constexpr uint32_t kLastFragment = 0x80000000U;

// Why a pass failed, in the order of the report.
enum Failure {
  kNoSocket,
  kPortMapperTimeout,
  kPortMapperRefused,
  kNotRegistered,
  kConnectRefused,
  kConnectTimeout,
  kReset,
  kClosed,
  kCallTimeout,
  kBadReply,
  kAllBusy,
  kOtherError,
  kFailures
};

const char *const kFailureNames[kFailures] = {
    "no socket (descriptors or ports used up)",
    "port mapper timeout",
    "port mapper refused",
    "program not registered",
    "connect refused",
    "connect timeout",
    "connection reset by server",
    "connection closed by server",
    "call timeout",
    "bad reply",
    "not started: all clients busy",
    "other error",
};

enum class Stage { kIdle, kAsking, kConnecting, kHoldBefore, kCalling, kHoldBetween };

// One simulated client, on its way through a pass.
struct Client {
  Stage stage = Stage::kIdle;
  bool flooding = false;    // a connection of the flood, not a pass
  uint32_t generation = 0;  // a new one every pass: older events and timers are passed over
  int fd = -1;
  bool connected = false;
  bool waiting_for_room = false;  // EPOLLOUT watched while a call is sent
  unsigned long procedure = 0;    // the call in flight
  uint32_t xid = 0;
  int64_t start = 0;   // when the pass was due
  int64_t called = 0;  // when the last call was sent
  int64_t deadline = 0;
  int64_t wake = kNever;  // the end of a hold, or the next sending of the query
  int64_t retry = 0;
  long time_value = 0;
  char out[kCallRoom];
  size_t out_length = 0;
  size_t out_sent = 0;
  char in[kReplyRoom];
  size_t in_length = 0;
};

struct Timer {
  int64_t when;
  uint32_t client;
  uint32_t generation;
  bool operator>(const Timer &other) const { return when > other.when; }
};

// The whole run's state: one run per process.
struct Clients {
  ClientsRun run;
  sockaddr_in port_mapper{};
  int epoll_fd = -1;
  std::vector<Client> clients;
  std::vector<uint32_t> free_clients;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
  uint32_t next_xid = 0;
  long scheduled = 0;
  long completed = 0;
  long failed[kFailures] = {};
  std::string first_other_error;
  int connections = 0;
  int most_connections = 0;
  // Connections open times nanoseconds, for the mean over the run.
  double connection_ns = 0;
  int64_t connections_changed = 0;
  std::vector<int64_t> latency_ns;
  int64_t last_end = 0;
  uint16_t server_port = 0;  // as the port mapper named it
  int64_t flood_end = 0;
  long flood_answered = 0;
  long flood_failed[kFailures] = {};
} state;

int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

// A call's or a pass's limit, the client's.
int64_t time_limit() { return TIMEOUT.tv_sec * kSecond + TIMEOUT.tv_usec * 1000; }

uint32_t index_of(const Client &client) {
  return static_cast<uint32_t>(&client - state.clients.data());
}

void add_timer(Client &client, int64_t when) {
  state.timers.push({when, index_of(client), client.generation});
}

bool watch(Client &client, int operation, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = static_cast<uint64_t>(client.generation) << 32 | index_of(client);
  return epoll_ctl(state.epoll_fd, operation, client.fd, &event) == 0;
}

void count_connections(int change) {
  int64_t now = now_ns();
  if (state.connections_changed > 0) {
    state.connection_ns += static_cast<double>(state.connections) *
                           static_cast<double>(now - state.connections_changed);
  }
  state.connections_changed = now;
  state.connections += change;
  state.most_connections = std::max(state.most_connections, state.connections);
}

// Ends the client's pass; its client is free for the next.
void end_pass(Client &client) {
  if (client.fd >= 0) {
    close(client.fd);
    client.fd = -1;
  }
  if (client.connected) {
    client.connected = false;
    count_connections(-1);
  }
  state.last_end = now_ns();
  client.stage = Stage::kIdle;
  ++client.generation;
  if (!client.flooding) {
    state.free_clients.push_back(index_of(client));
  }
}

void finish(Client &client, Failure failure) {
  end_pass(client);
  if (!client.flooding) {
    ++state.failed[failure];
    return;
  }
  ++state.flood_failed[failure];
  // A server started again listens elsewhere: the port mapper is asked anew.
  if (failure == kConnectRefused) {
    state.server_port = 0;
  }
  // A connection the server closed is made again at once, as a client that
  // keeps its connection would; after any other failure, at the next call.
  bool closed = failure == kClosed || failure == kReset;
  add_timer(client, now_ns() + (closed ? 0 : state.run.flood_every_ms * kMillisecond));
}

void complete(Client &client) {
  end_pass(client);
  ++state.completed;
  state.latency_ns.push_back(state.last_end - client.start);
}

void fail_with(Client &client, int error) {
  if (state.first_other_error.empty()) {
    state.first_other_error = strerror(error);
  }
  finish(client, kOtherError);
}

// A socket the kernel would not give: the descriptor table, the kernel's
// memory or the local ports are used up.
bool out_of_sockets(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
         error == ENOSPC || error == EADDRNOTAVAIL;
}

void send_query(Client &client) {
  struct pmap wanted = {DATE_PROPG, DATE_VERS, IPPROTO_TCP, 0};
  u_int length = encode_call(client.out, sizeof client.out, client.xid, PMAPPROG, PMAPVERS,
                             PMAPPROC_GETPORT, as_xdrproc(xdr_pmap), &wanted);
  if (send(client.fd, client.out, length, MSG_DONTWAIT) != static_cast<ssize_t>(length)) {
    if (errno == ECONNREFUSED) {
      finish(client, kPortMapperRefused);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      fail_with(client, errno);
    }  // a datagram the socket had no room for goes again at the retry
  }
}

// Starts a pass due at `due` with the port mapper query, over a connected
// UDP socket of its own, as date_client makes it.
void start_pass(Client &client, int64_t due) {
  client.start = due;
  client.deadline = due + time_limit();
  client.stage = Stage::kAsking;
  add_timer(client, client.deadline);
  client.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (client.fd < 0) {
    out_of_sockets(errno) ? finish(client, kNoSocket) : fail_with(client, errno);
    return;
  }
  // Port and host unreachable both end the wait at once.
  int report_all = 1;
  setsockopt(client.fd, IPPROTO_IP, IP_RECVERR, &report_all, sizeof report_all);
  if (connect(client.fd, reinterpret_cast<const sockaddr *>(&state.port_mapper),
              sizeof state.port_mapper) != 0 ||
      !watch(client, EPOLL_CTL_ADD, EPOLLIN)) {
    out_of_sockets(errno) ? finish(client, kNoSocket) : fail_with(client, errno);
    return;
  }
  client.xid = ++state.next_xid;
  client.retry = kFirstRetry;
  client.wake = now_ns() + client.retry;
  add_timer(client, client.wake);
  send_query(client);
}

// Sends what is left of the call; waits for room if the socket has none.
void send_rest(Client &client) {
  while (client.out_sent < client.out_length) {
    ssize_t sent = send(client.fd, client.out + client.out_sent,
                        client.out_length - client.out_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      client.waiting_for_room = true;
      if (!watch(client, EPOLL_CTL_MOD, EPOLLIN | EPOLLOUT | EPOLLRDHUP)) {
        fail_with(client, errno);
      }
      return;
    }
    if (sent < 0) {
      errno == EPIPE || errno == ECONNRESET ? finish(client, kReset) : fail_with(client, errno);
      return;
    }
    client.out_sent += static_cast<size_t>(sent);
  }
  if (client.waiting_for_room) {
    client.waiting_for_room = false;
    if (!watch(client, EPOLL_CTL_MOD, EPOLLIN | EPOLLRDHUP)) {
      fail_with(client, errno);
    }
  }
}

// Procedure 1, or procedure 2 with the time that procedure 1 returned, as
// one record.
void send_call(Client &client, unsigned long procedure) {
  client.stage = Stage::kCalling;
  client.procedure = procedure;
  client.called = now_ns();
  if (client.flooding) {
    client.deadline = client.called + time_limit();
    add_timer(client, client.deadline);
  }
  client.xid = ++state.next_xid;
  client.in_length = 0;
  u_int length =
      procedure == BIN_DATE
          ? encode_call(client.out + 4, sizeof client.out - 4, client.xid, DATE_PROPG, DATE_VERS,
                        BIN_DATE, as_xdrproc(xdr_void), nullptr)
          : encode_call(client.out + 4, sizeof client.out - 4, client.xid, DATE_PROPG, DATE_VERS,
                        STR_DATE, as_xdrproc(xdr_time_value), &client.time_value);
  if (length == 0) {
    fail_with(client, EMSGSIZE);
    return;
  }
  uint32_t mark = htonl(kLastFragment | length);
  memcpy(client.out, &mark, sizeof mark);
  client.out_length = length + 4;
  client.out_sent = 0;
  send_rest(client);
}

// Holds the connection for `hold_ms`, or makes the call at once.
void hold_or_call(Client &client, Stage hold, int hold_ms, unsigned long procedure) {
  if (hold_ms <= 0) {
    send_call(client, procedure);
    return;
  }
  client.stage = hold;
  client.wake = now_ns() + hold_ms * kMillisecond;
  add_timer(client, client.wake);
}

void connected(Client &client) {
  client.connected = true;
  count_connections(1);
  // Watched during holds too: a server that closes an idle connection fails
  // the pass then, as the client's next call would.
  if (!watch(client, EPOLL_CTL_MOD, EPOLLIN | EPOLLRDHUP)) {
    fail_with(client, errno);
    return;
  }
  hold_or_call(client, Stage::kHoldBefore, client.flooding ? 0 : state.run.hold_before_ms,
               BIN_DATE);
}

void connect_failed(Client &client, int error) {
  if (error == ECONNREFUSED) {
    finish(client, kConnectRefused);
  } else if (error == ETIMEDOUT) {
    finish(client, kConnectTimeout);
  } else {
    out_of_sockets(error) ? finish(client, kNoSocket) : fail_with(client, error);
  }
}

// A flood connection's source address: the flood's connections take the
// addresses from flood_from up in turn, the second byte counting.
bool bind_flood_source(Client &client) {
  const ClientsRun &run = state.run;
  // The port is chosen at the connect: many connections share an address.
  int port_at_connect = 1;
  setsockopt(client.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &port_at_connect,
             sizeof port_at_connect);
  uint32_t step = (index_of(client) - static_cast<uint32_t>(run.clients)) %
                  static_cast<uint32_t>(run.flood_addresses);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(ntohl(run.flood_from) + (step << 16));
  return bind(client.fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) == 0;
}

void start_connection(Client &client, uint16_t port) {
  if (client.fd >= 0) {
    close(client.fd);
  }
  state.server_port = port;
  client.stage = Stage::kConnecting;
  client.wake = kNever;
  client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (client.fd < 0 ||
      (client.flooding && state.run.flood_from != INADDR_ANY && !bind_flood_source(client))) {
    out_of_sockets(errno) ? finish(client, kNoSocket) : fail_with(client, errno);
    return;
  }
  sockaddr_in server = state.port_mapper;
  server.sin_port = htons(port);
  if (connect(client.fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0) {
    if (watch(client, EPOLL_CTL_ADD, EPOLLIN | EPOLLRDHUP)) {
      connected(client);
    } else {
      fail_with(client, errno);
    }
  } else if (errno != EINPROGRESS) {
    connect_failed(client, errno);
  } else if (!watch(client, EPOLL_CTL_ADD, EPOLLOUT)) {
    out_of_sockets(errno) ? finish(client, kNoSocket) : fail_with(client, errno);
  }
}

void query_answered(Client &client) {
  ssize_t got = recv(client.fd, client.in, sizeof client.in, 0);
  if (got < 0) {
    if (errno == ECONNREFUSED) {
      finish(client, kPortMapperRefused);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      fail_with(client, errno);
    }
    return;
  }
  uint32_t xid = 0;
  if (got < 4 || (memcpy(&xid, client.in, sizeof xid), ntohl(xid) != client.xid)) {
    return;  // not this query's answer: a late one to an earlier try is ignored
  }
  u_int port = 0;
  rpc_err error{};
  clnt_stat status =
      decode_reply(client.in, static_cast<u_int>(got), as_xdrproc(xdr_u_int), &port, &error);
  if (status == RPC_CANTDECODERES) {
    finish(client, kBadReply);
  } else if (status != RPC_SUCCESS) {
    finish(client, kPortMapperRefused);
  } else if (port == 0 || port > 65535) {
    finish(client, kNotRegistered);
  } else {
    start_connection(client, static_cast<uint16_t>(port));
  }
}

// The whole record of the reply at the start of client.in, its record marks
// taken out; its length, or -1 while it is not all in.
long whole_record(Client &client) {
  size_t at = 0;  // the next fragment's mark
  bool last = false;
  while (!last) {
    uint32_t mark = 0;
    if (at + 4 > client.in_length) {
      return -1;
    }
    memcpy(&mark, client.in + at, sizeof mark);
    mark = ntohl(mark);
    last = (mark & kLastFragment) != 0;
    at += 4 + (mark & ~kLastFragment);
    if (at > client.in_length) {
      return -1;
    }
  }
  size_t record = 0;
  for (size_t from = 0; from < at;) {
    uint32_t mark = 0;
    memcpy(&mark, client.in + from, sizeof mark);
    size_t length = ntohl(mark) & ~kLastFragment;
    memmove(client.in + record, client.in + from + 4, length);
    record += length;
    from += 4 + length;
  }
  return static_cast<long>(record);
}

// The reply is in: procedure 1 gives the time for procedure 2, whose
// answer ends the pass.
void reply_in(Client &client, size_t length) {
  uint32_t xid = 0;
  memcpy(&xid, client.in, sizeof xid);
  long time_value = 0;
  char *text = nullptr;
  rpc_err error{};
  clnt_stat status = RPC_CANTDECODERES;
  auto message_length = static_cast<u_int>(length);
  if (length < 4 || ntohl(xid) != client.xid) {
    // not the reply to this call
  } else if (client.procedure == BIN_DATE) {
    status =
        decode_reply(client.in, message_length, as_xdrproc(xdr_time_value), &time_value, &error);
  } else {
    status = decode_reply(client.in, message_length, as_xdrproc(xdr_wrapstring), &text, &error);
  }
  xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(&text));
  if (status != RPC_SUCCESS) {
    finish(client, kBadReply);
  } else if (client.flooding) {
    ++state.flood_answered;
    int64_t until_next = client.called + state.run.flood_every_ms * kMillisecond - now_ns();
    hold_or_call(client, Stage::kHoldBefore,
                 static_cast<int>(std::max<int64_t>(0, until_next) / kMillisecond), BIN_DATE);
  } else if (client.procedure == BIN_DATE) {
    client.time_value = time_value;
    hold_or_call(client, Stage::kHoldBetween, state.run.hold_between_ms, STR_DATE);
  } else {
    complete(client);
  }
}

// The connection is readable: a reply, or the server's close; during a
// hold, nothing is expected but a close.
void connection_readable(Client &client) {
  for (;;) {
    size_t room = sizeof client.in - client.in_length;
    if (room == 0) {
      finish(client, kBadReply);  // a reply longer than any the server makes
      return;
    }
    ssize_t got = recv(client.fd, client.in + client.in_length, room, 0);
    if (got == 0) {
      finish(client, kClosed);
      return;
    }
    if (got < 0) {
      if (errno == ECONNRESET || errno == EPIPE) {
        finish(client, kReset);
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fail_with(client, errno);
      }
      return;
    }
    if (client.stage != Stage::kCalling) {
      finish(client, kBadReply);  // bytes that answer no call
      return;
    }
    client.in_length += static_cast<size_t>(got);
    long length = whole_record(client);
    if (length >= 0) {
      reply_in(client, static_cast<size_t>(length));
      return;
    }
  }
}

void on_event(const epoll_event &event) {
  auto index = static_cast<uint32_t>(event.data.u64);
  Client &client = state.clients[index];
  if (client.generation != static_cast<uint32_t>(event.data.u64 >> 32)) {
    return;
  }
  switch (client.stage) {
    case Stage::kIdle:
      break;
    case Stage::kAsking:
      query_answered(client);
      break;
    case Stage::kConnecting: {
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
      }
      if (error != 0) {
        connect_failed(client, error);
      } else if (watch(client, EPOLL_CTL_MOD, EPOLLIN | EPOLLRDHUP)) {
        connected(client);
      } else {
        fail_with(client, errno);
      }
      break;
    }
    case Stage::kCalling:
      if ((event.events & EPOLLOUT) != 0 && client.out_sent < client.out_length) {
        send_rest(client);
      }
      if (client.stage == Stage::kCalling &&
          (event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        connection_readable(client);
      }
      break;
    case Stage::kHoldBefore:
    case Stage::kHoldBetween:
      connection_readable(client);
      break;
  }
}

// A flood connection, made straight to the server's port once the port
// mapper has named it.
void flood_connect(Client &client, int64_t now) {
  if (state.server_port == 0) {
    start_pass(client, now);
    return;
  }
  client.start = now;
  client.deadline = now + time_limit();
  add_timer(client, client.deadline);
  start_connection(client, state.server_port);
}

// A timer of the client's pass is due: the pass's time limit, the end of a
// hold or the next sending of the query.
void on_timer(const Timer &timer, int64_t now) {
  Client &client = state.clients[timer.client];
  if (client.generation != timer.generation) {
    return;
  }
  if (client.stage == Stage::kIdle) {
    if (client.flooding && now < state.flood_end) {
      flood_connect(client, now);
    }
    return;
  }
  if (now >= client.deadline) {
    finish(client, client.stage == Stage::kAsking       ? kPortMapperTimeout
                   : client.stage == Stage::kConnecting ? kConnectTimeout
                                                        : kCallTimeout);
    return;
  }
  if (now < client.wake) {
    return;  // a timer set before the wake moved on
  }
  switch (client.stage) {
    case Stage::kAsking:
      client.retry *= 2;
      client.wake = now + client.retry;
      add_timer(client, client.wake);
      send_query(client);
      break;
    case Stage::kHoldBefore:
      send_call(client, BIN_DATE);
      break;
    case Stage::kHoldBetween:
      send_call(client, STR_DATE);
      break;
    default:
      break;
  }
}

bool resolve(const std::string &host, sockaddr_in *address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  memcpy(address, found->ai_addr, sizeof *address);
  freeaddrinfo(found);
  address->sin_port = htons(kPortMapperPort);
  return true;
}

// The descriptor limit raised to the hard limit: each client needs one or
// two descriptors at a time.
rlim_t raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return 0;
  }
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

// Starts the passes that are due: on the schedule of the rate, or one in
// every free client. False once no more are to start.
bool start_due_passes(int64_t begin, int64_t now, int64_t &next_due) {
  const ClientsRun &run = state.run;
  int64_t end = begin + static_cast<int64_t>(run.seconds * kSecond);
  auto more = [&](int64_t due) { return run.count > 0 ? state.scheduled < run.count : due < end; };
  // At most one round of the clients before events are looked at again.
  for (int started = 0; started < run.clients; ++started) {
    int64_t due = run.rate > 0 ? next_due : now;
    if (!more(due)) {
      return false;
    }
    if (due > now || (run.rate <= 0 && state.free_clients.empty())) {
      return true;
    }
    ++state.scheduled;
    if (run.rate > 0) {
      next_due =
          begin + static_cast<int64_t>(static_cast<double>(state.scheduled) * kSecond / run.rate);
    }
    if (state.free_clients.empty()) {
      ++state.failed[kAllBusy];
      continue;
    }
    uint32_t index = state.free_clients.back();
    state.free_clients.pop_back();
    start_pass(state.clients[index], due);
    now = now_ns();
  }
  return true;
}

double cpu_used(double before, pid_t pid) {
  double after = process_cpu_seconds(pid);
  return before < 0 || after < 0 ? -1 : after - before;
}

double own_cpu_seconds() {
  timespec used{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void print_connections_open(double elapsed) {
  printf("most TCP connections open at once: %d (mean %.0f)\n", state.most_connections,
         elapsed > 0 ? state.connection_ns / (elapsed * kSecond) : 0.0);
}

void print_report(double elapsed, double server_cpu, double rpcbind_cpu, double own_cpu) {
  const ClientsRun &run = state.run;
  long failed = 0;
  for (long count : state.failed) {
    failed += count;
  }
  printf("passes: %ld due, %ld completed, %ld failed, in %.1f s: %.1f completed a second\n",
         state.scheduled, state.completed, failed, elapsed,
         elapsed > 0 ? static_cast<double>(state.completed) / elapsed : 0.0);
  printf("failed passes by cause:\n");
  for (int cause = 0; cause < kFailures; ++cause) {
    printf("  %-42s %ld", kFailureNames[cause], state.failed[cause]);
    if (cause == kOtherError && !state.first_other_error.empty()) {
      printf(" (the first: %s)", state.first_other_error.c_str());
    }
    printf("\n");
  }
  print_connections_open(elapsed);
  std::sort(state.latency_ns.begin(), state.latency_ns.end());
  printf("pass latency ms%s: p50 %.1f, p90 %.1f, p99 %.1f, max %.1f\n",
         run.hold_before_ms + run.hold_between_ms > 0 ? " (holds included)" : "",
         latency_us(state.latency_ns, 0.5) / 1000, latency_us(state.latency_ns, 0.9) / 1000,
         latency_us(state.latency_ns, 0.99) / 1000, latency_us(state.latency_ns, 1.0) / 1000);
  auto per_thousand = [](double seconds) {
    char text[48];
    if (seconds < 0) {
      snprintf(text, sizeof text, "unknown");
    } else if (state.completed == 0) {
      snprintf(text, sizeof text, "%.1f ms in all", seconds * 1e3);
    } else {
      snprintf(text, sizeof text, "%.1f ms",
               seconds * 1e3 * 1000 / static_cast<double>(state.completed));
    }
    return std::string(text);
  };
  printf("CPU per 1,000 completed passes: date_server %s, rpcbind %s, date_bench %s\n",
         per_thousand(server_cpu).c_str(), per_thousand(rpcbind_cpu).c_str(),
         per_thousand(own_cpu).c_str());
}

void print_flood_setting() {
  const ClientsRun &run = state.run;
  char first[INET_ADDRSTRLEN] = "";
  char last[INET_ADDRSTRLEN] = "";
  in_addr address{run.flood_from};
  inet_ntop(AF_INET, &address, first, sizeof first);
  address.s_addr =
      htonl(ntohl(run.flood_from) + (static_cast<uint32_t>(run.flood_addresses - 1) << 16));
  inet_ntop(AF_INET, &address, last, sizeof last);
  printf("flood: %d connections", run.flood);
  if (run.flood_from == INADDR_ANY) {
    printf(" from no address in particular");
  } else if (run.flood_addresses == 1) {
    printf(" from %s", first);
  } else {
    printf(" from %d addresses, %s to %s", run.flood_addresses, first, last);
  }
  printf(
      ", each calling procedure 1 every %d ms, connected again at once when closed, for %.1f s\n",
      run.flood_every_ms, run.seconds);
}

// What the flood's calls met: answered, closed by the server, failed.
void print_flood_report(double elapsed) {
  printf(
      "flood calls answered: %ld (%.1f a second); reconnects: %ld (connections closed or reset "
      "by the server); failed otherwise:",
      state.flood_answered, elapsed > 0 ? static_cast<double>(state.flood_answered) / elapsed : 0.0,
      state.flood_failed[kClosed] + state.flood_failed[kReset]);
  const char *separator = " ";
  for (int cause = 0; cause < kFailures; ++cause) {
    if (cause != kClosed && cause != kReset && state.flood_failed[cause] > 0) {
      printf("%s%s %ld", separator, kFailureNames[cause], state.flood_failed[cause]);
      separator = ", ";
    }
  }
  printf("%s\n", separator[0] == ' ' ? " none" : "");
  if (state.run.clients == 0) {
    print_connections_open(elapsed);
  }
}

}  // namespace

int run_clients(const ClientsRun &run) {
  state.run = run;
  rlim_t descriptors = raise_descriptor_limit();
  if (!resolve(run.host, &state.port_mapper)) {
    fprintf(stderr, "date_bench: %s: no IPv4 address\n", run.host.c_str());
    return 1;
  }
  state.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (state.epoll_fd < 0) {
    fprintf(stderr, "date_bench: epoll: %s\n", strerror(errno));
    return 1;
  }
  // The passes' clients first, then the flood's connections.
  state.clients.resize(static_cast<size_t>(run.clients) + static_cast<size_t>(run.flood));
  for (size_t index = static_cast<size_t>(run.clients); index-- > 0;) {
    state.free_clients.push_back(static_cast<uint32_t>(index));
  }
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &state.port_mapper.sin_addr, address, sizeof address);
  printf("date_bench clients: host %s (%s), ", run.host.c_str(), address);
  if (run.clients == 0) {
    printf("no passes\n");
  } else {
    printf("%d clients, ", run.clients);
    if (run.rate > 0) {
      printf("open loop: %.1f passes started a second", run.rate);
    } else {
      printf("closed loop: each client's next pass as its last ends");
    }
    if (run.count > 0) {
      printf(", %ld passes\n", run.count);
    } else {
      printf(", for %.1f s\n", run.seconds);
    }
  }
  if (run.flood > 0) {
    print_flood_setting();
  }
  if (run.clients > 0) {
    printf("holds: %d ms before procedure 1, %d ms between the calls; ", run.hold_before_ms,
           run.hold_between_ms);
  }
  printf("descriptors: %lu\n", static_cast<unsigned long>(descriptors));
  fflush(stdout);

  double server_before = process_cpu_seconds(run.server_pid);
  double rpcbind_before = process_cpu_seconds(run.rpcbind_pid);
  double own_before = own_cpu_seconds();
  int64_t begin = now_ns();
  int64_t next_due = begin;
  bool starting = run.clients > 0;
  std::vector<epoll_event> events(1024);
  if (run.flood > 0) {
    state.flood_end = begin + static_cast<int64_t>(run.seconds * kSecond);
    for (size_t index = static_cast<size_t>(run.clients); index < state.clients.size(); ++index) {
      state.clients[index].flooding = true;
      start_pass(state.clients[index], begin);
    }
  }
  for (;;) {
    int64_t now = now_ns();
    bool flooding = now < state.flood_end;
    if (!starting && !flooding && state.free_clients.size() == static_cast<size_t>(run.clients)) {
      break;
    }
    if (starting) {
      starting = start_due_passes(begin, now, next_due);
    }
    int64_t wake = state.timers.empty() ? now + kSecond : state.timers.top().when;
    if (starting) {
      wake = std::min(wake, run.rate > 0 ? next_due : now + kSecond);
      if (run.rate <= 0 && !state.free_clients.empty()) {
        wake = now;
      }
    }
    if (flooding) {
      wake = std::min(wake, state.flood_end);
    }
    int64_t wait_ms = std::max<int64_t>(0, (wake - now + kMillisecond - 1) / kMillisecond);
    int ready = epoll_wait(state.epoll_fd, events.data(), static_cast<int>(events.size()),
                           static_cast<int>(std::min<int64_t>(wait_ms, 1000)));
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "date_bench: epoll_wait: %s\n", strerror(errno));
      return 1;
    }
    for (int i = 0; i < ready; ++i) {
      on_event(events[static_cast<size_t>(i)]);
    }
    now = now_ns();
    while (!state.timers.empty() && state.timers.top().when <= now) {
      Timer timer = state.timers.top();
      state.timers.pop();
      on_timer(timer, now);
    }
  }
  // The flood ends with the run; its calls then in flight are not counted.
  for (size_t index = static_cast<size_t>(run.clients); index < state.clients.size(); ++index) {
    if (state.clients[index].stage != Stage::kIdle) {
      end_pass(state.clients[index]);
    }
  }
  if (run.flood > 0) {
    state.last_end = std::max(state.last_end, state.flood_end);
  }
  double elapsed = static_cast<double>(state.last_end - begin) / kSecond;
  if (run.clients > 0) {
    print_report(elapsed, cpu_used(server_before, run.server_pid),
                 cpu_used(rpcbind_before, run.rpcbind_pid), own_cpu_seconds() - own_before);
  }
  if (run.flood > 0) {
    print_flood_report(elapsed);
  }
  for (long count : state.failed) {
    if (count > 0) {
      return 1;
    }
  }
  return run.flood > 0 && state.flood_answered == 0 ? 1 : 0;
}
