// SPDX-License-Identifier: BSD-3-Clause
#include "fuzz_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// Leaks of the library's own: svc_register keeps the addresses it
// registered; the client's call drops the body of a reply's verifier
// (libtirpc 1.3.3, up to 400 bytes a reply; opaque bodies are decoded by
// xdr_bytes, which the shallow stacks of malloc end in).
extern "C" const char *__lsan_default_suppressions() {
  return "leak:__rpc_uaddr2taddr_af\nleak:getnetconfigent\nleak:xdr_accepted_reply\nleak:xdr_bytes\n";
}

namespace fuzz_support {

[[noreturn]] void finding(const char *what) {
  fprintf(stderr, "==fuzz== %s\n", what);
  abort();
}

[[noreturn]] static void fail(const char *what) {
  perror(what);
  exit(1);
}

static void bring_loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct ifreq request {};
  strncpy(request.ifr_name, "lo", sizeof request.ifr_name - 1);
  if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
    fail("loopback");
  }
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) {
    fail("loopback up");
  }
  close(fd);
}

static bool rpcbind_answers() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, "/run/rpcbind.sock", sizeof address.sun_path - 1);
  bool up = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return up;
}

// rpcbind gives up root at start, and with it the signal it would get on
// our death; a watchdog that stays root kills it once our end of a pipe
// closes, however we end.
static void start_rpcbind() {
  int lifeline[2];
  if (pipe2(lifeline, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  pid_t watchdog = fork();
  if (watchdog < 0) {
    fail("fork");
  }
  if (watchdog == 0) {
    close(lifeline[1]);
    pid_t rpcbind = fork();
    if (rpcbind == 0) {
      int null_device = open("/dev/null", O_RDWR);
      for (int fd : {0, 1, 2}) {
        dup2(null_device, fd);
      }
      for (const char *path : {"/usr/sbin/rpcbind", "/sbin/rpcbind"}) {
        execl(path, path, "-f", static_cast<char *>(nullptr));
      }
      _exit(127);
    }
    char byte;
    while (read(lifeline[0], &byte, 1) < 0 && errno == EINTR) {
    }
    kill(rpcbind, SIGKILL);
    _exit(0);
  }
  close(lifeline[0]);
  for (int tries = 0; tries < 500; ++tries) {
    if (rpcbind_answers()) {
      return;
    }
    usleep(10000);
  }
  fprintf(stderr, "rpcbind did not come up (is it installed?)\n");
  exit(1);
}

void enter_private_network(bool with_rpcbind) {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    fail("unshare (the fuzz targets run as root)");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
    fail("a private /run");
  }
  bring_loopback_up();
  if (with_rpcbind) {
    start_rpcbind();
  }
}

void silence_output() {
  int null_device = open("/dev/null", O_WRONLY);
  if (null_device < 0 || dup2(null_device, 1) < 0) {
    fail("/dev/null");
  }
  close(null_device);
  FILE *null_file = fopen("/dev/null", "w");
  if (null_file == nullptr) {
    fail("/dev/null");
  }
  stderr = null_file;
}

static socklen_t loopback(int family, uint16_t port, sockaddr_storage *address) {
  memset(address, 0, sizeof *address);
  if (family == AF_INET6) {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(port);
    return sizeof *in6;
  }
  auto *in = reinterpret_cast<sockaddr_in *>(address);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in->sin_port = htons(port);
  return sizeof *in;
}

int bound_socket(int family, int type, uint16_t port) {
  sockaddr_storage address;
  socklen_t length = loopback(family, port, &address);
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  int reuse = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      (type == SOCK_STREAM && listen(fd, 16) != 0)) {
    fail("bind on loopback");
  }
  return fd;
}

int connected_socket(int family, int type, uint16_t port, int receive_buffer) {
  sockaddr_storage address;
  socklen_t length = loopback(family, port, &address);
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd >= 0 && receive_buffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    fail("connect on loopback");
  }
  return fd;
}

uint16_t port_of(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                   : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

int poll_set_descriptor(const std::function<bool(int fd)> &matches) {
  for (int index = 0; index < svc_max_pollfd; ++index) {
    int fd = svc_pollfd[index].fd;
    if (fd >= 0 && matches(fd)) {
      return fd;
    }
  }
  return -1;
}

int server_transport(int family, int type) {
  int fd = poll_set_descriptor([&](int candidate) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd_type = 0;
    socklen_t type_length = sizeof fd_type;
    return getsockname(candidate, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
           getsockopt(candidate, SOL_SOCKET, SO_TYPE, &fd_type, &type_length) == 0 &&
           address.ss_family == family && fd_type == type;
  });
  if (fd < 0) {
    fprintf(stderr, "the server has no transport of family %d, type %d\n", family, type);
    exit(1);
  }
  return fd;
}

bool receive_query(int fd, Query *query) {
  uint8_t call[1024];
  query->from_length = sizeof query->from;
  ssize_t got = recvfrom(fd, call, sizeof call, 0, reinterpret_cast<sockaddr *>(&query->from),
                         &query->from_length);
  if (got < 4) {
    return false;
  }
  query->xid = get_u32(call);
  return true;
}

void send_to_sender(int fd, const Query &query, const uint8_t *bytes, size_t size) {
  sendto(fd, bytes, size, 0, reinterpret_cast<const sockaddr *>(&query.from), query.from_length);
}

void send_accepted_reply(int fd, const Query &query, uint32_t result) {
  // xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, SUCCESS, the result.
  uint8_t reply[28] = {};
  put_u32(reply, query.xid);
  put_u32(reply + 4, 1);
  put_u32(reply + 24, result);
  send_to_sender(fd, query, reply, sizeof reply);
}

uint32_t get_u32(const uint8_t *at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

void put_u32(uint8_t *at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

bool decode_reply_header(const uint8_t *message, size_t size, uint32_t *xid) {
  XDR xdrs;
  xdrmem_create(&xdrs, const_cast<char *>(reinterpret_cast<const char *>(message)),
                static_cast<u_int>(size), XDR_DECODE);
  struct rpc_msg reply {};
  reply.acpted_rply.ar_verf = _null_auth;
  reply.acpted_rply.ar_results.where = nullptr;
  reply.acpted_rply.ar_results.proc = reinterpret_cast<xdrproc_t>(xdr_void);
  if (!xdr_replymsg(&xdrs, &reply)) {
    return false;
  }
  if (reply.rm_reply.rp_stat == MSG_ACCEPTED) {
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_opaque_auth),
             reinterpret_cast<char *>(&reply.acpted_rply.ar_verf));
  }
  *xid = reply.rm_xid;
  return true;
}

void check_reply(const uint8_t *message, size_t size, uint32_t xid) {
  uint32_t reply_xid = 0;
  if (!decode_reply_header(message, size, &reply_xid)) {
    finding("the server sent a reply that does not decode");
  }
  if (reply_xid != xid) {
    finding("the server's reply has another xid than the call");
  }
}

}  // namespace fuzz_support
