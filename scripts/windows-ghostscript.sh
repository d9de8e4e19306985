#!/usr/bin/env bash
# Cross-builds Ghostscript's 64-bit Windows DLL (gsdll64.dll) with MinGW-w64 from Debian's
# source packages and puts it at build/windows/gs/gsdll64.dll. The libraries Debian ships
# no MinGW build of (zlib, libjpeg-turbo, lcms2, freetype, openjpeg) are built first with
# their own build systems as static libraries into a private prefix, so the DLL needs
# nothing beside it; jbig2dec (whose Debian tarball has no configure script) and libpng
# (which Ghostscript's makefiles need even without PNG devices) are built by
# Ghostscript's own makefiles from its tree. The libraries and the DLL are cached
# outside the clone, keyed by the source versions, the recipe number below and the
# patches, so a run with the same sources only copies the DLL.
#   windows-ghostscript.sh            build or take from the cache
#   QM_GS_JOBS=N               parallel make jobs (default: the number of cores)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
output_dir=$repo/build/windows/gs
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/quillmesh
jobs=${QM_GS_JOBS:-$(nproc)}
host=x86_64-w64-mingw32
library_packages=(zlib libjpeg-turbo lcms2 freetype openjpeg2)
# Compiled by Ghostscript's own makefiles from folders in its tree.
tree_packages=(jbig2dec libpng1.6)
packages=(ghostscript "${library_packages[@]}" "${tree_packages[@]}")
patch_dir=$repo/packaging/windows-ghostscript
# Part of the cache key: raise it whenever a change here changes what is built.
recipe=2

# The source suites of the machine's own Debian release, in a private apt state so the
# machine's apt configuration and lists stay untouched.
apt_root=${cache_root}/apt
downloads=$cache_root/sources
# shellcheck source=scripts/debian-sources.sh
source "$repo/scripts/debian-sources.sh"

# Prints the newest version of source package $1 whose .dsc the mirror really serves (a
# security suite's index can name a version whose files are already gone).
available_version() {
  local package=$1 version uri
  for version in $(apt-cache "${apt_options[@]}" showsrc "$package" |
    awk '/^Version:/ {print $2}' | sort -u -r -V); do
    uri=$(apt-get "${apt_options[@]}" --print-uris source "$package=$version" 2>/dev/null |
      awk -F"'" '/\.dsc/ {print $2; exit}')
    if [[ -n $uri ]] && curl -sfI -o /dev/null "$uri"; then
      echo "$version"
      return 0
    fi
  done
  echo "windows-ghostscript: no downloadable source of $package" >&2
  return 1
}

# Downloads and unpacks (Debian patches applied) source package $1 version $2 into $3.
unpack_source() {
  local package=$1 version=$2 target=$3
  (cd "$downloads" && apt-get "${apt_options[@]}" source --download-only "$package=$version")
  # No Debian keyring is needed: apt checked every file against the signed index, so
  # gpgv's "public key not found" lines are left out.
  local messages=$work/dpkg-source.log
  if ! dpkg-source -q -x "$downloads/${package}_${version#*:}.dsc" "$target" >/dev/null \
    2>"$messages"; then
    cat "$messages" >&2
    return 1
  fi
  grep -v '^gpgv:' "$messages" >&2 || true
}

# Runs a build step with its output in the log $1 ($work/NAME.log), which is shown (its
# end) only when the step fails: the third-party builds' warnings are not ours to fix.
logged() {
  local log=$work/$1.log
  shift
  "$@" >"$log" 2>&1 && return 0
  echo "windows-ghostscript: failed: $*" >&2
  tail -40 "$log" >&2
  return 1
}

# A CMake cross-build of one static library from source tree $1 with extra options.
cmake_static() {
  local source=$1 name
  name=$(basename "$1")
  shift
  logged "$name-configure" cmake -S "$source" -B "$source/qm-build" -G "Unix Makefiles" \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 -DCMAKE_C_COMPILER=$host-gcc -DCMAKE_RC_COMPILER=$host-windres \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_FIND_ROOT_PATH="$prefix" "$@" &&
    logged "$name-build" cmake --build "$source/qm-build" -j "$jobs" &&
    logged "$name-install" cmake --install "$source/qm-build"
}

# An autotools cross-build of one static library from source tree $1 with extra options.
autotools_static() {
  local source=$1 name
  name=$(basename "$1")
  shift
  (cd "$source" && logged "$name-configure" ./configure -q --host=$host --prefix="$prefix" \
    --enable-static --disable-shared CFLAGS=-O2 CPPFLAGS="-I$prefix/include" \
    LDFLAGS="-L$prefix/lib" "$@" &&
    logged "$name-build" make -j "$jobs" && logged "$name-install" make install)
}

