# The dist target: the source tarball hexcat-VERSION.tar.gz and its
# hexcat-VERSION.tar.gz.sha256 in the build folder, made from the commit at
# HEAD (never from uncommitted files), with everything under one folder
# hexcat-VERSION/, no .git, and a VERSION file holding the version and the
# time stamp, since the tarball has no history to find them in.
#
# The same commit gives the same bytes anywhere: git archive writes its
# members in path order with the commit's time, owner root and modes from
# the tree (0644, 0755 for programs and folders, whatever the umask); VERSION
# gets the same time, owner and mode, and gzip -n leaves out the name and
# time of the tar file.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_custom_target(dist
    COMMAND ${CMAKE_COMMAND} -DSRC=${PROJECT_SOURCE_DIR} -DOUT=${PROJECT_BINARY_DIR}
            -DPROJECT_VERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/dist.cmake
    COMMENT "Source tarball of HEAD" VERBATIM)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
find_program(GIT git)
find_program(TAR tar)
find_program(GZIP gzip)
if(NOT GIT OR NOT TAR OR NOT GZIP OR NOT EXISTS ${SRC}/.git)
  message(FATAL_ERROR "dist needs a git clone, git, tar and gzip")
endif()
hexcat_version(${SRC} ${PROJECT_VERSION} version epoch)
execute_process(COMMAND ${GIT} -C ${SRC} status --porcelain --untracked-files=no
                OUTPUT_VARIABLE dirty OUTPUT_STRIP_TRAILING_WHITESPACE)
if(dirty)
  message(WARNING "dist: uncommitted changes are not in the tarball:\n${dirty}")
endif()

set(name hexcat-${version})
set(work ${OUT}/dist-work)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/${name})
file(WRITE ${work}/${name}/VERSION "${version}\n${epoch}\n")
set(tar ${work}/${name}.tar)
execute_process(COMMAND ${GIT} -C ${SRC} -c tar.umask=0022 archive --format=tar --prefix=${name}/ -o ${tar} HEAD
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${TAR} --append -f ${tar} -C ${work} --mtime=@${epoch} --owner=root:0 --group=root:0
                        --mode=0644 --format=pax --pax-option=delete=atime,delete=ctime
                        ${name}/VERSION
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${GZIP} -9n -c ${tar} OUTPUT_FILE ${OUT}/${name}.tar.gz COMMAND_ERROR_IS_FATAL ANY)
file(SHA256 ${OUT}/${name}.tar.gz sum)
file(WRITE ${OUT}/${name}.tar.gz.sha256 "${sum}  ${name}.tar.gz\n")
file(REMOVE_RECURSE ${work})
message(STATUS "${OUT}/${name}.tar.gz\n   sha256 ${sum}")
