# How libwexliblog.so.1 ships: only the library's classes and maintenance
# entry points are exported, and its dynamic section names only libc and the
# unwinding support library. The language runtime, the platform services and
# the maintenance-log service are resolved from the process that loads it.
# Sanitizer builds keep the default runtime libraries their runtime needs.
if(WEXLOG_SANITIZE STREQUAL "")
  target_link_options(wexliblog PRIVATE -nodefaultlibs)
  target_link_libraries(wexliblog PRIVATE gcc_s gcc c)
endif()
target_link_options(wexliblog PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/wexliblog.map)
# The headers need C++17 (an over-aligned member among others); users get it too.
target_compile_features(wexliblog PUBLIC cxx_std_17)
set_property(TARGET wexliblog APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/wexliblog.map)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(WEXLOG_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/wexliblog)
target_include_directories(wexliblog PUBLIC $<INSTALL_INTERFACE:${WEXLOG_INCLUDE_SUBDIR}>)

install(TARGETS wexliblog EXPORT wexliblogTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
    include/wex_lib_log_crash.h
    include/wex_lib_log_entry.h
    include/wex_lib_log_export.h
    include/wex_lib_log_maintenance.h
    include/wex_lib_log_ring_buffer.h
    include/wex_lib_log_snapshot.h
    include/wex_lib_log_storage.h
    include/wex_lib_log_tracer.h
    platform/DRAV_UsrCommandReceiver.h
    platform/QMV_Mutex_Semaphore.h
    platform/tesk_mainte.h
    platform/zol_platform.h
  DESTINATION ${WEXLOG_INCLUDE_SUBDIR})

set(WEXLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/wexliblog)
install(EXPORT wexliblogTargets NAMESPACE wexliblog:: DESTINATION ${WEXLOG_CMAKE_DIR})
configure_package_config_file(cmake/wexliblogConfig.cmake.in
  ${PROJECT_BINARY_DIR}/wexliblogConfig.cmake INSTALL_DESTINATION ${WEXLOG_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wexliblogConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/wexliblogConfig.cmake
    ${PROJECT_BINARY_DIR}/wexliblogConfigVersion.cmake
  DESTINATION ${WEXLOG_CMAKE_DIR})

configure_file(cmake/wexliblog.pc.in ${PROJECT_BINARY_DIR}/wexliblog.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/wexliblog.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
