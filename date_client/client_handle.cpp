#include "client_handle.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "date.h"

bool resolve_host(const char *host, struct sockaddr_in *address) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  memcpy(address, found->ai_addr, sizeof *address);
  freeaddrinfo(found);
  address->sin_port = 0;
  return true;
}

// clnt_create would do the same, but its cache of port mapper addresses frees
// an entry twice once the port mapper goes away, and the process aborts
// instead of reporting. clnttcp_create with port 0 asks the port mapper itself
// (portmap version 2) and keeps no such cache.
CLIENT *create_handle(const char *host) {
  struct sockaddr_in address {};
  if (!resolve_host(host, &address)) {
    rpc_createerr.cf_stat = RPC_UNKNOWNHOST;
    return nullptr;
  }
  int sock = RPC_ANYSOCK;
  return clnttcp_create(&address, DATE_PROPG, DATE_VERS, &sock, 0, 0);
}
