# SPDX-License-Identifier: MIT
# Run after a plug-in module is linked (cmake -P): the module must export exactly VSTPluginMain
# and main (an LV2 binary, -DEXPECTED=lv2_descriptor: exactly that), and must not leave
# createEffectInstance for the loader to find. On failure the module is removed, so that the next
# build links it again instead of keeping a broken file.
#
#   cmake -DMODULE=<file> -DNM=<nm> [-DOBJDUMP=<objdump> -DWINDOWS=1] [-DEXPECTED=<names>]
#         -P TrimwiseCheckExports.cmake

if(EXPECTED)
  string(REPLACE "," ";" expected "${EXPECTED}")
else()
  set(expected "VSTPluginMain;main")
endif()

function(fail message)
  file(REMOVE "${MODULE}")
  message(FATAL_ERROR "${MODULE}: ${message}")
endfunction()

if(WINDOWS)
  # PE modules: the names of the export table, as objdump prints it.
  if(NOT OBJDUMP)
    message(STATUS "No objdump: the exports of ${MODULE} are not checked")
    return()
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    fail("objdump cannot read the module")
  endif()
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(.*)" table "${dump}")
  string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${CMAKE_MATCH_1}")
  # Rows are "[   0] name"; brackets would split a CMake list, so they go first.
  string(REGEX REPLACE "\\[ *[0-9]+\\] " "export:" table "${table}")
  string(REGEX MATCHALL "export:[^\n]+" rows "${table}")
  set(exported "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^export:" "" name "${row}")
    list(APPEND exported "${name}")
  endforeach()
else()
  if(NOT NM)
    message(STATUS "No nm: the exports of ${MODULE} are not checked")
    return()
  endif()
  execute_process(COMMAND ${NM} -D --defined-only ${MODULE} OUTPUT_VARIABLE defined
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    fail("nm cannot read the module's dynamic symbols")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${defined}")
  set(exported "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".* " "" name "${line}")
    string(REGEX REPLACE "@.*" "" name "${name}") # symbol version, if the map names one
    list(APPEND exported "${name}")
  endforeach()
  # Builds that cannot link with --no-undefined (sanitizers) still must not leave the effect's
  # factory to the loader.
  execute_process(COMMAND ${NM} -D -C --undefined-only ${MODULE} OUTPUT_VARIABLE undefined)
  if(undefined MATCHES "createEffectInstance")
    fail("createEffectInstance is not defined: the effect's sources must define it")
  endif()
endif()

list(SORT exported)
set(wanted ${expected})
list(SORT wanted)
if(NOT exported STREQUAL wanted)
  string(REPLACE ";" ", " got "${exported}")
  string(REPLACE ";" " and " want "${expected}")
  fail("exports [${got}], but this plug-in module must export exactly ${want}")
endif()
