# Building against musl on x86-64 with Debian's musl-tools, statically: g++
# with musl's headers and start files (musl-gcc.specs) and the C++ headers
# of g++'s own library, of which the tool uses only what needs no linking.
# The tests link GoogleTest, built from its sources, and g++'s static C++
# library. Those headers are configured for glibc and test its version with
# __GLIBC_PREREQ, which musl does not define: here no glibc version is met.
#
# Usage: cmake -S . -B build/musl --toolchain cmake/musl.cmake (or the musl preset).
set(hexcat_musl_specs /usr/lib/x86_64-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${hexcat_musl_specs})
  message(FATAL_ERROR "no ${hexcat_musl_specs}: apt-get install musl-tools")
endif()
set(CMAKE_CXX_COMPILER g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE hexcat_gxx OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -dumpmachine OUTPUT_VARIABLE hexcat_triple OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_CXX_FLAGS_INIT "-specs=${hexcat_musl_specs} -isystem /usr/include/c++/${hexcat_gxx} \
-isystem /usr/include/${hexcat_triple}/c++/${hexcat_gxx} '-D__GLIBC_PREREQ(major,minor)=0'")
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
