#!/usr/bin/env bash
# A cross build installed into a handset image as the README tells (DESTDIR,
# prefix /usr): the library in the target's multiarch directory with its
# soname; the caller (tool/caller) built with the target's pkg-config (the
# image as sysroot) and with find_package through the toolchain file runs
# under the emulator and gets status 0 from an export against a closed port.
#   cross_install_test.sh BUILD_DIR TOOLCHAIN_FILE TARGET_ROOT TRIPLET VERSION
# The image is a scratch directory; TARGET_ROOT, which holds the libraries
# the library links, stays as it is.
set -euo pipefail
build=$1 toolchain=$2 root=$3 triplet=$4 version=$5
caller=$(cd "$(dirname "$0")" && pwd)/tool/caller
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
image=$tmp/image

DESTDIR=$image cmake --install "$build" --prefix /usr >/dev/null
libdir=$image/usr/lib/$triplet
soname=$("$triplet-readelf" -d "$libdir/libVESK80.so.$version" |
         sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libVESK80.so.${version%%.*}" ] ||
  { echo "soname '$soname' of $libdir/libVESK80.so.$version"; exit 1; }
[ "$(readlink "$libdir/libVESK80.so")" = "$soname" ]
"$triplet-readelf" -h "$libdir/libVESK80.so.$version" | grep -q 'Machine:.*ARM' ||
  { echo "the installed library is not an ARM object"; exit 1; }
[ -f "$libdir/pkgconfig/vesk80.pc" ] && [ -f "$libdir/cmake/VESK80/VESK80Config.cmake" ] ||
  { echo "vesk80.pc or the CMake package is not in $libdir"; exit 1; }

expected="version $version ${version%%.*} 4-byte pointers
status 0 code 0"
# The library's dependencies from the target root, the library from the image.
run() {
  qemu-arm -L "$root" -E "LD_LIBRARY_PATH=$libdir" "$@"
}

flags=$(PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$image \
        pkg-config --cflags --libs vesk80)
case $flags in
  *"-I$image/"*"-L$image/"*) ;;
  *) echo "pkg-config answers outside the image: $flags"; exit 1 ;;
esac
# shellcheck disable=SC2086  # the flags are words
"$triplet-gcc" --sysroot="$root" -std=c99 -pedantic -Werror "$caller/caller.c" \
  $flags -o "$tmp/caller"
[ "$(run "$tmp/caller")" = "$expected" ] ||
  { echo "pkg-config caller:"; run "$tmp/caller" || true; exit 1; }

cmake -S "$caller" -B "$tmp/project" --toolchain "$toolchain" \
      -DCALLER_VERSION="$version" -DCALLER_EXACT=EXACT \
      -DVESK_TARGET_ROOT="$root" -DVESK80_DIR="$libdir/cmake/VESK80" >/dev/null
cmake --build "$tmp/project" >/dev/null
[ "$(run "$tmp/project/caller")" = "$expected" ] ||
  { echo "find_package caller:"; run "$tmp/project/caller" || true; exit 1; }
echo "installed into the image; found by pkg-config and find_package; both callers run"
