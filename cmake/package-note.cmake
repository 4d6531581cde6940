# The package note: the tool's binary carries its name, version and
# architecture in an ELF note, .note.package (owner FDO, type
# FDO_PACKAGING_METADATA), the small JSON object that Linux distributions
# stamp their packages' binaries with, so that a binary alone, or a core dump
# of it, says which build it is: `readelf --notes hexcat` shows it. The
# version is the build's (cmake/version.cmake) and the architecture Debian's
# name for the target, as in the package's file name; type "deb" says that
# the fields are in Debian's terms. The linker writes it (GNU ld 2.38 and
# later, lld, mold: --package-metadata).
#
# Included from CMakeLists.txt once the hexcat target exists; sets
# HEXCAT_PACKAGE_ARCH and HEXCAT_PACKAGE_NOTE (empty where the linker cannot
# write the note).

# Debian's name for the target: the port's (cmake/cross.cmake), the one that
# dpkg-buildpackage builds for, or dpkg's for a native build; without dpkg,
# from the processor, by the ports' table.
if(HEXCAT_ARCH)
  set(HEXCAT_PACKAGE_ARCH ${HEXCAT_ARCH})
elseif(NOT "$ENV{DEB_HOST_ARCH}" STREQUAL "")
  set(HEXCAT_PACKAGE_ARCH $ENV{DEB_HOST_ARCH})
else()
  set(HEXCAT_PACKAGE_ARCH "")
  find_program(HEXCAT_DPKG dpkg)
  if(HEXCAT_DPKG AND NOT CMAKE_CROSSCOMPILING)
    execute_process(COMMAND ${HEXCAT_DPKG} --print-architecture OUTPUT_VARIABLE HEXCAT_PACKAGE_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(HEXCAT_PACKAGE_ARCH STREQUAL "" AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(HEXCAT_PACKAGE_ARCH amd64)
  elseif(HEXCAT_PACKAGE_ARCH STREQUAL "")
    include(${CMAKE_CURRENT_LIST_DIR}/ports.cmake)
    foreach(row IN LISTS HEXCAT_PORTS)
      separate_arguments(row UNIX_COMMAND "${row}")
      list(GET row 0 name)
      list(GET row 3 processor)
      if(processor STREQUAL CMAKE_SYSTEM_PROCESSOR AND HEXCAT_PACKAGE_ARCH STREQUAL "")
        set(HEXCAT_PACKAGE_ARCH ${name})
      endif()
    endforeach()
  endif()
  if(HEXCAT_PACKAGE_ARCH STREQUAL "")
    set(HEXCAT_PACKAGE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()

set(HEXCAT_PACKAGE_NOTE
    "{\"type\":\"deb\",\"name\":\"hexcat\",\"version\":\"${HEXCAT_VERSION}\",\"architecture\":\"${HEXCAT_PACKAGE_ARCH}\"}")
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--package-metadata={}" HEXCAT_HAVE_PACKAGE_METADATA)
if(HEXCAT_HAVE_PACKAGE_METADATA)
  # -Xlinker hands the linker the object whole; -Wl, would split it at its
  # commas.
  target_link_options(hexcat PRIVATE "SHELL:-Xlinker '--package-metadata=${HEXCAT_PACKAGE_NOTE}'")
  message(STATUS "Package note: ${HEXCAT_PACKAGE_NOTE}")
else()
  message(WARNING "Package note: none, the linker has no --package-metadata (GNU ld 2.38 or later has)")
  set(HEXCAT_PACKAGE_NOTE "")
endif()
