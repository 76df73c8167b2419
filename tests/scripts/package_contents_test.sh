#!/usr/bin/env bash
# Checks the Debian package that cpack built: its dependencies and
# maintainer scripts, exactly the files it holds, and that what it holds
# works once extracted: the binaries run, the unit names the installed
# server and the user the package makes, the manual pages render.
# Usage: package_contents_test.sh PACKAGE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/script_support.sh
. "$here/../support/script_support.sh"

package=$(package_in "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tree=$scratch/tree
dpkg-deb -x "$package" "$tree"
dpkg-deb -e "$package" "$scratch/control"

# --- control --------------------------------------------------------------------

expect_equal "package name" date-service "$(dpkg-deb -f "$package" Package)"
depends=$(dpkg-deb -f "$package" Depends)
for dependency in libtirpc3 rpcbind adduser; do
  check "depends on $dependency" grep -Eq "(^|, )$dependency( |,|$)" <<< "$depends"
done
for script in postinst prerm postrm; do
  check "$script is executable" test -x "$scratch/control/$script"
  check "$script parses" sh -n "$scratch/control/$script"
done

# --- files ----------------------------------------------------------------------

expected_files="./usr/bin/date_client
./usr/lib/systemd/system/date_server.service
./usr/sbin/date_server
./usr/share/doc/date-service/README.md
./usr/share/man/man1/date_client.1.gz
./usr/share/man/man8/date_server.8.gz"
expect_equal "the files in the package" "$expected_files" "$(cd "$tree" && find . -type f | sort)"

for binary in usr/bin/date_client usr/sbin/date_server; do
  check "$binary is executable" test -x "$tree/$binary"
  check "$binary is a stripped ELF program" \
    grep -Eq '^ELF 64-bit .*, stripped$' <<< "$(file -b "$tree/$binary")"
done

# --- what it installs runs ------------------------------------------------------

status=0
"$tree/usr/bin/date_client" > /dev/null 2> "$scratch/usage" || status=$?
expect_equal "the client without a host exits with" 1 "$status"
expect_equal "and prints its usage" "usage: $tree/usr/bin/date_client hostname" "$(cat "$scratch/usage")"

# The server, where no port mapper answers (a namespace of its own), reports
# that it cannot register.
status=0
timeout 30 "$here/../run_in_netns.sh" "$tree/usr/sbin/date_server" \
  > /dev/null 2> "$scratch/server.err" || status=$?
expect_equal "the server without a port mapper exits with" 1 "$status"
expect_equal "and reports" "unable to register (DATE_PROPG, DATE_VERS, udp)." "$(cat "$scratch/server.err")"

unit=$tree/usr/lib/systemd/system/date_server.service
unit_setting() { sed -n "s/^$1=//p" "$unit"; }
expect_equal "the unit starts the installed server" /usr/sbin/date_server "$(unit_setting ExecStart)"
check "the unit runs the server as the user that postinst makes" \
  grep -qw -- "$(unit_setting User)" "$scratch/control/postinst"

for page in man1/date_client.1.gz man8/date_server.8.gz; do
  warnings=$(man --warnings -l "$tree/usr/share/man/$page" 2>&1 > /dev/null)
  expect_equal "$page renders without warnings" "" "$warnings"
done
