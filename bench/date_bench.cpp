// SPDX-License-Identifier: BSD-3-Clause
// date_bench: a load generator for date_server. It calls the server's
// procedures back to back, times date_client's pass, and measures this
// machine's own limit for the same pattern, a 4-byte echo over loopback, so
// that figures can be read as ratios: on a shared machine absolute figures
// drift by 5 % or more from run to run while the ratios hold.
#include <arpa/inet.h>
#include <dirent.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "load.h"
#include "many_clients.h"

namespace {

// A CPU at least this busy is what limits a run; when other processes of
// the machine took more than kOthersTolerated of it, the output says so.
constexpr double kSaturated = 0.9;
constexpr double kOthersTolerated = 0.1;

Target target;
int rounds = 1;
int pinned_cpu = -1;  // callers and the echo server pinned here
int caller_cpu = -1;  // suite: where the concurrent callers go
bool had_errors = false;
bool only_as_nobody = false;  // --as-nobody: the suite makes no pass as root
bool print_rows = false;      // --rows: also every suite row as tab-separated fields

void usage(FILE *to, const char *program) {
  fprintf(to,
          "usage: %s [options] call|pass|echo|suite|clients\n"
          "  call   procedure --procedure back to back over --transport, one handle per caller\n"
          "  pass   date_client's pass without its sleep: handle through the port mapper,\n"
          "         procedures 1 and 2, destruction; timed per step\n"
          "  echo   a 4-byte echo over loopback --transport, served by a poll loop\n"
          "  suite  all of them, one caller pinned, then --callers concurrent callers;\n"
          "         figures also as ratios to the echo\n"
          "  clients --clients simulated clients in this one process, each making\n"
          "         date_client's pass on sockets of its own (port mapper query over\n"
          "         UDP, connection, procedures 1 and 2, close), at --rate passes\n"
          "         started a second or each as soon as its last pass ended; reports\n"
          "         failed passes by cause, the most connections open at once and\n"
          "         the CPU time of date_server and rpcbind per 1,000 passes; beside\n"
          "         them, or alone, a --flood of connections that keep calling\n"
          "options:\n"
          "  --host HOST         the server's host (localhost; clients: 127.0.0.1,\n"
          "                      and a name is taken by its first IPv4 address)\n"
          "  --transport udp|tcp (udp)\n"
          "  --procedure 0|1|2   (0)\n"
          "  --callers N         caller processes, each with its own handle (1; suite 4)\n"
          "  --seconds S         length of one run (2; suite 0.5)\n"
          "  --count N           calls or passes per caller instead of a time\n"
          "                      (clients: passes in all)\n"
          "  --rounds N          runs of each kind; the best is shown (1; suite 8)\n"
          "  --cpu N             pin the callers and the echo server to CPU N\n"
          "  --caller-cpu N      suite: pin the concurrent callers to CPU N\n"
          "  --as-nobody         callers drop root for the user nobody (suite: no pass\n"
          "                      as root, whose connections would crowd the next runs)\n"
          "  --clients N         clients: simulated clients, passes in flight at the\n"
          "                      most (100)\n"
          "  --rate R            clients: passes started a second, on schedule whether\n"
          "                      or not earlier ones have ended (open loop); a pass\n"
          "                      due while every client is busy counts as failed\n"
          "  --hold-before MS    clients: connected, wait this long before procedure 1\n"
          "  --hold-between MS   clients: wait this long between procedures 1 and 2\n"
          "  --flood N           clients: for --seconds, N connections more, each calling\n"
          "                      procedure 1 at once and every --flood-every MS (2000)\n"
          "                      and connected again at once when the server closes\n"
          "                      it; reports calls answered and reconnects; passes\n"
          "                      run beside it only if --clients is given\n"
          "  --flood-from A[/N]  clients: the flood's source address A, or N addresses\n"
          "                      from A up, the second byte counting (127.10.0.1/3:\n"
          "                      127.10.0.1, 127.11.0.1, 127.12.0.1)\n"
          "  --server-pid PID    date_server's process, for its CPU time and pinning\n"
          "  --rpcbind-pid PID   the port mapper's process, likewise\n"
          "  --rows              suite: also print each row as a line of tab-separated\n"
          "                      fields for scripts: row, callers, label, calls/s, and\n"
          "                      per call date_server's (or the echo server's), rpcbind's\n"
          "                      and the callers' CPU us (-1: unknown), errors\n"
          "  --help              print this and exit\n",
          program);
}

const char *transport_name(Transport transport) {
  return transport == Transport::kUdp ? "udp" : "tcp";
}

std::string label_of(const Run &run) {
  switch (run.kind) {
    case Kind::kEcho:
      return std::string("echo ") + transport_name(run.transport);
    case Kind::kCall:
      return std::string("date ") + transport_name(run.transport) + " procedure " +
             std::to_string(run.procedure);
    case Kind::kPass:
      return run.as_nobody    ? "client pass as nobody"
             : geteuid() == 0 ? "client pass as root"
                              : "client pass";
  }
  return "";
}

// CPU time that the serving side of a run used: the echo server, or the date
// server together with the port mapper for passes. Negative when unknown.
double serving_cpu(const Run &run, const Result &result) {
  switch (run.kind) {
    case Kind::kEcho:
      return result.echo_cpu;
    case Kind::kCall:
      return result.server_cpu;
    case Kind::kPass:
      return result.server_cpu < 0 || result.rpcbind_cpu < 0
                 ? -1
                 : result.server_cpu + result.rpcbind_cpu;
  }
  return -1;
}

void note_errors(const std::string &label, const Result &result) {
  if (result.errors > 0) {
    had_errors = true;
    fprintf(stderr, "date_bench: %s: %lu errors, the first: %s\n", label.c_str(),
            static_cast<unsigned long>(result.errors), result.first_error.c_str());
  }
}

// The round with the most calls per second. Load from elsewhere on a shared
// machine only ever slows a round down, so the best of several rounds is the
// steadiest estimate of what the server does on its own.
const Result &best_of(const std::vector<Result> &results) {
  return *std::max_element(results.begin(), results.end(), [](const Result &a, const Result &b) {
    return a.calls_per_second < b.calls_per_second;
  });
}

double best_ratio(const std::vector<Result> &results, const std::vector<Result> &echo) {
  double echo_best = best_of(echo).calls_per_second;
  return echo_best > 0 ? best_of(results).calls_per_second / echo_best : -1;
}

void print_columns(bool with_load) {
  printf("%-26s %9s %6s %8s %8s %9s %6s", "", "calls/s", "ratio", "p50 us", "p99 us", "max us",
         "errors");
  if (with_load) {
    printf(" %7s %7s %7s %8s  %s", "server", "callers", "others", "srv us", "limited by");
  }
  printf("\n");
}

void print_figures(const std::string &label, const Result &result, double ratio) {
  char ratio_text[16] = "";
  if (ratio > 0) {
    snprintf(ratio_text, sizeof ratio_text, "%.3f", ratio);
  }
  printf("%-26s %9.0f %6s %8.1f %8.1f %9.1f %6lu", label.c_str(), result.calls_per_second,
         ratio_text, latency_us(result.latency_ns, 0.5), latency_us(result.latency_ns, 0.99),
         latency_us(result.latency_ns, 1.0), static_cast<unsigned long>(result.errors));
}

// Mean busy share of the given CPUs during a run, whoever used them.
double busy_share(const Result &result, const std::vector<int> &cpus) {
  double busy = 0;
  for (int cpu : cpus) {
    if (cpu < static_cast<int>(result.cpu_busy.size())) {
      busy += result.cpu_busy[static_cast<size_t>(cpu)];
    }
  }
  return cpus.empty() ? 0 : busy / static_cast<double>(cpus.size());
}

// The run's share of the serving side's CPUs and of the callers' CPUs, what
// other processes of the machine took of them, and which side limited.
void print_load(const Run &run, const Result &result) {
  double window = result.window_seconds;
  double serving = serving_cpu(run, result);
  std::vector<int> caller_cpus = run.cpu >= 0 ? std::vector<int>{run.cpu} : cpus_of(0);
  std::vector<int> server_cpus = run.kind == Kind::kEcho ? cpus_of(0) : cpus_of(target.server_pid);
  if (serving < 0 || window <= 0 || server_cpus.empty() || result.calls == 0) {
    printf(" %7s %7s %7s %8s  server CPU unknown (no --server-pid)\n", "?", "?", "?", "?");
    return;
  }
  double server = serving / window / static_cast<double>(server_cpus.size());
  double callers = result.callers_cpu / window / static_cast<double>(caller_cpus.size());
  double server_busy = busy_share(result, server_cpus);
  double callers_busy = busy_share(result, caller_cpus);
  double others = std::max(0.0, std::max(server_busy - server, callers_busy - callers));
  const char *limit = "neither CPU full";
  if (server_cpus == caller_cpus) {
    limit = "one shared CPU";
  } else if (server_busy >= kSaturated && server_busy >= callers_busy) {
    limit = server >= kSaturated - kOthersTolerated ? "server" : "server's CPU, with others";
  } else if (callers_busy >= kSaturated) {
    limit = callers >= kSaturated - kOthersTolerated ? "callers" : "callers' CPU, with others";
  }
  printf(" %6.0f%% %6.0f%% %6.0f%% %8.1f  %s\n", server * 100, callers * 100, others * 100,
         serving * 1e6 / static_cast<double>(result.calls), limit);
}

void print_pass_steps(const Result &result, double echo_tcp_per_second) {
  double per_pass = 0;
  for (int step = 0; step < kPassSteps; ++step) {
    per_pass += result.step_us[step];
  }
  printf("%-26s mean pass %.1f us", "", per_pass);
  if (echo_tcp_per_second > 0) {
    printf(" = %.1f echo tcp round trips", per_pass * echo_tcp_per_second / 1e6);
  }
  printf(":");
  for (int step = 0; step < kPassSteps; ++step) {
    printf("%s %s %.1f", step == 0 ? "" : ",", kPassStepNames[step], result.step_us[step]);
  }
  printf("\n");
}

// What one server host sustains: passes a second with several callers, and
// the server's and the port mapper's CPU time per pass.
void print_host_capacity(const Result &result) {
  if (result.server_cpu < 0 || result.rpcbind_cpu < 0 || result.calls == 0) {
    printf(
        "  (date_server's and rpcbind's CPU use unknown: give --server-pid and --rpcbind-pid)\n");
    return;
  }
  double passes = static_cast<double>(result.calls);
  double server_us = result.server_cpu * 1e6 / passes;
  double rpcbind_us = result.rpcbind_cpu * 1e6 / passes;
  printf("  per pass: date_server %.1f us CPU, rpcbind %.1f us CPU; the larger share is %s's\n",
         server_us, rpcbind_us, server_us >= rpcbind_us ? "date_server" : "rpcbind");
  printf("  one server host carries about %.0f clients polling once a second (measured);\n",
         result.calls_per_second);
  printf("  one CPU given to both alone would carry about %.0f (1 s / %.1f us)\n",
         1e6 / (server_us + rpcbind_us), server_us + rpcbind_us);
}

// CPU time per call of the serving side and of the caller; with both on one
// CPU, the two make up most of a round trip.
void print_cpu_per_call(const Run &run, const Result &result) {
  if (result.calls == 0) {
    return;
  }
  auto calls = static_cast<double>(result.calls);
  double serving = serving_cpu(run, result);
  printf("%-26s CPU per call: %s ", "",
         run.kind == Kind::kEcho   ? "echo server"
         : run.kind == Kind::kPass ? "date_server and rpcbind"
                                   : "date_server");
  if (serving >= 0) {
    printf("%.1f us", serving * 1e6 / calls);
  } else {
    printf("unknown");
  }
  printf(", caller %.1f us\n", result.callers_cpu * 1e6 / calls);
}

std::string cpu_text(const std::vector<int> &cpus) {
  if (cpus.empty()) {
    return "unknown CPUs";
  }
  std::string text = cpus.size() == 1 ? "CPU " : "CPUs ";
  for (size_t i = 0; i < cpus.size(); ++i) {
    text += (i == 0 ? "" : ",") + std::to_string(cpus[i]);
  }
  return text;
}

// Where the server's activity lines can go: its descriptors that are files
// (its standard output, or a copy of it), not sockets.
void print_server_files() {
  if (target.server_pid <= 0) {
    return;
  }
  std::string folder = "/proc/" + std::to_string(target.server_pid) + "/fd";
  DIR *descriptors = opendir(folder.c_str());
  if (descriptors == nullptr) {
    return;
  }
  std::string files;
  while (const dirent *entry = readdir(descriptors)) {
    char path[512];
    std::string link = folder + "/" + entry->d_name;
    ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
    if (entry->d_name[0] == '.' || length <= 0 || path[0] != '/') {
      continue;
    }
    path[length] = '\0';
    files += std::string(files.empty() ? "" : ", ") + "fd " + entry->d_name + " " + path;
  }
  closedir(descriptors);
  printf("date_server's open files: %s\n", files.empty() ? "none" : files.c_str());
}

void print_setting(const char *what) {
  printf("date_bench %s: host %s, ", what, target.host.c_str());
  if (target.count > 0) {
    printf("%ld calls per caller", target.count);
  } else {
    printf("%.1f s per run", target.seconds);
  }
  printf(", %d round%s%s\n", rounds, rounds == 1 ? "" : "s",
         rounds == 1 ? "" : ", best round shown");
  printf("pinning: callers and echo server on %s", cpu_text(cpus_of(0)).c_str());
  if (target.server_pid > 0) {
    printf(", date_server on %s", cpu_text(cpus_of(target.server_pid)).c_str());
  }
  if (target.rpcbind_pid > 0) {
    printf(", rpcbind on %s", cpu_text(cpus_of(target.rpcbind_pid)).c_str());
  }
  printf("\n");
  print_server_files();
}

bool run_rounds(const Run &run, std::vector<Result> &results) {
  results.resize(static_cast<size_t>(rounds));
  for (Result &result : results) {
    if (!measure(target, run, result)) {
      return false;
    }
  }
  return true;
}

int run_one(const Run &run) {
  if (run.kind == Kind::kEcho && !start_echo_server()) {
    return 1;
  }
  print_setting("run");
  std::vector<Result> results;
  bool measured = run_rounds(run, results);
  stop_echo_server();
  if (!measured) {
    return 1;
  }
  const Result &result = best_of(results);
  std::string label = label_of(run);
  print_columns(run.callers > 1);
  print_figures(label, result, -1);
  if (run.callers > 1) {
    print_load(run, result);
  } else {
    printf("\n");
  }
  if (run.callers == 1) {
    print_cpu_per_call(run, result);
  }
  if (run.kind == Kind::kPass) {
    print_pass_steps(result, 0);
    if (run.callers > 1) {
      print_host_capacity(result);
    }
  }
  note_errors(label, result);
  return had_errors ? 1 : 0;
}

struct Entry {
  Run run;
  std::vector<Result> results;
};

std::vector<Entry> suite_entries(int callers, int on_cpu) {
  std::vector<Entry> entries;
  for (Transport transport : {Transport::kUdp, Transport::kTcp}) {
    Run echo;
    echo.kind = Kind::kEcho;
    echo.transport = transport;
    entries.push_back({echo, {}});
    for (unsigned long procedure : {0UL, 1UL, 2UL}) {
      Run call;
      call.transport = transport;
      call.procedure = procedure;
      entries.push_back({call, {}});
    }
  }
  Run pass;
  pass.kind = Kind::kPass;
  // Polling clients run as users; a root client's handle creation hunts for
  // a reserved port and costs the caller several times more.
  if (geteuid() == 0) {
    if (callers == 1 && !only_as_nobody) {
      entries.push_back({pass, {}});
    }
    pass.as_nobody = true;
  }
  entries.push_back({pass, {}});
  for (Entry &entry : entries) {
    entry.run.callers = callers;
    entry.run.cpu = on_cpu;
  }
  return entries;
}

// Rounds interleave the kinds, so that a burst of load from elsewhere on the
// machine touches every kind about alike.
bool run_suite_part(std::vector<Entry> &entries) {
  for (int round = 0; round < rounds; ++round) {
    for (Entry &entry : entries) {
      Result result;
      if (!measure(target, entry.run, result)) {
        return false;
      }
      entry.results.push_back(std::move(result));
    }
  }
  return true;
}

// One suite row for scripts (bench/compare.sh): CPU time per call of each
// side, -1 where unknown.
void print_row(const Run &run, const Result &result, const std::string &label) {
  auto calls = static_cast<double>(result.calls);
  auto per_call = [calls](double seconds) {
    return seconds < 0 || calls == 0 ? -1 : seconds * 1e6 / calls;
  };
  double server = run.kind == Kind::kEcho ? result.echo_cpu : result.server_cpu;
  printf("row\t%d\t%s\t%.1f\t%.2f\t%.2f\t%.2f\t%lu\n", run.callers, label.c_str(),
         result.calls_per_second, per_call(server),
         run.kind == Kind::kPass ? per_call(result.rpcbind_cpu) : -1.0,
         per_call(result.callers_cpu), static_cast<unsigned long>(result.errors));
}

void print_suite_part(const std::vector<Entry> &entries, bool with_load) {
  const Entry *echo_of[2] = {nullptr, nullptr};  // by transport
  for (const Entry &entry : entries) {
    if (entry.run.kind == Kind::kEcho) {
      echo_of[entry.run.transport == Transport::kUdp ? 0 : 1] = &entry;
    }
  }
  print_columns(with_load);
  for (const Entry &entry : entries) {
    const Run &run = entry.run;
    const Result &result = best_of(entry.results);
    // A pass is set against the echo of its own transport, TCP.
    const Entry *echo =
        echo_of[run.transport == Transport::kUdp && run.kind != Kind::kPass ? 0 : 1];
    double ratio = echo != nullptr ? best_ratio(entry.results, echo->results) : -1;
    std::string label = label_of(run);
    print_figures(label, result, ratio);
    if (with_load) {
      print_load(run, result);
    } else {
      printf("\n");
    }
    if (!with_load) {
      print_cpu_per_call(run, result);
    }
    if (run.kind == Kind::kPass) {
      print_pass_steps(result,
                       echo != nullptr && !with_load ? best_of(echo->results).calls_per_second : 0);
      if (with_load) {
        print_host_capacity(result);
      }
    }
    if (print_rows) {
      print_row(run, result, label);
    }
    note_errors(label, result);
  }
}

int run_suite(int callers) {
  if (!start_echo_server()) {
    return 1;
  }
  print_setting("suite");
  if (pinned_cpu < 0) {
    printf(
        "not pinned: on a machine with more than one CPU the figures split into clusters\n"
        "by where the callers and the servers happen to run; give --cpu\n");
  } else {
    printf(
        "one caller and the servers share one CPU: waking another CPU costs tens of us\n"
        "per round trip and splits the figures into two clusters\n");
  }
  printf(
      "rounds interleave the kinds; ratio: best calls/s over the best of the echo\n"
      "of the same transport and number of callers; client passes over the tcp echo\n\n");

  printf("single caller\n");
  std::vector<Entry> single = suite_entries(1, -1);
  bool ok = run_suite_part(single);
  if (ok) {
    print_suite_part(single, false);
  }

  if (ok && callers > 1) {
    printf("\n%d concurrent callers, each with its own handle, on %s\n", callers,
           cpu_text(caller_cpu >= 0 ? std::vector<int>{caller_cpu} : cpus_of(0)).c_str());
    printf(
        "server, callers: the run's busy share of their CPUs; others: what other\n"
        "processes of the machine took of them. A side whose CPU is %.0f %% busy limits.\n"
        "srv us: CPU time of the serving side per call (date_server, or the echo server;\n"
        "for passes date_server and rpcbind together); passes run as nobody when root\n",
        kSaturated * 100);
    std::vector<Entry> concurrent = suite_entries(callers, caller_cpu);
    ok = run_suite_part(concurrent);
    if (ok) {
      print_suite_part(concurrent, true);
    }
  }
  stop_echo_server();
  return ok && !had_errors ? 0 : 1;
}

bool parse_number(const char *text, long low, long high, long &value) {
  char *end = nullptr;
  value = strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= low && value <= high;
}

// ADDRESS or ADDRESS/COUNT, the COUNT addresses' second bytes within 0..255.
bool parse_flood_from(const char *text, ClientsRun &clients) {
  std::string address = text;
  long count = 1;
  size_t slash = address.find('/');
  if (slash != std::string::npos) {
    if (!parse_number(address.c_str() + slash + 1, 1, 256, count)) {
      return false;
    }
    address.resize(slash);
  }
  in_addr first{};
  if (inet_pton(AF_INET, address.c_str(), &first) != 1 || first.s_addr == INADDR_ANY ||
      (ntohl(first.s_addr) >> 16 & 0xff) + static_cast<unsigned long>(count) > 256) {
    return false;
  }
  clients.flood_from = first.s_addr;
  clients.flood_addresses = static_cast<int>(count);
  return true;
}

}  // namespace

