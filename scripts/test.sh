#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, builds the date service with its tests and runs
# them. The end-to-end tests run as root, each in a network and mount
# namespace of its own with its own rpcbind on loopback; the package tests
# build the Debian package and install it into overlays of /etc, /usr and
# /var that vanish with their namespace.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$PROJECT_ROOT/scripts/common.sh"

# Namespaces and their mounts (unshare, nsenter, setpriv, prlimit, findmnt;
# mount, a package of its own that minimal roots of unstable lack), ip,
# pgrep.
TEST_PACKAGES=(googletest libgtest-dev faketime libfaketime iproute2 util-linux mount procps
  # the package, manual page, unit and two-host tests
  dpkg-dev file groff-base man-db systemd init-system-helpers nftables
  # the package built and judged as Debian builds its own
  git build-essential debhelper lintian blhc devscripts
  # the package under systemd as PID 1 in a container, with its autopkgtest
  systemd-container autopkgtest)
require_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "the tests create network namespaces: run as root" >&2
  exit 1
fi

configure_and_build "$PROJECT_ROOT/build-test" -DDATE_BUILD_TESTS=ON
(cd "$PROJECT_ROOT/build-test" && ctest --output-on-failure -j"$(nproc)")

# The same tests against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, where no report is allowed. Every
# AddressSanitizer and LeakSanitizer report goes to a file in reports/, and
# any file there fails the run, whether or not a test noticed. Undefined
# behaviour ends the process that meets it, with its report on standard
# error (this combined runtime does not honour a log_path of its own),
# which fails the test: the tests check the server's standard error and
# exit status. LeakSanitizer stays on: it works in the tests' namespaces;
# the suppressions name a leak inside libtirpc. The package tests (label
# package) run in the normal build only: they build and check the Debian
# package, whatever the build tree.
sanitize_dir="$PROJECT_ROOT/build-sanitize"
configure_and_build "$sanitize_dir" -DDATE_SANITIZE=ON -DDATE_BUILD_TESTS=ON
reports="$sanitize_dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
(
  cd "$sanitize_dir"
  export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1"
  export LSAN_OPTIONS="suppressions=$PROJECT_ROOT/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  ctest --output-on-failure -j"$(nproc)" -LE package
) || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  echo "sanitizer reports:" >&2
  cat "$reports"/* >&2
  status=1
fi

# The fuzz targets (clang, libFuzzer, both sanitizers): every corpus file
# replayed, and 30 s of each target (label fuzz). A finding fails its test
# and is kept in build-fuzz/fuzz/findings/.
fuzz_dir="$PROJECT_ROOT/build-fuzz"
configure_and_build "$fuzz_dir" -DCMAKE_CXX_COMPILER=clang++ -DDATE_FUZZ=ON
(cd "$fuzz_dir" && ctest --output-on-failure -j"$(nproc)") || status=$?
exit "$status"
