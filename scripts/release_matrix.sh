#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs ./scripts/test.sh, as a new user would, on a fresh root of a Debian
# release: bookworm (12), trixie (13) or sid (unstable).
#
# The root is made by mmdebstrap from Debian's archive (its minimal
# "minbase" variant, nothing added) and kept in
# /var/cache/date-service/roots/ for a day. Each run puts it, read-only,
# under an overlay whose writable layer is a tmpfs, clones the work tree's
# HEAD into it, and runs test.sh there as root, in namespaces of its own
# (mount, PID, UTS, IPC) with that overlay as its root by pivot_root. The
# root's /sys/fs/cgroup is the cgroup2 hierarchy alone, as on a fresh
# Debian 13 machine. Nothing reaches the host's disk but the cache, and
# when the run ends every process it started ends with its PID namespace.
#
# Why namespaces rather than booting the root with systemd-nspawn: test.sh
# installs what it needs with apt-get from the archive, so the root shares
# the host's network (the end-to-end tests make network namespaces of their
# own, on loopback). And the package test boots systemd as PID 1 in a
# container of the root it runs in: here that is the release's own root,
# booted by the release's systemd-nspawn, without a container inside a
# container. pivot_root, unlike a chroot, gives the root a mount namespace
# of its own: "nsenter --mount" into a namespace made inside keeps it.
#
# Usage: release_matrix.sh [--arch ARCH[,ARCH...]] RELEASE [COMMAND...]
# As root. COMMAND (./scripts/test.sh if none) runs in the clone; the exit
# status is its own.
#
# With --arch (armhf, arm64, i386, ppc64el, riscv64, s390x) the root is
# one of its own, RELEASE-cross-ARCH..., with gcc 14's cross compilers and
# the architectures' libraries (scripts/cross_sysroots.sh), and the
# command is ./scripts/cross_test.sh ARCH...: builds for each, their tests
# under qemu-user. For the run, qemu (the root's own) is registered with
# binfmt_misc for each architecture, and removed after; i386 as well, as a
# kernel without IA-32 emulation runs no i386 program itself.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_tree=$(git -C "$here/.." rev-parse --show-toplevel)

