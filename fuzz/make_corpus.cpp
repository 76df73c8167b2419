// SPDX-License-Identifier: BSD-3-Clause
// Writes the fuzz targets' seed inputs. Calls are encoded as the client
// encodes its own (encode_call: libtirpc's xdr_callmsg and the argument's
// filter); replies are captured from the real rpcbind and the real
// date_server on loopback. make_corpus.sh runs it in a network namespace of
// its own, with those two started there.
//
//   make_corpus encoded CORPUS       server_datagram and server_stream
//   make_corpus unregistered CORPUS  port mapper replies, server not registered
//   make_corpus registered CORPUS    port mapper replies and the server's
//                                    replies, server registered
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/rpc.h>
// After rpc.h, which it needs.
#include <rpc/pmap_prot.h>
#include <rpc/rpcb_prot.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "client_handle.h"
#include "date.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDateProgram = 0x31423456;
constexpr uint32_t kDateVersion = 1;
constexpr uint32_t kNullProc = 0;
constexpr uint32_t kBinDate = 1;
constexpr uint32_t kStrDate = 2;
constexpr uint32_t kPortMapperProgram = 100000;
constexpr uint32_t kGetAddrList = 11;  // rpcbind version 4
constexpr size_t kLargestCall = 844;

std::string corpus;

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "make_corpus: %s\n", what.c_str());
  exit(1);
}

