// SPDX-License-Identifier: BSD-3-Clause
// without_ipv6 [--no-descriptor-for=dgram|stream] COMMAND [ARG...]: runs
// COMMAND as on a host whose kernel has no IPv6: socket(AF_INET6, ...) fails
// with EAFNOSUPPORT. With --no-descriptor-for, only IPv6 sockets of that
// type fail, with EMFILE, as when the process is out of descriptors at that
// socket, whatever the descriptors that came before it took. The failures
// come from the failing_calls library, preloaded into COMMAND.
//
// (A network namespace with IPv6 switched off, disable_ipv6, is another kind
// of host: there the sockets are had and bind to the unspecified address.)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char *argv[]) {
  const char *const option = "--no-descriptor-for=";
  const char *failing = "any";
  int first = 1;
  if (argc > 1 && strncmp(argv[1], option, strlen(option)) == 0) {
    failing = argv[1] + strlen(option);
    first = 2;
  }
  if (argc <= first ||
      (first == 2 && strcmp(failing, "dgram") != 0 && strcmp(failing, "stream") != 0)) {
    fprintf(stderr, "usage: %s [--no-descriptor-for=dgram|stream] command [argument...]\n",
            argv[0]);
    return 2;
  }
  std::string preload = FAILING_CALLS_LIB;
  if (const char *before = getenv("LD_PRELOAD")) {
    preload = preload + ":" + before;
  }
  // In a sanitizer build the preloaded library comes before the sanitizer's
  // runtime, which must be told to allow it.
  std::string asan_options = "verify_asan_link_order=0";
  if (const char *before = getenv("ASAN_OPTIONS")) {
    asan_options = std::string(before) + ":" + asan_options;
  }
  if (setenv("LD_PRELOAD", preload.c_str(), 1) != 0 ||
      setenv("ASAN_OPTIONS", asan_options.c_str(), 1) != 0 ||
      setenv("DATE_NO_IPV6", failing, 1) != 0) {
    perror("without_ipv6: setenv");
    return 2;
  }
  execv(argv[first], argv + first);
  perror("without_ipv6: exec");
  return 127;
}
