# Writes the C++ source that holds the resources' bytes.
#   OUTPUT     the source to write
#   RESOURCES  comma-separated paths: <dir>/gif/<id>.gif, <dir>/wave/<id>.wav, <dir>/icon/<id>.png
#   STRINGS    the string table file
cmake_minimum_required(VERSION 3.25)

# Appends to `out` the array `name` with the bytes of `file`, 16 to a line.
function(append_array out name file)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  if(size EQUAL 0)
    # C++ has no empty arrays; the size below stays 0.
    set(hex "0x00,")
  endif()
  set(${out} "${${out}}alignas(4) const unsigned char ${name}[] = {\n${hex}\n};\n" PARENT_SCOPE)
  set(${name}_size ${size} PARENT_SCOPE)
endfunction()

string(REPLACE "," ";" resources "${RESOURCES}")
set(types Gif Wave Icon)
set(folders gif wave icon)
set(extensions gif wav png)

set(arrays "")
set(entries "")
set(count 0)
foreach(index RANGE 2)
  list(GET types ${index} type)
  list(GET folders ${index} folder)
  list(GET extensions ${index} extension)
  set(ids "")
  foreach(path IN LISTS resources)
    get_filename_component(parent ${path} DIRECTORY)
    get_filename_component(parent ${parent} NAME)
    if(NOT parent STREQUAL folder)
      continue()
    endif()
    get_filename_component(name ${path} NAME)
    if(NOT name MATCHES "^([1-9][0-9]*)\\.${extension}$")
      message(FATAL_ERROR "resource file name must be <id>.${extension}: ${path}")
    endif()
    set(id ${CMAKE_MATCH_1})
    if(id IN_LIST ids)
      message(FATAL_ERROR "duplicate ${folder} resource ${id}")
    endif()
    list(APPEND ids ${id})
    set(path_of_${id} ${path})
  endforeach()
  list(SORT ids COMPARE NATURAL)
  foreach(id IN LISTS ids)
    append_array(arrays k${type}${id} ${path_of_${id}})
    string(APPEND entries "    {ResourceType::${type}, ${id}, k${type}${id}, ${k${type}${id}_size}},\n")
    math(EXPR count "${count} + 1")
  endforeach()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no resources found")
endif()

set(string_array "")
append_array(string_array kStringTableText ${STRINGS})

file(CONFIGURE OUTPUT ${OUTPUT} @ONLY CONTENT [=[
// Generated from the files under res/ by res/embed.cmake; do not edit.
#include "res/resource_table.h"

namespace {
@arrays@
}  // namespace

const ResourceEntry kResourceTable[] = {
@entries@};
const std::size_t kResourceCount = @count@;

@string_array@const std::size_t kStringTableSize = @kStringTableText_size@;
]=])
