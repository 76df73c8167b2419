// SPDX-License-Identifier: BSD-3-Clause
// The date procedures. Each writes its activity line through (print_line)
// before returning, so the line is out before the reply is sent and
// survives a kill; a call with no line gets no result.
#include <stdio_ext.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "date.h"
#include "server_output.h"

// Writes one activity line through to the output. False when it could not
// be written (a full disk, a reader gone): what stdio still holds of it is
// dropped, so that it cannot come out later among the lines of later calls.
// The first failure after a success is reported on standard error, once,
// not once per call.
__attribute__((format(printf, 1, 2))) static bool print_line(const char *format, ...) {
  static bool failing = false;
  va_list arguments;
  va_start(arguments, format);
  bool written = vfprintf(server_output, format, arguments) >= 0;
  va_end(arguments);
  written = fflush(server_output) == 0 && written && !ferror(server_output);
  if (written) {
    failing = false;
    return true;
  }
  int error = errno;
  __fpurge(server_output);
  clearerr(server_output);
  if (!failing) {
    fprintf(stderr, "cannot write activity lines: %s\n", strerror(error));
    failing = true;
  }
  return false;
}

// A call that cannot be answered with its result gets SYSTEM_ERR, sent
// here, and the routine returns null so that the dispatcher sends nothing
// more: a time that the reply cannot carry, a time that has no date text,
// or a line that could not be written (nothing printed for an answered call
// may be missing from the output, and no answer may go out without its
// line).
static void refuse(struct svc_req *rqstp) {
  if (rqstp != nullptr) {
    svcerr_systemerr(rqstp->rq_xprt);
  }
}

// The clock is checked here, while its time_t is at hand: in a 32-bit long
// any time_t past 2038 would be cut short, and a 32-bit time() reports that
// it cannot tell the time as -1 with EOVERFLOW, which a long holds as a
// time of 1969. Only a time that the 4 bytes on the wire carry is one; for
// any other no line is printed.
long *bin_date_1_svc(void * /*argp*/, struct svc_req *rqstp) {
  static long result;

  errno = 0;
  time_t now = time(nullptr);
  bool sendable = !(now == -1 && errno != 0) && now >= INT32_MIN && now <= INT32_MAX;
  if (!sendable || !print_line("Time on the server is %ld\n", static_cast<long>(now))) {
    refuse(rqstp);
    return nullptr;
  }
  result = static_cast<long>(now);
  return &result;
}

// Writes value in decimal, zero-padded to at least `width` digits, at out;
// returns the end.
static char *put_decimal(char *out, unsigned long long value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 || count < width);
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

// ctime's text of `when`, byte for byte: "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n"
// of the weekday, month, day, time and year in the local time zone, with the
// English names whatever the locale. Null where ctime gives null (a year
// that does not fit an int): never for a time that 4 bytes carry, whatever
// the width of time_t, but a long of 64 bits holds times far past that.
//
// With TZ unset, ctime has the C library look at /etc/localtime on every
// call (a stat, a read when it changed). Here the zone is looked at once a
// second, when the clock has moved on, so that a change of the system's time
// zone still shows within a second; the conversion in between uses what was
// read.
static char *date_text(time_t when) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static time_t zone_read_at = -1;
  // "Www Mmm dd hh:mm:ss " and a year of up to 11 characters, "\n", NUL.
  static char text[20 + 11 + 2];

  // A clock that cannot be read (-1) tells nothing of a second gone by.
  time_t now = time(nullptr);
  if (now != zone_read_at || now == -1) {
    tzset();
    zone_read_at = now;
  }
  struct tm fields;
  if (localtime_r(&when, &fields) == nullptr || fields.tm_year > INT_MAX - 1900) {
    return nullptr;
  }
  char *out = text;
  memcpy(out, kDays[fields.tm_wday], 3);
  out[3] = ' ';
  memcpy(out + 4, kMonths[fields.tm_mon], 3);
  out[7] = ' ';
  out[8] = fields.tm_mday < 10 ? ' ' : static_cast<char>('0' + fields.tm_mday / 10);
  out[9] = static_cast<char>('0' + fields.tm_mday % 10);
  out[10] = ' ';
  put_decimal(out + 11, static_cast<unsigned>(fields.tm_hour), 2);
  out[13] = ':';
  put_decimal(out + 14, static_cast<unsigned>(fields.tm_min), 2);
  out[16] = ':';
  put_decimal(out + 17, static_cast<unsigned>(fields.tm_sec), 2);
  out[19] = ' ';
  out += 20;
  long long year = 1900LL + fields.tm_year;
  if (year < 0) {
    *out++ = '-';
  }
  out = put_decimal(out, static_cast<unsigned long long>(year < 0 ? -year : year), 1);
  out[0] = '\n';
  out[1] = '\0';
  return text;
}

char **str_date_1_svc(long *argp, struct svc_req *rqstp) {
  static char *result;

  char *text = date_text(*argp);
  if (text == nullptr || !print_line("Date on the server is %s\n", text)) {
    refuse(rqstp);
    return nullptr;
  }
  result = text;
  return &result;
}
