// Entry point of date_server, its request loop, and the dispatcher of the
// date program.
#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc_com.h>
#include <rpc/svc_dg.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "date.h"
#include "server_output.h"

FILE *server_output = stdout;

// The largest record a TCP connection may send. The largest legal call of
// this program is 844 bytes: six words of call header (24), credentials and
// verifier of up to 400 bytes each with their flavour and length words
// (2 * 408), and the 4-byte argument of STR_DATE. 1024 leaves room above
// that; a record over it closes its connection.
static const int kLargestRecord = 1024;
// Every reply of this program is under 100 bytes. The library's buffers of
// each connection are this size (for records, kLargestRecord) rather than
// its default of 64 KiB each, which it allocates and zeroes per connection.
// (It takes sizes under 100 as its default.)
static const u_int kLargestReply = 128;

static void *netconfig_handle;
static SVCXPRT *udp_transport;
static SVCXPRT *tcp_transport;
// Length of the datagram that the library is about to read from
// udp_transport, learnt before it reads it.
static size_t datagram_length;

static void fail(const char *message) {
  fputs(message, stderr);
  exit(1);
}

// The library decodes a datagram from its whole receive buffer, not from the
// bytes received, so an argument cut short is read from the stale tail of an
// earlier message. True when decoding so far stayed within the datagram (and
// always for a TCP record, which the library bounds itself).
static bool decoded_within_message(SVCXPRT *transp) {
  if (transp != udp_transport) {
    return true;
  }
  XDR *xdrs = &static_cast<svc_dg_data *>(transp->xp_p2)->su_xdrs;
  return XDR_GETPOS(xdrs) <= datagram_length;
}

void date_propg_1(struct svc_req *rqstp, SVCXPRT *transp) {
  union {
    long str_date_1_arg;
  } argument;
  xdrproc_t xdr_argument;
  xdrproc_t xdr_result;
  char *(*local)(char *, struct svc_req *);

  switch (rqstp->rq_proc) {
    case NULLPROC:
      svc_sendreply(transp, as_xdrproc(xdr_void), nullptr);
      return;
    case BIN_DATE:
      xdr_argument = as_xdrproc(xdr_void);
      xdr_result = as_xdrproc(xdr_time_value);
      local = reinterpret_cast<char *(*)(char *, struct svc_req *)>(bin_date_1_svc);
      break;
    case STR_DATE:
      xdr_argument = as_xdrproc(xdr_time_value);
      xdr_result = as_xdrproc(xdr_wrapstring);
      local = reinterpret_cast<char *(*)(char *, struct svc_req *)>(str_date_1_svc);
      break;
    default:
      svcerr_noproc(transp);
      return;
  }
  memset(&argument, 0, sizeof argument);
  if (!svc_getargs(transp, xdr_argument, reinterpret_cast<char *>(&argument)) ||
      !decoded_within_message(transp)) {
    svcerr_decode(transp);
    return;
  }
  char *result = local(reinterpret_cast<char *>(&argument), rqstp);
  // Over TCP the library sends whatever part of a reply it encoded before
  // the result filter failed, as a success record with no result; so a
  // result that cannot be encoded is caught before anything is sent.
  if (result != nullptr &&
      (xdr_sizeof(xdr_result, result) == 0 || !svc_sendreply(transp, xdr_result, result))) {
    svcerr_systemerr(transp);
  }
  if (!svc_freeargs(transp, xdr_argument, reinterpret_cast<char *>(&argument))) {
    fail("unable to free arguments");
  }
}

