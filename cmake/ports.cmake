# The ports: every Debian architecture that hexcat cross-builds for with
# Debian's cross compilers (g++-TRIPLE) and tests under qemu-user, the
# Debian 12 release architectures and riscv64. Adding an architecture is one
# row of the table below. cmake/cross.cmake includes this file; the scripts
# read it from the command line:
#
#   cmake -P cmake/ports.cmake                 the table, a port a line:
#                                              ARCH TRIPLE MULTIARCH PROCESSOR QEMU
#                                              KERNEL BARE
#   cmake -P cmake/ports.cmake emulator ARCH   the command line that runs a
#                                              program of port ARCH

# Debian name, compiler triple, multiarch folder, CMake processor, qemu-user;
# then the line kernel that the tool chooses under qemu's default processor
# ("-" where the build machine's processor decides: i386 runs natively), and
# for a port whose baseline lacks the vector unit of that kernel, the qemu
# processor (QEMU_CPU) without it, on which the tool must fall back to the
# portable kernel ("-" where the baseline has the unit, or it has none).
# Models of s390x from before z13 do not start in qemu 7.2 (it lacks some
# of their crypto functions), so there everything qemu has but the vector
# facility stands in for one.
set(HEXCAT_PORTS
  "arm64     aarch64-linux-gnu         aarch64-linux-gnu         aarch64  qemu-aarch64   neon      -"
  "armhf     arm-linux-gnueabihf       arm-linux-gnueabihf       arm      qemu-arm       neon      cortex-r5f"
  "armel     arm-linux-gnueabi         arm-linux-gnueabi         arm      qemu-arm       wordwise  -"
  "i386      i686-linux-gnu            i386-linux-gnu            i686     qemu-i386      -         -"
  "mips64el  mips64el-linux-gnuabi64   mips64el-linux-gnuabi64   mips64   qemu-mips64el  portable  -"
  "mipsel    mipsel-linux-gnu          mipsel-linux-gnu          mipsel   qemu-mipsel    portable  -"
  "ppc64el   powerpc64le-linux-gnu     powerpc64le-linux-gnu     ppc64le  qemu-ppc64le   vsx       -"
  "s390x     s390x-linux-gnu           s390x-linux-gnu           s390x    qemu-s390x     vx        max,vx=off,vxeh=off,vxeh2=off"
  "riscv64   riscv64-linux-gnu         riscv64-linux-gnu         riscv64  qemu-riscv64   wordwise  -")

# Sets port_triple, port_multiarch, port_processor, port_qemu, port_kernel
# and port_bare to the row of port ARCH, and port_emulator to the command line (a list) that runs its
# programs: qemu with the cross C library as the target's root and first on
# the library path. Without that path the emulated loader can take the C
# library of libc6:ARCH (which the package's dependency scan needs) from the
# build machine's cache, of another version, and every fork() in the
# emulated program hangs. An unknown ARCH is a fatal error.
function(hexcat_port arch)
  set(names "")
  foreach(row IN LISTS HEXCAT_PORTS)
    separate_arguments(row UNIX_COMMAND "${row}")
    list(GET row 0 name)
    list(APPEND names ${name})
    if(name STREQUAL arch)
      list(GET row 1 triple)
      list(GET row 2 multiarch)
      list(GET row 3 processor)
      list(GET row 4 qemu)
      list(GET row 5 kernel)
      list(GET row 6 bare)
      set(port_triple ${triple} PARENT_SCOPE)
      set(port_multiarch ${multiarch} PARENT_SCOPE)
      set(port_processor ${processor} PARENT_SCOPE)
      set(port_qemu ${qemu} PARENT_SCOPE)
      # The kernel must be one of the list of kernels.
      file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/kernels/list.h rows REGEX "^HEXCAT_KERNEL\\(")
      string(REGEX MATCHALL "\"[a-z0-9]+\"" known "${rows}")
      list(FIND known "\"${kernel}\"" at)
      if(NOT kernel STREQUAL "-" AND at EQUAL -1)
        message(FATAL_ERROR "port ${arch}: no kernel named '${kernel}' in src/kernels/list.h")
      endif()
      set(port_kernel ${kernel} PARENT_SCOPE)
      set(port_bare ${bare} PARENT_SCOPE)
      set(port_emulator ${qemu} -L /usr/${triple} -E LD_LIBRARY_PATH=/usr/${triple}/lib PARENT_SCOPE)
      return()
    endif()
  endforeach()
  list(JOIN names ", " names)
  message(FATAL_ERROR "no port named '${arch}'; the ports are ${names}")
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  return()
endif()
# The words after the script's name on the command line.
set(args "")
set(first 0)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(first AND i GREATER_EQUAL first)
    list(APPEND args "${CMAKE_ARGV${i}}")
  elseif(NOT first AND CMAKE_ARGV${i} STREQUAL "-P")
    math(EXPR first "${i} + 2")
  endif()
endforeach()
list(LENGTH args count)
if(count EQUAL 0)
  set(lines "")
  foreach(row IN LISTS HEXCAT_PORTS)
    separate_arguments(row UNIX_COMMAND "${row}")
    list(JOIN row " " row)
    list(APPEND lines "${row}")
  endforeach()
  list(JOIN lines "\n" out)
elseif(count EQUAL 2 AND args MATCHES "^emulator;")
  list(GET args 1 arch)
  hexcat_port("${arch}")
  list(JOIN port_emulator " " out)
else()
  message(FATAL_ERROR "usage: cmake -P cmake/ports.cmake [emulator ARCH]")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${out}")
