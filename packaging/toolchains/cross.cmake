# Cross-building for a Debian architecture with Debian's cross toolchain
# (g++-TRIPLE, from scripts/setup) and the libraries of that architecture
# unpacked by scripts/sysroot ARCH (build/sysroot/ARCH, or CROSS_SYSROOT).
# Included by the per-architecture files beside this one, which set
# CROSS_ARCH, CROSS_TRIPLE, CROSS_QEMU and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
if(NOT CROSS_SYSROOT)
  if(DEFINED ENV{CROSS_SYSROOT})
    set(CROSS_SYSROOT $ENV{CROSS_SYSROOT})
  else()
    get_filename_component(CROSS_SYSROOT
      ${CMAKE_CURRENT_LIST_DIR}/../../build/sysroot/${CROSS_ARCH} ABSOLUTE)
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_SYSROOT)
set(root ${CROSS_SYSROOT}/root)
if(NOT EXISTS ${root}/usr/lib/${CROSS_TRIPLE})
  message(FATAL_ERROR "No libraries for ${CROSS_ARCH} in ${root}: run scripts/sysroot ${CROSS_ARCH}")
endif()

# Headers, libraries and their CMake and pkg-config files from the unpacked
# packages only; the C library and the C++ runtime are the toolchain's own.
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${root})
set(ENV{PKG_CONFIG_LIBDIR} ${root}/usr/lib/${CROSS_TRIPLE}/pkgconfig:${root}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# The libraries' own dependencies (libcurl's TLS and the rest), for the
# linker's check of them; on every link line, whatever linker flags a build
# is given (Debian's, in scripts/package).
set(CMAKE_CXX_STANDARD_LIBRARIES
  "-Wl,-rpath-link,${root}/usr/lib/${CROSS_TRIPLE}:${root}/lib/${CROSS_TRIPLE}")

# Test programs (and gtest's listing of the tests at build time) run under
# qemu's user-mode emulation with the unpacked packages as their root, so
# the loader, the C library and every other library are the target's, as on
# a board. (The toolchain's own loader with the packages' C library would
# mix two builds of glibc.)
find_program(CROSS_EMULATOR NAMES qemu-${CROSS_QEMU}-static qemu-${CROSS_QEMU})
if(CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_EMULATOR} -L ${root})
endif()
