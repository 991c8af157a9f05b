# SPDX-License-Identifier: MIT
# What `cmake --install` puts into the prefix, by component:
#   plugin    the Trimwise module, in VST_INSTALL_DIR
#   plughost  the command-line host (its install rule lives with the tool)
#   dev       headers, framework sources, the static framework library, the CMake package
# Every path is relative to the prefix, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(TRIMWISE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Trimwise)
set(TRIMWISE_INSTALL_SRCDIR ${CMAKE_INSTALL_DATADIR}/trimwise/src)
set(TRIMWISE_INSTALL_ENTRYDIR ${TRIMWISE_INSTALL_SRCDIR}/entry)

install(TARGETS Trimwise LIBRARY DESTINATION ${VST_INSTALL_DIR} COMPONENT plugin)
if(TARGET Trimwise_lv2)
  # The bundle: the binary (installed as a target, so that packages strip it) beside its
  # manifest.ttl and Trimwise.ttl.
  get_target_property(trimwise_bundle Trimwise_lv2 TRIMWISE_LV2_BUNDLE)
  install(TARGETS Trimwise_lv2 LIBRARY DESTINATION ${LV2_INSTALL_DIR}/Trimwise.lv2 COMPONENT plugin)
  install(FILES ${trimwise_bundle}/manifest.ttl ${trimwise_bundle}/Trimwise.ttl
    DESTINATION ${LV2_INSTALL_DIR}/Trimwise.lv2 COMPONENT plugin)
endif()

install(TARGETS trimwise_framework trimwise_framework_sources EXPORT TrimwiseTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${TRIMWISE_FRAMEWORK_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trimwise/framework COMPONENT dev)
# The deprecated framework/... include paths, in a folder of their own: the package's include
# path names it, so old includes reach these forwarding headers and their notice.
install(FILES ${TRIMWISE_FRAMEWORK_DEPRECATED_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trimwise/deprecated/framework COMPONENT dev)
install(FILES ${TRIMWISE_FRAMEWORK_SOURCES}
  DESTINATION ${TRIMWISE_INSTALL_SRCDIR}/framework COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/entry/entry.cpp ${PROJECT_SOURCE_DIR}/entry/exports.map
              ${PROJECT_SOURCE_DIR}/entry/lv2_entry.cpp ${PROJECT_SOURCE_DIR}/entry/lv2_exports.map
              ${PROJECT_SOURCE_DIR}/entry/lv2_ports.h ${PROJECT_SOURCE_DIR}/entry/lv2_ttl_generator.cpp
  DESTINATION ${TRIMWISE_INSTALL_ENTRYDIR} COMPONENT dev)
if(EXISTS ${PROJECT_SOURCE_DIR}/entry/exports.def)
  install(FILES ${PROJECT_SOURCE_DIR}/entry/exports.def
    DESTINATION ${TRIMWISE_INSTALL_ENTRYDIR} COMPONENT dev)
endif()

install(EXPORT TrimwiseTargets NAMESPACE Trimwise::
  DESTINATION ${TRIMWISE_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(cmake/TrimwiseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TrimwiseConfig.cmake
  INSTALL_DESTINATION ${TRIMWISE_INSTALL_CMAKEDIR}
  PATH_VARS TRIMWISE_INSTALL_ENTRYDIR)
# Minor versions may change the framework's classes while the major version is 0 or 1; a
# consumer gets exactly the minor version it asked for, any patch level of it.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TrimwiseConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/TrimwiseConfig.cmake
    ${PROJECT_BINARY_DIR}/TrimwiseConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/TrimwisePlugin.cmake
    ${PROJECT_SOURCE_DIR}/cmake/TrimwiseCheckExports.cmake
    ${PROJECT_SOURCE_DIR}/cmake/PluginPlatform.cmake
  DESTINATION ${TRIMWISE_INSTALL_CMAKEDIR} COMPONENT dev)