void put_u32(uint8_t *at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

uint32_t get_u32(const uint8_t *at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

void append_u32(Bytes *out, uint32_t value) {
  uint8_t word[4];
  put_u32(word, value);
  out->insert(out->end(), word, word + 4);
}

void write_seed(const std::string &target, const std::string &name, const Bytes &data) {
  if (data.size() >= 2048) {
    fail(target + "/" + name + " is over 2 KB");
  }
  std::string path = corpus + "/" + target + "/" + name;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!file) {
    fail("cannot write " + path);
  }
  printf("%s/%s (%zu bytes)\n", target.c_str(), name.c_str(), data.size());
}

Bytes with_choice(uint8_t choice, const Bytes &data) {
  Bytes out{choice};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// ---- Calls, as libtirpc encodes them.

// The call message, with no credentials unless given; a fuzz seed must fit.
Bytes encoded_call(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure,
                   xdrproc_t encode_arguments, void *arguments,
                   const struct opaque_auth &credential = _null_auth,
                   const struct opaque_auth &verifier = _null_auth) {
  char buffer[1024];
  u_int length = encode_call(buffer, sizeof buffer, xid, program, version, procedure,
                             encode_arguments, arguments, credential, verifier);
  if (length == 0) {
    fail("cannot encode a call of procedure " + std::to_string(procedure));
  }
  return Bytes(buffer, buffer + length);
}

// kGss: an RPCSEC_GSS credential (RFC 2203), which the server refuses.
enum class Credential { kNone, kSys, kGss };

struct Call {
  uint32_t xid = 0x5eed0001;
  uint32_t rpcvers = RPC_MSG_VERSION;  // word 2 of the call
  uint32_t program = kDateProgram;
  uint32_t version = kDateVersion;
  uint32_t procedure = kNullProc;
  Credential credential = Credential::kNone;
  // Of an RPCSEC_GSS credential: DATA 0, INIT 1, CONTINUE_INIT 2, DESTROY 3.
  uint32_t gss_procedure = 0;
  bool has_argument = false;
  int argument = 0;
};

// The call header through the credential and verifier, then the argument.
Bytes encode(const Call &call) {
  AUTH *auth;
  if (call.credential == Credential::kSys) {
    gid_t gids[] = {100, 24, 27};
    auth = authunix_create(const_cast<char *>("fuzz-seed-host"), 1000, 1000, 3, gids);
  } else {
    auth = authnone_create();
  }
  if (auth == nullptr) {
    fail("no credential");
  }
  struct opaque_auth credential = auth->ah_cred;
  // Version 1, the GSS procedure, sequence number 0, service none, and a
  // context handle: none yet for INIT, four bytes otherwise.
  Bytes gss_credential;
  if (call.credential == Credential::kGss) {
    for (uint32_t word : {1U, call.gss_procedure, 0U, 1U}) {
      gss_credential.resize(gss_credential.size() + 4);
      put_u32(&gss_credential[gss_credential.size() - 4], word);
    }
    Bytes handle = call.gss_procedure == 1 ? Bytes{0, 0, 0, 0} : Bytes{0, 0, 0, 4, 0, 0, 0, 1};
    gss_credential.insert(gss_credential.end(), handle.begin(), handle.end());
    credential = {6, reinterpret_cast<caddr_t>(gss_credential.data()),
                  static_cast<u_int>(gss_credential.size())};
  }
  int argument = call.argument;
  Bytes out = encoded_call(call.xid, call.program, call.version, call.procedure,
                           call.has_argument ? as_xdrproc(xdr_int) : as_xdrproc(xdr_void),
                           &argument, credential, auth->ah_verf);
  // A context's set-up carries a GSS token: eight bytes of one.
  if (call.credential == Credential::kGss && (call.gss_procedure == 1 || call.gss_procedure == 2)) {
    Bytes token = {0, 0, 0, 8, 0x60, 0x06, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86};
    out.insert(out.end(), token.begin(), token.end());
  }
  // The library encodes version 2 only; another goes in by hand.
  put_u32(&out[8], call.rpcvers);
  if (call.credential == Credential::kSys) {
    auth_destroy(auth);
  }
  return out;
}

Call date_call(uint32_t procedure, Credential credential = Credential::kNone, int argument = 0) {
  Call call;
  call.procedure = procedure;
  call.credential = credential;
  call.has_argument = procedure == kStrDate;
  call.argument = argument;
  return call;
}

// The largest call the server takes: STR_DATE with a credential and a
// verifier of 400 bytes each, the most RFC 5531 allows. The credential is a
// real AUTH_SYS body, zero-filled up to 400 bytes; the verifier is
// AUTH_NONE-flavoured.
Bytes largest_call() {
  Bytes sys = encode(date_call(kStrDate, Credential::kSys, 1796719620));
  // xid, CALL, rpcvers, program, version, procedure, flavour, length.
  uint32_t sys_length = get_u32(&sys[28]);
  Bytes body(sys.begin() + 32, sys.begin() + 32 + sys_length);
  body.resize(MAX_AUTH_BYTES, 0);

  struct opaque_auth credential = {AUTH_SYS, reinterpret_cast<caddr_t>(body.data()),
                                   MAX_AUTH_BYTES};
  Bytes verifier_body(MAX_AUTH_BYTES, 0);
  struct opaque_auth verifier = {AUTH_NONE, reinterpret_cast<caddr_t>(verifier_body.data()),
                                 MAX_AUTH_BYTES};
  int argument = 1796719620;
  Bytes out = encoded_call(0x5eed0844, kDateProgram, kDateVersion, kStrDate,
                           as_xdrproc(xdr_int), &argument, credential, verifier);
  if (out.size() != kLargestCall) {
    fail("the largest call is " + std::to_string(out.size()) + " bytes");
  }
  return out;
}

// `message` as a record: fragments ending at `cuts`, then the rest as the
// last fragment.
Bytes record(const Bytes &message, std::vector<size_t> cuts = {}) {
  Bytes out;
  size_t at = 0;
  cuts.push_back(message.size());
  for (size_t i = 0; i < cuts.size(); ++i) {
    bool last = i + 1 == cuts.size();
    append_u32(&out, static_cast<uint32_t>(cuts[i] - at) | (last ? 0x80000000U : 0));
    out.insert(out.end(), message.begin() + static_cast<long>(at),
               message.begin() + static_cast<long>(cuts[i]));
    at = cuts[i];
  }
  return out;
}

Bytes joined(const Bytes &first, const Bytes &second) {
  Bytes out = first;
  out.insert(out.end(), second.begin(), second.end());
  return out;
}

// Procedure 0 with an RPCSEC_GSS credential of each GSS procedure.
std::vector<std::pair<std::string, Bytes>> gss_seeds() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  const std::pair<const char *, uint32_t> procedures[] = {
      {"data", 0}, {"init", 1}, {"continue-init", 2}, {"destroy", 3}};
  for (const auto &[name, gss_procedure] : procedures) {
    Call call = date_call(kNullProc);
    call.credential = Credential::kGss;
    call.gss_procedure = gss_procedure;
    seeds.emplace_back(name, encode(call));
  }
  return seeds;
}

void write_encoded() {
  const std::string datagram = "server_datagram";
  struct Seed {
    std::string name;
    Call call;
    bool both_families;
  };
  Call proc3 = date_call(3);
  Call version2 = date_call(kBinDate);
  version2.version = 2;
  Call other_program = date_call(kBinDate);
  other_program.program = kDateProgram + 1;
  Call rpcvers3 = date_call(kBinDate);
  rpcvers3.rpcvers = 3;
  std::vector<Seed> seeds = {
      {"proc0-auth-none", date_call(kNullProc), true},
      {"proc0-auth-sys", date_call(kNullProc, Credential::kSys), false},
      {"proc1-auth-none", date_call(kBinDate), true},
      {"proc1-auth-sys", date_call(kBinDate, Credential::kSys), true},
      {"proc2-arg0-auth-none", date_call(kStrDate, Credential::kNone, 0), true},
      {"proc2-arg-minus1-auth-sys", date_call(kStrDate, Credential::kSys, -1), false},
      {"proc2-arg1796719620-auth-none", date_call(kStrDate, Credential::kNone, 1796719620), false},
      {"proc2-arg1796719620-auth-sys", date_call(kStrDate, Credential::kSys, 1796719620), true},
      {"proc3-auth-none", proc3, false},
      {"vers2-proc1", version2, false},
      {"other-program-proc1", other_program, false},
      {"rpcvers3-proc1", rpcvers3, false},
  };
  for (const Seed &seed : seeds) {
    Bytes call = encode(seed.call);
    write_seed(datagram, "udp-" + seed.name, with_choice(0, call));
    if (seed.both_families) {
      write_seed(datagram, "udp6-" + seed.name, with_choice(1, call));
    }
  }
  Bytes largest = largest_call();
  write_seed(datagram, "udp-largest-call-844", with_choice(0, largest));
  write_seed(datagram, "udp6-largest-call-844", with_choice(1, largest));
  Bytes cut_short = encode(date_call(kStrDate));
  cut_short.resize(cut_short.size() - 2);
  write_seed(datagram, "udp-proc2-argument-cut-short", with_choice(0, cut_short));
  const std::vector<std::pair<std::string, Bytes>> gss_calls = gss_seeds();
  for (const auto &[name, call] : gss_calls) {
    write_seed(datagram, "udp-rpcsec-gss-" + name, with_choice(0, call));
    write_seed(datagram, "udp6-rpcsec-gss-" + name, with_choice(1, call));
  }

  const std::string stream = "server_stream";
  Bytes proc0 = encode(date_call(kNullProc));
  Bytes proc1 = encode(date_call(kBinDate));
  Bytes proc2 = encode(date_call(kStrDate, Credential::kNone, 1796719620));
  Call second = date_call(kStrDate, Credential::kNone, 1796719620);
  second.xid = 0x5eed0002;
  Bytes pass = joined(record(proc1), record(encode(second)));
  for (uint8_t family : {uint8_t{0}, uint8_t{1}}) {
    std::string prefix = family == 0 ? "tcp-" : "tcp6-";
    write_seed(stream, prefix + "proc0-one-record", with_choice(family, record(proc0)));
    write_seed(stream, prefix + "proc1-one-record", with_choice(family, record(proc1)));
    write_seed(stream, prefix + "proc2-one-record", with_choice(family, record(proc2)));
    write_seed(stream, prefix + "pass-proc1-proc2", with_choice(family, pass));
    write_seed(stream, prefix + "proc2-two-fragments", with_choice(family, record(proc2, {12})));
    write_seed(stream, prefix + "largest-call-844", with_choice(family, record(largest)));
  }
  write_seed(stream, "tcp-proc3-one-record", with_choice(0, record(encode(proc3))));
  for (const auto &[name, call] : gss_calls) {
    write_seed(stream, "tcp-rpcsec-gss-" + name, with_choice(0, record(call)));
    write_seed(stream, "tcp6-rpcsec-gss-" + name, with_choice(1, record(call)));
  }
  write_seed(stream, "tcp-proc2-auth-sys-one-record",
             with_choice(0, record(encode(date_call(kStrDate, Credential::kSys, -1)))));
  write_seed(stream, "tcp-proc2-three-fragments", with_choice(0, record(proc2, {4, 25})));
  // A record of 1025 bytes, one over the bound: a call padded with zeros.
  Bytes over = proc2;
  over.resize(1025, 0);
  write_seed(stream, "tcp-record-over-1024", with_choice(0, record(over)));
  // The mark of a whole call, and only half of the call.
  Bytes half = record(proc2);
  half.resize(4 + proc2.size() / 2);
  write_seed(stream, "tcp-half-record", with_choice(0, half));
}

// ---- Exchanges with the real port mapper and server.

int udp_socket_to(int family, uint16_t port) {
  int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET6) {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(port);
    length = sizeof *in6;
  } else {
    auto *in = reinterpret_cast<sockaddr_in *>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(port);
    length = sizeof *in;
  }
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    fail("cannot connect to the port mapper");
  }
  return fd;
}

