// SPDX-License-Identifier: BSD-3-Clause
// Preloaded into date_server by tests: makes system calls fail as they do
// when the system runs short, while a file that the test controls exists.
//   DATE_FAIL_ACCEPT=PATH     accept fails with ENFILE (the system's file table full)
//   DATE_FAIL_EPOLL_ADD=PATH  epoll_ctl(EPOLL_CTL_ADD) fails with ENOSPC
//                             (the user's max_user_watches reached)
// Or answers as a host of another kind would, for as long as it runs:
//   DATE_NO_IPV6=any          socket(AF_INET6, ...) fails with EAFNOSUPPORT,
//                             as in a kernel without IPv6
//   DATE_NO_IPV6=dgram|stream IPv6 sockets of that type fail with EMFILE, as
//                             when the process is out of descriptors there
//   DATE_CLOCK=SECONDS        time() tells that time; where time_t cannot
//                             hold it, it fails with EOVERFLOW as the C
//                             library's does
//   DATE_CLOCK=unreadable     time() fails with EOVERFLOW
// These go by the C library's entry points, not by system call numbers, so
// they hold on every architecture, also under an emulator.
#include <dlfcn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool failing(const char *variable) {
  const char *path = getenv(variable);
  return path != nullptr && access(path, F_OK) == 0;
}

template <typename Function>
Function next(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int accept(int fd, sockaddr *address, socklen_t *length) {
  static auto real = next<int (*)(int, sockaddr *, socklen_t *)>("accept");
  if (failing("DATE_FAIL_ACCEPT")) {
    errno = ENFILE;
    return -1;
  }
  return real(fd, address, length);
}

extern "C" int epoll_ctl(int epfd, int op, int fd, epoll_event *event) {
  static auto real = next<int (*)(int, int, int, epoll_event *)>("epoll_ctl");
  if (op == EPOLL_CTL_ADD && failing("DATE_FAIL_EPOLL_ADD")) {
    errno = ENOSPC;
    return -1;
  }
  return real(epfd, op, fd, event);
}

extern "C" int socket(int domain, int type, int protocol) {
  static auto real = next<int (*)(int, int, int)>("socket");
  const char *no_ipv6 = getenv("DATE_NO_IPV6");
  if (domain == AF_INET6 && no_ipv6 != nullptr) {
    // The type may carry SOCK_NONBLOCK and SOCK_CLOEXEC: its low four bits
    // are the type.
    int kind = type & 0xf;
    if (strcmp(no_ipv6, "any") == 0) {
      errno = EAFNOSUPPORT;
      return -1;
    }
    if ((strcmp(no_ipv6, "dgram") == 0 && kind == SOCK_DGRAM) ||
        (strcmp(no_ipv6, "stream") == 0 && kind == SOCK_STREAM)) {
      errno = EMFILE;
      return -1;
    }
  }
  return real(domain, type, protocol);
}

// The clock: time() and, for programs built with a 64-bit time_t where
// the C library's own is 32 bits, __time64(). Both are given by their
// symbols, whatever <time.h> would make of the name time.
template <typename Seconds>
static Seconds fake_clock(Seconds *stored, Seconds (*real)(Seconds *)) {
  const char *clock = getenv("DATE_CLOCK");
  if (clock == nullptr) {
    return real(stored);
  }
  int saved_errno = errno;
  char *end = nullptr;
  errno = 0;
  long long seconds = strtoll(clock, &end, 10);
  if (strcmp(clock, "unreadable") == 0 || end == clock || *end != '\0' || errno != 0 ||
      static_cast<Seconds>(seconds) != seconds) {
    errno = EOVERFLOW;
    return -1;
  }
  errno = saved_errno;
  if (stored != nullptr) {
    *stored = static_cast<Seconds>(seconds);
  }
  return static_cast<Seconds>(seconds);
}

extern "C" long date_fake_time(long *stored) __asm__("time");
extern "C" long date_fake_time(long *stored) {
  static auto real = next<long (*)(long *)>("time");
  return fake_clock(stored, real);
}

extern "C" int64_t date_fake_time64(int64_t *stored) __asm__("__time64");
extern "C" int64_t date_fake_time64(int64_t *stored) {
  static auto real = next<int64_t (*)(int64_t *)>("__time64");
  return fake_clock(stored, real);
}
