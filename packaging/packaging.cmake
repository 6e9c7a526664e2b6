# Installation and the man page. What is installed: the program, its man
# page, the systemd unit and the unit's options file; nothing else (no tests,
# benchmarks or development node). debian/ packages the same install.

include(GNUInstallDirs)

# The man page, from `qvncpu --help` and the sections in qvncpu.h2m. help2man
# finds the program on PATH so that the page names it "qvncpu", not the path
# of the build folder; the program has no --version, so the version is given.
# It runs the program, so a tree whose qvncpu is the AVX-512 flavour, made on
# a processor that cannot run it, goes without, and so does a cross build.
# The AVX-512 flavour's help text is the default one's: its package takes the
# page of the default qvncpu, built in the same tree.
option(QVN_WITH_MAN_PAGE "Generate and install the man page (runs the program)" ON)
if(QVN_WITH_MAN_PAGE AND QVN_KERNEL STREQUAL "avx512")
  execute_process(COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/can-run-avx512
    RESULT_VARIABLE cannot_run OUTPUT_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(cannot_run)
    message(STATUS "No man page for this build: ${why}")
    set(QVN_WITH_MAN_PAGE OFF)
  endif()
elseif(QVN_WITH_MAN_PAGE AND CMAKE_CROSSCOMPILING)
  message(STATUS "No man page for this build: help2man cannot run a cross-built program")
  set(QVN_WITH_MAN_PAGE OFF)
endif()
set(QVN_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/qvncpu.1)
if(QVN_WITH_MAN_PAGE)
  find_program(QVN_HELP2MAN help2man REQUIRED)
  add_custom_command(
    OUTPUT ${QVN_MAN_PAGE} ${QVN_MAN_PAGE}.gz
    COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:qvncpu>:$ENV{PATH}"
      ${QVN_HELP2MAN} --no-info --section=1 --manual "User Commands"
      "--version-string=qvncpu ${PROJECT_VERSION}"
      --include=${CMAKE_CURRENT_SOURCE_DIR}/packaging/qvncpu.h2m --output=${QVN_MAN_PAGE} qvncpu
    # Debian ships man pages compressed, without a time stamp in the gzip header.
    COMMAND gzip -9nkf ${QVN_MAN_PAGE}
    DEPENDS qvncpu ${CMAKE_CURRENT_SOURCE_DIR}/packaging/qvncpu.h2m
    COMMENT "Generating the qvncpu(1) man page"
    VERBATIM)
  add_custom_target(man_page ALL DEPENDS ${QVN_MAN_PAGE})
endif()

install(TARGETS qvncpu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(QVN_WITH_MAN_PAGE)
  install(FILES ${QVN_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# The unit names the program's and the options file's full paths, which
# depend on the prefix in force when installing (the package's /usr,
# `cmake --install --prefix`, make install PREFIX=), so it is written then.
# The Debian package puts it in /lib/systemd/system, where bookworm's
# debhelper looks for units.
set(QVN_SYSTEMD_UNIT_DIR "" CACHE PATH "Directory of the systemd unit (default: PREFIX/lib/systemd/system)")
install(CODE "set(QVN_PACKAGING_DIR \"${CMAKE_CURRENT_SOURCE_DIR}/packaging\")
  set(QVN_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(QVN_SYSTEMD_UNIT_DIR \"${QVN_SYSTEMD_UNIT_DIR}\")")
install(SCRIPT packaging/install_service.cmake)