# Outside: the root made or taken from the cache, and the run in namespaces
# of its own. (Both halves are functions, read whole before they run: the
# run outlives edits of this file.)
outside() {
  local arches="" release root cache started status limit=1500 lock
  local make_root
  if [ "${1:-}" = --arch ]; then
    arches=${2:-}
    shift 2 || true
  fi
  release=${1:-}
  case $release in
    bookworm | trixie | sid) ;;
    *)
      echo "usage: release_matrix.sh [--arch ARCH[,ARCH...]] bookworm|trixie|sid" >&2
      exit 2
      ;;
  esac
  if [ "$(id -u)" -ne 0 ]; then
    echo "release_matrix.sh needs root (mmdebstrap, namespaces)" >&2
    exit 1
  fi
  # shellcheck source=scripts/common.sh
  . "$here/common.sh"
  require_packages mmdebstrap util-linux mount git

  cache=/var/cache/date-service/roots
  root=$cache/$release
  # minbase: the packages of priority required, apt among them, and nothing
  # else, as Debian's container images have. The archive's unstable Release
  # file is past its Valid-Until date; the option stays in the root's apt
  # configuration.
  make_root=(mmdebstrap --quiet --variant=minbase)
  [ "$release" = sid ] && make_root+=(--aptopt='Acquire::Check-Valid-Until "false"')
  if [ -n "$arches" ]; then
    require_packages dpkg-dev
    mkdir -p "$cache"
    cross_root_options "$arches"
    root=$cache/$release-cross-${arches//,/-}
  fi
  make_root+=("$release" "$root.new" http://deb.debian.org/debian)
  # A root older than a day, or made otherwise, is made afresh; a new one
  # replaces the old only once it is whole. Under a lock: two runs never
  # make the same root at once.
  mkdir -p "$cache"
  exec {lock}> "$root.lock"
  flock "$lock"
  if [ -z "$(find "$root/.made" -mmin -1440 2> /dev/null)" ] ||
    [ "$(cat "$root/.made")" != "${make_root[*]}" ]; then
    rm -rf "$root.new"
    echo "making the $release root: ${make_root[*]}"
    started=$SECONDS
    timeout -s KILL 900 nice "${make_root[@]}"
    echo "the root made in $((SECONDS - started)) s"
    echo "${make_root[*]}" > "$root.new/.made"
    rm -rf "$root"
    mv "$root.new" "$root"
  fi
  flock --unlock "$lock"

  started=$SECONDS
  status=0
  shift
  if [ -n "$arches" ]; then
    # shellcheck disable=SC2086 # one word for each architecture
    [ $# -gt 0 ] || set -- ./scripts/cross_test.sh ${arches//,/ }
    register_qemu "$root" "$arches"
    # At the script's exit, however it ends ("$arches" taken now: it is
    # local, and the names are checked words).
    # shellcheck disable=SC2064
    trap "unregister_qemu '$arches'" EXIT
    # Every architecture's suite under emulation: a few minutes each.
    limit=$((600 + 600 * $(wc -w <<< "${arches//,/ }")))
  fi
  # Bounded in time. The forking unshare ignores TERM while it waits; KILL
  # ends it, and with it (--kill-child) the namespace's PID 1 and so every
  # process of the run.
  DATE_MATRIX_INSIDE=1 timeout -s KILL "$limit" unshare --mount --pid --kill-child --uts --ipc \
    --propagation private "$0" "$release" "$root" "$@" || status=$?
  echo "release_matrix $release${arches:+ ($arches)}: exit status $status after $((SECONDS - started)) s"
  return "$status"
}

# The root of a cross run: the host's tools for the build and the tests, a
# cross compiler and qemu-user for each architecture, and their libraries.
cross_root_options() {
  local arch
  # What test.sh installs for the normal build's tests, less the target's
  # libraries (scripts/cross_sysroots.sh) and the package's tools.
  local -a tools=(cmake make pkg-config dpkg-dev git rpcbind netbase iproute2 util-linux mount
    procps nftables groff-base man-db tzdata qemu-user-static)
  for arch in ${1//,/ }; do
    case $arch in
      arm64 | armhf | i386 | ppc64el | riscv64 | s390x) ;;
      *)
        echo "release_matrix.sh: no cross build for $arch" >&2
        exit 2
        ;;
    esac
    tools+=("g++-14-$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2> /dev/null)")
  done
  make_root+=(--architectures="amd64,$1" --include="$(
    IFS=,
    echo "${tools[*]}"
  )")
  # The script that unpacks the libraries, by a path of the cache's own and
  # with its digest, so that a new one makes a new root.
  cp "$here/cross_sysroots.sh" "$cache/cross_sysroots.sh"
  make_root+=(--customize-hook="copy-in $cache/cross_sysroots.sh /usr/local/sbin"
    --customize-hook="chroot \"\$1\" /usr/local/sbin/cross_sysroots.sh ${1//,/ }"
    --customize-hook="# $(sha256sum < "$cache/cross_sysroots.sh" | cut -c1-16)")
}

# qemu-user as the interpreter of each architecture's programs, by
# binfmt_misc entries of this run's own (date-matrix-ARCH-PID, so that runs
# at once remove each its own). With flag F the kernel opens the
# interpreter now, so that it serves inside the root too.
binfmt=/proc/sys/fs/binfmt_misc
register_qemu() {
  local root=$1 arch cpu conf magic mask qemu
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
  for arch in ${2//,/ }; do
    case $arch in
      arm64) cpu=aarch64 ;;
      armhf) cpu=arm ;;
      ppc64el) cpu=ppc64le ;;
      *) cpu=$arch ;;
    esac
    conf=$root/usr/lib/binfmt.d/qemu-$cpu.conf
    if [ "$arch" = i386 ]; then
      # Not in qemu's own list on amd64, where i386 is thought native.
      magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
      mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    else
      magic=$(cut -d: -f5 "$conf")
      mask=$(cut -d: -f6 "$conf")
    fi
    for qemu in "$root/usr/bin/qemu-$cpu-static" "$root/usr/bin/qemu-$cpu"; do
      [ -x "$qemu" ] && break
    done
    [ ! -e "$binfmt/date-matrix-$arch-$$" ] || echo -1 > "$binfmt/date-matrix-$arch-$$"
    echo ":date-matrix-$arch-$$:M::$magic:$mask:$qemu:F" > "$binfmt/register"
    echo "binfmt_misc: $arch programs run by $qemu ($("$qemu" --version | head -1))"
  done
}

