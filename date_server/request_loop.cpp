// SPDX-License-Identifier: BSD-3-Clause
// The server's request loop: the library's svc_run rebuilt from its public
// pieces (svc_pollfd, svc_max_pollfd, svc_getreq_poll), with epoll for the
// wait, each round's ready descriptors screened before the library serves
// them, and the connections held kept within what the library can serve.
//
// What the loop mirrors of the library's state, and when:
// - The poll set. The library owns svc_pollfd: it adds a connection it
//   accepts in the first free slot, or in a new slot at the end when none is
//   free, sets a slot's fd to -1 when it closes one, and never moves an open
//   descriptor to another slot. The loop keeps, per slot, the descriptor it
//   last saw there (`slots`), the free slots lowest first (`free_slots`), and
//   per descriptor number its kind, its epoll registration, its slot and, of
//   a connection, when it last completed a call (`descriptors`). The library
//   changes the set in two places, and the loop looks only at what each can
//   change: serving a connection may close that connection (its slot is
//   looked at afterwards), and serving a listener accepts at most one
//   connection, found in the lowest free slot or in a new last one. Its third
//   place, the closing of idle connections when it accepts one, is never
//   reached (below). So a connection accepted or closed costs the loop the
//   same whatever the number held; the whole set is walked in the first
//   round only.
// - The epoll registrations, by descriptor number. Closing a socket removes
//   its registration, which the loop forgets when it sees the close. The
//   slots whose registration is to change (a connection accepted, one that
//   began or ended waiting for room, a listener whose pause ended) are
//   followed at the start of the next round (`pending`); any other round
//   leaves the registrations as they were.
// - A datagram's length, learnt by a peek before the library reads it
//   (the library decodes from its whole buffer: see decoded_within_message).
//
// The connections held. After accepting a connection, rendezvous_request
// counts the transports in the poll set and, at four fifths of its
// descriptor table, closes those idle for 15 s or else the one least
// recently read from, whatever it is doing: a client between its two calls,
// a call half read. The loop never lets it get there: it serves a listener
// only while the transports, the new connection counted, stay below that
// mark, and while accept has not run out of descriptors before it. At that
// point the server holds all it can, and a connection waiting to be
// accepted takes the place of one held (make_room): of one that has
// completed no call, or of one held for kLongestHoldWhileOthersWait since
// it was accepted, whatever its calls, never of one with bytes of a call
// waiting; those of the source holding the most give way first, then
// those that completed no call, then the one held longest. When none may,
// the listeners are paused, the kernel's backlog holding what arrives,
// until a connection ends or the oldest has been held long enough. So a
// flood, from one address or many, holds no connection against a newcomer
// for longer than that bound, and a client that sends its calls whole and
// whose pass is shorter than the bound is never cut off. The operator is
// told when a spell of making room begins and ends
// (note_waiting_on_full_table, end_quiet_spell). The table is what
// _rpc_dtablesize() says, the library's own measure, sized once at
// start-up: the soft descriptor limit
// (libtirpc 1.3.3), at most FD_SETSIZE (1.3.5 and later, where a connection
// whose descriptor is past the table is never put in the poll set).
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
//   the loop pauses it (pause_listener). It closes connections when
//   svc_open_fds(), the transports in the poll set, reaches
//   _rpc_dtablesize() / 5 * 4 after the accept.
// - A connection is closed only by the library's serving of it (a read that
//   fails or ends the stream, a record over the bound) or of a listener (the
//   closing above).
// - A descriptor handed over as POLLNVAL is only unregistered, never closed
//   nor destroyed; one handed over as readable whose read gives end of stream
//   is destroyed and closed. So a connection that epoll refuses, or that is
//   to make room, is shut down and handed over as readable; POLLNVAL is kept
//   for numbers no longer open.
#include "request_loop.h"

#include <err.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/rpc_com.h>
#include <rpc/svc_dg.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

enum class DescriptorKind { kConnection, kDatagram, kListener };

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
  // Of a connection held: when it was accepted (monotonic_ms), whether it
  // has completed a call, its source (an index in `sources`), and its
  // neighbours in the order in which the connections held were accepted.
  int64_t held_since_ms = 0;
  bool held = false;
  bool called = false;
  size_t source = 0;
  int older = -1;
  int newer = -1;
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

