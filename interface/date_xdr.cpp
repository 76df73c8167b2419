// SPDX-License-Identifier: BSD-3-Clause
#include <cstdint>

#include "date.h"

bool_t xdr_time_value(XDR *xdrs, long *value) {
  int32_t wire = 0;
  switch (xdrs->x_op) {
    case XDR_ENCODE:
      if (*value < INT32_MIN || *value > INT32_MAX) {
        return FALSE;
      }
      wire = static_cast<int32_t>(*value);
      return xdr_int32_t(xdrs, &wire);
    case XDR_DECODE:
      if (!xdr_int32_t(xdrs, &wire)) {
        return FALSE;
      }
      *value = wire;
      return TRUE;
    case XDR_FREE:
      return TRUE;
  }
  return FALSE;
}