// Measures the datagram waiting on the UDP socket before the library reads
// it. A datagram whose call header does not lie whole within it would have
// its missing fields read from stale bytes: it is dropped unread, with no
// reply, as the library drops any call whose header it cannot decode.
static bool datagram_ready(int fd) {
  static char head[kLargestRecord];
  ssize_t length = recv(fd, head, sizeof head, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (length < 0) {
    return false;
  }
  datagram_length = static_cast<size_t>(length);
  XDR xdrs;
  xdrmem_create(&xdrs, head, static_cast<u_int>(std::min(datagram_length, sizeof head)),
                XDR_DECODE);
  char credentials[MAX_AUTH_BYTES];
  char verifier[MAX_AUTH_BYTES];
  struct rpc_msg call;
  call.rm_call.cb_cred.oa_base = credentials;
  call.rm_call.cb_verf.oa_base = verifier;
  if (xdr_callmsg(&xdrs, &call)) {
    return true;
  }
  recv(fd, head, 0, MSG_DONTWAIT);
  return false;
}

// Per slot of the library's poll set: the connection that had a call to read
// but no room for its reply, now waited on until it has room; -1 for none.
static std::vector<int> waiting_for_room;
static std::vector<pollfd> room_check;
static std::vector<size_t> room_check_slot;

// Takes from a round's ready descriptors those that the library must not
// serve now; returns how many remain.
//
// The library writes a reply until it is out: in non-blocking mode it
// retries for up to 2 s at full CPU, in blocking mode until the client
// leaves. So a connection is served only when it can take a reply now (one
// zero-timeout poll per round for all readable connections); otherwise it
// is waited on for room, and read again in the round after it has room,
// while everyone else is served.
static int screen_ready(std::vector<pollfd> &polled) {
  int ready = 0;
  room_check.clear();
  room_check_slot.clear();
  for (size_t slot = 0; slot < polled.size(); ++slot) {
    pollfd &entry = polled[slot];
    if (entry.revents == 0) {
      continue;
    }
    if (entry.fd == udp_transport->xp_fd) {
      if (!datagram_ready(entry.fd)) {
        entry.revents = 0;
      }
    } else if (entry.fd != tcp_transport->xp_fd) {  // a connection
      if (waiting_for_room[slot] == entry.fd) {
        waiting_for_room[slot] = -1;
        entry.revents = 0;
      } else {
        room_check.push_back({entry.fd, POLLOUT, 0});
        room_check_slot.push_back(slot);
      }
    }
    if (entry.revents != 0) {
      ++ready;
    }
  }
  if (!room_check.empty()) {
    // A failed poll leaves every revents 0: all wait for room, briefly.
    poll(room_check.data(), room_check.size(), 0);
    for (size_t i = 0; i < room_check.size(); ++i) {
      if (room_check[i].revents == 0) {
        size_t slot = room_check_slot[i];
        waiting_for_room[slot] = polled[slot].fd;
        polled[slot].revents = 0;
        --ready;
      }
    }
  }
  return ready;
}

// The library's request loop (svc_run) built from its own pieces, so that
// the ready descriptors pass screen_ready before the library serves them.
// In every other respect it is the library's: the poll set is copied each
// round, an interrupted wait is retried, and a wait that fails for good
// ends the loop with the library's warning.
static void run_request_loop() {
  std::vector<pollfd> polled;
  for (;;) {
    int max_pollfd = svc_max_pollfd;
    if (max_pollfd == 0 && svc_pollfd == nullptr) {
      return;
    }
    size_t slots = static_cast<size_t>(max_pollfd);
    polled.resize(slots);
    waiting_for_room.resize(slots, -1);
    for (size_t slot = 0; slot < slots; ++slot) {
      int fd = svc_pollfd[slot].fd;
      bool waiting = fd >= 0 && waiting_for_room[slot] == fd;
      short events = waiting ? static_cast<short>(POLLOUT) : svc_pollfd[slot].events;
      polled[slot] = {fd, events, 0};
    }
    int ready = poll(polled.data(), slots, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      warn("svc_run: - poll failed");
      return;
    }
    ready = screen_ready(polled);
    if (ready > 0) {
      svc_getreq_poll(polled.data(), ready);
    }
  }
}

// The library prints some complaints of its own on standard output
// (libtirpc 1.3.3: "bad auth_len ..." for AUTH_SYS credentials whose lengths
// do not add up), so any client could add lines to an output that holds one
// line per answer. The activity lines go to a duplicate of descriptor 1, and
// descriptor 1 itself, the library's stdout with it, to /dev/null. Done
// before any socket exists: were descriptor 1 closed at start, a socket
// would otherwise take its number.
static bool separate_output() {
  int output = dup(1);
  int null_device = open("/dev/null", O_WRONLY);
  if (null_device < 0 || dup2(null_device, 1) < 0) {
    return false;
  }
  if (null_device != 1) {
    close(null_device);
  }
  // Started with descriptor 1 closed, the lines go nowhere, as they would
  // have gone.
  server_output = output >= 0 ? fdopen(output, "w") : fopen("/dev/null", "w");
  return server_output != nullptr;
}

int main(int /*argc*/, char ** /*argv*/) {
  // The library writes replies with plain write(): a client that leaves
  // before its reply is written must not end the server.
  signal(SIGPIPE, SIG_IGN);
  if (!separate_output()) {
    fail("cannot set up output.");
  }

  pmap_unset(DATE_PROPG, DATE_VERS);

  udp_transport = svcudp_create(RPC_ANYSOCK);
  if (udp_transport == nullptr) {
    fail("cannot create udp service.");
  }
  if (!svc_register(udp_transport, DATE_PROPG, DATE_VERS, date_propg_1, IPPROTO_UDP)) {
    fail("unable to register (DATE_PROPG, DATE_VERS, udp).");
  }

  // TCP connections in non-blocking mode with a bounded record: a record is
  // gathered without holding up the loop, a record over the bound closes
  // its connection only, and idle connections are closed when descriptors
  // run short.
  int largest_record = kLargestRecord;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &largest_record);
  tcp_transport = svctcp_create(RPC_ANYSOCK, kLargestReply, kLargestRecord);
  if (tcp_transport == nullptr) {
    fail("cannot create tcp service.");
  }
  if (!svc_register(tcp_transport, DATE_PROPG, DATE_VERS, date_propg_1, IPPROTO_TCP)) {
    fail("unable to register (DATE_PROPG, DATE_VERS, tcp).");
  }

  // The library looks up the network of every accepted connection in
  // /etc/netconfig, and opens, reads and parses the file afresh unless its
  // entries were read through a handle that is still open. One handle, read
  // through once and held while serving, keeps them parsed (and the file
  // open: one descriptor). Taken after start-up, which it leaves as it was;
  // without it the library serves as before, only slower.
  netconfig_handle = setnetconfig();
  if (netconfig_handle != nullptr) {
    while (getnetconfig(netconfig_handle) != nullptr) {
    }
  }

  run_request_loop();
  fail("svc_run returned");
}
