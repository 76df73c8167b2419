// SPDX-License-Identifier: BSD-3-Clause
// date_client: polls a date server once a second, forever.
#include "client.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_handle.h"
#include "date.h"
#include "standard_descriptors.h"
#include "termination.h"

// The text is whatever the server sent: bytes that are not printable ASCII
// (but for the one trailing newline) are shown as \xNN, so that a server
// cannot drive the terminal.
static std::string printable_text(const char *text) {
  std::string shown;
  size_t length = strlen(text);
  bool ends_in_newline = length > 0 && text[length - 1] == '\n';
  if (ends_in_newline) {
    --length;
  }
  for (size_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f) {
      shown += static_cast<char>(byte);
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  if (ends_in_newline) {
    shown += '\n';
  }
  return shown;
}

// Each call ends within TIMEOUT of its start, whatever the server sends.
// The library applies TIMEOUT to each wait for bytes, not to the call, and
// passes over replies of another xid: a server that sends a byte, or a
// reply to no call, now and then would hold the call for ever. While it
// waits, the library blocks every signal in the calling thread, so a
// thread of the client's watches the call's deadline and, once it has
// passed, shuts the call's socket down: the library's wait then ends at
// once, and the call fails (what the server sends after that resets the
// connection, so no stream of bytes keeps it going). The static data below is shared with that
// thread under call_lock.
static pthread_mutex_t call_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t call_changed;
static int call_fd = -1;  // the socket of the call in progress; -1 between calls
static struct timespec call_deadline;
static bool call_cut_off = false;  // the call in progress met its deadline

static void *cut_off_late_calls(void * /*unused*/) {
  pthread_mutex_lock(&call_lock);
  for (;;) {
    if (call_fd < 0) {
      pthread_cond_wait(&call_changed, &call_lock);
      continue;
    }
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > call_deadline.tv_sec ||
        (now.tv_sec == call_deadline.tv_sec && now.tv_nsec >= call_deadline.tv_nsec)) {
      // Shut down, not closed: the descriptor stays the handle's until
      // clnt_destroy, so that its number cannot be taken meanwhile.
      shutdown(call_fd, SHUT_RDWR);
      call_cut_off = true;
      call_fd = -1;
      continue;
    }
    // Woken by a call's start, or at a deadline that a later call has
    // since moved on: the state is looked at afresh either way.
    pthread_cond_timedwait(&call_changed, &call_lock, &call_deadline);
  }
  return nullptr;
}

// Starts the thread that ends late calls. False, with the reason in errno,
// if it cannot be had.
static bool start_call_watch() {
  errno = start_thread_with_deadlines(&call_changed, cut_off_late_calls);
  return errno == 0;
}

// A call through clnt starts now; its deadline is TIMEOUT from now.
static void call_starts(CLIENT *clnt) {
  // The library's stream handles always give their socket; without one
  // the call would keep the library's own limit.
  int fd = -1;
  if (!clnt_control(clnt, CLGET_FD, reinterpret_cast<char *>(&fd))) {
    fd = -1;
  }
  pthread_mutex_lock(&call_lock);
  clock_gettime(CLOCK_MONOTONIC, &call_deadline);
  call_deadline.tv_sec += TIMEOUT.tv_sec;
  call_deadline.tv_nsec += TIMEOUT.tv_usec * 1000L;
  if (call_deadline.tv_nsec >= 1000000000L) {
    call_deadline.tv_sec += 1;
    call_deadline.tv_nsec -= 1000000000L;
  }
  call_fd = fd;
  call_cut_off = false;
  pthread_cond_signal(&call_changed);
  pthread_mutex_unlock(&call_lock);
}

