#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the date service and date_bench, and measures date_server in a
# network namespace of its own: a private rpcbind on loopback, the server with
# its standard output to a file, the servers and a single caller pinned to one
# CPU, concurrent callers on another. Prints every figure of the suite (see
# docs/performance.md); arguments go to `date_bench suite` (--seconds, --rounds,
# --callers). Needs root, for the namespace and for the rpcbind it starts.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${DATE_BENCH_BUILD_DIR:-$PROJECT_ROOT/build-bench}

BENCH_PACKAGES=()
# shellcheck source=bench/common.sh
. "$PROJECT_ROOT/bench/common.sh"
enter_bench_namespace "$@"

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
