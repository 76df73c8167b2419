// SPDX-License-Identifier: BSD-3-Clause
#include "load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "client_handle.h"
#include "date.h"

const char *const kPassStepNames[kPassSteps] = {"create handle", "procedure 1", "procedure 2",
                                                "destroy"};

namespace {

// The first IPv4 address of host, port 0; false if it has none. (The call
// runs use the library's IPv4 handles; passes make theirs as the client
// does.)
bool resolve_host(const char *host, struct sockaddr_in *address) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  memcpy(address, found->ai_addr, sizeof *address);
  freeaddrinfo(found);
  address->sin_port = 0;
  return true;
}

constexpr size_t kEchoSize = 4;
constexpr int64_t kSecond = 1000000000;
// How long callers may take to make their handles, and a run beyond its time.
constexpr int64_t kSetupLimit = 30 * kSecond;
constexpr int64_t kOverrunLimit = 60 * kSecond;
constexpr int64_t kCountedRunLimit = 600 * kSecond;

// What a caller writes back after its run; its latencies follow.
struct CallerTotals {
  uint64_t calls;
  uint64_t errors;
  int64_t elapsed_ns;
  int64_t cpu_ns;
  int64_t step_ns[kPassSteps];
  uint64_t samples;
  char error[240];
};

// A caller's connection, made before the start: a handle or an echo socket.
struct Connection {
  CLIENT *clnt = nullptr;
  int fd = -1;
  long when = 0;  // the time value sent to procedure 2
};

pid_t echo_pid = -1;
sockaddr_in echo_udp_address{};
sockaddr_in echo_tcp_address{};

