# SPDX-License-Identifier: BSD-3-Clause
# Helpers shared by the shell-script tests.
# shellcheck shell=bash

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# package_in DIR: the path of the package that dpkg-buildpackage built into DIR.
package_in() {
  local package
  package=$(find "$1" -maxdepth 1 -name 'date-service_*.deb' | head -n 1)
  [ -n "$package" ] || fail "no package in $1"
  echo "$package"
}

# check DESCRIPTION COMMAND...: runs COMMAND, fails the test if it fails.
check() {
  local description=$1
  shift
  "$@" || fail "$description"
  echo "ok: $description"
}

# expect_equal DESCRIPTION EXPECTED ACTUAL
expect_equal() {
  [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
  echo "ok: $1"
}

# wait_until SECONDS COMMAND...: true once COMMAND succeeds, polled every
# 0.1 s; false after SECONDS.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# True when pid has ended (gone, or a zombie waiting to be reaped).
process_gone() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 0
  [[ $state == Z* ]]
}

# Stops the processes whose pids are given (SIGTERM, SIGKILL after 3 s) and
# reaps those that are our children.
stop_pids() {
  local pid
  for pid in "$@"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "$@"; do
    wait_until 3 process_gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
