# The unit tests on the device's processor: 32-bit MIPS little-endian with
# Debian's glibc cross toolchain (g++-mipsel-linux-gnu), run under qemu-mipsel.
# This is not how the daemon ships (cmake/mipsel-musl.cmake is); it is how the
# daemon's code gets checked on a 32-bit little-endian MIPS with the same
# compiler, since GoogleTest needs a full C++ library, exceptions and all.
#
# QUORVELLAN_CROSS_PREFIX names a directory holding what the tests need built
# or staged for this target, and nothing else: GoogleTest compiled from
# Debian's googletest sources, and a link to nlohmann's headers alone.
# scripts/test-target-units prepares it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# musl's off_t and ino_t are 64 bits everywhere; glibc's are 32 bits on this
# target unless asked. Besides matching the device's C library, it matters
# under qemu-user: the 64-bit host kernel hands out 64-bit directory offsets,
# and glibc's 32-bit readdir() then stops at the first entry with EOVERFLOW,
# so every directory would read as empty.
set(CMAKE_C_FLAGS_INIT -D_FILE_OFFSET_BITS=64)
set(CMAKE_CXX_FLAGS_INIT -D_FILE_OFFSET_BITS=64)

# CMake reads this file again for each of its compiler checks, in a scratch
# project that sees only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVELLAN_CROSS_PREFIX)

# ctest, and GoogleTest's test discovery, start every test program through
# this. -L makes qemu find the cross glibc's loader and libraries.
find_program(QUORVELLAN_QEMU_MIPSEL qemu-mipsel)
if(QUORVELLAN_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVELLAN_QEMU_MIPSEL} -L /usr/mipsel-linux-gnu)
endif()

# Packages and libraries come from the cross glibc and the prefix only: the
# build machine's /usr holds x86-64 libraries and CMake packages that point
# at them (Debian's libgtest-dev among them).
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu ${QUORVELLAN_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