int64_t clock_ns(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

int64_t now_ns() { return clock_ns(CLOCK_MONOTONIC); }

bool write_all(int fd, const void *data, size_t size) {
  const char *from = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t wrote = write(fd, from, size);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    from += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return true;
}

// Reads size bytes, waiting no later than deadline (monotonic ns).
bool read_all(int fd, void *data, size_t size, int64_t deadline) {
  char *into = static_cast<char *>(data);
  while (size > 0) {
    int64_t left_ms = (deadline - now_ns()) / 1000000;
    if (left_ms <= 0) {
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left_ms));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    ssize_t got = read(fd, into, size);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    into += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// --- the echo server ---------------------------------------------------------

int bound_loopback_socket(int type, sockaddr_in &address) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      (type == SOCK_STREAM && listen(fd, 64) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Serves like the RPC library's loop: poll all descriptors, then serve every
// ready one with one receive and one send; a new connection is accepted and
// watched from the next poll on.
[[noreturn]] void serve_echo(int udp_fd, int listen_fd) {
  constexpr size_t kMaxWatched = 256;
  static pollfd watched[kMaxWatched];
  static pollfd ready[kMaxWatched];
  size_t count = 2;
  watched[0] = {udp_fd, POLLIN, 0};
  watched[1] = {listen_fd, POLLIN, 0};
  for (;;) {
    size_t polled = count;
    memcpy(ready, watched, polled * sizeof ready[0]);
    if (poll(ready, polled, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      _exit(1);
    }
    for (size_t i = 0; i < polled; ++i) {
      if (ready[i].revents == 0) {
        continue;
      }
      int fd = ready[i].fd;
      char buffer[64];
      if (fd == udp_fd) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t got =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (got > 0) {
          sendto(fd, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr *>(&from),
                 length);
        }
      } else if (fd == listen_fd) {
        int connection = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0 && count < kMaxWatched) {
          watched[count++] = {connection, POLLIN, 0};
        } else if (connection >= 0) {
          close(connection);
        }
      } else {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0 || !write_all(fd, buffer, static_cast<size_t>(got))) {
          close(fd);
          for (size_t w = 2; w < count; ++w) {
            if (watched[w].fd == fd) {
              watched[w] = watched[--count];
              break;
            }
          }
        }
      }
    }
  }
}

// --- callers -----------------------------------------------------------------

bool become_nobody(std::string &error) {
  const passwd *user = getpwnam("nobody");
  if (user == nullptr || setgroups(0, nullptr) != 0 ||
      setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0 ||
      setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0) {
    error = "cannot become the user nobody";
    return false;
  }
  return true;
}

// The library's reports end in a newline; a report here is one line.
std::string one_line(const char *report) {
  std::string line(report);
  while (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  return line;
}

bool open_connection(const Target &target, const Run &run, Connection &connection,
                     std::string &error) {
  const char *host = target.host.c_str();
  switch (run.kind) {
    case Kind::kPass:
      return true;
    case Kind::kEcho: {
      bool udp = run.transport == Transport::kUdp;
      const sockaddr_in &address = udp ? echo_udp_address : echo_tcp_address;
      connection.fd = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
      // A lost answer ends the run instead of hanging it.
      timeval limit = {5, 0};
      if (connection.fd < 0 ||
          setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
          connect(connection.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) !=
              0) {
        error = std::string("cannot reach the echo server: ") + strerror(errno);
        return false;
      }
      return true;
    }
    case Kind::kCall: {
      // Port 0: the handle asks the host's port mapper, as date_client does.
      sockaddr_in address{};
      if (!resolve_host(host, &address)) {
        error = std::string(host) + ": cannot resolve";
        return false;
      }
      int sock = RPC_ANYSOCK;
      if (run.transport == Transport::kUdp) {
        timeval retry = {1, 0};
        connection.clnt = clntudp_create(&address, DATE_PROPG, DATE_VERS, retry, &sock);
      } else {
        connection.clnt = clnttcp_create(&address, DATE_PROPG, DATE_VERS, &sock, 0, 0);
      }
      if (connection.clnt == nullptr) {
        error = one_line(clnt_spcreateerror(host));
        return false;
      }
      connection.when = time(nullptr);
      return true;
    }
  }
  return false;
}

void close_connection(Connection &connection) {
  if (connection.clnt != nullptr) {
    clnt_destroy(connection.clnt);
  }
  if (connection.fd >= 0) {
    close(connection.fd);
  }
}

bool echo_once(int fd, std::string &error) {
  static const char request[kEchoSize] = {'d', 'a', 't', 'e'};
  char answer[kEchoSize];
  if (send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
    error = std::string("echo send: ") + strerror(errno);
    return false;
  }
  size_t got = 0;
  while (got < sizeof answer) {
    ssize_t read_now = recv(fd, answer + got, sizeof answer - got, 0);
    if (read_now < 0 && errno == EINTR) {
      continue;
    }
    if (read_now <= 0) {
      error = read_now == 0 ? "echo server closed" : std::string("echo: ") + strerror(errno);
      return false;
    }
    got += static_cast<size_t>(read_now);
  }
  return true;
}

bool call_once(const Target &target, unsigned long procedure, Connection &connection,
               std::string &error) {
  bool ok = false;
  if (procedure == NULLPROC) {
    timeval limit = {25, 0};
    ok = clnt_call(connection.clnt, NULLPROC, as_xdrproc(xdr_void), nullptr, as_xdrproc(xdr_void),
                   nullptr, limit) == RPC_SUCCESS;
  } else if (procedure == BIN_DATE) {
    ok = bin_date_1(nullptr, connection.clnt) != nullptr;
  } else {
    char **text = str_date_1(&connection.when, connection.clnt);
    ok = text != nullptr;
    if (ok) {
      xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(text));
    }
  }
  if (!ok) {
    error = one_line(clnt_sperror(connection.clnt, target.host.c_str()));
  }
  return ok;
}

// date_client's pass without its printing and sleep, each step timed.
bool pass_once(const Target &target, int64_t step_ns[], std::string &error) {
  const char *host = target.host.c_str();
  int64_t start = now_ns();
  CLIENT *clnt = create_handle(host);
  if (clnt == nullptr) {
    error = one_line(clnt_spcreateerror(host));
    return false;
  }
  int64_t created = now_ns();
  long *time_value = bin_date_1(nullptr, clnt);
  int64_t got_time = now_ns();
  char **date_text = time_value != nullptr ? str_date_1(time_value, clnt) : nullptr;
  if (date_text == nullptr) {
    error = one_line(clnt_sperror(clnt, host));
    clnt_destroy(clnt);
    return false;
  }
  xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(date_text));
  int64_t got_date = now_ns();
  clnt_destroy(clnt);
  int64_t destroyed = now_ns();
  step_ns[0] += created - start;
  step_ns[1] += got_time - created;
  step_ns[2] += got_date - got_time;
  step_ns[3] += destroyed - got_date;
  return true;
}