// Coarse (a few ms) and cheap: it serves timing of a second or more.
int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Where connections come from: an IPv4 address, or an IPv6 /64 (what one
// host is given), an IPv4-mapped address counting as the IPv4 one. What
// the server holds of a source lasts as long as it holds a connection
// from it.
struct SourceKey {
  bool ipv6 = false;
  uint64_t prefix = 0;
  bool operator==(const SourceKey &other) const {
    return ipv6 == other.ipv6 && prefix == other.prefix;
  }
};
struct SourceKeyHash {
  size_t operator()(const SourceKey &key) const {
    return std::hash<uint64_t>()(key.prefix) ^ static_cast<size_t>(key.ipv6);
  }
};
struct Source {
  SourceKey key;
  int held = 0;  // connections held from it
};
std::vector<Source> sources;
std::vector<size_t> free_sources;
std::unordered_map<SourceKey, size_t, SourceKeyHash> source_of_key;

SourceKey source_key(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  SourceKey key;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
    return key;  // all that cannot be told apart count as one
  }
  if (peer.ss_family == AF_INET6) {
    const in6_addr &address = reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
      uint32_t ipv4 = 0;
      memcpy(&ipv4, address.s6_addr + 12, sizeof ipv4);
      key.prefix = ipv4;
    } else {
      key.ipv6 = true;
      memcpy(&key.prefix, address.s6_addr, sizeof key.prefix);
    }
  } else if (peer.ss_family == AF_INET) {
    key.prefix = reinterpret_cast<const sockaddr_in &>(peer).sin_addr.s_addr;
  }
  return key;
}

size_t take_source(const SourceKey &key) {
  auto found = source_of_key.find(key);
  if (found != source_of_key.end()) {
    ++sources[found->second].held;
    return found->second;
  }
  size_t index = sources.size();
  if (!free_sources.empty()) {
    index = free_sources.back();
    free_sources.pop_back();
  } else {
    sources.emplace_back();
  }
  sources[index] = {key, 1};
  source_of_key.emplace(key, index);
  return index;
}

void let_go_of_source(size_t index) {
  if (--sources[index].held == 0) {
    source_of_key.erase(sources[index].key);
    free_sources.push_back(index);
  }
}

// The connections held, in the order in which they were accepted, the
// oldest first. Only the position in this list orders them: two accepted
// in the same tick of the coarse clock are still in their order.
int oldest_held = -1;
int newest_held = -1;
int connections_held = 0;

void hold(int fd, int64_t now_ms) {
  Descriptor &connection = known(fd);
  connection.held = true;
  connection.called = false;
  connection.held_since_ms = now_ms;
  connection.source = take_source(source_key(fd));
  connection.older = newest_held;
  connection.newer = -1;
  (newest_held >= 0 ? known(newest_held).newer : oldest_held) = fd;
  newest_held = fd;
  ++connections_held;
}

void release(int fd) {
  Descriptor &connection = known(fd);
  if (!connection.held) {
    return;
  }
  connection.held = false;
  --connections_held;
  let_go_of_source(connection.source);
  (connection.older >= 0 ? known(connection.older).newer : oldest_held) = connection.newer;
  (connection.newer >= 0 ? known(connection.newer).older : newest_held) = connection.older;
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

// How long a connection is held, at the least, before it may be closed to
// make room for one waiting to be accepted, whatever its calls. A client's
// pass (two calls, each answered in the round that reads it) takes
// milliseconds; one that holds its connection a second between its calls
// is well within it. A table full of connections that keep calling turns
// over within it, so a newcomer waits for it about as many times as the
// table holds the connections queued ahead of it.
constexpr int64_t kLongestHoldWhileOthersWait = 3000;  // ms

// A spell of making room ends once no connection has waited on a full
// table for this long: longer than a listener is ever paused for room.
constexpr int64_t kQuietThatEndsASpell = 2 * kLongestHoldWhileOthersWait;  // ms

// How long a shortage of descriptors, met by accept, is taken to last:
// then one more connection is tried, in case the descriptors that
// were short were held only for a moment.
constexpr int64_t kDescriptorShortageLasts = 1000;  // ms

// The most connections that making room looks past in one round because
// bytes of a call are waiting on them (they are served first).
constexpr int kMostLookedPast = 16;

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
// The empty slots, a heap with the lowest on top: where the library puts
// the next connection it accepts.
std::vector<size_t> free_slots;
// Slots whose registration is to be brought in line in the next round.
std::vector<size_t> pending;
// Transports in the poll set: what rendezvous_request counts.
int open_transports = 0;
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
          pending.push_back(known(entry.fd).slot);
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
        pending.push_back(known(entry.fd).slot);
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

// Registers fd for `events`. False, with errno, when epoll refuses: EBADF
// for a descriptor that is no longer open, ENOMEM or ENOSPC (past the
// user's max_user_watches) for one that is.
bool watch(int fd, uint32_t events) {
  uint32_t &current = registration(fd);
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  int operation = current == kNotRegistered ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(epoll_fd, operation, fd, &event) != 0 &&
      (errno != EEXIST || epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event) != 0)) {
    current = kNotRegistered;
    return false;
  }
  current = events;
  return true;
}

