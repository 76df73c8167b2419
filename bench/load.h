// SPDX-License-Identifier: BSD-3-Clause
// Runs of date_bench: caller processes that make calls back to back, the
// echo server that stands for the machine's limit, and what one run measured.
#ifndef BENCH_LOAD_H
#define BENCH_LOAD_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

enum class Kind { kEcho, kCall, kPass };
enum class Transport { kUdp, kTcp };

// The steps of one client pass, timed apart.
constexpr int kPassSteps = 4;
extern const char *const kPassStepNames[kPassSteps];

struct Run {
  Kind kind = Kind::kCall;
  Transport transport = Transport::kUdp;
  unsigned long procedure = 0;
  int callers = 1;
  int cpu = -1;            // callers pinned to this CPU; -1 leaves them as started
  bool as_nobody = false;  // callers drop root for the user nobody first
};

// Where runs go and how long they last; set once from the command line.
struct Target {
  std::string host = "localhost";
  double seconds = 2.0;
  long count = 0;  // calls per caller; 0 runs for `seconds` instead
  pid_t server_pid = 0;
  pid_t rpcbind_pid = 0;
};

struct Result {
  uint64_t calls = 0;
  uint64_t errors = 0;
  std::string first_error;
  double window_seconds = 0;        // the longest caller's time
  double calls_per_second = 0;      // summed over callers
  std::vector<int64_t> latency_ns;  // one per call, sorted
  double step_us[kPassSteps] = {};  // mean per pass
  // CPU seconds used during the run; negative where unknown.
  double callers_cpu = 0;
  double server_cpu = -1;
  double rpcbind_cpu = -1;
  double echo_cpu = -1;
  // Busy share of each CPU of the machine during the run, whoever used it.
  std::vector<double> cpu_busy;
};

// Starts the echo server in a child process on loopback (UDP and TCP ports of
// the system's choosing), on the CPUs this process may use. False on failure.
bool start_echo_server();
void stop_echo_server();

// Runs `run` against target (or the echo server); false if the run could
// not be made at all (the reason on standard error). Call errors are counted
// in the result, not reported here.
bool measure(const Target &target, const Run &run, Result &result);

// Latency quantile q (0..1) of a sorted sample, in microseconds.
double latency_us(const std::vector<int64_t> &sorted_ns, double q);

// CPU time of a process so far, in seconds; negative if it cannot be read.
double process_cpu_seconds(pid_t pid);

// Pins the calling process to one CPU.
bool pin_to_cpu(int cpu);
// The CPUs a process may run on; empty if unknown.
std::vector<int> cpus_of(pid_t pid);

#endif