// Sends `query` to the port mapper on loopback of `family` and returns its
// reply (the one with the query's xid), retrying a lost datagram.
Bytes ask_port_mapper(int family, const Bytes &query) {
  int fd = udp_socket_to(family, PMAPPORT);
  for (int attempt = 0; attempt < 5; ++attempt) {
    send(fd, query.data(), query.size(), 0);
    pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, 1000) == 1) {
      uint8_t reply[2048];
      ssize_t got = recv(fd, reply, sizeof reply, 0);
      if (got >= 4 && get_u32(reply) == get_u32(query.data())) {
        close(fd);
        return Bytes(reply, reply + got);
      }
    }
  }
  fail("the port mapper does not answer");
}

Bytes get_port_query(uint32_t xid, uint32_t version = PMAPVERS, uint32_t procedure = PMAPPROC_GETPORT) {
  struct pmap query = {kDateProgram, kDateVersion, IPPROTO_TCP, 0};
  return encoded_call(xid, kPortMapperProgram, version, procedure,
                      as_xdrproc(xdr_pmap), &query);
}

Bytes get_addr_list_query(uint32_t xid, const char *netid) {
  struct rpcb query = {kDateProgram, kDateVersion, const_cast<char *>(netid),
                       const_cast<char *>(""), const_cast<char *>("")};
  return encoded_call(xid, kPortMapperProgram, RPCBVERS4, kGetAddrList,
                      as_xdrproc(xdr_rpcb), &query);
}

