# The device build: 32-bit MIPS little-endian, linked statically against
# musl, using Debian's glibc cross compiler (g++-mipsel-linux-gnu) and the
# files of Debian's musl-dev:mipsel unpacked with dpkg -x (scripts/build-target
# does both). QUORVELLAN_MUSL_ROOT is the directory musl-dev was unpacked into.
#
# The cross compiler knows only the cross glibc, so every default that would
# reach it is switched off and musl's counterpart is named explicitly: its
# headers (-nostdinc), its start files (-nostdlib) and its libc.a, by full path
# so that no library search can fall back to glibc's copy.
#
# libstdc++ is deliberately not linked: Debian's libstdc++.a was built against
# glibc, and the daemon needs nothing from it. Should that ever change, the
# link fails here instead of mixing two C libraries in one executable.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(QUORVELLAN_CROSS_TRIPLET mipsel-linux-gnu)
set(CMAKE_C_COMPILER ${QUORVELLAN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVELLAN_CROSS_TRIPLET}-g++)

# CMake reads this file again for each of its compiler checks, in a scratch
# project that sees only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVELLAN_MUSL_ROOT)

if(NOT QUORVELLAN_MUSL_ROOT)
  message(FATAL_ERROR "Set QUORVELLAN_MUSL_ROOT to where musl-dev:mipsel was unpacked "
                      "(scripts/build-target does this)")
endif()
set(_musl_include ${QUORVELLAN_MUSL_ROOT}/usr/include/mipsel-linux-musl)
set(_musl_lib ${QUORVELLAN_MUSL_ROOT}/usr/lib/mipsel-linux-musl)
foreach(_file ${_musl_include}/stdio.h ${_musl_lib}/libc.a ${_musl_lib}/crt1.o
              ${_musl_lib}/crti.o ${_musl_lib}/crtn.o)
  if(NOT EXISTS ${_file})
    message(FATAL_ERROR "musl file missing: ${_file}")
  endif()
endforeach()

# Ask the compiler where its own pieces are rather than spelling out a GCC
# version: libstdc++'s headers, GCC's own headers (stddef.h, stdarg.h, ...),
# its static start and end files and libgcc.
find_program(QUORVELLAN_CROSS_CXX NAMES ${CMAKE_CXX_COMPILER} REQUIRED)
macro(_gcc_file variable name)
  execute_process(COMMAND ${QUORVELLAN_CROSS_CXX} -print-file-name=${name}
                  OUTPUT_VARIABLE ${variable} OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${${variable}}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${name} is")
  endif()
endmacro()
_gcc_file(_gcc_include include)
_gcc_file(_crtbegin crtbeginT.o)
_gcc_file(_crtend crtend.o)
_gcc_file(_libgcc libgcc.a)

execute_process(COMMAND ${QUORVELLAN_CROSS_CXX} -x c++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE _search)
string(REGEX MATCH "#include <...> search starts here:\n(.*)End of search list" _search "${_search}")
string(REGEX REPLACE "[ \t]*\n[ \t]*" ";" _search "${CMAKE_MATCH_1}")
set(_cxx_include_flags "")
foreach(_dir ${_search})
  string(STRIP "${_dir}" _dir)
  if(_dir MATCHES "/c\\+\\+/")
    get_filename_component(_dir ${_dir} ABSOLUTE)
    string(APPEND _cxx_include_flags " -isystem ${_dir}")
  endif()
endforeach()
if(NOT _cxx_include_flags)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} reported no libstdc++ header directory")
endif()

# Order matters: libstdc++'s <cstdio> and friends #include_next the C headers,
# which must then be musl's. libstdc++'s configuration for glibc also asks
# __GLIBC_PREREQ, which musl does not define; musl-compat.h answers it.
set(CMAKE_C_FLAGS_INIT "-nostdinc -isystem ${_gcc_include} -isystem ${_musl_include}")
set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc${_cxx_include_flags} -isystem ${_gcc_include} -isystem ${_musl_include} -include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h")

# The whole link line is spelled out, since CMake's own compiler checks link
# with it too: start files, objects, libraries, then the C library, libgcc and
# the end files, in the order GCC itself uses for -static.
foreach(_lang C CXX)
  set(CMAKE_${_lang}_LINK_EXECUTABLE
      "<CMAKE_${_lang}_COMPILER> <FLAGS> <CMAKE_${_lang}_LINK_FLAGS> -static -nostdlib \
${_musl_lib}/crt1.o ${_musl_lib}/crti.o ${_crtbegin} <LINK_FLAGS> <OBJECTS> -o <TARGET> \
<LINK_LIBRARIES> -Wl,--start-group ${_musl_lib}/libc.a ${_libgcc} -Wl,--end-group \
${_crtend} ${_musl_lib}/crtn.o")
endforeach()

# Nothing of the build machine's belongs in the device's executable.
set(CMAKE_FIND_ROOT_PATH ${QUORVELLAN_MUSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
