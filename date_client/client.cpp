// date_client: polls a date server once a second, forever.
#include "client.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_handle.h"
#include "date.h"
#include "termination.h"

// The text is whatever the server sent: bytes that are not printable ASCII
// (but for the one trailing newline) are shown as \xNN, so that a server
// cannot drive the terminal.
static std::string printable_text(const char *text) {
  std::string shown;
  size_t length = strlen(text);
  bool ends_in_newline = length > 0 && text[length - 1] == '\n';
  if (ends_in_newline) {
    --length;
  }
  for (size_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f) {
      shown += static_cast<char>(byte);
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  if (ends_in_newline) {
    shown += '\n';
  }
  return shown;
}

// The two calls of a pass and their lines. False on a failure, reported.
static bool show_server_time(CLIENT *clnt, const char *host) {
  long *time_value = bin_date_1(nullptr, clnt);
  if (time_value == nullptr) {
    clnt_perror(clnt, host);
    return false;
  }
  printf("Display the time on sever %s is %ld\n", host, *time_value);

  char **date_text = str_date_1(time_value, clnt);
  if (date_text == nullptr) {
    clnt_perror(clnt, host);
    return false;
  }
  // The library's string filter takes a count of 2^32 - 1 for a text it
  // decoded, and leaves no text: a reply that does not decode, reported as
  // the library reports one.
  if (*date_text == nullptr) {
    fprintf(stderr, "%s: %s\n", host, clnt_sperrno(RPC_CANTDECODERES));
    return false;
  }
  printf("Display the date on the server is %s\n", printable_text(*date_text).c_str());
  xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(date_text));
  return true;
}

void prepare_client() {
  end_on_termination_signals();
  // Output often goes to a pipe or a log and the client ends by a signal:
  // every line must be out as soon as it is printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A connection closed by the server must fail the call, not kill us.
  signal(SIGPIPE, SIG_IGN);
}

bool poll_once(const char *host, int pass) {
  CLIENT *clnt = create_handle(host);
  if (clnt == nullptr) {
    clnt_pcreateerror(host);
    return false;
  }
  bool shown = show_server_time(clnt, host);
  clnt_destroy(clnt);
  if (shown && pass % 2 != 0) {
    printf("%d is a odd number\n", pass);
    printf("This is the %dth loop\n", pass);
  }
  return shown;
}

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
int main(int argc, char *argv[]) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s hostname\n", argv[0]);
    exit(1);
  }
  prepare_client();
  for (int pass = 0; poll_once(argv[1], pass); ++pass) {
    sleep(1);
  }
  exit(1);
}
#endif