# zlib's sources compiled straight into a static library (Debian's tarball has no MinGW
# makefile); installed by hand into the prefix.
build_zlib() {
  local zlib=$work/zlib name
  for name in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
    inflate inftrees trees uncompr zutil; do
    $host-gcc -O2 -c "$zlib/$name.c" -o "$zlib/$name.o"
  done
  $host-ar rcs "$prefix/lib/libz.a" "$zlib"/*.o
  install -m 644 "$work/zlib/zlib.h" "$work/zlib/zconf.h" "$prefix/include/"
}

# The third-party libraries Ghostscript links against, each with its own build system.
build_libraries() {
  local package
  for package in "${library_packages[@]}"; do
    unpack_source "$package" "${versions[$package]}" "$work/$package"
  done
  mkdir -p "$prefix/include" "$prefix/lib"
  build_zlib
  cmake_static "$work/libjpeg-turbo" -DENABLE_SHARED=OFF -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
  autotools_static "$work/lcms2" --without-jpeg --without-tiff --without-zlib
  # Against the prefix's zlib: without it freetype compiles its own copy of zlib into
  # ftgzip.o, whose symbols then clash with libz.a's in the DLL.
  autotools_static "$work/freetype" --with-zlib=yes ZLIB_CFLAGS="-I$prefix/include" \
    ZLIB_LIBS="-L$prefix/lib -lz" --without-png --without-harfbuzz --without-bzip2 \
    --without-brotli
  cmake_static "$work/openjpeg2" -DBUILD_CODEC=OFF -DBUILD_TESTING=OFF
}

# The static libraries' prefix is the cache entry $1 itself, so the paths that
# pkg-config and libtool files record stay true; an entry without its stamp (a build
# that was cut short) is built again.
provide_libraries() {
  local entry=$1
  prefix=$entry/prefix
  [[ -f $entry/complete ]] && return 0
  rm -rf "$entry"
  build_libraries
  touch "$entry/complete"
}

# Applies the small build patches kept beside this script to the Ghostscript tree.
patch_ghostscript() {
  local patch
  for patch in "$patch_dir"/*.patch; do
    [[ -e $patch ]] || continue
    patch -s -p1 -d "$work/ghostscript" <"$patch"
  done
}

# Configures Ghostscript for the MinGW host against the prefix and builds the DLL with
# the Windows platform files (GSPLATFORM=mingw_, from the patch) and the spooler's
# import library, which gp_mswin.c needs for printing to %printer%.
build_ghostscript() {
  local gs=$work/ghostscript
  patch_ghostscript
  mv "$work/jbig2dec" "$gs/jbig2dec"
  mv "$work/libpng1.6" "$gs/libpng"
  # pkg-config is named: configure drops an unprefixed one when cross-compiling, and
  # its own freetype version check without it refuses 2.12.1 (patch level below 2).
  # -Dinline=inline: jbig2.h defines `inline` away when it is not a macro, so MinGW's
  # inline functions in stdlib.h that follow it became definitions in every object.
  (cd "$gs" && PKGCONFIG=pkg-config PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH= \
    logged ghostscript-configure ./configure -q --host=$host --build="$(gcc -dumpmachine)" CCAUX=gcc \
    CPPFLAGS="-I$prefix/include -I$prefix/include/freetype2 -DOPJ_STATIC -Dinline=inline" \
    LDFLAGS="-L$prefix/lib -static-libgcc" \
    --with-drivers=BMP --without-libtiff --without-libpaper --without-ijs --disable-cups \
    --without-x --disable-fontconfig --disable-dbus --without-libidn --without-tesseract \
    --without-pdftoraster --without-urf --without-pcl --without-xps --without-gpdl \
    --without-local-zlib --disable-gtk --without-cal)
  logged ghostscript-build make -C "$gs" so GSPLATFORM=mingw_ STDLIBS="-lm -lwinspool" -j "$jobs"
}

# Prints a cache entry's name: $1, then a hash of the recipe, the text $2 and the
# versions of the source packages named after it.
cache_key() {
  local stage=$1 key="recipe=$recipe;$2;" package
  shift 2
  for package in "$@"; do key+="${package}=${versions[$package]};"; done
  echo "$stage-$(echo "$key" | sha256sum | cut -c1-16)"
}

# Copies the built DLL into the cache entry $1 and records what it was built from.
store_in_cache() {
  local entry=$1 built
  built=$(find "$work/ghostscript/sobin" -maxdepth 1 -type f -name '*.dll' | head -1)
  [[ -n $built ]] || { echo "windows-ghostscript: make so left no DLL" >&2; return 1; }
  mkdir -p "$entry.partial"
  cp "$built" "$entry.partial/gsdll64.dll"
  for package in "${packages[@]}"; do echo "$package ${versions[$package]}"; done \
    >"$entry.partial/versions.txt"
  rm -rf "$entry" && mv "$entry.partial" "$entry"
}

main() {
  update_source_index
  declare -gA versions
  local package
  for package in "${packages[@]}"; do versions[$package]=$(available_version "$package"); done
  local entry libraries patches
  patches=$(cat "$patch_dir"/*.patch | sha256sum | cut -c1-16)
  entry=$cache_root/$(cache_key "gs-${versions[ghostscript]//[~:+]/_}" "patches=$patches" \
    "${packages[@]}")
  libraries=$cache_root/$(cache_key libs "" "${library_packages[@]}")
  if [[ ! -f $entry/gsdll64.dll ]]; then
    echo "windows-ghostscript: building $(basename "$entry") (no cached DLL)"
    local started=$SECONDS
    work=$(mktemp -d "${TMPDIR:-/tmp}/qm-gs-build.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$downloads"
    for package in ghostscript "${tree_packages[@]}"; do
      unpack_source "$package" "${versions[$package]}" "$work/$package"
    done
    provide_libraries "$libraries"
    build_ghostscript
    store_in_cache "$entry"
    echo "windows-ghostscript: built in $((SECONDS - started)) s"
  else
    echo "windows-ghostscript: cached $(basename "$entry")"
  fi
  mkdir -p "$output_dir"
  cp "$entry/gsdll64.dll" "$entry/versions.txt" "$output_dir/"
  echo "windows-ghostscript: $output_dir/gsdll64.dll"
}

main "$@"
