# SPDX-License-Identifier: BSD-3-Clause
# Shared by the bench scripts (run_bench.sh, compare.sh, callgrind_per_call.sh,
# syscalls_per_call.sh): a network namespace of their own, its private port
# mapper, waiting, and stopping what the script started, by pid. The script
# sets PROJECT_ROOT and BUILD_DIR first.
# shellcheck shell=bash

# enter_bench_namespace ARGS...: outside, installs what is missing (and
# BENCH_PACKAGES), builds into BUILD_DIR and starts the calling script again
# in a network namespace of its own. Inside, it returns, with a fresh folder
# $work and stop_all set to run on exit.
enter_bench_namespace() {
  if [ "${DATE_TEST_IN_NETNS:-}" != 1 ]; then
    prepare_bench
    exec "$PROJECT_ROOT/tests/run_in_netns.sh" "$0" "$@"
  fi
  work=$(mktemp -d "/tmp/$(basename "$0" .sh).XXXXXX")
  rpcbind_pid=
  server_pid=
  trap stop_all EXIT
}

# Outside the namespace: installs what is missing (and BENCH_PACKAGES),
# checks for root and builds into BUILD_DIR.
prepare_bench() {
  # shellcheck source=scripts/common.sh
  . "$PROJECT_ROOT/scripts/common.sh"
  require_packages "${BUILD_PACKAGES[@]}" iproute2 util-linux mount "${BENCH_PACKAGES[@]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): needs root for a network namespace and its rpcbind" >&2
    exit 1
  fi
  configure_and_build "$BUILD_DIR"
}

# Ends the server and the port mapper; KEEP_WORK=1 keeps the folder $work.
stop_all() {
  stop_pid "$server_pid"
  stop_pid "$rpcbind_pid"
  if [ -n "${KEEP_WORK:-}" ]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}

# wait_for COMMAND...: until the command succeeds, 10 s at the most.
wait_for() {
  local tries
  for tries in $(seq 200); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "$(basename "$0"): timed out waiting for: $*" >&2
  exit 1
}

# stop_pid PID: ends a process this script started, and reaps it.
stop_pid() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}

# start_private_rpcbind: a port mapper of this namespace's own; sets rpcbind_pid.
start_private_rpcbind() {
  rpcbind -f &
  rpcbind_pid=$!
  wait_for rpcinfo -p 127.0.0.1
}

tcp_registered() { rpcinfo -p 127.0.0.1 | grep -q '826422358 *1 *tcp'; }
