# Cross-building for 64-bit ARM Linux (Debian: g++-aarch64-linux-gnu, and
# qemu-user to run the tests). Programs such as dpkg and readelf come from
# the build machine; headers and libraries (gtest too, from libgtest-dev:arm64)
# come from the target's multiarch folders.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
# GCC by default; clang++ with CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu
# serves too (the aarch64-fuzz preset).
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Test programs, gtest's test discovery and the tests that start the tool
# run the target's binaries through the emulator, with the cross C library
# that they were linked against. The library path keeps its loader from
# taking the C library of another version from the build machine's cache
# when libc6:arm64 is installed too (for dpkg-shlibdeps): mixing the two
# versions makes every fork() in the emulated program hang.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
