# Cross build for the device: 32-bit big-endian PowerPC Linux with Debian's
# powerpc-linux-gnu toolchain, run under qemu-ppc on a workstation.
#
# Packages for the device are looked for in the toolchain's own sysroot and in
# the staging roots or prefixes named by WEXLIBLOG_STAGING (a CMake list, or
# the environment variable of that name): for example the folder the device's
# .deb packages were unpacked into, or one that `cmake --install --prefix`
# filled.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
# Debian's multiarch name: installs to lib/powerpc-linux-gnu under /usr, and
# packages are found there.
set(CMAKE_LIBRARY_ARCHITECTURE powerpc-linux-gnu)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

if(NOT DEFINED WEXLIBLOG_STAGING AND DEFINED ENV{WEXLIBLOG_STAGING})
  set(WEXLIBLOG_STAGING "$ENV{WEXLIBLOG_STAGING}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WEXLIBLOG_STAGING)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu ${WEXLIBLOG_STAGING})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/powerpc-linux-gnu)
