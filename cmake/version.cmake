# The version a build carries, and the time stamp of its sources.
#
# A release is the commit that dates the top section of CHANGELOG.md with the
# project's version ("## 1.1.0 — 2026-12-08" under project(VERSION 1.1.0)):
# the top section of that commit is dated with the project version, and its
# parent's top section is not that heading. Such a commit builds as the
# project version, 1.1.0. Every other commit builds as the project version
# plus the commit's time (UTC) and abbreviated hash, for example
# 1.1.0+git20261208.153012.abc1234, which Debian sorts after 1.1.0 and before
# the next release. No tag is needed, so any clone that holds the commit's
# parent knows its version; a shallow clone without it (git clone --depth 1)
# builds every commit, a release too, as the project version plus the commit.
#
# The source tarball (the dist target) has no history: it carries the version
# and the time stamp in its VERSION file, which takes precedence over git.
#
# SOURCE_DATE_EPOCH, when set, is the time stamp; otherwise the commit's time
# (or the tarball's). The packages' time stamps come from it.
#
# Included from CMakeLists.txt, it sets HEXCAT_VERSION, HEXCAT_SOURCE_DATE_EPOCH
# and the package version; cmake/dist.cmake calls hexcat_version() itself.

# The first "## " heading of a CHANGELOG.md text, in OUT.
function(hexcat_top_heading text out)
  string(REGEX MATCH "(^|\n)## [^\n]*" top "${text}")
  string(STRIP "${top}" top)
  set(${out} "${top}" PARENT_SCOPE)
endfunction()

# Sets OUT_VERSION and OUT_EPOCH for the sources in SRC, whose project
# version is PROJECT_VERSION.
function(hexcat_version src project_version out_version out_epoch)
  set(release_heading "^## ${project_version} — [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
  set(version "")
  set(epoch "")

  if(EXISTS "${src}/VERSION")
    # An unpacked tarball: "VERSION\nEPOCH\n".
    file(STRINGS "${src}/VERSION" lines LIMIT_COUNT 2)
    list(LENGTH lines n)
    if(n EQUAL 2)
      list(GET lines 0 version)
      list(GET lines 1 epoch)
    endif()
    if(NOT epoch MATCHES "^[0-9]+$" OR NOT version MATCHES "^${project_version}([+].*)?$")
      message(FATAL_ERROR "${src}/VERSION: want the version (${project_version}...) and a time stamp, one a line")
    endif()
  else()
    find_program(HEXCAT_GIT git)
    set(top "")
    if(HEXCAT_GIT)
      execute_process(COMMAND ${HEXCAT_GIT} -C "${src}" rev-parse --show-toplevel
                      OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
      if(failed)
        set(top "")
      endif()
    endif()
    file(REAL_PATH "${src}" real_src)
    if(top AND NOT top STREQUAL "")
      file(REAL_PATH "${top}" top)
    endif()
    if(top STREQUAL real_src)
      # A git work tree: the committed state of HEAD decides, not the files.
      macro(hexcat_git out)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${HEXCAT_GIT} -C "${src}" ${ARGN}
                        OUTPUT_VARIABLE ${out} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
      endmacro()
      hexcat_git(epoch log -1 --format=%ct HEAD)
      hexcat_git(stamp log -1 --format=%cd.%H --date=format-local:%Y%m%d.%H%M%S HEAD)
      hexcat_git(changelog show HEAD:CHANGELOG.md)
      hexcat_top_heading("${changelog}" head_top)
      # The parent's top section, if the commit has a parent. A shallow clone
      # may lack the parent that the commit names: then whether the heading
      # is new cannot be told, and the commit is no release.
      hexcat_git(object cat-file commit HEAD)
      set(parent_known TRUE)
      set(parent_top "") # the first commit
      if(object MATCHES "(^|\n)parent [0-9a-f]+\n")
        hexcat_git(changelog show HEAD^:CHANGELOG.md)
        if(failed)
          set(parent_known FALSE)
        else()
          hexcat_top_heading("${changelog}" parent_top)
        endif()
      endif()
      if(parent_known AND head_top MATCHES "${release_heading}" AND NOT parent_top STREQUAL head_top)
        set(version ${project_version})
      else()
        string(REGEX REPLACE "^([0-9]+[.][0-9]+)[.](.......).*$" "\\1.\\2" stamp "${stamp}")
        set(version "${project_version}+git${stamp}")
      endif()
      if(NOT epoch MATCHES "^[0-9]+$" OR NOT version MATCHES "^${project_version}([+]git[0-9]+[.][0-9]+[.][0-9a-f]+)?$")
        message(FATAL_ERROR "git in ${src} gave no commit time and hash (${epoch}, ${version})")
      endif()
    else()
      # Neither git nor a tarball's VERSION file: the files alone.
      file(READ "${src}/CHANGELOG.md" changelog)
      hexcat_top_heading("${changelog}" head_top)
      if(head_top MATCHES "${release_heading}")
        set(version ${project_version})
      else()
        set(version "${project_version}+unreleased")
      endif()
      file(TIMESTAMP "${src}/CHANGELOG.md" epoch "%s" UTC)
      message(WARNING "hexcat: no git and no VERSION file, so the version (${version}) and time stamp "
                      "come from CHANGELOG.md; build from a clone or a release tarball")
    endif()
  endif()

  if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  set(${out_version} "${version}" PARENT_SCOPE)
  set(${out_epoch} "${epoch}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  return()
endif()

hexcat_version("${PROJECT_SOURCE_DIR}" "${PROJECT_VERSION}" HEXCAT_VERSION HEXCAT_SOURCE_DATE_EPOCH)
message(STATUS "hexcat version ${HEXCAT_VERSION}, SOURCE_DATE_EPOCH ${HEXCAT_SOURCE_DATE_EPOCH}")
set(CPACK_PACKAGE_VERSION ${HEXCAT_VERSION})
# For the changelog rule: changes only when the version or time stamp does.
file(CONFIGURE OUTPUT hexcat-version.txt CONTENT "${HEXCAT_VERSION}\n${HEXCAT_SOURCE_DATE_EPOCH}\n")

# A new commit or checkout reconfigures, so the version follows HEAD.
if(HEXCAT_GIT AND NOT EXISTS "${PROJECT_SOURCE_DIR}/VERSION")
  foreach(path HEAD logs/HEAD)
    execute_process(COMMAND ${HEXCAT_GIT} -C "${PROJECT_SOURCE_DIR}" rev-parse --path-format=absolute --git-path ${path}
                    OUTPUT_VARIABLE file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(file AND EXISTS "${file}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    endif()
  endforeach()
endif()

# cpack stamps the package's files and archive members with SOURCE_DATE_EPOCH
# from its environment: the commit's time, unless the caller set one.
file(CONFIGURE OUTPUT CPackProjectConfig.cmake CONTENT [[
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} @HEXCAT_SOURCE_DATE_EPOCH@)
endif()
]] @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
