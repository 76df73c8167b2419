// SPDX-License-Identifier: BSD-3-Clause
// How date_client reaches a server: the addresses of the host raced as
// Happy Eyeballs (RFC 8305) races them, each one's way being the server's
// TCP port found at that address's port mapper and a TCP connection to it,
// and a handle on the connection that is made first. Shared with
// date_bench, whose client pass must make its handle the same way.
#ifndef DATE_CLIENT_CLIENT_HANDLE_H
#define DATE_CLIENT_CLIENT_HANDLE_H

#include <rpc/rpc.h>

// The time limit of each call, and of the handle's creation as a whole:
// the look-up of the host's name, and the port mapper's answer and the
// connection for every address.
extern const struct timeval TIMEOUT;

// A handle on the connection to host that is made first, within TIMEOUT;
// null when no address gives one, with the failure of the last address
// tried in rpc_createerr (RPC_UNKNOWNHOST for a name that does not resolve
// within TIMEOUT).
CLIENT *create_handle(const char *host);

#endif
