# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
#
#   cmake -S . -B build-aarch64-neon \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DQVN_SYSROOT=DIR [-DQVN_QEMU_CPU=max]
#
# QVN_SYSROOT holds Debian's arm64 libraries and headers, unpacked by
# scripts/aarch64-sysroot. The compiler keeps its own C and C++ libraries for
# building; programs run under qemu-aarch64 with every library, libc included,
# from the sysroot, which is one consistent set.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(QVN_SYSROOT "" CACHE PATH "arm64 sysroot (scripts/aarch64-sysroot)")
# The emulated processor: max has every extension qemu knows (SHA3 among
# them), cortex-a57 is a plain ARMv8.0 core.
set(QVN_QEMU_CPU max CACHE STRING "qemu-aarch64 -cpu for tests")
# Test compilations made while configuring read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QVN_SYSROOT QVN_QEMU_CPU)
if(NOT IS_DIRECTORY "${QVN_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "QVN_SYSROOT must name an arm64 sysroot (scripts/aarch64-sysroot), not '${QVN_SYSROOT}'")
endif()

set(CMAKE_FIND_ROOT_PATH ${QVN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
  "${QVN_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${QVN_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${QVN_SYSROOT})
# libcurl's own dependencies, for the linker's checks.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${QVN_SYSROOT}/lib/aarch64-linux-gnu \
-Wl,-rpath-link,${QVN_SYSROOT}/usr/lib/aarch64-linux-gnu")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${QVN_SYSROOT} -cpu ${QVN_QEMU_CPU})
