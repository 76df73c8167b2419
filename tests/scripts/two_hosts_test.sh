#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Two hosts, for real: a server host (its own network namespace and /run,
# rpcbind, date_server, a firewall open only to the ports that rpcinfo -p
# lists) and a client host (likewise, no rpcbind), joined by a veth pair.
# The link carries IPv4 and IPv6 (unique-local addresses). The client polls
# the server by the server host's IPv4 address, its IPv6 address, or a name
# that the client host resolves to the IPv6 address alone; then the server
# host goes away in the way a case names, and the client must end with
# status 1 and its host-prefixed report. Each case sets up and tears down
# its own pair of hosts.
#   rpcbind_stopped  the server host's rpcbind is stopped (client ends in ~1 s)
#   ipv6_rpcbind_stopped, ipv6_name_rpcbind_stopped  the same, polling over
#                    IPv6 by address and by name
#   link_cut, ipv6_link_cut  the server end of the link goes down (~4 s,
#                    the client's neighbour discovery failing), polling over
#                    IPv4 and over IPv6
#   port_mapper_dropped  SLOW: the firewall starts dropping port 111 without
#                    a word; the client's port mapper query gives up after
#                    25 s
#   server_port_dropped  SLOW: the firewall starts dropping new connections
#                    to the server's TCP port; the client's connection
#                    gives up after 25 s
# Needs root. Usage: two_hosts_test.sh DATE_SERVER DATE_CLIENT CASE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/script_support.sh
. "$here/../support/script_support.sh"

server_binary=$(realpath "$1")
client_binary=$(realpath "$2")
shift 2

program=826422358
# Addresses of the two test hosts; they exist only inside their namespaces.
server_address=10.99.0.1
client_address=10.99.0.2
server_address6=fd99::1
client_address6=fd99::2
# Known to the client host only, and only by its IPv6 address.
server_name6=dateserver6
server_link=dsrv$$
client_link=dcli$$
scratch=$(mktemp -d)

server_host='' client_host='' rpcbind_pid='' server_pid='' client_pid=''
tear_down() {
  stop_pids "$client_pid" "$server_pid" "$rpcbind_pid" "$server_host" "$client_host"
  client_pid='' server_pid='' rpcbind_pid='' server_host='' client_host=''
  # The pair goes with the namespaces; only a pair not yet moved stays here.
  ip link del "$server_link" 2> /dev/null || true
}
trap 'tear_down; rm -rf "$scratch"' EXIT

# A host: a process holding a network and mount namespace of its own, with
# loopback up and an empty /run, so that its rpcbind is its own. Sets
# host_pid.
start_host() {
  unshare --net --mount --propagation private sh -c \
    'mount -t tmpfs -o mode=0755 tmpfs /run && ip link set lo up && exec sleep 600' &
  host_pid=$!
  # The holder becomes "sleep" once its /run is in place.
  wait_until 5 grep -qx sleep "/proc/$host_pid/comm" || fail "host $host_pid did not come up"
}
# Runs a command on a host. For one in the background, $! must be the
# command's own pid, so those call nsenter themselves.
on_host() {
  local host=$1
  shift
  nsenter --target "$host" --mount --net "$@"
}

registered_port() { # host netid
  on_host "$1" rpcinfo 2> /dev/null | awk -v p="$program" -v t="$2" '$1 == p && $3 == t {
    n = split($4, part, "."); print part[n - 1] * 256 + part[n] }'
}

set_up_hosts() {
  start_host
  server_host=$host_pid
  start_host
  client_host=$host_pid
  ip link add "$server_link" type veth peer name "$client_link"
  ip link set "$server_link" netns "$server_host"
  ip link set "$client_link" netns "$client_host"
  on_host "$server_host" ip address add "$server_address/30" dev "$server_link"
  on_host "$server_host" ip address add "$server_address6/64" dev "$server_link" nodad
  on_host "$server_host" ip link set "$server_link" up
  on_host "$client_host" ip address add "$client_address/30" dev "$client_link"
  on_host "$client_host" ip address add "$client_address6/64" dev "$client_link" nodad
  on_host "$client_host" ip link set "$client_link" up
  echo "$server_address6 $server_name6" > "$scratch/hosts"
  on_host "$client_host" mount --bind "$scratch/hosts" /etc/hosts

  nsenter --target "$server_host" --mount --net rpcbind -f &
  rpcbind_pid=$!
  wait_until 5 on_host "$server_host" rpcinfo -p > /dev/null 2>&1 || fail "rpcbind did not come up"
  # Outputs are emptied before a background job writes them: its own
  # redirection may come after the waits below have read the last case's.
  : > "$scratch/server.out"
  nsenter --target "$server_host" --mount --net "$server_binary" \
    > "$scratch/server.out" 2> "$scratch/server.err" &
  server_pid=$!
  wait_until 5 on_host "$server_host" rpcinfo -t 127.0.0.1 "$program" 1 > /dev/null 2>&1 ||
    fail "the server did not register: $(cat "$scratch/server.err")"

  # The firewall that date_server(8) asks for: port 111 and the server's own
  # ports, as rpcinfo lists them; everything else is dropped.
  local udp_port udp6_port tcp6_port
  udp_port=$(registered_port "$server_host" udp)
  tcp_port=$(registered_port "$server_host" tcp)
  udp6_port=$(registered_port "$server_host" udp6)
  tcp6_port=$(registered_port "$server_host" tcp6)
  on_host "$server_host" nft -f - << EOF
table inet date_firewall {
  chain input {
    type filter hook input priority 0; policy drop;
    iif lo accept
    ct state established,related accept
    icmpv6 type { nd-neighbor-solicit, nd-neighbor-advert } accept
    meta l4proto { udp, tcp } th dport 111 accept
    udp dport { $udp_port, $udp6_port } accept
    tcp dport { $tcp_port, $tcp6_port } accept
  }
}
EOF
}

