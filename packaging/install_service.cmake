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

# The options file may hold the node's password: readable by its owner
# alone. One already there is the administrator's and is kept (made private
# if it was not); the new one goes beside it, as dpkg does with .dpkg-dist.
set(options ${sysconfdir}/default/qvncpu)
set(staged_options $ENV{DESTDIR}${options})
set(private PERMISSIONS OWNER_READ OWNER_WRITE)
if(EXISTS ${staged_options})
  file(READ ${staged_options} existing)
  file(READ ${QVN_PACKAGING_DIR}/qvncpu.default shipped)
  file(CHMOD ${staged_options} ${private})
  if(existing STREQUAL shipped)
    message(STATUS "Up-to-date: ${staged_options}")
  else()
    file(INSTALL ${QVN_PACKAGING_DIR}/qvncpu.default DESTINATION ${sysconfdir}/default
      RENAME qvncpu.dist ${private})
    message(NOTICE "Kept your ${staged_options}, now readable by its owner alone; "
      "the new example is ${staged_options}.dist")
  endif()
else()
  file(INSTALL ${QVN_PACKAGING_DIR}/qvncpu.default DESTINATION ${sysconfdir}/default
    RENAME qvncpu ${private})
endif()
