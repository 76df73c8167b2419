// SPDX-License-Identifier: BSD-3-Clause
// Client stubs of the date program.
#include "client_handle.h"
#include "date.h"

const struct timeval TIMEOUT = {25, 0};

long *bin_date_1(void *argp, CLIENT *clnt) {
  static long clnt_res;

  clnt_res = 0;
  if (clnt_call(clnt, BIN_DATE, as_xdrproc(xdr_void), static_cast<caddr_t>(argp),
                as_xdrproc(xdr_time_value), reinterpret_cast<caddr_t>(&clnt_res),
                TIMEOUT) != RPC_SUCCESS) {
    return nullptr;
  }
  return &clnt_res;
}

char **str_date_1(long *argp, CLIENT *clnt) {
  static char *clnt_res;

  clnt_res = nullptr;
  if (clnt_call(clnt, STR_DATE, as_xdrproc(xdr_time_value), reinterpret_cast<caddr_t>(argp),
                as_xdrproc(xdr_wrapstring), reinterpret_cast<caddr_t>(&clnt_res),
                TIMEOUT) != RPC_SUCCESS) {
    return nullptr;
  }
  return &clnt_res;
}
