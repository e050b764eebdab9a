# Debian packages, one per install component (cpack -G DEB in the build
# directory). liblndb1 needs some package that provides the platform
# libraries: the stand-ins here, or an agent's own package that declares
# "Provides: lndb-platform". dpkg-shlibdeps adds the dependencies on Debian's
# libraries (libc6, libstdc++6, libpugixml1v5, and libsystemd0 for lndb).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lndb)
set(CPACK_PACKAGE_VENDOR "lndb developers")
set(CPACK_PACKAGE_CONTACT "lndb developers <lndb@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime development tools platform)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries built here belong to no installed package yet: dpkg-shlibdeps
# reads them from the build tree and leaves the dependencies on them to the
# lines below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

# A shlibs file for liblndb.so.1 (the stand-ins have no soname and get none).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# lndb_deb_package(COMPONENT SECTION DEPENDS DESCRIPTION): the package of
# an install component (its name is LNDB_PACKAGE_<component>).
macro(lndb_deb_package component section depends description)
  string(TOUPPER ${component} lndb_component)
  set(CPACK_DEBIAN_${lndb_component}_PACKAGE_NAME ${LNDB_PACKAGE_${component}})
  set(CPACK_DEBIAN_${lndb_component}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${lndb_component}_PACKAGE_DEPENDS "${depends}")
  set(CPACK_COMPONENT_${lndb_component}_DESCRIPTION "${description}")
endmacro()

set(lndb_same_library "${LNDB_PACKAGE_runtime} (= ${PROJECT_VERSION})")
lndb_deb_package(runtime libs "lndb-platform"
  "Lotus Notes / Domino support library of the backup agent\n liblndb.so.1, loaded by the agent's processes.")
lndb_deb_package(development libdevel "${lndb_same_library}"
  "Lotus Notes / Domino support library: development files\n Headers, the CMake package (lndb::lndb) and lndb.pc.")
lndb_deb_package(tools admin "${lndb_same_library}, lndb-platform"
  "Lotus Notes / Domino support library: the lndb command\n A host for liblndb for operators and tests.")
lndb_deb_package(platform libs ""
  "Stand-ins for the backup agent's platform libraries\n libKrLib, libZuUtils, libKrXMLMessagesBase and libKrSession, working\n on files, processes and sockets, for a machine without the agent.")
set(CPACK_DEBIAN_PLATFORM_PACKAGE_PROVIDES "lndb-platform")
# The logrotate file is the administrator's to adapt (another log directory):
# a conffile, kept as edited when the package is upgraded.
file(WRITE ${PROJECT_BINARY_DIR}/deb-tools/conffiles "/etc/logrotate.d/lndb\n")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb-tools/conffiles)

include(CPack)
