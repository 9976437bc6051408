# Toolchain for the controller: 32-bit little-endian MIPS Linux, built with Debian's
# g++-mipsel-linux-gnu. The C and C++ runtime comes with the cross compiler (/usr/mipsel-linux-gnu);
# libmosquitto, libsqlite3 and libssl come from a sysroot folder of unpacked Debian mipsel packages
# (scripts/cross.sh makes it). Target executables run under qemu-mipsel, so ctest and
# gtest_discover_tests work as on the host.
#
# The preset `target` of CMakePresets.json uses it:
#   cmake --preset target -DK482916_SYSROOT=$HOME/.cache/k482916-mipsel-sysroot

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(DEFINED ENV{K482916_SYSROOT} AND NOT "$ENV{K482916_SYSROOT}" STREQUAL "")
  set(_k482916_sysroot_default "$ENV{K482916_SYSROOT}")
else()
  set(_k482916_sysroot_default "$ENV{HOME}/.cache/k482916-mipsel-sysroot")
endif()
set(K482916_SYSROOT "${_k482916_sysroot_default}"
    CACHE PATH "Folder with the target's libmosquitto, libsqlite3 and libssl (unpacked mipsel packages)")
# try_compile projects read this file again; hand them the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES K482916_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${K482916_SYSROOT}" /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_k482916_libdirs "${K482916_SYSROOT}/lib/mipsel-linux-gnu:${K482916_SYSROOT}/usr/lib/mipsel-linux-gnu")

# Small code for a small controller: unused functions and data are dropped at link time, and only
# the shared libraries that are actually used become dependencies. libmosquitto's own dependencies
# (libssl, libcrypto) are found in the sysroot at link time through -rpath-link.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
# libgcc's helpers (64-bit division on MIPS32) are linked in, so the controller needs no libgcc_s.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static-libgcc -Wl,--gc-sections -Wl,--as-needed -Wl,-rpath-link,${_k482916_libdirs}")

# Target programs run under qemu-mipsel: the C runtime from the cross compiler's folder, the other
# libraries from the sysroot. qemu looks for absolute paths below -L first and falls back to the host
# path, so the sysroot's folders are reachable through LD_LIBRARY_PATH.
find_program(K482916_QEMU_MIPSEL qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${K482916_QEMU_MIPSEL}" -L /usr/mipsel-linux-gnu
                                  -E "LD_LIBRARY_PATH=${_k482916_libdirs}")
