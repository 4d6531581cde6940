# Cross-building for any Debian architecture with Debian's cross compilers
# (g++-TRIPLE) and running the result under qemu-user:
#
#   cmake -S . -B build/ARCH --toolchain cmake/cross.cmake -DHEXCAT_ARCH=ARCH
#
# ARCH is Debian's name for the architecture, one of the ports of
# cmake/ports.cmake, whose table gives its compiler, multiarch folder and
# emulator. Programs such as dpkg and readelf come from the build machine;
# headers and libraries (GoogleTest too, from libgtest-dev:ARCH) come from the
# target's multiarch folders.
set(includer "${CMAKE_PARENT_LIST_FILE}") # which include() below changes
include(${CMAKE_CURRENT_LIST_DIR}/ports.cmake)

# The toolchain file is read again for every check CMake compiles; the
# architecture travels to those through the environment.
if(NOT HEXCAT_ARCH)
  set(HEXCAT_ARCH "$ENV{HEXCAT_ARCH}")
endif()
set(ENV{HEXCAT_ARCH} "${HEXCAT_ARCH}")
if(NOT HEXCAT_ARCH)
  message(FATAL_ERROR "cross.cmake: set HEXCAT_ARCH to a port of cmake/ports.cmake (-DHEXCAT_ARCH=arm64, say)")
endif()
hexcat_port("${HEXCAT_ARCH}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${port_processor})
# GCC by default; clang++ with CMAKE_CXX_COMPILER_TARGET set to the triple
# serves too (the aarch64-fuzz preset).
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${port_triple}-g++)
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${port_multiarch})
set(CMAKE_FIND_ROOT_PATH /usr/${port_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Test programs, gtest's test discovery and the tests that start the tool
# run the target's binaries through the port's emulator.
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
  set(CMAKE_CROSSCOMPILING_EMULATOR ${port_emulator})
  set(runs "under ${port_qemu}")
endif()
if(NOT includer MATCHES "CMakeSystem.cmake$|try_compile|CMakeScratch")
  message(STATUS "Cross-building for ${HEXCAT_ARCH} with ${CMAKE_CXX_COMPILER}; its programs run ${runs}")
endif()
