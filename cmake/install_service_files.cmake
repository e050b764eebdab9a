# Installs the systemd units of `lndb partition serve` and the logrotate file
# of its logs. Run at install time (tools component), so that the places
# follow the prefix of this installation rather than the one configured:
# CPack's Debian packages install into /usr whatever the build was
# configured with.
#   prefix /usr:     units in LNDB_SYSTEMD_UNIT_DIR (Debian: /lib/systemd/system),
#                    logrotate file in /etc/logrotate.d
#   another prefix:  PREFIX/lib/systemd/system and PREFIX/<sysconfdir>/logrotate.d
# The service runs PREFIX/<bindir>/lndb.
# Set before this runs: LNDB_SERVICE_SOURCE_DIR, LNDB_SERVICE_WORK_DIR,
# LNDB_SYSTEMD_UNIT_DIR, LNDB_INSTALL_BINDIR, LNDB_INSTALL_SYSCONFDIR.

function(lndb_installed_path result directory system_default)
  if(IS_ABSOLUTE "${directory}")
    set(path "${directory}")
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND system_default)
    set(path "${system_default}")
  else()
    set(path "${CMAKE_INSTALL_PREFIX}/${directory}")
  endif()
  set(${result} "${path}" PARENT_SCOPE)
endfunction()

lndb_installed_path(unit_dir lib/systemd/system "${LNDB_SYSTEMD_UNIT_DIR}")
lndb_installed_path(sysconf_dir "${LNDB_INSTALL_SYSCONFDIR}" /etc)
lndb_installed_path(bin_dir "${LNDB_INSTALL_BINDIR}" "")

# The path goes into ExecStart= as it stands: no blank, quote, backslash or
# systemd specifier (%) that would change its meaning there.
set(LNDB_SERVICE_PROGRAM "${bin_dir}/lndb")
if(NOT LNDB_SERVICE_PROGRAM MATCHES "^[A-Za-z0-9/._+@-]+$")
  message(FATAL_ERROR "lndb's path '${LNDB_SERVICE_PROGRAM}' cannot be written in a systemd unit")
endif()

# Configured per prefix, so that installations into several prefixes at once
# do not share a file.
string(MD5 prefix_key "${CMAKE_INSTALL_PREFIX}")
set(work "${LNDB_SERVICE_WORK_DIR}/${prefix_key}")
configure_file("${LNDB_SERVICE_SOURCE_DIR}/lndb-partition.service.in" "${work}/lndb-partition.service" @ONLY)
configure_file("${LNDB_SERVICE_SOURCE_DIR}/lndb.logrotate" "${work}/lndb" COPYONLY)

file(INSTALL DESTINATION "${unit_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${work}/lndb-partition.service" "${LNDB_SERVICE_SOURCE_DIR}/lndb-partition.socket")
file(INSTALL DESTINATION "${sysconf_dir}/logrotate.d" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${work}/lndb")
