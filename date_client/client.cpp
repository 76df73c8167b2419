// date_client: polls a date server once a second, forever.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_handle.h"
#include "date.h"

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

int main(int argc, char *argv[]) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s hostname\n", argv[0]);
    exit(1);
  }
  const char *host = argv[1];

  // Output often goes to a pipe or a log and the client ends by a signal:
  // every line must be out as soon as it is printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A connection closed by the server must fail the call, not kill us.
  signal(SIGPIPE, SIG_IGN);

  for (int pass = 0;; ++pass) {
    CLIENT *clnt = create_handle(host);
    if (clnt == nullptr) {
      clnt_pcreateerror(host);
      exit(1);
    }

    long *time_value = bin_date_1(nullptr, clnt);
    if (time_value == nullptr) {
      clnt_perror(clnt, host);
      exit(1);
    }
    printf("Display the time on sever %s is %ld\n", host, *time_value);

    char **date_text = str_date_1(time_value, clnt);
    if (date_text == nullptr) {
      clnt_perror(clnt, host);
      exit(1);
    }
    printf("Display the date on the server is %s\n", printable_text(*date_text).c_str());
    xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(date_text));

    clnt_destroy(clnt);

    if (pass % 2 != 0) {
      printf("%d is a odd number\n", pass);
      printf("This is the %dth loop\n", pass);
    }
    sleep(1);
  }
}
