#include "client_handle.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_prot.h>
#include <rpc/rpcb_prot.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "date.h"

namespace {

// The port mapper's answer to one query over UDP is waited for this long
// before the query is sent again; the library doubles the wait after each
// try (1, 2, 4, 8 s), and the whole query gives up after TIMEOUT.
const struct timeval kPortMapperRetry = {1, 0};
constexpr uint16_t kPortMapperPort = 111;

int timeout_ms() { return static_cast<int>(TIMEOUT.tv_sec * 1000 + TIMEOUT.tv_usec / 1000); }

void set_port(struct sockaddr_storage *address, uint16_t port) {
  if (address->ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6 *>(address)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in *>(address)->sin_port = htons(port);
  }
}

void set_create_error(enum clnt_stat status, int error) {
  rpc_createerr.cf_stat = status;
  rpc_createerr.cf_error = {};
  rpc_createerr.cf_error.re_status = status == RPC_PMAPFAILURE ? RPC_CANTSEND : status;
  rpc_createerr.cf_error.re_errno = error;
}

// A handle of the library's on a connected socket of the client's own,
// which the handle closes when it is destroyed. Handed a connected socket,
// the library neither connects again nor binds it to a reserved port. Null
// on failure, the socket closed.
CLIENT *handle_on_socket(int fd, struct sockaddr_storage *address, socklen_t length,
                         rpcprog_t program, rpcvers_t version, bool datagram) {
  struct netbuf server = {length, length, address};
  CLIENT *clnt = datagram ? clnt_dg_create(fd, &server, program, version, 0, 0)
                          : clnt_vc_create(fd, &server, program, version, 0, 0);
  if (clnt == nullptr) {
    close(fd);
    return nullptr;
  }
  clnt_control(clnt, CLSET_FD_CLOSE, nullptr);
  return clnt;
}

// One call of the port mapper at `address` (its port is set here), over a
// UDP socket of the client's own: connected first, so that it has an
// ordinary port (the library's own queries take a reserved one as root) and
// a closed port 111 is reported at once rather than after the full time.
// False on failure, with RPC_PMAPFAILURE and the call's error in
// rpc_createerr.
bool ask_port_mapper(struct sockaddr_storage address, socklen_t length, rpcvers_t version,
                     rpcproc_t procedure, xdrproc_t xdr_arguments, void *arguments,
                     xdrproc_t xdr_result, void *result) {
  set_port(&address, kPortMapperPort);
  int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    set_create_error(RPC_PMAPFAILURE, errno);
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  CLIENT *clnt = handle_on_socket(fd, &address, length, PMAPPROG, version, true);
  if (clnt == nullptr) {
    return false;
  }
  struct timeval retry = kPortMapperRetry;
  clnt_control(clnt, CLSET_RETRY_TIMEOUT, reinterpret_cast<char *>(&retry));
  enum clnt_stat status = clnt_call(clnt, procedure, xdr_arguments, static_cast<caddr_t>(arguments),
                                    xdr_result, static_cast<caddr_t>(result), TIMEOUT);
  if (status != RPC_SUCCESS) {
    rpc_createerr.cf_stat = RPC_PMAPFAILURE;
    clnt_geterr(clnt, &rpc_createerr.cf_error);
    // A reply that failed to decode halfway leaves what it had decoded (of
    // a list of addresses, the first entries) for the caller to release.
    xdr_free(xdr_result, static_cast<char *>(result));
  }
  clnt_destroy(clnt);
  return status == RPC_SUCCESS;
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

// The server's TCP port at `address`'s port mapper: portmap version 2 for
// IPv4; for IPv6 rpcbind version 4, whose GETADDR would answer for the
// netid the query came in on (udp6), so the whole list is asked for and the
// tcp6 entry taken. 0 on failure, with the reason in rpc_createerr.
uint16_t look_up_port(const struct sockaddr_storage &address, socklen_t length) {
  if (address.ss_family == AF_INET) {
    struct pmap wanted = {DATE_PROPG, DATE_VERS, IPPROTO_TCP, 0};
    u_int port = 0;
    if (!ask_port_mapper(address, length, PMAPVERS, PMAPPROC_GETPORT, as_xdrproc(xdr_pmap), &wanted,
                         as_xdrproc(xdr_u_int), &port)) {
      return 0;
    }
    if (port == 0 || port > 65535) {
      set_create_error(RPC_PROGNOTREGISTERED, 0);
      return 0;
    }
    return static_cast<uint16_t>(port);
  }
  char netid[] = "tcp6";
  char empty[] = "";
  RPCB wanted = {DATE_PROPG, DATE_VERS, netid, empty, empty};
  rpcb_entry_list_ptr entries = nullptr;
  if (!ask_port_mapper(address, length, RPCBVERS4, RPCBPROC_GETADDRLIST, as_xdrproc(xdr_rpcb),
                       &wanted, as_xdrproc(xdr_rpcb_entry_list_ptr), &entries)) {
    return 0;
  }
  uint16_t port = 0;
  for (rpcb_entry_list_ptr entry = entries; entry != nullptr && port == 0;
       entry = entry->rpcb_entry_next) {
    const rpcb_entry &map = entry->rpcb_entry_map;
    if (map.r_nc_netid != nullptr && strcmp(map.r_nc_netid, netid) == 0 && map.r_maddr != nullptr) {
      port = port_of_universal_address(map.r_maddr);
    }
  }
  xdr_free(as_xdrproc(xdr_rpcb_entry_list_ptr), reinterpret_cast<char *>(&entries));
  if (port == 0) {
    set_create_error(RPC_PROGNOTREGISTERED, 0);
  }
  return port;
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

// A TCP connection to `address`, made without blocking and waited for at
// most TIMEOUT (the kernel alone would try for minutes), then handed to the
// library in blocking mode. -1 on failure, with RPC_SYSTEMERROR and the
// reason in rpc_createerr.
int connect_within_timeout(const struct sockaddr_storage &address, socklen_t length) {
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    set_create_error(RPC_SYSTEMERROR, errno);
    return -1;
  }
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
    error = errno;
  }
  if (error == EINPROGRESS) {
    struct pollfd entry = {fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&entry, 1, timeout_ms());
    } while (ready < 0 && errno == EINTR);
    socklen_t size = sizeof error;
    if (ready == 0) {
      error = ETIMEDOUT;
    } else if (ready < 0) {
      error = errno;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
      error = errno;
    }
  }
  if (error == 0 && connected_to_itself(fd)) {
    error = ECONNREFUSED;
  }
  if (error == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    set_create_error(RPC_SYSTEMERROR, error);
    return -1;
  }
  return fd;
}

CLIENT *handle_for_address(struct sockaddr_storage address, socklen_t length) {
  uint16_t port = look_up_port(address, length);
  if (port == 0) {
    return nullptr;
  }
  set_port(&address, port);
  int fd = connect_within_timeout(address, length);
  if (fd < 0) {
    return nullptr;
  }
  return handle_on_socket(fd, &address, length, DATE_PROPG, DATE_VERS, false);
}

}  // namespace

// clnt_create would do much the same, but its cache of port mapper
// addresses frees an entry twice once the port mapper goes away, and the
// process aborts instead of reporting; and as root it takes reserved ports.
CLIENT *create_handle(const char *host) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *found = nullptr;
  // Also the report should no address be of IPv4 or IPv6.
  set_create_error(RPC_UNKNOWNHOST, 0);
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return nullptr;
  }
  CLIENT *clnt = nullptr;
  for (const addrinfo *entry = found; entry != nullptr && clnt == nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) {
      continue;
    }
    struct sockaddr_storage address {};
    memcpy(&address, entry->ai_addr, entry->ai_addrlen);
    clnt = handle_for_address(address, entry->ai_addrlen);
  }
  freeaddrinfo(found);
  return clnt;
}
