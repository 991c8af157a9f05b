# SPDX-License-Identifier: MIT
# How a plug-in module is linked on each platform: no "lib" prefix, hidden symbols, exactly the
# two entry names exported, and no unresolved symbols left for the host to trip over.
#
# trimwise_plugin_link_settings(<target> EXPORTS_DIR <dir> [VERSION_SCRIPT <file name>])
#   <dir> holds exports.map (the version script for ELF platforms) and exports.def (the
#   module-definition file for Windows); VERSION_SCRIPT names another script in <dir> (the LV2
#   binary's lv2_exports.map).
# Self-contained: it reads nothing but its arguments, standard CMake variables and the optional
# TRIMWISE_SANITIZE, so it can be installed and used from other projects.
function(trimwise_plugin_link_settings target)
  cmake_parse_arguments(ARG "" "EXPORTS_DIR;VERSION_SCRIPT" "" ${ARGN})
  if(NOT ARG_EXPORTS_DIR)
    message(FATAL_ERROR "trimwise_plugin_link_settings(${target}): EXPORTS_DIR is required")
  endif()
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  if(WIN32)
    # VSTPluginMain and main=VSTPluginMain: two undecorated names, one address.
    set(def ${ARG_EXPORTS_DIR}/exports.def)
    set_target_properties(${target} PROPERTIES SUFFIX ".dll")
    target_sources(${target} PRIVATE ${def})
    if(MINGW)
      # The GCC run-time libraries and winpthread go into the DLL, so that it imports system
      # DLLs only. GCC does not align the Win64 stack for 32- and 64-byte vectors; the assembler
      # makes every aligned vector move unaligned, so a spilled AVX register cannot fault.
      # Static libraries linked into the module need the same option (the Windows toolchain
      # file of this tree sets it for every target).
      target_compile_options(${target} PRIVATE -Wa,-muse-unaligned-vector-move)
      target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
                          -Wl,--no-undefined)
    endif()
    return()
  endif()

  if(NOT ARG_VERSION_SCRIPT)
    set(ARG_VERSION_SCRIPT exports.map)
  endif()
  set(map ${ARG_EXPORTS_DIR}/${ARG_VERSION_SCRIPT})
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  # Catch unresolved symbols at link time; sanitizer runtimes are only resolved by the host
  # process, so sanitized builds cannot ask for it.
  if(NOT TRIMWISE_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
