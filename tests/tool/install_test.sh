#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the library as an
# outside project would: a C99 caller built with pkg-config (found by rpath,
# and by LD_LIBRARY_PATH) and a CMake project with find_package(VESK80); the
# version in the header, pkg-config, the package and the file names agree.
# The installed programs run, the manual page renders, the API reference is
# installed when it was made.
#   install_test.sh BUILD_DIR [SANITIZED]   1: the callers carry the sanitizers
set -euo pipefail
build=$1
caller=$(cd "$(dirname "$0")" && pwd)/caller
flags=""
[ "${2:-0}" = 1 ] && flags="-fsanitize=address,undefined"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "$*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libVESK80.so' | head -n1)")
soname=$(readelf -d "$libdir"/libVESK80.so.*.*.* | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$(readlink "$libdir/libVESK80.so")" = "$soname" ] ||
  fail "libVESK80.so does not point at the soname '$soname'"
[ -f "$prefix/include/vesk80_version.h" ] || fail "vesk80_version.h is not installed"

export PKG_CONFIG_PATH=$libdir/pkgconfig
pc_version=$(pkg-config --modversion vesk80)
build_caller() {
  # shellcheck disable=SC2086  # the flags are words
  cc -std=c99 -pedantic -Werror $flags -o "$tmp/$1" "$caller/caller.c" \
    $(pkg-config --cflags --libs vesk80) "${@:2}"
}
build_caller caller_pc -Wl,-rpath,"$(pkg-config --variable=libdir vesk80)"
output=$("$tmp/caller_pc")  # fails the script when the call does
read -r _ version major _ <<<"$output"
[ "$version" = "$pc_version" ] || fail "the header says $version, pkg-config $pc_version"
[ "$soname" = "libVESK80.so.$major" ] || fail "major version $major, soname '$soname'"
[ -f "$libdir/libVESK80.so.$version" ] || fail "no libVESK80.so.$version"
build_caller caller_plain
LD_LIBRARY_PATH=$libdir "$tmp/caller_plain" >/dev/null

cmake -S "$caller" -B "$tmp/project" -DCALLER_VERSION=0.1 \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" >/dev/null
cmake --build "$tmp/project" >/dev/null
"$tmp/project/caller" >/dev/null || fail "the find_package caller failed"

[ "$("$prefix/bin/vesk" --version)" = "vesk $pc_version" ]
[ -x "$prefix/bin/vesk-service" ]
page=$(find "$prefix" -path '*/man1/vesk.1' | head -n1)
[ -n "$page" ] || fail "vesk.1 is not installed"
grep -q "VESK80 $pc_version" "$page"
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "vesk.1: $warnings"
  MANWIDTH=80 man -l "$page" | grep -q '^EXIT STATUS'
fi
if [ -f "$build/docs/html/index.html" ]; then
  [ -n "$(find "$prefix" -path '*/doc/VESK80/html/index.html')" ] ||
    fail "the API reference is not installed"
fi
echo "install test passed"
