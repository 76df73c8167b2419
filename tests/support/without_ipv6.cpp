// SPDX-License-Identifier: BSD-3-Clause
// without_ipv6 [--no-descriptor-for=dgram|stream] COMMAND [ARG...]: runs
// COMMAND as on a host whose kernel has no IPv6: socket(AF_INET6, ...) fails
// with EAFNOSUPPORT (a seccomp filter, inherited across exec). With
// --no-descriptor-for, only IPv6 sockets of that type fail, with EMFILE, as
// when the process is out of descriptors at that socket, whatever the
// descriptors that came before it took.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[]) {
  const char *const option = "--no-descriptor-for=";
  int type = 0;  // any
  int first = 1;
  if (argc > 1 && strncmp(argv[1], option, strlen(option)) == 0) {
    const char *name = argv[1] + strlen(option);
    type = strcmp(name, "dgram") == 0 ? SOCK_DGRAM : strcmp(name, "stream") == 0 ? SOCK_STREAM : -1;
    first = 2;
  }
  if (argc <= first || type < 0) {
    fprintf(stderr, "usage: %s [--no-descriptor-for=dgram|stream] command [argument...]\n",
            argv[0]);
    return 2;
  }
  const unsigned failure =
      type == 0 ? SECCOMP_RET_ERRNO | EAFNOSUPPORT : SECCOMP_RET_ERRNO | EMFILE;
  // The type argument may carry SOCK_NONBLOCK and SOCK_CLOEXEC: its low
  // four bits are the type. For every type the mask is 0, which the
  // comparison with 0 then matches.
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 6),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, type == 0 ? 0U : 0xfU),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(type), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, failure),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                               filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    perror("without_ipv6: seccomp");
    return 2;
  }
  execv(argv[first], argv + first);
  perror("without_ipv6: exec");
  return 127;
}
