// SPDX-License-Identifier: BSD-3-Clause
// date_server end to end: a real rpcbind in the test's own network namespace,
// the server started as a child, and calls built byte by byte.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>
#include <tuple>

#include "test_support.h"

using namespace test_support;

namespace {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { rpcbind_pid_ = start_rpcbind(); }
  void TearDown() override {
    // A server that serves writes nothing on standard error (where a
    // sanitizer build also reports).
    if (server_.pid > 0) {
      EXPECT_EQ(read_file(server_.stderr_path), "");
    }
    kill_and_reap(server_.pid);
    stop_rpcbind(rpcbind_pid_);
  }

  uint16_t port_of(const std::string &transport) const { return server_.port(transport); }

  // The reply to `call`, which must be a well-formed reply with the same xid.
  Reply reply_to(const std::string &transport, const Call &call) {
    auto answer = exchange(transport, port_of(transport), encode_call(call));
    if (!answer) {
      ADD_FAILURE() << "no reply over " << transport;
      return {};
    }
    auto reply = parse_reply(*answer);
    if (!reply) {
      ADD_FAILURE() << "malformed reply over " << transport;
      return {};
    }
    EXPECT_EQ(reply->xid, call.xid);
    return *reply;
  }

  std::string output() const { return read_file(server_.stdout_path); }

  pid_t rpcbind_pid_ = -1;
  Server server_;
};

class OverTransport : public ServerTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(OverTransport, AnswersTheThreeProceduresAndPrintsALineForEachDateAnswer) {
  server_ = start_server();
  const std::string transport = GetParam();

  Reply null_reply = reply_to(transport, date_call(0));
  EXPECT_EQ(null_reply.reply_stat, kMsgAccepted);
  EXPECT_EQ(null_reply.accept_stat, kSuccess);
  EXPECT_TRUE(null_reply.body.empty());
  EXPECT_EQ(output(), "") << "procedure 0 prints nothing";

  time_t before = time(nullptr);
  Reply time_reply = reply_to(transport, date_call(1));
  time_t after = time(nullptr);
  ASSERT_EQ(time_reply.accept_stat, kSuccess);
  ASSERT_EQ(time_reply.body.size(), 4U);
  long server_time = static_cast<int32_t>(time_reply.body[0] << 24 | time_reply.body[1] << 16 |
                                          time_reply.body[2] << 8 | time_reply.body[3]);
  EXPECT_GE(server_time, before);
  EXPECT_LE(server_time, after);

  Reply epoch_reply = reply_to(transport, date_call(2, u32_bytes(0)));
  ASSERT_EQ(epoch_reply.accept_stat, kSuccess);
  Bytes epoch_body = u32_bytes(25);
  for (char c : std::string("Thu Jan  1 00:00:00 1970\n")) {
    epoch_body.push_back(static_cast<uint8_t>(c));
  }
  epoch_body.insert(epoch_body.end(), {0, 0, 0});
  EXPECT_EQ(epoch_reply.body, epoch_body);

  auto before_epoch = call_str_date(transport.c_str(), port_of(transport), -1);
  EXPECT_EQ(before_epoch, "Wed Dec 31 23:59:59 1969\n");

  // Lines are in the output while the server still runs.
  std::string expected = "Time on the server is " + std::to_string(server_time) +
                         "\n"
                         "Date on the server is Thu Jan  1 00:00:00 1970\n\n"
                         "Date on the server is Wed Dec 31 23:59:59 1969\n\n";
  EXPECT_TRUE(eventually([&] { return output() == expected; }, 2000)) << output();
}

