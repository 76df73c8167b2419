// SPDX-License-Identifier: BSD-3-Clause
#include "client_handle.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <rpc/pmap_prot.h>
#include <rpc/rpcb_prot.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "date.h"

namespace {

// RFC 8305's Connection Attempt Delay: an address that has got no
// connection this long after its port mapper was asked gets the next
// address started alongside it (and one that fails, at once). Below the
// RFC's 250 ms: a family whose packets are dropped costs every pass the
// delay, and a pass comes every second, so 250 ms would leave such a host
// exactly four fifths of the passes; on loopback or a LAN a port mapper
// that answers at all answers in well under a millisecond.
constexpr int64_t kAttemptDelayMs = 200;
// The port mapper's answer is waited for this long before the query is
// sent again, and twice as long after each try (1, 2, 4, 8 s), until the
// handle's time limit ends the wait.
constexpr int64_t kFirstRetryMs = 1000;
constexpr uint16_t kPortMapperPort = 111;

enum class Stage { kWaiting, kAsking, kConnecting, kConnected, kFailed };

// One address of the host on its way to a connection: the query to the
// port mapper there over a UDP socket, then the connection to the port it
// names; or how it failed.
struct Attempt {
  struct sockaddr_storage address;
  socklen_t length;
  Stage stage;
  int fd;
  uint32_t xid;
  int64_t resend_ms;
  int64_t retry_ms;
  // How it failed, as rpc_createerr would hold it.
  enum clnt_stat failure;
  struct rpc_err cause;
};

int64_t now_ms() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t timeout_ms() { return TIMEOUT.tv_sec * 1000 + TIMEOUT.tv_usec / 1000; }

// Distinct from one run of the client to the next, as the library's own
// xids are, so that a late answer to an earlier run is not taken.
uint32_t next_xid() {
  static uint32_t xid = 0;
  if (xid == 0) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    xid = static_cast<uint32_t>(getpid()) ^ static_cast<uint32_t>(now.tv_sec) ^
          static_cast<uint32_t>(now.tv_nsec);
  }
  return ++xid;
}

void set_port(struct sockaddr_storage *address, uint16_t port) {
  if (address->ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6 *>(address)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in *>(address)->sin_port = htons(port);
  }
}

// Ends the attempt with the failure that the library would report as
// `status`: a port mapper failure carries its cause (`cause`, with errno
// `error`), the others stand alone.
void fail(Attempt *attempt, enum clnt_stat status, enum clnt_stat cause, int error = 0) {
  if (attempt->fd >= 0) {
    close(attempt->fd);
    attempt->fd = -1;
  }
  attempt->stage = Stage::kFailed;
  attempt->failure = status;
  attempt->cause = {};
  attempt->cause.re_status = status == RPC_PMAPFAILURE ? cause : status;
  attempt->cause.re_errno = error;
}

void fail_query(Attempt *attempt, enum clnt_stat cause, int error) {
  fail(attempt, RPC_PMAPFAILURE, cause, error);
}

void fail_connection(Attempt *attempt, int error) {
  fail(attempt, RPC_SYSTEMERROR, RPC_SYSTEMERROR, error);
}

// The query for the date program's TCP port: portmap version 2 GETPORT for
// IPv4; for IPv6 rpcbind version 4, whose GETADDR would answer for the
// netid the query came in on (udp6), so the whole list is asked for and the
// tcp6 entry taken. Sent again, xid and all, for every try.
void send_query(Attempt *attempt) {
  char message[256];
  bool ipv4 = attempt->address.ss_family == AF_INET;
  struct pmap wanted_port = {DATE_PROPG, DATE_VERS, IPPROTO_TCP, 0};
  char netid[] = "tcp6";
  char empty[] = "";
  RPCB wanted_address = {DATE_PROPG, DATE_VERS, netid, empty, empty};
  u_int length = ipv4 ? encode_call(message, sizeof message, attempt->xid, PMAPPROG, PMAPVERS,
                                    PMAPPROC_GETPORT, as_xdrproc(xdr_pmap), &wanted_port)
                      : encode_call(message, sizeof message, attempt->xid, PMAPPROG, RPCBVERS4,
                                    RPCBPROC_GETADDRLIST, as_xdrproc(xdr_rpcb), &wanted_address);
  if (length == 0) {
    fail_query(attempt, RPC_CANTENCODEARGS, 0);
    return;
  }
  if (send(attempt->fd, message, length, 0) != static_cast<ssize_t>(length)) {
    fail_query(attempt, RPC_CANTSEND, errno);
  }
}

