// The date procedures. Each prints its activity line and flushes it before
// returning, so the line is out before the reply is sent and survives a kill.
#include <cstdio>
#include <ctime>

#include "date.h"
#include "server_output.h"

long *bin_date_1_svc(void * /*argp*/, struct svc_req * /*rqstp*/) {
  static long result;

  result = time(nullptr);
  fprintf(server_output, "Time on the server is %ld\n", result);
  fflush(server_output);
  return &result;
}

char **str_date_1_svc(long *argp, struct svc_req * /*rqstp*/) {
  static char *result;

  time_t when = *argp;
  result = ctime(&when);
  fprintf(server_output, "Date on the server is %s\n", result);
  fflush(server_output);
  return &result;
}
