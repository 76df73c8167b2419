// SPDX-License-Identifier: BSD-3-Clause
// Smoke runs of date_bench against a real server and port mapper in the
// test's own network namespace: every kind of run completes without errors,
// and a failing server is reported, not hidden in the figures.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

using namespace test_support;

namespace {

struct BenchOutcome {
  int exit_status = -1;
  std::string out;
  std::string err;
};

class BenchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rpcbind_pid_ = start_rpcbind();
    server_ = start_server();
  }
  void TearDown() override {
    kill_and_reap(server_.pid);
    stop_rpcbind(rpcbind_pid_);
  }

  BenchOutcome run_bench(const std::vector<std::string> &args) {
    std::string dir = make_temp_dir();
    std::vector<std::string> argv{DATE_BENCH_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = spawn(argv, {}, dir + "/out", dir + "/err");
    auto status = wait_exit(pid, 60000);
    if (!status) {
      kill_and_reap(pid);
    }
    BenchOutcome outcome;
    if (status && WIFEXITED(*status)) {
      outcome.exit_status = WEXITSTATUS(*status);
    }
    outcome.out = read_file(dir + "/out");
    outcome.err = read_file(dir + "/err");
    return outcome;
  }

  pid_t rpcbind_pid_ = -1;
  Server server_;
};

// The number that follows label in a report; -1 if the label is not there.
long number_after(const std::string &report, const std::string &label) {
  size_t at = report.find(label);
  return at == std::string::npos ? -1 : strtol(report.c_str() + at + label.size(), nullptr, 10);
}

TEST_F(BenchTest, SuiteMakesEveryKindOfRunWithoutErrors) {
  BenchOutcome outcome = run_bench({"--count", "200", "--rounds", "1", "--callers", "2",
                                    "--server-pid", std::to_string(server_.pid), "--rpcbind-pid",
                                    std::to_string(rpcbind_pid_), "--rows", "suite"});
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  for (const char *label :
       {"echo udp ", "date udp procedure 0 ", "date udp procedure 1 ", "date udp procedure 2 ",
        "echo tcp ", "date tcp procedure 0 ", "date tcp procedure 1 ", "date tcp procedure 2 ",
        "client pass as root ", "client pass as nobody ", "2 concurrent callers",
        "one server host carries about ", "\nrow\t1\tdate udp procedure 2\t",
        "\nrow\t2\tclient pass as nobody\t"}) {
    EXPECT_NE(outcome.out.find(label), std::string::npos) << label << "\n" << outcome.out;
  }
  // 200 calls of procedures 1 and 2 over each transport, single and
  // concurrent, and passes: the server printed a line for every one.
  std::string printed = read_file(server_.stdout_path);
  size_t time_lines = 0;
  for (size_t at = 0; (at = printed.find("Time on the server", at)) != std::string::npos; ++at) {
    ++time_lines;
  }
  EXPECT_EQ(time_lines, 2 * 200 + 2 * 2 * 200 + 200 + 200 + 2 * 200);
}

// Beside 20 connections from two source addresses calling every 100 ms.
TEST_F(BenchTest, SimulatedClientsHoldingTheirConnectionsAllCompleteBesideAFlood) {
  BenchOutcome outcome = run_bench(
      {"--clients", "200", "--rate", "100", "--seconds", "2", "--hold-between", "200", "--flood",
       "20", "--flood-every", "100", "--flood-from", "127.0.0.2/2", "--server-pid",
       std::to_string(server_.pid), "--rpcbind-pid", std::to_string(rpcbind_pid_), "clients"});
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  for (const char *line :
       {"\npasses: 200 due, 200 completed, 0 failed, in ", "\nfailed passes by cause:\n",
        "\n  connection closed by server ", "\npass latency ms (holds included): p50 ",
        "\nCPU per 1,000 completed passes: date_server ",
        "\nflood: 20 connections from 2 addresses, 127.0.0.2 to 127.1.0.2, ",
        "; reconnects: 0 (connections closed or reset by the server); failed otherwise: none\n"}) {
    EXPECT_NE(outcome.out.find(line), std::string::npos) << line << "\n" << outcome.out;
  }
  EXPECT_GT(number_after(outcome.out, "\nflood calls answered: "), 20) << outcome.out;
  // Two passes a second start within each pass's hold of 200 ms.
  EXPECT_GT(number_after(outcome.out, "most TCP connections open at once: "), 1) << outcome.out;
  EXPECT_EQ(outcome.out.find("unknown"), std::string::npos) << outcome.out;
}

TEST_F(BenchTest, HelpPrintsTheUsageAndExitsZero) {
  BenchOutcome outcome = run_bench({"--help"});
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out.rfind("usage: ", 0), 0U) << outcome.out;
  EXPECT_EQ(outcome.err, "");
}

TEST_F(BenchTest, CallsAndPassesThatFailAreReportedAndExitOne) {
  kill_and_reap(server_.pid);  // its registrations stay: calls meet a closed port
  BenchOutcome outcome = run_bench({"--transport", "tcp", "--count", "10", "call"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_NE(outcome.err.find("date tcp procedure 0: 1 errors, the first: localhost: RPC:"),
            std::string::npos)
      << outcome.err;

  outcome = run_bench({"--clients", "4", "--count", "10", "clients"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_NE(outcome.out.find("\npasses: 10 due, 0 completed, 10 failed, in "), std::string::npos)
      << outcome.out;
  EXPECT_EQ(number_after(outcome.out, "\n  connect refused "), 10) << outcome.out;
}

}  // namespace
