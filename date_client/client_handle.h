// How date_client reaches a server: the host resolved to an IPv4 address and
// a TCP handle for the date program found through that host's port mapper.
// Shared with date_bench, whose client pass must make its handle the same way.
#ifndef DATE_CLIENT_CLIENT_HANDLE_H
#define DATE_CLIENT_CLIENT_HANDLE_H

#include <netinet/in.h>
#include <rpc/rpc.h>

// The first IPv4 address of host, port 0; false if it has none.
bool resolve_host(const char *host, struct sockaddr_in *address);

// Null on failure, with the reason in rpc_createerr.
CLIENT *create_handle(const char *host);

#endif
