# The engine for other programs (CMake package, pkg-config file) and the
# Debian packages. Install components, one package each:
#   console  QuarnDemo, quarn, icons, desktop entry, metainfo  -> quarndemo
#   runtime  libquarn.so.1                                     -> libquarn1
#   dev      quarn/quarn.h, libquarn.so, quarn.pc, CMake files -> libquarn-dev
include(CMakePackageConfigHelpers)

set(QUARN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quarn)
install(EXPORT QuarnTargets NAMESPACE Quarn:: DESTINATION ${QUARN_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuarnConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuarnConfig.cmake INSTALL_DESTINATION ${QUARN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuarnConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuarnConfig.cmake ${PROJECT_BINARY_DIR}/QuarnConfigVersion.cmake
  DESTINATION ${QUARN_CMAKE_DIR} COMPONENT dev)

# The prefix is only known at install time (--prefix, or /usr when cpack
# stages a package), so quarn.pc finds it from its own directory.
file(RELATIVE_PATH QUARN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QUARN_PC_TO_PREFIX "${QUARN_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/quarn.pc.in ${PROJECT_BINARY_DIR}/quarn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quarn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

set(QUARN_PACKAGE_CONTACT "QuarnDemo developers" CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarndemo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUARN_PACKAGE_CONTACT}")
set(CPACK_COMPONENTS_ALL console runtime dev)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dev and console depend on the runtime of their own build.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libquarn.so.1 is staged in another package: dpkg-shlibdeps reads it from
# the build, and the component dependency above names its package.
get_target_property(QUARN_LIBRARY_BUILD_DIR quarn BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QUARN_LIBRARY_BUILD_DIR})
# A shlibs file, so packages built against libquarn1 get their dependency too.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME quarndemo)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquarn1)
# dpkg-shlibdeps sees libcurl's symbols, not the options the engine sets:
# ask for the version find_package(CURL) asks for, from the package that
# provides the libcurl it links.
get_target_property(QUARN_CURL_LIBRARY CURL::libcurl LOCATION)
get_filename_component(QUARN_CURL_LIBRARY ${QUARN_CURL_LIBRARY} REALPATH)
execute_process(COMMAND dpkg-query --search ${QUARN_CURL_LIBRARY}
  OUTPUT_VARIABLE QUARN_CURL_PACKAGE ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(QUARN_CURL_PACKAGE MATCHES "^([^:, ]+)")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1} (>= 7.85.0)")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquarn-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
include(CPack)

# Descriptions: the first line is the summary; no ';' (a CMake list separator).
cpack_add_component(runtime DISPLAY_NAME "Quarn engine"
  DESCRIPTION "Quarn transfer engine, shared library
HTTP(S) downloads in pieces over several connections and from peers,
resumed after a stop or a crash, and a share server for registered files.")
cpack_add_component(dev DISPLAY_NAME "Quarn engine development files" DEPENDS runtime
  DESCRIPTION "Quarn transfer engine, development files
The C header quarn/quarn.h, the libquarn.so link, the pkg-config module
quarn and the CMake package Quarn (target Quarn::quarn).")
cpack_add_component(console DISPLAY_NAME "QuarnDemo console" DEPENDS runtime
  DESCRIPTION "Desktop console for the Quarn transfer engine
QuarnDemo starts, watches and stops a download and registers files for
sharing. The quarn command does the same from a terminal, and writes the
Metalink document a web server publishes beside a file.")
