#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks the Debian package that dpkg-buildpackage built: lintian finds no
# error or warning, a second build gives the same packages, the programs are
# hardened; its dependencies and maintainer scripts, exactly the files it
# holds, and that what it holds works once extracted: the binaries run, the
# unit names the installed server and the user the package makes, the
# manual pages render.
# Usage: package_contents_test.sh PACKAGE_DIR SOURCE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/script_support.sh
. "$here/../support/script_support.sh"

package_dir=$1 source_dir=$2
package=$(package_in "$package_dir")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tree=$scratch/tree
dpkg-deb -x "$package" "$tree"
dpkg-deb -e "$package" "$scratch/control"

# --- as Debian judges a package -------------------------------------------------

# Pedantic and informational tags are shown, not failed on; overrides carry
# their reasons in debian/*.lintian-overrides.
check "lintian finds no error or warning" \
  lintian --pedantic --display-info --fail-on error,warning "$package_dir"/date-service_*.changes
# Another export at another path, built later: the same bytes.
"$here/package_build.sh" "$source_dir" "$scratch/again" > /dev/null
for deb in "$package_dir"/*.deb; do
  check "a second build gives the same $(basename "$deb")" cmp "$deb" "$scratch/again/$(basename "$deb")"
done
# Hardening as the build did it: blhc finds every compile and link line of
# the build's log with the flags that this release's dpkg-buildflags gives
# (stack protector, fortify, format checks, stack clash and control-flow
# protection where the release has them, RELRO, and BIND_NOW, which
# hardening=+all asks for). Debian's compilers make PIE by default, without
# a flag. hardening-check then confirms from the programs themselves only
# what a linked program shows for certain (PIE, RELRO, BIND_NOW): its
# guesses at the other protections, from the instructions present, vary
# with its version and fail small programs.
check "every compile and link line has the hardening flags" \
  blhc --bindnow "$package_dir/build.log"
for binary in usr/sbin/date_server usr/bin/date_client; do
  for feature in "Position Independent Executable" "Read-only relocations" "Immediate binding"; do
    check "$binary: $feature" \
      grep -q "^ $feature: yes" <<< "$(hardening-check "$tree/$binary")"
  done
done

# --- control --------------------------------------------------------------------

expect_equal "package name" date-service "$(dpkg-deb -f "$package" Package)"
# One a line, without versions.
depends=$(dpkg-deb -f "$package" Depends | sed 's/ *([^)]*)//g; s/, */\n/g')
# The library's package as this release names it (libtirpc3, libtirpc3t64
# since the 64-bit time transition): the one that holds the library the
# build linked. systemd-sysusers makes the service's user.
libtirpc_package=$(dpkg-query -S '*/libtirpc.so.3' | grep -v '^diversion' | sed 's/[:,].*//' | sort -u)
for dependency in "$libtirpc_package" rpcbind 'systemd | systemd-standalone-sysusers | systemd-sysusers'; do
  check "depends on $dependency" grep -Fxq "$dependency" <<< "$depends"
done
for script in postinst prerm postrm; do
  check "$script is executable" test -x "$scratch/control/$script"
  check "$script parses" sh -n "$scratch/control/$script"
done

# --- files ----------------------------------------------------------------------

expected_files="./usr/bin/date_client
./usr/lib/systemd/journald@date_server.conf.d/date-service.conf
./usr/lib/systemd/system/date_server.service
./usr/lib/sysusers.d/date-service.conf
./usr/sbin/date_server
./usr/share/doc/date-service/README.md.gz
./usr/share/doc/date-service/changelog.gz
./usr/share/doc/date-service/copyright
./usr/share/lintian/overrides/date-service
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
expect_equal "the unit runs the server as the system user that the package makes" \
  "$(unit_setting User)" "$(awk '$1 == "u" { print $2 }' "$tree/usr/lib/sysusers.d/date-service.conf")"

for page in man1/date_client.1.gz man8/date_server.8.gz; do
  warnings=$(man --warnings -l "$tree/usr/share/man/$page" 2>&1 > /dev/null)
  expect_equal "$page renders without warnings" "" "$warnings"
done
