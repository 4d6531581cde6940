# Hardening, on in every build by default (HEXCAT_HARDENING), as Debian's
# hardening=+all: a position-independent executable, full RELRO
# (-z relro -z now), _FORTIFY_SOURCE (3 where the compiler and C library
# have it, else 2) in optimised builds, -fstack-protector-strong,
# -fstack-clash-protection and, on x86, -fcf-protection.
#
# Each flag is added only where this compiler and linker take it without a
# word (cross compilers differ: some targets have no stack clash protection
# or no control-flow protection), so that builds with -Werror stay clean.
#
# A packager's flags (CXXFLAGS with CPPFLAGS, LDFLAGS, as from
# dpkg-buildflags) come first on each command line and CMake appends what is
# added here, so where they already choose a setting (a -fstack-protector*,
# a _FORTIFY_SOURCE, -z now...) this file adds nothing of that kind: their
# choice stands, with no second definition after it. A setting turned off
# stands as well: by a negated flag (-fno-stack-protector, -z norelro,
# -no-pie...), by dpkg's no-pie specs files, or by leaving out a flag that
# dpkg-buildflags would have given: where DEB_BUILD_MAINT_OPTIONS is set (as
# debian/rules exports it) and dpkg-buildflags reports a hardening feature
# off, nothing of that feature is added. What the packager's dpkg does not
# know (bookworm's knows no stack clash or control-flow protection) is
# added as in any other build.
#
# Paths: -ffile-prefix-map writes the source and build folders as "." into
# the objects, so that builds in different folders give the same bytes.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)
include(CheckPIESupported)

option(HEXCAT_HARDENING "Compile and link with the hardening flags" ON)

# What the caller chose: the flags CMake puts before ours.
string(TOUPPER "${CMAKE_BUILD_TYPE}" hexcat_config)
set(hexcat_given_cxx " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${hexcat_config}} ")
set(hexcat_given_ld " ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${hexcat_config}} ")

