// SPDX-License-Identifier: BSD-3-Clause
// Helpers for the end-to-end tests: child processes, the port mapper, and
// ONC RPC messages built and read byte by byte, so that tests can send what
// no well-behaved client would.
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H
#define TESTS_SUPPORT_TEST_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDateProgram = 0x31423456;
constexpr uint32_t kPortmapProgram = 100000;

// --- processes ---------------------------------------------------------------

// Starts argv[0] with the current environment plus `env` ("NAME=value"; a
// bare "NAME" takes NAME out), standard output and error sent to the named
// files ("" keeps them).
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
            const std::string &stdout_path = "", const std::string &stderr_path = "");
// Waits up to timeout_ms for pid to end; its wait status on success.
std::optional<int> wait_exit(pid_t pid, int timeout_ms);
// SIGKILLs pid and reaps it.
void kill_and_reap(pid_t pid);
// CPU time (user + system) of a running process, in seconds.
double cpu_seconds(pid_t pid);
// Resident memory of a running process, in kB.
long resident_kb(pid_t pid);
// Number of open descriptors of a running process.
int open_descriptors(pid_t pid);

// "ASAN_OPTIONS=" with `extra` ("name=value") after the options in force:
// for a child that needs other sanitizer settings (a sanitizer build
// reads it, any other build ignores it).
std::string asan_options_with(const std::string &extra);

std::string read_file(const std::string &path);
// A fresh directory under /tmp, removed by the caller if it likes.
std::string make_temp_dir();
// Sleeps in small steps until pred() or timeout; pred()'s last value.
template <typename Pred>
bool eventually(Pred pred, int timeout_ms);
void sleep_ms(int ms);
int64_t now_ms();

// --- port mapper -------------------------------------------------------------

// Starts rpcbind in the foreground and waits until it answers on 127.0.0.1.
pid_t start_rpcbind();
void stop_rpcbind(pid_t pid);
// Every port registered for (program, version) at 127.0.0.1, by netid
// ("udp", "tcp", "udp6", "tcp6"), from the port mapper's whole list; empty
// if it did not answer.
std::map<std::string, uint16_t> registered_ports(uint32_t program, uint32_t version);

// --- the date server under test ----------------------------------------------

struct Server {
  pid_t pid = -1;
  std::string stdout_path;
  std::string stderr_path;
  uint16_t udp_port = 0;
  uint16_t tcp_port = 0;
  uint16_t udp6_port = 0;
  uint16_t tcp6_port = 0;
  // The port of the transport with this netid.
  uint16_t port(const std::string &netid) const;
};
// Starts date_server (TZ=UTC plus `env`, as spawn takes it), run by the
// command `prefix` if one is given (such as prlimit), and waits for its
// registrations: udp and tcp, and with_ipv6 udp6 and tcp6 as well.
Server start_server(const std::vector<std::string> &env = {},
                    const std::vector<std::string> &extra_args = {},
                    const std::vector<std::string> &prefix = {}, bool with_ipv6 = true);

// --- ONC RPC messages --------------------------------------------------------

struct Call {
  uint32_t xid = 1;
  uint32_t rpc_version = 2;
  uint32_t program = kDateProgram;
  uint32_t version = 1;
  uint32_t procedure = 0;
  uint32_t cred_flavor = 0;
  Bytes cred_body;
  uint32_t verf_flavor = 0;
  Bytes verf_body;
  Bytes arguments;
};
Bytes encode_call(const Call &call);
// A call of the date program's `procedure`, with a fresh xid.
Call date_call(uint32_t procedure, Bytes arguments = {});
void put_u32(Bytes &out, uint32_t value);
Bytes u32_bytes(uint32_t value);

constexpr uint32_t kMsgAccepted = 0;
constexpr uint32_t kMsgDenied = 1;
enum AcceptStat : uint32_t {
  kSuccess = 0,
  kProgUnavail = 1,
  kProgMismatch = 2,
  kProcUnavail = 3,
  kGarbageArgs = 4,
  kSystemErr = 5,
};

constexpr uint32_t kRpcMismatch = 0;  // reject_stat of a denied reply
constexpr uint32_t kAuthError = 1;
constexpr uint32_t kAuthBadCred = 1;  // auth_stat of an AUTH_ERROR
constexpr uint32_t kAuthRejectedCred = 2;

struct Reply {
  uint32_t xid = 0;
  uint32_t reply_stat = 0;  // kMsgAccepted or kMsgDenied
  uint32_t accept_stat = 0;
  uint32_t reject_stat = 0;  // of a denied reply
  uint32_t auth_stat = 0;    // of a denied reply for kAuthError
  uint32_t mismatch_low = 0;
  uint32_t mismatch_high = 0;
  Bytes body;  // what follows accept_stat SUCCESS
};
// Parses a reply message; nullopt if it is not a well-formed reply.
std::optional<Reply> parse_reply(const Bytes &message);

// Transports by netid: "udp" and "tcp" reach 127.0.0.1, "udp6" and "tcp6" ::1.
bool is_ipv6(const std::string &netid);
bool is_datagram(const std::string &netid);
// A socket of the netid's kind connected to loopback:port; -1 on failure.
// A TCP socket gets send and receive buffers of buffer_size bytes, if given,
// before it connects; and is bound to `source`, if given, an address of
// the netid's family on loopback.
int loopback_connect(const std::string &netid, uint16_t port, int buffer_size = 0,
                     const std::string &source = "");
// One message out and one back over the netid's transport: a datagram, or a
// record on a connection of its own; nullopt if none within timeout_ms.
std::optional<Bytes> exchange(const std::string &netid, uint16_t port, const Bytes &message,
                              int timeout_ms = 2000);

// The next datagram on fd, nullopt if none within timeout_ms (0: none
// waiting now).
std::optional<Bytes> receive_datagram(int fd, int timeout_ms);
void set_nonblocking(int fd);
bool send_all(int fd, const Bytes &data);
// One fragment of TCP record marking: its 4-byte mark, then data.
Bytes fragment(const Bytes &data, bool last);
// Sends message as one record (one last fragment).
bool send_record(int fd, const Bytes &message);
// Reads one whole record; nullopt on close, error or time-out.
std::optional<Bytes> read_record(int fd, int timeout_ms = 2000);
// Reads until the peer closes or resets the connection: all bytes read, or
// nullopt if it stays open past timeout_ms.
std::optional<Bytes> read_until_closed(int fd, int timeout_ms);
// The whole records in a stream of record marking; a trailing partial one
// is left out.
std::vector<Bytes> split_records(const Bytes &stream);

// The server's answer to procedure 1 or 2 through the library's client over
// the transport with this netid; nullopt on any failure.
std::optional<long> call_bin_date(const char *transport, uint16_t port);
std::optional<std::string> call_str_date(const char *transport, uint16_t port, long when);

// ctime's rendering of `when` in UTC, as the server under TZ=UTC gives it.
std::string utc_ctime(long when);

template <typename Pred>
bool eventually(Pred pred, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    if (pred()) {
      return true;
    }
    if (now_ms() >= deadline) {
      return pred();
    }
    sleep_ms(10);
  }
}

}  // namespace test_support

#endif
