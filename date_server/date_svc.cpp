// SPDX-License-Identifier: BSD-3-Clause
// Entry point of date_server and the dispatcher of the date program.
#include "date_svc.h"

#include <fcntl.h>
#include <netconfig.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc_com.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "date.h"
#include "request_loop.h"
#include "server_output.h"
#include "standard_descriptors.h"
#include "termination.h"

FILE *server_output = stdout;

// The largest reply of this program, with its record mark, is 460 bytes:
// the library sends back a call's verifier, of up to 400 bytes, and a date
// text takes 32. The library's buffers of each TCP connection are this size
// (for records, kLargestRecord) rather than its default of 64 KiB each,
// which it allocates and zeroes per connection; a reply longer than the
// buffer would go out in several fragments, which a reader of single-
// fragment records would take apart. (It takes sizes under 100 as its
// default.)
static const u_int kLargestReply = 512;

static void *netconfig_handle;

[[noreturn]] static void fail(const char *message) {
  fputs(message, stderr);
  exit(1);
}

// The start-up's checks: each step that fails ends the server with its
// message.
static void fail_unless(bool succeeded, const char *message) {
  if (!succeeded) {
    fail(message);
  }
}

// The routines in the one shape the dispatcher calls them in: a routine
// called through a pointer of another type is undefined behaviour.
static char *call_bin_date_1_svc(char *argument, struct svc_req *rqstp) {
  return reinterpret_cast<char *>(bin_date_1_svc(argument, rqstp));
}

static char *call_str_date_1_svc(char *argument, struct svc_req *rqstp) {
  return reinterpret_cast<char *>(str_date_1_svc(reinterpret_cast<long *>(argument), rqstp));
}

void date_propg_1(struct svc_req *rqstp, SVCXPRT *transp) {
  union {
    long str_date_1_arg;
  } argument;
  xdrproc_t xdr_argument;
  xdrproc_t xdr_result;
  char *(*local)(char *, struct svc_req *);

  note_call(transp);
  switch (rqstp->rq_proc) {
    case NULLPROC:
      svc_sendreply(transp, as_xdrproc(xdr_void), nullptr);
      return;
    case BIN_DATE:
      xdr_argument = as_xdrproc(xdr_void);
      xdr_result = as_xdrproc(xdr_time_value);
      local = call_bin_date_1_svc;
      break;
    case STR_DATE:
      xdr_argument = as_xdrproc(xdr_time_value);
      xdr_result = as_xdrproc(xdr_wrapstring);
      local = call_str_date_1_svc;
      break;
    default:
      svcerr_noproc(transp);
      return;
  }
  memset(&argument, 0, sizeof argument);
  if (!svc_getargs(transp, xdr_argument, reinterpret_cast<char *>(&argument)) ||
      !decoded_within_message(transp)) {
    svcerr_decode(transp);
    return;
  }
  char *result = local(reinterpret_cast<char *>(&argument), rqstp);
  // Over TCP the library sends whatever part of a reply it encoded before
  // the result filter failed, as a success record with no result; so a
  // result that cannot be encoded is caught before anything is sent.
  if (result != nullptr &&
      (xdr_sizeof(xdr_result, result) == 0 || !svc_sendreply(transp, xdr_result, result))) {
    svcerr_systemerr(transp);
  }
  fail_unless(svc_freeargs(transp, xdr_argument, reinterpret_cast<char *>(&argument)),
              "unable to free arguments");
}

// RPCSEC_GSS (RFC 2203), credential flavour 6. This service takes only the
// null and AUTH_SYS credentials, but the library hands every call of flavour
// 6 to its GSS handler before the program sees it, and that handler, for a
// call that asks to set up a context (no token needed, no connection),
// acquires GSS credentials that the GSS library keeps: some 200 bytes of the
// server's memory per datagram, for ever. The library offers no switch to
// leave GSS out, and its built-in handler comes before any that
// svc_auth_reg adds. The library calls its handler through its own
// procedure linkage table (libtirpc 1.3.3, 1.3.6 and 1.3.7), so this
// definition, in the program, replaces it: every such call is refused as the
// library refuses a flavour it does not know (AUTH_REJECTEDCRED), over UDP
// and TCP alike, before anything is allocated. The other flavours that the
// library knows cost nothing: AUTH_SHORT is refused and AUTH_DH fails at
// once (the library is built without DES support).
enum auth_stat _svcauth_gss(struct svc_req * /*rqstp*/, struct rpc_msg * /*msg*/,
                            bool_t *no_dispatch) {
  *no_dispatch = FALSE;
  return AUTH_REJECTEDCRED;
}

// The library prints some complaints of its own on standard output
// (libtirpc 1.3.3: "bad auth_len ..." for AUTH_SYS credentials whose lengths
// do not add up), so any client could add lines to an output that holds one
// line per answer. The activity lines go to a duplicate of descriptor 1, and
// descriptor 1 itself, the library's stdout with it, to /dev/null. (Started
// with descriptor 1 closed, the lines go to /dev/null, as they would have
// gone.)
static bool separate_output() {
  int output = dup(1);
  int null_device = open("/dev/null", O_WRONLY);
  if (output < 0 || null_device < 0 || dup2(null_device, 1) < 0) {
    return false;
  }
  close(null_device);
  server_output = fdopen(output, "w");
  return server_output != nullptr;
}

