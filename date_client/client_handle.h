// How date_client reaches a server: every address of the host in turn, the
// server's TCP port found at that address's port mapper, a TCP connection,
// and a handle on it. Shared with date_bench, whose client pass must make its
// handle the same way.
#ifndef DATE_CLIENT_CLIENT_HANDLE_H
#define DATE_CLIENT_CLIENT_HANDLE_H

#include <rpc/rpc.h>

// The time limit of each call, and of each wait of the handle's creation
// for one address: the port mapper's answer, and the connection.
extern const struct timeval TIMEOUT;

// A handle on the first address of host that gives one; null when none
// does, with the last address's failure in rpc_createerr.
CLIENT *create_handle(const char *host);

#endif
