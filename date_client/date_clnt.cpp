// SPDX-License-Identifier: BSD-3-Clause
// Client stubs of the date program.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_handle.h"
#include "date.h"

const struct timeval TIMEOUT = {25, 0};

// The date text as the reply carries it: an XDR string, handed on as a
// NUL-terminated string, which can hold it whole only if no byte of it is
// NUL. A text with a NUL inside does not decode, nor does one whose count,
// 2^32 - 1, leaves no room for the terminator (the library's string filter
// would cut the first at its NUL, and leave no text for the second). The
// text is gathered as its bytes arrive, so that a count that the reply does
// not back with bytes costs no memory. Released by the library's string
// filter.
static bool_t xdr_date_text(XDR *xdrs, char **text) {
  if (xdrs->x_op != XDR_DECODE) {
    return xdr_wrapstring(xdrs, text);
  }
  u_int length = 0;
  if (!xdr_u_int(xdrs, &length) || length == UINT_MAX) {
    return FALSE;
  }
  std::string received;
  char chunk[4096];
  for (u_int left = length; left > 0;) {
    u_int count = std::min<u_int>(left, sizeof chunk);
    if (!XDR_GETBYTES(xdrs, chunk, count)) {
      return FALSE;
    }
    received.append(chunk, count);
    left -= count;
  }
  u_int padding = (4 - length % 4) % 4;
  if ((padding > 0 && !XDR_GETBYTES(xdrs, chunk, padding)) ||
      received.find('\0') != std::string::npos) {
    return FALSE;
  }
  auto *bytes = static_cast<char *>(malloc(received.size() + 1));
  if (bytes == nullptr) {
    return FALSE;
  }
  memcpy(bytes, received.c_str(), received.size() + 1);
  *text = bytes;
  return TRUE;
}

// The library reports a success without decoding anything when a record
// mark of 0 follows a fragment that it passed over, such as a reply of
// another xid (its record reader refuses the mark and leaves the call's
// status as it was). So a result counts only once its
// filter has decoded it: a stub returns none otherwise, with the handle's
// status still RPC_SUCCESS, which its caller reports as the undecodable
// reply it is.
static bool time_decoded;

static bool_t xdr_decoded_time(XDR *xdrs, long *time_value) {
  bool_t done = xdr_time_value(xdrs, time_value);
  time_decoded = done && xdrs->x_op == XDR_DECODE;
  return done;
}

long *bin_date_1(void *argp, CLIENT *clnt) {
  static long clnt_res;

  clnt_res = 0;
  time_decoded = false;
  if (clnt_call(clnt, BIN_DATE, as_xdrproc(xdr_void), static_cast<caddr_t>(argp),
                as_xdrproc(xdr_decoded_time), reinterpret_cast<caddr_t>(&clnt_res),
                TIMEOUT) != RPC_SUCCESS ||
      !time_decoded) {
    return nullptr;
  }
  return &clnt_res;
}

char **str_date_1(long *argp, CLIENT *clnt) {
  static char *clnt_res;

  clnt_res = nullptr;
  if (clnt_call(clnt, STR_DATE, as_xdrproc(xdr_time_value), reinterpret_cast<caddr_t>(argp),
                as_xdrproc(xdr_date_text), reinterpret_cast<caddr_t>(&clnt_res),
                TIMEOUT) != RPC_SUCCESS ||
      clnt_res == nullptr) {  // a decoded text is never null
    return nullptr;
  }
  return &clnt_res;
}
