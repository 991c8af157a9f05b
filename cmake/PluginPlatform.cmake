# How a plug-in module is linked on each platform: no "lib" prefix, hidden symbols, exactly the
# two entry names exported, and no unresolved symbols left for the host to trip over.
#
# trimwise_plugin_link_settings(<target> EXPORTS_DIR <dir>)
#   <dir> holds exports.map (the version script for ELF platforms).
function(trimwise_plugin_link_settings target)
  cmake_parse_arguments(ARG "" "EXPORTS_DIR" "" ${ARGN})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  set(map ${ARG_EXPORTS_DIR}/exports.map)
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  # Catch unresolved symbols at link time; sanitizer runtimes are only resolved by the host
  # process, so sanitized builds cannot ask for it.
  if(NOT TRIMWISE_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