// Starts the attempt with its query, over a UDP socket connected first, so
// that it has an ordinary port (the library's own queries take a reserved
// one as root) and a closed port 111 is reported at once rather than after
// the full time.
void start_query(Attempt *attempt, int64_t now) {
  attempt->stage = Stage::kAsking;
  struct sockaddr_storage port_mapper = attempt->address;
  set_port(&port_mapper, kPortMapperPort);
  attempt->fd = socket(port_mapper.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  // Every error that ICMP reports for the query's datagrams ends its wait
  // at once, as the library's own queries have it over IPv4: a connected
  // socket alone would take a host unreachable (a cut link) as passing.
  int report_all = 1;
  if (attempt->fd >= 0) {
    bool ipv6 = port_mapper.ss_family == AF_INET6;
    setsockopt(attempt->fd, ipv6 ? IPPROTO_IPV6 : IPPROTO_IP, ipv6 ? IPV6_RECVERR : IP_RECVERR,
               &report_all, sizeof report_all);
  }
  if (attempt->fd < 0 ||
      connect(attempt->fd, reinterpret_cast<sockaddr *>(&port_mapper), attempt->length) != 0) {
    fail_query(attempt, RPC_CANTSEND, errno);
    return;
  }
  attempt->xid = next_xid();
  attempt->retry_ms = kFirstRetryMs;
  attempt->resend_ms = now + kFirstRetryMs;
  send_query(attempt);
}

// The port of the date program's TCP transport in a universal address
// ("x:y::z.p1.p2"); 0 if it cannot be read.
uint16_t port_of_universal_address(const char *address) {
  const char *low = strrchr(address, '.');
  if (low == nullptr || low == address) {
    return 0;
  }
  const char *high = low - 1;
  while (high > address && *high != '.') {
    --high;
  }
  if (*high != '.') {
    return 0;
  }
  long high_byte = strtol(high + 1, nullptr, 10);
  long low_byte = strtol(low + 1, nullptr, 10);
  if (high_byte < 0 || high_byte > 255 || low_byte < 0 || low_byte > 255) {
    return 0;
  }
  return static_cast<uint16_t>(high_byte << 8 | low_byte);
}

// The port of the tcp6 entry in the port mapper's list; 0 if it has none.
int tcp6_port(rpcb_entry_list_ptr entries) {
  for (rpcb_entry_list_ptr entry = entries; entry != nullptr; entry = entry->rpcb_entry_next) {
    const rpcb_entry &map = entry->rpcb_entry_map;
    if (map.r_nc_netid != nullptr && strcmp(map.r_nc_netid, "tcp6") == 0 &&
        map.r_maddr != nullptr) {
      int port = port_of_universal_address(map.r_maddr);
      if (port != 0) {
        return port;
      }
    }
  }
  return 0;
}

// A connection to a closed port of this host can be made by the socket to
// itself, when the kernel happens to give it that port as its own (TCP's
// simultaneous open): the call would then wait for its own echo.
bool connected_to_itself(int fd) {
  struct sockaddr_storage local {};
  struct sockaddr_storage peer {};
  socklen_t local_length = sizeof local;
  socklen_t peer_length = sizeof peer;
  return getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_length) == 0 &&
         getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_length) == 0 &&
         local_length == peer_length && memcmp(&local, &peer, local_length) == 0;
}

