// SPDX-License-Identifier: BSD-3-Clause
// Client stubs of the date program.
#include <cstdlib>
#include <cstring>

#include "client_handle.h"
#include "date.h"

const struct timeval TIMEOUT = {25, 0};

// The library reports a success without decoding anything when a record
// mark of 0 follows a fragment that it passed over, such as a reply of
// another xid (its record reader refuses the mark and leaves the call's
// status as it was). So a result counts only once its filter has decoded
// it: a stub returns none otherwise, with the handle's status still
// RPC_SUCCESS, which its caller reports as the undecodable reply it is.
static bool result_decoded;

// The longest date text taken. A text rendered by ctime is 25 bytes; a
// page leaves a server room to render dates otherwise, and a count above it
// is refused before any byte of the text is stored, so that what a server
// announces or sends costs the client no more than this.
constexpr u_int kLongestDateText = 4096;

// The date text as the reply carries it: an XDR string, handed on as a
// NUL-terminated string, which can hold it whole only if no byte of it is
// NUL. A text with a NUL inside does not decode (the library's string
// filter would cut it at its NUL), nor does one longer than
// kLongestDateText. Released by the library's string filter.
static bool_t xdr_date_text(XDR *xdrs, char **text) {
  if (xdrs->x_op != XDR_DECODE) {
    return xdr_wrapstring(xdrs, text);
  }
  u_int length = 0;
  if (!xdr_u_int(xdrs, &length) || length > kLongestDateText) {
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
  result_decoded = true;
  return TRUE;
}

static bool_t xdr_decoded_time(XDR *xdrs, long *time_value) {
  bool_t done = xdr_time_value(xdrs, time_value);
  if (done && xdrs->x_op == XDR_DECODE) {
    result_decoded = true;
  }
  return done;
}

// One call of procedure through clnt: true only if the library calls it a
// success and decode_result has decoded a result.
static bool call_decoded(CLIENT *clnt, rpcproc_t procedure, xdrproc_t encode_argument,
                         caddr_t argument, xdrproc_t decode_result, caddr_t result) {
  result_decoded = false;
  return clnt_call(clnt, procedure, encode_argument, argument, decode_result, result, TIMEOUT) ==
             RPC_SUCCESS &&
         result_decoded;
}

long *bin_date_1(void *argp, CLIENT *clnt) {
  static long clnt_res;

  if (!call_decoded(clnt, BIN_DATE, as_xdrproc(xdr_void), static_cast<caddr_t>(argp),
                    as_xdrproc(xdr_decoded_time), reinterpret_cast<caddr_t>(&clnt_res))) {
    return nullptr;
  }
  return &clnt_res;
}

char **str_date_1(long *argp, CLIENT *clnt) {
  static char *clnt_res;

  clnt_res = nullptr;
  if (!call_decoded(clnt, STR_DATE, as_xdrproc(xdr_time_value), reinterpret_cast<caddr_t>(argp),
                    as_xdrproc(xdr_date_text), reinterpret_cast<caddr_t>(&clnt_res))) {
    return nullptr;
  }
  return &clnt_res;
}
