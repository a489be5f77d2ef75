#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the library as an
# outside project would: a C program built with pkg-config, and a CMake
# project with find_package(VESK80). Both call an export against a closed
# loopback port and must get status 0, and both read the version macros of
# the installed header, which must tell the version that pkg-config, the
# CMake package and the library's file names tell. The program runs with
# the library found through its rpath and through LD_LIBRARY_PATH, as the
# README describes; the installed programs must run; an API reference that
# was made is installed.
#   install_test.sh BUILD_DIR [SANITIZED]
# SANITIZED=1: the build carries the sanitizers, so the callers must too.
set -euo pipefail
build=$1
sanitize_flags=""
if [ "${2:-0}" = 1 ]; then
  sanitize_flags="-fsanitize=address,undefined"
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

# The soname carries the major version; the link-time name points at it.
lib=$(find "$prefix" -name 'libVESK80.so' | head -n1)
libdir=$(dirname "$lib")
soname=$(readelf -d "$libdir"/libVESK80.so.*.*.* | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$(readlink "$libdir/libVESK80.so")" = "$soname" ] ||
  { echo "libVESK80.so does not point at the soname '$soname'"; exit 1; }
[ -f "$prefix/include/vesk80.h" ]
[ -f "$prefix/include/vesk80_version.h" ] ||
  { echo "vesk80_version.h is not installed beside vesk80.h"; exit 1; }

cat >"$tmp/caller.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <vesk80.h>

int main(void) {
  /* "http://127.0.0.1/" with port 1, where nothing listens. */
  static const vesk_char16 url[] = {'h', 't', 't', 'p', ':', '/', '/', '1',
                                    '2', '7', '.', '0', '.', '0', '.', '1',
                                    '/', 0};
  static const vesk_char16 env[] = {0};
  AccountInfoResult result;
  HandsetError error;
  int32_t status;
  printf("version %s %d\n", VESK80_VERSION_STRING, VESK80_VERSION_MAJOR);
#ifdef EXPECTED_VERSION
  if (strcmp(VESK80_VERSION_STRING, EXPECTED_VERSION) != 0) {
    printf("find_package found version %s\n", EXPECTED_VERSION);
    return 1;
  }
#endif
  error.code = -1;
  status = vesk_AccountInfo(env, &result, &error, url, 1);
  printf("status %d code %d\n", (int)status, (int)error.code);
  return status == 0 && error.code == 0 ? 0 : 1;
}
C

# pkg-config, from a C compiler in strict C99, with the library's directory
# as the program's rpath.
export PKG_CONFIG_PATH=$libdir/pkgconfig
pc_version=$(pkg-config --modversion vesk80)
cc -std=c99 -pedantic -Werror $sanitize_flags -o "$tmp/caller_pc" "$tmp/caller.c" \
  $(pkg-config --cflags --libs vesk80) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vesk80)"
output=$("$tmp/caller_pc")
echo "$output"
read -r _ version major <<<"$(grep '^version ' <<<"$output")"
[ "$version" = "$pc_version" ] ||
  { echo "the header says $version, pkg-config $pc_version"; exit 1; }
[ "$soname" = "libVESK80.so.$major" ] ||
  { echo "the header's major version is $major, the soname '$soname'"; exit 1; }
[ -f "$libdir/libVESK80.so.$version" ] ||
  { echo "no libVESK80.so.$version for the header's version"; exit 1; }

# Without an rpath the program finds the library through LD_LIBRARY_PATH.
cc -std=c99 -pedantic -Werror $sanitize_flags -o "$tmp/caller_plain" \
  "$tmp/caller.c" $(pkg-config --cflags --libs vesk80)
LD_LIBRARY_PATH=$libdir "$tmp/caller_plain" >/dev/null

# find_package from a CMake project; the version it finds must be the one
# the header it compiles against tells.
mkdir -p "$tmp/project"
cp "$tmp/caller.c" "$tmp/project/"
cat >"$tmp/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(caller C)
find_package(VESK80 0.1 REQUIRED)
add_executable(caller caller.c)
target_link_libraries(caller PRIVATE VESK80::VESK80)
target_compile_definitions(caller PRIVATE EXPECTED_VERSION="${VESK80_VERSION}")
CMAKE
cmake -S "$tmp/project" -B "$tmp/project/build" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$sanitize_flags" >/dev/null
cmake --build "$tmp/project/build" >/dev/null
"$tmp/project/build/caller"

# The programs run from the prefix and find the library there; vesk tells
# the project's version.
[ "$("$prefix/bin/vesk" --version)" = "vesk $pc_version" ]
[ -x "$prefix/bin/vesk-service" ]

# The manual page vesk(1) is installed, with the version, and renders
# without a warning.
page=$(find "$prefix" -path '*/man1/vesk.1' | head -n1)
[ -n "$page" ] || { echo "vesk.1 is not installed"; exit 1; }
grep -q "VESK80 $pc_version" "$page"
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "vesk.1: $warnings"; exit 1; }
  MANWIDTH=80 man -l "$page" | grep -q '^EXIT STATUS'
else
  echo "man is not installed: vesk.1 was not rendered"
fi

# An API reference made in the build (the docs target) is installed.
if [ -f "$build/docs/html/index.html" ]; then
  [ -n "$(find "$prefix" -path '*/doc/VESK80/html/index.html')" ] ||
    { echo "the API reference is not installed"; exit 1; }
fi
echo "install test passed"
