// SPDX-License-Identifier: BSD-3-Clause
// SIGINT, SIGTERM and SIGHUP for programs that wait inside the RPC
// library, which blocks every signal in the calling thread for as long as
// a call waits (25 s and more).
#ifndef DATE_INTERFACE_TERMINATION_H
#define DATE_INTERFACE_TERMINATION_H

// From now on those of the three signals whose action is the default one
// end the process at once, with that default action, whatever the program
// is waiting on: they are blocked in the calling thread (and so in every
// thread it starts later), and a thread of their own waits for them and
// ends the process. Signals that were ignored stay ignored. Called before
// the program starts any other thread. Should no thread be had, the
// signals are left as they were.
void end_on_termination_signals();

#endif
