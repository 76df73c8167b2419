// SPDX-License-Identifier: BSD-3-Clause
// library_faults: tells, for the libtirpc it runs with, whether each fault
// that the programs work around is still there. Every check runs the
// library's own code on loopback; one line each, "present" or "absent".
// Run by the release matrix after the suite, so that its log says which
// workarounds each release still needs. Needs no root and no port mapper.
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <rpc/rpc.h>
#include <rpc/rpc_com.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "date.h"
#include "test_support.h"

using namespace test_support;

namespace {

constexpr rpcprog_t kProgram = DATE_PROPG;
constexpr rpcvers_t kVersion = DATE_VERS;

void report(const char *fault, bool present) {
  printf("%-62s %s\n", fault, present ? "present" : "absent");
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A loopback socket of `type`, bound to a port of the system's choosing;
// its address in `address`.
int bound_socket(int type, sockaddr_in *address) {
  int fd = socket(AF_INET, type, 0);
  *address = {};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof *address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(address), sizeof *address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(address), &length) != 0) {
    perror("library_faults: socket");
    exit(2);
  }
  return fd;
}

// xdr_long decodes 4 bytes into a long: FF FF FF FF should be -1.
bool xdr_long_does_not_sign_extend() {
  char bytes[4] = {'\xff', '\xff', '\xff', '\xff'};
  XDR xdrs;
  xdrmem_create(&xdrs, bytes, sizeof bytes, XDR_DECODE);
  long value = 0;
  return xdr_long(&xdrs, &value) && value != -1;
}

std::chrono::steady_clock::time_point alarm_came;
void note_alarm(int /*unused*/) { alarm_came = std::chrono::steady_clock::now(); }

// A call over UDP to a socket that never answers, limited to 1 s, with an
// alarm due after 0.2 s: a library that blocks signals while it waits lets
// the alarm in only when the call ends, at 1 s.
bool clnt_call_blocks_signals() {
  sockaddr_in address;
  int silent = bound_socket(SOCK_DGRAM, &address);
  int sock = RPC_ANYSOCK;
  timeval retry = {0, 200000};
  CLIENT *clnt = clntudp_create(&address, kProgram, kVersion, retry, &sock);
  if (clnt == nullptr) {
    return false;
  }
  signal(SIGALRM, note_alarm);
  auto start = std::chrono::steady_clock::now();
  itimerval due = {{0, 0}, {0, 200000}};
  setitimer(ITIMER_REAL, &due, nullptr);
  timeval limit = {1, 0};
  clnt_call(clnt, 0, as_xdrproc(xdr_void), nullptr, as_xdrproc(xdr_void), nullptr, limit);
  clnt_destroy(clnt);
  close(silent);
  signal(SIGALRM, SIG_DFL);
  return std::chrono::duration<double>(alarm_came - start).count() > 0.9;
}

// A server that reads the call and then sends its reply a byte every 0.3 s:
// a call limited to 1 s that takes longer had its limit applied per read.
bool clnt_vc_limits_each_read() {
  sockaddr_in address;
  int listener = bound_socket(SOCK_STREAM, &address);
  listen(listener, 1);
  std::thread server([listener] {
    int fd = accept(listener, nullptr, nullptr);
    unsigned char call[512];
    ssize_t got = read(fd, call, sizeof call);
    if (got >= 8) {
      // Mark, xid, REPLY, MSG_ACCEPTED, null verifier, SUCCESS.
      unsigned char reply[28] = {0x80, 0, 0, 24};
      memcpy(reply + 4, call + 4, 4);
      reply[11] = 1;
      for (unsigned char byte : reply) {
        if (write(fd, &byte, 1) != 1) {
          break;
        }
        usleep(300000);
      }
    }
    close(fd);
  });
  int sock = RPC_ANYSOCK;
  CLIENT *clnt = clnttcp_create(&address, kProgram, kVersion, &sock, 0, 0);
  double took = 0;
  if (clnt != nullptr) {
    auto start = std::chrono::steady_clock::now();
    timeval limit = {1, 0};
    clnt_call(clnt, 0, as_xdrproc(xdr_void), nullptr,
              as_xdrproc(xdr_void), nullptr, limit);
    took = seconds_since(start);
    clnt_destroy(clnt);
  }
  server.join();
  close(listener);
  return took > 2;
}

