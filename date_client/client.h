// SPDX-License-Identifier: BSD-3-Clause
// The client's work apart from its entry point: the set-up of its output
// and one pass against a server. The entry point runs them; the fuzz
// targets drive them against peers of their own.
#ifndef DATE_CLIENT_CLIENT_H
#define DATE_CLIENT_CLIENT_H

// Standard descriptors that were closed opened onto /dev/null, so that no
// socket takes their numbers; output line by line, a closed connection
// reported rather than fatal, SIGINT, SIGTERM and SIGHUP taking effect at
// once, and the thread that ends a call at TIMEOUT from its start. False, with the reason in errno,
// if /dev/null or that thread cannot be had. Called before anything is
// opened and before any other thread is started.
bool prepare_client();

// One pass against host: a handle, the time, the date, the counter lines
// after an odd pass. False on a failure, with the report on standard error:
// a call past TIMEOUT, and a failed write to standard output, are failures.
bool poll_once(const char *host, int pass);

#endif