TEST_P(OverTransport, BadCallsGetTheirErrorRepliesAndTheServerGoesOn) {
  server_ = start_server();
  const std::string transport = GetParam();

  Reply no_procedure = reply_to(transport, date_call(3));
  EXPECT_EQ(no_procedure.reply_stat, kMsgAccepted);
  EXPECT_EQ(no_procedure.accept_stat, kProcUnavail);

  Call version_two = date_call(1);
  version_two.version = 2;
  Reply mismatch = reply_to(transport, version_two);
  EXPECT_EQ(mismatch.accept_stat, kProgMismatch);
  EXPECT_EQ(mismatch.mismatch_low, 1U);
  EXPECT_EQ(mismatch.mismatch_high, 1U);

  Call other_program = date_call(1);
  other_program.program = kDateProgram + 1;
  EXPECT_EQ(reply_to(transport, other_program).accept_stat, kProgUnavail);

  // Fewer than 4 bytes of argument; each right after a call with a longer
  // body, whose bytes stay in the buffer of the server's UDP transport.
  for (size_t length = 0; length < 4; ++length) {
    reply_to(transport, date_call(0, Bytes(8, 0x11)));
    Reply garbage = reply_to(transport, date_call(2, Bytes(length, 0x22)));
    EXPECT_EQ(garbage.accept_stat, kGarbageArgs) << length << " bytes";
  }
  EXPECT_EQ(output(), "");

  auto when = call_bin_date(transport.c_str(), port_of(transport));
  ASSERT_TRUE(when.has_value());
  EXPECT_EQ(output(), "Time on the server is " + std::to_string(*when) + "\n");
}

// The largest legal call, 844 bytes with credentials and verifier of 400
// bytes each, fits the buffers that the server gives each connection.
TEST_P(OverTransport, AnswersTheLargestLegalCall) {
  server_ = start_server();
  Call call = date_call(2, u32_bytes(0));
  call.cred_body = Bytes(400, 0x33);
  call.verf_body = Bytes(400, 0x44);
  ASSERT_EQ(encode_call(call).size(), 844U);
  Reply reply = reply_to(GetParam(), call);
  EXPECT_EQ(reply.accept_stat, kSuccess);
  EXPECT_EQ(reply.body.size(), 32U);
}

INSTANTIATE_TEST_SUITE_P(Transports, OverTransport,
                         ::testing::Values("udp", "tcp", "udp6", "tcp6"));

const std::vector<std::string> kAllNetids{"udp", "tcp", "udp6", "tcp6"};

TEST_F(ServerTest, RegistersAfreshAfterBeingKilled) {
  server_ = start_server();
  kill_and_reap(server_.pid);
  // The killed server's registrations outlive it.
  auto stale = registered_ports(kDateProgram, 1);
  for (const auto &netid : kAllNetids) {
    EXPECT_EQ(stale[netid], server_.port(netid)) << netid;
  }

  server_ = start_server({}, {"-x", "ignored"});
  auto fresh = registered_ports(kDateProgram, 1);
  for (const auto &netid : kAllNetids) {
    EXPECT_EQ(fresh[netid], server_.port(netid)) << netid;
    EXPECT_TRUE(call_bin_date(netid.c_str(), server_.port(netid)).has_value()) << netid;
  }
}

// A kernel without IPv6 is no error: IPv4 alone is served and registered,
// and nothing is said.
TEST_F(ServerTest, ServesIpv4AloneWhereTheKernelHasNoIpv6) {
  server_ = start_server({}, {}, {WITHOUT_IPV6_BIN}, false);
  auto ports = registered_ports(kDateProgram, 1);
  EXPECT_EQ(ports.count("udp6") + ports.count("tcp6"), 0U);
  EXPECT_TRUE(call_bin_date("udp", server_.udp_port).has_value());
  EXPECT_TRUE(call_str_date("tcp", server_.tcp_port, 0).has_value());
}

