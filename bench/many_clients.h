// SPDX-License-Identifier: BSD-3-Clause
// date_bench's simulated clients: thousands of date_client passes at once in
// one process, on non-blocking sockets of their own driven by epoll, and
// what they met.
#ifndef BENCH_MANY_CLIENTS_H
#define BENCH_MANY_CLIENTS_H

#include <netinet/in.h>
#include <sys/types.h>

#include <string>

struct ClientsRun {
  std::string host = "127.0.0.1";  // an IPv4 address or a name with one
  int clients = 100;               // passes in flight at the most
  double rate = 0;                 // passes started a second; 0: each client starts
                                   // its next pass as soon as its last one ends
  double seconds = 2;              // passes are started for this long
  long count = 0;                  // or until this many have been started
  int hold_before_ms = 0;          // connected, before procedure 1
  int hold_between_ms = 0;         // between procedures 1 and 2
  pid_t server_pid = 0;            // for their CPU time; 0: unknown
  pid_t rpcbind_pid = 0;
  // Beside the passes, for the run's --seconds: connections each calling
  // procedure 1 every flood_every_ms, connected again at once when the
  // server closes them; bound to flood_addresses source addresses from
  // flood_from up, the second byte counting (INADDR_ANY: unbound).
  int flood = 0;
  int flood_every_ms = 2000;
  in_addr_t flood_from = 0;  // network order
  int flood_addresses = 1;
};

// Makes the run and prints its report; 0 if every pass completed, 1 if any
// failed, if a flood had no call answered, or if the run could not be made
// (the reason on standard error).
int run_clients(const ClientsRun &run);

#endif
