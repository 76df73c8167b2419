// SPDX-License-Identifier: BSD-3-Clause
#include "test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "date.h"

extern char **environ;

namespace test_support {

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &stdout_path, const std::string &stderr_path) {
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  for (const auto &setting : env) {
    size_t equals = setting.find('=');
    std::string name = setting.substr(0, equals) + "=";
    for (auto it = environment.begin(); it != environment.end();) {
      it = it->compare(0, name.size(), name) == 0 ? environment.erase(it) : it + 1;
    }
    if (equals != std::string::npos) {
      environment.push_back(setting);
    }
  }
  std::vector<char *> args;
  for (const auto &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char *> envp;
  for (const auto &setting : environment) {
    envp.push_back(const_cast<char *>(setting.c_str()));
  }
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    // As a user's shell starts a command, whatever the test runner ignores.
    for (int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
      signal(signal_number, SIG_DFL);
    }
    if (!stdout_path.empty()) {
      int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      close(fd);
    }
    if (!stderr_path.empty()) {
      int fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 2);
      close(fd);
    }
    // Only 0, 1 and 2 go to the child, as from a shell.
    for (int fd = 3; fd < 1024; ++fd) {
      close(fd);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

std::optional<int> wait_exit(pid_t pid, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return status;
    }
    if (done < 0 || now_ms() >= deadline) {
      return std::nullopt;
    }
    sleep_ms(5);
  }
}