// IPv6 switched off (disable_ipv6, here in the test's own network namespace)
// is no error either, and no kernel without IPv6: the IPv6 sockets are had
// and bind to the unspecified address. The server starts as usual, serves
// IPv4, and serves IPv6 as soon as it is switched on.
TEST_F(ServerTest, ServesIpv6OnceItIsSwitchedOn) {
  auto disable_ipv6 = [](const char *value) {
    bool written = true;
    for (const char *conf : {"all", "default"}) {
      std::ofstream file(std::string("/proc/sys/net/ipv6/conf/") + conf + "/disable_ipv6");
      written = static_cast<bool>(file << value << std::flush) && written;
    }
    return written;
  };
  ASSERT_TRUE(disable_ipv6("1"));
  server_ = start_server({}, {}, {}, false);
  EXPECT_TRUE(call_bin_date("udp", server_.udp_port).has_value());
  EXPECT_TRUE(call_str_date("tcp", server_.tcp_port, 0).has_value());

  ASSERT_TRUE(disable_ipv6("0"));
  EXPECT_TRUE(eventually(
      [&] {
        auto ports = registered_ports(kDateProgram, 1);
        return call_bin_date("udp6", ports["udp6"]).has_value() &&
               call_str_date("tcp6", ports["tcp6"], 0).has_value();
      },
      2000));
}

// The server's clock, as the preloaded failing_calls library sets it: a
// time that 32 bits hold is answered and printed; past 2038-01-19 03:14:07
// UTC, or where time() cannot tell the time (a 32-bit time_t past 2038), the
// caller gets SYSTEM_ERR, never a wrapped time or -1, and no line is
// printed for a time that was not sent.
struct ClockCase {
  const char *name;
  const char *clock;
  bool answered;
  friend std::ostream &operator<<(std::ostream &out, const ClockCase &c) { return out << c.name; }
};

class ServerClock : public ServerTest,
                    public ::testing::WithParamInterface<std::tuple<std::string, ClockCase>> {};

