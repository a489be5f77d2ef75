#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the library as an
# outside project would: a C program built with pkg-config, and a CMake
# project with find_package(VESK80). Both call an export against a closed
# loopback port and must get status 0; the installed programs must run.
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
[ "$soname" = libVESK80.so.0 ] || { echo "soname is '$soname'"; exit 1; }
[ "$(readlink "$libdir/libVESK80.so")" = libVESK80.so.0 ]
[ -f "$prefix/include/vesk80.h" ]

cat >"$tmp/caller.c" <<'C'
#include <stdio.h>
#include <vesk80.h>

int main(void) {
  /* "http://127.0.0.1/" with port 1, where nothing listens. */
  static const vesk_char16 url[] = {'h', 't', 't', 'p', ':', '/', '/', '1',
                                    '2', '7', '.', '0', '.', '0', '.', '1',
                                    '/', 0};
  static const vesk_char16 env[] = {0};
  AccountInfoResult result;
  HandsetError error;
  error.code = -1;
  int32_t status = vesk_AccountInfo(env, &result, &error, url, 1);
  printf("status %d code %d\n", (int)status, (int)error.code);
  return status == 0 && error.code == 0 ? 0 : 1;
}
C

# pkg-config, from a C compiler in strict C99.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion vesk80)" != "" ]
cc -std=c99 -pedantic -Werror $sanitize_flags -o "$tmp/caller_pc" "$tmp/caller.c" \
  $(pkg-config --cflags --libs vesk80) -Wl,-rpath,"$libdir"
"$tmp/caller_pc"

# find_package from a CMake project.
mkdir -p "$tmp/project"
cp "$tmp/caller.c" "$tmp/project/"
cat >"$tmp/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(caller C)
find_package(VESK80 0.1 REQUIRED)
add_executable(caller caller.c)
target_link_libraries(caller PRIVATE VESK80::VESK80)
CMAKE
cmake -S "$tmp/project" -B "$tmp/project/build" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$sanitize_flags" >/dev/null
cmake --build "$tmp/project/build" >/dev/null
"$tmp/project/build/caller"

# The programs run from the prefix and find the library there.
"$prefix/bin/vesk" --version
[ -x "$prefix/bin/vesk-service" ]
echo "install test passed"
