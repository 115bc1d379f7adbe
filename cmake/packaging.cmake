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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send and print IPv4 UDP datagrams")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "pitchel sends one UDP datagram, a message or the start of a file, to a host and port, "
    "unicast or multicast. catchel binds a port, optionally joins a group, and prints every "
    "datagram that arrives with its number, source, size and contents.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  install(FILES README.md DESTINATION . COMPONENT tools)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME pitchel-catchel)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnetlayer-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
      "Development files of the network layer behind pitchel and catchel: the IPv4 datagram and stream endpoint layer and the "
      "millisecond clock, as static libraries with their headers and a CMake package.")

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
