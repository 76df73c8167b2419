#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the date service, starts a local port mapper if none runs, and runs
# date_server in the background with date_client polling it in the
# foreground. Ctrl-C ends both.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$PROJECT_ROOT/scripts/common.sh"

require_packages "${BUILD_PACKAGES[@]}"
configure_and_build "$PROJECT_ROOT/build"
ensure_rpcbind

server_log="$PROJECT_ROOT/build/date_server.log"
"$PROJECT_ROOT/build/date_server/date_server" >"$server_log" &
server_pid=$!
echo "date_server running (pid $server_pid), its lines in $server_log"
trap 'kill "$server_pid" 2>/dev/null || true' EXIT INT TERM
# Wait for the server's TCP registration before the first poll.
for tries in $(seq 50); do
  rpcinfo -t 127.0.0.1 826422358 1 >/dev/null 2>&1 && break
  sleep 0.1
done
"$PROJECT_ROOT/build/date_client/date_client" localhost
