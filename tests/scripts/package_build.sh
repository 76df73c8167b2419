#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the Debian package as Debian builds its own: dpkg-buildpackage in a
# clean export of the source tree. The export holds the work tree as git
# sees it (tracked files with their uncommitted edits, and new files not
# ignored; no build trees), with fresh file times. OUT_DIR ends up holding
# the packages, the .changes and .buildinfo files and the build's log.
# Usage: package_build.sh SOURCE_DIR OUT_DIR
set -euo pipefail
source_dir=$1 out=$2

rm -rf "$out"
export_dir=$out/date-service
mkdir -p "$export_dir"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  (cd "$source_dir" && tar --null -T - -cf -) | tar -xmf - -C "$export_dir"
(cd "$export_dir" && dpkg-buildpackage -us -uc -b -j"$(nproc)") > "$out/build.log" 2>&1 || {
  cat "$out/build.log"
  echo "FAIL: dpkg-buildpackage" >&2
  exit 1
}
rm -rf "$export_dir"
(cd "$out" && ls -- *.deb *.changes)
