#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The date service built for other Debian architectures by the cross
# compilers and tested under qemu-user, in a root that release_matrix.sh
# --arch made (it registers qemu with binfmt_misc for the run).
#
# Usage: cross_test.sh ARCH...   as root, in such a root
#
# For each ARCH: the normal build with its tests in build-ARCH, its ctest
# suite, and tests/library_faults. Left out, as they cannot run under
# qemu-user: the package tests (label package: they build and install the
# Debian package of the host, under systemd for label systemd), the fuzz
# targets and the sanitizer build (AddressSanitizer's shadow memory does not
# map under qemu-user), and the tests in LEFT_OUT below. Then, with two
# architectures or more, the client of each against the server of the next,
# in a network namespace of their own with one rpcbind.
#
# The programs find the target's libraries through QEMU_LD_PREFIX, under
# /opt/cross/ARCH (scripts/cross_sysroots.sh). rpcbind is the host's: a
# process of its own on loopback.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)

# Tests that cannot pass under emulation, each with the reason.
LEFT_OUT=(
  ClientTest.MemoryStaysFlatOverThousandsOfPasses
  "judges the client's resident size, under qemu-user the emulator's with its translated
    code, over 2000 passes in 75 s, more than an emulated client makes"
)
left_out_pattern() {
  local i pattern=''
  for ((i = 0; i < ${#LEFT_OUT[@]}; i += 2)); do
    pattern+="${pattern:+|}^${LEFT_OUT[i]}\$"
  done
  echo "$pattern"
}

sysroot_of() { echo "/opt/cross/$1"; }

# The build and the suite of one architecture; its summary line is kept in
# $summary_file.
test_arch() {
  local arch=$1 build=$PROJECT_ROOT/build-$1 started status=0 log
  local -a cross
  started=$SECONDS
  cross=(-DCMAKE_TOOLCHAIN_FILE="$PROJECT_ROOT/cmake/debian-cross.cmake"
    -DDATE_CROSS_GNU_TYPE="$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2> /dev/null)"
    -DDATE_CROSS_MULTIARCH="$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2> /dev/null)"
    -DDATE_CROSS_CPU="$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU 2> /dev/null)"
    -DDATE_CROSS_SYSROOT="$(sysroot_of "$arch")")
  export QEMU_LD_PREFIX
  QEMU_LD_PREFIX=$(sysroot_of "$arch")
  echo "== $arch: cross build"
  if ! cmake -S "$PROJECT_ROOT" -B "$build" -DDATE_BUILD_TESTS=ON "${cross[@]}" > /dev/null; then
    echo "$arch: not configured" >> "$summary_file"
    return 1
  fi
  # What builds is tested even where a target does not build (the run
  # fails all the same).
  if ! nice cmake --build "$build" -j"$(nproc)" -- -k; then
    echo "$arch: the build failed" >> "$summary_file"
    status=1
  fi
  echo "== $arch: the suite under qemu (built in $((SECONDS - started)) s)"
  log=$build/ctest.log
  (cd "$build" && ctest --output-on-failure -j"$(nproc)" -LE 'package|systemd|fuzz' \
    -E "$(left_out_pattern)") 2>&1 | tee "$log" || status=$?
  echo "== $arch: the library's faults"
  timeout -s KILL 120 "$build/tests/library_faults" | sed 's/^/  /' || true
  echo "$arch: $(grep -E 'tests passed' "$log" || echo 'no ctest summary')" \
    "in $((SECONDS - started)) s" >> "$summary_file"
  # The tests of the time values at the edges of 32 bits: the server's
  # clock past 2038, and -1, 0, 2^31-1 and -2^31 on the wire and as text.
  grep -E 'Test +#[0-9]+: .*(ServerClock|ThirtyTwoBits|AnswersTheThreeProcedures|RendersAsCtimeDoes|EncodesToFourBytes)' "$log" |
    sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: /  /; s/ \.\.+/ /; s/ +# GetParam\(\) = .* ([*]*(Passed|Failed|Skipped))/ \1/' \
      >> "$summary_file" || true
  return "$status"
}

# The client of one architecture against the server of another.
client_against_server() {
  local client_arch=$1 server_arch=$2 scratch rpcbind_pid server_pid status=0
  local client_time client_date server_time server_date
  scratch=$(mktemp -d)
  /usr/sbin/rpcbind -f &
  rpcbind_pid=$!
  for _ in $(seq 50); do rpcinfo -p 127.0.0.1 > /dev/null 2>&1 && break; sleep 0.1; done
  QEMU_LD_PREFIX=$(sysroot_of "$server_arch") TZ=UTC \
    "$PROJECT_ROOT/build-$server_arch/date_server/date_server" > "$scratch/server" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do rpcinfo -T tcp 127.0.0.1 0x31423456 1 > /dev/null 2>&1 && break; sleep 0.1; done
  QEMU_LD_PREFIX=$(sysroot_of "$client_arch") timeout 4 \
    "$PROJECT_ROOT/build-$client_arch/date_client/date_client" localhost > "$scratch/client" 2>&1 || true
  kill "$server_pid" "$rpcbind_pid"
  wait "$server_pid" "$rpcbind_pid" 2> /dev/null || true
  # The client's first pass shows the time and the date that the server
  # printed for it.
  client_time=$(sed -n 's/^Display the time on sever localhost is //p' "$scratch/client" | head -1)
  client_date=$(sed -n 's/^Display the date on the server is //p' "$scratch/client" | head -1)
  server_time=$(sed -n 's/^Time on the server is //p' "$scratch/server" | head -1)
  server_date=$(sed -n 's/^Date on the server is //p' "$scratch/server" | head -1)
  echo "$client_arch client, $server_arch server: $(grep -c '' "$scratch/client") lines from the client," \
    "$(grep -c '' "$scratch/server") from the server; the first time $client_time, date $client_date"
  if [ -z "$client_time" ] || [ "$client_time" != "$server_time" ] || [ "$client_date" != "$server_date" ]; then
    echo "  not the server's: time $server_time, date $server_date" >&2
    sed 's/^/  client: /' "$scratch/client" | head -5 >&2
    status=1
  fi
  rm -rf "$scratch"
  return "$status"
}

if [ "${1:-}" = --pair ]; then
  # In a network namespace of its own (tests/run_in_netns.sh).
  shift
  status=0
  client_against_server "$1" "$2" || status=1
  client_against_server "$2" "$1" || status=1
  exit "$status"
fi
[ $# -gt 0 ] || {
  echo "usage: cross_test.sh ARCH..." >&2
  exit 2
}
summary_file=$(mktemp)
status=0
for arch in "$@"; do
  test_arch "$arch" || status=1
done
arches=("$@")
for ((i = 0; i + 1 < ${#arches[@]}; i++)); do
  echo "== ${arches[i]} and ${arches[i + 1]}: each client against the other's server"
  timeout -s KILL 60 "$PROJECT_ROOT/tests/run_in_netns.sh" "$0" --pair "${arches[i]}" "${arches[i + 1]}" ||
    status=1
done
echo "== the suite per architecture; left out: the labels package, systemd and fuzz, and"
for ((i = 0; i < ${#LEFT_OUT[@]}; i += 2)); do
  echo "  ${LEFT_OUT[i]}: it ${LEFT_OUT[i + 1]//$'\n'    / }"
done
cat "$summary_file"
rm -f "$summary_file"
exit "$status"