# Starts the client on the client host, polling $target, and waits for its
# second pass, the first with counter lines, which it prints just before it
# sleeps.
start_polling() {
  : > "$scratch/client.out"
  : > "$scratch/client.err"
  nsenter --target "$client_host" --mount --net "$client_binary" "$target" \
    > "$scratch/client.out" 2> "$scratch/client.err" &
  client_pid=$!
  wait_until 10 grep -qsx 'This is the 1th loop' "$scratch/client.out" ||
    fail "the client did not poll: $(cat "$scratch/client.out" "$scratch/client.err")"
}

check_polls() {
  local time_line="^Display the time on sever $target is [0-9]+\$"
  local date_line='^Display the date on the server is [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}$'
  local expected=("$time_line" "$date_line" '^$' "$time_line" "$date_line" '^$'
    '^1 is a odd number$' '^This is the 1th loop$')
  local lines i
  mapfile -t lines < "$scratch/client.out"
  for i in "${!expected[@]}"; do
    [[ ${lines[i]-} =~ ${expected[i]} ]] || fail "client line $((i + 1)): [${lines[i]-}]"
  done
  echo "ok: the client polls the server host at $target through its firewall"
  check "the server host answered the polls" grep -q '^Time on the server is ' "$scratch/server.out"
}

# expect_end CASE BOUND_SECONDS EXPECTED_REPORT: the client must end within
# the bound with status 1 and the report.
expect_end() {
  local started status=0
  started=$(date +%s.%N)
  wait_until "$2" process_gone "$client_pid" || fail "$1: the client still runs after $2 s"
  wait "$client_pid" || status=$?
  client_pid=
  echo "$1: the client ended after $(awk -v from="$started" -v to="$(date +%s.%N)" \
    'BEGIN { printf "%.1f", to - from }') s: $(cat "$scratch/client.err")"
  expect_equal "$1: exit status" 1 "$status"
  expect_equal "$1: report" "$3" "$(cat "$scratch/client.err")"
}

for case_name in "$@"; do
  echo "--- $case_name"
  case $case_name in
    ipv6_name_*) target=$server_name6 ;;
    ipv6_*) target=$server_address6 ;;
    *) target=$server_address ;;
  esac
  set_up_hosts
  start_polling
  check_polls
  # The waits that give up are bounded by the client's 25-second limit,
  # after a pass's sleep of a second.
  case $case_name in
    rpcbind_stopped | ipv6_rpcbind_stopped | ipv6_name_rpcbind_stopped)
      stop_pids "$rpcbind_pid"
      rpcbind_pid=
      expect_end "$case_name" 10 \
        "$target: RPC: Port mapper failure - Unable to receive: errno 111 (Connection refused)"
      ;;
    link_cut | ipv6_link_cut)
      on_host "$server_host" ip link set "$server_link" down
      expect_end "$case_name" 20 \
        "$target: RPC: Port mapper failure - Unable to receive: errno 113 (No route to host)"
      ;;
    port_mapper_dropped)
      on_host "$server_host" nft insert rule inet date_firewall input meta l4proto udp th dport 111 drop
      expect_end "$case_name" 27 "$target: RPC: Port mapper failure - Timed out"
      ;;
    server_port_dropped)
      on_host "$server_host" nft insert rule inet date_firewall input \
        tcp dport "$(registered_port "$server_host" tcp)" ct state new drop
      expect_end "$case_name" 27 "$target: RPC: Remote system error - Connection timed out"
      ;;
    *) fail "unknown case $case_name" ;;
  esac
  tear_down
done
