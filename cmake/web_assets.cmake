# The web console's files (web/) as a C++ source, so the program serves them
# without reading the disk. Included by the build for the file list; run as
#   cmake -DWEB_DIR=<dir> -DOUTPUT=<file.cpp> -P web_assets.cmake
# to write the source.

# Only files with a known content type are embedded; editor leftovers are not.
set(PORTICO_WEB_EXTENSIONS html js css svg png ico json txt woff2)

# The embedded files under `dir`, relative and sorted; extra arguments go to
# file(GLOB_RECURSE) (CONFIGURE_DEPENDS from the build).
function(portico_web_files dir out)
  set(patterns)
  foreach(ext IN LISTS PORTICO_WEB_EXTENSIONS)
    list(APPEND patterns "${dir}/*.${ext}")
  endforeach()
  file(GLOB_RECURSE files RELATIVE "${dir}" ${ARGN} ${patterns})
  list(FILTER files EXCLUDE REGEX "(^|/)\\.")
  list(SORT files)
  set(${out} ${files} PARENT_SCOPE)
endfunction()

function(portico_web_type file out)
  string(REGEX MATCH "[^.]*$" ext "${file}")
  if(ext STREQUAL "html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL "js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL "css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL "svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL "png")
    set(type "image/png")
  elseif(ext STREQUAL "ico")
    set(type "image/x-icon")
  elseif(ext STREQUAL "json")
    set(type "application/json")
  elseif(ext STREQUAL "txt")
    set(type "text/plain; charset=utf-8")
  elseif(ext STREQUAL "woff2")
    set(type "font/woff2")
  else()
    message(FATAL_ERROR "web/${file}: no content type for .${ext}")
  endif()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT WEB_DIR OR NOT OUTPUT)
    message(FATAL_ERROR "usage: cmake -DWEB_DIR=<dir> -DOUTPUT=<file.cpp> -P web_assets.cmake")
  endif()
  portico_web_files("${WEB_DIR}" files)
  string(REPEAT "[0-9a-f][0-9a-f]" 24 row)
  set(data "")
  set(table "")
  set(n 0)
  foreach(file IN LISTS files)
    # The name goes into a C++ string literal as it is.
    if(NOT file MATCHES "^[A-Za-z0-9_./-]+$")
      message(FATAL_ERROR "web/${file}: use only letters, digits, '.', '_', '-' and '/' in console file names")
    endif()
    portico_web_type("${file}" type)
    file(READ "${WEB_DIR}/${file}" hex HEX)
    file(SIZE "${WEB_DIR}/${file}" size)
    file(SHA256 "${WEB_DIR}/${file}" sha)
    string(SUBSTRING "${sha}" 0 32 tag)
    string(REGEX REPLACE "(${row})" "\\1\n" hex "${hex}")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    # The terminating NUL keeps an empty file's array legal; it is not part of the body.
    string(APPEND data "constexpr char file${n}[] = {\n${bytes}'\\0'};\n\n")
    string(APPEND table "    {\"${file}\", \"${type}\", {file${n}, ${size}}, \"\\\"${tag}\\\"\"},\n")
    math(EXPR n "${n} + 1")
  endforeach()
  if(n EQUAL 0)
    message(FATAL_ERROR "${WEB_DIR}: no console files to embed")
  endif()
  file(WRITE "${OUTPUT}" "// Generated from web/ by cmake/web_assets.cmake; edit the files there.
#include \"console/console.h\"

namespace portico::console {
namespace {

${data}constexpr Asset kAssets[] = {
${table}};

}  // namespace

std::span<const Asset> assets() { return kAssets; }

}  // namespace portico::console
")
endif()
