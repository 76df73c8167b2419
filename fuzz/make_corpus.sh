#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Writes the fuzz targets' seed corpus into CORPUS/<target>/ (by default
# fuzz/corpus): calls encoded by the client's encoder, and replies captured
# from a real rpcbind and the real date_server, both started here in a
# network and mount namespace of our own. Overwrites the seeds it wrote
# before and leaves every other file in the corpus (inputs that found
# faults) alone. Needs root.
#
#   fuzz/make_corpus.sh [BUILD_DIRECTORY [CORPUS]]
#
# date_server and the seeds' maker come from BUILD_DIRECTORY, a build of
# the fuzz targets (by default build-fuzz, configured so if it is not yet).
set -euo pipefail

fuzz_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$fuzz_dir")

if [ "${DATE_CORPUS_IN_NETNS:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "make_corpus: needs root to create a network namespace" >&2
    exit 1
  fi
  build="${1:-$source_dir/build-fuzz}"
  corpus="${2:-$fuzz_dir/corpus}"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DDATE_FUZZ=ON
  fi
  cmake --build "$build" -j2 --target date_server make_corpus
  mkdir -p "$corpus"
  export DATE_CORPUS_IN_NETNS=1
  exec unshare --net --mount --propagation private "$0" "$(realpath "$build")" "$(realpath "$corpus")"
fi

server="$1/date_server/date_server"
make_corpus="$1/fuzz/make_corpus"
corpus="$2"
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

for target in server_datagram server_stream client_port_mapper client_calls; do
  mkdir -p "$corpus/$target"
done

"$make_corpus" encoded "$corpus"

rpcbind -f &
rpcbind_pid=$!
for _ in $(seq 100); do
  [ -S /run/rpcbind.sock ] && break
  sleep 0.05
done
[ -S /run/rpcbind.sock ] || { echo "make_corpus: rpcbind did not come up" >&2; exit 1; }

"$make_corpus" unregistered "$corpus"

"$server" >"$work/server.log" 2>&1 &
server_pid=$!
"$make_corpus" registered "$corpus"
