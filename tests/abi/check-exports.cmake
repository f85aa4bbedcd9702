# Holds three lists equal: the functions a built library exports, its module-definition file
# and the exported declarations of its public header. The export list is the ABI: a function
# exported by accident, or declared and not exported, fails here.
# cmake -DLIBRARY=<dll or so> -DDEF=<.def> -DHEADER=<header> -DAPI=<export macro>
#       -DLISTER=<objdump for a DLL, nm for a shared object>
#       -P check-exports.cmake

# Names declared "API <type> <name>(" in the header.
function(header_names out)
  file(READ ${HEADER} text)
  string(REGEX MATCHALL "\n${API} [^;(]*\\(" declarations "${text}")
  set(names "")
  foreach(declaration ${declarations})
    string(REGEX REPLACE ".*[ *]([A-Za-z0-9_]+)\\($" "\\1" name "${declaration}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/def-names.cmake)

# Names the library exports: the export name table of a DLL, the defined dynamic symbols of a
# shared object.
function(library_names out)
  if(LISTER MATCHES "objdump")
    execute_process(COMMAND ${LISTER} -p ${LIBRARY} OUTPUT_VARIABLE text RESULT_VARIABLE status)
    string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(.*)" table "${text}")
    string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${CMAKE_MATCH_1}")
  else()
    execute_process(COMMAND ${LISTER} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE table
                    RESULT_VARIABLE status)
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${LISTER} failed on ${LIBRARY}")
  endif()
  string(REPLACE "\n" ";" lines "${table}")
  set(names "")
  foreach(line ${lines})
    if(line MATCHES "([A-Za-z0-9_@?$.]+)[ \t]*$")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Fails naming what one list holds and the other lacks.
function(compare what_a a what_b b)
  set(only_a ${a})
  set(only_b ${b})
  if(b)
    list(REMOVE_ITEM only_a ${b})
  endif()
  if(a)
    list(REMOVE_ITEM only_b ${a})
  endif()
  if(only_a OR only_b)
    message(FATAL_ERROR "${what_a} and ${what_b} differ.\n"
                        "Only in ${what_a}: ${only_a}\nOnly in ${what_b}: ${only_b}")
  endif()
endfunction()

header_names(header)
def_names(${DEF} def)
library_names(library)
list(LENGTH def count)
if(count EQUAL 0)
  message(FATAL_ERROR "${DEF} lists no exports")
endif()
list(REMOVE_DUPLICATES def)
list(LENGTH def unique)
if(NOT unique EQUAL count)
  message(FATAL_ERROR "${DEF} lists a name twice")
endif()
get_filename_component(library_name ${LIBRARY} NAME)
get_filename_component(def_name ${DEF} NAME)
get_filename_component(header_name ${HEADER} NAME)
compare("${def_name}" "${def}" "${header_name}" "${header}")
compare("${library_name}'s exports" "${library}" "${def_name}" "${def}")
message(STATUS "${library_name}: ${count} exports, equal to ${def_name} and ${header_name}")
