# cmake/toolchain-s390x.cmake: 64-bit big-endian build against an s390x sysroot.
#
# Debian's s390x -dev packages cannot be installed beside the host's, so they
# live in a sysroot extracted by scripts/cross-test.sh s390x (default
# build/sysroot-s390x; another one through -DOMBRIX_SYSROOT=DIR or the
# environment variable OMBRIX_SYSROOT). The tests run under qemu-user with the
# sysroot as its library prefix, which also supplies the target's gconv
# modules to iconv.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

if(NOT OMBRIX_SYSROOT)
  if(DEFINED ENV{OMBRIX_SYSROOT})
    set(OMBRIX_SYSROOT "$ENV{OMBRIX_SYSROOT}")
  else()
    get_filename_component(OMBRIX_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-s390x"
                           ABSOLUTE)
  endif()
endif()
if(NOT EXISTS "${OMBRIX_SYSROOT}/usr/include/sqlite3.h")
  message(FATAL_ERROR "No s390x sysroot at ${OMBRIX_SYSROOT}: run scripts/cross-test.sh s390x")
endif()
# try_compile projects read this file again; hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OMBRIX_SYSROOT)

set(CMAKE_SYSROOT "${OMBRIX_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${OMBRIX_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config, reading only the sysroot's .pc files and prefixing
# the paths they give with the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${OMBRIX_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${OMBRIX_SYSROOT}/usr/lib/s390x-linux-gnu/pkgconfig:${OMBRIX_SYSROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x-static -L "${OMBRIX_SYSROOT}")
