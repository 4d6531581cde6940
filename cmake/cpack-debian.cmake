# Makes cpack's staged install a Debian package's tree, before packing
# (CPACK_PRE_BUILD_SCRIPTS): the plain install's man page and documentation
# give way to the gzipped man page, the changelog in Debian's format
# (changelog.gz) and the copyright file that Debian policy asks for, all
# made in the build (CPACK_HEXCAT_DEBIAN_FILES, in that order).
if(DEFINED CPACK_PACKAGE_FILES)
  return() # after packing: nothing to do
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
list(GET CPACK_HEXCAT_DEBIAN_FILES 0 manpage)
list(GET CPACK_HEXCAT_DEBIAN_FILES 1 changelog)
list(GET CPACK_HEXCAT_DEBIAN_FILES 2 copyright)
set(man "${root}/${CPACK_HEXCAT_MANDIR}/man1")
set(doc "${root}/${CPACK_HEXCAT_DOCDIR}")
if(NOT EXISTS "${man}/hexcat.1" OR NOT IS_DIRECTORY "${doc}")
  message(FATAL_ERROR "cpack-debian.cmake: no ${man}/hexcat.1 or ${doc} in the staged install")
endif()
file(REMOVE "${man}/hexcat.1")
file(REMOVE_RECURSE "${doc}")
set(mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ) # whatever the umask
file(COPY "${manpage}" DESTINATION "${man}" ${mode})
file(COPY "${changelog}" "${copyright}" DESTINATION "${doc}" ${mode})