// Once connected, the socket goes to the library in blocking mode.
void finish_connection(Attempt *attempt, int error) {
  if (error == 0 && connected_to_itself(attempt->fd)) {
    error = ECONNREFUSED;
  }
  if (error == 0 && fcntl(attempt->fd, F_SETFL, fcntl(attempt->fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error != 0) {
    fail_connection(attempt, error);
    return;
  }
  attempt->stage = Stage::kConnected;
}

// A TCP connection to `port` at the attempt's address, made without
// blocking: the wait for it is the race's (the kernel alone would try for
// minutes).
void start_connection(Attempt *attempt, uint16_t port) {
  close(attempt->fd);
  attempt->stage = Stage::kConnecting;
  set_port(&attempt->address, port);
  attempt->fd = socket(attempt->address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (attempt->fd < 0) {
    fail_connection(attempt, errno);
    return;
  }
  if (connect(attempt->fd, reinterpret_cast<const sockaddr *>(&attempt->address),
              attempt->length) == 0) {
    finish_connection(attempt, 0);
  } else if (errno != EINPROGRESS) {
    fail_connection(attempt, errno);
  }
}

// The connection in progress is made or refused.
void connection_ready(Attempt *attempt) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(attempt->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
    error = errno;
  }
  finish_connection(attempt, error);
}

// An enum field as the library decodes it: whatever integer came, which,
// outside the enum's values, may not be read as the enum itself.
template <typename Enum>
int decoded_value(const Enum &field) {
  static_assert(sizeof field == sizeof(int), "XDR enums are ints");
  int value = 0;
  memcpy(&value, &field, sizeof value);
  return value;
}

// A datagram has come for the query, or an error (ICMP's port or host
// unreachable) for its socket. Whatever does not answer this query (too
// short, another xid) is passed over, and the wait goes on; an answer is
// judged as the library judges its calls' replies.
void reply_ready(Attempt *attempt) {
  char reply[UDPMSGSIZE];
  ssize_t got = recv(attempt->fd, reply, sizeof reply, 0);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      fail_query(attempt, RPC_CANTRECV, errno);
    }
    return;
  }
  uint32_t xid = 0;
  if (got >= 4) {
    memcpy(&xid, reply, sizeof xid);
  }
  if (got < 4 || ntohl(xid) != attempt->xid) {
    return;
  }
  struct rpc_err error {};
  u_int port = 0;
  enum clnt_stat status;
  if (attempt->address.ss_family == AF_INET) {
    status = decode_reply(reply, static_cast<u_int>(got), as_xdrproc(xdr_u_int), &port, &error);
    port = port > 65535 ? 0 : port;
  } else {
    // A list that fails to decode halfway leaves its first entries to free.
    rpcb_entry_list_ptr entries = nullptr;
    status = decode_reply(reply, static_cast<u_int>(got), as_xdrproc(xdr_rpcb_entry_list_ptr),
                          &entries, &error);
    port = status == RPC_SUCCESS ? static_cast<u_int>(tcp6_port(entries)) : 0;
    xdr_free(as_xdrproc(xdr_rpcb_entry_list_ptr), reinterpret_cast<char *>(&entries));
  }
  if (status != RPC_SUCCESS) {
    fail_query(attempt, error.re_status, error.re_errno);
  } else if (port == 0) {
    fail(attempt, RPC_PROGNOTREGISTERED, RPC_PROGNOTREGISTERED);
  } else {
    start_connection(attempt, static_cast<uint16_t>(port));
  }
}

// The attempt's wait has ended at the time limit.
void time_out(Attempt *attempt) {
  if (attempt->stage == Stage::kAsking) {
    fail_query(attempt, RPC_TIMEDOUT, 0);
  } else {
    fail_connection(attempt, ETIMEDOUT);
  }
}

bool running(const Attempt &attempt) {
  return attempt.stage == Stage::kAsking || attempt.stage == Stage::kConnecting;
}