// A reply as the targets take it: its xid zero (they put the query's there).
Bytes xid_zeroed(Bytes reply) {
  put_u32(reply.data(), 0);
  return reply;
}

// The first word of a successful reply's result (a GETPORT reply's port;
// of a GETADDRLIST reply, 1 when the list has an entry), 0 otherwise: xid,
// REPLY, MSG_ACCEPTED, verifier (flavour, length, body), SUCCESS, result.
uint32_t first_result_word(const Bytes &reply) {
  if (reply.size() < 20) {
    return 0;
  }
  size_t verifier_length = (get_u32(&reply[16]) + 3) & ~3U;
  size_t at = 20 + verifier_length;
  if (reply.size() < at + 8 || get_u32(&reply[8]) != MSG_ACCEPTED || get_u32(&reply[at]) != SUCCESS) {
    return 0;
  }
  return get_u32(&reply[at + 4]);
}

uint16_t reply_port(const Bytes &reply) { return static_cast<uint16_t>(first_result_word(reply)); }

void write_port_mapper_replies(bool registered) {
  const std::string target = "client_port_mapper";
  std::string state = registered ? "registered" : "not-registered";
  Bytes port_reply = ask_port_mapper(AF_INET, get_port_query(0x9e700001));
  if ((reply_port(port_reply) != 0) != registered) {
    fail("rpcbind's GETPORT answer does not match the registration");
  }
  write_seed(target, "getport-" + state, with_choice(0, xid_zeroed(port_reply)));
  Bytes list_reply = ask_port_mapper(AF_INET6, get_addr_list_query(0x9e700002, "tcp6"));
  write_seed(target, "getaddrlist-tcp6-" + state, with_choice(1, xid_zeroed(list_reply)));
  if (!registered) {
    return;
  }
  // rpcbind answers with every address of the program and version in the
  // family the query came in (over ::1: its udp6 and tcp6 entries, which
  // is the several-entry list above). Over 127.0.0.1 the list has the tcp
  // and udp entries only: no tcp6 for the client to find.
  Bytes ipv4_list = ask_port_mapper(AF_INET, get_addr_list_query(0x9e700003, "tcp6"));
  write_seed(target, "getaddrlist-asked-over-ipv4-registered", with_choice(1, xid_zeroed(ipv4_list)));
  // rpcbind's own refusals: a version it does not have, a procedure it
  // does not have.
  write_seed(target, "getport-prog-mismatch",
             with_choice(0, xid_zeroed(ask_port_mapper(AF_INET, get_port_query(0x9e700004, 9)))));
  write_seed(target, "getport-proc-unavail",
             with_choice(0, xid_zeroed(ask_port_mapper(
                                AF_INET, get_port_query(0x9e700005, PMAPVERS, 99)))));
}

