// SPDX-License-Identifier: BSD-3-Clause
#include "faults.h"

#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>

extern "C" {
ssize_t __real_recv(int fd, void *buffer, size_t size, int flags);
ssize_t __real_send(int fd, const void *buffer, size_t size, int flags);
int __real_epoll_create1(int flags);
int __real_epoll_wait(int epfd, epoll_event *events, int count, int timeout);
int __real_socket(int domain, int type, int protocol);
int __real_connect(int fd, const sockaddr *address, socklen_t length);
int __real_poll(pollfd *entries, nfds_t count, int timeout);
int __real_getsockopt(int fd, int level, int name, void *value, socklen_t *length);
int __real_fcntl(int fd, int command, ...);
int __real_getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                       addrinfo **found);
}

namespace fuzz_support {
namespace {

bool planned = false;
Fault fault;
bool injected = false;
int calls_seen = 0;
thread_local bool armed = false;

// Whether `candidate` is the fault planned, armed and still to come.
bool pending(Fault candidate) { return armed && planned && !injected && fault == candidate; }

// Whether this call of the function that `candidate` names fails: it does
// once, on the `nth` call since the plan was made.
bool fails(Fault candidate, int nth = 1) {
  if (!pending(candidate)) {
    return false;
  }
  injected = ++calls_seen == nth;
  return injected;
}

int failure(int error) {
  errno = error;
  return -1;
}

}  // namespace

void plan_fault(uint8_t chooser, std::initializer_list<Fault> faults) {
  size_t place = (chooser >> 1) & 0x0f;
  planned = place >= 1 && place <= faults.size();
  if (planned) {
    fault = faults.begin()[place - 1];
  }
  injected = false;
  calls_seen = 0;
}

FaultsArmed::FaultsArmed() { armed = true; }
FaultsArmed::~FaultsArmed() { armed = false; }

bool fault_injected() { return injected; }

}  // namespace fuzz_support

using fuzz_support::fails;
using fuzz_support::failure;
using fuzz_support::Fault;
using fuzz_support::pending;

extern "C" {

ssize_t __wrap_recv(int fd, void *buffer, size_t size, int flags) {
  return fails(Fault::kPeekFails) || fails(Fault::kReplyUnread)
             ? failure(ENOMEM)
             : __real_recv(fd, buffer, size, flags);
}

ssize_t __wrap_send(int fd, const void *buffer, size_t size, int flags) {
  return fails(Fault::kQueryUnsent) ? failure(EPERM) : __real_send(fd, buffer, size, flags);
}

int __wrap_epoll_create1(int flags) {
  return fails(Fault::kCreateFails) ? failure(EMFILE) : __real_epoll_create1(flags);
}

int __wrap_epoll_wait(int epfd, epoll_event *events, int count, int timeout) {
  if (fails(Fault::kWaitInterrupted)) {
    return failure(EINTR);
  }
  if (fails(Fault::kWaitFails)) {
    return failure(EBADF);
  }
  return __real_epoll_wait(epfd, events, count, timeout);
}

int __wrap_socket(int domain, int type, int protocol) {
  if (fails(Fault::kFirstSocketFails) || fails(Fault::kSecondSocketFails, 2)) {
    return failure(EMFILE);
  }
  return __real_socket(domain, type, protocol);
}

int __wrap_connect(int fd, const sockaddr *address, socklen_t length) {
  return fails(Fault::kConnectFails) ? failure(ENETUNREACH) : __real_connect(fd, address, length);
}

int __wrap_poll(pollfd *entries, nfds_t count, int timeout) {
  if (fails(Fault::kPollTimesOut)) {
    return 0;
  }
  if (fails(Fault::kPollFails)) {
    return failure(ENOMEM);
  }
  return __real_poll(entries, count, timeout);
}

int __wrap_getsockopt(int fd, int level, int name, void *value, socklen_t *length) {
  return fails(Fault::kSocketErrorUnread) ? failure(ENOBUFS)
                                          : __real_getsockopt(fd, level, name, value, length);
}

// The programs pass fcntl an int or nothing; a long reads either.
int __wrap_fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  long argument = va_arg(arguments, long);
  va_end(arguments);
  return fails(Fault::kBlockingModeRefused, 2) ? failure(EBADF)
                                               : __real_fcntl(fd, command, argument);
}

// The targets' hosts are addresses, which the client reads at once; the
// faults of a look-up by name take them for names. A look-up whose name
// servers do not answer ends in EAI_AGAIN once the resolver gives up, or
// in the end of the process at the client's time limit, which no target
// could survive: the fault is the first.
int __wrap_getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                       addrinfo **found) {
  bool by_name = hints == nullptr || (hints->ai_flags & AI_NUMERICHOST) == 0;
  if (!by_name && (pending(Fault::kNoSuchHost) || pending(Fault::kLookUpTimesOut))) {
    return EAI_NONAME;
  }
  if (by_name && fails(Fault::kNoSuchHost)) {
    return EAI_NONAME;
  }
  if (by_name && fails(Fault::kLookUpTimesOut)) {
    return EAI_AGAIN;
  }
  int status = __real_getaddrinfo(node, service, hints, found);
  if (status == 0 && fails(Fault::kNoInternetAddress)) {
    for (addrinfo *entry = *found; entry != nullptr; entry = entry->ai_next) {
      entry->ai_family = AF_UNIX;
    }
  }
  return status;
}
}