// Races the attempts, in their order, as RFC 8305 races connections: each
// starts kAttemptDelayMs after the one before it, or as soon as every
// attempt started before it has failed, and all of them share one time
// limit. The index of the first to connect, the others closed; -1 if none
// does by `deadline` (of now_ms).
int race(std::vector<Attempt> &attempts, const int64_t deadline) {
  int64_t now = now_ms();
  size_t started = 0;
  int64_t next_start = now;
  std::vector<struct pollfd> entries;
  std::vector<size_t> owners;
  for (;;) {
    bool any_running = std::any_of(attempts.begin(), attempts.end(), running);
    if (started < attempts.size() && (now >= next_start || !any_running)) {
      start_query(&attempts[started++], now);
      next_start = now + kAttemptDelayMs;
      continue;
    }
    if (!any_running) {
      return -1;
    }
    if (now >= deadline) {
      for (Attempt &attempt : attempts) {
        if (running(attempt)) {
          time_out(&attempt);
        }
      }
      return -1;
    }
    int64_t wake = deadline;
    if (started < attempts.size()) {
      wake = std::min(wake, next_start);
    }
    entries.clear();
    owners.clear();
    for (size_t index = 0; index < started; ++index) {
      const Attempt &attempt = attempts[index];
      if (running(attempt)) {
        bool asking = attempt.stage == Stage::kAsking;
        entries.push_back({attempt.fd, static_cast<short>(asking ? POLLIN : POLLOUT), 0});
        owners.push_back(index);
        if (asking) {
          wake = std::min(wake, attempt.resend_ms);
        }
      }
    }
    int ready =
        poll(entries.data(), entries.size(), static_cast<int>(std::max<int64_t>(wake - now, 0)));
    if (ready < 0 && errno != EINTR) {
      int error = errno;
      for (size_t owner : owners) {
        if (attempts[owner].stage == Stage::kAsking) {
          fail_query(&attempts[owner], RPC_CANTRECV, error);
        } else {
          fail_connection(&attempts[owner], error);
        }
      }
    }
    for (size_t entry = 0; ready > 0 && entry < entries.size(); ++entry) {
      Attempt &attempt = attempts[owners[entry]];
      if (entries[entry].revents == 0) {
        continue;
      }
      if (attempt.stage == Stage::kAsking) {
        reply_ready(&attempt);
      } else {
        connection_ready(&attempt);
      }
      if (attempt.stage == Stage::kConnected) {
        for (Attempt &other : attempts) {
          if (running(other)) {
            close(other.fd);
          }
        }
        return static_cast<int>(owners[entry]);
      }
    }
    now = now_ms();
    for (size_t index = 0; index < started; ++index) {
      Attempt &attempt = attempts[index];
      if (attempt.stage == Stage::kAsking && now >= attempt.resend_ms) {
        attempt.retry_ms *= 2;
        attempt.resend_ms = now + attempt.retry_ms;
        send_query(&attempt);
      }
    }
  }
}

// The host's addresses in the order RFC 8305 tries them: the families
// taking turns, starting with that of the resolver's first address, each
// family's addresses in the resolver's order.
std::vector<Attempt> attempts_for(const addrinfo *found) {
  std::vector<Attempt> first_family;
  std::vector<Attempt> other_family;
  for (const addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) {
      continue;
    }
    Attempt attempt{};
    const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(entry->ai_addr);
    if (entry->ai_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&ipv6->sin6_addr)) {
      // An IPv4 address in IPv6 form (::ffff:a.b.c.d) is reached over
      // IPv4, where the port mapper lists no tcp6 entry: it is tried as the
      // IPv4 address it is.
      auto *ipv4 = reinterpret_cast<sockaddr_in *>(&attempt.address);
      ipv4->sin_family = AF_INET;
      memcpy(&ipv4->sin_addr, &ipv6->sin6_addr.s6_addr[12], sizeof ipv4->sin_addr);
      attempt.length = sizeof *ipv4;
    } else {
      memcpy(&attempt.address, entry->ai_addr, entry->ai_addrlen);
      attempt.length = entry->ai_addrlen;
    }
    attempt.stage = Stage::kWaiting;
    attempt.fd = -1;
    bool first =
        first_family.empty() || first_family[0].address.ss_family == attempt.address.ss_family;
    (first ? first_family : other_family).push_back(attempt);
  }
  std::vector<Attempt> attempts;
  for (size_t index = 0; index < std::max(first_family.size(), other_family.size()); ++index) {
    for (const std::vector<Attempt> *family : {&first_family, &other_family}) {
      if (index < family->size()) {
        attempts.push_back((*family)[index]);
      }
    }
  }
  return attempts;
}

