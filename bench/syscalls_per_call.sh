#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# System calls that date_server makes per call of procedures 0, 1 and 2 over
# UDP and TCP, and per client pass (a connection with procedures 1 and 2),
# counted by strace for N calls or passes from date_bench, start-up left out.
# Opens of /etc/netconfig and looks at /etc/localtime are also counted apart.
#   bench/syscalls_per_call.sh [N]      (N defaults to 1000)
# Needs root (a network namespace with a private rpcbind) and strace.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${DATE_BENCH_BUILD_DIR:-$PROJECT_ROOT/build-bench}
COUNT=${1:-1000}

BENCH_PACKAGES=(strace)
# shellcheck source=bench/common.sh
. "$PROJECT_ROOT/bench/common.sh"
enter_bench_namespace "$@"

start_private_rpcbind
trace=$work/trace
strace -o "$trace" "$BUILD_DIR/date_server/date_server" >"$work/server.out" 2>"$work/server.err" &
strace_pid=$!
wait_for tcp_registered
# The server itself is stopped at the end; strace then ends with it.
server_pid=$(cat "/proc/$strace_pid/task/$strace_pid/children")
sleep 0.2  # the server settles in its wait for calls

# count LABEL ARGS...: the server's system calls while date_bench runs ARGS,
# per call: those written to the trace since the last mark.
count() {
  local label=$1 mark
  shift
  mark=$(wc -l <"$trace")
  "$BUILD_DIR/bench/date_bench" --count "$COUNT" "$@" >"$work/bench.out" ||
    { cat "$work/bench.out" >&2; exit 1; }
  sleep 0.2
  tail -n +"$((mark + 1))" "$trace" >"$work/calls"
  # Only the calls that had returned by now: a line per call.
  awk -v n="$COUNT" -v label="$label" '
    /^[a-z_0-9]+\(/ {
      name = $0; sub(/\(.*/, "", name); total[name]++; all++
      if ($0 ~ /"\/etc\/netconfig"/) netconfig++
      if ($0 ~ /"\/etc\/localtime"/) localtime++
    }
    END {
      printf "%-8s %6.2f  /etc/netconfig opened %.2f, /etc/localtime looked at %.2f:", label,
        all / n, netconfig / n, localtime / n
      for (name in total) if (total[name] / n >= 0.005) printf " %s %.2f", name, total[name] / n
      printf "\n"
    }' "$work/calls"
}

echo "date_server system calls per call ($COUNT calls each; for pass: per pass)"
for transport in udp tcp; do
  for procedure in 0 1 2; do
    count "$transport $procedure" --transport "$transport" --procedure "$procedure" call
  done
done
count "pass" --as-nobody pass
