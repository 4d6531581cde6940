# Makes cpack's packages the same whatever the umask. cpack runs it twice:
#
# Before packing (CPACK_PRE_BUILD_SCRIPTS): the folders of the staged
# install get 0755 (cmake --install makes them with the umask's modes; the
# files already have theirs from the install rules).
#
# After packing (CPACK_POST_BUILD_SCRIPTS, CPACK_PACKAGE_FILES set): each
# .deb is an ar archive whose members (debian-binary, control.tar.*,
# data.tar.*) cpack writes with modes from the umask. They are packed again,
# in their order, with GNU ar's deterministic mode: owner 0, time 0 and mode
# 0644 in every member header. The members themselves are not touched.
if(NOT DEFINED CPACK_PACKAGE_FILES)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  foreach(entry "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" ${entries})
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
           GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  return()
endif()

find_program(HEXCAT_AR NAMES ar REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "[.]deb$")
    continue()
  endif()
  set(dir ${deb}.members)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${HEXCAT_AR} t ${deb} OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "\n$" "" members "${members}")
  string(REPLACE "\n" ";" members "${members}")
  execute_process(COMMAND ${HEXCAT_AR} x ${deb} WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${deb})
  execute_process(COMMAND ${HEXCAT_AR} rcD ${deb} ${members} WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${dir})
endforeach()
