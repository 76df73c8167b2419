// SPDX-License-Identifier: BSD-3-Clause
// The server's request loop: the library's svc_run rebuilt from its public
// pieces (svc_pollfd, svc_max_pollfd, svc_getreq_poll), with epoll for the
// wait and each round's ready descriptors screened before the library serves
// them.
//
// What the loop mirrors of the library's state, and when:
// - The poll set. The library owns svc_pollfd: it adds a connection in the
//   first free slot when it accepts one, sets a slot's fd to -1 when it
//   closes one, and never moves an open descriptor to another slot. The loop
//   keeps, per slot, the descriptor it last saw there (`slots`), and per
//   descriptor number its kind, its epoll registration and its slot
//   (`descriptors`). It walks the poll set again (follow_poll_set) only
//   after a round that served a listener (the library accepts there, and
//   closes idle connections), that closed a connection (the library closes
//   one only while serving it, and then empties its slot), or in which a
//   connection began or ended waiting for room (its registration changes),
//   and when the set's size changed. Any other round leaves the poll set
//   and the registrations as they were.
// - The epoll registrations. Closing a socket removes it from epoll, so a
//   registration of a number whose socket the library closed is gone, and a
//   new connection may meanwhile have that number. After a listener has been
//   served, every connection's registration is marked as possibly gone and
//   confirmed by the next walk (an EPOLL_CTL_ADD that finds EEXIST was still
//   the same socket).
// - A datagram's length, learnt by a peek before the library reads it
//   (the library decodes from its whole buffer: see decoded_within_message).
//
// Why svc_getreq_poll may be handed a compacted array of the ready entries
// only, in any order: it walks the array it is given up to svc_max_pollfd
// entries, skips entries whose revents is 0 or whose fd is -1, and stops
// after `pollretval` entries with events; it never indexes svc_pollfd by
// position. That is safe only while every entry passed has events and the
// array holds at most svc_max_pollfd of them, which the loop keeps (it
// drops the entries it screens out before the call).
//
// The library behaviour each rule rests on (read in libtirpc 1.3.3, 1.3.6
// and 1.3.7, and shown by the tests on each):
// - A non-blocking connection (RPC_SVC_CONNMAXREC_SET) reads a record's
//   mark and then its body with separate reads, never past the record, and
//   takes each fragment as a whole record.
// - A reply is written until it is out, retrying at full CPU: hence the check
//   for room before a connection is read (screen_ready).
// - rendezvous_request accepts one connection per serving and returns at once
//   when accept fails, errno as accept left it; its listener stays ready, so
//   the loop pauses it (pause_listener).
// - A descriptor handed over as POLLNVAL is only unregistered, never closed
//   nor destroyed; one handed over as readable whose read gives end of stream
//   is destroyed and closed. So a connection that epoll refuses is shut down
//   and handed over as readable; POLLNVAL is kept for numbers no longer open.
#include "request_loop.h"

#include <err.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/svc_dg.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// Whether a call header lies whole within the first `length` bytes of a
// message: six words (xid, direction, RPC version, program, version,
// procedure), then the credential and the verifier, each a flavour, a
// length of at most MAX_AUTH_BYTES and that many bytes padded to a whole
// word. A header with a longer credential or verifier is one the library
// cannot decode either. The direction and the RPC version are left to the
// library, which drops a message that is not a version 2 call unanswered.
bool call_header_within(const char *message, size_t length) {
  size_t flavour_at = 6 * BYTES_PER_XDR_UNIT;
  for (int body = 0; body < 2; ++body) {  // the credential, then the verifier
    size_t body_at = flavour_at + 2 * BYTES_PER_XDR_UNIT;
    if (body_at > length) {
      return false;
    }
    uint32_t body_length = 0;
    memcpy(&body_length, message + body_at - BYTES_PER_XDR_UNIT, sizeof body_length);
    body_length = ntohl(body_length);
    if (body_length > MAX_AUTH_BYTES) {
      return false;
    }
    flavour_at = body_at + RNDUP(body_length);
  }
  return flavour_at <= length;
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
  if (call_header_within(head, std::min(datagram_length, sizeof head))) {
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

// How long a listener whose accept failed is left out of the wait.
constexpr int kAcceptPause = 100;  // ms

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
// serve now. True if a connection began or ended waiting for room: its
// registration is to change.
//
// The library writes a reply until it is out: in non-blocking mode it
// retries for up to 2 s at full CPU, in blocking mode until the client
// leaves. So a connection is served only when it can take a reply now:
// when its last check (one zero-timeout poll per round for all readable
// connections that need one) was recent enough that the replies since must
// have fit; otherwise it is waited on for room, and read again in the round
// after it has room, while everyone else is served. A listener is never
// checked for room: it never reports any, and would stop accepting for good.
bool screen_ready(std::vector<pollfd> &ready) {
  bool room_wait_changed = false;
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
          room_wait_changed = true;
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
        room_wait_changed = true;
        entry.revents = 0;
      } else {
        slot_of(entry.fd).rounds_unchecked = kRoundsAfterCheck - 1;
      }
    }
  }
  ready.erase(std::remove_if(ready.begin(), ready.end(),
                             [](const pollfd &entry) { return entry.revents == 0; }),
              ready.end());
  return room_wait_changed;
}

// The descriptors of the library's poll set are watched with epoll, which
// keeps them registered from round to round: a round costs the kernel the
// ready descriptors only, not every descriptor of the set. The registrations
// follow the poll set, by descriptor number.
int epoll_fd = -1;

uint32_t &registration(int fd) { return descriptor(fd).registered; }

// Registers fd for `events`. False, with errno, when epoll refuses: EBADF
// for a descriptor that is no longer open, ENOMEM or ENOSPC (past the
// user's max_user_watches) for one that is.
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

