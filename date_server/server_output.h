#ifndef DATE_SERVER_SERVER_OUTPUT_H
#define DATE_SERVER_SERVER_OUTPUT_H

#include <cstdio>

// Where the activity lines go: the server's standard output.
extern FILE *server_output;

#endif
