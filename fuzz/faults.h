// SPDX-License-Identifier: BSD-3-Clause
// Failures of the system calls the programs make, injected one per input,
// so that their handling of each failure is fuzzed as well. The targets are
// linked with --wrap for each call listed here: the programs' calls (and
// only those made on the thread that armed the plan) pass through the
// plan, every other call goes straight to the system.
#ifndef FUZZ_FAULTS_H
#define FUZZ_FAULTS_H

#include <cstdint>
#include <initializer_list>

namespace fuzz_support {

enum class Fault : uint8_t {
  kCreateFails,          // epoll_create1: EMFILE
  kPeekFails,            // recv: ENOMEM
  kWaitInterrupted,      // epoll_wait: EINTR
  kWaitFails,            // epoll_wait: EBADF
  kFirstSocketFails,     // socket: EMFILE
  kSecondSocketFails,    // socket, the second call: EMFILE
  kConnectFails,         // connect: ENETUNREACH
  kPollTimesOut,         // poll: 0 at once
  kPollFails,            // poll: ENOMEM
  kSocketErrorUnread,    // getsockopt: ENOBUFS
  kBlockingModeRefused,  // fcntl, the second call (F_SETFL): EBADF
  kNoSuchHost,           // getaddrinfo by name: EAI_NONAME
  kNoInternetAddress,    // getaddrinfo: only addresses of another family
  kQueryUnsent,          // send: EPERM (a firewall's reject)
  kReplyUnread,          // recv: ENOMEM
  kLookUpTimesOut,       // getaddrinfo by name: EAI_AGAIN
};

// Plans the fault that an input's first byte picks from `faults`: bits 1
// to 4 hold its place in the list plus one; 0, or a place past the end of
// the list, plans none. Bit 0 is left to the target.
void plan_fault(uint8_t chooser, std::initializer_list<Fault> faults);

// While one lives, the planned fault is armed for this thread's calls.
struct FaultsArmed {
  FaultsArmed();
  ~FaultsArmed();
  FaultsArmed(const FaultsArmed &) = delete;
  FaultsArmed &operator=(const FaultsArmed &) = delete;
};

// The faults of the server's request loop and of the client's pass.
constexpr std::initializer_list<Fault> server_faults = {Fault::kPeekFails, Fault::kWaitInterrupted,
                                                        Fault::kWaitFails};
constexpr std::initializer_list<Fault> client_faults = {
    Fault::kFirstSocketFails,    Fault::kSecondSocketFails, Fault::kConnectFails,
    Fault::kPollTimesOut,        Fault::kPollFails,         Fault::kSocketErrorUnread,
    Fault::kBlockingModeRefused, Fault::kNoSuchHost,        Fault::kNoInternetAddress,
    Fault::kQueryUnsent,         Fault::kReplyUnread,       Fault::kLookUpTimesOut};

// What `work` returns, done with the planned fault armed.
template <typename Work>
auto with_fault_armed(Work work) {
  FaultsArmed armed;
  return work();
}

// Whether the planned fault has been injected since it was planned.
bool fault_injected();

}  // namespace fuzz_support

#endif
