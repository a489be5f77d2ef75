# Cross build for Debian's armhf (32-bit ARM, EABI, hard float) with Debian's
# cross toolchain (crossbuild-essential-armhf):
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchain-armhf.cmake \
#         -DVESK_TARGET_ROOT=/path/to/armhf/root -DVESK_TOOLS=OFF
#
# VESK_TARGET_ROOT is the root of the target's file system as far as the
# build needs it: the armhf packages of the libraries the library links
# (zlib, minizip, LibTomMath, LibTomCrypt) and, for the tests, their own
# (GoogleTest, OpenSSL, Expat, Boost.Filesystem), in Debian's multiarch
# layout (usr/lib/arm-linux-gnueabihf). It is the compiler's sysroot, the
# place pkg-config and find_package look in, and the root that qemu-arm gives
# the tests (their loader, C library and gconv modules). The default "/" is
# the build machine itself, with the armhf packages installed beside the host's
# (dpkg --add-architecture armhf); `scripts/setup --arch armhf` makes a root
# of its own instead (/opt/vesk80/armhf-root), which `scripts/test --arch
# armhf` passes here. The variable may also come from the environment.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VESK_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VESK_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VESK_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VESK_TARGET_TRIPLET})

if(NOT DEFINED VESK_TARGET_ROOT)
  if(DEFINED ENV{VESK_TARGET_ROOT})
    set(VESK_TARGET_ROOT "$ENV{VESK_TARGET_ROOT}")
  else()
    set(VESK_TARGET_ROOT /)
  endif()
endif()
set(VESK_TARGET_ROOT "${VESK_TARGET_ROOT}" CACHE PATH
    "Root of the armhf libraries the cross build links (/ for multiarch)")
# The checks CMake compiles in scratch projects see the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VESK_TARGET_ROOT)

# The cross toolchain's own C library comes first for compiling and linking
# (its headers and libraries are searched before the sysroot's); the other
# libraries come from the root.
set(CMAKE_SYSROOT "${VESK_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${VESK_TARGET_ROOT}" /usr/${VESK_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)  # programs run on the host
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Installed where Debian keeps armhf libraries (GNUInstallDirs picks the
# multiarch directory only for native builds), so that the target's
# pkg-config and find_package find the installed library in the image.
set(CMAKE_INSTALL_LIBDIR lib/${VESK_TARGET_TRIPLET} CACHE PATH
    "Object code libraries (lib/${VESK_TARGET_TRIPLET})")

# pkg-config answers for the target: its .pc files, with the root in front of
# every path they name.
string(REGEX REPLACE "/$" "" vesk_root_prefix "${VESK_TARGET_ROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${vesk_root_prefix}/usr/lib/${VESK_TARGET_TRIPLET}/pkgconfig:${vesk_root_prefix}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${vesk_root_prefix}")
set(ENV{PKG_CONFIG_PATH} "")

# Target programs run under user-mode emulation (ctest, gtest discovery),
# with the root as the target's file system for the paths it holds: the
# loader, the shared libraries, the gconv modules. Other paths (the tests'
# scratch directories, the host's zip and unzip) are the host's own.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${VESK_TARGET_ROOT}")