TEST_P(ServerClock, AnswersOnlyATimeThatThirtyTwoBitsHold) {
  const auto &[transport, c] = GetParam();
  server_ = start_server({std::string("LD_PRELOAD=") + FAILING_CALLS_LIB,
                          std::string("DATE_CLOCK=") + c.clock,
                          asan_options_with("verify_asan_link_order=0")});
  Reply reply = reply_to(transport, date_call(1));
  EXPECT_EQ(reply.reply_stat, kMsgAccepted);
  if (c.answered) {
    EXPECT_EQ(reply.accept_stat, kSuccess);
    EXPECT_EQ(reply.body, u32_bytes(static_cast<uint32_t>(std::stol(c.clock))));
    EXPECT_EQ(output(), std::string("Time on the server is ") + c.clock + "\n");
  } else {
    EXPECT_EQ(reply.accept_stat, kSystemErr);
    EXPECT_TRUE(reply.body.empty());
    // The server goes on: a date answer after it is printed alone.
    EXPECT_TRUE(call_str_date(transport.c_str(), port_of(transport), 0).has_value());
    EXPECT_EQ(output(), "Date on the server is Thu Jan  1 00:00:00 1970\n\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, ServerClock,
    ::testing::Combine(::testing::Values("udp", "tcp"),
                       ::testing::Values(ClockCase{"LastSecondOfThirtyTwoBits", "2147483647", true},
                                         ClockCase{"SecondBeforeTheEpoch", "-1", true},
                                         ClockCase{"PastThirtyTwoBits", "2147483660", false},
                                         ClockCase{"Unreadable", "unreadable", false})),
    [](const ::testing::TestParamInfo<std::tuple<std::string, ClockCase>> &p) {
      return std::get<0>(p.param) + "_" + std::get<1>(p.param).name;
    });

// With its output on a full file system, a call whose line cannot be written
// gets SYSTEM_ERR instead of its result, standard error holds one message
// for the whole episode, and once there is room again the next line comes
// out alone: nothing of the lines that failed comes out after it.
TEST_P(OverTransport, CallsWhoseLineCannotBeWrittenGetSystemError) {
  ASSERT_EQ(unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  std::string dir = make_temp_dir();
  ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4k"), 0);
  std::string filler = dir + "/filler";
  FILE *fill = fopen(filler.c_str(), "w");
  ASSERT_NE(fill, nullptr);
  while (fputs("filler\n", fill) >= 0 && fflush(fill) == 0) {
  }
  fclose(fill);
  std::string lines = dir + "/lines";
  server_ = start_server({}, {}, {"/bin/sh", "-c", "exec \"$0\" > " + lines});
  const std::string transport = GetParam();

  for (uint32_t procedure : {1, 2, 1}) {
    Reply reply = reply_to(transport, date_call(procedure, procedure == 2 ? u32_bytes(0) : Bytes{}));
    EXPECT_EQ(reply.accept_stat, kSystemErr) << "procedure " << procedure;
  }
  EXPECT_EQ(read_file(server_.stderr_path), "cannot write activity lines: No space left on device\n");

  ASSERT_EQ(unlink(filler.c_str()), 0);
  auto answered = call_str_date(transport.c_str(), port_of(transport), 0);
  EXPECT_EQ(answered, "Thu Jan  1 00:00:00 1970\n");
  EXPECT_EQ(read_file(lines), "Date on the server is Thu Jan  1 00:00:00 1970\n\n");
  kill_and_reap(server_.pid);
  server_.pid = -1;
  umount(dir.c_str());
  rmdir(dir.c_str());
}

// Without TZ the server renders dates in the system's zone, /etc/localtime,
// and a change of it shows within two seconds, also while the clock cannot
// be read. The zone files are mounted over /etc/localtime in a mount
// namespace of this test's own.
TEST_F(ServerTest, NoticesAChangeOfTheSystemTimeZone) {
  ASSERT_EQ(unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  auto zone = [](const char *name) {
    std::string file = std::string("/usr/share/zoneinfo/") + name;
    return mount(file.c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr) == 0;
  };
  // TZ is taken out of the environment by the test itself, not by a tool
  // that starts the server: under qemu-user that would be a host's program,
  // whose loader refuses the target's preloaded library.
  const std::vector<std::string> clock_as_it_is{"TZ"};
  const std::vector<std::string> unreadable_clock{"TZ",
                                                  std::string("LD_PRELOAD=") + FAILING_CALLS_LIB,
                                                  "DATE_CLOCK=unreadable",
                                                  asan_options_with("verify_asan_link_order=0")};
  for (const auto &env : {clock_as_it_is, unreadable_clock}) {
    SCOPED_TRACE(env == clock_as_it_is ? "clock as it is" : "clock unreadable");
    kill_and_reap(server_.pid);
    // The zones of the round before, mounted one over the other, taken away.
    while (umount2("/etc/localtime", MNT_DETACH) == 0) {
    }
    ASSERT_TRUE(zone("Etc/UTC"));
    server_ = start_server(env);
    EXPECT_EQ(call_str_date("udp", server_.udp_port, 0), "Thu Jan  1 00:00:00 1970\n");

    ASSERT_TRUE(zone("Asia/Tokyo"));
    EXPECT_TRUE(eventually(
        [&] { return call_str_date("tcp", server_.tcp_port, 0) == "Thu Jan  1 09:00:00 1970\n"; },
        2000));
  }
}

// Started with descriptor 0, 1 or 2 closed, the server must not let a
// socket take that number, where a message or a line would be written into
// the socket: the descriptor points at /dev/null, and it serves as usual.
TEST_F(ServerTest, ServesWithAStandardDescriptorClosed) {
  for (int closed : {0, 1, 2}) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
    kill_and_reap(server_.pid);
    std::string redirection = "exec \"$0\" " + std::to_string(closed) + ">&-";
    server_ = start_server({}, {}, {"/bin/sh", "-c", redirection});
    EXPECT_TRUE(call_bin_date("udp", server_.udp_port).has_value());
    EXPECT_TRUE(call_str_date("tcp", server_.tcp_port, 0).has_value());
    char target[64] = {};
    std::string link = "/proc/" + std::to_string(server_.pid) + "/fd/" + std::to_string(closed);
    EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    EXPECT_EQ(read_file(server_.stderr_path), "");
  }
}

struct StartupFailure {
  std::string name;
  bool with_rpcbind;
  std::vector<std::string> prefix;
  std::string message;
  std::string asan_options;  // more sanitizer settings for the server
  // An IPv4 protocol (IPPROTO_UDP, IPPROTO_TCP) whose registration root
  // holds before the server starts; 0 for none.
  int protocol_held_by_root = 0;
  friend std::ostream &operator<<(std::ostream &out, const StartupFailure &c) {
    return out << c.name;
  }
};

class ServerStartupFailure : public ::testing::TestWithParam<StartupFailure> {};

// Registers the date program on an IPv4 protocol with PMAPPROC_SET over UDP
// from a reserved port on loopback, which rpcbind records as root's. (Over
// its Unix socket it takes the owner from the peer's credentials, which some
// libtirpc builds fail to read, recording every caller as "unknown".)
bool register_as_root(int protocol) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in port_mapper{};
  port_mapper.sin_family = AF_INET;
  port_mapper.sin_port = htons(111);
  port_mapper.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Call set;
  set.program = kPortmapProgram;
  set.version = 2;
  set.procedure = 1;
  for (uint32_t value : {kDateProgram, 1U, static_cast<uint32_t>(protocol), 1U}) {
    put_u32(set.arguments, value);
  }
  std::optional<Bytes> answer;
  if (fd >= 0 && bindresvport(fd, nullptr) == 0 &&
      connect(fd, reinterpret_cast<sockaddr *>(&port_mapper), sizeof port_mapper) == 0 &&
      send_all(fd, encode_call(set))) {
    answer = receive_datagram(fd, 2000);
  }
  close(fd);
  auto reply = answer ? parse_reply(*answer) : std::nullopt;
  return reply && reply->accept_stat == kSuccess && reply->body == u32_bytes(1);
}

TEST_P(ServerStartupFailure, PrintsItsMessageAndExitsOne) {
  const StartupFailure &c = GetParam();
  pid_t rpcbind_pid = c.with_rpcbind ? start_rpcbind() : -1;
  if (c.protocol_held_by_root != 0 && !register_as_root(c.protocol_held_by_root)) {
    stop_rpcbind(rpcbind_pid);
    FAIL() << "the port mapper took no registration from a reserved port";
  }
  std::string dir = make_temp_dir();
  std::vector<std::string> argv = c.prefix;
  argv.emplace_back(DATE_SERVER_BIN);
  std::vector<std::string> env;
  if (!c.asan_options.empty()) {
    env.push_back(asan_options_with(c.asan_options));
  }
  pid_t pid = spawn(argv, env, dir + "/out", dir + "/err");
  auto status = wait_exit(pid, 20000);
  if (!status) {
    kill_and_reap(pid);
  }
  stop_rpcbind(rpcbind_pid);
  ASSERT_TRUE(status.has_value()) << "server did not end";
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_EQ(read_file(dir + "/err"), c.message);
  EXPECT_EQ(read_file(dir + "/out"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerStartupFailure,
    ::testing::Values(
        StartupFailure{
            "NoPortMapper", false, {}, "unable to register (DATE_PROPG, DATE_VERS, udp).", ""},
        // The server, as nobody, makes and registers the UDP transport, but
        // root holds the TCP registration, which rpcbind lets no other user
        // remove or replace.
        StartupFailure{
            "TcpRegisteredByAnotherOwner",
            true,
            {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"},
            "unable to register (DATE_PROPG, DATE_VERS, tcp).",
            "",
            IPPROTO_TCP},
        // IPv4 is served, then the IPv6 socket of one type finds no
        // descriptor. (LeakSanitizer, in a sanitizer build, would report the
        // netconfig entries kept for the IPv6 transports' life, which the
        // exit unreferences.)
        StartupFailure{"NoDescriptorForUdp6",
                       true,
                       {WITHOUT_IPV6_BIN, "--no-descriptor-for=dgram"},
                       "cannot create udp6 service.",
                       "detect_leaks=0"},
        StartupFailure{"NoDescriptorForTcp6",
                       true,
                       {WITHOUT_IPV6_BIN, "--no-descriptor-for=stream"},
                       "cannot create tcp6 service.",
                       "detect_leaks=0"}),
    [](const ::testing::TestParamInfo<StartupFailure> &p) { return p.param.name; });

}  // namespace
