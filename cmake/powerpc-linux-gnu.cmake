# SPDX-License-Identifier: MIT
# Cross build for the device: 32-bit big-endian PowerPC Linux with Debian's
# powerpc-linux-gnu toolchain, run under qemu-ppc on a workstation.
#
# Packages for the device are looked for in the toolchain's own sysroot and in
# the staging roots or prefixes named by WEXLOG_STAGING (a CMake list, or
# the environment variable of that name): for example the folder the device's
# .deb packages were unpacked into, or one that `cmake --install --prefix`
# filled. Programs built with it run under
#   qemu-ppc -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH=<root>/usr/lib/powerpc-linux-gnu
# (the C and C++ runtime from the cross sysroot, the staged libraries from
# the library path that -E sets for the emulated program).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
# Debian's multiarch name: installs to lib/powerpc-linux-gnu under /usr, and
# packages are found there.
set(CMAKE_LIBRARY_ARCHITECTURE powerpc-linux-gnu)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

if(NOT DEFINED WEXLOG_STAGING AND DEFINED ENV{WEXLOG_STAGING})
  set(WEXLOG_STAGING "$ENV{WEXLOG_STAGING}")
endif()
# WEXLIBLOG_STAGING, the name of the first release, still works for now.
foreach(_wexliblog_old IN ITEMS "${WEXLIBLOG_STAGING}" "$ENV{WEXLIBLOG_STAGING}")
  if(NOT DEFINED WEXLOG_STAGING AND NOT _wexliblog_old STREQUAL "")
    message(DEPRECATION "WEXLIBLOG_STAGING is now WEXLOG_STAGING")
    set(WEXLOG_STAGING "${_wexliblog_old}")
  endif()
endforeach()
# A relative staging path is taken from the directory cmake was started in.
# Its absolute form is kept in the cache: later runs, started by the build
# tool inside the build tree, and CMake's test builds look in the same folder.
# A folder that does not exist is refused here rather than found empty later.
set(_wexliblog_staging "")
foreach(_wexliblog_root IN LISTS WEXLOG_STAGING)
  if(NOT IS_ABSOLUTE "${_wexliblog_root}")
    execute_process(COMMAND pwd OUTPUT_VARIABLE _wexliblog_cwd OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(_wexliblog_root "${_wexliblog_root}" ABSOLUTE
                           BASE_DIR "${_wexliblog_cwd}")
  endif()
  if(NOT IS_DIRECTORY "${_wexliblog_root}")
    message(FATAL_ERROR "WEXLOG_STAGING names '${_wexliblog_root}', which is not a folder: "
                        "name the folder the device's packages were unpacked or installed into")
  endif()
  list(APPEND _wexliblog_staging "${_wexliblog_root}")
endforeach()
if(NOT "${_wexliblog_staging}" STREQUAL "${WEXLOG_STAGING}")
  set(WEXLOG_STAGING "${_wexliblog_staging}" CACHE STRING
      "Staging roots or prefixes that hold the device's packages" FORCE)
  set(WEXLOG_STAGING "${_wexliblog_staging}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WEXLOG_STAGING)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu ${WEXLOG_STAGING})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/powerpc-linux-gnu)
