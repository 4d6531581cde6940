# Cross-building for any Debian architecture with Debian's cross compilers
# (g++-TRIPLE) and running the result under qemu-user:
#
#   cmake -S . -B build/ARCH --toolchain cmake/cross.cmake -DHEXCAT_ARCH=ARCH
#
# ARCH is Debian's name for the architecture. Programs such as dpkg and
# readelf come from the build machine; headers and libraries (GoogleTest
# too, from libgtest-dev:ARCH) come from the target's multiarch folders.
# Adding an architecture is one row of the table below.

# Debian name | compiler triple | multiarch folder | CMake processor | qemu-user
set(HEXCAT_ARCHES
  "arm64|aarch64-linux-gnu|aarch64-linux-gnu|aarch64|qemu-aarch64"
  "armhf|arm-linux-gnueabihf|arm-linux-gnueabihf|arm|qemu-arm"
  "armel|arm-linux-gnueabi|arm-linux-gnueabi|arm|qemu-arm"
  "i386|i686-linux-gnu|i386-linux-gnu|i686|qemu-i386"
  "mips64el|mips64el-linux-gnuabi64|mips64el-linux-gnuabi64|mips64|qemu-mips64el"
  "mipsel|mipsel-linux-gnu|mipsel-linux-gnu|mipsel|qemu-mipsel"
  "ppc64el|powerpc64le-linux-gnu|powerpc64le-linux-gnu|ppc64le|qemu-ppc64le"
  "s390x|s390x-linux-gnu|s390x-linux-gnu|s390x|qemu-s390x"
  "riscv64|riscv64-linux-gnu|riscv64-linux-gnu|riscv64|qemu-riscv64")

# The toolchain file is read again for every check CMake compiles; the
# architecture travels to those through the environment.
if(NOT HEXCAT_ARCH)
  set(HEXCAT_ARCH "$ENV{HEXCAT_ARCH}")
endif()
set(ENV{HEXCAT_ARCH} "${HEXCAT_ARCH}")
set(row "")
set(names "")
foreach(entry IN LISTS HEXCAT_ARCHES)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(APPEND names ${name})
  if(name STREQUAL HEXCAT_ARCH)
    set(row "${fields}")
  endif()
endforeach()
if(NOT row)
  list(JOIN names ", " names)
  message(FATAL_ERROR "cross.cmake: set HEXCAT_ARCH to one of ${names} (got '${HEXCAT_ARCH}')")
endif()
list(GET row 1 triple)
list(GET row 2 multiarch)
list(GET row 3 processor)
list(GET row 4 qemu)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
# GCC by default; clang++ with CMAKE_CXX_COMPILER_TARGET set to the triple
# serves too (the aarch64-fuzz preset).
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${triple}-g++)
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${multiarch})
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Test programs, gtest's test discovery and the tests that start the tool
# run the target's binaries through the emulator, with the cross C library
# that they were linked against. The library path keeps its loader from
# taking the C library of another version from the build machine's cache
# when libc6:ARCH is installed too (for dpkg-shlibdeps): mixing the two
# versions makes every fork() in the emulated program hang.
#
# A 64-bit x86 kernel runs 32-bit x86 programs itself: where it does (the
# target's loader from libc6:i386 starts), i386 programs run natively, on the
# real processor and its vector kernels, and many times faster than emulated.
set(native OFF)
if(HEXCAT_ARCH STREQUAL "i386" AND CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL "x86_64" AND EXISTS /lib/ld-linux.so.2)
  execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    set(native ON)
  endif()
endif()
if(native)
  set(runs "natively")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${triple} -E LD_LIBRARY_PATH=/usr/${triple}/lib)
  set(runs "under ${qemu}")
endif()
if(NOT CMAKE_PARENT_LIST_FILE MATCHES "CMakeSystem.cmake$|try_compile|CMakeScratch")
  message(STATUS "Cross-building for ${HEXCAT_ARCH} with ${CMAKE_CXX_COMPILER}; its programs run ${runs}")
endif()
