// SPDX-License-Identifier: BSD-3-Clause
// How date_client reaches a server: the addresses of the host raced as
// Happy Eyeballs (RFC 8305) races them, each one's way being the server's
// TCP port found at that address's port mapper and a TCP connection to it,
// and a handle on the connection that is made first. Shared with
// date_bench, whose client pass must make its handle the same way.
#ifndef DATE_CLIENT_CLIENT_HANDLE_H
#define DATE_CLIENT_CLIENT_HANDLE_H

#include <pthread.h>
#include <rpc/rpc.h>

// The time limit of each call, and of the handle's creation as a whole:
// the look-up of the host's name, and the port mapper's answer and the
// connection for every address.
extern const struct timeval TIMEOUT;

// The call of `procedure` of (program, version) with `xid`, `credential`
// and `verifier` (none by default), its arguments encoded by
// encode_arguments, written into message: its length, 0 if it does not
// fit. For the calls made on sockets of their own (the port mapper query
// here, date_bench's simulated clients) and the fuzz targets' seed calls.
u_int encode_call(char *message, u_int size, uint32_t xid, rpcprog_t program, rpcvers_t version,
                  rpcproc_t procedure, xdrproc_t encode_arguments, void *arguments,
                  const struct opaque_auth &credential = _null_auth,
                  const struct opaque_auth &verifier = _null_auth);

// The reply in message judged as the library judges its calls' replies:
// RPC_SUCCESS with the results decoded by decode_results into results;
// RPC_CANTDECODERES if the reply or its results do not decode; else the
// failure that the reply reports. *error is filled for the library's
// reports. The caller frees what a decoding left in results.
enum clnt_stat decode_reply(char *message, u_int length, xdrproc_t decode_results, void *results,
                            struct rpc_err *error);

// A handle on the connection to host that is made first, within TIMEOUT;
// null when no address gives one, with the failure of the last address
// tried in rpc_createerr (RPC_UNKNOWNHOST for a name that does not resolve
// within TIMEOUT).
CLIENT *create_handle(const char *host);

// Makes `changed` a condition whose timed waits go by CLOCK_MONOTONIC and
// starts `run` in a detached thread that waits on it: 0, or the error (and
// `changed` is left unmade). For the client's threads that keep its
// deadlines: the look-ups by name here, the calls in date_client.
int start_thread_with_deadlines(pthread_cond_t *changed, void *(*run)(void *));

#endif
