#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# A fuzzing campaign: every target for SECONDS (default 600) from its
# corpus, two at a time (one per core), then the line coverage that the
# corpus and what the campaign added reach in the programs' code. Prints per
# target the executions, executions per second, corpus size and findings.
# Needs root (each target makes a network namespace of its own).
#
# Usage: fuzz/run.sh [SECONDS]
# Exits 1 when any target found something (a crash, a sanitizer report, a
# leak, a time-out or a slow unit).
# What the campaign adds stays in build-fuzz/campaign/TARGET (merge it into
# fuzz/corpus/TARGET by hand with -merge=1 if worth keeping); findings go
# to build-fuzz/findings/TARGET/.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$PROJECT_ROOT/scripts/common.sh"
seconds=${1:-600}
targets=(server_datagram server_stream client_port_mapper client_calls)

require_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
fuzz_dir="$PROJECT_ROOT/build-fuzz"
coverage_dir="$PROJECT_ROOT/build-fuzz-coverage"
cmake -S "$PROJECT_ROOT" -B "$fuzz_dir" -DCMAKE_CXX_COMPILER=clang++ -DDATE_FUZZ=ON >/dev/null
cmake --build "$fuzz_dir" -j"$(nproc)" --target fuzz_targets >/dev/null
cmake -S "$PROJECT_ROOT" -B "$coverage_dir" -DCMAKE_CXX_COMPILER=clang++ -DDATE_FUZZ=ON \
  -DDATE_FUZZ_COVERAGE=ON >/dev/null
cmake --build "$coverage_dir" -j"$(nproc)" --target fuzz_targets >/dev/null

campaign() {
  local target=$1
  local corpus="$fuzz_dir/campaign/$target" findings="$fuzz_dir/findings/$target/"
  mkdir -p "$corpus" "$findings"
  "$fuzz_dir/fuzz/$target" -max_total_time="$seconds" -max_len=2048 \
    -dict="$PROJECT_ROOT/fuzz/date.dict" -artifact_prefix="$findings" -print_final_stats=1 \
    "$corpus" "$PROJECT_ROOT/fuzz/corpus/$target" > "$fuzz_dir/campaign/$target.log" 2>&1 || true
}

mkdir -p "$fuzz_dir/campaign"
# Findings of earlier campaigns stay; this one counts only its own.
started="$fuzz_dir/campaign/started"
touch "$started"
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  campaign "${targets[i]}" &
  first=$!
  campaign "${targets[i + 1]}"
  wait "$first"
done

# Coverage of every input the targets now have, replayed once each.
profiles="$coverage_dir/profiles"
rm -rf "$profiles"
mkdir -p "$profiles"
for target in "${targets[@]}"; do
  LLVM_PROFILE_FILE="$profiles/$target.profraw" "$coverage_dir/fuzz/$target" -runs=0 \
    "$fuzz_dir/campaign/$target" "$PROJECT_ROOT/fuzz/corpus/$target" >/dev/null 2>&1 || true
done
llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/all.profdata"
objects=()
for target in "${targets[@]}"; do
  objects+=(-object "$coverage_dir/fuzz/$target")
done

printf '%-20s %12s %9s %8s %9s\n' target executions exec/s corpus findings
all_findings=0
for target in "${targets[@]}"; do
  log="$fuzz_dir/campaign/$target.log"
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  corpus=$(find "$fuzz_dir/campaign/$target" "$PROJECT_ROOT/fuzz/corpus/$target" -type f | wc -l)
  findings=$(find "$fuzz_dir/findings/$target" -type f -newer "$started" | wc -l)
  printf '%-20s %12s %9s %8s %9s\n' "$target" "${executions:-?}" "${rate:-?}" "$corpus" "$findings"
  all_findings=$((all_findings + findings))
done
echo
llvm-cov report "${objects[@]:1}" -instr-profile="$profiles/all.profdata" \
  "$PROJECT_ROOT"/date_server/*.cpp "$PROJECT_ROOT"/date_client/*.cpp "$PROJECT_ROOT"/interface/*.cpp
echo "lines not reached: llvm-cov show ${objects[*]:1} -instr-profile=$profiles/all.profdata" \
  "-show-line-counts-or-regions $PROJECT_ROOT/date_server/date_svc.cpp ..."
# A campaign that found something fails, so that it can gate.
if [ "$all_findings" -gt 0 ]; then
  echo "$all_findings findings in build-fuzz/findings/" >&2
  exit 1
fi
