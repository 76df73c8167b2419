// SPDX-License-Identifier: BSD-3-Clause
// The server's request loop: the RPC library's own loop, with each round's
// ready descriptors screened before the library serves them, so that no
// client can hold up the others or feed the library stale bytes, and the
// connections held kept within what the library can serve.
#ifndef DATE_SERVER_REQUEST_LOOP_H
#define DATE_SERVER_REQUEST_LOOP_H

#include <rpc/rpc.h>

// The largest record a TCP connection may send, and the most of a datagram
// that is looked at before the library reads it. The largest legal call of
// this program is 844 bytes: six words of call header (24), credentials and
// verifier of up to 400 bytes each with their flavour and length words
// (2 * 408), and the 4-byte argument of STR_DATE. 1024 leaves room above
// that; a record over it closes its connection.
constexpr int kLargestRecord = 1024;

// What the loop must know of a transport made at start-up. Every other
// descriptor in the library's poll set is an accepted TCP connection.
enum class TransportKind {
  kDatagram,  // udp, udp6
  kListener,  // tcp, tcp6: accepts connections, never carries a call
};
void note_transport(const SVCXPRT *transp, TransportKind kind);

// The library decodes a datagram from its whole receive buffer, not from
// the bytes received, so an argument cut short is read from the stale tail
// of an earlier message. True when decoding so far stayed within the
// datagram being served (and always for a TCP record, which the library
// bounds itself).
bool decoded_within_message(const SVCXPRT *transp);

// A call of the program has arrived whole on the transport: when room is
// made for others, a connection that has made one gives way after those
// of its source that have made none.
void note_call(const SVCXPRT *transp);

// Waits up to timeout_ms (-1: without end) for calls and connections, and
// serves those that are ready. False when waiting has failed for good.
bool serve_round(int timeout_ms);

#endif
