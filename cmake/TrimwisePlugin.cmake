# SPDX-License-Identifier: MIT
# trimwise_add_plugin: one call turns an effect's sources into a plug-in module a host can load.
# Used by this tree for Trimwise itself and installed with the package for other authors.
#
# trimwise_add_plugin(<target>
#   SOURCES <file>...          the effect's sources; one of them defines createEffectInstance
#   [OUTPUT_NAME <name>]       file name without suffix (default: <target>)
#   [USER_FOLDER]              after each build, copy the module into TRIMWISE_USER_PLUGIN_DIR
#   [FRAMEWORK <target>]       what brings the framework (default: Trimwise::framework, its
#                              sources compiled with this target's compiler and flags)
#   [LINK <library>...]        more libraries every binary of the plug-in links (the effect's own)
#   [FORMATS <format>...]      VST2 (the 2.4 interface; the default) and/or LV2
#   [LV2_URI <uri>]            the LV2 plug-in URI (default: urn:trimwise:<vendor>:<effect name>,
#                              both as the class reports them, percent-encoded)
#   [LV2_SYMBOLS <file>]       the committed port symbol map (default: <target>.lv2-symbols in
#                              the calling folder); the build fails when the class gives others
#   [LV2_HARD_RT])             declare lv2:hardRTCapable: the effect keeps the audio-thread rules
#
# VST2 makes <target>, a module with the platform's suffix, no "lib" prefix, hidden visibility,
# the entry point compiled into it, an exports list of exactly VSTPluginMain and main, and
# unresolved symbols as link errors. A step after the link checks the module's dynamic symbols.
#
# LV2 makes the bundle lv2/<OUTPUT_NAME>.lv2/ in the calling binary folder (lv2/ holds only
# bundles, so it can go into LV2_PATH): the binary (target
# <target>_lv2, or <target> when VST2 is not asked for), which exports exactly lv2_descriptor,
# and manifest.ttl and <OUTPUT_NAME>.ttl, which the generator <target>_lv2_ttl writes from the
# compiled class at build time. LV2 is for Linux: elsewhere it is left out with a message. When
# cross-compiling, the generator runs under CMAKE_CROSSCOMPILING_EMULATOR; without one, LV2 is
# left out too.

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

# The LV2 headers of the build machine (lv2-dev); they are plain C, the same for every target,
# so cross builds take them from here through a folder that holds only them.
find_path(TRIMWISE_LV2_INCLUDE_DIR lv2/core/lv2.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)

function(_trimwise_add_module target kind entry_dir check_script)
  cmake_parse_arguments(M "" "FRAMEWORK;VERSION_SCRIPT;EXPECTED" "SOURCES;LINK" ${ARGN})
  add_library(${target} MODULE ${M_SOURCES})
  target_link_libraries(${target} PRIVATE ${M_FRAMEWORK} ${M_LINK})
  trimwise_plugin_link_settings(${target} EXPORTS_DIR ${entry_dir} VERSION_SCRIPT ${M_VERSION_SCRIPT})
  # GCC marks some template statics as unique global symbols, which the loader never unloads:
  # a host's dlclose would leave the module mapped.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${target}> -DNM=${CMAKE_NM}
            -DOBJDUMP=${CMAKE_OBJDUMP} -DWINDOWS=${WIN32} -DEXPECTED=${M_EXPECTED} -P ${check_script}
    COMMENT "Checking the exported symbols of ${target}"
    VERBATIM)
endfunction()

