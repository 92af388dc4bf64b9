# Files embedded into a program at build time, so that it needs nothing
# installed beside it: the listener's web page.
#
# quorvellan_embed_files(NAME DIRECTORY <dir> HEADER <header> NAMESPACE <ns>
#                        TABLE <table> [SOURCES <file>...] [INCLUDE_DIRS <dir>...])
# NAME: a library (made by quorvellan_library, so NAME_checked too for the
# tests) of SOURCES and a generated source that defines what HEADER declares:
# `const embedded_file TABLE[]` and `const std::size_t TABLE_count`, one
# entry per file of DIRECTORY, sorted by name, with its path ("/" + name),
# content type, ETag and bytes (embedded_file: path, content_type, etag,
# body, each a std::string_view). Hidden files and backups (~) are left out. The generated text depends on
# the files' names and bytes alone (no time, no absolute path), so that the
# build stays reproducible. A file whose type is not known here stops the
# build: add its type below.
#
# Run as a script (cmake -P), this file writes that source:
#   -DOUTPUT=<file.cpp> -DDIRECTORY=<dir> -DLABEL=<dir as named in the output>
#   -DHEADER=<header> -DNAMESPACE=<ns> -DTABLE=<table> -DFILES=<name|...>

function(quorvellan_embedded_content_type name out)
  string(REGEX MATCH "\\.[^.]+$" extension "${name}")
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(extension STREQUAL ".png")
    set(type "image/png")
  elseif(extension STREQUAL ".ico")
    set(type "image/vnd.microsoft.icon")
  else()
    message(FATAL_ERROR "${name}: no content type is known for this kind of file")
  endif()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  set(table "")
  set(arrays "")
  set(index 0)
  string(REPLACE "|" ";" FILES "${FILES}")
  foreach(name IN LISTS FILES)
    quorvellan_embedded_content_type("${name}" type)
    file(READ "${DIRECTORY}/${name}" hex HEX)
    file(SHA256 "${DIRECTORY}/${name}" hash)
    string(SUBSTRING "${hash}" 0 16 hash)
    string(LENGTH "${hex}" size)
    math(EXPR size "${size} / 2")
    # 16 bytes a line, each as a character literal.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(REPEAT "'[^']+'," 16 line)
    string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
    if(size EQUAL 0)
      set(bytes "'\\0'") # an empty file still needs an array; its size says 0
    endif()
    string(APPEND arrays "// ${LABEL}/${name}\nconst char file_${index}[] = {\n    ${bytes}\n};\n")
    string(APPEND table "    {\"/${name}\", \"${type}\", \"\\\"${hash}\\\"\", {file_${index}, ${size}}},\n")
    math(EXPR index "${index} + 1")
  endforeach()
  string(REGEX REPLACE ",?\n    \n};" "\n};" arrays "${arrays}")
  file(WRITE "${OUTPUT}"
    "// Generated from ${LABEL} by cmake/embed_files.cmake: edit the files there.\n"
    "// clang-format off\n"
    "#include \"${HEADER}\"\n\n"
    "namespace ${NAMESPACE} {\n\n"
    "namespace {\n\n${arrays}\n}  // namespace\n\n"
    "const embedded_file ${TABLE}[] = {\n${table}};\n"
    "const std::size_t ${TABLE}_count = ${index};\n\n"
    "}  // namespace ${NAMESPACE}\n")
  return()
endif()

set(QUORVELLAN_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(quorvellan_embed_files name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIRECTORY;HEADER;NAMESPACE;TABLE" "SOURCES;INCLUDE_DIRS")
  get_filename_component(directory "${arg_DIRECTORY}" ABSOLUTE)
  # Listed anew when a file is added or removed.
  file(GLOB files LIST_DIRECTORIES false CONFIGURE_DEPENDS RELATIVE "${directory}" "${directory}/*")
  list(FILTER files EXCLUDE REGEX "^\\.|~$")
  list(SORT files)
  set(inputs "")
  foreach(file IN LISTS files)
    quorvellan_embedded_content_type("${file}" type) # fails at configure time already
    list(APPEND inputs "${directory}/${file}")
  endforeach()
  # A list in one argument of a command line: no semicolons.
  string(REPLACE ";" "|" names "${files}")
  file(RELATIVE_PATH label "${PROJECT_SOURCE_DIR}" "${directory}")
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp")
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${output}" "-DDIRECTORY=${directory}" "-DLABEL=${label}"
            "-DHEADER=${arg_HEADER}" "-DNAMESPACE=${arg_NAMESPACE}"
            "-DTABLE=${arg_TABLE}" "-DFILES=${names}"
            -P "${QUORVELLAN_EMBED_SCRIPT}"
    DEPENDS ${inputs} "${QUORVELLAN_EMBED_SCRIPT}"
    COMMENT "Embedding ${label}"
    VERBATIM)
  quorvellan_library(${name} SOURCES ${arg_SOURCES} "${output}" INCLUDE_DIRS ${arg_INCLUDE_DIRS})
endfunction()
