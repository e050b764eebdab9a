# Install rules, in components:
#   runtime      liblndb.so.1*
#   development  the public headers, the liblndb.so link, the CMake package
#                (lndb:: targets) and lndb.pc
#   tools        the lndb command, its man page and bash completion, its
#                systemd units and its logrotate file
#   platform     the stand-in platform libraries and their headers: optional,
#                an agent brings its own platform
# The sample discovery tool, the sample installation and the fake libnotes.so
# serve the tests and the demo only and are not installed.

include(CMakePackageConfigHelpers)

set(LNDB_PLATFORM_TARGETS KrLib ZuUtils KrXMLMessagesBase KrSession)
set(LNDB_PLATFORM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/lndb-platform)
set(LNDB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/lndb)

# The Debian package of each component; its copyright file goes into the
# package's own documentation directory.
set(LNDB_PACKAGE_runtime liblndb1)
set(LNDB_PACKAGE_development liblndb-dev)
set(LNDB_PACKAGE_tools lndb)
set(LNDB_PACKAGE_platform lndb-standin-platform)

# An installed lndb finds the library and the stand-ins in its prefix's
# library directory, and the libraries find each other beside themselves,
# wherever the prefix is. The build tree has the same layout (bin/, lib/), so
# these run paths serve it too: no build path to rewrite at install, and no
# padding, which CMake would write as an empty entry (the loader would then
# search the working directory).
file(RELATIVE_PATH lndb_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(lndb_cli_rpath "\$ORIGIN/${lndb_bin_to_lib}")
if(NOT lndb_bin_to_lib STREQUAL "../lib")
  string(APPEND lndb_cli_rpath ":\$ORIGIN/../lib")
endif()
set_target_properties(lndb_cli PROPERTIES INSTALL_RPATH "${lndb_cli_rpath}" BUILD_WITH_INSTALL_RPATH ON)
set_target_properties(lndb ${LNDB_PLATFORM_TARGETS} PROPERTIES
  INSTALL_RPATH "\$ORIGIN" BUILD_WITH_INSTALL_RPATH ON)

foreach(target ${LNDB_PLATFORM_TARGETS})
  add_library(lndb::${target} ALIAS ${target})
endforeach()

install(TARGETS lndb EXPORT lndbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/lndb
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(TARGETS lndb_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The command's man page (made only when help2man was found) and its bash
# completion.
if(LNDB_MAN_PAGE)
  install(FILES ${LNDB_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
install(FILES ${LNDB_BASH_COMPLETION} RENAME lndb
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions COMPONENT tools)

# The systemd units of `lndb partition serve` and the logrotate file of its
# logs, placed at install time (cmake/install_service_files.cmake says where).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(lndb_systemd_unit_dir systemd systemdsystemunitdir)
endif()
if(NOT lndb_systemd_unit_dir)
  set(lndb_systemd_unit_dir /lib/systemd/system)
endif()
set(LNDB_SYSTEMD_UNIT_DIR ${lndb_systemd_unit_dir} CACHE PATH
    "systemd's unit directory, used when installing into the prefix /usr")
install(CODE "
  set(LNDB_SERVICE_SOURCE_DIR [[${PROJECT_SOURCE_DIR}/service]])
  set(LNDB_SERVICE_WORK_DIR [[${PROJECT_BINARY_DIR}/service]])
  set(LNDB_SYSTEMD_UNIT_DIR [[${LNDB_SYSTEMD_UNIT_DIR}]])
  set(LNDB_INSTALL_BINDIR [[${CMAKE_INSTALL_BINDIR}]])
  set(LNDB_INSTALL_SYSCONFDIR [[${CMAKE_INSTALL_SYSCONFDIR}]])
  include([[${PROJECT_SOURCE_DIR}/cmake/install_service_files.cmake]])
" COMPONENT tools)

install(TARGETS ${LNDB_PLATFORM_TARGETS} EXPORT lndbPlatformTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform
  INCLUDES DESTINATION ${LNDB_PLATFORM_INCLUDEDIR})
file(GLOB lndb_platform_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/*/include/*.h)
install(FILES ${lndb_platform_headers} DESTINATION ${LNDB_PLATFORM_INCLUDEDIR} COMPONENT platform)

# The CMake package: lndb::lndb, and the stand-ins' targets when their
# component is installed (lndbConfig.cmake says what stands in for them when
# it is not).
install(EXPORT lndbTargets NAMESPACE lndb:: DESTINATION ${LNDB_CMAKE_DIR} COMPONENT development)
install(EXPORT lndbPlatformTargets NAMESPACE lndb:: DESTINATION ${LNDB_CMAKE_DIR} COMPONENT platform)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/lndbConfig.cmake.in
  ${PROJECT_BINARY_DIR}/lndbConfig.cmake INSTALL_DESTINATION ${LNDB_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/lndbConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/lndbConfig.cmake ${PROJECT_BINARY_DIR}/lndbConfigVersion.cmake
  DESTINATION ${LNDB_CMAKE_DIR} COMPONENT development)

# lndb.pc finds its prefix from where it lies, so one file serves any
# --prefix, DESTDIR and the packages alike.
file(RELATIVE_PATH LNDB_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" LNDB_PC_TO_PREFIX "${LNDB_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(LNDB_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(LNDB_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/lndb.pc.in ${PROJECT_BINARY_DIR}/lndb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lndb.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

foreach(component runtime development tools platform)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${LNDB_PACKAGE_${component}}
    COMPONENT ${component})
endforeach()
