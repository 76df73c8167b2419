// SPDX-License-Identifier: BSD-3-Clause
// Descriptors 0, 1 and 2 for programs that open sockets.
#ifndef DATE_INTERFACE_STANDARD_DESCRIPTORS_H
#define DATE_INTERFACE_STANDARD_DESCRIPTORS_H

// A program started with descriptor 0, 1 or 2 closed would give that
// number to its first socket, and a line meant for standard output, or a
// message meant for standard error, would be written into that socket.
// Each one that is closed is opened onto /dev/null with `access` (O_RDWR:
// writes vanish; O_RDONLY: writes fail with EBADF, as they did on the
// closed descriptor). Called before anything else is opened (sockets,
// threads, the resolver). False, with the reason in errno, if /dev/null
// cannot be opened there.
bool open_standard_descriptors(int access);

#endif
