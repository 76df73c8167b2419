#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Instructions that date_server executes per call of procedures 0, 1 and 2
# over UDP and TCP, and per client pass (one accepted TCP connection with a
# call of procedure 1 and one of procedure 2), counted by callgrind, which
# counts the same on a busy machine as on an idle one. The server runs once
# for N calls (passes) and once for 2N from date_bench; the difference of the
# two totals divided by N leaves start-up, registration and shutdown out.
# Also splits one call's instructions between the RPC library's request path
# and the server's own code.
#   bench/callgrind_per_call.sh [N]      (N defaults to 2000)
# KEEP_WORK=1 keeps the profiles (the script names the folder) for
# callgrind_annotate.
# Needs root (a network namespace with a private rpcbind) and valgrind.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${DATE_BENCH_BUILD_DIR:-$PROJECT_ROOT/build-bench}
CALLS=${1:-2000}

BENCH_PACKAGES=(valgrind)
# shellcheck source=bench/common.sh
. "$PROJECT_ROOT/bench/common.sh"
enter_bench_namespace "$@"

start_private_rpcbind

# profile CASE CALLS DATE_BENCH_ARGS...: the server's profile for that many
# calls (or passes) of date_bench with those arguments.
profile() {
  local out=$work/$1.$2 calls=$2
  shift 2
  # Registrations of the previous, killed server would point at a dead port.
  rpcinfo -d 826422358 1 2>/dev/null || true
  valgrind --tool=callgrind --callgrind-out-file="$out" --dump-instr=no \
    "$BUILD_DIR/date_server/date_server" >"$work/server.out" 2>"$work/valgrind.err" &
  server_pid=$!
  wait_for tcp_registered
  "$BUILD_DIR/bench/date_bench" --count "$calls" "$@" >"$work/bench.out" ||
    { cat "$work/bench.out" >&2; exit 1; }
  stop_pid "$server_pid"  # callgrind writes the profile on SIGTERM
  server_pid=
}

# "incl NAME IR" and "self NAME IR" for every function of a profile, and
# "total total IR". A function that debug information splits over several
# source files is summed over them; the same file named twice (by its full
# and its relative path) counts once.
function_costs() {
  local kind inclusive
  for kind in incl self; do
    inclusive=no
    [ "$kind" = incl ] && inclusive=yes
    callgrind_annotate --auto=no --inclusive=$inclusive --threshold=100 "$1" |
      awk -v kind="$kind" '/^ *[0-9,]+ \(/ {
          count = $1; gsub(/,/, "", count)
          name = $0; sub(/^ *[0-9,]+ \([^)]*\) +/, "", name); sub(/ \[.*$/, "", name)
          sub(/\(.*$/, "", name); file = name
          sub(/^.*:/, "", name); sub(/@.*$/, "", name)
          sub(/:[^:]*$/, "", file); sub(/^.*\//, "", file)
          if (name != "" && count > part[name, file]) part[name, file] = count
        }
        END {
          for (key in part) { split(key, pair, SUBSEP); sum[pair[1]] += part[key] }
          for (name in sum) print kind, name, sum[name]
        }'
  done
  echo "total total $(grep '^summary:' "$1" | cut -d' ' -f2)"
}

# value COSTS KIND NAME: per-call instructions, 0 if the function never ran.
value() {
  awk -v kind="$2" -v name="$3" '$1 == kind && $2 == name { v = $3 } END { printf "%.0f", v + 0 }' "$1"
}

# per_call CASE DATE_BENCH_ARGS...: the costs per call of one case.
cases=()
per_call() {
  local case=$1
  shift
  profile "$case" "$CALLS" "$@"
  profile "$case" $((2 * CALLS)) "$@"
  function_costs "$work/$case.$CALLS" >"$work/small"
  function_costs "$work/$case.$((2 * CALLS))" >"$work/large"
  awk -v calls="$CALLS" 'NR == FNR { small[$1 " " $2] = $3; next }
    { print $1, $2, ($3 - small[$1 " " $2]) / calls }' "$work/small" "$work/large" \
    >"$work/$case.per_call"
  cases+=("$case")
}
for transport in udp tcp; do
  for procedure in 0 1 2; do
    per_call "$transport.$procedure" --transport "$transport" --procedure "$procedure" call
  done
done
# A pass as date_client makes it, as a user (as root the client hunts for
# reserved ports, which costs only the client).
per_call pass.1+2 --as-nobody pass

row() {
  local label=$1 column
  shift
  printf '%-34s' "$label"
  for column in "$@"; do
    printf ' %7s' "$column"
  done
  printf '\n'
}

echo "date_server instructions per call (callgrind Ir: (at $((2 * CALLS)) calls - at $CALLS calls) / $CALLS);"
echo "pass: per client pass, a connection accepted, procedures 1 and 2 called, closed"
row "" "${cases[@]/./ }"
declare -A cell
for c in "${cases[@]}"; do
  costs=$work/$c.per_call
  total=$(value "$costs" total total)
  routine=$(($(value "$costs" incl bin_date_1_svc) + $(value "$costs" incl str_date_1_svc)))
  sizeof=$(value "$costs" incl xdr_sizeof)
  dispatcher=$(value "$costs" self date_propg_1)
  cell[total,$c]=$total
  cell[library,$c]=$((total - routine - sizeof - dispatcher))
  cell[routine,$c]=$routine
  cell[print,$c]=$(($(value "$costs" incl fprintf) + $(value "$costs" incl fflush)))
  cell[rest,$c]=$((routine - cell[print,$c]))
  cell[sizeof,$c]=$sizeof
  cell[dispatcher,$c]=$dispatcher
  cell[buffers,$c]=$(value "$costs" incl xdrrec_create)
  cell[netconfig,$c]=$(value "$costs" incl getnetconfigent)
done
line() {
  local key=$1 label=$2 values=() c
  for c in "${cases[@]}"; do
    values+=("${cell[$key,$c]}")
  done
  row "$label" "${values[@]}"
}
line total "whole call"
line library "RPC library's request path"
line buffers "  of it xdrrec_create"
line netconfig "  of it getnetconfigent"
line routine "server routine"
line print "  of it fprintf + fflush"
line rest "  of it the rest: clock, date text"
line sizeof "xdr_sizeof before the reply"
line dispatcher "dispatcher's own instructions"
echo
echo "the library's request path is the whole call less the server's own rows:"
echo "poll, receive, decode, encode and send, and the loop around them"
echo
echo "most instructions per call, by function (exclusive):"
for c in "${cases[@]}"; do
  printf '%s:' "$([ "${c%%.*}" = pass ] && echo pass || echo "${c/./ procedure }")"
  awk '$1 == "self" && $3 >= 1 { print $3, $2 }' "$work/$c.per_call" | sort -rn | head -8 |
    awk '{ printf " %s %.0f,", $2, $1 } END { print "" }' | sed 's/,$//'
done