// Look-ups by name are made on the caller's thread and watched by a thread
// of ours, started at the first one and kept for the next: a resolver whose
// name servers never answer waits out every try of every one of them (5 s
// each by default: tens of seconds in all), and nothing can cut a look-up
// short. So once the handle's time limit has passed with the look-up still
// under way, the watch reports the host as not found and ends the process
// with status 1, as the client ends at any failure. A thread that made the
// look-ups itself would cost every pass two wake-ups and a wait, more than
// the look-up of a name in /etc/hosts itself; the watch is woken only when
// it waits for no deadline, and wakes by itself about once per time limit.
pthread_mutex_t lookup_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t lookup_changed;
bool lookup_watch_started = false;
const char *lookup_host = nullptr;  // while a look-up by name is under way
int64_t lookup_deadline = 0;      // of the latest look-up (now_ms)
bool watch_has_deadline = false;  // the watch waits for some deadline

void *watch_lookups(void * /*unused*/) {
  pthread_mutex_lock(&lookup_lock);
  for (;;) {
    bool passed = now_ms() >= lookup_deadline;
    if (passed && lookup_host != nullptr) {
      rpc_createerr.cf_stat = RPC_UNKNOWNHOST;
      clnt_pcreateerror(lookup_host);
      _exit(1);
    }
    if (passed) {
      watch_has_deadline = false;
      pthread_cond_wait(&lookup_changed, &lookup_lock);
      continue;
    }
    // The watch waits for the deadline of the latest look-up, ended or
    // not: a later look-up only moves it on, and waking at the earlier one
    // the watch finds the later one and waits again.
    watch_has_deadline = true;
    struct timespec until = {static_cast<time_t>(lookup_deadline / 1000),
                             static_cast<long>(lookup_deadline % 1000 * 1000000)};
    pthread_cond_timedwait(&lookup_changed, &lookup_lock, &until);
  }
  return nullptr;
}

// The host's addresses, both families, as getaddrinfo gives them, by
// `deadline` (of now_ms): 0 with the list in *found (the caller frees it),
// or the resolver's error.
int resolve(const char *host, int64_t deadline, struct addrinfo **found) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // An address is read at once, with no name server asked and no watch.
  hints.ai_flags = AI_NUMERICHOST;
  int status = getaddrinfo(host, nullptr, &hints, found);
  if (status != EAI_NONAME) {
    return status;
  }
  pthread_mutex_lock(&lookup_lock);
  if (!lookup_watch_started) {
    lookup_watch_started = start_thread_with_deadlines(&lookup_changed, watch_lookups) == 0;
  }
  if (!lookup_watch_started) {
    pthread_mutex_unlock(&lookup_lock);
    return EAI_SYSTEM;
  }
  lookup_host = host;
  lookup_deadline = deadline;
  if (!watch_has_deadline) {
    watch_has_deadline = true;
    pthread_cond_signal(&lookup_changed);
  }
  pthread_mutex_unlock(&lookup_lock);
  hints.ai_flags = 0;
  status = getaddrinfo(host, nullptr, &hints, found);
  pthread_mutex_lock(&lookup_lock);
  lookup_host = nullptr;
  pthread_mutex_unlock(&lookup_lock);
  return status;
}

}  // namespace

int start_thread_with_deadlines(pthread_cond_t *changed, void *(*run)(void *)) {
  pthread_condattr_t monotonic;
  int error = pthread_condattr_init(&monotonic);
  if (error != 0) {
    return error;
  }
  error = pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
  if (error == 0) {
    error = pthread_cond_init(changed, &monotonic);
  }
  pthread_condattr_destroy(&monotonic);
  if (error != 0) {
    return error;
  }
  pthread_attr_t attributes;
  pthread_t thread;
  error = pthread_attr_init(&attributes);
  if (error == 0) {
    error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (error == 0) {
      error = pthread_create(&thread, &attributes, run, nullptr);
    }
    pthread_attr_destroy(&attributes);
  }
  if (error != 0) {
    pthread_cond_destroy(changed);
  }
  return error;
}

