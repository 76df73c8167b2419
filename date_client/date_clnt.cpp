// SPDX-License-Identifier: BSD-3-Clause
// Client stubs of the date program.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "client_handle.h"
#include "date.h"

const struct timeval TIMEOUT = {25, 0};

// The date text as the reply carries it: an XDR string, handed on as a
// NUL-terminated string, which can hold it whole only if no byte of it is
// NUL. A text with a NUL inside does not decode, nor does one whose count,
// 2^32 - 1, leaves no room for the terminator (the library's string filter
// would cut the first at its NUL, and leave no text for the second).
// Released by the library's string filter.
static bool_t xdr_date_text(XDR *xdrs, char **text) {
  if (xdrs->x_op != XDR_DECODE) {
    return xdr_wrapstring(xdrs, text);
  }
  u_int length = 0;
  if (!xdr_u_int(xdrs, &length) || length == UINT_MAX) {
    return FALSE;
  }
  auto *bytes = static_cast<char *>(malloc(length + 1));
  if (bytes == nullptr) {
    return FALSE;
  }
  if (!xdr_opaque(xdrs, bytes, length) || memchr(bytes, '\0', length) != nullptr) {
    free(bytes);
    return FALSE;
  }
  bytes[length] = '\0';
  *text = bytes;
  return TRUE;
}

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
                as_xdrproc(xdr_date_text), reinterpret_cast<caddr_t>(&clnt_res),
                TIMEOUT) != RPC_SUCCESS) {
    return nullptr;
  }
  return &clnt_res;
}
