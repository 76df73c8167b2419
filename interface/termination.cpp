// SPDX-License-Identifier: BSD-3-Clause
#include "termination.h"

#include <pthread.h>

#include <csignal>
#include <initializer_list>

namespace {

sigset_t taken_over;

void *end_on_first_signal(void * /*unused*/) {
  int signal_number = 0;
  while (sigwait(&taken_over, &signal_number) != 0) {
  }
  // The default action, taken in this thread, ends the whole process.
  signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal_number);
  return nullptr;
}

}  // namespace

void end_on_termination_signals() {
  sigemptyset(&taken_over);
  for (int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
    struct sigaction current {};
    // A signal ignored by whoever started us (nohup, a shell's background
    // job) must stay ignored: a blocked signal is held even when ignored.
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      sigaddset(&taken_over, signal_number);
    }
  }
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &taken_over, &before);
  pthread_attr_t attributes;
  pthread_t waiter;
  bool started = pthread_attr_init(&attributes) == 0 &&
                 pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                 pthread_create(&waiter, &attributes, end_on_first_signal, nullptr) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
}
