# SPDX-License-Identifier: BSD-3-Clause
# Shared by demo.sh and test.sh: installs what is missing, builds.
# shellcheck shell=bash

# Debian packages a package list needs; installs them as root, otherwise
# prints the command to run and stops.
require_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "run as root: apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# rpcbind started by hand looks up its port by name in /etc/services, which
# netbase holds and rpcbind does not depend on: without it (a minimal root,
# a container image) it cannot listen and exits.
BUILD_PACKAGES=(g++ cmake make pkg-config libtirpc-dev rpcbind netbase)
# The fuzz targets: clang with libFuzzer and the sanitizers, llvm-cov.
# libclang-rt-dev follows each release's clang.
FUZZ_PACKAGES=(clang libclang-rt-dev llvm)

# Starts a port mapper when nothing answers on port 111 of this host.
ensure_rpcbind() {
  if rpcinfo -p 127.0.0.1 >/dev/null 2>&1; then
    return 0
  fi
  echo "no port mapper answers on 127.0.0.1:111; starting rpcbind"
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: rpcbind" >&2
    exit 1
  fi
  rpcbind
  local tries
  for tries in $(seq 50); do
    rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "rpcbind did not come up" >&2
  exit 1
}

# build_dir [cmake options...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$PROJECT_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}