// Listeners whose accept failed for want of descriptors or memory, and the
// time (CLOCK_MONOTONIC, ms) until which each is left out of the wait.
struct PausedListener {
  int fd;
  int64_t until_ms;
};
std::vector<PausedListener> paused_listeners;

int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool is_paused(int fd) {
  return std::any_of(paused_listeners.begin(), paused_listeners.end(),
                     [fd](const PausedListener &paused) { return paused.fd == fd; });
}

// A listener whose accept has failed stays ready: the connection is still
// queued. Served again at once it would fail again, every round, at full
// CPU. It is left out of the wait for a while instead; connections keep
// queueing in the kernel meanwhile.
void pause_listener(int fd) {
  if (is_paused(fd)) {
    return;
  }
  epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  forget(fd);
  paused_listeners.push_back({fd, monotonic_ms() + kAcceptPause});
}

// Ends the pauses that are over; true if one ended. `wait_ms` is cut down
// to the end of the next one still running.
bool resume_listeners(int &wait_ms) {
  int64_t now = monotonic_ms();
  size_t before = paused_listeners.size();
  paused_listeners.erase(
      std::remove_if(paused_listeners.begin(), paused_listeners.end(),
                     [now](const PausedListener &paused) { return paused.until_ms <= now; }),
      paused_listeners.end());
  for (const PausedListener &paused : paused_listeners) {
    auto left = static_cast<int>(paused.until_ms - now);
    wait_ms = wait_ms < 0 ? left : std::min(wait_ms, left);
  }
  return paused_listeners.size() != before;
}

// Leaves a connection with nothing to read but its end: shut down both ways,
// and what its caller had sent read and dropped (a shut-down socket still
// gives the bytes that had arrived), so that the library reads no call
// from it that it could not answer.
void end_connection(int fd) {
  shutdown(fd, SHUT_RDWR);
  static char unread[kLargestRecord];
  for (int reads = 0; reads < 64 && recv(fd, unread, sizeof unread, MSG_DONTWAIT) > 0; ++reads) {
  }
}

// Brings the registrations in line with the library's poll set and the
// loop's own state of each slot. A descriptor that epoll refuses goes to
// `refused`, as the library is to be handed it: a connection as readable
// once it has been shut down, so that the library reads its end, closes it
// and destroys its transport (its caller then sees the connection close
// rather than wait for ever); a descriptor no longer open as POLLNVAL, as
// poll would report it, for the library to drop. False if a transport of
// start-up cannot be watched: it could not be served.
bool follow_poll_set(size_t count, std::vector<pollfd> &refused) {
  slots.resize(count);
  for (size_t index = 0; index < count; ++index) {
    int fd = svc_pollfd[index].fd;
    Slot &slot = slots[index];
    if (slot.fd != fd) {
      // This slot's descriptor was closed; its registration went with its
      // socket. Its number may already serve a new connection that the
      // library put in an earlier slot, walked and registered above (then
      // its slot is that one), and that registration stays.
      if (slot.fd >= 0 && descriptor(slot.fd).slot == index) {
        forget(slot.fd);
      }
      slot = {fd, false, kRoundsOfNewConnection};
    }
    if (fd < 0 || (!paused_listeners.empty() && is_paused(fd))) {
      continue;
    }
    auto events = static_cast<uint32_t>(slot.waiting_for_room ? POLLOUT : svc_pollfd[index].events);
    if (registration(fd) == events) {  // as it was
      continue;
    }
    descriptor(fd).slot = index;
    if (watch(fd, events)) {
      continue;
    }
    if (errno == EBADF) {
      refused.push_back({fd, svc_pollfd[index].events, POLLNVAL});
    } else if (kind_of(fd) == DescriptorKind::kConnection) {
      end_connection(fd);
      refused.push_back({fd, svc_pollfd[index].events, POLLIN});
    } else {
      return false;
    }
  }
  return true;
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
  static std::vector<pollfd> listeners;
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
  if (!paused_listeners.empty() && resume_listeners(timeout_ms)) {
    poll_set_may_have_changed = true;
  }
  ready.clear();
  if (poll_set_may_have_changed || count != slots.size()) {
    if (!follow_poll_set(count, ready)) {
      return poll_failed();
    }
    if (!ready.empty()) {  // refused descriptors, for the library to close
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
    accepting = accepting || kind_of(fd) == DescriptorKind::kListener;
    ready.push_back({fd, svc_pollfd[index].events, static_cast<short>(event.events)});
  }
  poll_set_may_have_changed = screen_ready(ready) || accepting;
  if (accepting) {
    // Listeners are served apart, each alone (below).
    listeners.clear();
    size_t kept = 0;
    for (const pollfd &entry : ready) {
      if (kind_of(entry.fd) == DescriptorKind::kListener) {
        listeners.push_back(entry);
      } else {
        ready[kept++] = entry;
      }
    }
    ready.resize(kept);
  }
  if (!ready.empty()) {
    svc_getreq_poll(ready.data(), static_cast<int>(ready.size()));
    // A connection that ended while served has left its slot.
    for (const pollfd &entry : ready) {
      if (svc_pollfd[known(entry.fd).slot].fd != entry.fd) {
        poll_set_may_have_changed = true;
      }
    }
  }
  if (!accepting) {
    return true;
  }
  // Each listener alone: the library accepts one connection, and on a
  // failed accept returns at once, errno as accept left it.
  for (pollfd &entry : listeners) {
    errno = 0;
    svc_getreq_poll(&entry, 1);
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      pause_listener(entry.fd);
    }
  }
  for (const Slot &slot : slots) {
    if (slot.fd >= 0 && kind_of(slot.fd) == DescriptorKind::kConnection) {
      registration(slot.fd) |= kMaybeGone;
    }
  }
  return true;
}