// One caller in its own process: makes its connection, says it is ready on
// ready_fd, starts when start_fd reaches its end, and writes its totals and
// latencies to report_fd.
[[noreturn]] void caller_main(const Target &target, const Run &run, int ready_fd, int start_fd,
                              int report_fd) {
  CallerTotals totals{};
  std::string error;
  Connection connection;
  bool ready = true;
  if (run.cpu >= 0 && !pin_to_cpu(run.cpu)) {
    error = "cannot pin to CPU " + std::to_string(run.cpu);
    ready = false;
  }
  ready = ready && (!run.as_nobody || become_nobody(error)) &&
          open_connection(target, run, connection, error);
  write_all(ready_fd, "r", 1);
  char start;
  while (read(start_fd, &start, 1) < 0 && errno == EINTR) {
  }

  std::vector<int64_t> latencies;
  if (ready) {
    latencies.reserve(target.count > 0 ? static_cast<size_t>(target.count) : 1U << 16);
    int64_t cpu_before = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
    int64_t begin = now_ns();
    int64_t deadline = begin + static_cast<int64_t>(target.seconds * kSecond);
    int64_t last = begin;
    uint64_t limit = static_cast<uint64_t>(target.count);
    while (target.count > 0 ? totals.calls < limit : last < deadline) {
      bool ok = false;
      switch (run.kind) {
        case Kind::kEcho:
          ok = echo_once(connection.fd, error);
          break;
        case Kind::kCall:
          ok = call_once(target, run.procedure, connection, error);
          break;
        case Kind::kPass:
          ok = pass_once(target, totals.step_ns, error);
          break;
      }
      int64_t end = now_ns();
      if (!ok) {
        // A broken handle fails every later call at once: one error ends the caller.
        ++totals.errors;
        break;
      }
      latencies.push_back(end - last);
      last = end;
      ++totals.calls;
    }
    totals.elapsed_ns = last - begin;
    totals.cpu_ns = clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_before;
    close_connection(connection);
  } else {
    totals.errors = 1;
  }
  snprintf(totals.error, sizeof totals.error, "%s", error.c_str());
  totals.samples = latencies.size();
  bool sent = write_all(report_fd, &totals, sizeof totals) &&
              write_all(report_fd, latencies.data(), latencies.size() * sizeof latencies[0]);
  _exit(sent ? 0 : 1);
}

// Busy and total clock ticks of each CPU so far, from /proc/stat.
struct CpuTicks {
  std::vector<unsigned long long> busy;
  std::vector<unsigned long long> total;
};

CpuTicks cpu_ticks() {
  CpuTicks ticks;
  FILE *stat = fopen("/proc/stat", "r");
  if (stat == nullptr) {
    return ticks;
  }
  char line[512];
  while (fgets(line, sizeof line, stat) != nullptr) {
    unsigned cpu = 0;
    unsigned long long field[8] = {};
    // user nice system idle iowait irq softirq steal
    if (sscanf(line, "cpu%u %llu %llu %llu %llu %llu %llu %llu %llu", &cpu, &field[0], &field[1],
               &field[2], &field[3], &field[4], &field[5], &field[6], &field[7]) != 9) {
      continue;
    }
    unsigned long long total = 0;
    for (unsigned long long value : field) {
      total += value;
    }
    ticks.busy.resize(std::max<size_t>(ticks.busy.size(), cpu + 1));
    ticks.total.resize(ticks.busy.size());
    ticks.busy[cpu] = total - field[3] - field[4];
    ticks.total[cpu] = total;
  }
  fclose(stat);
  return ticks;
}

std::vector<double> cpu_busy_between(const CpuTicks &before, const CpuTicks &after) {
  std::vector<double> busy;
  for (size_t cpu = 0; cpu < before.total.size() && cpu < after.total.size(); ++cpu) {
    unsigned long long total = after.total[cpu] - before.total[cpu];
    busy.push_back(total == 0 ? 0
                              : static_cast<double>(after.busy[cpu] - before.busy[cpu]) /
                                    static_cast<double>(total));
  }
  return busy;
}

void stop_callers(const std::vector<pid_t> &pids) {
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
  }
  for (pid_t pid : pids) {
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace

bool start_echo_server() {
  int udp_fd = bound_loopback_socket(SOCK_DGRAM, echo_udp_address);
  int listen_fd = bound_loopback_socket(SOCK_STREAM, echo_tcp_address);
  if (udp_fd < 0 || listen_fd < 0) {
    fprintf(stderr, "date_bench: cannot open the echo server's sockets: %s\n", strerror(errno));
    return false;
  }
  pid_t parent = getpid();
  echo_pid = fork();
  if (echo_pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(1);
    }
    serve_echo(udp_fd, listen_fd);
  }
  close(udp_fd);
  close(listen_fd);
  if (echo_pid < 0) {
    fprintf(stderr, "date_bench: cannot start the echo server: %s\n", strerror(errno));
    return false;
  }
  return true;
}

void stop_echo_server() {
  if (echo_pid > 0) {
    kill(echo_pid, SIGKILL);
    waitpid(echo_pid, nullptr, 0);
    echo_pid = -1;
  }
}

