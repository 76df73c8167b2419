#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Compares this tree's date_server with that of commit BASE, the way every
# performance change is judged: BASE is built in a temporary git worktree
# (removed afterwards), and `date_bench suite` runs against the two servers
# in turn in one network namespace with one private rpcbind, A B A B ...
# (A = BASE, B = this tree, uncommitted changes included), with the same
# pinning as run_bench.sh, after one uncounted round of each. Client passes
# run as the user nobody only: a pass as root leaves a crowd of TIME_WAIT
# connections that slows the passes after it, the more the faster the
# client. Every row shows the best round of each (calls/s)
# and the least server CPU (srv us) per call, for passes per pass, and B/A.
#
# Both sides run date_bench built from this tree's bench/ sources; each is
# linked with its own tree's client handle code, so the client passes are
# each build's own client against its own server, while the call rows differ
# in the server only. (Where BASE's tree cannot build that date_bench, A's
# passes use B's client and the output says so.)
#
#   bench/compare.sh BASE [ROUNDS [DATE_BENCH_SUITE_ARGS...]]   (ROUNDS: 8)
# Needs root (a network namespace with a private rpcbind) and git.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${DATE_BENCH_BUILD_DIR:-$PROJECT_ROOT/build-bench}
if [ $# -lt 1 ] || [ "$1" = --help ]; then
  echo "usage: $(basename "$0") BASE [ROUNDS [date_bench suite options...]]" >&2
  exit 1
fi
BASE=$1
ROUNDS=${2:-8}
shift $(($# >= 2 ? 2 : 1))

BENCH_PACKAGES=(git)
# shellcheck source=bench/common.sh
. "$PROJECT_ROOT/bench/common.sh"

if [ "${DATE_TEST_IN_NETNS:-}" != 1 ]; then
  base_commit=$(git -C "$PROJECT_ROOT" rev-parse --verify "$BASE^{commit}")
  prepare_bench
  base_tree=$(mktemp -d "/tmp/compare-base.XXXXXX")
  remove_base_tree() {
    git -C "$PROJECT_ROOT" worktree remove --force "$base_tree" 2>/dev/null || true
    rm -rf "$base_tree"
  }
  trap remove_base_tree EXIT
  trap 'exit 1' INT TERM
  git -C "$PROJECT_ROOT" worktree add --quiet --detach "$base_tree" "$base_commit"
  # This tree's load tool, on top of BASE's server and client handle code.
  rm -rf "$base_tree/bench"
  cp -r "$PROJECT_ROOT/bench" "$base_tree/bench"
  grep -q '^add_subdirectory(bench)' "$base_tree/CMakeLists.txt" ||
    echo 'add_subdirectory(bench)' >>"$base_tree/CMakeLists.txt"
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD_DIR/CMakeCache.txt")
  cmake -S "$base_tree" -B "$base_tree/build" -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
  cmake --build "$base_tree/build" -j"$(nproc)" --target date_server >/dev/null
  cmake --build "$base_tree/build" -j"$(nproc)" --target date_bench >/dev/null 2>&1 || true
  new_name="$(git -C "$PROJECT_ROOT" rev-parse --short HEAD)"
  if [ -n "$(git -C "$PROJECT_ROOT" status --porcelain --untracked-files=no)" ]; then
    new_name="$new_name with uncommitted changes"
  fi
  COMPARE_BASE_BUILD=$base_tree/build COMPARE_BASE_NAME=$(git -C "$PROJECT_ROOT" rev-parse --short "$base_commit") \
    COMPARE_NEW_NAME=$new_name "$PROJECT_ROOT/tests/run_in_netns.sh" "$0" "$BASE" "$ROUNDS" "$@"
  exit
fi

enter_bench_namespace
cpus=$(nproc)
server_cpu=$((cpus - 1))
caller_cpu=0
start_private_rpcbind
taskset -p -c "$server_cpu" "$rpcbind_pid" >/dev/null

declare -A server_of bench_of
server_of[A]=$COMPARE_BASE_BUILD/date_server/date_server
server_of[B]=$BUILD_DIR/date_server/date_server
bench_of[B]=$BUILD_DIR/bench/date_bench
bench_of[A]=$COMPARE_BASE_BUILD/bench/date_bench
note=
if [ ! -x "${bench_of[A]}" ]; then
  bench_of[A]=${bench_of[B]}
  note="(BASE's tree does not build this date_bench: A's passes use B's client)"
fi

# one_round SIDE ARGS...: starts SIDE's server, runs one round of the suite
# against it, adds its rows to $work/rows, and stops the server.
one_round() {
  local side=$1
  shift
  taskset -c "$server_cpu" "${server_of[$side]}" >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  wait_for rpcinfo -t 127.0.0.1 826422358 1
  wait_for rpcinfo -u 127.0.0.1 826422358 1
  if ! "${bench_of[$side]}" --cpu "$server_cpu" --caller-cpu "$caller_cpu" \
    --server-pid "$server_pid" --rpcbind-pid "$rpcbind_pid" --as-nobody --rows suite --rounds 1 "$@" \
    >"$work/round" 2>&1; then
    cat "$work/round" >&2
    exit 1
  fi
  awk -v side="$side" -F '\t' '$1 == "row" { print side "\t" $0 }' "$work/round" >>"$work/rows"
  stop_pid "$server_pid"
  server_pid=
}

echo "machine: $cpus CPUs, $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "A: date_server of $COMPARE_BASE_NAME; B: this tree, $COMPARE_NEW_NAME"
echo "$ROUNDS rounds of date_bench suite --rounds 1${*:+ $*}, interleaved A B A B ...; servers"
echo "and rpcbind on CPU $server_cpu with one caller, concurrent callers on CPU $caller_cpu${note:+ $note}"
# A round of each side first, not counted: every client pass leaves a
# connection in TIME_WAIT for a minute, and the passes of a namespace
# without any run faster, which would favour A's first round.
one_round A "$@"
one_round B "$@"
: >"$work/rows"
for round in $(seq "$ROUNDS"); do
  one_round A "$@"
  one_round B "$@"
done

# The best round's calls/s of each side (load from elsewhere only slows a
# round down), and the least CPU per call; -1 (unknown) figures are skipped.
awk -F '\t' '
  function keep_least(table, key, value) {
    if (value >= 0 && (!(key in table) || value < table[key])) table[key] = value
  }
  function ratio(b, a) { return a > 0 && b > 0 ? sprintf("%.3f", b / a) : "" }
  function cpu(table, key) { return key in table ? sprintf("%.1f", table[key]) : "?" }
  {
    side = $1; callers = $3; label = $4; key = callers SUBSEP label
    if (!(key in seen)) { seen[key] = 1; order[++rows] = key; callers_of[key] = callers; label_of[key] = label }
    k = side SUBSEP key
    if (!(k in rate) || $5 > rate[k]) rate[k] = $5
    keep_least(server, k, $6); keep_least(rpcbind, k, $7); keep_least(client, k, $8)
    errors[k] += $9
  }
  END {
    for (i = 1; i <= rows; i++) {
      key = order[i]; a = "A" SUBSEP key; b = "B" SUBSEP key; label = label_of[key]
      if (callers_of[key] != last) {
        last = callers_of[key]
        printf "\n%s\n", last == 1 ? "single caller" : last " concurrent callers"
        printf "%-24s %9s %9s %6s   %8s %8s %6s\n", "", "calls/s A", "B", "B/A",
          "srv us A", "B", "B/A"
      }
      printf "%-24s %9.0f %9.0f %6s   %8s %8s %6s", label, rate[a], rate[b], ratio(rate[b], rate[a]),
        cpu(server, a), cpu(server, b), ratio(server[b], server[a])
      if (errors[a] + errors[b] > 0) printf "   errors A %d B %d", errors[a], errors[b]
      printf "\n"
      if (label ~ /^client pass/) {
        if (callers_of[key] == 1)
          printf "%-24s mean pass us A %.1f B %.1f, B/A %s;", "", 1e6 / rate[a], 1e6 / rate[b],
            ratio(rate[a], rate[b])
        else
          printf "%-24s", ""
        printf " CPU us per pass: rpcbind A %s B %s, client A %s B %s\n",
          cpu(rpcbind, a), cpu(rpcbind, b), cpu(client, a), cpu(client, b)
      }
      if (callers_of[key] == 1 && label ~ /^date /) {
        product += log(rate[b] / rate[a]); calls++
        if (lowest == "" || rate[b] / rate[a] < lowest) { lowest = rate[b] / rate[a]; lowest_label = label }
      }
    }
    if (calls > 0)
      printf "\ngeometric mean of the %d single-caller call rates, B/A: %.3f (lowest row %.3f, %s)\n",
        calls, exp(product / calls), lowest, lowest_label
  }' "$work/rows"