# The hardening features that dpkg-buildflags reports off in a build that
# DEB_BUILD_MAINT_OPTIONS configures ("stackprotector;relro", say): there
# dpkg decides, for the features it knows, as the packager asked.
set(hexcat_dpkg_off "")
if(DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
  find_program(HEXCAT_DPKG_BUILDFLAGS dpkg-buildflags)
  if(HEXCAT_DPKG_BUILDFLAGS)
    execute_process(COMMAND ${HEXCAT_DPKG_BUILDFLAGS} --query-features hardening
                    OUTPUT_VARIABLE features ERROR_QUIET)
    string(REGEX MATCHALL "Feature: [a-z]+\nEnabled: no" off "${features}")
    string(REGEX REPLACE "Feature: ([a-z]+)\nEnabled: no" "\\1" hexcat_dpkg_off "${off}")
  endif()
endif()

# True in OUT when the packager's dpkg-buildflags turned hardening FEATURE
# off.
function(hexcat_dpkg_turned_off feature out)
  if(feature IN_LIST hexcat_dpkg_off)
    message(STATUS "Hardening: ${feature} off, as DEB_BUILD_MAINT_OPTIONS=$ENV{DEB_BUILD_MAINT_OPTIONS} has it")
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

# Adds compile FLAG when the caller's flags do not match GIVEN (a regular
# expression), dpkg's hardening FEATURE (if not "-") is not turned off, and
# the compiler takes it silently; VAR caches the check.
function(hexcat_harden_compile var given feature flag)
  if(hexcat_given_cxx MATCHES "${given}")
    message(STATUS "Hardening: ${flag} left to the given flags")
    return()
  endif()
  hexcat_dpkg_turned_off(${feature} chosen_off)
  if(chosen_off)
    return()
  endif()
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_compiler_flag("${flag} -Werror" ${var})
  if(${var})
    add_compile_options(${flag})
    set_property(GLOBAL APPEND PROPERTY HEXCAT_HARDENING_ADDED ${flag})
  else()
    message(STATUS "Hardening: ${flag} not supported here")
  endif()
endfunction()

function(hexcat_harden_link var given feature flag)
  if(hexcat_given_ld MATCHES "${given}")
    message(STATUS "Hardening: ${flag} left to the given flags")
    return()
  endif()
  hexcat_dpkg_turned_off(${feature} chosen_off)
  if(chosen_off)
    return()
  endif()
  set(CMAKE_REQUIRED_QUIET ON)
  check_linker_flag(CXX "${flag}" ${var})
  if(${var})
    add_link_options(${flag})
    string(REPLACE "LINKER:" "" added "${flag}")
    set_property(GLOBAL APPEND PROPERTY HEXCAT_HARDENING_ADDED ${added})
  else()
    message(STATUS "Hardening: ${flag} not supported here")
  endif()
endfunction()

if(HEXCAT_HARDENING)
  # PIE, except for the static binary, which has no program interpreter to
  # relocate it, and where the given flags choose (dpkg's specs files among
  # them: -specs=/usr/share/dpkg/no-pie-compile.specs...).
  hexcat_dpkg_turned_off(pie nopie)
  if(NOT HEXCAT_STATIC AND NOT nopie AND NOT hexcat_given_cxx MATCHES " -f(no-)?(pie|PIE|pic|PIC) |pie-compile[.]specs"
     AND NOT hexcat_given_ld MATCHES " -(no-)?pie |pie-link[.]specs")
    check_pie_supported(OUTPUT_VARIABLE why LANGUAGES CXX)
    if(CMAKE_CXX_LINK_PIE_SUPPORTED)
      set(CMAKE_POSITION_INDEPENDENT_CODE ON)
      set_property(GLOBAL APPEND PROPERTY HEXCAT_HARDENING_ADDED PIE)
    else()
      message(STATUS "Hardening: no PIE here: ${why}")
    endif()
  endif()

  # The names of dpkg's features: those of Debian 12, and stackclash and
  # branch as later versions name them.
  hexcat_harden_link(HEXCAT_LD_RELRO "-z,(no)?relro|-z (no)?relro" relro "LINKER:-z,relro")
  hexcat_harden_link(HEXCAT_LD_NOW "-z,(now|lazy)|-z (now|lazy)" bindnow "LINKER:-z,now")
  hexcat_harden_compile(HEXCAT_CXX_STACK_PROTECTOR " -f(no-)?stack-protector" stackprotector -fstack-protector-strong)
  hexcat_harden_compile(HEXCAT_CXX_STACK_CLASH " -f(no-)?stack-clash-protection" stackclash -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
    hexcat_harden_compile(HEXCAT_CXX_CF_PROTECTION " -f(no-)?cf-protection" branch -fcf-protection)
  endif()

  # _FORTIFY_SOURCE works only with optimisation (at -O0 glibc warns), and is
  # left out of sanitizer and coverage builds, whose checks it would bypass.
  set(hexcat_optimised OFF)
  if(hexcat_config MATCHES "^(RELEASE|RELWITHDEBINFO|MINSIZEREL)$" OR hexcat_given_cxx MATCHES " -O([1-3sgz]|fast)? ")
    set(hexcat_optimised ON)
  endif()
  hexcat_dpkg_turned_off(fortify nofortify)
  if(hexcat_given_cxx MATCHES "_FORTIFY_SOURCE")
    message(STATUS "Hardening: _FORTIFY_SOURCE left to the given flags")
  elseif(nofortify)
  elseif(HEXCAT_INSTRUMENTED OR NOT hexcat_optimised)
    message(STATUS "Hardening: no _FORTIFY_SOURCE in an unoptimised or instrumented build")
  else()
    set(CMAKE_REQUIRED_QUIET ON)
    set(hexcat_fortify "")
    foreach(level 3 2)
      # In the flags, since CMake puts definitions before them, -U included.
      set(CMAKE_REQUIRED_FLAGS "-O2 -Werror -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=${level} -DHEXCAT_WANT=${level}")
      check_cxx_source_compiles([[
        #include <cstring>
        #if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < HEXCAT_WANT
        #error fortification not at the level asked for
        #endif
        int main() { return 0; }]] HEXCAT_FORTIFY_${level})
      if(HEXCAT_FORTIFY_${level})
        set(hexcat_fortify ${level})
        break()
      endif()
    endforeach()
    unset(CMAKE_REQUIRED_FLAGS)
    if(hexcat_fortify)
      # -U first: some compilers define a level of their own.
      add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=${hexcat_fortify})
      set_property(GLOBAL APPEND PROPERTY HEXCAT_HARDENING_ADDED -D_FORTIFY_SOURCE=${hexcat_fortify})
    else()
      message(STATUS "Hardening: _FORTIFY_SOURCE not supported here")
    endif()
  endif()
endif()

# What was added, in one line after the lines of what was not and why.
if(HEXCAT_HARDENING)
  get_property(hexcat_added GLOBAL PROPERTY HEXCAT_HARDENING_ADDED)
  list(JOIN hexcat_added " " hexcat_added)
  message(STATUS "Hardening: added ${hexcat_added}")
else()
  message(STATUS "Hardening: none (HEXCAT_HARDENING is off)")
endif()

# Sanitizer and coverage builds keep their absolute paths, which their
# reports and gcovr need.
if(NOT HEXCAT_INSTRUMENTED AND NOT hexcat_given_cxx MATCHES "-f(file|debug|macro)-prefix-map=")
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_compiler_flag("-ffile-prefix-map=/a=. -Werror" HEXCAT_CXX_PREFIX_MAP)
  if(HEXCAT_CXX_PREFIX_MAP)
    # GCC tries the last map first: the build folder, then the sources.
    add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=." "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
  endif()
endif()