// The server registers tcp before tcp6: done once tcp6 has an address.
bool wait_for_registration() {
  for (int tries = 0; tries < 100; ++tries) {
    Bytes reply = ask_port_mapper(AF_INET6, get_addr_list_query(0x9e7000ff, "tcp6"));
    if (first_result_word(reply) != 0) {
      return true;
    }
    usleep(50000);
  }
  return false;
}

uint16_t server_tcp_port() {
  uint16_t port = reply_port(ask_port_mapper(AF_INET, get_port_query(0x9e700010)));
  if (port == 0) {
    fail("the server is not registered for tcp");
  }
  return port;
}

bool read_all(int fd, uint8_t *at, size_t length) {
  while (length > 0) {
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 3000) != 1) {
      return false;
    }
    ssize_t got = recv(fd, at, length, 0);
    if (got <= 0) {
      return false;
    }
    at += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

// A TCP connection to the server.
class Connection {
 public:
  Connection() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server_tcp_port());
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      fail("cannot connect to the server");
    }
  }
  ~Connection() { close(fd_); }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // Sends `call` as one record and returns the reply's message, its
  // fragments joined; empty if the server closes the connection or sends
  // nothing within 3 s.
  Bytes try_exchange(const Bytes &call) {
    Bytes out = record(call);
    if (send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
      fail("cannot send a call");
    }
    Bytes message;
    for (bool last = false; !last;) {
      uint8_t mark[4];
      if (!read_all(fd_, mark, 4)) {
        return {};
      }
      last = (get_u32(mark) & 0x80000000U) != 0;
      size_t length = get_u32(mark) & 0x7fffffffU;
      if (length > 4096) {
        fail("the server's reply fragment is too long");
      }
      size_t at = message.size();
      message.resize(at + length);
      if (!read_all(fd_, message.data() + at, length)) {
        fail("the server's reply ends early");
      }
    }
    return message;
  }

  Bytes exchange(const Bytes &call) {
    Bytes reply = try_exchange(call);
    if (reply.empty()) {
      fail("the server sent no reply");
    }
    return reply;
  }

 private:
  int fd_ = -1;
};

// A reply for client_calls: xid zeroed, as a record with its fragments
// ending at `cuts`.
Bytes reply_record(const Bytes &reply, std::vector<size_t> cuts = {}) {
  return record(xid_zeroed(reply), std::move(cuts));
}

// MSG_DENIED, RPC_MISMATCH, versions 2 to 2.
Bytes encoded_rpc_mismatch() {
  struct rpc_msg message {};
  message.rm_xid = 0;
  message.rm_direction = REPLY;
  message.rm_reply.rp_stat = MSG_DENIED;
  message.rjcted_rply.rj_stat = RPC_MISMATCH;
  message.rjcted_rply.rj_vers.low = RPC_MSG_VERSION;
  message.rjcted_rply.rj_vers.high = RPC_MSG_VERSION;
  char buffer[64];
  XDR xdrs;
  xdrmem_create(&xdrs, buffer, sizeof buffer, XDR_ENCODE);
  if (!xdr_replymsg(&xdrs, &message)) {
    fail("cannot encode an RPC_MISMATCH reply");
  }
  return Bytes(buffer, buffer + xdr_getpos(&xdrs));
}

