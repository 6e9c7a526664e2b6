# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
#
#   cmake -S . -B build-aarch64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DQVN_SYSROOT=DIR
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
# The emulated processors of the tests: a plain ARMv8.0 core (cortex-a57) for
# everything but the flavours that need the SHA3 extension, which run on
# qemu's max core, with every extension qemu knows.
set(QVN_QEMU_CPU cortex-a57 CACHE STRING "qemu-aarch64 -cpu for tests: an ARMv8.0 core")
set(QVN_QEMU_CPU_SHA3 max CACHE STRING "qemu-aarch64 -cpu for the SHA3 flavours' tests")
# Test compilations made while configuring read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QVN_SYSROOT QVN_QEMU_CPU QVN_QEMU_CPU_SHA3)
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
# For a flavour that needs an extension (QVN_KERNEL_NEEDS in CMakeLists.txt).
set(QVN_CROSSCOMPILING_EMULATOR_sha3 qemu-aarch64 -L ${QVN_SYSROOT} -cpu ${QVN_QEMU_CPU_SHA3})
