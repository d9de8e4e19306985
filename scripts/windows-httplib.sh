#!/usr/bin/env bash
# Puts cpp-httplib's single header at build/windows/httplib/httplib.h for the MinGW
# build, which has no packaged cpp-httplib: Debian 12 ships it split into a header of
# declarations and a shared library, so the original single header is taken from the
# Debian source package of the same library. The header is cached outside the clone,
# keyed by the source version.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
output_dir=$repo/build/windows/httplib
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/quillmesh
apt_root=$cache_root/apt-httplib
# shellcheck source=scripts/debian-sources.sh
source "$repo/scripts/debian-sources.sh"
update_source_index
version=$(apt-cache "${apt_options[@]}" showsrc cpp-httplib | awk '/^Version:/ {print $2}' |
  sort -u -r -V | head -1)
[[ -n $version ]] || { echo "windows-httplib: no source of cpp-httplib" >&2; exit 1; }

cached=$cache_root/httplib/$version/httplib.h
if [[ ! -f $cached ]]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get "${apt_options[@]}" source --download-only "cpp-httplib=$version")
  # apt checked every file against the signed index; gpgv's lines about keys are noise.
  dpkg-source -q -x "$work/cpp-httplib_${version#*:}.dsc" "$work/tree" 2>&1 | grep -v '^gpgv:' >&2 || true
  [[ -f $work/tree/httplib.h ]] || { echo "windows-httplib: no httplib.h in the source" >&2; exit 1; }
  mkdir -p "$(dirname "$cached")"
  cp "$work/tree/httplib.h" "$cached"
fi
mkdir -p "$output_dir"
cp "$cached" "$output_dir/httplib.h"
echo "windows-httplib: cpp-httplib $version at $output_dir/httplib.h"
