#!/usr/bin/env bash
# Builds the date service and date_bench, and measures date_server in a
# network namespace of its own: a private rpcbind on loopback, the server with
# its standard output to a file, the servers and a single caller pinned to one
# CPU, concurrent callers on another. Prints every figure of the README's
# performance section; arguments go to `date_bench suite` (--seconds, --rounds,
# --callers). Needs root, for the namespace and for the rpcbind it starts.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${DATE_BENCH_BUILD_DIR:-$PROJECT_ROOT/build-bench}

if [ "${DATE_TEST_IN_NETNS:-}" != 1 ]; then
  # shellcheck source=scripts/common.sh
  . "$PROJECT_ROOT/scripts/common.sh"
  require_packages "${BUILD_PACKAGES[@]}" iproute2 util-linux
  if [ "$(id -u)" -ne 0 ]; then
    echo "run_bench: needs root for a network namespace and its rpcbind" >&2
    exit 1
  fi
  configure_and_build "$BUILD_DIR"
  exec "$PROJECT_ROOT/tests/run_in_netns.sh" "$0" "$@"
fi

# Inside the namespace: everything started here is stopped by its pid.
# shellcheck source=bench/common.sh
. "$PROJECT_ROOT/bench/common.sh"
work=$(mktemp -d /tmp/date_bench.XXXXXX)
rpcbind_pid=
server_pid=
stop_all() {
  stop_pid "$server_pid"
  stop_pid "$rpcbind_pid"
  rm -rf "$work"
}
trap stop_all EXIT

# The servers on the last CPU, concurrent callers on the first.
cpus=$(nproc)
server_cpu=$((cpus - 1))
caller_cpu=0

start_private_rpcbind
taskset -p -c "$server_cpu" "$rpcbind_pid" >/dev/null

taskset -c "$server_cpu" "$BUILD_DIR/date_server/date_server" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
wait_for rpcinfo -t 127.0.0.1 826422358 1
wait_for rpcinfo -u 127.0.0.1 826422358 1

echo "machine: $cpus CPUs, $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$BUILD_DIR/bench/date_bench" --cpu "$server_cpu" --caller-cpu "$caller_cpu" \
  --server-pid "$server_pid" --rpcbind-pid "$rpcbind_pid" suite "$@"
