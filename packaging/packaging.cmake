# Installation, the man page and the Debian package. What is installed: the
# program, its man page, the systemd unit and the unit's options file;
# nothing else (no tests, benchmarks or development node).

include(GNUInstallDirs)

# The man page, from `qvncpu --help` and the sections in qvncpu.h2m. help2man
# finds the program on PATH so that the page names it "qvncpu", not the path
# of the build folder; the program has no --version, so the version is given.
# It runs the program, so an AVX-512 build made on a processor that cannot run
# it (make test always compiles that variant) and a cross build go without.
set(QVN_WITH_MAN_PAGE ON)
if(QVN_KERNEL STREQUAL "avx512")
  execute_process(COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/can-run-avx512
    RESULT_VARIABLE cannot_run OUTPUT_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(cannot_run)
    message(STATUS "No man page for this build: ${why}")
    set(QVN_WITH_MAN_PAGE OFF)
  endif()
elseif(CMAKE_CROSSCOMPILING)
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
install(CODE "set(QVN_PACKAGING_DIR \"${CMAKE_CURRENT_SOURCE_DIR}/packaging\")
  set(QVN_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT packaging/install_service.cmake)

# `make deb`: cpack in the build folder writes qvncpu_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvncpu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "solo miner for the Quorvane chain's SHA3-256t proof of work")
set(CPACK_PACKAGE_DESCRIPTION
  "qvncpu mines blocks of the Quorvane (QVN) chain on the processor, beside the
user's own full node: it takes work from the node with getblocktemplate, builds
the coinbase (paying the given scripts), the merkle root and the header,
searches the nonce range on every core with an AVX2 SHA3-256t kernel and hands
each block that meets the target to the node with submitblock.
.
Needs an x86-64 processor with AVX2, BMI1 and BMI2. Comes with a hardened
systemd service (qvncpu.service) configured in /etc/default/qvncpu.")
set(QVN_DEB_MAINTAINER "qvncpu maintainers <maintainers@qvncpu.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QVN_DEB_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the program links (libcurl, libstdc++, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# dpkg keeps the administrator's edits to the options file across upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles)
include(CPack)