bool measure(const Target &target, const Run &run, Result &result) {
  result = Result{};
  int ready_pipe[2];
  int start_pipe[2];
  if (pipe2(ready_pipe, O_CLOEXEC) != 0 || pipe2(start_pipe, O_CLOEXEC) != 0) {
    fprintf(stderr, "date_bench: pipe: %s\n", strerror(errno));
    return false;
  }
  std::vector<pid_t> pids;
  std::vector<int> report_fds;
  pid_t parent = getpid();
  for (int i = 0; i < run.callers; ++i) {
    int report_pipe[2];
    if (pipe2(report_pipe, O_CLOEXEC) != 0) {
      break;
    }
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) {
        _exit(1);
      }
      close(ready_pipe[0]);
      close(start_pipe[1]);
      close(report_pipe[0]);
      caller_main(target, run, ready_pipe[1], start_pipe[0], report_pipe[1]);
    }
    close(report_pipe[1]);
    if (pid < 0) {
      close(report_pipe[0]);
      break;
    }
    pids.push_back(pid);
    report_fds.push_back(report_pipe[0]);
  }
  close(ready_pipe[1]);
  close(start_pipe[0]);

  bool ok = static_cast<int>(pids.size()) == run.callers;
  int64_t setup_deadline = now_ns() + kSetupLimit;
  for (size_t i = 0; ok && i < pids.size(); ++i) {
    char ready;
    ok = read_all(ready_pipe[0], &ready, 1, setup_deadline);
  }
  close(ready_pipe[0]);
  double server_before = process_cpu_seconds(target.server_pid);
  double rpcbind_before = process_cpu_seconds(target.rpcbind_pid);
  double echo_before = process_cpu_seconds(echo_pid);
  CpuTicks ticks_before = cpu_ticks();
  close(start_pipe[1]);  // the start signal

  int64_t run_deadline =
      now_ns() + (target.count > 0
                      ? kCountedRunLimit
                      : static_cast<int64_t>(target.seconds * kSecond) + kOverrunLimit);
  std::vector<CallerTotals> totals(pids.size());
  for (size_t i = 0; ok && i < pids.size(); ++i) {
    ok = read_all(report_fds[i], &totals[i], sizeof totals[i], run_deadline);
    if (ok) {
      size_t first = result.latency_ns.size();
      result.latency_ns.resize(first + totals[i].samples);
      ok = read_all(report_fds[i], result.latency_ns.data() + first,
                    totals[i].samples * sizeof(int64_t), run_deadline);
    }
  }
  auto cpu_used = [](double before, double after) {
    return before < 0 || after < 0 ? -1.0 : after - before;
  };
  result.server_cpu = cpu_used(server_before, process_cpu_seconds(target.server_pid));
  result.rpcbind_cpu = cpu_used(rpcbind_before, process_cpu_seconds(target.rpcbind_pid));
  result.echo_cpu = cpu_used(echo_before, process_cpu_seconds(echo_pid));
  result.cpu_busy = cpu_busy_between(ticks_before, cpu_ticks());
  for (int fd : report_fds) {
    close(fd);
  }
  if (!ok) {
    stop_callers(pids);
    fprintf(stderr, "date_bench: the callers did not %s in time\n",
            pids.size() == static_cast<size_t>(run.callers) ? "report" : "start");
    return false;
  }
  stop_callers(pids);  // they have reported and are ending anyway

  int64_t steps[kPassSteps] = {};
  for (const CallerTotals &caller : totals) {
    result.calls += caller.calls;
    result.errors += caller.errors;
    if (result.first_error.empty() && caller.error[0] != '\0') {
      result.first_error = caller.error;
    }
    double elapsed = static_cast<double>(caller.elapsed_ns) / kSecond;
    result.window_seconds = std::max(result.window_seconds, elapsed);
    if (elapsed > 0) {
      result.calls_per_second += static_cast<double>(caller.calls) / elapsed;
    }
    result.callers_cpu += static_cast<double>(caller.cpu_ns) / kSecond;
    for (int s = 0; s < kPassSteps; ++s) {
      steps[s] += caller.step_ns[s];
    }
  }
  for (int s = 0; s < kPassSteps; ++s) {
    result.step_us[s] = result.calls > 0 ? static_cast<double>(steps[s]) / 1000.0 /
                                               static_cast<double>(result.calls)
                                         : 0;
  }
  std::sort(result.latency_ns.begin(), result.latency_ns.end());
  return true;
}

double latency_us(const std::vector<int64_t> &sorted_ns, double q) {
  if (sorted_ns.empty()) {
    return 0;
  }
  auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted_ns.size())));
  size_t index = std::min(sorted_ns.size() - 1, rank > 0 ? rank - 1 : 0);
  return static_cast<double>(sorted_ns[index]) / 1000.0;
}

double process_cpu_seconds(pid_t pid) {
  clockid_t clock;
  timespec used{};
  if (pid <= 0 || clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
    return -1;
  }
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

bool pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

std::vector<int> cpus_of(pid_t pid) {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (pid >= 0 && sched_getaffinity(pid, sizeof set, &set) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &set)) {
        cpus.push_back(cpu);
      }
    }
  }
  return cpus;
}
