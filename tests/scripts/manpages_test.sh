#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The manual pages render without warnings, both through groff and through
# man, have the sections an operator looks for, and quote every message the
# programs print, word for word as the sources print them. The Markdown
# documents' relative links lead to files and headings that exist, and every
# path of the source tree that they name in backticks is there.
# Usage: manpages_test.sh SOURCE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/script_support.sh
. "$here/../support/script_support.sh"
source_dir=$(realpath "$1")

sections=(NAME SYNOPSIS DESCRIPTION PROTOCOL OUTPUT "EXIT STATUS" DIAGNOSTICS ENVIRONMENT FILES
  NOTES EXAMPLES "SEE ALSO")

# page|program's sources|text; texts from the sources are also looked up
# there, so that the page and the program cannot drift apart.
own_texts=(
  "date_server.8|date_server|cannot create udp service."
  "date_server.8|date_server|unable to register (DATE_PROPG, DATE_VERS, udp)."
  "date_server.8|date_server|cannot create tcp service."
  "date_server.8|date_server|unable to register (DATE_PROPG, DATE_VERS, tcp)."
  "date_server.8|date_server|cannot create udp6 service."
  "date_server.8|date_server|unable to register (DATE_PROPG, DATE_VERS, udp6)."
  "date_server.8|date_server|cannot create tcp6 service."
  "date_server.8|date_server|unable to register (DATE_PROPG, DATE_VERS, tcp6)."
  "date_server.8|date_server|svc_run returned"
  "date_server.8|date_server|unable to free arguments"
  "date_server.8|date_server|Time on the server is %ld"
  "date_server.8|date_server|Date on the server is %s"
  "date_client.1|date_client|usage: %s hostname"
  "date_client.1|date_client|Display the time on sever %s is %ld"
  "date_client.1|date_client|Display the date on the server is %s"
  "date_client.1|date_client|%d is a odd number"
  "date_client.1|date_client|This is the %dth loop"
)
# The RPC library's reports that an operator meets most.
library_texts=(
  "date_client.1|RPC: Program not registered"
  "date_client.1|RPC: Port mapper failure - Unable to receive: errno 111 (Connection refused)"
  "date_client.1|RPC: Port mapper failure - Timed out"
  "date_client.1|RPC: Remote system error - Connection timed out"
  "date_client.1|RPC: Unknown host"
  "date_client.1|RPC: Timed out"
  "date_client.1|RPC: Remote system error - Connection refused"
  "date_server.8|Program not registered"
  "date_server.8|Port mapper failure"
)

# A page as an operator reads it, on lines too wide to break a message.
rendered() {
  MANWIDTH=500 man -l "$source_dir/man/$1" 2> /dev/null | sed 's/  */ /g'
}

for page in date_server.8 date_client.1; do
  expect_equal "$page renders through groff without warnings" "" \
    "$(groff -man -ww -z "$source_dir/man/$page" 2>&1)"
  expect_equal "$page renders through man without warnings" "" \
    "$(man --warnings -l "$source_dir/man/$page" 2>&1 > /dev/null)"
  text=$(rendered "$page")
  for section in "${sections[@]}"; do
    grep -qx "$section" <<< "$text" || fail "$page has no section $section"
  done
  echo "ok: $page has every section"
done

for entry in "${own_texts[@]}"; do
  IFS='|' read -r page program text <<< "$entry"
  grep -qF -- "$text" <<< "$(rendered "$page")" || fail "$page does not quote [$text]"
  grep -rqF -- "\"$text" "$source_dir/$program" || fail "$program does not print [$text]"
done
echo "ok: the pages quote every message of the programs"

for entry in "${library_texts[@]}"; do
  IFS='|' read -r page text <<< "$entry"
  grep -qF -- "$text" <<< "$(rendered "$page")" || fail "$page does not explain [$text]"
done
echo "ok: the pages explain the usual library reports"

# A Markdown file's heading anchors, as the forges make them.
anchors() {
  sed -n 's/^#\{1,6\} //p' "$1" | tr '[:upper:]' '[:lower:]' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}
# The words in backticks that name a path below a directory of the tree
# (build directories are no part of it).
named_paths() {
  # shellcheck disable=SC2016 # backticks, not a command
  grep -o '`[^`]*`' "$1" | tr -d '`' | tr ' ' '\n' | sed 's|^\./||' | grep -E '^[A-Za-z0-9_.-]+/' |
    grep -v '^build' | while read -r word; do [ ! -d "$source_dir/${word%%/*}" ] || echo "$word"; done
}
broken=()
for doc in "$source_dir"/README.md "$source_dir"/docs/*.md; do
  name=${doc#"$source_dir"/}
  while read -r target; do
    file=${target%%#*}
    anchor=${target#"$file"}
    linked=$doc
    [ -z "$file" ] || linked=$(dirname "$doc")/$file
    if [ ! -e "$linked" ]; then
      broken+=("$name links to $target, which does not exist")
    elif [ -n "$anchor" ] && ! anchors "$linked" | grep -qxF -- "${anchor#\#}"; then
      broken+=("$name links to $target, which has no such heading")
    fi
  done < <(grep -o '](\([^)]*\))' "$doc" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:' || true)
  while read -r path; do
    compgen -G "$source_dir/$path" > /dev/null || broken+=("$name names $path, which does not exist")
  done < <(named_paths "$doc")
done
[ ${#broken[@]} -eq 0 ] || fail "$(printf '%s\n' "${broken[@]}")"
echo "ok: the documents' links and paths lead to what exists"
