#!/usr/bin/env bash
# A cross build installed into a handset image the way the README tells:
# DESTDIR=IMAGE cmake --install with the prefix /usr puts the library in the
# target's multiarch directory with its soname; a C program of the image
# finds it with the target's pkg-config (the image as its sysroot), and a
# CMake project with the same toolchain file finds it with find_package.
# Both programs (tool/caller, shared with the host's install test) are target
# programs: they run under the emulator, call an export against a closed
# loopback port and must get status 0.
#   cross_install_test.sh BUILD_DIR TOOLCHAIN_FILE TARGET_ROOT TRIPLET VERSION
# The image is a scratch directory beside TARGET_ROOT, which keeps the
# libraries the library links: the target root stays as it is.
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
# The library's own dependencies come from the target root, the library
# itself from the image.
run() {
  qemu-arm -L "$root" -E "LD_LIBRARY_PATH=$libdir" "$@"
}

# pkg-config for the target: its search path in the image, the image as the
# sysroot in front of the paths it answers.
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

# find_package through the toolchain file, pointed at the package in the
# image (the target root holds the libraries it links).
cmake -S "$caller" -B "$tmp/project" --toolchain "$toolchain" \
      -DCALLER_VERSION="$version" -DCALLER_EXACT=EXACT \
      -DVESK_TARGET_ROOT="$root" -DVESK80_DIR="$libdir/cmake/VESK80" >/dev/null
cmake --build "$tmp/project" >/dev/null
[ "$(run "$tmp/project/caller")" = "$expected" ] ||
  { echo "find_package caller:"; run "$tmp/project/caller" || true; exit 1; }
echo "installed into the image; found by pkg-config and find_package; both callers run"
