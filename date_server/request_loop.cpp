#include "request_loop.h"

#include <err.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/svc_dg.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

enum class DescriptorKind { kConnection, kDatagram, kListener };

// Set on a registration that may have gone with its socket: the library
// closed a connection, and a new one may have its number.
constexpr uint32_t kMaybeGone = 1U << 31;
constexpr uint32_t kNotRegistered = 0;

// What the loop knows of each descriptor, indexed by descriptor number.
struct Descriptor {
  DescriptorKind kind = DescriptorKind::kConnection;
  // Of a datagram transport: the length of the datagram that the library is
  // about to read, learnt before it reads it.
  size_t datagram_length = 0;
  // The events it is registered for with epoll (see below), and its slot
  // in the library's poll set.
  uint32_t registered = kNotRegistered;
  size_t slot = 0;
};
std::vector<Descriptor> descriptors;

Descriptor &descriptor(int fd) {
  auto index = static_cast<size_t>(fd);
  if (index >= descriptors.size()) {
    descriptors.resize(index + 1);
  }
  return descriptors[index];
}

// A descriptor the table already holds: a transport, or one in the poll set.
Descriptor &known(int fd) { return descriptors[static_cast<size_t>(fd)]; }

DescriptorKind kind_of(int fd) {
  auto index = static_cast<size_t>(fd);
  return index < descriptors.size() ? descriptors[index].kind : DescriptorKind::kConnection;
}

// Measures the datagram waiting on a datagram transport before the library
// reads it. A datagram whose call header does not lie whole within it would
// have its missing fields read from stale bytes: it is dropped unread, with
// no reply, as the library drops any call whose header it cannot decode.
bool datagram_ready(int fd) {
  static char head[kLargestRecord];
  ssize_t length = recv(fd, head, sizeof head, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (length < 0) {
    return false;
  }
  auto datagram_length = static_cast<size_t>(length);
  known(fd).datagram_length = datagram_length;
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

// Rounds that a connection may be served without a check for room. Every
// round reads one record and writes at most one reply, in one write: under
// 132 bytes, or up to 460 for a call with a verifier of 400 bytes.
// A new connection's send buffer is empty, at least 4 KiB free (the kernel's
// floor); a buffer that polls writable is at least a third free. Either way
// the next replies fit, by a wide margin, whatever the kernel's accounting
// of small writes: three on a new connection, the checked one and one more
// after a check.
constexpr int kRoundsOfNewConnection = 3;
constexpr int kRoundsAfterCheck = 2;

// How long a listener holds a connection that says nothing before handing
// it over anyway (see note_transport).
constexpr int kSilenceBeforeAccept = 5;  // seconds

// What the loop keeps per slot of the library's poll set, for the
// connection in it.
struct Slot {
  int fd = -1;
  // Had a call to read but no room for its reply: waited on for room.
  bool waiting_for_room = false;
  int rounds_unchecked = 0;
};
std::vector<Slot> slots;
Slot &slot_of(int fd) { return slots[known(fd).slot]; }
std::vector<pollfd> room_check;
std::vector<size_t> room_check_slot;

// Takes from a round's ready descriptors those that the library must not
// serve now.
//
// The library writes a reply until it is out: in non-blocking mode it
// retries for up to 2 s at full CPU, in blocking mode until the client
// leaves. So a connection is served only when it can take a reply now:
// when its last check (one zero-timeout poll per round for all readable
// connections that need one) was recent enough that the replies since must
// have fit; otherwise it is waited on for room, and read again in the round
// after it has room, while everyone else is served. A listener is never
// checked for room: it never reports any, and would stop accepting for good.
void screen_ready(std::vector<pollfd> &ready) {
  room_check.clear();
  room_check_slot.clear();
  for (size_t at = 0; at < ready.size(); ++at) {
    pollfd &entry = ready[at];
    switch (kind_of(entry.fd)) {
      case DescriptorKind::kDatagram:
        if (!datagram_ready(entry.fd)) {
          entry.revents = 0;
        }
        break;
      case DescriptorKind::kListener:
        break;
      case DescriptorKind::kConnection: {
        Slot &slot = slot_of(entry.fd);
        if (slot.waiting_for_room) {
          slot.waiting_for_room = false;
          slot.rounds_unchecked = kRoundsAfterCheck;
          entry.revents = 0;
        } else if (slot.rounds_unchecked > 0) {
          --slot.rounds_unchecked;
        } else {
          room_check.push_back({entry.fd, POLLOUT, 0});
          room_check_slot.push_back(at);
        }
        break;
      }
    }
  }
  if (!room_check.empty()) {
    // A failed poll leaves every revents 0: all wait for room, briefly.
    poll(room_check.data(), room_check.size(), 0);
    for (size_t i = 0; i < room_check.size(); ++i) {
      pollfd &entry = ready[room_check_slot[i]];
      if (room_check[i].revents == 0) {
        slot_of(entry.fd).waiting_for_room = true;
        entry.revents = 0;
      } else {
        slot_of(entry.fd).rounds_unchecked = kRoundsAfterCheck - 1;
      }
    }
  }
  ready.erase(std::remove_if(ready.begin(), ready.end(),
                             [](const pollfd &entry) { return entry.revents == 0; }),
              ready.end());
}

// The descriptors of the library's poll set are watched with epoll, which
// keeps them registered from round to round: a round costs the kernel the
// ready descriptors only, not every descriptor of the set. The registrations
// follow the poll set, by descriptor number.
int epoll_fd = -1;

uint32_t &registration(int fd) { return descriptor(fd).registered; }

// Registers fd for `events`; false if fd is no open descriptor.
bool watch(int fd, uint32_t events) {
  uint32_t &current = registration(fd);
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  if (current == kNotRegistered || (current & kMaybeGone) != 0) {
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0) {
      current = events;
      return true;
    }
    if (errno != EEXIST) {
      current = kNotRegistered;
      return false;
    }
    current &= ~kMaybeGone;  // still the same socket, still registered
  }
  if (current != events && epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event) != 0) {
    current = kNotRegistered;
    return false;
  }
  current = events;
  return true;
}

