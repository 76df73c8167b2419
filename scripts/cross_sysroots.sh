#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The target's libraries for a cross run, in /opt/cross/ARCH for each ARCH:
# where the cross build (cmake/debian-cross.cmake) links and qemu-user
# (QEMU_LD_PREFIX) loads from. The C and C++ runtime is the cross
# toolchain's (libc6-ARCH-cross); the rest is unpacked from the
# architecture's own packages. release_matrix.sh --arch runs it chrooted,
# with the architectures' package lists, while it makes the root.
#
# Usage: cross_sysroots.sh ARCH...
set -euo pipefail

sysroot_of() { echo "/opt/cross/$1"; }

# The target's libraries that the build and the tests need, and theirs,
# less what the cross toolchain brings (the C library, libgcc, libstdc++)
# and OpenSSL with its compression libraries, which Kerberos loads only in
# plugins that the RPC library never asks for. A package that the archive
# does not have (a point release's file missing for an architecture) is
# named and left out: the build or the tests then say what it lacked.
make_sysroots() {
  local arch gnu_type sysroot packages package deb
  for arch in "$@"; do
    gnu_type=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2> /dev/null)
    sysroot=$(sysroot_of "$arch")
    mkdir -p "$sysroot/debs"
    packages=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances \
      libtirpc-dev:"$arch" libgtest-dev:"$arch" libgmock-dev:"$arch" libfaketime:"$arch" |
      sed -n "s/^\([a-z0-9][^ :]*\):$arch\$/\1/p" | sort -u |
      grep -Evx 'libc6(-dev)?|libgcc-s1|libstdc\+\+6|libstdc\+\+-[0-9]+-dev|libgcc-[0-9]+-dev|gcc-[0-9]+-base|libcrypt1|libcrypt-dev|linux-libc-dev|rpcsvc-proto|libssl3t64|openssl-provider-legacy|zlib1g|libzstd1')
    echo "$arch: unpacking" "${packages//$'\n'/ }"
    for package in $packages; do
      (cd "$sysroot/debs" && apt-get download -qq -o APT::Sandbox::User=root "$package:$arch") ||
        echo "$arch: $package not to be had, left out" >&2
    done
    for deb in "$sysroot"/debs/*.deb; do
      dpkg-deb -x "$deb" "$sysroot"
    done
    (cd "$sysroot/debs" && ls) > "$sysroot/packages"
    rm -rf "$sysroot/debs"
    mkdir -p "$sysroot/lib"
    cp -a "/usr/$gnu_type/lib/." "$sysroot/lib/"
    # Where some architectures' programs name their loader (ppc64el:
    # /lib64/ld64.so.2).
    [ -e "$sysroot/lib64" ] || ln -s lib "$sysroot/lib64"
  done
}

make_sysroots "$@"
