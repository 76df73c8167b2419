// SPDX-License-Identifier: BSD-3-Clause
// Preloaded into date_server by tests: makes system calls fail as they do
// when the system runs short, while a file that the test controls exists.
//   DATE_FAIL_ACCEPT=PATH     accept fails with ENFILE (the system's file table full)
//   DATE_FAIL_EPOLL_ADD=PATH  epoll_ctl(EPOLL_CTL_ADD) fails with ENOSPC
//                             (the user's max_user_watches reached)
#include <dlfcn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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