Bytes exchange_alone(const Call &call) {
  Connection connection;
  return connection.exchange(encode(call));
}

void write_server_replies() {
  const std::string target = "client_calls";
  Bytes time_reply;
  Bytes date_reply;
  {
    Connection connection;
    Call first = date_call(kBinDate);
    time_reply = connection.exchange(encode(first));
    // xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier (8), SUCCESS, the time.
    if (time_reply.size() != 28) {
      fail("the reply to BIN_DATE is not 28 bytes");
    }
    Call second = date_call(kStrDate, Credential::kNone, static_cast<int>(get_u32(&time_reply[24])));
    second.xid = first.xid + 1;
    date_reply = connection.exchange(encode(second));
  }
  Bytes good_time = reply_record(time_reply);
  write_seed(target, "pass-captured", joined(good_time, reply_record(date_reply)));
  write_seed(target, "pass-replies-two-fragments",
             joined(reply_record(time_reply, {12}), reply_record(date_reply, {16})));
  write_seed(target, "pass-replies-three-fragments",
             joined(reply_record(time_reply, {8, 20}), reply_record(date_reply, {4, 30})));
  write_seed(target, "proc1-reply-only", good_time);

  Bytes epoch_before = exchange_alone(date_call(kStrDate, Credential::kNone, -1));
  write_seed(target, "pass-date-of-minus1", joined(good_time, reply_record(epoch_before)));

  Call proc3 = date_call(3);
  Call version2 = date_call(kBinDate);
  version2.version = 2;
  Call other_program = date_call(kBinDate);
  other_program.program = kDateProgram + 1;
  Bytes cut_short = encode(date_call(kStrDate));
  cut_short.resize(cut_short.size() - 2);
  Bytes proc_unavail = reply_record(exchange_alone(proc3));
  Bytes prog_mismatch = reply_record(exchange_alone(version2));
  Bytes prog_unavail = reply_record(exchange_alone(other_program));
  Bytes garbage_args;
  {
    Connection connection;
    garbage_args = reply_record(connection.exchange(cut_short));
  }
  write_seed(target, "proc1-proc-unavail", proc_unavail);
  write_seed(target, "proc2-proc-unavail", joined(good_time, proc_unavail));
  write_seed(target, "proc1-prog-mismatch", prog_mismatch);
  write_seed(target, "proc2-prog-mismatch", joined(good_time, prog_mismatch));
  write_seed(target, "proc1-prog-unavail", prog_unavail);
  write_seed(target, "proc1-garbage-args", garbage_args);
  write_seed(target, "proc2-garbage-args", joined(good_time, garbage_args));

  Call rpcvers3 = date_call(kBinDate);
  rpcvers3.rpcvers = 3;
  Bytes mismatch_reply;
  {
    Connection connection;
    mismatch_reply = connection.try_exchange(encode(rpcvers3));
  }
  if (mismatch_reply.empty()) {
    // The server's library drops a call of another RPC version unanswered;
    // the reply a server could give is encoded by the library instead.
    fprintf(stderr, "make_corpus: no reply to an RPC version 3 call; "
                    "the RPC_MISMATCH replies are encoded, not captured\n");
    mismatch_reply = encoded_rpc_mismatch();
  }
  Bytes rpc_mismatch = reply_record(mismatch_reply);
  write_seed(target, "proc1-rpc-mismatch", rpc_mismatch);
  write_seed(target, "proc2-rpc-mismatch", joined(good_time, rpc_mismatch));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fail("usage: make_corpus encoded|unregistered|registered CORPUS_DIRECTORY");
  }
  std::string phase = argv[1];
  corpus = argv[2];
  if (phase == "encoded") {
    write_encoded();
  } else if (phase == "unregistered") {
    write_port_mapper_replies(false);
  } else if (phase == "registered") {
    if (!wait_for_registration()) {
      fail("the server did not register with rpcbind");
    }
    write_port_mapper_replies(true);
    write_server_replies();
  } else {
    fail("unknown phase " + phase);
  }
  return 0;
}
