// SPDX-License-Identifier: BSD-3-Clause
// The server's start-up apart from its entry point, so that the fuzz
// targets start the server just as it starts.
#ifndef DATE_SERVER_DATE_SVC_H
#define DATE_SERVER_DATE_SVC_H

// Clears stale registrations, makes the udp, tcp, udp6 and tcp6 transports
// and registers the program on each at the port mapper. On a failure it
// writes its message and ends the process with status 1.
void start_service();

#endif
