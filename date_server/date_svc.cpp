// Entry point of date_server and the dispatcher of the date program.
#include <rpc/pmap_clnt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "date.h"
#include "server_output.h"

FILE *server_output = stdout;

static void fail(const char *message) {
  fputs(message, stderr);
  exit(1);
}

void date_propg_1(struct svc_req *rqstp, SVCXPRT *transp) {
  union {
    long str_date_1_arg;
  } argument;
  xdrproc_t xdr_argument;
  xdrproc_t xdr_result;
  char *(*local)(char *, struct svc_req *);

  switch (rqstp->rq_proc) {
    case NULLPROC:
      svc_sendreply(transp, as_xdrproc(xdr_void), nullptr);
      return;
    case BIN_DATE:
      xdr_argument = as_xdrproc(xdr_void);
      xdr_result = as_xdrproc(xdr_time_value);
      local = reinterpret_cast<char *(*)(char *, struct svc_req *)>(bin_date_1_svc);
      break;
    case STR_DATE:
      xdr_argument = as_xdrproc(xdr_time_value);
      xdr_result = as_xdrproc(xdr_wrapstring);
      local = reinterpret_cast<char *(*)(char *, struct svc_req *)>(str_date_1_svc);
      break;
    default:
      svcerr_noproc(transp);
      return;
  }
  memset(&argument, 0, sizeof argument);
  if (!svc_getargs(transp, xdr_argument, reinterpret_cast<char *>(&argument))) {
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
  if (!svc_freeargs(transp, xdr_argument, reinterpret_cast<char *>(&argument))) {
    fail("unable to free arguments");
  }
}

int main(int /*argc*/, char ** /*argv*/) {
  pmap_unset(DATE_PROPG, DATE_VERS);

  SVCXPRT *udp = svcudp_create(RPC_ANYSOCK);
  if (udp == nullptr) {
    fail("cannot create udp service.");
  }
  if (!svc_register(udp, DATE_PROPG, DATE_VERS, date_propg_1, IPPROTO_UDP)) {
    fail("unable to register (DATE_PROPG, DATE_VERS, udp).");
  }

  SVCXPRT *tcp = svctcp_create(RPC_ANYSOCK, 0, 0);
  if (tcp == nullptr) {
    fail("cannot create tcp service.");
  }
  if (!svc_register(tcp, DATE_PROPG, DATE_VERS, date_propg_1, IPPROTO_TCP)) {
    fail("unable to register (DATE_PROPG, DATE_VERS, tcp).");
  }

  svc_run();
  fail("svc_run returned");
}