// What the dispatcher below decoded, and whether it could.
bool dispatched = false;
bool decoded = false;
int decoded_value = 0;

void dispatch(struct svc_req *rqstp, SVCXPRT *transp) {
  if (rqstp->rq_proc == 0) {
    svc_sendreply(transp, as_xdrproc(xdr_void), nullptr);
    return;
  }
  dispatched = true;
  decoded_value = 0;
  decoded = svc_getargs(transp, as_xdrproc(xdr_int),
                        reinterpret_cast<char *>(&decoded_value));
  if (decoded) {
    svc_sendreply(transp, as_xdrproc(xdr_void), nullptr);
  } else {
    svcerr_decode(transp);
  }
}

// Serves calls as svc_run does, for `ms` milliseconds.
void serve_for(int ms) {
  auto start = std::chrono::steady_clock::now();
  while (seconds_since(start) * 1000 < ms) {
    pollfd *fds = svc_pollfd;
    int ready = poll(fds, static_cast<nfds_t>(svc_max_pollfd), 50);
    if (ready > 0) {
      svc_getreq_poll(fds, ready);
    }
  }
}

// A client socket of `type` connected to the transport, on which the
// dispatcher below is registered; -1 if it cannot be.
int connected_to(SVCXPRT *transp, int type) {
  if (transp == nullptr || !svc_register(transp, kProgram, kVersion, dispatch, 0)) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(transp->xp_port);
  int client = socket(AF_INET, type, 0);
  connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
  return client;
}

// A datagram whose argument is cut short, after one that held it: a library
// that decodes from its whole buffer reads the missing bytes from the first.
bool short_udp_arguments_read_stale_bytes() {
  SVCXPRT *transp = svcudp_create(RPC_ANYSOCK);
  int client = connected_to(transp, SOCK_DGRAM);
  if (client < 0) {
    return false;
  }
  Bytes whole = encode_call(date_call(2, u32_bytes(12345)));
  Bytes cut = encode_call(date_call(2));
  send(client, whole.data(), whole.size(), 0);
  serve_for(200);
  send(client, cut.data(), cut.size(), 0);
  decoded = false;
  serve_for(200);
  close(client);
  svc_unregister(kProgram, kVersion);
  svc_destroy(transp);
  return decoded && decoded_value == 12345;
}

// A call in two fragments on a non-blocking connection (a record bound
// set): a library that takes each fragment as a whole record decodes the
// first alone and finds the argument missing.
bool nonblocking_fragments_taken_as_records() {
  int largest = 1024;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &largest);
  SVCXPRT *transp = svctcp_create(RPC_ANYSOCK, 0, 0);
  int client = connected_to(transp, SOCK_STREAM);
  if (client < 0) {
    return false;
  }
  Bytes stream = fragment(encode_call(date_call(2)), false);
  Bytes last = fragment(u32_bytes(12345), true);
  stream.insert(stream.end(), last.begin(), last.end());
  send(client, stream.data(), stream.size(), 0);
  dispatched = false;
  decoded = false;
  decoded_value = 0;
  serve_for(300);
  close(client);
  serve_for(100);
  svc_unregister(kProgram, kVersion);
  svc_destroy(transp);
  // Dispatched with the argument missing: the first fragment alone.
  return dispatched && !(decoded && decoded_value == 12345);
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  report("xdr_long does not sign-extend on 64-bit", xdr_long_does_not_sign_extend());
  report("clnt_call blocks every signal while it waits", clnt_call_blocks_signals());
  report("clnt_vc applies its time limit per read", clnt_vc_limits_each_read());
  report("short UDP arguments are read from stale buffer bytes",
         short_udp_arguments_read_stale_bytes());
  report("in non-blocking mode each fragment is taken as a whole record",
         nonblocking_fragments_taken_as_records());
  return 0;
}