// A descriptor that left the library's poll set was closed by the library,
// which removed its registration.
void forget(int fd) { registration(fd) = kNotRegistered; }

// Brings the registrations in line with the library's poll set and the
// loop's own state of each slot. A descriptor that is no longer open is
// handed to the library as POLLNVAL, as poll would report it, in `invalid`.
void follow_poll_set(size_t count, std::vector<pollfd> &invalid) {
  slots.resize(count);
  for (size_t index = 0; index < count; ++index) {
    int fd = svc_pollfd[index].fd;
    Slot &slot = slots[index];
    if (slot.fd != fd) {  // a new connection, or none
      if (slot.fd >= 0 && (fd < 0 || descriptor(slot.fd).slot == index)) {
        forget(slot.fd);
      }
      slot = {fd, false, kRoundsOfNewConnection};
    }
    if (fd < 0) {
      continue;
    }
    auto events = static_cast<uint32_t>(slot.waiting_for_room ? POLLOUT : svc_pollfd[index].events);
    if (registration(fd) == events) {  // as it was
      continue;
    }
    descriptor(fd).slot = index;
    if (!watch(fd, events)) {
      invalid.push_back({fd, svc_pollfd[index].events, POLLNVAL});
    }
  }
}

}  // namespace

void note_transport(const SVCXPRT *transp, TransportKind kind) {
  descriptor(transp->xp_fd).kind =
      kind == TransportKind::kDatagram ? DescriptorKind::kDatagram : DescriptorKind::kListener;
  if (kind == TransportKind::kListener) {
    // A connection is handed over once its first bytes are in (every ONC
    // RPC client speaks first), or after some seconds of silence: the
    // accept and the first call then take one wake-up instead of two, and
    // connections that say nothing hold no descriptor of the server in the
    // meantime. Where the option is refused, connections come as before.
    int seconds = kSilenceBeforeAccept;
    setsockopt(transp->xp_fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
  }
}

bool decoded_within_message(const SVCXPRT *transp) {
  if (kind_of(transp->xp_fd) != DescriptorKind::kDatagram) {
    return true;
  }
  XDR *xdrs = &static_cast<svc_dg_data *>(transp->xp_p2)->su_xdrs;
  return XDR_GETPOS(xdrs) <= known(transp->xp_fd).datagram_length;
}

// As the library's loop ends: with its warning.
static bool poll_failed() {
  warn("svc_run: - poll failed");
  return false;
}

// One round of the library's request loop (svc_run), built from its own
// pieces, so that the ready descriptors pass screen_ready before the library
// serves them. In every other respect it is the library's: an interrupted
// wait is retried in the next round, and a wait that fails for good ends
// the loop with the library's warning.
//
// The library closes connections while it serves, and a connection it
// accepts may get the number of one it closed, whose registration went with
// its socket. So once a listener has been served, every connection's
// registration is confirmed in the next round (the library also closes idle
// connections when it accepts one).
bool serve_round(int timeout_ms) {
  static std::vector<pollfd> ready;
  static std::vector<epoll_event> events;
  // Only the library's serving of a connection or a listener opens and
  // closes descriptors; a round of datagrams leaves the poll set as it was.
  static bool poll_set_may_have_changed = true;
  if (epoll_fd < 0) {
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  }
  if (epoll_fd < 0) {
    return poll_failed();
  }
  int max_pollfd = svc_max_pollfd;
  if (max_pollfd == 0 && svc_pollfd == nullptr) {
    return false;
  }
  auto count = static_cast<size_t>(max_pollfd);
  ready.clear();
  if (poll_set_may_have_changed || count != slots.size()) {
    follow_poll_set(count, ready);
    if (!ready.empty()) {  // closed descriptors, for the library to drop
      svc_getreq_poll(ready.data(), static_cast<int>(ready.size()));
      return true;
    }
  }
  events.resize(std::max<size_t>(count, 1));
  int got = epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout_ms);
  if (got < 0) {
    return errno == EINTR || poll_failed();
  }
  poll_set_may_have_changed = false;
  bool accepting = false;
  for (int i = 0; i < got; ++i) {
    const epoll_event &event = events[static_cast<size_t>(i)];
    int fd = event.data.fd;
    size_t index = known(fd).slot;
    if (index >= count || svc_pollfd[index].fd != fd) {
      // Left the poll set without being closed: no longer watched.
      epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
      continue;
    }
    DescriptorKind kind = kind_of(fd);
    poll_set_may_have_changed = poll_set_may_have_changed || kind != DescriptorKind::kDatagram;
    accepting = accepting || kind == DescriptorKind::kListener;
    ready.push_back({fd, svc_pollfd[index].events, static_cast<short>(event.events)});
  }
  screen_ready(ready);
  if (!ready.empty()) {
    svc_getreq_poll(ready.data(), static_cast<int>(ready.size()));
  }
  if (accepting) {
    for (const Slot &slot : slots) {
      if (slot.fd >= 0 && kind_of(slot.fd) == DescriptorKind::kConnection) {
        registration(slot.fd) |= kMaybeGone;
      }
    }
  }
  return true;
}
