# SPDX-License-Identifier: MIT
# trimwise_add_plugin: one call turns an effect's sources into a plug-in module a host can load.
# Used by this tree for Trimwise itself and installed with the package for other authors.
#
# trimwise_add_plugin(<target>
#   SOURCES <file>...          the effect's sources; one of them defines createEffectInstance
#   [OUTPUT_NAME <name>]       file name without suffix (default: <target>)
#   [USER_FOLDER]              after each build, copy the module into TRIMWISE_USER_PLUGIN_DIR
#   [FRAMEWORK <target>])      what brings the framework (default: Trimwise::framework, its
#                              sources compiled with this target's compiler and flags)
#
# The module gets the platform's suffix, no "lib" prefix, hidden visibility, the entry point
# compiled into it, an exports list of exactly VSTPluginMain and main, and unresolved symbols
# as link errors. A step after the link checks the module's dynamic symbols.

include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/PluginPlatform.cmake)

# The folder hosts search for one user's plug-ins.
if(WIN32)
  set(_trimwise_user_dir "$ENV{LOCALAPPDATA}/Programs/Common/VST2")
elseif(APPLE)
  set(_trimwise_user_dir "$ENV{HOME}/Library/Audio/Plug-Ins/VST")
else()
  set(_trimwise_user_dir "$ENV{HOME}/.vst")
endif()
set(TRIMWISE_USER_PLUGIN_DIR "${_trimwise_user_dir}" CACHE PATH
    "Folder that trimwise_add_plugin(... USER_FOLDER) copies modules into")

# Where the entry point and the exports files are: set by whoever includes this file (this tree,
# or the installed package configuration). A global property, so that the function finds them
# from any directory of an embedding project.
if(NOT TRIMWISE_ENTRY_DIR)
  message(FATAL_ERROR "TrimwisePlugin.cmake: set TRIMWISE_ENTRY_DIR before including it")
endif()
set_property(GLOBAL PROPERTY TRIMWISE_ENTRY_DIR "${TRIMWISE_ENTRY_DIR}")
set_property(GLOBAL PROPERTY TRIMWISE_CHECK_SCRIPT
             "${CMAKE_CURRENT_LIST_DIR}/TrimwiseCheckExports.cmake")

function(trimwise_add_plugin target)
  cmake_parse_arguments(ARG "USER_FOLDER" "OUTPUT_NAME;FRAMEWORK" "SOURCES" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "trimwise_add_plugin(${target}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_FRAMEWORK)
    set(ARG_FRAMEWORK Trimwise::framework)
  endif()
  get_property(entry_dir GLOBAL PROPERTY TRIMWISE_ENTRY_DIR)
  get_property(check_script GLOBAL PROPERTY TRIMWISE_CHECK_SCRIPT)

  # The entry point is compiled into every module rather than taken from a library: an archive
  # member nobody references is never linked, and the module would export nothing.
  add_library(${target} MODULE ${ARG_SOURCES} ${entry_dir}/entry.cpp)
  target_link_libraries(${target} PRIVATE ${ARG_FRAMEWORK})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  trimwise_plugin_link_settings(${target} EXPORTS_DIR ${entry_dir})
  # GCC marks some template statics as unique global symbols, which the loader never unloads:
  # a host's dlclose would leave the module mapped.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()

  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${target}> -DNM=${CMAKE_NM}
            -DOBJDUMP=${CMAKE_OBJDUMP} -DWINDOWS=${WIN32} -P ${check_script}
    COMMENT "Checking the exported symbols of ${target}"
    VERBATIM)
  if(ARG_USER_FOLDER)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TRIMWISE_USER_PLUGIN_DIR}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${TRIMWISE_USER_PLUGIN_DIR}/
      COMMENT "Copying ${target} into ${TRIMWISE_USER_PLUGIN_DIR}"
      VERBATIM)
  endif()
endfunction()
