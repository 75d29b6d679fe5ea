# SPDX-License-Identifier: MIT
# Debian packages, built with `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (presets package and package-ppc), for this
# machine and for the device (Architecture: powerpc):
#   libwexliblog1, libwexliblog-dev, libwexplatform1, libwexplatform-dev,
#   and for this machine wexlog.
# The libraries and their -dev packages are Multi-Arch: same: architecture-
# dependent files live under the multiarch libdir and every other file is
# byte for byte the same on every architecture, so the device's -dev
# packages install beside the workstation's.
# The package presets build with the hardening flags that dpkg-buildflags
# gives (stack protector, fortified libc calls, read-only relocations bound
# at load time) and, for powerpc, with 64-bit file offsets; no public type
# depends on the file offset size. The message formatter is built at
# fortify level 1 (CMakeLists.txt), so that %n in a format built at run time
# works as printf's does.
# Host dependencies come from dpkg-shlibdeps; the cross build cannot run it
# on foreign binaries, so its dependencies are named here.
set(WEXLOG_DEB_REVISION 1)
set(WEXLOG_DEB_VERSION ${PROJECT_VERSION}-${WEXLOG_DEB_REVISION})

set(CPACK_COMPONENTS_ALL runtime dev standin standin_dev)
if(CMAKE_CROSSCOMPILING)
  set(WEXLOG_DEB_ARCH powerpc)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE WEXLOG_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(TARGET wexlog)
    list(APPEND CPACK_COMPONENTS_ALL tool)
  endif()
endif()

# Every package carries the Debian changelog and copyright file in its
# documentation folder.
set(WEXLOG_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${WEXLOG_DEB_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${WEXLOG_DEB_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
add_custom_target(wexlog_deb_changelog ALL DEPENDS ${WEXLOG_DEB_CHANGELOG})

function(wexlog_deb_package component name section summary description)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${name} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${WEXLOG_DEB_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} COMPONENT ${component})
endfunction()

wexlog_deb_package(runtime libwexliblog1 libs "logging library for the device's tasks"
  "Per-component loggers that store messages and structured records in a\nfixed-size ring in compact binary form, echo them to the platform trace\nand a file, and dump the ring as text lines on request. An optional crash\nrecorder writes every logger's ring to a crash file when the task dies.\n\nThe platform services it calls are resolved from the process: on the\ndevice its runtime provides them, on a workstation libwexplatform1.")
wexlog_deb_package(dev libwexliblog-dev libdevel "logging library for the device's tasks - development files"
  "Headers, the link to the shared library, the CMake package\n(find_package(wexliblog)), the pkg-config file, the PowerPC cross\ntoolchain file, the README and an example project.")
wexlog_deb_package(standin libwexplatform1 libs "workstation stand-in for the device platform services"
  "A test double of the services that libwexliblog1 takes from the device's\nruntime: semaphore, clock, local time, trace print, user-command trace\nand maintenance-log service. Trace output goes to standard error. Built\nfor the device's architecture too, so that programs cross-built against\nthe packages run under an emulator.")
wexlog_deb_package(standin_dev libwexplatform-dev libdevel "workstation stand-in for the device platform services - development files"
  "Header with the stand-in's test controls, the link to the library, its\nCMake target (wexliblog::wexplatform) and its pkg-config file.")
if(NOT CMAKE_CROSSCOMPILING)
  wexlog_deb_package(tool wexlog devel "reads log rings from crash files, core files and snapshots"
    "Prints the records that a crashed task's loggers held, exactly as their\ndump would have, from the crash file the library's crash recorder wrote,\nfrom the task's core file or from saved ring snapshot files, as text or\nas JSON Lines.")
endif()

# The -dev package's documentation: the README and the example, a CMake
# project of its own that builds against the installed packages.
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libwexliblog-dev COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt ${PROJECT_SOURCE_DIR}/examples/demo.cpp
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libwexliblog-dev/examples COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME wexliblog)
set(CPACK_PACKAGE_VENDOR "wexliblog developers")
set(CPACK_PACKAGE_CONTACT "wexliblog maintainers <maintainers@wexliblog.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description starts with its own summary line; CPack puts
# the package summary before it unless that is left at CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${WEXLOG_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${WEXLOG_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE wexliblog)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_STANDIN_DEV_DEPENDS standin dev)
# The library's users link it by SONAME; any later 1.x satisfies them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The shared libraries' packages let dpkg's ldconfig trigger refresh the
# loader cache. CPack would also write postinst and postrm scripts that run
# ldconfig themselves; the script run after the packages are built drops
# them (and with them the removed-but-not-purged state), adds Multi-Arch and
# the symbols files (cmake/wexliblog_deb_finish.cmake).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_WEXLOG_MULTIARCH_SAME libwexliblog1 libwexliblog-dev libwexplatform1 libwexplatform-dev)
set(CPACK_WEXLOG_SYMBOLS "libwexliblog1=libwexliblog-dev" "libwexplatform1=libwexplatform-dev")
set(CPACK_WEXLOG_SYMBOLS_VERSION ${PROJECT_VERSION})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/wexliblog_deb_finish.cmake)
# The C++ runtime is resolved from the loading process, not named in the
# library's dynamic section, so dpkg-shlibdeps cannot see it.
if(CMAKE_CROSSCOMPILING)
  set(WEXLOG_DEB_CROSS_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${WEXLOG_DEB_CROSS_DEPENDS}")
  set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "${WEXLOG_DEB_CROSS_DEPENDS}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libstdc++6 (>= 12)")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "libwexplatform-dev")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
