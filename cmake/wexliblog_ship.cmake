# SPDX-License-Identifier: MIT
# How libwexliblog.so.1 ships: only the library's classes and functions are
# exported, and its dynamic section names only libc and the unwinding support
# library. The language runtime, the platform services and the
# maintenance-log service are resolved from the process that loads it.
# Sanitizer builds keep the default runtime libraries their runtime needs.
#
# Install components: runtime (the shared library), dev (headers, link,
# CMake package, pkg-config file, cross toolchain file), tool (wexlog and its
# manual page, added by tools/wexlog), standin and standin_dev (the
# workstation stand-in for the platform services).
if(WEXLOG_SANITIZE STREQUAL "")
  target_link_options(wexliblog PRIVATE -nodefaultlibs)
  target_link_libraries(wexliblog PRIVATE gcc_s gcc c)
endif()
target_link_options(wexliblog PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/wexliblog.map)
# The headers need C++17; users get it too.
target_compile_features(wexliblog PUBLIC cxx_std_17)
set_property(TARGET wexliblog APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/wexliblog.map)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(WEXLOG_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/wexliblog)
set(WEXLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/wexliblog)
target_include_directories(wexliblog PUBLIC $<INSTALL_INTERFACE:${WEXLOG_INCLUDE_SUBDIR}>)
target_include_directories(wexplatform PUBLIC $<INSTALL_INTERFACE:${WEXLOG_INCLUDE_SUBDIR}>)

# The library and its development files.
install(TARGETS wexliblog EXPORT wexliblogTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES
    include/wex_lib_log_crash.h
    include/wex_lib_log_entry.h
    include/wex_lib_log_export.h
    include/wex_lib_log_maintenance.h
    include/wex_lib_log_map.h
    include/wex_lib_log_ring_buffer.h
    include/wex_lib_log_snapshot.h
    include/wex_lib_log_storage.h
    include/wex_lib_log_tracer.h
    ${PROJECT_BINARY_DIR}/include/wex_lib_log_version.h
    platform/DRAV_UsrCommandReceiver.h
    platform/QMV_Mutex_Semaphore.h
    platform/tesk_mainte.h
    platform/zol_platform.h
  DESTINATION ${WEXLOG_INCLUDE_SUBDIR} COMPONENT dev)
install(EXPORT wexliblogTargets NAMESPACE wexliblog:: DESTINATION ${WEXLOG_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(cmake/wexliblogConfig.cmake.in
  ${PROJECT_BINARY_DIR}/wexliblogConfig.cmake INSTALL_DESTINATION ${WEXLOG_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wexliblogConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/wexliblogConfig.cmake
    ${PROJECT_BINARY_DIR}/wexliblogConfigVersion.cmake
  DESTINATION ${WEXLOG_CMAKE_DIR} COMPONENT dev)
install(FILES cmake/powerpc-linux-gnu.cmake DESTINATION ${CMAKE_INSTALL_DATADIR}/wexliblog
  COMPONENT dev)

# The stand-in: its own library, header, exported target (wexliblog::wexplatform,
# loaded by the package when installed) and pkg-config file.
install(TARGETS wexplatform EXPORT wexplatformTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standin NAMELINK_COMPONENT standin_dev)
install(FILES platform/standin/platform_standin.h DESTINATION ${WEXLOG_INCLUDE_SUBDIR}
  COMPONENT standin_dev)
install(EXPORT wexplatformTargets NAMESPACE wexliblog:: DESTINATION ${WEXLOG_CMAKE_DIR}
  COMPONENT standin_dev)

# pkg-config files name the prefix the tree is installed under, as it is
# when installing (`cmake --install --prefix` gets its own): pkg-config
# prints paths as they stand, so a path relative to the file's folder would
# reach the compiler as .../pkgconfig/../../... For a tree unpacked into a
# staging root, PKG_CONFIG_SYSROOT_DIR moves these paths under that root.
set(WEXLOG_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
function(wexlog_pc_path variable install_dir)
  if(IS_ABSOLUTE "${install_dir}")
    set(${variable} "${install_dir}" PARENT_SCOPE)
  else()
    set(${variable} "\${prefix}/${install_dir}" PARENT_SCOPE)
  endif()
endfunction()
wexlog_pc_path(WEXLOG_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
wexlog_pc_path(WEXLOG_PC_INCLUDEDIR "${WEXLOG_INCLUDE_SUBDIR}")
# wexlog_install_pc(NAME COMPONENT): fills cmake/NAME.pc.in at install time.
function(wexlog_install_pc name component)
  set(out ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc)
  install(CODE "
    set(PROJECT_DESCRIPTION [[${PROJECT_DESCRIPTION}]])
    set(PROJECT_VERSION [[${PROJECT_VERSION}]])
    set(WEXLOG_PC_LIBDIR [[${WEXLOG_PC_LIBDIR}]])
    set(WEXLOG_PC_INCLUDEDIR [[${WEXLOG_PC_INCLUDEDIR}]])
    configure_file([[${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in]] [[${out}]] @ONLY)"
    COMPONENT ${component})
  install(FILES ${out} DESTINATION ${WEXLOG_PC_DIR} COMPONENT ${component})
endfunction()
wexlog_install_pc(wexliblog dev)
wexlog_install_pc(wexplatform standin_dev)
