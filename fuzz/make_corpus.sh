#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Writes the fuzz targets' seed corpus into fuzz/corpus/<target>/: calls
# encoded by libtirpc, and replies captured from a real rpcbind and the real
# date_server, both started here in a network and mount namespace of our
# own. Overwrites the seeds it wrote before and leaves every other file in
# the corpus (inputs that found faults) alone. Needs root.
#
#   fuzz/make_corpus.sh [PATH_TO_DATE_SERVER]
set -euo pipefail

fuzz_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$fuzz_dir")
corpus="$fuzz_dir/corpus"

if [ "${DATE_CORPUS_IN_NETNS:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "make_corpus: needs root to create a network namespace" >&2
    exit 1
  fi
  server="${1:-$source_dir/build-test/date_server/date_server}"
  if [ ! -x "$server" ]; then
    if [ $# -gt 0 ]; then
      echo "make_corpus: no server at $server" >&2
      exit 1
    fi
    cmake -S "$source_dir" -B "$source_dir/build-test" -DDATE_BUILD_TESTS=ON
    cmake --build "$source_dir/build-test" -j2 --target date_server
  fi
  export DATE_CORPUS_IN_NETNS=1
  exec unshare --net --mount --propagation private "$0" "$(realpath "$server")"
fi

server="$1"
work=$(mktemp -d)
rpcbind_pid=
server_pid=
stop_all() {
  for pid in $server_pid $rpcbind_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_all EXIT

mount -t tmpfs -o mode=0755 tmpfs /run
ip link set lo up

# shellcheck disable=SC2046
g++ -std=c++17 -O1 -Wall -Wextra -o "$work/make_corpus" "$fuzz_dir/make_corpus.cpp" \
  $(pkg-config --cflags --libs libtirpc)

for target in server_datagram server_stream client_port_mapper client_calls; do
  mkdir -p "$corpus/$target"
done

"$work/make_corpus" encoded "$corpus"

rpcbind -f &
rpcbind_pid=$!
for _ in $(seq 100); do
  [ -S /run/rpcbind.sock ] && break
  sleep 0.05
done
[ -S /run/rpcbind.sock ] || { echo "make_corpus: rpcbind did not come up" >&2; exit 1; }

"$work/make_corpus" unregistered "$corpus"

"$server" >"$work/server.log" 2>&1 &
server_pid=$!
"$work/make_corpus" registered "$corpus"
