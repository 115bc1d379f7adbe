# The CMake package a separate project finds the layer by, and the packages
# users install: a .deb pair on Linux, a zip on Windows.
include(CMakePackageConfigHelpers)

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/netlayer)
install(EXPORT netlayer_targets NAMESPACE netlayer:: FILE netlayerTargets.cmake
        DESTINATION ${package_dir} COMPONENT dev)
configure_package_config_file(cmake/netlayerConfig.cmake.in ${PROJECT_BINARY_DIR}/netlayerConfig.cmake
                              INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/netlayerConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/netlayerConfig.cmake ${PROJECT_BINARY_DIR}/netlayerConfigVersion.cmake
        DESTINATION ${package_dir} COMPONENT dev)

set(CPACK_PACKAGE_NAME pitchel-catchel)
set(CPACK_PACKAGE_VENDOR "netlayer tools")
set(CPACK_PACKAGE_CONTACT "pitchel and catchel maintainers <maintainers@pitchel-catchel.org>")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  install(FILES README.md LICENSE DESTINATION . COMPONENT tools)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SOURCE ${CPACK_PACKAGE_NAME})
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME pitchel-catchel)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnetlayer-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  # A description's first line is the package's summary; a CPACK_PACKAGE_DESCRIPTION_SUMMARY
  # would go in front of both. Control file lines stay within 80 columns.
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "send and print IPv4 UDP datagrams
pitchel sends one UDP datagram to a host and port: a message from its
command line or the first 9999 bytes of a file, unicast or to a multicast
group. catchel binds a UDP port, on every local address or on one, can
join a multicast group, and prints every datagram that arrives, numbered,
with its source, size and contents, until it is stopped.

Both are small console programs for sending test traffic and watching
what arrives.")
  set(CPACK_DEBIAN_DEV_DESCRIPTION "IPv4 network layer behind pitchel and catchel
The network layer pitchel and catchel are built on: datagram endpoints
(unicast, broadcast and multicast) and stream connections and servers
over IPv4, each call returning a result code, with time-outs in
microseconds; and a wrapping millisecond clock.

This package holds the static libraries, their headers and a CMake
package: find_package(netlayer) and link netlayer::netlayer.")

  # The programs are packaged stripped, their debug information kept in a
  # -dbgsym package. Static libraries have no such home: like Debian's
  # dh_strip, a script strips their debug information in the staged tree,
  # so that a plain install keeps it.
  set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
  set(CPACK_NETLAYER_STRIP ${CMAKE_STRIP})
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/strip_static_libraries.cmake)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/repair_dbgsym.cmake)

  # Each package carries the licence as Debian's copyright file and a Debian
  # changelog, both made from the files kept at the root of the sources.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(debian_docs ${PROJECT_BINARY_DIR}/debian/changelog.gz ${PROJECT_BINARY_DIR}/debian/copyright)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md
            -DOUTPUT=${PROJECT_BINARY_DIR}/debian/changelog.gz -DSOURCE=${CPACK_PACKAGE_NAME}
            -DVERSION=${PROJECT_VERSION} -DMAINTAINER=${CPACK_PACKAGE_CONTACT} -DGZIP=${GZIP_PROGRAM}
            -P ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
    VERBATIM)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/copyright
    COMMAND ${CMAKE_COMMAND} -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
            -DOUTPUT=${PROJECT_BINARY_DIR}/debian/copyright -DUPSTREAM_NAME=${CPACK_PACKAGE_NAME}
            -DCONTACT=${CPACK_PACKAGE_CONTACT} -P ${PROJECT_SOURCE_DIR}/cmake/debian_copyright.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/cmake/debian_copyright.cmake
    VERBATIM)
  add_custom_target(debian_docs ALL DEPENDS ${debian_docs})
  install(FILES ${debian_docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_TOOLS_PACKAGE_NAME}
          COMPONENT tools)
  install(FILES ${debian_docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEV_PACKAGE_NAME}
          COMPONENT dev)
endif()
include(CPack)
