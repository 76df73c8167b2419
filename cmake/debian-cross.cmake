# SPDX-License-Identifier: BSD-3-Clause
# Cross build for one Debian architecture with Debian's gcc 14 cross
# compiler: the C and C++ runtime from the cross toolchain
# (/usr/GNU_TYPE), every other library of the target (libtirpc, GoogleTest,
# ...) unpacked from the architecture's own packages into SYSROOT.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake
#         -DDATE_CROSS_GNU_TYPE=s390x-linux-gnu -DDATE_CROSS_MULTIARCH=s390x-linux-gnu
#         -DDATE_CROSS_CPU=s390x -DDATE_CROSS_SYSROOT=/opt/cross/s390x ...
#
# The values come from `dpkg-architecture -a ARCH` (DEB_HOST_GNU_TYPE,
# DEB_HOST_MULTIARCH, DEB_HOST_GNU_CPU); scripts/cross_test.sh passes them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  DATE_CROSS_GNU_TYPE DATE_CROSS_MULTIARCH DATE_CROSS_CPU DATE_CROSS_SYSROOT)
foreach(setting DATE_CROSS_GNU_TYPE DATE_CROSS_MULTIARCH DATE_CROSS_CPU DATE_CROSS_SYSROOT)
  if(NOT ${setting})
    message(FATAL_ERROR "debian-cross.cmake needs -D${setting}=...")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${DATE_CROSS_CPU})
set(CMAKE_CXX_COMPILER ${DATE_CROSS_GNU_TYPE}-g++-14)
# Debian's multiarch directory, which for i386 (i686-linux-gnu) is not the
# GNU type and so cannot be told from the compiler's own directories.
set(CMAKE_LIBRARY_ARCHITECTURE ${DATE_CROSS_MULTIARCH})

set(CMAKE_FIND_ROOT_PATH ${DATE_CROSS_SYSROOT} /usr/${DATE_CROSS_GNU_TYPE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's .pc files, their paths under the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
  "${DATE_CROSS_SYSROOT}/usr/lib/${DATE_CROSS_MULTIARCH}/pkgconfig:${DATE_CROSS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${DATE_CROSS_SYSROOT})
# libtirpc's own dependencies (Kerberos' GSS-API) are found where it lies.
set(date_cross_rpath_link
  "-Wl,-rpath-link,${DATE_CROSS_SYSROOT}/usr/lib/${DATE_CROSS_MULTIARCH}:${DATE_CROSS_SYSROOT}/lib/${DATE_CROSS_MULTIARCH}")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${date_cross_rpath_link})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${date_cross_rpath_link})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${date_cross_rpath_link})
