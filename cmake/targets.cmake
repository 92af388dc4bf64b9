# The project's own CMake functions: the sanitizers in one place, and a
# program's code built both as it ships and as the tests use it.

# quorvellan_sanitize(TARGET)
# Compiles and links TARGET, and whatever links it, under ASan and UBSan when
# QUORVELLAN_SANITIZE is on. With clang it also gets libFuzzer's coverage
# hooks, so that the fuzz targets (tests/fuzz) see into the code they call;
# without a fuzzer linked in, the hooks are the sanitizer runtime's no-ops.
function(quorvellan_sanitize target)
  if(NOT QUORVELLAN_SANITIZE)
    return()
  endif()
  set(flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(${target} PUBLIC ${flags})
  # GCC's -Wmaybe-uninitialized misfires on code that ASan has instrumented
  # (GCC bug 105616, from GCC 12 on: std::regex and std::function at -O1 and
  # above), and reports it inside libstdc++'s headers, where no include
  # option can silence it. Off here only: every uninstrumented build, the
  # shipped programs' included, keeps it on under -Werror.
  target_compile_options(${target} PUBLIC ${flags}
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>
    $<$<CXX_COMPILER_ID:Clang>:-fsanitize=fuzzer-no-link>)
endfunction()

# quorvellan_library(NAME SOURCES <file>... [INCLUDE_DIRS <dir>...]
#                    [LIBRARIES <library>...] [COMPILE_OPTIONS <flag>...])
# NAME: a static library of a program's code, compiled as the program is
# (COMPILE_OPTIONS apply to it alone). With the tests on, NAME_checked too:
# the same code for the unit tests and fuzz targets, built again under the
# sanitizers, or NAME itself when they are off. Both see src/ and
# INCLUDE_DIRS, and link LIBRARIES.
function(quorvellan_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;INCLUDE_DIRS;LIBRARIES;COMPILE_OPTIONS")
  set(variants ${name})
  if(QUORVELLAN_TESTS AND QUORVELLAN_SANITIZE)
    list(APPEND variants ${name}_checked)
  endif()
  foreach(variant IN LISTS variants)
    add_library(${variant} STATIC ${arg_SOURCES})
    target_include_directories(${variant} PUBLIC ${PROJECT_SOURCE_DIR}/src ${arg_INCLUDE_DIRS})
    target_link_libraries(${variant} PUBLIC ${arg_LIBRARIES})
  endforeach()
  target_compile_options(${name} PRIVATE ${arg_COMPILE_OPTIONS})
  if(QUORVELLAN_TESTS AND QUORVELLAN_SANITIZE)
    quorvellan_sanitize(${name}_checked)
  elseif(QUORVELLAN_TESTS)
    add_library(${name}_checked ALIAS ${name})
  endif()
endfunction()