// Stale registrations of every netid this server registers: pmap_unset
// clears udp and tcp only, and rpcb_unset with no netid removes nothing while
// another owner holds the IPv4 entries, so the IPv6 ones go one by one.
static void clear_registrations() {
  pmap_unset(DATE_PROPG, DATE_VERS);
  for (const char *netid : {"udp6", "tcp6"}) {
    if (netconfig *nconf = getnetconfigent(netid)) {
      rpcb_unset(DATE_PROPG, DATE_VERS, nconf);
      freenetconfigent(nconf);
    }
  }
}

// The program on an IPv6 transport (netid udp6 or tcp6), on a socket of the
// server's own: on a host without IPv6 the kernel refuses the family, and
// the server then serves IPv4 alone, saying nothing. False in that case.
static bool offer_on_ipv6(const char *netid, const char *create_failure,
                          const char *register_failure) {
  bool datagram = strcmp(netid, "udp6") == 0;
  int fd = socket(AF_INET6, datagram ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (fd < 0 && errno == EAFNOSUPPORT) {
    return false;
  }
  // Kept for the life of the process, as the transport is.
  static std::vector<netconfig *> netconfigs;
  netconfig *nconf = getnetconfigent(netid);
  netconfigs.push_back(nconf);
  // IPv4 has transports of its own: this socket takes IPv6 only.
  int ipv6_only = 1;
  fail_unless(fd >= 0 && nconf != nullptr &&
                  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &ipv6_only, sizeof ipv6_only) == 0,
              create_failure);
  // Buffer sizes as for IPv4: the library's defaults for datagrams, the
  // smaller ones of each connection for TCP.
  SVCXPRT *transp = datagram ? svc_tli_create(fd, nconf, nullptr, 0, 0)
                             : svc_tli_create(fd, nconf, nullptr, kLargestReply, kLargestRecord);
  fail_unless(transp != nullptr, create_failure);
  fail_unless(svc_reg(transp, DATE_PROPG, DATE_VERS, date_propg_1, nconf), register_failure);
  note_transport(transp, datagram ? TransportKind::kDatagram : TransportKind::kListener);
  return true;
}

void start_service() {
  // The library writes replies with plain write(): a client that leaves
  // before its reply is written must not end the server.
  signal(SIGPIPE, SIG_IGN);
  // Before any socket exists.
  fail_unless(open_standard_descriptors(O_RDWR) && separate_output(), "cannot set up output.");

  clear_registrations();

  SVCXPRT *udp_transport = svcudp_create(RPC_ANYSOCK);
  fail_unless(udp_transport != nullptr, "cannot create udp service.");
  fail_unless(svc_register(udp_transport, DATE_PROPG, DATE_VERS, date_propg_1, IPPROTO_UDP),
              "unable to register (DATE_PROPG, DATE_VERS, udp).");
  note_transport(udp_transport, TransportKind::kDatagram);

  // TCP connections in non-blocking mode with a bounded record: a record is
  // gathered without holding up the loop, a record over the bound closes
  // its connection only, and idle connections are closed when descriptors
  // run short. The bound holds for every TCP transport made after this.
  int largest_record = kLargestRecord;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &largest_record);
  SVCXPRT *tcp_transport = svctcp_create(RPC_ANYSOCK, kLargestReply, kLargestRecord);
  fail_unless(tcp_transport != nullptr, "cannot create tcp service.");
  fail_unless(svc_register(tcp_transport, DATE_PROPG, DATE_VERS, date_propg_1, IPPROTO_TCP),
              "unable to register (DATE_PROPG, DATE_VERS, tcp).");
  note_transport(tcp_transport, TransportKind::kListener);

  if (offer_on_ipv6("udp6", "cannot create udp6 service.",
                    "unable to register (DATE_PROPG, DATE_VERS, udp6).")) {
    offer_on_ipv6("tcp6", "cannot create tcp6 service.",
                  "unable to register (DATE_PROPG, DATE_VERS, tcp6).");
  }

  // The library looks up the network of every accepted connection in
  // /etc/netconfig, and opens, reads and parses the file afresh unless its
  // entries were read through a handle that is still open. One handle, read
  // through once and held while serving, keeps them parsed (and the file
  // open: one descriptor). Taken after start-up, which it leaves as it was;
  // without it the library serves as before, only slower.
  netconfig_handle = setnetconfig();
  if (netconfig_handle != nullptr) {
    while (getnetconfig(netconfig_handle) != nullptr) {
    }
  }
}

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
int main(int /*argc*/, char ** /*argv*/) {
  end_on_termination_signals();
  start_service();
  while (serve_round(-1)) {
  }
  fail("svc_run returned");
}
#endif
