// SPDX-License-Identifier: BSD-3-Clause
#ifndef DATE_SERVER_SERVER_OUTPUT_H
#define DATE_SERVER_SERVER_OUTPUT_H

#include <cstdio>

// Where the activity lines go: the server's standard output as it was at
// start, through a descriptor of its own (see date_svc.cpp), so that nothing
// the RPC library prints can land among them.
extern FILE *server_output;

// Whether the last call of bin_date_1_svc had a time from the clock that the
// reply can carry. Without one it printed no line and its result holds no
// time: the call is answered with SYSTEM_ERR.
extern bool bin_date_1_has_time;

#endif