// The call through clnt that call_starts began has ended, with `result`
// from its stub: false, with the report, if it failed or met its deadline.
// A call cut off at its deadline fails with the library's status for the
// shut-down socket (or, just at the deadline, succeeds on a socket no
// longer of use); what happened is a time-out, and it is reported as the
// library reports one.
static bool call_succeeded(CLIENT *clnt, const char *host, const void *result) {
  pthread_mutex_lock(&call_lock);
  bool cut_off = call_cut_off;
  call_fd = -1;
  pthread_mutex_unlock(&call_lock);
  if (cut_off) {
    fprintf(stderr, "%s: %s\n", host, clnt_sperrno(RPC_TIMEDOUT));
    return false;
  }
  if (result == nullptr) {
    rpc_err error{};
    clnt_geterr(clnt, &error);
    if (error.re_status == RPC_SUCCESS) {  // a reply never decoded (see the stubs)
      fprintf(stderr, "%s: %s\n", host, clnt_sperrno(RPC_CANTDECODERES));
    } else {
      clnt_perror(clnt, host);
    }
    return false;
  }
  return true;
}

// A write to standard output that failed (the reader of a pipe gone, a
// full disk) ends the client like any failure: polling on for nobody is no
// use. SIGPIPE is ignored for the library's sockets, so a lost reader shows
// here, as EPIPE, and the report is that of any filter that ignores it.
static bool output_lost(const char *host, int error) {
  fprintf(stderr, "%s: standard output: %s\n", host, strerror(error));
  return false;
}

static bool output_written(const char *host) {
  return ferror(stdout) == 0 || output_lost(host, errno);
}

// The two calls of a pass and their lines. False on a failure, reported.
static bool show_server_time(CLIENT *clnt, const char *host) {
  call_starts(clnt);
  long *time_value = bin_date_1(nullptr, clnt);
  if (!call_succeeded(clnt, host, time_value)) {
    return false;
  }
  printf("Display the time on sever %s is %ld\n", host, *time_value);
  if (!output_written(host)) {
    return false;
  }

  call_starts(clnt);
  char **date_text = str_date_1(time_value, clnt);
  if (!call_succeeded(clnt, host, date_text)) {
    return false;
  }
  printf("Display the date on the server is %s\n", printable_text(*date_text).c_str());
  bool written = output_written(host);
  xdr_free(as_xdrproc(xdr_wrapstring), reinterpret_cast<char *>(date_text));
  return written;
}

bool prepare_client() {
  // Read-only: a line written to a standard output that was closed fails
  // with EBADF, and is reported as any failed write is.
  if (!open_standard_descriptors(O_RDONLY)) {
    return false;
  }
  end_on_termination_signals();
  // Output often goes to a pipe or a log and the client ends by a signal:
  // every line must be out as soon as it is printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A connection closed by the server must fail the call, not kill us.
  signal(SIGPIPE, SIG_IGN);
  return start_call_watch();
}

bool poll_once(const char *host, int pass) {
  CLIENT *clnt = create_handle(host);
  if (clnt == nullptr) {
    clnt_pcreateerror(host);
    return false;
  }
  bool shown = show_server_time(clnt, host);
  clnt_destroy(clnt);
  if (shown && pass % 2 != 0) {
    printf("%d is a odd number\n", pass);
    printf("This is the %dth loop\n", pass);
    return output_written(host);
  }
  return shown;
}

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// The second between passes, as sleep(1) gives it (a signal that wakes it
// early is not made up), but ended by the loss of standard output: a
// reader such as `head -n 1` usually leaves once the whole pass is in the
// pipe, and the next write, a second later, would be the first to fail. The
// write end of a pipe whose reader has gone polls POLLERR; a file or a
// terminal polls nothing for no events, and the second passes. False, with
// the report, when the output was lost.
static bool pause_a_second(const char *host) {
  struct pollfd output = {STDOUT_FILENO, 0, 0};
  if (poll(&output, 1, 1000) > 0 && (output.revents & POLLERR) != 0) {
    return output_lost(host, EPIPE);
  }
  return true;
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s hostname\n", argv[0]);
    exit(1);
  }
  if (!prepare_client()) {
    perror(argv[0]);
    exit(1);
  }
  for (int pass = 0; poll_once(argv[1], pass) && pause_a_second(argv[1]); ++pass) {
  }
  exit(1);
}
#endif
