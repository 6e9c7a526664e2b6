# Runs at install time, when the prefix is known: writes the systemd unit with
# the program's path and installs the unit's options file.
# /usr keeps its configuration in /etc, any other prefix in PREFIX/etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(sysconfdir /etc)
else()
  set(sysconfdir ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(QVN_BINDIR ${CMAKE_INSTALL_PREFIX}/${QVN_INSTALL_BINDIR})
set(QVN_DEFAULTS_FILE ${sysconfdir}/default/qvncpu)
# Written by the Debian package at its first install, not installed here.
set(QVN_EXTRANONCE_FILE ${sysconfdir}/default/qvncpu-extranonce)

file(READ ${QVN_PACKAGING_DIR}/systemd/qvncpu.service.in unit)
string(CONFIGURE "${unit}" unit @ONLY)
set(unit_dir ${QVN_SYSTEMD_UNIT_DIR})
if(NOT unit_dir)
  set(unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(staged $ENV{DESTDIR}${unit_dir}/qvncpu.service)
message(STATUS "Installing: ${staged}")
file(WRITE ${staged} "${unit}")
file(CHMOD ${staged} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES ${unit_dir}/qvncpu.service)

file(INSTALL ${QVN_PACKAGING_DIR}/qvncpu.default DESTINATION ${sysconfdir}/default
  RENAME qvncpu PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
