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
# Usage: release_matrix.sh RELEASE [COMMAND...]
# As root. COMMAND (./scripts/test.sh if none) runs in the clone; the exit
# status is its own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_tree=$(git -C "$here/.." rev-parse --show-toplevel)

# Outside: the root made or taken from the cache, and the run in namespaces
# of its own. (Both halves are functions, read whole before they run: the
# run outlives edits of this file.)
outside() {
  local release=${1:-} root cache started status
  local make_root
  case $release in
    bookworm | trixie | sid) ;;
    *)
      echo "usage: release_matrix.sh bookworm|trixie|sid" >&2
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
  make_root+=("$release" "$root.new" http://deb.debian.org/debian)
  # A root older than a day, or made otherwise, is made afresh; a new one
  # replaces the old only once it is whole.
  if [ -z "$(find "$root/.made" -mmin -1440 2> /dev/null)" ] ||
    [ "$(cat "$root/.made")" != "${make_root[*]}" ]; then
    mkdir -p "$cache"
    rm -rf "$root.new"
    echo "making the $release root: ${make_root[*]}"
    nice "${make_root[@]}"
    echo "${make_root[*]}" > "$root.new/.made"
    rm -rf "$root"
    mv "$root.new" "$root"
  fi

  started=$SECONDS
  status=0
  shift
  # Bounded in time. The forking unshare ignores TERM while it waits; KILL
  # ends it, and with it (--kill-child) the namespace's PID 1 and so every
  # process of the run.
  DATE_MATRIX_INSIDE=1 timeout -s KILL 1500 unshare --mount --pid --kill-child --uts --ipc \
    --propagation private "$0" "$release" "$root" "$@" || status=$?
  echo "release_matrix $release: exit status $status after $((SECONDS - started)) s"
  return "$status"
}

# The versions of what the run used.
versions() {
  echo "versions on $release:"
  dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Version}\n' \
    'libtirpc3*' rpcbind systemd gcc clang cmake debhelper lintian autopkgtest 2> /dev/null |
    sed -n 's/^ii  */  /p'
  echo "  kernel $(uname -r); /sys/fs/cgroup: $(stat -fc %T /sys/fs/cgroup)"
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