void kill_and_reap(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

double cpu_seconds(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  // Fields after the command name, which ends with the last ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) {
      utime = std::stoull(field);
    } else if (index == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long resident_kb(pid_t pid) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

int open_descriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) {
    return -1;
  }
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

std::string asan_options_with(const std::string &extra) {
  const char *current = getenv("ASAN_OPTIONS");
  std::string options = current != nullptr && *current != '\0' ? current + std::string(":") : "";
  return "ASAN_OPTIONS=" + options + extra;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Removed with all they hold when the test program ends.
struct TempDirs {
  std::vector<std::string> paths;
  ~TempDirs() {
    for (const std::string &path : paths) {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  }
};

std::string make_temp_dir() {
  static TempDirs made;
  char name[] = "/tmp/date_test.XXXXXX";
  if (mkdtemp(name) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  made.paths.emplace_back(name);
  return name;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static std::string rpcbind_path() {
  for (const char *path : {"/usr/sbin/rpcbind", "/sbin/rpcbind"}) {
    if (access(path, X_OK) == 0) {
      return path;
    }
  }
  throw std::runtime_error("rpcbind not installed");
}

pid_t start_rpcbind() {
  pid_t pid = spawn({rpcbind_path(), "-f"});
  bool up = eventually([] { return registered_ports(kPortmapProgram, 2)["udp"] == 111; }, 5000);
  if (!up) {
    kill_and_reap(pid);
    throw std::runtime_error("rpcbind did not answer on 127.0.0.1");
  }
  return pid;
}

void stop_rpcbind(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  kill(pid, SIGTERM);
  if (!wait_exit(pid, 3000)) {
    kill_and_reap(pid);
  }
}

// Reads XDR items from a message, front to back.
struct XdrReader {
  const Bytes &message;
  size_t at = 0;
  bool u32(uint32_t &value) {
    if (at + 4 > message.size()) {
      return false;
    }
    value = static_cast<uint32_t>(message[at] << 24 | message[at + 1] << 16 | message[at + 2] << 8 |
                                  message[at + 3]);
    at += 4;
    return true;
  }
  bool string(std::string &value) {
    uint32_t length = 0;
    if (!u32(length) || length > message.size() - at) {
      return false;
    }
    value.assign(message.begin() + static_cast<long>(at),
                 message.begin() + static_cast<long>(at + length));
    at += (length + 3U) / 4U * 4U;
    return at <= message.size();
  }
};

std::map<std::string, uint16_t> registered_ports(uint32_t program, uint32_t version) {
  Call call;
  call.xid = static_cast<uint32_t>(now_ms());
  call.program = kPortmapProgram;
  call.version = 3;
  call.procedure = 4;  // RPCBPROC_DUMP
  std::map<std::string, uint16_t> ports;
  auto answer = exchange("udp", 111, encode_call(call), 500);
  auto reply = answer ? parse_reply(*answer) : std::nullopt;
  if (!reply || reply->reply_stat != kMsgAccepted || reply->accept_stat != kSuccess) {
    return ports;
  }
  // A list of (program, version, netid, universal address, owner).
  XdrReader list{reply->body};
  uint32_t follows = 0;
  while (list.u32(follows) && follows == 1) {
    uint32_t entry_program = 0;
    uint32_t entry_version = 0;
    std::string netid;
    std::string address;
    std::string owner;
    if (!list.u32(entry_program) || !list.u32(entry_version) || !list.string(netid) ||
        !list.string(address) || !list.string(owner)) {
      break;
    }
    // The port is the last two numbers of the address: "h1.h2.h3.h4.p1.p2".
    size_t low = address.rfind('.');
    size_t high =
        low == std::string::npos || low == 0 ? std::string::npos : address.rfind('.', low - 1);
    if (entry_program == program && entry_version == version && high != std::string::npos) {
      ports[netid] = static_cast<uint16_t>(std::stoi(address.substr(high + 1)) << 8 |
                                           std::stoi(address.substr(low + 1)));
    }
  }
  return ports;
}

uint16_t Server::port(const std::string &netid) const {
  if (netid == "udp") {
    return udp_port;
  }
  if (netid == "tcp") {
    return tcp_port;
  }
  return netid == "udp6" ? udp6_port : tcp6_port;
}

Server start_server(const std::vector<std::string> &env, const std::vector<std::string> &extra_args,
                    const std::vector<std::string> &prefix, bool with_ipv6) {
  Server server;
  std::string dir = make_temp_dir();
  server.stdout_path = dir + "/stdout";
  server.stderr_path = dir + "/stderr";
  std::vector<std::string> argv = prefix;
  argv.emplace_back(DATE_SERVER_BIN);
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  std::vector<std::string> environment{"TZ=UTC"};
  environment.insert(environment.end(), env.begin(), env.end());
  server.pid = spawn(argv, environment, server.stdout_path, server.stderr_path);
  std::vector<std::string> netids{"udp", "tcp"};
  if (with_ipv6) {
    netids.insert(netids.end(), {"udp6", "tcp6"});
  }
  bool registered = eventually(
      [&] {
        auto ports = registered_ports(kDateProgram, 1);
        server.udp_port = ports["udp"];
        server.tcp_port = ports["tcp"];
        server.udp6_port = ports["udp6"];
        server.tcp6_port = ports["tcp6"];
        // A killed server's registrations linger until the new one clears
        // them: wait until the registered ports answer.
        Bytes null_call = encode_call(Call{});
        for (const auto &netid : netids) {
          if (server.port(netid) == 0 || !exchange(netid, server.port(netid), null_call, 200)) {
            return false;
          }
        }
        return true;
      },
      5000);
  if (!registered) {
    kill_and_reap(server.pid);
    throw std::runtime_error("date_server did not register: " + read_file(server.stderr_path));
  }
  return server;
}

void put_u32(Bytes &out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

Bytes u32_bytes(uint32_t value) {
  Bytes out;
  put_u32(out, value);
  return out;
}

static void put_opaque_auth(Bytes &out, uint32_t flavor, const Bytes &body) {
  put_u32(out, flavor);
  put_u32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  out.resize(out.size() + (4 - body.size() % 4) % 4, 0);
}

Call date_call(uint32_t procedure, Bytes arguments) {
  static uint32_t xid = 1000;
  Call call;
  call.xid = ++xid;
  call.procedure = procedure;
  call.arguments = std::move(arguments);
  return call;
}

Bytes encode_call(const Call &call) {
  Bytes out;
  put_u32(out, call.xid);
  put_u32(out, 0);  // CALL
  put_u32(out, call.rpc_version);
  put_u32(out, call.program);
  put_u32(out, call.version);
  put_u32(out, call.procedure);
  put_opaque_auth(out, call.cred_flavor, call.cred_body);
  put_opaque_auth(out, call.verf_flavor, call.verf_body);
  out.insert(out.end(), call.arguments.begin(), call.arguments.end());
  return out;
}

std::optional<Reply> parse_reply(const Bytes &message) {
  XdrReader reader{message};
  auto next = [&](uint32_t &value) { return reader.u32(value); };
  Reply reply;
  uint32_t msg_type = 0;
  if (!next(reply.xid) || !next(msg_type) || msg_type != 1 || !next(reply.reply_stat)) {
    return std::nullopt;
  }
  if (reply.reply_stat == kMsgDenied) {
    if (!next(reply.reject_stat)) {
      return std::nullopt;
    }
    bool complete = reply.reject_stat == kRpcMismatch
                        ? next(reply.mismatch_low) && next(reply.mismatch_high)
                        : next(reply.auth_stat);
    if (!complete) {
      return std::nullopt;
    }
    return reply;
  }
  uint32_t verf_flavor = 0;
  uint32_t verf_length = 0;
  if (!next(verf_flavor) || !next(verf_length) || verf_length > 400) {
    return std::nullopt;
  }
  reader.at += (verf_length + 3) / 4 * 4;
  if (!next(reply.accept_stat)) {
    return std::nullopt;
  }
  if (reply.accept_stat == kProgMismatch &&
      (!next(reply.mismatch_low) || !next(reply.mismatch_high))) {
    return std::nullopt;
  }
  if (reader.at < message.size()) {
    reply.body.assign(message.begin() + static_cast<long>(reader.at), message.end());
  }
  return reply;
}

bool is_ipv6(const std::string &netid) { return netid.back() == '6'; }
bool is_datagram(const std::string &netid) { return netid.rfind("udp", 0) == 0; }

// The loopback address of the netid's family, with port.
static sockaddr_storage loopback(const std::string &netid, uint16_t port, socklen_t *length) {
  sockaddr_storage address{};
  if (is_ipv6(netid)) {
    auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&address);
    ipv6->sin6_family = AF_INET6;
    ipv6->sin6_port = htons(port);
    ipv6->sin6_addr = in6addr_loopback;
    *length = sizeof *ipv6;
  } else {
    auto *ipv4 = reinterpret_cast<sockaddr_in *>(&address);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(port);
    ipv4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *length = sizeof *ipv4;
  }
  return address;
}

static bool wait_readable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready == 1;
}

int loopback_connect(const std::string &netid, uint16_t port, int buffer_size,
                     const std::string &source) {
  socklen_t length = 0;
  sockaddr_storage address = loopback(netid, port, &length);
  int fd = socket(address.ss_family, is_datagram(netid) ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (buffer_size > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
  }
  if (!source.empty()) {
    sockaddr_storage from = loopback(netid, 0, &length);
    void *host = is_ipv6(netid)
                     ? static_cast<void *>(&reinterpret_cast<sockaddr_in6 &>(from).sin6_addr)
                     : static_cast<void *>(&reinterpret_cast<sockaddr_in &>(from).sin_addr);
    if (inet_pton(from.ss_family, source.c_str(), host) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&from), length) != 0) {
      close(fd);
      return -1;
    }
  }
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::optional<Bytes> exchange(const std::string &netid, uint16_t port, const Bytes &message,
                              int timeout_ms) {
  int fd = loopback_connect(netid, port);
  if (fd < 0) {
    return std::nullopt;
  }
  std::optional<Bytes> answer;
  if (is_datagram(netid)) {
    if (send(fd, message.data(), message.size(), 0) == static_cast<ssize_t>(message.size())) {
      answer = receive_datagram(fd, timeout_ms);
    }
  } else if (send_record(fd, message)) {
    answer = read_record(fd, timeout_ms);
  }
  close(fd);
  return answer;
}

std::optional<Bytes> receive_datagram(int fd, int timeout_ms) {
  if (!wait_readable(fd, timeout_ms)) {
    return std::nullopt;
  }
  Bytes buffer(65536);
  ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (got < 0) {
    return std::nullopt;
  }
  buffer.resize(static_cast<size_t>(got));
  return buffer;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool send_all(int fd, const Bytes &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t wrote = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    sent += static_cast<size_t>(wrote);
  }
  return true;
}

Bytes fragment(const Bytes &data, bool last) {
  Bytes out = u32_bytes((last ? 0x80000000U : 0U) | static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

bool send_record(int fd, const Bytes &message) { return send_all(fd, fragment(message, true)); }

static bool read_exactly(int fd, uint8_t *into, size_t count, int64_t deadline) {
  size_t got = 0;
  while (got < count) {
    // Bytes already there are read even once the time is up: a record whose
    // mark was read is never left half read.
    int left = std::max(static_cast<int>(deadline - now_ms()), 0);
    if (!wait_readable(fd, left)) {
      return false;
    }
    ssize_t read_now = recv(fd, into + got, count - got, 0);
    if (read_now < 0 && errno == EINTR) {
      continue;
    }
    if (read_now <= 0) {
      return false;
    }
    got += static_cast<size_t>(read_now);
  }
  return true;
}

std::optional<Bytes> read_record(int fd, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  Bytes record;
  for (;;) {
    uint8_t mark[4];
    if (!read_exactly(fd, mark, 4, deadline)) {
      return std::nullopt;
    }
    uint32_t header = static_cast<uint32_t>(mark[0] << 24 | mark[1] << 16 | mark[2] << 8 | mark[3]);
    size_t length = header & 0x7fffffffU;
    if (length > (1U << 20)) {
      return std::nullopt;
    }
    size_t start = record.size();
    record.resize(start + length);
    if (length > 0 && !read_exactly(fd, record.data() + start, length, deadline)) {
      return std::nullopt;
    }
    if ((header & 0x80000000U) != 0) {
      return record;
    }
  }
}

std::optional<Bytes> read_until_closed(int fd, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  Bytes stream;
  uint8_t buffer[4096];
  for (;;) {
    int left = static_cast<int>(deadline - now_ms());
    if (left <= 0 || !wait_readable(fd, left)) {
      return std::nullopt;
    }
    ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (got <= 0) {
      return stream;  // closed, or reset
    }
    stream.insert(stream.end(), buffer, buffer + got);
  }
}

std::vector<Bytes> split_records(const Bytes &stream) {
  std::vector<Bytes> records;
  Bytes record;
  size_t at = 0;
  while (at + 4 <= stream.size()) {
    uint32_t mark = static_cast<uint32_t>(stream[at] << 24 | stream[at + 1] << 16 |
                                          stream[at + 2] << 8 | stream[at + 3]);
    size_t length = mark & 0x7fffffffU;
    if (stream.size() - at - 4 < length) {
      break;
    }
    record.insert(record.end(), stream.begin() + static_cast<long>(at + 4),
                  stream.begin() + static_cast<long>(at + 4 + length));
    at += 4 + length;
    if ((mark & 0x80000000U) != 0) {
      records.push_back(record);
      record.clear();
    }
  }
  return records;
}

// A handle of the library's on a connected socket of the netid's kind.
static CLIENT *library_client(const char *netid, uint16_t port) {
  int fd = loopback_connect(netid, port);
  if (fd < 0) {
    return nullptr;
  }
  socklen_t length = 0;
  sockaddr_storage address = loopback(netid, port, &length);
  netbuf server = {length, length, &address};
  CLIENT *clnt = is_datagram(netid) ? clnt_dg_create(fd, &server, DATE_PROPG, DATE_VERS, 0, 0)
                                    : clnt_vc_create(fd, &server, DATE_PROPG, DATE_VERS, 0, 0);
  if (clnt == nullptr) {
    close(fd);
    return nullptr;
  }
  clnt_control(clnt, CLSET_FD_CLOSE, nullptr);
  if (is_datagram(netid)) {
    struct timeval retry = {1, 0};
    clnt_control(clnt, CLSET_RETRY_TIMEOUT, reinterpret_cast<char *>(&retry));
  }
  return clnt;
}

std::optional<long> call_bin_date(const char *transport, uint16_t port) {
  CLIENT *clnt = library_client(transport, port);
  if (clnt == nullptr) {
    return std::nullopt;
  }
  long value = 0;
  struct timeval limit = {3, 0};
  enum clnt_stat status =
      clnt_call(clnt, BIN_DATE, as_xdrproc(xdr_void), nullptr, as_xdrproc(xdr_time_value),
                reinterpret_cast<caddr_t>(&value), limit);
  clnt_destroy(clnt);
  if (status != RPC_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> call_str_date(const char *transport, uint16_t port, long when) {
  CLIENT *clnt = library_client(transport, port);
  if (clnt == nullptr) {
    return std::nullopt;
  }
  char *text = nullptr;
  struct timeval limit = {3, 0};
  enum clnt_stat status =
      clnt_call(clnt, STR_DATE, as_xdrproc(xdr_time_value), reinterpret_cast<caddr_t>(&when),
                as_xdrproc(xdr_wrapstring), reinterpret_cast<caddr_t>(&text), limit);
  clnt_destroy(clnt);
  if (status != RPC_SUCCESS) {
    return std::nullopt;
  }
  std::string rendered(text);
  xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(&text));
  return rendered;
}

std::string utc_ctime(long when) {
  time_t seconds = when;
  struct tm broken {};
  gmtime_r(&seconds, &broken);
  char text[64];
  strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &broken);
  return text;
}

}  // namespace test_support