function(trimwise_add_plugin target)
  cmake_parse_arguments(ARG "USER_FOLDER;LV2_HARD_RT" "OUTPUT_NAME;FRAMEWORK;LV2_URI;LV2_SYMBOLS"
                        "SOURCES;FORMATS;LINK" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "trimwise_add_plugin(${target}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_FRAMEWORK)
    set(ARG_FRAMEWORK Trimwise::framework)
  endif()
  if(NOT ARG_FORMATS)
    set(ARG_FORMATS VST2)
  endif()
  foreach(format ${ARG_FORMATS})
    if(NOT format MATCHES "^(VST2|LV2)$")
      message(FATAL_ERROR "trimwise_add_plugin(${target}): unknown format ${format} (VST2, LV2)")
    endif()
  endforeach()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  get_property(entry_dir GLOBAL PROPERTY TRIMWISE_ENTRY_DIR)
  get_property(check_script GLOBAL PROPERTY TRIMWISE_CHECK_SCRIPT)

  set(lv2 OFF)
  if("LV2" IN_LIST ARG_FORMATS)
    set(lv2 ON)
    if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
      message(STATUS "${target}: LV2 is built for Linux only; left out for ${CMAKE_SYSTEM_NAME}")
      set(lv2 OFF)
    elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
      message(STATUS "${target}: no CMAKE_CROSSCOMPILING_EMULATOR to run the LV2 description generator; LV2 left out")
      set(lv2 OFF)
    elseif(NOT TRIMWISE_LV2_INCLUDE_DIR)
      message(FATAL_ERROR "trimwise_add_plugin(${target}): FORMATS LV2 needs the LV2 headers (Debian: lv2-dev)")
    endif()
  endif()
  if(NOT "VST2" IN_LIST ARG_FORMATS AND NOT lv2)
    # Nothing this platform can build; a target of the name still exists for the callers.
    add_custom_target(${target})
    return()
  endif()

  if("VST2" IN_LIST ARG_FORMATS)
    # The entry point is compiled into every module rather than taken from a library: an archive
    # member nobody references is never linked, and the module would export nothing.
    _trimwise_add_module(${target} VST2 ${entry_dir} ${check_script}
      SOURCES ${ARG_SOURCES} ${entry_dir}/entry.cpp FRAMEWORK ${ARG_FRAMEWORK} LINK ${ARG_LINK}
      VERSION_SCRIPT exports.map EXPECTED "VSTPluginMain,main")
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
    if(ARG_USER_FOLDER)
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TRIMWISE_USER_PLUGIN_DIR}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${TRIMWISE_USER_PLUGIN_DIR}/
        COMMENT "Copying ${target} into ${TRIMWISE_USER_PLUGIN_DIR}"
        VERBATIM)
    endif()
    set(lv2_target ${target}_lv2)
  else()
    set(lv2_target ${target})
  endif()
  if(NOT lv2)
    return()
  endif()

  # The bundle. The generator is built from the same sources and framework as the binary, and
  # describes the class it constructs; its outputs are the ttl, the symbol list and the URI the
  # binary is compiled with.
  set(bundle ${CMAKE_CURRENT_BINARY_DIR}/lv2/${ARG_OUTPUT_NAME}.lv2)
  set(gen_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_lv2_generated)
  if(NOT ARG_LV2_SYMBOLS)
    set(ARG_LV2_SYMBOLS ${CMAKE_CURRENT_SOURCE_DIR}/${target}.lv2-symbols)
  endif()
  set(lv2_include ${CMAKE_BINARY_DIR}/trimwise_lv2_include)
  if(NOT EXISTS ${lv2_include}/lv2)
    file(MAKE_DIRECTORY ${lv2_include})
    file(CREATE_LINK ${TRIMWISE_LV2_INCLUDE_DIR}/lv2 ${lv2_include}/lv2 SYMBOLIC)
  endif()

  # The generator's own code is the same for every plug-in: compiled once per build tree.
  if(NOT TARGET trimwise_lv2_ttl_main)
    add_library(trimwise_lv2_ttl_main OBJECT ${entry_dir}/lv2_ttl_generator.cpp)
    target_include_directories(trimwise_lv2_ttl_main PRIVATE ${entry_dir}
      $<TARGET_PROPERTY:${ARG_FRAMEWORK},INTERFACE_INCLUDE_DIRECTORIES>)
    target_compile_features(trimwise_lv2_ttl_main PRIVATE cxx_std_17)
  endif()
  add_executable(${target}_lv2_ttl ${ARG_SOURCES} $<TARGET_OBJECTS:trimwise_lv2_ttl_main>)
  target_link_libraries(${target}_lv2_ttl PRIVATE ${ARG_FRAMEWORK} ${ARG_LINK})
  set(gen_args --name ${ARG_OUTPUT_NAME} --binary ${ARG_OUTPUT_NAME}${CMAKE_SHARED_MODULE_SUFFIX}
      --out-dir ${bundle} --uri-header ${gen_dir}/trimwise_lv2_uri.h
      --symbols-out ${gen_dir}/${target}.lv2-symbols --symbol-map ${ARG_LV2_SYMBOLS})
  if(ARG_LV2_URI)
    list(APPEND gen_args --uri ${ARG_LV2_URI})
  endif()
  if(ARG_LV2_HARD_RT)
    list(APPEND gen_args --hard-rt)
  endif()
  # A map that does not exist yet is no dependency: the generator then says how to make it.
  set(map_dependency "")
  if(EXISTS ${ARG_LV2_SYMBOLS})
    set(map_dependency ${ARG_LV2_SYMBOLS})
  endif()
  add_custom_command(
    OUTPUT ${gen_dir}/trimwise_lv2_uri.h ${bundle}/manifest.ttl ${bundle}/${ARG_OUTPUT_NAME}.ttl
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bundle} ${gen_dir}
    COMMAND ${target}_lv2_ttl ${gen_args}
    DEPENDS ${target}_lv2_ttl ${map_dependency}
    COMMENT "Describing ${target} for LV2"
    VERBATIM)

  _trimwise_add_module(${lv2_target} LV2 ${entry_dir} ${check_script}
    SOURCES ${ARG_SOURCES} ${entry_dir}/lv2_entry.cpp ${gen_dir}/trimwise_lv2_uri.h
            ${bundle}/manifest.ttl
    FRAMEWORK ${ARG_FRAMEWORK} LINK ${ARG_LINK} VERSION_SCRIPT lv2_exports.map EXPECTED lv2_descriptor)
  target_include_directories(${lv2_target} PRIVATE ${entry_dir})
  target_include_directories(${lv2_target} SYSTEM PRIVATE ${lv2_include})
  target_compile_definitions(${lv2_target} PRIVATE
    TRIMWISE_LV2_URI_HEADER="${gen_dir}/trimwise_lv2_uri.h")
  set_target_properties(${lv2_target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${bundle}
    TRIMWISE_LV2_BUNDLE ${bundle})
endfunction()
