# Run by CPack once the packages are built. CPack 3.25 writes the -dbgsym
# package's md5sums with the absolute paths of its staging directory, so that
# dpkg --verify cannot check a single file of it, and gives the package no
# /usr/share/doc entry. This rebuilds each .ddeb with relative md5sums and,
# as debhelper makes them, a doc entry that links to the doc directory of the
# package it serves, whose copyright and changelog it shares.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.ddeb$")
    continue()
  endif()
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
  set(sums "")
  foreach(file IN LISTS files)
    file(MD5 ${tree}/${file} sum)
    string(APPEND sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")

  file(STRINGS ${tree}/DEBIAN/control name REGEX "^Package: ")
  file(STRINGS ${tree}/DEBIAN/control served REGEX "^Depends: ")
  string(REGEX REPLACE "^Package: " "" name "${name}")
  string(REGEX REPLACE "^Depends: ([^ ]+).*" "\\1" served "${served}")
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${served} ${tree}/usr/share/doc/${name} SYMBOLIC)

  execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${tree} ${package} OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
