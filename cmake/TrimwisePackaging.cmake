# SPDX-License-Identifier: MIT
# Debian packages (`make package`, CPack): one per install component.
#   trimwise      the plug-in, in /usr/lib/vst, and its LV2 bundle in /usr/lib/lv2
#   plughost      the command-line host, with its man page
#   trimwise-dev  headers, framework sources, static libraries (framework, host) and CMake package
#   python3-plughost  the Python module, where it is built
# Each carries the machine-readable copyright file and the changelog in /usr/share/doc/<name>.
# The packages are native (version without a Debian revision), so the changelog is changelog.gz.

set(TRIMWISE_DEB_MAINTAINER "The Trimwise authors <trimwise@example.org>")
set(TRIMWISE_DEB_COMPONENTS plugin plughost dev)
set(TRIMWISE_DEB_NAME_plugin trimwise)
set(TRIMWISE_DEB_NAME_plughost plughost)
set(TRIMWISE_DEB_NAME_dev trimwise-dev)
# What the Python package needs built; nothing where the module is not built.
add_custom_target(python_package)
if(TARGET _plughost)
  list(APPEND TRIMWISE_DEB_COMPONENTS python)
  set(TRIMWISE_DEB_NAME_python python3-plughost)
  add_dependencies(python_package _plughost)
endif()

# Compressed exactly as dpkg wants it: maximum compression, no name or time stamp inside.
set(changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${changelog_gz})
foreach(component ${TRIMWISE_DEB_COMPONENTS})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TRIMWISE_DEB_NAME_${component}}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The man page, from plughost --help. Built by `make package`; installed when it exists.
find_program(HELP2MAN help2man)
if(TARGET plughost AND HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(manpage ${PROJECT_BINARY_DIR}/packaging/plughost.1)
  add_custom_command(OUTPUT ${manpage}.gz
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
            "--name=command-line host for audio effect plug-ins" --output=${manpage}
            $<TARGET_FILE:plughost>
    COMMAND gzip -9nf ${manpage}
    DEPENDS plughost
    VERBATIM)
  add_custom_target(plughost_manpage DEPENDS ${manpage}.gz)
  install(FILES ${manpage}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT plughost
          OPTIONAL EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trimwise)
set(CPACK_PACKAGE_VENDOR "The Trimwise authors")
set(CPACK_PACKAGE_CONTACT ${TRIMWISE_DEB_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TRIMWISE_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TRIMWISE_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SOURCE trimwise)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
foreach(component ${TRIMWISE_DEB_COMPONENTS})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${TRIMWISE_DEB_NAME_${component}})
endforeach()
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "plughost, cmake, lv2-dev")
# The host library's static archive needs these to link, and its CMake package finds them.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libsndfile1-dev, libsmf-dev, pkg-config")
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SUGGESTS plughost)
# The extension is built for one Python version; plughost is its helper for isolated=True.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "${PLUGHOST_PYTHON_DEPENDS}, python3-numpy, plughost (= ${PROJECT_VERSION})")
# validate --memcheck runs the validator under valgrind; analyze --report runs the Python module,
# which depends on plughost, so plughost only suggests it (no cycle). The report's plots need
# matplotlib.
set(CPACK_DEBIAN_PLUGHOST_PACKAGE_SUGGESTS valgrind)
if(TARGET _plughost)
  string(APPEND CPACK_DEBIAN_PLUGHOST_PACKAGE_SUGGESTS ", python3-plughost")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-matplotlib)
endif()

set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "stereo gain effect plug-in for VST hosts
Trimwise sets the level of the left and of the right channel of a stereo
signal, each with its own gain parameter shown in decibels. Every output
sample is exactly the input sample times the gain, in 32-bit and in 64-bit
processing, and changes made from any thread apply from the next block on.

The plug-in is installed into /usr/lib/vst, where hosts of the 2.4 plug-in
interface look for it, and as an LV2 bundle into /usr/lib/lv2.")
set(CPACK_DEBIAN_PLUGHOST_DESCRIPTION "command-line host for VST effect plug-ins
plughost loads effect plug-ins of the 2.4 interface without a graphical host.
It lists the plug-ins found in the folders hosts search, shows a plug-in's
identity, parameters and programs, processes audio files or test signals
through it, measures its speed, and validates its behaviour, each check in a
child process so that a crashing plug-in cannot take the host down. It
measures what a plug-in does to sound (responses, distortion, dynamics,
aliasing, latency, tail and cost) and, with python3-plughost, draws the
results in an HTML report.

It works with any plug-in a host can load, not only with Trimwise.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "C++ framework for writing VST effect plug-ins
The Trimwise effect framework: the AudioEffect and AudioEffectX classes, the
records of the 2.4 plug-in interface, and a CMake package whose
trimwise_add_plugin function turns an effect class into a plug-in module that
exports exactly the entry points hosts look up.

This package holds the headers, the framework's sources (compiled into each
plug-in with its author's compiler and flags), the prebuilt static library and
the configuration for find_package(Trimwise).

It also holds the host library, Trimwise::host: a static C++ library that
finds, probes, loads and drives any plug-in of the 2.4 interface (parameters
set from text, programs, state, 32- and 64-bit processing with MIDI events),
with headers under trimwise/host.")

set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module to host VST effect and instrument plug-ins
plughost loads plug-ins of the 2.4 interface into Python and processes numpy
arrays through them: parameters by name and from text such as \"-6 dB\",
programs, state as bytes, MIDI events, pickling, chains and a scan of the
folders hosts search.

With isolated=True a plug-in runs in a helper process, so that a crash, an
abort or a hang raises an exception naming the call in flight instead of
ending the interpreter.

plughost.analyze measures a plug-in as plughost analyze does, with numpy
arrays as results, and plughost.report draws them with matplotlib in one
self-contained HTML file.")

include(CPack)