int main(int argc, char *argv[]) {
  static const option options[] = {
      {"host", required_argument, nullptr, 'h'},
      {"transport", required_argument, nullptr, 't'},
      {"procedure", required_argument, nullptr, 'p'},
      {"callers", required_argument, nullptr, 'n'},
      {"seconds", required_argument, nullptr, 's'},
      {"count", required_argument, nullptr, 'c'},
      {"rounds", required_argument, nullptr, 'r'},
      {"cpu", required_argument, nullptr, 'C'},
      {"caller-cpu", required_argument, nullptr, 'K'},
      {"as-nobody", no_argument, nullptr, 'N'},
      {"server-pid", required_argument, nullptr, 'S'},
      {"rpcbind-pid", required_argument, nullptr, 'R'},
      {"rows", no_argument, nullptr, 'T'},
      {"clients", required_argument, nullptr, 'L'},
      {"rate", required_argument, nullptr, 'A'},
      {"hold-before", required_argument, nullptr, 'B'},
      {"hold-between", required_argument, nullptr, 'W'},
      {"flood", required_argument, nullptr, 'F'},
      {"flood-every", required_argument, nullptr, 'E'},
      {"flood-from", required_argument, nullptr, 'f'},
      {"help", no_argument, nullptr, 'H'},
      {nullptr, 0, nullptr, 0},
  };
  Run run;
  ClientsRun clients;
  bool host_given = false;
  bool clients_given = false;
  long callers = 0;
  long rounds_given = 0;
  bool seconds_given = false;
  bool valid = true;
  for (int option; valid && (option = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
    long number = 0;
    switch (option) {
      case 'h':
        target.host = optarg;
        host_given = true;
        break;
      case 't':
        valid = strcmp(optarg, "udp") == 0 || strcmp(optarg, "tcp") == 0;
        run.transport = strcmp(optarg, "tcp") == 0 ? Transport::kTcp : Transport::kUdp;
        break;
      case 'p':
        valid = parse_number(optarg, 0, 2, number);
        run.procedure = static_cast<unsigned long>(number);
        break;
      case 'n':
        valid = parse_number(optarg, 1, 256, callers);
        break;
      case 's':
        seconds_given = true;
        target.seconds = strtod(optarg, nullptr);
        valid = target.seconds > 0 && target.seconds <= 3600;
        break;
      case 'c':
        valid = parse_number(optarg, 1, 100000000, target.count);
        break;
      case 'r':
        valid = parse_number(optarg, 1, 100, rounds_given);
        break;
      case 'C':
        valid = parse_number(optarg, 0, 1023, number) && pin_to_cpu(static_cast<int>(number));
        pinned_cpu = static_cast<int>(number);
        break;
      case 'K':
        valid = parse_number(optarg, 0, 1023, number);
        caller_cpu = static_cast<int>(number);
        break;
      case 'N':
        run.as_nobody = true;
        only_as_nobody = true;
        break;
      case 'S':
        valid = parse_number(optarg, 1, 1L << 22, number);
        target.server_pid = static_cast<pid_t>(number);
        break;
      case 'R':
        valid = parse_number(optarg, 1, 1L << 22, number);
        target.rpcbind_pid = static_cast<pid_t>(number);
        break;
      case 'T':
        print_rows = true;
        break;
      case 'L':
        valid = parse_number(optarg, 1, 1000000, number);
        clients.clients = static_cast<int>(number);
        clients_given = true;
        break;
      case 'A':
        clients.rate = strtod(optarg, nullptr);
        valid = clients.rate > 0 && clients.rate <= 1e6;
        break;
      // Both holds together stay well within a pass's 25 s.
      case 'B':
        valid = parse_number(optarg, 0, 10000, number);
        clients.hold_before_ms = static_cast<int>(number);
        break;
      case 'W':
        valid = parse_number(optarg, 0, 10000, number);
        clients.hold_between_ms = static_cast<int>(number);
        break;
      case 'F':
        valid = parse_number(optarg, 1, 1000000, number);
        clients.flood = static_cast<int>(number);
        break;
      case 'E':
        valid = parse_number(optarg, 1, 10000, number);
        clients.flood_every_ms = static_cast<int>(number);
        break;
      case 'f':
        valid = parse_flood_from(optarg, clients);
        break;
      case 'H':
        usage(stdout, argv[0]);
        return 0;
      default:
        valid = false;
    }
  }
  if (!valid || optind != argc - 1) {
    usage(stderr, argv[0]);
    return 1;
  }
  // A server that closes a connection must fail a call, not end a caller.
  signal(SIGPIPE, SIG_IGN);

  const std::string mode = argv[optind];
  if (mode == "clients") {
    if (host_given) {
      clients.host = target.host;
    }
    if (clients.flood > 0 && !clients_given) {
      if (target.count > 0) {
        usage(stderr, argv[0]);  // a count of passes, and no passes
        return 1;
      }
      clients.clients = 0;
    }
    clients.seconds = target.seconds;
    clients.count = target.count;
    clients.server_pid = target.server_pid;
    clients.rpcbind_pid = target.rpcbind_pid;
    return run_clients(clients);
  }
  if (mode == "suite") {
    // More short rounds give a steadier best than a few long ones.
    rounds = static_cast<int>(rounds_given > 0 ? rounds_given : 8);
    if (!seconds_given) {
      target.seconds = 0.5;
    }
    if (caller_cpu < 0) {
      caller_cpu = pinned_cpu;
    }
    return run_suite(static_cast<int>(callers > 0 ? callers : 4));
  }
  rounds = static_cast<int>(rounds_given > 0 ? rounds_given : 1);
  run.callers = static_cast<int>(callers > 0 ? callers : 1);
  if (mode == "call") {
    run.kind = Kind::kCall;
  } else if (mode == "pass") {
    run.kind = Kind::kPass;
  } else if (mode == "echo") {
    run.kind = Kind::kEcho;
  } else {
    usage(stderr, argv[0]);
    return 1;
  }
  return run_one(run);
}