// A descriptor that left the library's poll set was closed by the library,
// which removed its registration.
void forget(int fd) { registration(fd) = kNotRegistered; }

// Listeners left out of the wait, and the time (monotonic_ms) until which
// each is.
struct PausedListener {
  int fd;
  int64_t until_ms;
};
std::vector<PausedListener> paused_listeners;

bool is_paused(int fd) {
  return std::any_of(paused_listeners.begin(), paused_listeners.end(),
                     [fd](const PausedListener &paused) { return paused.fd == fd; });
}

// A listener whose connection cannot be accepted now stays ready: served
// again at once it would fail again, every round, at full CPU. It is left
// out of the wait until `until_ms` instead, or until a connection ends;
// connections keep queueing in the kernel meanwhile.
void pause_listener(int fd, int64_t until_ms) {
  if (is_paused(fd)) {
    return;
  }
  epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  forget(fd);
  paused_listeners.push_back({fd, until_ms});
}

// Ends the pauses that are over (all, if `all`): their listeners are
// watched again from the next round. `wait_ms` is cut down to the end of
// the next one still running.
void resume_listeners(bool all, int &wait_ms) {
  int64_t now = monotonic_ms();
  auto over = [&](const PausedListener &paused) {
    if (all || paused.until_ms <= now) {
      pending.push_back(known(paused.fd).slot);
      return true;
    }
    auto left = static_cast<int>(paused.until_ms - now);
    wait_ms = wait_ms < 0 ? left : std::min(wait_ms, left);
    return false;
  };
  paused_listeners.erase(std::remove_if(paused_listeners.begin(), paused_listeners.end(), over),
                         paused_listeners.end());
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

// A connection taken into the poll set in `index`, accepted now (or there
// at the first walk).
void note_taken(size_t index) {
  int fd = svc_pollfd[index].fd;
  slots[index] = {fd, false, kRoundsOfNewConnection};
  Descriptor &taken = descriptor(fd);
  taken.slot = index;
  ++open_transports;
  if (taken.kind == DescriptorKind::kConnection) {
    hold(fd, monotonic_ms());
  }
  pending.push_back(index);
}

// Whether the library's serving of fd closed it; if so the loop lets it go,
// and the listeners paused for want of room are watched again.
void note_if_closed(int fd) {
  size_t index = known(fd).slot;
  if (svc_pollfd[index].fd == fd) {
    return;
  }
  slots[index] = Slot{};
  free_slots.push_back(index);
  std::push_heap(free_slots.begin(), free_slots.end(), std::greater<>());
  forget(fd);
  release(fd);
  --open_transports;
  if (!paused_listeners.empty()) {
    int unused = -1;
    resume_listeners(true, unused);
  }
}

// Hands descriptors over to the library to close (see follow_slot), and
// lets go of those it closed.
void close_refused(std::vector<pollfd> &refused) {
  if (refused.empty()) {
    return;
  }
  svc_getreq_poll(refused.data(), static_cast<int>(refused.size()));
  for (const pollfd &entry : refused) {
    note_if_closed(entry.fd);
  }
  refused.clear();
}

// Brings the registration of the descriptor in a slot in line with the
// library's poll set and the loop's own state of the slot. A descriptor
// that epoll refuses goes to `refused`, as the library is to be handed it:
// a connection as readable once it has been shut down, so that the library
// reads its end, closes it and destroys its transport (its caller then sees
// the connection close rather than wait for ever); a descriptor no longer
// open as POLLNVAL, as poll would report it, for the library to drop. False
// if a transport of start-up cannot be watched: it could not be served.
bool follow_slot(size_t index, std::vector<pollfd> &refused) {
  const Slot &slot = slots[index];
  int fd = slot.fd;
  if (fd < 0 || svc_pollfd[index].fd != fd || (!paused_listeners.empty() && is_paused(fd))) {
    return true;
  }
  auto events = static_cast<uint32_t>(slot.waiting_for_room ? POLLOUT : svc_pollfd[index].events);
  if (registration(fd) == events || watch(fd, events)) {
    return true;
  }
  if (errno == EBADF) {
    refused.push_back({fd, svc_pollfd[index].events, POLLNVAL});
  } else if (kind_of(fd) == DescriptorKind::kConnection) {
    end_connection(fd);
    refused.push_back({fd, svc_pollfd[index].events, POLLIN});
  } else {
    return false;
  }
  return true;
}

// Follows the slots that changed since the last round, or, in the first
// round, every slot of the poll set.
bool follow_poll_set(size_t count, std::vector<pollfd> &refused) {
  if (slots.size() < count) {
    size_t first = slots.size();
    slots.resize(count);
    for (size_t index = first; index < count; ++index) {
      if (svc_pollfd[index].fd >= 0) {
        note_taken(index);
      } else {
        free_slots.push_back(index);
        std::push_heap(free_slots.begin(), free_slots.end(), std::greater<>());
      }
    }
  }
  for (size_t index : pending) {
    if (!follow_slot(index, refused)) {
      return false;
    }
  }
  pending.clear();
  return true;
}

// The library's measure of its descriptor table, and the transports at
// which rendezvous_request starts closing connections.
int reaping_mark() {
  static const int mark = _rpc_dtablesize() / 5 * 4;
  return mark;
}

// The transports held when accept last ran out of descriptors (EMFILE),
// and when: the process's own limit, when it comes before the library's
// mark, taken as a cap for kDescriptorShortageLasts.
int descriptors_ran_out_at = INT_MAX;
int64_t descriptors_ran_out_ms = 0;

bool room_for_a_connection() {
  return open_transports + 1 < reaping_mark() &&
         (open_transports < descriptors_ran_out_at ||
          monotonic_ms() - descriptors_ran_out_ms >= kDescriptorShortageLasts);
}

// A spell of making room for waiting connections: from the first time a
// connection waits on a full table until none has for kQuietThatEndsASpell.
// The operator is told when it begins and when it ends, with what it
// closed; never of each connection. The sources counted are kept only up
// to a bound, so that a flood from ever new addresses cannot grow them.
constexpr size_t kMostSourcesCounted = 10000;
struct RoomSpell {
  bool on = false;
  int64_t began_ms = 0;
  int64_t last_wait_ms = 0;
  long closed = 0;
  std::unordered_set<SourceKey, SourceKeyHash> sources;
};
RoomSpell spell;

void note_waiting_on_full_table(int64_t now_ms) {
  if (!spell.on) {
    spell.on = true;
    spell.began_ms = now_ms;
    fprintf(stderr, "making room for waiting connections: %d held\n", connections_held);
  }
  spell.last_wait_ms = now_ms;
}

void note_closed_for_room(const SourceKey &source) {
  ++spell.closed;
  if (spell.sources.size() < kMostSourcesCounted) {
    spell.sources.insert(source);
  }
}

// Ends the spell once it has been quiet long enough; otherwise cuts
// `wait_ms` down to when it would end.
void end_quiet_spell(int &wait_ms) {
  int64_t ends_at = spell.last_wait_ms + kQuietThatEndsASpell;
  int64_t now = monotonic_ms();
  if (now < ends_at) {
    auto left = static_cast<int>(ends_at - now);
    wait_ms = wait_ms < 0 ? left : std::min(wait_ms, left);
    return;
  }
  fprintf(stderr, "made room for waiting connections: %ld closed, from %s%zu sources, in %lld s\n",
          spell.closed, spell.sources.size() < kMostSourcesCounted ? "" : "at least ",
          spell.sources.size(), static_cast<long long>((spell.last_wait_ms - spell.began_ms) / 1000));
  spell = RoomSpell{};
}

// Whether `candidate` gives way before `chosen` (-1: none yet): the
// connections of the source holding the most first, of those the ones that
// completed no call, then the one held longest (the walk is oldest first,
// so a later one never wins a tie).
bool gives_way_before(const Descriptor &candidate, int chosen) {
  if (chosen < 0) {
    return true;
  }
  const Descriptor &other = known(chosen);
  int held = sources[candidate.source].held;
  int other_held = sources[other.source].held;
  if (held != other_held) {
    return held > other_held;
  }
  return !candidate.called && other.called;
}

// Makes room for a connection waiting to be accepted. The connections that
// may give way: one that completed no call, and one held for
// kLongestHoldWhileOthersWait, whatever its calls; of those, the first by
// gives_way_before is shut down and handed to the library to close, unless
// bytes of a call are waiting on it (it is served first, in the next
// round): then the next is looked at. One waiting for room to send a reply
// may give way: its client does not read. True if it made room; otherwise
// `retry_at_ms` says when to try again: at once (the next round), or once
// a connection has been held long enough.
bool make_room(int64_t &retry_at_ms, std::vector<pollfd> &refused) {
  static std::vector<int> looked_past;
  int64_t now = monotonic_ms();
  note_waiting_on_full_table(now);
  retry_at_ms = INT64_MAX;
  looked_past.clear();
  while (looked_past.size() < kMostLookedPast) {
    int chosen = -1;
    for (int fd = oldest_held; fd >= 0; fd = known(fd).newer) {
      const Descriptor &connection = known(fd);
      if (connection.called && now - connection.held_since_ms < kLongestHoldWhileOthersWait) {
        retry_at_ms = std::min(retry_at_ms, connection.held_since_ms + kLongestHoldWhileOthersWait);
        continue;
      }
      if (gives_way_before(connection, chosen) &&
          std::find(looked_past.begin(), looked_past.end(), fd) == looked_past.end()) {
        chosen = fd;
      }
    }
    if (chosen < 0) {
      break;
    }
    char byte = 0;
    if (!slot_of(chosen).waiting_for_room && recv(chosen, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
      looked_past.push_back(chosen);
      continue;
    }
    note_closed_for_room(sources[known(chosen).source].key);
    end_connection(chosen);
    refused.push_back({chosen, svc_pollfd[known(chosen).slot].events, POLLIN});
    close_refused(refused);
    return room_for_a_connection();
  }
  if (!looked_past.empty()) {
    retry_at_ms = now;
  } else if (retry_at_ms == INT64_MAX) {
    retry_at_ms = now + kAcceptPause;
  }
  return false;
}

// Serves a listener, which accepts one connection, found in the lowest free
// slot or in a new last one. False if it accepted none for want of
// descriptors or memory.
bool accept_connection(pollfd &listener) {
  errno = 0;
  svc_getreq_poll(&listener, 1);
  int error = errno;
  auto count = static_cast<size_t>(svc_max_pollfd);
  if (!free_slots.empty() && svc_pollfd[free_slots.front()].fd >= 0) {
    size_t index = free_slots.front();
    std::pop_heap(free_slots.begin(), free_slots.end(), std::greater<>());
    free_slots.pop_back();
    note_taken(index);
  } else if (count > slots.size()) {
    slots.resize(count);
    note_taken(count - 1);
  } else if (error == EMFILE) {
    descriptors_ran_out_at = open_transports;
    descriptors_ran_out_ms = monotonic_ms();
  } else if (error == ENFILE || error == ENOBUFS || error == ENOMEM) {
    return false;
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

void note_call(const SVCXPRT *transp) {
  int fd = transp->xp_fd;
  if (kind_of(fd) == DescriptorKind::kConnection && known(fd).held) {
    known(fd).called = true;
  }
}

// As the library's loop ends: with its warning.
static bool poll_failed() {
  warn("svc_run: - poll failed");
  return false;
}

// One round of the library's request loop (svc_run), built from its own
// pieces, so that the ready descriptors pass screen_ready before the library
// serves them, and a listener is served only while there is room for the
// connection it accepts. In every other respect it is the library's: an
// interrupted wait is retried in the next round, and a wait that fails for
// good ends the loop with the library's warning.
bool serve_round(int timeout_ms) {
  static std::vector<pollfd> ready;
  static std::vector<pollfd> listeners;
  static std::vector<pollfd> refused;
  static std::vector<epoll_event> events;
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
  if (!paused_listeners.empty()) {
    resume_listeners(false, timeout_ms);
  }
  if (spell.on) {
    end_quiet_spell(timeout_ms);
  }
  if (!pending.empty() || count != slots.size()) {
    if (!follow_poll_set(count, refused)) {
      return poll_failed();
    }
    if (!refused.empty()) {  // for the library to close
      close_refused(refused);
      return true;
    }
  }
  events.resize(std::max<size_t>(count, 1));
  int got = epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout_ms);
  if (got < 0) {
    return errno == EINTR || poll_failed();
  }
  ready.clear();
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
  screen_ready(ready);
  listeners.clear();
  if (accepting) {
    // Listeners are served apart, each alone (below).
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
      if (kind_of(entry.fd) == DescriptorKind::kConnection) {
        note_if_closed(entry.fd);
      }
    }
  }
  // Each listener alone, while there is room: the library accepts one
  // connection, and on a failed accept returns at once, errno as accept
  // left it.
  for (pollfd &entry : listeners) {
    int64_t retry_at_ms = 0;
    if (!room_for_a_connection() && !make_room(retry_at_ms, refused)) {
      if (retry_at_ms > monotonic_ms()) {
        pause_listener(entry.fd, retry_at_ms);
      }
    } else if (!accept_connection(entry)) {
      pause_listener(entry.fd, monotonic_ms() + kAcceptPause);
    }
  }
  return true;
}
