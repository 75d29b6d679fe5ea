# SPDX-License-Identifier: MIT
# Finishes the Debian packages that CPack built. cpack runs it after the
# packages are written (CPACK_POST_BUILD_SCRIPTS), with CPACK_PACKAGE_FILES
# naming them; for each one it
# - drops the postinst and postrm CPack writes, which only run ldconfig: the
#   packages' ldconfig trigger does that already, and a package without
#   maintainer scripts or conffiles leaves nothing behind once removed;
# - marks the packages named in CPACK_WEXLOG_MULTIARCH_SAME Multi-Arch: same;
# - gives each library package named in CPACK_WEXLOG_SYMBOLS (entries
#   PACKAGE=DEV_PACKAGE) a symbols file: every symbol its shared libraries
#   export, each since version CPACK_WEXLOG_SYMBOLS_VERSION, read from the
#   packaged library itself so that it cannot disagree with it.
cmake_minimum_required(VERSION 3.25)

# wexlog_deb_symbols(ROOT PACKAGE DEV_PACKAGE OUT): the symbols file's text.
function(wexlog_deb_symbols root package dev_package out)
  file(GLOB_RECURSE libraries LIST_DIRECTORIES false "${root}/usr/lib/*.so.*")
  set(text "")
  foreach(library IN LISTS libraries)
    if(IS_SYMLINK "${library}")
      continue()
    endif()
    execute_process(COMMAND readelf -d -W "${library}" OUTPUT_VARIABLE dynamic
                    COMMAND_ERROR_IS_FATAL ANY)
    if(NOT dynamic MATCHES "Library soname: \\[([^]]+)\\]")
      message(FATAL_ERROR "${library} has no SONAME")
    endif()
    string(APPEND text "${CMAKE_MATCH_1} ${package} #MINVER#\n"
                       "* Build-Depends-Package: ${dev_package}\n")
    # Defined, exported symbols; an unversioned one is in version Base.
    execute_process(
      COMMAND sh -c "readelf --dyn-syms -W \"$1\" | awk '$5 != \"LOCAL\" && $6 == \"DEFAULT\" && $7 != \"UND\" && $7 != \"ABS\" && $8 != \"\" { print $8 }' | sed -e 's/@@*/@/' -e '/@/!s/$/@Base/' | LC_ALL=C sort -u"
              sh "${library}"
      OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "([^\n]+)" " \\1 ${CPACK_WEXLOG_SYMBOLS_VERSION}" symbols "${symbols}")
    string(APPEND text "${symbols}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(root "${deb}.tree")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${root}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${root}/DEBIAN/postinst" "${root}/DEBIAN/postrm")

  file(READ "${root}/DEBIAN/control" control)
  string(REGEX MATCH "(^|\n)Package: ([^\n]+)" unused "${control}")
  set(package "${CMAKE_MATCH_2}")
  if(package IN_LIST CPACK_WEXLOG_MULTIARCH_SAME)
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]+\n)" "\\1\\2Multi-Arch: same\n" control
                         "${control}")
    file(WRITE "${root}/DEBIAN/control" "${control}")
  endif()
  foreach(entry IN LISTS CPACK_WEXLOG_SYMBOLS)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 library_package)
    list(GET entry 1 dev_package)
    if(package STREQUAL library_package)
      wexlog_deb_symbols("${root}" "${package}" "${dev_package}" symbols)
      file(WRITE "${root}/DEBIAN/symbols" "${symbols}")
    endif()
  endforeach()

  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${root}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${root}")
endforeach()
