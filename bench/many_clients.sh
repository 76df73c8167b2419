#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs `date_bench clients` against a date_server that is already running
# (in this network namespace, or elsewhere with --host). Without
# --server-pid or --rpcbind-pid, it finds them by name among the processes
# of this network namespace, so that their CPU time per pass is reported;
# a name that two processes share there must be given by pid. Arguments go
# to date_bench; DATE_BENCH is the date_bench to run (build-bench's).
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
DATE_BENCH=${DATE_BENCH:-$PROJECT_ROOT/build-bench/bench/date_bench}

if [ ! -x "$DATE_BENCH" ]; then
  echo "$(basename "$0"): no $DATE_BENCH; build it first (bench/run_bench.sh does)" >&2
  exit 1
fi

# pid_of NAME OPTION: the one process of that name in this network
# namespace; nothing if there is none.
pid_of() {
  local pids
  pids=$(pgrep --ns $$ --nslist net -x "$1" || true)
  if [ "$(printf '%s\n' "$pids" | grep -c .)" -gt 1 ]; then
    echo "$(basename "$0"): several $1 processes here (${pids//$'\n'/ }); give $2" >&2
    exit 1
  fi
  printf '%s' "$pids"
}

extra=()
case " $* " in
  *" --server-pid "*) ;;
  *)
    server_pid=$(pid_of date_server --server-pid)
    if [ -n "$server_pid" ]; then extra+=(--server-pid "$server_pid"); fi
    ;;
esac
case " $* " in
  *" --rpcbind-pid "*) ;;
  *)
    rpcbind_pid=$(pid_of rpcbind --rpcbind-pid)
    if [ -n "$rpcbind_pid" ]; then extra+=(--rpcbind-pid "$rpcbind_pid"); fi
    ;;
esac
exec "$DATE_BENCH" "${extra[@]}" "$@" clients
