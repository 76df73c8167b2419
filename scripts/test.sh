#!/usr/bin/env bash
# Installs what is missing, builds the date service with its tests and runs
# them. The end-to-end tests run as root, each in a network and mount
# namespace of its own with its own rpcbind on loopback; the package tests
# build the Debian package and install it into overlays of /etc, /usr and
# /var that vanish with their namespace.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$PROJECT_ROOT/scripts/common.sh"

TEST_PACKAGES=(googletest libgtest-dev faketime libfaketime iproute2 util-linux procps
  # the package, manual page, unit and two-host tests
  dpkg-dev file groff-base man-db systemd init-system-helpers adduser nftables)
require_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "the tests create network namespaces: run as root" >&2
  exit 1
fi

configure_and_build "$PROJECT_ROOT/build-test" -DDATE_BUILD_TESTS=ON
(cd "$PROJECT_ROOT/build-test" && ctest --output-on-failure -j"$(nproc)")