u_int encode_call(char *message, u_int size, uint32_t xid, rpcprog_t program, rpcvers_t version,
                  rpcproc_t procedure, xdrproc_t encode_arguments, void *arguments,
                  const struct opaque_auth &credential, const struct opaque_auth &verifier) {
  XDR xdrs;
  xdrmem_create(&xdrs, message, size, XDR_ENCODE);
  struct rpc_msg call {};
  call.rm_xid = xid;
  call.rm_direction = CALL;
  call.rm_call.cb_rpcvers = RPC_MSG_VERSION;
  call.rm_call.cb_prog = program;
  call.rm_call.cb_vers = version;
  call.rm_call.cb_proc = procedure;
  call.rm_call.cb_cred = credential;
  call.rm_call.cb_verf = verifier;
  if (!xdr_callmsg(&xdrs, &call) || !encode_arguments(&xdrs, arguments)) {
    return 0;
  }
  return XDR_GETPOS(&xdrs);
}

enum clnt_stat decode_reply(char *message, u_int length, xdrproc_t decode_results, void *results,
                            struct rpc_err *error) {
  XDR xdrs;
  xdrmem_create(&xdrs, message, length, XDR_DECODE);
  struct rpc_msg reply {};
  reply.acpted_rply.ar_verf = _null_auth;
  reply.acpted_rply.ar_results.where = static_cast<caddr_t>(results);
  reply.acpted_rply.ar_results.proc = decode_results;
  bool decoded = xdr_replymsg(&xdrs, &reply);
  bool accepted = decoded_value(reply.rm_reply.rp_stat) == MSG_ACCEPTED;
  *error = {};
  if (!decoded) {
    error->re_status = RPC_CANTDECODERES;
  } else if (!accepted || decoded_value(reply.acpted_rply.ar_stat) != SUCCESS) {
    _seterr_reply(&reply, error);
  }
  if (accepted) {
    xdr_free(as_xdrproc(xdr_opaque_auth), reinterpret_cast<char *>(&reply.acpted_rply.ar_verf));
  }
  return error->re_status;
}

// clnt_create would do much the same, but its cache of port mapper
// addresses frees an entry twice once the port mapper goes away, and the
// process aborts instead of reporting; as root it takes reserved ports; and
// it tries one address after another, waiting out each one's full time.
CLIENT *create_handle(const char *host) {
  // One time limit for the whole making of the handle, the name's look-up
  // included.
  const int64_t deadline = now_ms() + timeout_ms();
  struct addrinfo *found = nullptr;
  // Also the report should no address be of IPv4 or IPv6, or the look-up
  // not end in time.
  rpc_createerr.cf_stat = RPC_UNKNOWNHOST;
  rpc_createerr.cf_error = {};
  rpc_createerr.cf_error.re_status = RPC_UNKNOWNHOST;
  if (resolve(host, deadline, &found) != 0 || found == nullptr) {
    return nullptr;
  }
  std::vector<Attempt> attempts = attempts_for(found);
  freeaddrinfo(found);
  int winner = race(attempts, deadline);
  if (winner < 0) {
    for (const Attempt &attempt : attempts) {
      if (attempt.stage == Stage::kFailed) {
        rpc_createerr.cf_stat = attempt.failure;
        rpc_createerr.cf_error = attempt.cause;
      }
    }
    return nullptr;
  }
  Attempt &attempt = attempts[static_cast<size_t>(winner)];
  struct netbuf server = {attempt.length, attempt.length, &attempt.address};
  // Handed a connected socket, the library neither connects again nor
  // binds it to a reserved port; the handle closes it when destroyed.
  CLIENT *clnt = clnt_vc_create(attempt.fd, &server, DATE_PROPG, DATE_VERS, 0, 0);
  if (clnt == nullptr) {
    close(attempt.fd);
    return nullptr;
  }
  clnt_control(clnt, CLSET_FD_CLOSE, nullptr);
  return clnt;
}
