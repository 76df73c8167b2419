#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs a command in a network and mount namespace of its own: loopback up and
# an empty /run, so that the rpcbind the test starts there, and the
# registrations made at it, are the test's alone. Needs root.
set -euo pipefail
if [ "${DATE_TEST_IN_NETNS:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run_in_netns: needs root to create a network namespace" >&2
    exit 1
  fi
  export DATE_TEST_IN_NETNS=1
  exec unshare --net --mount --propagation private "$0" "$@"
fi
mount -t tmpfs -o mode=0755 tmpfs /run
ip link set lo up
exec "$@"
