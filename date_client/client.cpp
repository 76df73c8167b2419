// date_client: polls a date server once a second, forever.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "date.h"

// A TCP handle for the date program on host, found through the host's port
// mapper. clnt_create would do the same, but its cache of port mapper
// addresses frees an entry twice once the port mapper goes away, and the
// process aborts instead of reporting. clnttcp_create with port 0 asks the
// port mapper itself (portmap version 2) and keeps no such cache.
static CLIENT *create_handle(const char *host) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    rpc_createerr.cf_stat = RPC_UNKNOWNHOST;
    return nullptr;
  }
  struct sockaddr_in address {};
  memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_port = 0;
  int sock = RPC_ANYSOCK;
  return clnttcp_create(&address, DATE_PROPG, DATE_VERS, &sock, 0, 0);
}

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
