// SPDX-License-Identifier: BSD-3-Clause
#include "standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool open_standard_descriptors(int access) {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free number: this one, since those below it are open.
      int null_device = open("/dev/null", access);
      if (null_device != fd) {
        if (null_device >= 0) {
          close(null_device);
          errno = EBADF;
        }
        return false;
      }
    }
  }
  return true;
}
