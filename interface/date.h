// SPDX-License-Identifier: BSD-3-Clause
// The date service: program, version and procedure numbers, the XDR filter
// for the time value, and the routines on each side. Shared by date_server
// and date_client.
#ifndef DATE_INTERFACE_DATE_H
#define DATE_INTERFACE_DATE_H

#include <rpc/rpc.h>

#define DATE_PROPG 0x31423456UL  // 826422358, in the locally administered range
#define DATE_VERS 1UL
#define BIN_DATE 1UL  // () -> time value
#define STR_DATE 2UL  // (time value) -> date text

// The time value travels as a 4-byte XDR signed integer. This filter
// sign-extends on decode (the library's xdr_long does not on 64-bit
// hosts) and refuses to encode a value that 32 bits cannot hold, where the
// library would silently truncate it.
bool_t xdr_time_value(XDR *xdrs, long *value);

// The library's filters differ in prototype; xdrproc_t is the type that its
// operations take them as.
template <typename Filter>
inline xdrproc_t as_xdrproc(Filter filter) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(filter));
}

// Client stubs: null when the call did not succeed; the handle holds why.
long *bin_date_1(void *argp, CLIENT *clnt);
char **str_date_1(long *argp, CLIENT *clnt);

// Server routines: each returns its own static result slot, or null when it
// has answered the call with SYSTEM_ERR itself (server.cpp says when).
long *bin_date_1_svc(void *argp, struct svc_req *rqstp);
char **str_date_1_svc(long *argp, struct svc_req *rqstp);

// Dispatcher of program DATE_PROPG, version DATE_VERS.
void date_propg_1(struct svc_req *rqstp, SVCXPRT *transp);

#endif
