# Shared by run_bench.sh and callgrind_per_call.sh, inside the network
# namespace they run in: waiting, the private port mapper, and stopping what
# the script started, by pid.
# shellcheck shell=bash

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