# shellcheck disable=SC2317 # called by the trap
unregister_qemu() {
  local arch
  for arch in ${1//,/ }; do
    [ ! -e "$binfmt/date-matrix-$arch-$$" ] || echo -1 > "$binfmt/date-matrix-$arch-$$"
  done
}

# The versions of what the run used.
versions() {
  echo "versions on $release:"
  dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Version}\n' \
    'libtirpc3*' rpcbind systemd gcc clang cmake 'qemu-user*' 'g++-14-*' debhelper lintian autopkgtest 2> /dev/null |
    sed -n 's/^ii  */  /p' || true
  echo "  kernel $(uname -r); /sys/fs/cgroup: $(stat -fc %T /sys/fs/cgroup)"
  [ ! -d /opt/cross ] || echo "  the targets' libraries:" \
    "$(cd /opt/cross && grep -H libtirpc3 ./*/packages | sed 's|^\./||; s|/packages:| |' | tr '\n' ' ')"
  # Which of the library's faults that the programs work around it still has.
  local probe=/srv/date-service/build-test/tests/library_faults
  if [ -x "$probe" ]; then
    echo "the library's faults on $release:"
    timeout -s KILL 60 "$probe" | sed 's/^/  /' || true
  fi
}

# Inside: PID 1 of a new PID namespace, in a private mount namespace.
inside() {
  local release=$1 lower=$2 scratch root status
  shift 2
  [ $# -gt 0 ] || set -- ./scripts/test.sh
  scratch=/run/date-matrix
  mkdir -p "$scratch"
  mount -t tmpfs -o size=20g,mode=0700 tmpfs "$scratch"
  mkdir "$scratch/lower" "$scratch/upper" "$scratch/work" "$scratch/root"
  root=$scratch/root
  mount --bind "$lower" "$scratch/lower"
  mount -o remount,bind,ro "$scratch/lower"
  mount -t overlay overlay \
    -o "lowerdir=$scratch/lower,upperdir=$scratch/upper,workdir=$scratch/work" "$root"

  # The machine's own file systems, as its init would mount them.
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=0755 tmpfs "$root/run"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  hostname "date-matrix-$release"
  echo "date-matrix-$release" > "$root/etc/hostname"
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' > "$root/etc/hosts"

  # A clean copy of the work tree: its HEAD, as a git checkout (the package
  # tests need one). Not under /root: the tests run some programs as other
  # users, and those write their sanitizer reports into the tree.
  git clone --quiet --no-hardlinks "$source_tree" "$root/srv/date-service"
  echo "the tree: $(git -C "$root/srv/date-service" log -1 --format='%h %s')"

  # The overlay becomes "/". With new and old root the same directory, the
  # old root lies on top until it is detached.
  cd "$root"
  pivot_root . .
  umount -l .
  cd /

  status=0
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM=dumb /bin/bash -c 'cd /srv/date-service && exec "$@"' command "$@" \
    < /dev/null || status=$?
  versions
  return "$status"
}

if [ "${DATE_MATRIX_INSIDE:-}" = 1 ]; then inside "$@"; else outside "$@"; fi; exit
